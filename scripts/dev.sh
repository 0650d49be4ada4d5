#!/usr/bin/env bash
# One entry point for a fresh machine: builds velt_core into a virtual
# environment inside the checkout, then runs the tests or the benchmarks.
#
#   bash scripts/dev.sh demo  [demo args...]       the self-checking circuit demo
#   bash scripts/dev.sh bench [benchmark args...]  the kernel benchmark
#   bash scripts/dev.sh test  [pytest args...]     the test suite   (every bench/bench_*.py in turn)
#
# Environment: PYTHON (interpreter to build for, default python3),
# VENV (environment folder, default .venv), NUMPY_SPEC (NumPy requirement,
# default "numpy").
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

what=${1:-}
[ $# -gt 0 ] && shift
python=${PYTHON:-python3}
venv=${VENV:-.venv}
numpy_spec=${NUMPY_SPEC:-numpy}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
py="$(cd "$venv" && pwd)/bin/python"
"$py" -m pip install --quiet --upgrade pip
# The mpi extra (mpi4py and MPICH) lets the velt_mpi tests run under mpiexec.
extras=test,mpi
[ "$what" = bench ] && extras=test,mpi,bench
"$py" -m pip install --quiet "$numpy_spec" ".[$extras]"

case "$what" in
    test)
        exec "$py" -m pytest "$@"
        ;;
    demo)
        exec "$py" examples/demo.py "$@"
        ;;
    bench)
        exec "$py" bench/bench_kernels.py "$@"
        ;;
    *)
        echo "usage: bash scripts/dev.sh {demo|bench|test} [args...]" >&2
        exit 2
        ;;
esac
