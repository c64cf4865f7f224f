"""The work of one picture, run on a Dask worker.

A task reads its input and writes its results on the worker itself (every
worker sees the same paths) and sends back only a small record.
"""

import base64
import os
import time
from typing import Dict, Optional

from ._picture_size import picture_size

# Longer side of the thumbnails of an HTML report, in pixels.
THUMBNAIL_SIDE = 160

# Each task runs on one thread: a worker runs as many tasks at once as it has
# threads, and whole pictures side by side scale better than one picture's
# bands split among threads.
_THREADS_PER_TASK = 1


def worker_address() -> str:
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):
        return ""


def _one_line(text: str) -> str:
    return " ".join(text.split())


def reason_of(error: BaseException) -> str:
    """The library's message for the errors it raises with the tool's text;
    the kind of error as well for anything unexpected."""
    if isinstance(error, (OSError, ValueError, MemoryError)) and str(error):
        return _one_line(str(error))
    return _one_line(f"{type(error).__name__}: {error}".rstrip(": "))


def _megapixels(path: str) -> Optional[float]:
    size = picture_size(path)
    return None if size is None else size[0] * size[1] / 1e6


def make_folder(path: str) -> None:
    folder = os.path.dirname(path)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise OSError(f"cannot create the folder '{folder}': {error.strerror}") from error


def process_picture(job: Dict) -> Dict:
    """Enhances job["input_path"] into job["output_path"] with the job's
    options, as the tool would; returns the picture's record (status "done"
    or "failed" with the reason). Never raises for a picture's own fault."""
    import nightdehaze

    nightdehaze.set_num_threads(_THREADS_PER_TASK)
    record = {"input": job["input"], "output": job["output"], "status": "done",
              "reason": "", "seconds": 0.0, "megapixels": None,
              "worker": worker_address()}
    start = time.perf_counter()
    try:
        make_folder(job["output_path"])
        nightdehaze.enhance_file(job["input_path"], job["output_path"], **job["options"])
        record["megapixels"] = _megapixels(job["output_path"])
    except Exception as error:  # a picture's failure is recorded, the batch goes on
        record["status"], record["reason"] = "failed", reason_of(error)
    record["seconds"] = time.perf_counter() - start
    if job.get("thumbnails"):
        record["thumbnails"] = [_thumbnail(job["input_path"]),
                                _thumbnail(job["output_path"]) if record["status"] == "done" else None]
    return record


def _thumbnail(path: str) -> Optional[str]:
    """A JPEG thumbnail of the picture at path, base64, or None when it does not read."""
    import nightdehaze._core as core
    try:
        return base64.b64encode(core.thumbnail(path, THUMBNAIL_SIDE)).decode("ascii")
    except (OSError, ValueError, RuntimeError):
        return None


def done_without_record(job: Dict) -> Dict:
    """The record of a picture whose results this batch wrote although its
    task's own record never came back (its worker died after the write)."""
    return {"input": job["input"], "output": job["output"], "status": "done", "reason": "",
            "seconds": None, "megapixels": _megapixels(job["output_path"]), "worker": ""}
