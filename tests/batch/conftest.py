"""The cluster fixture of the batch tests."""

import pytest

from batch_helpers import Cluster


@pytest.fixture
def cluster(tmp_path_factory):
    """A scheduler and two single-threaded workers, stopped after the test."""
    cluster = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        yield cluster.start(workers=2)
    finally:
        cluster.stop()
