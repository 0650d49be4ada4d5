import os
import zlib

import numpy as np
import pytest
from helpers import PRECISIONS
from hypothesis import settings

import velt_core

# Property tests: a modest number of examples per test by default, so that CI
# stays quick; VELT_HYPOTHESIS_EXAMPLES=2000 (say) explores much further.  No
# deadline: a kernel call may wait for its worker threads.
settings.register_profile(
    "velt", max_examples=int(os.environ.get("VELT_HYPOTHESIS_EXAMPLES", "100")), deadline=None, print_blob=True
)
settings.load_profile("velt")

HOSTILE_CASES = pytest.StashKey[dict]()


def pytest_configure(config):
    config.stash[HOSTILE_CASES] = {}


def pytest_terminal_summary(terminalreporter, config):
    tried = config.stash[HOSTILE_CASES]
    if tried:
        detail = ", ".join(f"{name} {count}" for name, count in tried.items())
        terminalreporter.write_line(f"hostile-input sweep: {sum(tried.values())} cases tried ({detail})")


@pytest.fixture
def hostile_tally(request):
    """Cases tried per function, reported at the end of the run."""
    return request.config.stash[HOSTILE_CASES]


def pytest_report_header():
    # Which build is under test: the checkout's .venv, or an installed wheel.
    return f"velt_core: {velt_core.__file__}"


@pytest.fixture
def rng(request):
    # Seeded from the test's id, so that a failure reproduces run after run.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))


@pytest.fixture(params=list(PRECISIONS))
def precision(request):
    """(module, dtype) of each precision in turn: velt_core with complex128
    states, then velt_core.single with complex64 ones."""
    return PRECISIONS[request.param]
