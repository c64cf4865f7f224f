"""The work of one clip, run on Dask workers.

A short clip is one task, written as the tool writes it. A long one is cut
(by the batch, at key frames) into parts that run as tasks of their own,
each writing its enhanced video to a part file beside the output, and a last
task joins the parts by stream copy with the source's audio and subtitles
into a file that is renamed into place. Part files are named from the job,
so that a part run again after its worker died writes over what it left,
and the batch removes whatever remains when it ends. While the batch runs,
a marker file beside the output says so: a part that ends after the batch
(a cluster's worker finishing a part the batch no longer waits for) removes
its own file.
"""

import base64
import os
import time
from typing import Dict, List, Optional

from ._task import THUMBNAIL_SIDE, make_folder, reason_of, worker_address

# Each task runs on one thread, as a picture's does: parts side by side scale
# better than one part's frames spread over threads.
_THREADS_PER_TASK = 1


def _record(job: Dict) -> Dict:
    return {"input": job["input"], "output": job["output"], "status": "done", "reason": "",
            "seconds": 0.0, "megapixels": None, "frames": None, "parts": len(job["clip"]["part_paths"]),
            "frames_per_second": None, "worker": worker_address()}


def _finish(record: Dict, job: Dict, frames: int, seconds: float) -> Dict:
    record["frames"], record["seconds"] = frames, seconds
    record["frames_per_second"] = frames / seconds if seconds > 0 else None
    if job.get("thumbnails"):
        record["thumbnails"] = [clip_thumbnail(job["input_path"]),
                                clip_thumbnail(job["output_path"]) if record["status"] == "done" else None]
    return record


def remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def enhance_whole_clip(job: Dict) -> Dict:
    """Enhances job["input_path"] into job["output_path"] in one piece, as the
    tool would (the same bytes); returns the clip's record. Never raises for
    the clip's own fault."""
    import nightdehaze
    import nightdehaze._core as core

    nightdehaze.set_num_threads(_THREADS_PER_TASK)
    record = _record(job)
    start = time.perf_counter()
    part = job["clip"]["part_paths"][0]
    frames = 0
    try:
        make_folder(job["output_path"])
        frames = core.clip_part(job["input_path"], job["options"], part)
        os.replace(part, job["output_path"])
    except Exception as error:  # the clip's failure is recorded, the batch goes on
        remove_quietly(part)
        record["status"], record["reason"] = "failed", reason_of(error)
    return _finish(record, job, frames, time.perf_counter() - start)


def enhance_clip_part(job: Dict, k: int) -> Dict:
    """Enhances part k of the clip into its part file; returns its frames,
    seconds and worker, or the reason it failed."""
    import nightdehaze
    import nightdehaze._core as core

    nightdehaze.set_num_threads(_THREADS_PER_TASK)
    start_time = time.perf_counter()
    start, end, warm_from = job["clip"]["spans"][k]
    part = job["clip"]["part_paths"][k]
    try:
        make_folder(part)
        frames = core.clip_part(job["input_path"], job["options"], part, start=start, end=end,
                                warm_from=warm_from)
        if not os.path.exists(job["clip"]["marker_path"]):
            raise OSError("the batch ended before this part")
    except Exception as error:
        remove_quietly(part)
        return {"failed": reason_of(error), "seconds": time.perf_counter() - start_time}
    return {"frames": frames, "seconds": time.perf_counter() - start_time, "worker": worker_address()}


def join_clip(job: Dict, *parts: Dict) -> Dict:
    """Joins the clip's parts into its output once every part is written;
    removes the part files whatever happens; returns the clip's record."""
    import nightdehaze._core as core

    record = _record(job)
    start = time.perf_counter()
    paths: List[str] = job["clip"]["part_paths"]
    joined = job["clip"]["joined_path"]
    failures = [p["failed"] for p in parts if "failed" in p]
    try:
        if failures:
            raise OSError(failures[0])
        core.clip_join(job["input_path"], paths, joined)
        os.replace(joined, job["output_path"])
    except Exception as error:
        remove_quietly(joined)
        record["status"], record["reason"] = "failed", reason_of(error)
    finally:
        for path in paths:
            remove_quietly(path)
    record["worker"] = ", ".join(dict.fromkeys(p["worker"] for p in parts if p.get("worker")))
    seconds = sum(p["seconds"] for p in parts) + time.perf_counter() - start
    return _finish(record, job, sum(p.get("frames", 0) for p in parts), seconds)


def clip_thumbnail(path: str) -> Optional[str]:
    """A JPEG thumbnail of the clip's middle frame, base64; None when it does
    not read (or OpenCV's Python module, which reads it, is missing)."""
    try:
        import cv2
        import nightdehaze._core as core
        capture = cv2.VideoCapture(path)
        count = capture.get(cv2.CAP_PROP_FRAME_COUNT)
        if count > 1:
            capture.set(cv2.CAP_PROP_POS_FRAMES, int(count // 2))
        read, frame = capture.read()
        capture.release()
        if not read:
            return None
        small = core.shrink_to_fit(frame, THUMBNAIL_SIDE)
        return base64.b64encode(core.encode_jpeg(small, 85)).decode("ascii")
    except (ImportError, OSError, ValueError, RuntimeError):
        return None
