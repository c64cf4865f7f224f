"""Enhancement of colour photographs taken at night in haze.

The functions take numpy arrays and return new ones, with the same bits as the
``nightdehaze`` command-line tool and C++ library. Colour images are
(H, W, 3) uint8 arrays in B, G, R order unless ``channel_order="rgb"`` is
given; any memory layout is accepted (slices, Fortran order, negative
strides). The GIL is released while the library runs, so other Python
threads keep running and several calls may run at once; Ctrl-C
(KeyboardInterrupt) stops a running call within a fraction of a second when
the call was made on the main thread.

Importing the package makes OpenCV keep freed large buffers (128 KiB and
more) for reuse, as the tool does, for every ``cv::Mat`` of the process
(``cv2``'s included): memory is held up to the largest working set seen.
"""

from __future__ import annotations

import math
import numbers
import operator
import os
from typing import NamedTuple, Optional, Union

import numpy as np

from . import _core
from ._core import Context

__version__: str = _core.__version__

__all__ = [
    "Context",
    "DehazeResult",
    "VideoEnhancer",
    "EnhanceResult",
    "box_filter",
    "color_correction",
    "contrast_stretch",
    "dark_channel",
    "dehaze",
    "enhance",
    "enhance_file",
    "get_num_threads",
    "guided_filter_color",
    "guided_filter_gray",
    "light_compensation",
    "non_local_guided_filter",
    "pad_symmetric",
    "set_num_threads",
]

# Radii beyond this are far wider than any picture; refusing them keeps the
# window arithmetic of the library well inside int.
_MAX_RADIUS = 1 << 24

_STAGE_RADIUS = 5  # window radius of every stage of enhance
_STAGE_EPS = 0.01  # guided-filter regularisation of enhance, 0..1 scale


class EnhanceResult(NamedTuple):
    """What ``enhance(..., maps=True)`` returns."""

    image: np.ndarray  #: (H, W, 3) uint8, the enhanced picture
    airlight: np.ndarray  #: (H, W, 3) uint8, local atmospheric light, 0..255
    transmission: np.ndarray  #: (H, W) float64, 0..1


class DehazeResult(NamedTuple):
    """What ``dehaze`` returns."""

    dehazed: np.ndarray  #: (H, W, 3) uint8
    airlight: np.ndarray  #: (H, W, 3) uint8, local atmospheric light, 0..255
    transmission: np.ndarray  #: (H, W) float64, 0..1


# ---------------------------------------------------------------------------
# Argument checks. Every message names what was expected and what was given.


def _array(name: str, value: object) -> np.ndarray:
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name}: expected a numpy array, got {type(value).__name__}")
    if value.size == 0:
        raise ValueError(f"{name}: expected a non-empty array, got shape {value.shape}")
    return value


def _channel_order(value: object) -> bool:
    """True for "rgb", False for "bgr"."""
    if not isinstance(value, str) or value.lower() not in ("bgr", "rgb"):
        raise ValueError(f'channel_order: expected "bgr" or "rgb", got {value!r}')
    return value.lower() == "rgb"


def _integer(name: str, value: object, minimum: int, maximum: int = _MAX_RADIUS) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}") from None
    if not minimum <= number <= maximum:
        raise ValueError(f"{name}: expected an integer from {minimum} to {maximum}, got {number}")
    return number


def _real(name: str, value: object, *, positive: bool) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a number, got {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number) or number < 0 or (positive and number == 0):
        expected = "a finite number greater than 0" if positive else "a finite number >= 0"
        raise ValueError(f"{name}: expected {expected}, got {value!r}")
    return number


def _to_8bit(image: np.ndarray) -> np.ndarray:
    """uint8 as it is; uint16 as its high byte (v >> 8)."""
    if image.dtype == np.uint8:
        return image
    if image.dtype == np.uint16:
        return (image >> 8).astype(np.uint8)
    raise TypeError(f"image: expected dtype uint8 or uint16, got {image.dtype}")


