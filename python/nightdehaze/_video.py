"""VideoEnhancer: a stream of frames enhanced as enhance does, steadily."""

from __future__ import annotations

from typing import List, Optional

import numpy as np

from . import _core
from ._checks import color8, in_order, integer, real, wants_rgb
from ._options import as_text, default, documented

# Each frame enhanced at once is a thread and about 125 bytes per pixel.
_MAX_PARALLEL_FRAMES = 1024


@documented
class VideoEnhancer:
    """Enhances a stream of video frames as ``enhance`` does, steadily from frame to frame.

    Usage::

        enhancer = nightdehaze.VideoEnhancer(frames_per_second=25.0)
        for frame in frames:
            out = enhancer.push(frame)   # None while the first frames are in flight
            if out is not None:
                show(out)
        for out in enhancer.flush():     # the frames still in flight, oldest first
            show(out)

    Frames are (H, W, 3) uint8 arrays, 0..255, in B, G, R order (as
    ``cv2.VideoCapture`` reads them) unless ``channel_order="rgb"``; any
    memory layout; the size may change between frames. Each frame is copied
    on the way in, so the caller may reuse its array at once; every frame
    returned is a new (H, W, 3) uint8 array of that frame's size, in the same
    channel order. Frames come back in the order they went in, each exactly
    once: ``push`` returns the oldest frame once ``parallel_frames + 1`` are
    in flight (waiting for it) and ``None`` before, and ``flush`` returns all
    frames still in flight. After ``flush`` more frames may be pushed, the
    steady limits carrying on.

    In steady mode the limits of the two contrast stretches (the means of
    the darkest and brightest 1 % of each channel) are smoothed over time,
    so that brightness and colour hold when a light enters the picture or
    the noise changes; a scene that holds still comes to exactly
    ``enhance(frame)`` after a few time constants. Without it every frame is
    exactly ``enhance(frame)``.

    The GIL is released while frames are enhanced, on ``parallel_frames``
    threads of the library's own (each also spread over
    ``set_num_threads``'s threads). Threads sharing one enhancer take turns.
    Ctrl-C raises KeyboardInterrupt when the waiting ``push`` or ``flush``
    returns; frames still in flight are discarded when the enhancer is.

    Parameters
    ----------
    gamma : float, optional
        {gamma}
    non_local : bool, optional
        {non_local}
    clean : bool, optional
        {clean}
    fast : bool, optional
        {fast}
    frames_per_second : float, optional
        The stream's frame rate, finite and > 0; the smoothing spans
        seconds, not frames.
    steady : bool, optional
        Smooth the stretch limits over time (True) or enhance every frame on
        its own (False).
    smoothing_seconds : float, optional
        The seconds over which the smoothed limits close 63 % of a change,
        finite and > 0. Longer evens out more of a passing light and follows
        a real change of the scene more slowly.
    parallel_frames : int or None, optional
        Frames enhanced at once, 1..1024; None: as many as
        ``get_num_threads()``. Memory grows with it, about 125 bytes per
        pixel per frame.
    channel_order : {{"bgr", "rgb"}}, optional
        The channel order of the frames in and out.

    Raises
    ------
    TypeError, ValueError
        An argument or frame of another type, dtype, shape or range; the
        message names it.
    MemoryError
        From ``push`` or ``flush`` when a frame did not fit in memory; that
        frame is dropped, the others stay in flight.
    """

    def __init__(
        self,
        *,
        gamma: float = default("gamma"),
        non_local: bool = default("non_local"),
        clean: bool = default("clean"),
        fast: bool = default("fast"),
        frames_per_second: float = 30.0,
        steady: bool = True,
        smoothing_seconds: float = 2.0,
        parallel_frames: Optional[int] = None,
        channel_order: str = "bgr",
    ) -> None:
        self._rgb = wants_rgb(channel_order)
        parallel = 0
        if parallel_frames is not None:
            parallel = integer("parallel_frames", parallel_frames, 1, _MAX_PARALLEL_FRAMES)
        self._core = _core.VideoEnhancer(
            options=as_text({"gamma": gamma, "non_local": non_local, "clean": clean, "fast": fast}),
            frames_per_second=real("frames_per_second", frames_per_second, positive=True),
            steady=bool(steady),
            smoothing_seconds=real("smoothing_seconds", smoothing_seconds, positive=True),
            parallel_frames=parallel,
        )

    def push(self, frame: np.ndarray, seconds: Optional[float] = None) -> Optional[np.ndarray]:
        """Takes a copy of ``frame``; returns the oldest enhanced frame once
        the pipeline is full, else None. ``seconds``: the frame's time on the
        stream's clock (finite, rising), as for ``offer``."""
        enhanced = self._core.push(color8("frame", frame, self._rgb), self._time(seconds))
        return None if enhanced is None else in_order(enhanced, self._rgb)

    def offer(self, frame: np.ndarray, seconds: Optional[float] = None) -> bool:
        """For a live source, which must not wait: takes a copy of ``frame``
        and returns True, or returns False without taking it when
        ``parallel_frames + 1`` frames are in flight already (drop it).

        ``seconds`` is the frame's time on the stream's clock (finite, rising
        from frame to frame, for example ``cv2.CAP_PROP_POS_MSEC / 1000``).
        Given, steady mode smooths over the time between the frames taken,
        so dropped frames do not slow it; None counts one frame at
        ``frames_per_second``."""
        return self._core.offer(color8("frame", frame, self._rgb), self._time(seconds))

    @staticmethod
    def _time(seconds: Optional[float]) -> Optional[float]:
        return None if seconds is None else real("seconds", seconds, positive=False)

    def ready(self) -> List[np.ndarray]:
        """The frames enhanced so far, oldest first, without waiting: empty
        while the oldest frame in flight is still being enhanced."""
        return [in_order(enhanced, self._rgb) for enhanced in self._core.ready()]

    def flush(self) -> List[np.ndarray]:
        """Waits for every frame in flight and returns them, oldest first."""
        return [in_order(enhanced, self._rgb) for enhanced in self._core.flush()]

    @property
    def frames_in_flight(self) -> int:
        """Frames pushed and not yet returned."""
        return self._core.frames_in_flight
