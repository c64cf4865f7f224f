"""Enhancement of colour photographs taken at night in haze.

The functions take numpy arrays and return new ones, with the same bits as the
``nightdehaze`` command-line tool and C++ library. Colour images are
(H, W, 3) uint8 arrays in B, G, R order unless ``channel_order="rgb"`` is
given; any memory layout is accepted (slices, Fortran order, negative
strides). The GIL is released while the library runs, so other Python
threads keep running and several calls may run at once; Ctrl-C
(KeyboardInterrupt) stops a running call within a fraction of a second when
the call was made on the main thread.

Importing the package changes nothing in OpenCV (``cv2``): while a call of
``enhance``, ``enhance_file`` or a ``VideoEnhancer`` runs, OpenCV keeps the
large buffers it frees for reuse, and hands them back when the call ends.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import Optional, Union

import numpy as np

from . import _core
from ._checks import (
    checked_context,
    color8,
    guide3,
    in_family,
    in_order,
    integer,
    nonempty_array,
    path_text,
    photo,
    plane,
    real,
    same_shape,
    wants_rgb,
)
from ._core import Cancellation, Cancelled, Context
from ._options import as_text, default, documented
from ._results import DehazeResult, EnhanceResult
from ._video import VideoEnhancer

__version__: str = _core.__version__

__all__ = [
    "Cancellation",
    "Cancelled",
    "Context",
    "DehazeResult",
    "EnhanceResult",
    "VideoEnhancer",
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
    "imread",
    "light_compensation",
    "non_local_guided_filter",
    "pad_symmetric",
    "set_num_threads",
]


def __dir__() -> list:
    return sorted(__all__ + ["__version__"])


# ---------------------------------------------------------------------------
# The whole pipeline.


@documented
def enhance(
    image: np.ndarray,
    *,
    gamma: float = default("gamma"),
    non_local: bool = default("non_local"),
    clean: bool = default("clean"),
    fast: bool = default("fast"),
    channel_order: str = "bgr",
    maps: bool = False,
    cancellation: Optional[Cancellation] = None,
) -> Union[np.ndarray, EnhanceResult]:
    """Enhances a night-time hazy photograph exactly as the ``nightdehaze`` tool does.

    Light compensation, contrast stretch, colour correction, contrast stretch
    and dehazing; the result has the tool's bits for the same picture.

    Parameters
    ----------
    image : numpy.ndarray
        Any memory layout. (H, W, 3) uint8 colour (0..255) is used as it is
        (no copy when C-contiguous in B, G, R order). Other arrays become
        8-bit colour as the tool turns such files into 8-bit colour: grey
        (H, W) or (H, W, 1) has its value repeated in the three channels;
        (H, W, 4) colour with alpha loses the alpha channel (no blending);
        uint16 values become their high byte (v >> 8), as OpenCV decodes
        16-bit PNG (its TIFF decoder rounds v / 257 for 16-bit colour
        instead). float32 and float64 arrays hold 0..1, as scikit-image's
        ``img_as_float`` gives them: values less than half a level (1/510)
        outside are clipped, NaN and values further out (a picture of
        0..255 in floats) are refused, and v * 255 (in double precision) is
        rounded to the nearest integer, halves to even. A stack (N, H, W, 3) or (N, H, W, 4) is N pictures, enhanced
        two at a time. So ``enhance(cv2.imread(p, cv2.IMREAD_UNCHANGED))``
        equals the tool's output for ``p`` (for a JPEG with an EXIF
        orientation use ``nightdehaze.imread(p)``, which turns the picture as
        the tool does).
    gamma : float, optional
        {gamma}
    non_local : bool, optional
        {non_local}
    clean : bool, optional
        {clean}
    fast : bool, optional
        {fast}
    channel_order : {{"bgr", "rgb"}}, optional
        "bgr" (OpenCV) or "rgb" (imageio, PIL, scikit-image); the result
        comes back in the same order.
    maps : bool, optional
        Also return the dehazing stage's maps.
    cancellation : Cancellation, optional
        Another thread's ``cancellation.cancel()`` stops the call within a
        fraction of a second; it then raises ``Cancelled``. A cancellation
        stays cancelled: make a new one for the next call.

    Returns
    -------
    numpy.ndarray or EnhanceResult
        A new (H, W, 3) array (a stack: (N, H, W, 3)) of the input's dtype
        family: uint8 for integer input, the input's float dtype in 0..1
        (v / 255) for float input. With ``maps=True`` an ``EnhanceResult``
        ``(image, airlight, transmission)``: airlight (H, W, 3) in the same
        channel order and dtype family, transmission (H, W) float64 in 0..1.

    Raises
    ------
    TypeError
        image is not a numpy array, or of another dtype.
    ValueError
        Another shape, an empty image, NaN or values outside 0..1 in a
        float image, a bad channel_order or gamma, or fast with non_local.
    MemoryError
        The picture does not fit in memory.
    KeyboardInterrupt
        Ctrl-C while the call ran.
    Cancelled
        The cancellation was cancelled before or while the call ran.
    """
    array = nonempty_array("image", image)
    if cancellation is not None and not isinstance(cancellation, Cancellation):
        raise TypeError(f"cancellation: expected a nightdehaze.Cancellation, got {type(cancellation).__name__}")
    if array.ndim == 4:
        return _enhance_stack(array, gamma=gamma, non_local=non_local, clean=clean, fast=fast,
                              channel_order=channel_order, maps=maps, cancellation=cancellation)
    rgb = wants_rgb(channel_order)
    bgr8 = photo(array, channel_order)
    options = as_text({"gamma": gamma, "non_local": non_local, "clean": clean, "fast": fast})
    if not maps:
        return in_family(in_order(_core.enhance(bgr8, options, cancellation=cancellation), rgb), array.dtype)
    result, airlight, transmission = _core.enhance(bgr8, options, maps=True, cancellation=cancellation)
    return EnhanceResult(in_family(in_order(result, rgb), array.dtype),
                         in_family(in_order(airlight, rgb), array.dtype), transmission)


# Pictures of a stack enhanced at once: each also runs on every thread, and
# two keep both cores of a small machine busy through each other's serial parts.
_STACK_CONCURRENCY = 2


def _enhance_stack(stack: np.ndarray, **options) -> Union[np.ndarray, EnhanceResult]:
    """enhance of each picture of an (N, H, W, C) stack, stacked again."""
    if stack.shape[3] not in (3, 4):
        raise ValueError(f"image: expected a stack (N, H, W, 3) or (N, H, W, 4), got {stack.shape}")
    with ThreadPoolExecutor(max_workers=_STACK_CONCURRENCY) as pool:
        results = list(pool.map(lambda picture: enhance(picture, **options), stack))
    if not options["maps"]:
        return np.stack(results)
    return EnhanceResult(*(np.stack(parts) for parts in zip(*results)))


def imread(path: Union[str, os.PathLike], *, channel_order: str = "bgr") -> np.ndarray:
    """Reads a picture as the tool reads it for enhancing.

    Any format OpenCV decodes; grey, 16-bit and alpha pictures become 8-bit
    colour as the tool converts them, a JPEG is turned upright by its EXIF
    orientation, and a JPEG whose data ends before its picture does is
    refused. ``enhance(imread(p))`` equals the tool's output for ``p``.

    Parameters
    ----------
    path : str or os.PathLike
        The picture to read.
    channel_order : {"bgr", "rgb"}, optional
        The channel order of the array returned.

    Returns
    -------
    numpy.ndarray
        A new (H, W, 3) uint8 array, 0..255.

    Raises
    ------
    FileNotFoundError, PermissionError
        (and other OSError subclasses) The file cannot be read.
    ValueError
        The file is not a decodable picture, or is too large for this machine.
    """
    rgb = wants_rgb(channel_order)
    return in_order(_core.imread(path_text("path", path)), rgb)


@documented
def enhance_file(
    path: Union[str, os.PathLike],
    output: Union[str, os.PathLike, None] = default("output"),
    *,
    gamma: float = default("gamma"),
    non_local: bool = default("non_local"),
    clean: bool = default("clean"),
    fast: bool = default("fast"),
    maps: bool = default("maps"),
    quality: Optional[int] = default("quality"),
) -> str:
    """Enhances one image file exactly as ``nightdehaze [-o OUTPUT] [OPTIONS] PATH GAMMA`` does.

    The file is decoded as the tool decodes it (any format OpenCV reads; a
    JPEG whose data ends before its picture does is refused). The input's
    EXIF, XMP and ICC profile are copied into JPEG, PNG, TIFF and WebP
    results, with the orientation reset where the pixels were turned
    upright. Every file is written to a temporary file in its directory and
    renamed into place only when all are complete: a failure leaves no
    partial file and existing files untouched. Nothing is printed.

    Parameters
    ----------
    path : str or os.PathLike
        The picture to read.
    output : str or os.PathLike, optional
        Where the result goes, in the format of its extension; by default
        the path without its extension plus ``_J.bmp`` ("pics/night.png" ->
        "pics/night_J.bmp", "night.jpeg" -> "night_J.bmp"), as the tool
        names it. An output that is the input under any of its names (a
        link, another spelling of the path) is refused.
    gamma : float, optional
        {gamma}
    non_local : bool, optional
        {non_local}
    clean : bool, optional
        {clean}
    fast : bool, optional
        {fast}
    maps : bool, optional
        {maps}
    quality : int, optional
        {quality}

    Returns
    -------
    str
        The path of the enhanced image.

    Raises
    ------
    FileNotFoundError, PermissionError
        (and other OSError subclasses for other system errors) The input
        cannot be read or an output written.
    ValueError
        The file is not a decodable image, is a cut-off JPEG, is too large
        for this machine, the output's extension names no format OpenCV
        writes, an output would replace the input, or an option is out of
        range.
    MemoryError
        Processing ran out of memory.
    KeyboardInterrupt
        Ctrl-C while the call ran; no output is written.

    Notes
    -----
    The message of each exception is the tool's one-line message.
    """
    options = as_text({"output": output, "gamma": gamma, "non_local": non_local, "clean": clean,
                       "fast": fast, "maps": maps, "quality": quality})
    return _core.enhance_file(path_text("path", path), options)


# ---------------------------------------------------------------------------
# Stages.


def light_compensation(
    image: np.ndarray, *, radius: int = 5, eps: float = 0.01, channel_order: str = "bgr"
) -> np.ndarray:
    """Brightens a dark picture, keeping hue and saturation (enhance's first stage).

    The HSV value V becomes 255*(V/255)^(1/3) times the ratio of V to an
    edge-preserving smoothed V (grey guided filter at ``radius``, the ratio
    smoothed at ``radius + 5``), rounded to 8 bits.

    Parameters
    ----------
    image : numpy.ndarray
        (H, W, 3) uint8 in ``channel_order``, any layout.
    radius : int, optional
        Window radius, >= 0 (enhance uses 5).
    eps : float, optional
        Guided-filter regularisation on the 0..1 scale, finite and >= 0.
    channel_order : {"bgr", "rgb"}, optional
        The channel order of the image and of the result.

    Returns
    -------
    numpy.ndarray
        A new (H, W, 3) uint8 array in the same channel order.
    """
    rgb = wants_rgb(channel_order)
    src = color8("image", image, rgb)
    radius = integer("radius", radius, 0)
    eps = real("eps", eps, positive=False)
    return in_order(_core.light_compensation(src, radius, eps), rgb)


def contrast_stretch(image: np.ndarray) -> np.ndarray:
    """Stretches each channel so that its darkest 1 % averages 0 and its brightest 1 % 255.

    Values outside saturate; a channel whose two tail means are equal is left
    unchanged. Channels are independent, so the channel order does not matter.

    Parameters
    ----------
    image : numpy.ndarray
        (H, W, 3) uint8, any layout.

    Returns
    -------
    numpy.ndarray
        A new (H, W, 3) uint8 array.
    """
    return _core.contrast_stretch(color8("image", image, False))


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

    Parameters
    ----------
    image : numpy.ndarray
        (H, W, 3) uint8 in ``channel_order``, any layout.
    radius : int, optional
        Window radius of the light estimate, >= 1 (enhance uses 5).
    eps : float, optional
        Guided-filter regularisation on the 0..1 scale, finite and >= 0.
    context : Context, optional
        The processing parameters (``refine_radius``, ``gamma``,
        ``non_local`` and the non-local filter's); default ``Context()``.
    channel_order : {"bgr", "rgb"}, optional
        The channel order of the image and of the map.

    Returns
    -------
    numpy.ndarray
        A new (H, W, 3) float64 array in the same channel order.
    """
    rgb = wants_rgb(channel_order)
    src = color8("image", image, rgb)
    radius = integer("radius", radius, 1)
    eps = real("eps", eps, positive=False)
    return in_order(checked_context(context).color_correction(src, radius, eps), rgb)


def dehaze(
    image: np.ndarray,
    *,
    radius: int = 5,
    eps: float = 0.01,
    context: Optional[Context] = None,
    channel_order: str = "bgr",
) -> DehazeResult:
    """Removes haze (enhance's last stage).

    Parameters
    ----------
    image : numpy.ndarray
        (H, W, 3) uint8 in ``channel_order``, any layout.
    radius : int, optional
        Window radius of the estimates, >= 1 (enhance uses 5).
    eps : float, optional
        Guided-filter regularisation on the 0..1 scale, finite and >= 0.
    context : Context, optional
        The processing parameters; default ``Context()``.
    channel_order : {"bgr", "rgb"}, optional
        The channel order of the image and of the results.

    Returns
    -------
    DehazeResult
        ``(dehazed, airlight, transmission)``: (H, W, 3) uint8 and (H, W, 3)
        uint8 (0..255, saturated) in the same channel order, and (H, W)
        float64 in 0..1.
    """
    rgb = wants_rgb(channel_order)
    src = color8("image", image, rgb)
    radius = integer("radius", radius, 1)
    eps = real("eps", eps, positive=False)
    dehazed, airlight, transmission = checked_context(context).dehaze(src, radius, eps)
    return DehazeResult(in_order(dehazed, rgb), in_order(airlight, rgb), transmission)


# ---------------------------------------------------------------------------
# Kernels. A window of radius r is the (2r+1) x (2r+1) square around a pixel,
# clipped at the border: pixels outside are neither read nor counted. Inputs
# of any real dtype are taken as float64 (uint8 as it is), not rescaled.


def box_filter(image: np.ndarray, radius: int) -> np.ndarray:
    """Window sums (not means) of an (H, W) array.

    Parameters
    ----------
    image : numpy.ndarray
        (H, W) of any real dtype.
    radius : int
        Window radius, >= 0.

    Returns
    -------
    numpy.ndarray
        A new (H, W) float64 array, in the input's units.
    """
    return _core.box_filter(plane("image", image), integer("radius", radius, 0))


def guided_filter_gray(guide: np.ndarray, image: np.ndarray, radius: int, eps: float) -> np.ndarray:
    """Guided filter of ``image`` under a single-channel ``guide``.

    q = mean(a) * I + mean(b) with a = cov(I, p) / (var(I) + eps) and
    b = mean(p) - a * mean(I) over every window of ``radius``.

    Parameters
    ----------
    guide, image : numpy.ndarray
        (H, W) real arrays of one shape, on the scale eps applies to (0..1
        for eps = 0.01).
    radius : int
        Window radius, >= 0.
    eps : float
        Regularisation, finite and >= 0.

    Returns
    -------
    numpy.ndarray
        A new (H, W) float64 array.
    """
    guide = plane("guide", guide)
    image = plane("image", image)
    same_shape("image", image, guide.shape)
    return _core.guided_filter_gray(guide, image, integer("radius", radius, 0), real("eps", eps, positive=False))


def guided_filter_color(guide: np.ndarray, image: np.ndarray, radius: int, eps: float) -> np.ndarray:
    """Guided filter of ``image`` under a three-channel ``guide``.

    Over every window of ``radius``, image is fitted as a linear function of
    the guide's channels plus b (guide covariance + eps on its diagonal); the
    window means of the coefficients are applied to the guide.

    Parameters
    ----------
    guide : numpy.ndarray
        (H, W, 3) real array, any channel order, on the scale eps applies to
        (0..1 for eps = 0.01).
    image : numpy.ndarray
        (H, W) real array on the same scale.
    radius : int
        Window radius, >= 0.
    eps : float
        Regularisation, finite and >= 0.

    Returns
    -------
    numpy.ndarray
        A new (H, W) float64 array.
    """
    image = plane("image", image)
    guide = guide3("guide", guide, image.shape)
    return _core.guided_filter_color(guide, image, integer("radius", radius, 0), real("eps", eps, positive=False))


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

    Weights over the search window (clipped at the border) come from the
    distance of the (2 patch_radius + 1)^2 guide patches (mirrored at the
    border, guide rounded to whole grey levels), noise level ``sigma``; eps
    is added to the diagonal of each pixel's guide covariance. Slow: about
    3 s per megapixel and thread at the defaults.

    Parameters
    ----------
    guide : numpy.ndarray
        (H, W, 3) real array on the 0..255 scale, where sigma and eps apply.
    image : numpy.ndarray
        (H, W) real array on the 0..255 scale.
    patch_radius : int, optional
        Patch radius, >= 1.
    search_radius : int, optional
        Search radius, >= 0.
    sigma : float, optional
        Noise level, finite and > 0.
    eps : float, optional
        Regularisation, finite and >= 0.

    Returns
    -------
    numpy.ndarray
        A new (H, W) float64 array.
    """
    image = plane("image", image)
    guide = guide3("guide", guide, image.shape)
    return _core.non_local_guided_filter(
        guide,
        image,
        integer("patch_radius", patch_radius, 1),
        integer("search_radius", search_radius, 0),
        real("sigma", sigma, positive=True),
        real("eps", eps, positive=False),
    )


def pad_symmetric(image: np.ndarray, radius: int) -> np.ndarray:
    """Pads an (H, W) array on every side, mirroring across each edge.

    The edge itself is repeated (c b a | a b c d | d c b), and a border wider
    than the image keeps reflecting. Values are rounded and saturated to
    0..255 on the way in (as OpenCV's conversion on x86-64: a value beyond
    the 32-bit integer range, or NaN, gives 0).

    Parameters
    ----------
    image : numpy.ndarray
        (H, W) of any real dtype.
    radius : int
        Padding width, >= 1.

    Returns
    -------
    numpy.ndarray
        A new (H + 2 radius, W + 2 radius) uint8 array.
    """
    return _core.pad_symmetric(plane("image", image), integer("radius", radius, 1))


def dark_channel(image: np.ndarray, radius: int) -> np.ndarray:
    """The minimum over the three channels and the window of ``radius``.

    Parameters
    ----------
    image : numpy.ndarray
        (H, W, 3) uint8, any channel order and layout.
    radius : int
        Window radius, >= 0.

    Returns
    -------
    numpy.ndarray
        A new (H, W) float64 array in 0..255.
    """
    return _core.dark_channel(color8("image", image, False), integer("radius", radius, 0))


# ---------------------------------------------------------------------------
# Threads.


def set_num_threads(n: Optional[int]) -> None:
    """Sets the number of threads of every later call in the process.

    This is OpenCV's process-wide setting (``cv2.setNumThreads`` changes the
    same one). For many small pictures, one thread per process and one
    process per core is fastest.

    Parameters
    ----------
    n : int or None
        Threads, 1..65536; None restores the default (all cores).
    """
    if n is None:
        _core.set_num_threads(-1)
    else:
        _core.set_num_threads(integer("n", n, 1, 1 << 16))


def get_num_threads() -> int:
    """The number of threads later calls use.

    Returns
    -------
    int
        OpenCV's process-wide thread count.
    """
    return _core.get_num_threads()
