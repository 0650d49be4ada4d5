"""The machine-code check of the upper vector state (scripts/check_isa.py)
against small functions compiled here, whose verdicts are known: it must
flag every path that reaches baseline code with a dirty upper state, and
nothing else."""

import importlib.util
import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "check_isa.py"
COMPILER = shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(
    not SCRIPT.exists() or COMPILER is None or shutil.which("objdump") is None,
    reason="needs the checkout's scripts/, a C++ compiler and objdump",
)

# Inline assembly that writes ymm15 without telling the compiler (no
# clobber: these functions hold nothing there), so that it adds no
# vzeroupper for it: the way to make a function return dirty on purpose.
SOURCE = r"""
#include <cstring>
#include <stdexcept>
void baseline_sink(double* p);  // defined elsewhere: baseline code
namespace velt::avx2 {
#pragma GCC target("avx2")
typedef double v4 __attribute__((vector_size(32)));
#define DIRTY asm volatile("vmovupd (%0), %%ymm15\n\tvmovupd %%ymm15, 32(%0)" : : "r"(p) : "memory")

void dirty_return(double* p) { DIRTY; }
void clean_return(double* p) { DIRTY; asm volatile("vzeroupper"); }
void dirty_on_one_path(double* p, int k) {
    if (k > 3) {
        DIRTY;
    }
}
void calls_baseline_dirty(double* p) {
    DIRTY;
    baseline_sink(p);
    asm volatile("vzeroupper");
}
void throws_dirty(double* p, int k) {
    DIRTY;
    if (k > 3) {
        throw std::logic_error("impossible");
    }
    asm volatile("vzeroupper");
}
// A vector passed by value: GCC leaves the callee without vzeroupper and
// takes the caller to be clean after the call.
[[gnu::noinline]] static void scale_by_value(double* p, v4 m) {
    v4 x;
    std::memcpy(&x, p, sizeof x);
    x = x * m;
    std::memcpy(p, &x, sizeof x);
}
void calls_by_value(double* p) { scale_by_value(p, v4{1.0, 2.0, 3.0, p[0]}); }
[[gnu::noinline]] static void scale_by_reference(double* p, const v4& m) {
    v4 x;
    std::memcpy(&x, p, sizeof x);
    x = x * m;
    std::memcpy(p, &x, sizeof x);
}
void calls_by_reference(double* p) {
    const v4 m{1.0, 2.0, 3.0, p[0]};
    scale_by_reference(p, m);
}
}  // namespace velt::avx2
"""

OFFENDERS = {"dirty_return", "dirty_on_one_path", "calls_baseline_dirty", "calls_by_value"}
CLEAN = {"clean_return", "throws_dirty", "calls_by_reference", "scale_by_reference"}


def _load_check():
    spec = importlib.util.spec_from_file_location("check_isa", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_upper_state_check_flags_exactly_the_dirty_exits(tmp_path):
    check = _load_check()
    source = tmp_path / "probe.cpp"
    source.write_text(SOURCE)
    obj = tmp_path / "probe.o"
    subprocess.run([COMPILER, "-std=c++17", "-O2", "-c", "-fPIC", str(source), "-o", str(obj)], check=True)
    followed, problems = check.upper_state_problems([obj])
    flagged = {name for name in OFFENDERS | CLEAN for p in problems if f"velt::avx2::{name}(" in p.splitlines()[0]}
    assert flagged == OFFENDERS, "\n".join(problems)
    assert followed >= len(OFFENDERS | CLEAN)
    # Each report names the instruction: the exit or the call, and what dirtied the state.
    by_name = {name: [p for p in problems if f"velt::avx2::{name}(" in p.splitlines()[0]] for name in OFFENDERS}
    assert any("calls baseline_sink(double*)" in p for p in by_name["calls_baseline_dirty"])
    assert any("scale_by_value" in p and "returns it dirty" in p for p in by_name["calls_by_value"])
    assert all("vmovupd" in p for p in by_name["dirty_return"] + by_name["dirty_on_one_path"])