def _photo(image: object, channel_order: object) -> np.ndarray:
    """Any accepted photograph as a C-contiguous (H, W, 3) uint8 BGR array,
    converted as the tool converts files: grey repeated into three channels,
    alpha dropped, 16 bits reduced to the high byte."""
    array = _array("image", image)
    rgb = _channel_order(channel_order)
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[:, :, 0]
    if array.ndim == 2:
        array = np.repeat(_to_8bit(array)[:, :, np.newaxis], 3, axis=2)
    elif array.ndim == 3 and array.shape[2] in (3, 4):
        array = _to_8bit(array[:, :, :3])
        if rgb:
            array = array[:, :, ::-1]
    else:
        raise ValueError(
            "image: expected shape (H, W) grey, (H, W, 3) colour or (H, W, 4) colour with alpha, "
            f"got {array.shape}"
        )
    return np.ascontiguousarray(array)


def _color8(name: str, image: object, rgb: bool) -> np.ndarray:
    """An (H, W, 3) uint8 colour image as a C-contiguous BGR array."""
    array = _array(name, image)
    if array.dtype != np.uint8:
        raise TypeError(f"{name}: expected dtype uint8, got {array.dtype}")
    if array.ndim != 3 or array.shape[2] != 3:
        raise ValueError(f"{name}: expected shape (H, W, 3), got {array.shape}")
    return np.ascontiguousarray(array[:, :, ::-1] if rgb else array)


def _plane(name: str, image: object) -> np.ndarray:
    """A real-valued (H, W) array as C-contiguous uint8 (kept) or float64."""
    array = _array(name, image)
    if array.dtype.kind not in "uif":
        raise TypeError(f"{name}: expected a real-valued dtype, got {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name}: expected shape (H, W), got {array.shape}")
    if array.dtype != np.uint8:
        array = array.astype(np.float64, copy=False)
    return np.ascontiguousarray(array)


def _guide3(name: str, image: object, shape: tuple) -> np.ndarray:
    array = _array(name, image)
    if array.dtype.kind not in "uif":
        raise TypeError(f"{name}: expected a real-valued dtype, got {array.dtype}")
    if array.ndim != 3 or array.shape[2] != 3 or array.shape[:2] != shape:
        raise ValueError(f"{name}: expected shape {shape + (3,)}, got {array.shape}")
    if array.dtype != np.uint8:
        array = array.astype(np.float64, copy=False)
    return np.ascontiguousarray(array)


def _same_shape(name: str, array: np.ndarray, shape: tuple) -> None:
    if array.shape[:2] != shape:
        raise ValueError(f"{name}: expected shape {shape}, got {array.shape}")


def _context(context: Optional[Context]) -> Context:
    if context is None:
        return Context()
    if not isinstance(context, Context):
        raise TypeError(f"context: expected a nightdehaze.Context, got {type(context).__name__}")
    _integer("context.refine_radius", context.refine_radius, 0)
    _integer("context.patch_radius", context.patch_radius, 1)
    _integer("context.search_radius", context.search_radius, 0)
    _real("context.noise_sigma", context.noise_sigma, positive=True)
    _real("context.non_local_eps", context.non_local_eps, positive=False)
    _real("context.gamma", context.gamma, positive=True)
    return context


def _in_order(bgr: np.ndarray, rgb: bool) -> np.ndarray:
    return np.ascontiguousarray(bgr[:, :, ::-1]) if rgb else bgr


# ---------------------------------------------------------------------------
# The whole pipeline.


