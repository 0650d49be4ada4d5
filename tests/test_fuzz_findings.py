"""Every input the fuzzer (tests/fuzz/fuzz_velt.py) once broke the module or
a promise with, replayed: each must now pass the fuzz target's checks.  The
committed seed corpus is replayed too, so that the target itself keeps
working with the module and NumPy in use."""

import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent / "fuzz"
atheris = pytest.importorskip("atheris", reason="the fuzz target reads its input through atheris")
sys.path.insert(0, str(FUZZ))
import fuzz_velt  # noqa: E402

INPUTS = sorted((FUZZ / "findings").glob("*")) + sorted((FUZZ / "corpus").glob("*"))


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.name}/{p.name[:16]}" for p in INPUTS])
def test_fuzz_input_keeps_the_promises(path):
    fuzz_velt.one_input(path.read_bytes())
