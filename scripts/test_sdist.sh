#!/usr/bin/env bash
# Tests the source distribution.  Builds the sdist with `python -m build
# --sdist`, checks what it holds, installs it with pip into a fresh virtual
# environment in a scratch folder outside the checkout (pip builds the module
# from the sdist alone, against the system's OpenMP runtime), and runs the
# sdist's own copy of the tests there against the installed module.
#
#   bash scripts/test_sdist.sh [pytest args...]
#
# Environment: PYTHON (interpreter to build and test with, default python3),
# NUMPY_SPEC (NumPy requirement, default "numpy"), EXTRAS (the package's
# extras to install with it, default "test"), SDIST_DIR (a folder to keep the
# sdist in once it has passed, for building wheels from it; by default it goes
# with the scratch folder), VELT_WERROR as for any build.  build comes from the
# tools environment (.venv-tools) at the version pinned in requirements-dev.txt.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
numpy_spec=${NUMPY_SPEC:-numpy}
extras=${EXTRAS:-test}
sdist_dir=${SDIST_DIR:+$(realpath -m "$SDIST_DIR")}

tools="$root/.venv-tools"
if [ ! -x "$tools/bin/python" ]; then
    python3 -m venv "$tools"
fi
"$tools/bin/python" -m pip install --quiet -r "$root/requirements-dev.txt"

work=$(mktemp -d "${TMPDIR:-/tmp}/velt-sdist.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "== python -m build --sdist"
"$tools/bin/python" -m build --sdist --outdir dist "$root" | tail -1
sdists=(dist/velt_core-*.tar.gz)
sdist=${sdists[0]}
tar -tzf "$sdist" | sort >contents
echo "$(wc -l <contents) files in ${sdist##*/}"

# What a build from the sdist alone needs, and what a user expects to find in
# it; and none of the checkout's environments, build folders or scratch.
top=$(head -1 contents | cut -d/ -f1)
status=0
for needed in pyproject.toml CMakeLists.txt README.md CHANGELOG.md velt_core.pyi velt_core.single.pyi PKG-INFO \
    src/module/module.cpp src/parallel/parallel_for.cpp tests/conftest.py tests/test_packaging.py \
    python/velt_mpi/__init__.py; do
    grep -qx "$top/$needed" contents || { echo "test_sdist.sh: the sdist lacks $needed" >&2; status=1; }
done
if grep -E "^$top/(\.venv|build/|dist/|\.git/|\.hypothesis/|bench/results/latest)|__pycache__|\.so$" contents >&2; then
    echo "test_sdist.sh: the sdist holds the files above, which are scratch" >&2
    status=1
fi
[ "$status" -eq 0 ] || exit 1

"$python" -m venv venv
py="$work/venv/bin/python"
"$py" -m pip install --quiet --upgrade pip
echo "== pip install ${sdist##*/}: $("$py" -c 'import sys; print(sys.version.split()[0])'), $numpy_spec"
"$py" -m pip install --quiet "$sdist[$extras]" "$numpy_spec"

# The tests, README and changelog as the sdist ships them, in a folder of
# their own: the unpacked source tree itself has no module to import.
mkdir unpacked run
tar -xzf "$sdist" -C unpacked
cp -r "unpacked/$top/tests" "unpacked/$top/README.md" "unpacked/$top/CHANGELOG.md" run/
cd run
echo "== tests from the sdist, run from $work/run"
"$py" -m pytest -c "$work/unpacked/$top/pyproject.toml" --rootdir . -p no:cacheprovider tests "$@"

# Kept only once it has passed everything above.
if [ -n "$sdist_dir" ]; then
    mkdir -p "$sdist_dir"
    cp "$work/$sdist" "$sdist_dir/"
    echo "kept ${sdist##*/} in $sdist_dir"
fi
