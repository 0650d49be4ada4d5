#!/usr/bin/env bash
# Fuzzes velt_core's argument conversion, the apply_sequence op parser and the
# read-outs with atheris (tests/fuzz/fuzz_velt.py) against the sanitizer
# build, for a fixed time, starting from the committed seed corpus.
#
#   bash scripts/fuzz.sh [extra libFuzzer options]
#
# The sanitizer build's environment (.venv-sanitize, made by
# scripts/sanitize.sh) is made here too when it is missing; atheris comes from
# the package index.  New inputs go to a scratch folder, not to the checkout.
# An input that crashes the module, trips a sanitizer or breaks a promise of
# the fuzz target is saved and shown in base64: put it under
# tests/fuzz/findings/ (tests/test_fuzz_findings.py replays each one) and fix.
# The last line says how many inputs ran.
#
# Known limit: with GCC's AddressSanitizer runtime preloaded first, atheris's
# coverage callbacks bind to that runtime's no-op stubs, so libFuzzer sees no
# coverage here (its log shows "corp: 1/1b") and mutates the seeds blindly;
# every input is still checked under the sanitizers.  The same target on the
# plain build (.venv, with atheris installed) is coverage-guided: run it there
# to grow tests/fuzz/corpus, then here to check the corpus under ASan/UBSan.
#
# Environment: PYTHON (default python3), VENV (default .venv-sanitize),
# FUZZ_SECONDS (default 150), ATHERIS_SPEC (default atheris==3.0.0).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv=${VENV:-.venv-sanitize}
seconds=${FUZZ_SECONDS:-150}
if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
fi
py="$(cd "$venv" && pwd)/bin/python"
# Looked up, not imported: the sanitizer build imports only with its runtime preloaded.
if ! "$py" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("velt_core") is None)'; then
    "$py" -m pip install --quiet --upgrade pip
    VELT_SANITIZE=ON "$py" -m pip install --quiet numpy ".[test]"
fi
"$py" -m pip install --quiet "${ATHERIS_SPEC:-atheris==3.0.0}"

module=$("$py" -c 'import importlib.util; print(importlib.util.find_spec("velt_core").origin)')
asan=$(ldd "$module" | awk '/libasan/ { print $3 }')
cxx=$(ldd "$module" | awk '/libstdc\+\+/ { print $3 }')
if [ ! -f "$asan" ] || [ ! -f "$cxx" ]; then
    echo "fuzz.sh: $module is not the sanitizer build (no libasan)" >&2
    exit 1
fi

sanitized=(env LD_PRELOAD="$asan $cxx" PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:intercept_tls_get_addr=0"
    UBSAN_OPTIONS="abort_on_error=1:halt_on_error=1:print_stacktrace=1")
# The inputs that once failed, and the seeds, first.
"${sanitized[@]}" "$py" -m pytest -q -p no:cacheprovider tests/test_fuzz_findings.py

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
# The interpreter's own leaks are no finding here (scripts/sanitize.sh judges
# leaks through the module); every other finding aborts with the input.
status=0
OMP_NUM_THREADS=2 "${sanitized[@]}" "$py" tests/fuzz/fuzz_velt.py -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" tests/fuzz/corpus \
    >"$work/log" 2>&1 || status=$?
grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' "$work/log" | tail -n 40
for found in "$work"/artifacts/*; do
    [ -e "$found" ] || continue
    echo "fuzz.sh: finding $(basename "$found"), base64: $(base64 -w0 "$found")"
done
runs=$(grep -o -E 'Done [0-9]+ runs' "$work/log" | tail -1 || true)
echo "fuzz.sh: ${runs:-no count} against the sanitizer build in ${seconds} s (exit $status)"
exit "$status"
