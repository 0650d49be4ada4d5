#!/usr/bin/env bash
# Builds velt_core with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own environment and runs the test suite against it.
#
#   bash scripts/sanitize.sh [pytest args...]
#
# The interpreter is not instrumented, so the sanitizer runtime that the module
# was linked with is preloaded into it.  Any finding of either sanitizer aborts
# the process that made it, which fails the test (or the run) at hand.  Leaks
# are reported by every process of the run into one log folder at its exit;
# the interpreter and NumPy leave plenty of their own memory behind on
# purpose, so only leaks whose allocation passed through this module count
# (scripts/sanitizer_logs.py decides).
#
# Environment: PYTHON (interpreter, default python3), VENV (environment folder,
# default .venv-sanitize), NUMPY_SPEC (NumPy requirement, default "numpy").
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

python=${PYTHON:-python3}
venv=${VENV:-.venv-sanitize}
numpy_spec=${NUMPY_SPEC:-numpy}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
py="$(cd "$venv" && pwd)/bin/python"
"$py" -m pip install --quiet --upgrade pip
VELT_SANITIZE=ON "$py" -m pip install --quiet "$numpy_spec" ".[test]"

# The runtimes the module was linked with, found without importing it.  The
# C++ runtime is preloaded too: ASan resolves the real __cxa_throw when it
# starts, and a libstdc++ that only arrives later with the module leaves its
# exception interceptor without a target.
module=$("$py" -c 'import importlib.util; print(importlib.util.find_spec("velt_core").origin)')
asan=$(ldd "$module" | awk '/libasan/ { print $3 }')
cxx=$(ldd "$module" | awk '/libstdc\+\+/ { print $3 }')
if [ ! -f "$asan" ] || [ ! -f "$cxx" ]; then
    echo "sanitize.sh: $module is not linked with libasan and libstdc++" >&2
    exit 1
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# ASan writes its reports into the log folder, one file per process.
# exitcode=0: a leak report leaves a process's exit status alone (the log
# check below judges leaks); abort_on_error: every other finding still ends
# the process with SIGABRT.  allocator_may_return_null: malloc returns null
# as without the sanitizer (ASan's operator new aborts all the same).
# intercept_tls_get_addr=0: GCC 12's runtime takes a dynamic TLS block that
# happens to start 16 bytes into a page for an old glibc layout and reads the
# words before it as the block's bounds; the leak checker's thread scan then
# crashes at exit ("Tracer caught signal 11"), by chance of where malloc put
# the block.  The module keeps no heap pointers in thread-local storage.
# UBSan reports to standard error and aborts on the first finding.
status=0
env LD_PRELOAD="$asan $cxx" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="abort_on_error=1:log_path=$logs/report:stack_trace_format='    #%n %p %F %L %M':detect_leaks=1:exitcode=0:allocator_may_return_null=1:detect_stack_use_after_return=1:intercept_tls_get_addr=0" \
    UBSAN_OPTIONS="abort_on_error=1:halt_on_error=1:print_stacktrace=1" \
    "$py" -m pytest "$@" || status=$?
"$py" scripts/sanitizer_logs.py "$logs" || status=1
exit "$status"
