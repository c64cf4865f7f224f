"""What the preview computes: pictures shrunk to screen size, enhanced
previews at screen or full size, thumbnails, and the saved result.

Memory is bounded: a few screen-size pictures, the latest enhancement at each
size and the thumbnails are kept; at most two screen-size and one full-size
computation run at once. A new preview at a size cancels the one still being
computed at that size (it then raises nightdehaze.Cancelled).
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from typing import Callable, Hashable, List, Sequence, Tuple

import numpy as np

from .. import Cancellation, Cancelled, EnhanceResult, _core, enhance, enhance_file, imread
from ._catalogue import Entry
from ._params import SIZES, RequestError, Settings

SCREEN_SIDE = 1280  # the longer side of a preview that fits the screen, pixels
THUMBNAIL_SIDE = 160
SCREEN_QUALITY = 92  # JPEG: no visible loss at screen size, small enough to follow a slider
PNG = ".png"  # full size is sent losslessly: its own JPEG blocks are what one looks for


class _Lru:
    """At most capacity values, the least recently used dropped first."""

    def __init__(self, capacity: int) -> None:
        self._capacity = capacity
        self._values: OrderedDict = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable, make: Callable[[], object]) -> object:
        with self._lock:
            if key in self._values:
                self._values.move_to_end(key)
                return self._values[key]
        value = make()
        with self._lock:
            self._values[key] = value
            while len(self._values) > self._capacity:
                self._values.popitem(last=False)
        return value


def _encoded(picture: np.ndarray, size: str) -> Tuple[bytes, str]:
    picture = np.ascontiguousarray(picture)
    if size == "screen":
        return _core.encode_jpeg(picture, SCREEN_QUALITY), "image/jpeg"
    return _core.encode_png(picture), "image/png"


def _same_file(a: str, b: str) -> bool:
    """a and b name one file (a link, or the same path)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


class Renderer:
    """The computations behind the page, for the pictures of a catalogue."""

    def __init__(self, entries: Sequence[Entry]) -> None:
        self.entries = list(entries)
        self._screen = _Lru(8)
        self._full = _Lru(1)
        self._thumbnails = _Lru(512)
        self._enhanced = {size: _Lru(1) for size in SIZES}
        self._gates = {"screen": threading.Semaphore(2), "full": threading.Semaphore(1)}
        self._thumbnail_gate = threading.Semaphore(1)
        self._decode_gate = threading.Semaphore(2)
        self._latest = {}
        self._latest_lock = threading.Lock()
        self._sizes = {}

    def thumbnail(self, number: int) -> bytes:
        """A JPEG of the picture, its longer side at most THUMBNAIL_SIDE."""
        def make() -> bytes:
            with self._thumbnail_gate:
                return _core.thumbnail(self.entries[number].path, THUMBNAIL_SIDE)
        return self._thumbnails.get(number, make)

    def picture(self, number: int, size: str) -> np.ndarray:
        """The picture as the tool reads it (B, G, R, upright), at full size or
        shrunk to fit SCREEN_SIDE."""
        if size == "full":
            return self._full.get(number, lambda: self._read(number))
        return self._screen.get(number, lambda: _core.shrink_to_fit(self._read(number), SCREEN_SIDE))

    def full_size(self, number: int) -> Tuple[int, int]:
        """(width, height) of the picture as read; reads it when not yet known."""
        if number not in self._sizes:
            self.picture(number, "screen")
        return self._sizes[number]

    def _read(self, number: int) -> np.ndarray:
        with self._decode_gate:
            picture = imread(self.entries[number].path)
        self._sizes[number] = (picture.shape[1], picture.shape[0])
        return picture

    def original(self, number: int, size: str) -> Tuple[bytes, str]:
        """The picture before enhancement, encoded for the page."""
        return _encoded(self.picture(number, size), size)

    def preview(self, number: int, size: str, settings: Settings, view: str) -> Tuple[bytes, str]:
        """The enhanced picture (or one of its maps) at size, encoded for the
        page. Raises Cancelled when a newer preview at that size came first."""
        cancellation = self._supersede(size)
        key = (number, settings)
        enhanced = self._enhanced[size].get(key, lambda: self._enhance(number, size, settings, cancellation))
        if view == "airlight":
            return _encoded(enhanced.airlight, size)
        if view == "transmission":
            return _encoded(_core.transmission_bytes(enhanced.transmission), size)
        return _encoded(enhanced.image, size)

    def _supersede(self, size: str) -> Cancellation:
        """A new cancellation for the preview at size, cancelling the one before."""
        cancellation = Cancellation()
        with self._latest_lock:
            previous = self._latest.get(size)
            if previous is not None:
                previous.cancel()
            self._latest[size] = cancellation
        return cancellation

    def _enhance(self, number: int, size: str, settings: Settings,
                 cancellation: Cancellation) -> EnhanceResult:
        picture = self.picture(number, size)
        with self._gates[size]:
            if cancellation.cancelled:
                raise Cancelled("a newer preview was asked for")
            return enhance(picture, maps=True, cancellation=cancellation, **settings.keywords())

    def save(self, number: int, settings: Settings, maps: bool) -> List[str]:
        """Writes the picture's result (and with maps its maps) as the tool
        does with these settings; returns the paths written. RequestError
        (409) when that would overwrite a picture being shown."""
        entry = self.entries[number]
        shown = [e.path for e in self.entries if any(_same_file(e.path, w) for w in entry.written(maps))]
        if shown:
            raise RequestError(409, f"Save would overwrite '{os.path.basename(shown[0])}', a picture "
                                    "of the strip: start the preview with --output-dir")
        if entry.output is not None:
            os.makedirs(os.path.dirname(entry.output), exist_ok=True)
        with self._gates["full"]:
            enhance_file(entry.path, entry.output, maps=maps, **settings.keywords())
        return list(entry.written(maps))
