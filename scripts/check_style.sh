#!/usr/bin/env bash
# Checks the house style without changing a file: clang-format on every C and
# C++ source (.clang-format), ruff's lint and formatter on the Python code
# (pyproject.toml).  Any difference fails.  The tools, at the versions pinned in
# requirements-dev.txt, go into their own environment (.venv-tools).
#
#   bash scripts/check_style.sh          check
#   bash scripts/check_style.sh --fix    apply clang-format, ruff's fixes and ruff format
#
# Environment: PYTHON (interpreter for the tools' environment, default python3).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv=.venv-tools
if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet -r requirements-dev.txt
bin="$root/$venv/bin"

mapfile -t sources < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')

if [ "${1:-}" = "--fix" ]; then
    "$bin/clang-format" -i "${sources[@]}"
    "$bin/ruff" check --fix .
    "$bin/ruff" format .
    exit 0
fi

status=0
echo "== clang-format $("$bin/clang-format" --version | grep -o '[0-9][0-9.]*' | head -1): ${#sources[@]} files"
"$bin/clang-format" --dry-run --Werror "${sources[@]}" || status=1
echo "== ruff $("$bin/ruff" --version | cut -d' ' -f2): lint"
"$bin/ruff" check --no-fix . || status=1
echo "== ruff: format"
"$bin/ruff" format --check --diff . || status=1
[ "$status" -eq 0 ] && echo "style: clean"
exit "$status"
