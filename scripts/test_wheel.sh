#!/usr/bin/env bash
# Tests what a user installs.  Builds the wheel with `pip wheel`, installs it
# into a fresh virtual environment in a scratch folder outside the checkout,
# and there
#   1. checks that `import velt_core` finds the installed module,
#   2. runs the test suite from a copy of tests/ (and README.md, whose example
#      one test runs), so that nothing in the source tree can stand in for
#      the installed module,
#   3. runs mypy's stubtest on the installed module and stub,
#   4. type-checks the README's example with mypy against the installed stub.
#
#   bash scripts/test_wheel.sh [pytest args...]
#
# Environment: PYTHON (interpreter to build and test with, default python3),
# NUMPY_SPEC (NumPy requirement, default "numpy"), VELT_WERROR as for any
# build.  mypy comes at the version pinned in requirements-dev.txt.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
numpy_spec=${NUMPY_SPEC:-numpy}

work=$(mktemp -d "${TMPDIR:-/tmp}/velt-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

"$python" -m venv venv
py="$work/venv/bin/python"
"$py" -m pip install --quiet --upgrade pip

# The wheel is built in a folder of its own, so that no earlier build in the
# checkout's build/ takes part in it.
echo "== pip wheel: $("$py" -c 'import sys; print(sys.version.split()[0])'), $numpy_spec"
"$py" -m pip wheel --quiet --no-deps --config-settings=build-dir="$work/build" -w dist "$root"
wheels=(dist/velt_core-*.whl)
echo "built ${wheels[0]##*/}"
"$py" -m pip install --quiet "${wheels[0]}[test]" "$numpy_spec" mypy -c "$root/requirements-dev.txt"

"$py" - <<'EOF'
import sysconfig
from pathlib import Path

import velt_core

where = Path(velt_core.__file__).resolve().parent
site = Path(sysconfig.get_paths()["platlib"]).resolve()
assert where == site, f"velt_core was imported from {where}, not from the environment's {site}"
EOF

tar -C "$root" --exclude=__pycache__ -cf - tests README.md | tar -xf -
echo "== tests, run from $work"
"$py" -m pytest -c "$root/pyproject.toml" --rootdir "$work" -p no:cacheprovider tests "$@"

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
