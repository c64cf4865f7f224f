"""The Dask side of a batch: the cluster, the tasks and their records.

Dask schedules the pictures and clips, moves tasks to other workers when one
dies and reports what finished; this module only starts or joins the
cluster, submits each job's tasks (a long clip's parts, and the join that
waits for them) and turns every finished future into a record.
"""

import importlib.util
import logging
import os
import time
import urllib.request
from typing import Callable, Dict, List, Optional, Tuple

from ._clip_task import enhance_clip_part, enhance_whole_clip, join_clip
from ._task import done_without_record, process_picture
from ._worker_setup import IgnoreInterrupts
from ._written import written_since

# Seconds to wait for an existing scheduler to answer before giving up.
_CONNECT_TIMEOUT = 10
# Seconds the dashboard may take to answer before it is taken as absent.
_DASHBOARD_TIMEOUT = 2
# Seconds between two looks at the finished tasks: short beside a picture.
_POLL_INTERVAL = 0.05
# Seconds the client and the local cluster may take to close.
_CLOSE_TIMEOUT = 10
# Times a task the cluster dropped (scheduler restarted, connection lost, its
# results released while a worker died) is submitted again.
_RESUBMISSIONS = 3


class ClusterError(Exception):
    """The cluster could not be reached or started; no picture ran."""


def _quiet_dask_logs() -> None:
    """Dask's own lines ("Couldn't gather keys, rescheduling") are about what
    the batch reports in its own words, picture by picture: off the terminal.
    Dask's logging configuration sets the level of each of its loggers."""
    for name in list(logging.root.manager.loggerDict):
        if name == "distributed" or name.startswith("distributed."):
            logging.getLogger(name).setLevel(logging.CRITICAL)


def local_core_count() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


class BatchCluster:
    """A Dask client on an existing scheduler (scheduler="tcp://HOST:PORT"),
    or on a local cluster of `workers` processes of one thread each."""

    def __init__(self, scheduler: Optional[str] = None, workers: Optional[int] = None):
        self._scheduler = scheduler
        self._workers = workers or local_core_count()
        self._cluster = None
        self._start_method = None
        self.client = None

    def __enter__(self) -> "BatchCluster":
        from distributed import Client, LocalCluster
        _quiet_dask_logs()
        try:
            if self._scheduler:
                self.client = Client(self._scheduler, timeout=_CONNECT_TIMEOUT)
            else:
                self._fork_workers()
                self._cluster = LocalCluster(
                    n_workers=self._workers, threads_per_worker=1, processes=True,
                    dashboard_address=":0" if importlib.util.find_spec("bokeh") else None,
                    silence_logs=logging.CRITICAL)
                self.client = Client(self._cluster)
                self.client.register_worker_plugin(IgnoreInterrupts())
        except (OSError, TimeoutError) as error:
            self.close()
            where = f"the scheduler at {self._scheduler}" if self._scheduler else "a local cluster"
            raise ClusterError(f"cannot start or reach {where}: {error}") from error
        except BaseException:  # Ctrl-C while starting: stop what has started
            self.close()
            raise
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def close(self) -> None:
        if self.client is not None:
            self.client.close(timeout=_CLOSE_TIMEOUT)
            self.client = None
        if self._cluster is not None:
            self._cluster.close(timeout=_CLOSE_TIMEOUT)
            self._cluster = None
        if self._start_method is not None:
            self._start_method.__exit__(None, None, None)
            self._start_method = None

    def _fork_workers(self) -> None:
        """Local workers are forked from this process, which has loaded Dask
        and the package already: seconds sooner than fresh interpreters that
        load them again, on every core at once. Nothing here has started a
        thread pool of its own that a fork could copy halfway."""
        import dask
        self._start_method = dask.config.set({"distributed.worker.multiprocessing-method": "fork"})
        self._start_method.__enter__()

    def dashboard_link(self) -> Optional[str]:
        """The dashboard's address when it answers (it needs Bokeh), else None."""
        link = self.client.dashboard_link if self.client else None
        if not link:
            return None
        try:
            with urllib.request.urlopen(link, timeout=_DASHBOARD_TIMEOUT) as answer:
                return link if answer.status == 200 else None
        except (OSError, ValueError):
            return None