def enhance(
    image: np.ndarray,
    *,
    gamma: float = 1.2,
    non_local: bool = False,
    clean: bool = False,
    channel_order: str = "bgr",
    maps: bool = False,
) -> Union[np.ndarray, EnhanceResult]:
    """Enhances a night-time hazy photograph exactly as the ``nightdehaze`` tool does.

    Light compensation, contrast stretch, colour correction, contrast stretch
    and dehazing; the result has the tool's bits for the same picture.

    Args:
        image: numpy array, any memory layout. (H, W, 3) uint8 colour is used
            as it is (no copy when C-contiguous in B, G, R order). Other
            arrays become 8-bit colour as the tool turns such files into 8-bit
            colour: grey (H, W) or (H, W, 1) has its value repeated in the
            three channels; (H, W, 4) colour with alpha loses the alpha
            channel (no blending); uint16 values become their high byte
            (v >> 8), as OpenCV decodes 16-bit PNG (its TIFF decoder rounds
            v / 257 for 16-bit colour instead). So
            ``enhance(cv2.imread(p, cv2.IMREAD_UNCHANGED))`` equals the tool's
            output for ``p`` (for a JPEG with an EXIF orientation use
            ``cv2.imread(p)``, which turns the picture as the tool does).
        gamma: colour-correction exponent, a finite number > 0; larger values
            brighten dim neighbourhoods more.
        non_local: smooth with the non-local guided filter instead of the
            colour guided filter (about 18 times slower).
        clean: also suppress what the enhancement would amplify from JPEG
            compression and sensor noise, as the tool's ``--clean``: small
            steps on the picture's 8x8 JPEG block grid are smoothed out of
            the input, and every variation of the result smaller than about
            2.5 times the input's noise level times the local gain of the
            enhancement is flattened (lamps, edges and stronger detail
            stay). About 15 % slower; False gives the plain enhancement.
        channel_order: "bgr" (OpenCV) or "rgb" (imageio, PIL, scikit-image);
            the result comes back in the same order.
        maps: also return the dehazing stage's maps.

    Returns:
        A new (H, W, 3) uint8 array; with ``maps=True`` an ``EnhanceResult``
        ``(image, airlight, transmission)``: airlight (H, W, 3) uint8 in the
        same channel order, transmission (H, W) float64 in 0..1.

    Raises:
        TypeError: image is not a numpy array, or of another dtype.
        ValueError: another shape, an empty image, a bad channel_order or gamma.
        MemoryError: the picture does not fit in memory.
        KeyboardInterrupt: Ctrl-C while the call ran.
    """
    rgb = _channel_order(channel_order)
    bgr8 = _photo(image, channel_order)
    gamma = _real("gamma", gamma, positive=True)
    if not maps:
        return _in_order(_core.enhance(bgr8, gamma, bool(non_local), False, bool(clean)), rgb)
    result, airlight, transmission = _core.enhance(bgr8, gamma, bool(non_local), True, bool(clean))
    return EnhanceResult(_in_order(result, rgb), _in_order(airlight, rgb), transmission)


def enhance_file(
    path: Union[str, os.PathLike],
    output: Union[str, os.PathLike, None] = None,
    *,
    gamma: float = 1.2,
    non_local: bool = False,
    clean: bool = False,
    maps: bool = False,
    quality: Optional[int] = None,
) -> str:
    """Enhances one image file exactly as ``nightdehaze [-o OUTPUT] [--maps] [--clean] PATH GAMMA`` does.

    The file is decoded as the tool decodes it (any format OpenCV reads; a
    JPEG whose data ends before its picture does is refused). Without
    ``output`` the result goes to the path without its last four characters
    plus ``_J.bmp`` ("pics/night.png" -> "pics/night_J.bmp"); otherwise to
    ``output``, in the format of its extension. With ``maps`` the airlight
    and the transmission (0..1 as 0..255) are written beside it as
    ``<stem>_A`` and ``<stem>_T`` in the result's format, ``<stem>`` being
    the output path without its last four characters. ``quality`` (1..100)
    sets the JPEG or WebP quality, as ``--quality``. ``clean`` suppresses
    amplified JPEG blocks and noise, as ``--clean`` (see ``enhance``). The input's EXIF, XMP and
    ICC profile are copied into JPEG, PNG, TIFF and WebP results, with the
    orientation reset where the pixels were turned upright. Every file is written to a
    temporary file in its directory and renamed into place only when all
    are complete: a failure leaves no partial file and existing files
    untouched. Nothing is printed.

    Returns:
        The path of the enhanced image.

    Raises:
        FileNotFoundError, PermissionError (other OSError subclasses for other
            system errors): the input cannot be read or an output written.
        ValueError: the file is not a decodable image, is a cut-off JPEG, is
            too large for this machine, the output's extension names no
            format OpenCV writes, or gamma is not a finite number > 0.
        MemoryError: processing ran out of memory.
        KeyboardInterrupt: Ctrl-C while the call ran; no output is written.
        The message of each is the tool's one-line message.
    """
    for name, value in (("path", path), ("output", output)):
        if value is not None and not isinstance(value, (str, bytes, os.PathLike)):
            raise TypeError(f"{name}: expected a path, got {type(value).__name__}")
    gamma = _real("gamma", gamma, positive=True)
    if quality is not None:
        if isinstance(quality, bool) or not isinstance(quality, numbers.Integral):
            raise TypeError(f"quality: expected an integer, got {type(quality).__name__}")
        if not 1 <= quality <= 100:
            raise ValueError(f"quality: expected 1..100, got {quality}")
        quality = int(quality)
    return _core.enhance_file(
        os.fsdecode(path),
        None if output is None else os.fsdecode(output),
        gamma,
        bool(non_local),
        bool(maps),
        quality,
        bool(clean),
    )


