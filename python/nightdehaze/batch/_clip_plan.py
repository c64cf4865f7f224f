"""How the batch cuts a clip into parts, and where the parts are written.

The batch plans on its own machine, from the container's index (nothing is
decoded): a clip longer than --split becomes parts that start at key frames,
each part after the first warmed up in steady mode over the seconds before
its cut, so that its smoothing reaches the cut in the state one run over the
whole clip has there.
"""

import json
import os
import time
from typing import Dict, Optional

from .. import _core
from .._options import as_text, default
from ._clip_task import remove_quietly

# The default --split, 300 s, follows from this warm-up: parts of 5 minutes
# spend a tenth more on it, and a fleet's clips of one to three minutes, which
# keep the workers busy side by side, stay in one piece.
#
# The steady warm-up before each cut: fifteen time constants of the default
# smoothing (2 s). The two stretches of a frame feed one another, so their
# limits forget where they started more slowly than one smoothing would: on
# scenes whose lights never rest six time constants still leave a few levels,
# fifteen leave none (tests/video/clip_parts_test.cpp).
WARM_UP_SECONDS = 30.0

# The options a clip's enhancement takes, as the tool passes them to its
# video path; --maps is passed so that a clip refuses it in the tool's words.
_CLIP_OPTIONS = ("gamma", "non_local", "clean", "fast", "per_frame", "maps")

# Names the part files of this batch apart from another's beside them.
_BATCH_TOKEN = f"{os.getpid()}-{time.time_ns()}"

# What the extension says when this machine has no video module.
_NO_VIDEO_MODULE = "videos cannot be read here"


def _plan(path: str, split: float, warm: float) -> Optional[Dict]:
    """The clip's plan; None when this machine cannot read clips (the
    workers may); raises OSError or ValueError for a clip that cannot be read."""
    try:
        return json.loads(_core.clip_plan(path, split, warm))
    except (OSError, ValueError) as error:
        if _NO_VIDEO_MODULE in str(error):
            return None
        raise


def _spans(plan: Optional[Dict]):
    """[start, end, warm_from] of each part in the video stream's time base,
    None for an open end; empty for a clip in one piece."""
    if not plan or not plan["cuts"]:
        return []
    cuts, warm = plan["cuts"], plan["warm_from"]
    starts = [None] + cuts
    ends = cuts + [None]
    return [[starts[k], ends[k], warm[k - 1] if k else None] for k in range(len(cuts) + 1)]


def clip_job(job: Dict, given: Dict) -> Dict:
    """What a clip's job holds besides a picture's: the options its video
    path takes, its parts and the paths they are written to; or
    {"unreadable": reason} for a clip the batch cannot plan."""
    split = given.get("split")
    split = default("split") if split is None else split
    warm = 0.0 if given.get("per_frame") else WARM_UP_SECONDS
    try:
        plan = _plan(job["input_path"], split, warm)
    except (OSError, ValueError) as error:
        return {"unreadable": " ".join(str(error).split())}
    spans = _spans(plan)
    folder, name = os.path.split(job["output_path"])
    extension = os.path.splitext(name)[1] or ".mp4"
    parts = [os.path.join(folder, f".{name}.part{k}-{_BATCH_TOKEN}{extension}") for k in range(max(1, len(spans)))]
    return {"options": as_text({k: given.get(k) for k in _CLIP_OPTIONS}),
            "clip": {"spans": spans, "frames": plan["frames"] if plan else 0, "part_paths": parts,
                     "joined_path": os.path.join(folder, f".{name}.joined-{_BATCH_TOKEN}{extension}"),
                     "marker_path": os.path.join(folder, f".{name}.batch-{_BATCH_TOKEN}")}}


def mark_running(job: Dict) -> None:
    """Creates the clip's marker (and the output's folder): its parts are
    wanted while it exists."""
    marker = job["clip"]["marker_path"]
    os.makedirs(os.path.dirname(marker), exist_ok=True)
    with open(marker, "wb"):
        pass


def remove_part_files(job: Dict) -> None:
    """Removes the clip's marker and whatever its tasks left of its parts and
    its joined file (a worker killed or a batch stopped halfway)."""
    clip = job["clip"]
    for path in [clip["marker_path"]] + clip["part_paths"] + [clip["joined_path"]]:
        remove_quietly(path)