def _record_of_lost(future, job: Dict) -> Dict:
    """The record of a task that ended without a record of its own."""
    from distributed import KilledWorker
    if future.status == "error":
        error = future.exception()
        reason = ("the worker processes running it died repeatedly (killed or out of memory)"
                  if isinstance(error, KilledWorker) else f"{type(error).__name__}: {error}")
    else:
        reason = "the cluster dropped the task (scheduler restarted or connection lost)"
    return {"input": job["input"], "output": job["output"], "status": "failed",
            "reason": " ".join(reason.split()), "seconds": None, "megapixels": None,
            "worker": ""}


def _key(i: int, attempt: int, what: str = "") -> str:
    return f"nightdehaze-{os.getpid()}-{time.time_ns()}-{attempt}{what}-{i}"  # the index last


def _submit(client, job: Dict, i: int, attempt: int) -> Tuple[object, List[object]]:
    """The task whose result is job's record, and the tasks of a long clip's
    parts it waits for. Dask runs again a task whose worker died; a part's
    record says how it ended."""
    clip = job.get("clip")
    if clip is None:
        return client.submit(process_picture, job, key=_key(i, attempt), pure=False), []
    if not clip["spans"]:
        return client.submit(enhance_whole_clip, job, key=_key(i, attempt), pure=False), []
    parts = [client.submit(enhance_clip_part, job, k, key=_key(i, attempt, f"-part{k}"), pure=False)
             for k in range(len(clip["spans"]))]
    return client.submit(join_clip, job, *parts, key=_key(i, attempt), pure=False), parts


def run_jobs(client, jobs: List[Dict], on_record: Callable[[int, Dict], None],
             on_wait: Callable[[], None], on_part: Callable[[int, Dict], None] = lambda i, part: None) -> None:
    """Runs every job on the cluster; calls on_record(index, record) as each
    finishes, on_part(index, part) as each part of a long clip does, and
    on_wait() between looks. A task that ends without its record counts as
    done when its results were written during the batch; a dropped one runs
    again. On KeyboardInterrupt, cancels every task that has not finished and
    re-raises."""
    from distributed import as_completed
    futures, index, parts_of = [], {}, {}
    finished = as_completed()

    def submit(i: int, attempt: int) -> None:
        main, parts = _submit(client, jobs[i], i, attempt)
        index[main.key] = i
        for part in parts:
            parts_of[part.key] = i
        for future in [main, *parts]:
            futures.append(future)
            finished.add(future)

    for i in range(len(jobs)):
        submit(i, 0)
    attempts = [0] * len(jobs)
    try:
        while not finished.is_empty():
            for future in finished.next_batch(block=False):
                if future.key in parts_of:
                    i = parts_of.pop(future.key)
                    if future.status == "finished":
                        on_part(i, future.result())
                    continue
                i = index.pop(future.key)
                record = _record_of(future, jobs[i])
                future.release()
                if record is None and attempts[i] < _RESUBMISSIONS:
                    attempts[i] += 1
                    submit(i, attempts[i])
                    continue
                on_record(i, record or _record_of_lost(future, jobs[i]))
            on_wait()
            time.sleep(_POLL_INTERVAL)
    except KeyboardInterrupt:
        client.cancel(futures)
        raise
def _record_of(future, job: Dict) -> Optional[Dict]:
    """The task's own record; for a task without one, done when the batch
    wrote its results, the failure of a task that failed, or None for a task
    the cluster dropped."""
    if future.status == "finished":
        return future.result()
    if written_since(job["outputs"], job["before"]):
        return done_without_record(job)
    return _record_of_lost(future, job) if future.status == "error" else None
