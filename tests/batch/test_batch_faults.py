"""Tasks that end without their record, on an in-process cluster: a task whose
results were written counts as done, a dropped task runs again, and only a
task that failed without writing is a failure."""

import threading
import time

import pytest

distributed = pytest.importorskip("distributed")

from nightdehaze.batch import _engine  # noqa: E402
from nightdehaze.batch._written import signatures  # noqa: E402

# Job k of the fake task: 0 writes its result and then dies without a record;
# 1 is dropped by the cluster while it runs, the first time only; 2 fails
# without writing, over a result an earlier batch left.
_dropped_once = threading.Event()


def fake_task(job):
    path = job["output_path"]
    if job["kind"] == 0:
        with open(path, "wb") as f:
            f.write(b"new")
        raise RuntimeError("worker died after the rename")
    if job["kind"] == 1 and not _dropped_once.is_set():
        time.sleep(2)  # cancelled meanwhile
    if job["kind"] == 2:
        raise RuntimeError("could not enhance")
    with open(path, "wb") as f:
        f.write(b"new")
    return {"input": job["input"], "output": job["output"], "status": "done", "reason": "",
            "seconds": 0.0, "megapixels": None, "worker": "w"}


def test_records_follow_what_was_written(tmp_path, monkeypatch):
    monkeypatch.setattr(_engine, "process_picture", fake_task)
    monkeypatch.setattr(_engine, "done_without_record",
                        lambda job: {"input": job["input"], "status": "done", "worker": ""})
    outputs = [str(tmp_path / f"r{k}.bmp") for k in range(3)]
    (tmp_path / "r2.bmp").write_bytes(b"an earlier batch's")
    jobs = [{"input": f"p{k}", "output": o, "output_path": o, "outputs": [o],
             "before": signatures([o]), "kind": k} for k, o in enumerate(outputs)]
    records = {}
    with distributed.LocalCluster(n_workers=1, threads_per_worker=3, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        def drop_the_running_task():
            if _dropped_once.is_set():
                return
            running = [k for keys in client.processing().values() for k in keys if k.endswith("-0-1")]
            if running:
                client.cancel([distributed.Future(running[0], client)], force=True)
                _dropped_once.set()

        _engine.run_jobs(client, jobs, lambda i, r: records.__setitem__(i, r), drop_the_running_task)
    assert _dropped_once.is_set()
    assert records[0] == {"input": "p0", "status": "done", "worker": ""}
    assert records[1]["status"] == "done" and records[1]["worker"] == "w"
    assert records[2]["status"] == "failed" and "could not enhance" in records[2]["reason"]