# ---------------------------------------------------------------------------
# Video.

# Each frame enhanced at once is a thread and about 125 bytes per pixel.
_MAX_PARALLEL_FRAMES = 1024


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

    Args:
        gamma: colour-correction exponent, a finite number > 0, as in ``enhance``.
        non_local: the non-local guided filter, as in ``enhance``.
        clean: suppress amplified JPEG blocks and noise, as in ``enhance``.
        frames_per_second: the stream's frame rate, a finite number > 0; the
            smoothing spans seconds, not frames.
        steady: smooth the stretch limits over time (True) or enhance every
            frame on its own (False).
        smoothing_seconds: the seconds over which the smoothed limits close
            63 % of a change, a finite number > 0. Longer evens out more of a
            passing light and follows a real change of the scene more slowly.
        parallel_frames: frames enhanced at once, 1..1024; None: as many as
            ``get_num_threads()``. Memory grows with it, about 125 bytes per
            pixel per frame.
        channel_order: "bgr" (OpenCV) or "rgb", for frames in and out.

    Raises:
        TypeError, ValueError: an argument or frame of another type, dtype,
            shape or range; the message names it.
        MemoryError: from ``push`` or ``flush`` when a frame did not fit in
            memory; that frame is dropped, the others stay in flight.
    """

    def __init__(
        self,
        *,
        gamma: float = 1.2,
        non_local: bool = False,
        clean: bool = False,
        frames_per_second: float = 30.0,
        steady: bool = True,
        smoothing_seconds: float = 2.0,
        parallel_frames: Optional[int] = None,
        channel_order: str = "bgr",
    ) -> None:
        self._rgb = _channel_order(channel_order)
        parallel = 0
        if parallel_frames is not None:
            parallel = _integer("parallel_frames", parallel_frames, 1, _MAX_PARALLEL_FRAMES)
        self._core = _core.VideoEnhancer(
            gamma=_real("gamma", gamma, positive=True),
            non_local=bool(non_local),
            clean=bool(clean),
            frames_per_second=_real("frames_per_second", frames_per_second, positive=True),
            steady=bool(steady),
            smoothing_seconds=_real("smoothing_seconds", smoothing_seconds, positive=True),
            parallel_frames=parallel,
        )

    def push(self, frame: np.ndarray) -> Optional[np.ndarray]:
        """Takes a copy of ``frame``; returns the oldest enhanced frame once the pipeline is full, else None."""
        enhanced = self._core.push(_color8("frame", frame, self._rgb))
        return None if enhanced is None else _in_order(enhanced, self._rgb)

    def flush(self) -> list[np.ndarray]:
        """Waits for every frame in flight and returns them, oldest first."""
        return [_in_order(enhanced, self._rgb) for enhanced in self._core.flush()]

    @property
    def frames_in_flight(self) -> int:
        """Frames pushed and not yet returned."""
        return self._core.frames_in_flight


# ---------------------------------------------------------------------------
# Stages.


def light_compensation(
    image: np.ndarray, *, radius: int = 5, eps: float = 0.01, channel_order: str = "bgr"
) -> np.ndarray:
    """Brightens a dark picture, keeping hue and saturation (enhance's first stage).

    The HSV value V becomes 255*(V/255)^(1/3) times the ratio of V to an
    edge-preserving smoothed V (grey guided filter at ``radius``, the ratio
    smoothed at ``radius + 5``), rounded to 8 bits.

    Args:
        image: (H, W, 3) uint8 in ``channel_order``, any layout.
        radius: window radius, integer >= 0 (enhance uses 5).
        eps: guided-filter regularisation on the 0..1 scale, finite >= 0 (0.01).

    Returns:
        A new (H, W, 3) uint8 array in the same channel order.
    """
    rgb = _channel_order(channel_order)
    src = _color8("image", image, rgb)
    radius = _integer("radius", radius, 0)
    eps = _real("eps", eps, positive=False)
    return _in_order(_core.light_compensation(src, radius, eps), rgb)


def contrast_stretch(image: np.ndarray) -> np.ndarray:
    """Stretches each channel so that its darkest 1 % averages 0 and its brightest 1 % 255.

    Values outside saturate; a channel whose two tail means are equal is left
    unchanged. Channels are independent, so the channel order does not matter.

    Args:
        image: (H, W, 3) uint8, any layout.

    Returns:
        A new (H, W, 3) uint8 array.
    """
    return _core.contrast_stretch(_color8("image", image, False))


def color_correction(
    image: np.ndarray,
    *,
    radius: int = 5,
    eps: float = 0.01,
    context: Optional[Context] = None,
    channel_order: str = "bgr",
) -> np.ndarray:
    """The colour-correction map: per-pixel factors (mostly 0.1..1) of the local light.

    Dividing the image by the map (a zero factor giving 0) neutralises the
    colour of the local light; enhance does that, rounding to uint8.

    Args:
        image: (H, W, 3) uint8 in ``channel_order``, any layout.
        radius: window radius of the light estimate, integer >= 1 (enhance uses 5).
        eps: guided-filter regularisation on the 0..1 scale, finite >= 0 (0.01).
        context: the processing parameters (``refine_radius``, ``gamma``,
            ``non_local`` and the non-local filter's); default ``Context()``.

    Returns:
        A new (H, W, 3) float64 array in the same channel order.
    """
    rgb = _channel_order(channel_order)
    src = _color8("image", image, rgb)
    radius = _integer("radius", radius, 1)
    eps = _real("eps", eps, positive=False)
    return _in_order(_context(context).color_correction(src, radius, eps), rgb)


def dehaze(
    image: np.ndarray,
    *,
    radius: int = 5,
    eps: float = 0.01,
    context: Optional[Context] = None,
    channel_order: str = "bgr",
) -> DehazeResult:
    """Removes haze (enhance's last stage).

    Args:
        image: (H, W, 3) uint8 in ``channel_order``, any layout.
        radius: window radius of the estimates, integer >= 1 (enhance uses 5).
        eps: guided-filter regularisation on the 0..1 scale, finite >= 0 (0.01).
        context: the processing parameters; default ``Context()``.

    Returns:
        ``DehazeResult(dehazed, airlight, transmission)``: (H, W, 3) uint8 and
        (H, W, 3) uint8 (0..255, saturated) in the same channel order, and
        (H, W) float64 in 0..1.
    """
    rgb = _channel_order(channel_order)
    src = _color8("image", image, rgb)
    radius = _integer("radius", radius, 1)
    eps = _real("eps", eps, positive=False)
    dehazed, airlight, transmission = _context(context).dehaze(src, radius, eps)
    return DehazeResult(_in_order(dehazed, rgb), _in_order(airlight, rgb), transmission)


# ---------------------------------------------------------------------------
# Kernels. A window of radius r is the (2r+1) x (2r+1) square around a pixel,
# clipped at the border: pixels outside are neither read nor counted. Inputs
# of any real dtype are taken as float64 (uint8 as it is), not rescaled.


def box_filter(image: np.ndarray, radius: int) -> np.ndarray:
    """Window sums (not means) of an (H, W) array over windows of ``radius`` (>= 0).

    Returns a new (H, W) float64 array, in the input's units.
    """
    return _core.box_filter(_plane("image", image), _integer("radius", radius, 0))


def guided_filter_gray(guide: np.ndarray, image: np.ndarray, radius: int, eps: float) -> np.ndarray:
    """Guided filter of ``image`` under a single-channel ``guide``.

    q = mean(a) * I + mean(b) with a = cov(I, p) / (var(I) + eps) and
    b = mean(p) - a * mean(I) over every window of ``radius`` (>= 0).

    Args:
        guide, image: (H, W) real arrays of one shape, on the scale eps applies
            to (0..1 for eps = 0.01).
        eps: regularisation, finite >= 0.

    Returns:
        A new (H, W) float64 array.
    """
    guide = _plane("guide", guide)
    image = _plane("image", image)
    _same_shape("image", image, guide.shape)
    return _core.guided_filter_gray(guide, image, _integer("radius", radius, 0),
                                    _real("eps", eps, positive=False))


def guided_filter_color(guide: np.ndarray, image: np.ndarray, radius: int, eps: float) -> np.ndarray:
    """Guided filter of ``image`` under a three-channel ``guide``.

    Over every window of ``radius`` (>= 0), image is fitted as a linear
    function of the guide's channels plus b (guide covariance + eps on its
    diagonal); the window means of the coefficients are applied to the guide.

    Args:
        guide: (H, W, 3) real array; image: (H, W) real array; on the scale eps
            applies to (0..1 for eps = 0.01). Channel order is irrelevant.
        eps: regularisation, finite >= 0.

    Returns:
        A new (H, W) float64 array.
    """
    image = _plane("image", image)
    guide = _guide3("guide", guide, image.shape)
    return _core.guided_filter_color(guide, image, _integer("radius", radius, 0),
                                     _real("eps", eps, positive=False))


def non_local_guided_filter(
    guide: np.ndarray,
    image: np.ndarray,
    *,
    patch_radius: int = 1,
    search_radius: int = 16,
    sigma: float = 25.0,
    eps: float = 100.0,
) -> np.ndarray:
    """Guided filter whose local means are non-local-means weighted means.

    Weights over the search window of ``search_radius`` (>= 0, clipped at the
    border) come from the distance of the (2 patch_radius + 1)^2 guide
    patches (mirrored at the border, guide rounded to whole grey levels),
    noise level ``sigma``; eps is added to the diagonal of each pixel's guide
    covariance. Slow: about 3 s per megapixel and thread at the defaults.

    Args:
        guide: (H, W, 3) real array; image: (H, W) real array; both on the
            0..255 scale, where sigma and eps apply.
        patch_radius: integer >= 1. sigma: finite > 0. eps: finite >= 0.

    Returns:
        A new (H, W) float64 array.
    """
    image = _plane("image", image)
    guide = _guide3("guide", guide, image.shape)
    return _core.non_local_guided_filter(
        guide,
        image,
        _integer("patch_radius", patch_radius, 1),
        _integer("search_radius", search_radius, 0),
        _real("sigma", sigma, positive=True),
        _real("eps", eps, positive=False),
    )


def pad_symmetric(image: np.ndarray, radius: int) -> np.ndarray:
    """Pads an (H, W) array by ``radius`` (>= 1) on every side, mirroring across each edge.

    The edge itself is repeated (c b a | a b c d | d c b), and a border wider
    than the image keeps reflecting. Values are rounded and saturated to
    0..255 on the way in.

    Returns:
        A new (H + 2 radius, W + 2 radius) uint8 array.
    """
    return _core.pad_symmetric(_plane("image", image), _integer("radius", radius, 1))


def dark_channel(image: np.ndarray, radius: int) -> np.ndarray:
    """The minimum over the three channels and the window of ``radius`` (>= 0).

    Args:
        image: (H, W, 3) uint8, any channel order and layout.

    Returns:
        A new (H, W) float64 array in 0..255.
    """
    return _core.dark_channel(_color8("image", image, False), _integer("radius", radius, 0))


# ---------------------------------------------------------------------------
# Threads.


def set_num_threads(n: Optional[int]) -> None:
    """Sets the number of threads of every later call in the process (all cores by default).

    This is OpenCV's process-wide setting (``cv2.setNumThreads`` changes the
    same one). ``None`` restores the default. For many small pictures, one
    thread per process and one process per core is fastest.
    """
    if n is None:
        _core.set_num_threads(-1)
    else:
        _core.set_num_threads(_integer("n", n, 1, 1 << 16))


def get_num_threads() -> int:
    """The number of threads later calls use."""
    return _core.get_num_threads()
