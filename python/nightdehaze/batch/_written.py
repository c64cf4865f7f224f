"""Whether a picture's results were written during this batch.

Results are written all-or-nothing (a temporary renamed into place), so a
result file that is new or replaced since the batch looked at it before the
run is a complete result of this batch, whatever became of the task that
wrote it (a worker killed after the rename, a Ctrl-C after it)."""

import os
from typing import List, Optional, Sequence, Tuple

# What identifies one version of a file: its inode, size and modification time.
Signature = Optional[Tuple[int, int, int]]


def signature(path: str) -> Signature:
    """The file's signature, or None when there is none."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return (info.st_ino, info.st_size, info.st_mtime_ns)


def signatures(paths: Sequence[str]) -> List[Signature]:
    return [signature(p) for p in paths]


def written_since(paths: Sequence[str], before: Sequence[Signature]) -> bool:
    """True when every one of paths exists and each is another file, or the
    same file changed, than the signature taken before."""
    now = signatures(paths)
    return all(s is not None and s != b for s, b in zip(now, before))
