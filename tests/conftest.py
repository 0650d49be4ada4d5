import zlib

import numpy as np
import pytest

import velt_core


def pytest_report_header():
    # Which build is under test: the checkout's .venv, or an installed wheel.
    return f"velt_core: {velt_core.__file__}"


@pytest.fixture
def rng(request):
    # Seeded from the test's id, so that a failure reproduces run after run.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
