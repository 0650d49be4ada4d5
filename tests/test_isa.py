"""Instruction-set paths: the same bits on every path, and VELT_ISA's refusals.

Each path runs in its own interpreter, since VELT_ISA is read once, at import.
A path this machine cannot run shows as a skip with its reason.
"""

import functools
import os
import subprocess
import sys
from pathlib import Path

import pytest

PATHS = ("sse2", "avx2", "avx512f")
WORKLOAD = Path(__file__).with_name("isa_workload.py")
# glibc's way to hide CPU features from a process (honoured by the module).
NO_AVX512F = "glibc.cpu.hwcaps=-AVX512F"


def run(code_or_script, isa=None, threads=1, **extra):
    env = {k: v for k, v in os.environ.items() if k not in ("VELT_ISA", "GLIBC_TUNABLES")}
    env.update(OMP_NUM_THREADS=str(threads), **extra)
    if isa is not None:
        env["VELT_ISA"] = isa
    args = [str(code_or_script)] if isinstance(code_or_script, Path) else ["-c", code_or_script]
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=600)


@functools.cache
def runnable():
    """The paths this machine runs, from the module's own choice."""
    return tuple(isa for isa in PATHS if run("import velt_core", isa).returncode == 0)


@functools.cache
def workload(isa, threads):
    out = run(WORKLOAD, isa, threads)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[-2:] == [f"isa {isa}"] * 2  # both precisions on the path asked for
    return lines[:-2]


def require(isa):
    if isa not in runnable():
        pytest.skip(f"this CPU cannot run the {isa} path (it runs: {', '.join(runnable())})")


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("isa", PATHS)
def test_every_path_gives_the_baseline_bits(isa, threads):
    require(isa)
    baseline = workload("sse2", 1)
    assert len(baseline) > 2000 and sum(line.startswith("c64 ") for line in baseline) * 2 == len(baseline)
    got = workload(isa, threads)
    differ = [a.rsplit(" ", 1)[0] for a, b in zip(baseline, got, strict=True) if a != b]
    assert not differ, f"{len(differ)} cases differ from sse2 on 1 thread, first: {differ[:5]}"


def test_kernel_isa_is_the_widest_path_by_default_and_obeys_velt_isa():
    assert run("import velt_core; print(velt_core.kernel_isa())").stdout.strip() == runnable()[-1]
    both = "import velt_core; print(velt_core.kernel_isa(), velt_core.single.kernel_isa())"
    for isa in runnable():
        assert run(both, isa).stdout.split() == [isa, isa]
    # Empty counts as unset.
    assert run("import velt_core; print(velt_core.kernel_isa())", "").stdout.strip() == runnable()[-1]


def test_velt_isa_is_read_once_at_import():
    code = (
        "import os, velt_core; a = velt_core.kernel_isa(); os.environ['VELT_ISA'] = 'sse2'; "
        "print(a == velt_core.kernel_isa())"
    )
    assert run(code).stdout.strip() == "True"


@pytest.mark.parametrize("value", ["bogus", "AVX2", "avx512", " sse2", "scalar"])
def test_unknown_velt_isa_fails_the_import(value):
    out = run("import velt_core", value)
    assert out.returncode != 0
    assert f"ImportError: velt_core: VELT_ISA='{value}' is not one of sse2, avx2, avx512f" in out.stderr


def test_path_above_the_cpu_fails_the_import():
    if "avx512f" not in runnable():
        out = run("import velt_core", "avx512f")
    else:
        # Hide AVX-512F from the process the way glibc allows.
        out = run("import velt_core; print(velt_core.kernel_isa())", GLIBC_TUNABLES=NO_AVX512F)
        if out.stdout.strip() != "avx2":
            pytest.skip("this C library cannot hide AVX-512F, and the CPU has it")
        out = run("import velt_core", "avx512f", GLIBC_TUNABLES=NO_AVX512F)
    assert out.returncode != 0
    refusal = "ImportError: velt_core: VELT_ISA='avx512f' is an instruction set this CPU cannot run (choices here: sse2"
    assert refusal in out.stderr
