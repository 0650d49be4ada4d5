import zlib

import numpy as np
import pytest


@pytest.fixture
def rng(request):
    # Seeded from the test's id, so that a failure reproduces run after run.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
