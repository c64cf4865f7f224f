"""One round of the worker-kill stress (scripts/stress-batch-worker-kill runs
it many times; not collected by the suite): a worker of a two-worker cluster
is killed at a random moment of a batch of small pictures, often between a
result's rename and its record coming back. Every picture must be recorded
as done, with the tool's bytes, and no line of Dask's own may reach stderr."""

import json
import os
import random
import signal
import subprocess
import time

import pytest

from batch_helpers import TIMEOUT, start_batch, stop_group, tool_bytes, wait_for, write_picture


def _kill_a_worker(batch, cluster):
    """A random worker of the scheduler's cluster, or a random process the
    batch forked (its local cluster's workers and their nannies)."""
    if cluster is not None:
        cluster.workers[random.choice(list(cluster.workers))].send_signal(signal.SIGKILL)
        return
    children = subprocess.run(["pgrep", "-P", str(batch.pid)], capture_output=True, text=True).stdout.split()
    assert children, "the batch ended before a worker could be killed"
    os.kill(int(random.choice(children)), signal.SIGKILL)


@pytest.mark.parametrize("on_scheduler", [True, False])
def test_a_worker_killed_at_any_moment_loses_no_picture(tmp_path, on_scheduler, request):
    cluster = request.getfixturevalue("cluster") if on_scheduler else None
    photos = tmp_path / "photos"
    sources = [write_picture(photos / f"p{k:02d}.png", 320, 240, k) for k in range(40)]
    clear, report = tmp_path / "clear", tmp_path / "report.json"
    engine = ["--scheduler", cluster.address] if cluster else ["--workers", "2"]
    batch = start_batch(photos, "--output-dir", clear, *engine, "--report", report)
    try:
        wait_for(lambda: batch.poll() is not None or (clear.exists() and any(clear.iterdir())),
                 what="a first result")
        time.sleep(random.uniform(0.0, 0.8))
        _kill_a_worker(batch, cluster)
        _, errors = batch.communicate(timeout=TIMEOUT)
    finally:
        stop_group(batch)
    assert batch.returncode == 0, errors
    assert "distributed." not in errors, errors
    records = json.loads(report.read_text())["records"]
    assert [r["status"] for r in records] == ["done"] * len(sources), records
    for source in sources[:3]:
        result = source.stem + "_J.bmp"
        assert (clear / result).read_bytes() == tool_bytes(source, result, tmp_path)[result]
