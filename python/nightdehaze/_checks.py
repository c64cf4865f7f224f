"""Argument checks of the package. Every message names what was expected and
what was given: TypeError for the wrong kind of value, ValueError for a value
out of range."""

from __future__ import annotations

import math
import numbers
import operator
import os
from typing import Optional

import numpy as np

from ._core import Context

# Radii beyond this are far wider than any picture; refusing them keeps the
# window arithmetic of the library well inside int.
MAX_RADIUS = 1 << 24


def nonempty_array(name: str, value: object) -> np.ndarray:
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name}: expected a numpy array, got {type(value).__name__}")
    if value.size == 0:
        raise ValueError(f"{name}: expected a non-empty array, got shape {value.shape}")
    return value


def path_text(name: str, value: object) -> str:
    """A str, bytes or os.PathLike path as the str the library takes."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{name}: expected a path, got {type(value).__name__}")
    return os.fsdecode(value)


def wants_rgb(value: object) -> bool:
    """True for "rgb", False for "bgr"."""
    if not isinstance(value, str) or value.lower() not in ("bgr", "rgb"):
        raise ValueError(f'channel_order: expected "bgr" or "rgb", got {value!r}')
    return value.lower() == "rgb"


def integer(name: str, value: object, minimum: int, maximum: int = MAX_RADIUS) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}") from None
    if not minimum <= number <= maximum:
        raise ValueError(f"{name}: expected an integer from {minimum} to {maximum}, got {number}")
    return number


def real(name: str, value: object, *, positive: bool) -> float:
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


FLOAT_DTYPES = (np.float32, np.float64)
# How far outside 0..1 a float may lie and still be taken (and clipped): less
# than half an 8-bit level, so only rounding errors, never a picture on
# another scale (0..255 read as 0..1 would come out white).
FLOAT_SLACK = 0.5 / 255


def _checked_unit_range(image: np.ndarray) -> None:
    """ValueError for NaN, or values further than FLOAT_SLACK outside 0..1."""
    if np.isnan(image).any():
        raise ValueError("image: expected values in 0..1, got NaN")
    low, high = float(image.min()), float(image.max())
    if low < -FLOAT_SLACK or high > 1 + FLOAT_SLACK:
        raise ValueError(f"image: expected float values in 0..1, got values from {low:g} to {high:g}; "
                         "divide a picture of 0..255 by 255, or pass it as uint8")


def to_8bit(image: np.ndarray) -> np.ndarray:
    """uint8 as it is; uint16 as its high byte (v >> 8); float32 and float64
    in 0..1 (values a rounding error outside clipped; NaN and values
    further out refused) times 255 in double precision, rounded to the
    nearest integer, halves to even."""
    if image.dtype == np.uint8:
        return image
    if image.dtype == np.uint16:
        return (image >> 8).astype(np.uint8)
    if image.dtype in FLOAT_DTYPES:
        _checked_unit_range(image)
        return np.rint(np.clip(image.astype(np.float64), 0.0, 1.0) * 255.0).astype(np.uint8)
    raise TypeError(f"image: expected dtype uint8, uint16, float32 or float64, got {image.dtype}")


def in_family(result8: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """An 8-bit result in the dtype family of the input: uint8 as it is,
    floats as the same float dtype in 0..1 (v / 255)."""
    if dtype in FLOAT_DTYPES:
        return result8.astype(dtype) / dtype.type(255)
    return result8


def photo(image: object, channel_order: object) -> np.ndarray:
    """Any accepted photograph as a C-contiguous (H, W, 3) uint8 BGR array,
    converted as the tool converts files: grey repeated into three channels,
    alpha dropped, 16 bits reduced to the high byte; floats in 0..1 rounded
    to 8 bits (to_8bit)."""
    array = nonempty_array("image", image)
    rgb = wants_rgb(channel_order)
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[:, :, 0]
    if array.ndim == 2:
        array = np.repeat(to_8bit(array)[:, :, np.newaxis], 3, axis=2)
    elif array.ndim == 3 and array.shape[2] in (3, 4):
        array = to_8bit(array[:, :, :3])
        if rgb:
            array = array[:, :, ::-1]
    else:
        raise ValueError(
            "image: expected shape (H, W) grey, (H, W, 3) colour or (H, W, 4) colour with alpha, "
            f"got {array.shape}"
        )
    return np.ascontiguousarray(array)


def color8(name: str, image: object, rgb: bool) -> np.ndarray:
    """An (H, W, 3) uint8 colour image as a C-contiguous BGR array."""
    array = nonempty_array(name, image)
    if array.dtype != np.uint8:
        raise TypeError(f"{name}: expected dtype uint8, got {array.dtype}")
    if array.ndim != 3 or array.shape[2] != 3:
        raise ValueError(f"{name}: expected shape (H, W, 3), got {array.shape}")
    return np.ascontiguousarray(array[:, :, ::-1] if rgb else array)


def plane(name: str, image: object) -> np.ndarray:
    """A real-valued (H, W) array as C-contiguous uint8 (kept) or float64."""
    array = nonempty_array(name, image)
    if array.dtype.kind not in "uif":
        raise TypeError(f"{name}: expected a real-valued dtype, got {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name}: expected shape (H, W), got {array.shape}")
    if array.dtype != np.uint8:
        array = array.astype(np.float64, copy=False)
    return np.ascontiguousarray(array)


def guide3(name: str, image: object, shape: tuple) -> np.ndarray:
    array = nonempty_array(name, image)
    if array.dtype.kind not in "uif":
        raise TypeError(f"{name}: expected a real-valued dtype, got {array.dtype}")
    if array.ndim != 3 or array.shape[2] != 3 or array.shape[:2] != shape:
        raise ValueError(f"{name}: expected shape {shape + (3,)}, got {array.shape}")
    if array.dtype != np.uint8:
        array = array.astype(np.float64, copy=False)
    return np.ascontiguousarray(array)


def same_shape(name: str, array: np.ndarray, shape: tuple) -> None:
    if array.shape[:2] != shape:
        raise ValueError(f"{name}: expected shape {shape}, got {array.shape}")


def checked_context(context: Optional[Context]) -> Context:
    if context is None:
        return Context()
    if not isinstance(context, Context):
        raise TypeError(f"context: expected a nightdehaze.Context, got {type(context).__name__}")
    integer("context.refine_radius", context.refine_radius, 0)
    integer("context.patch_radius", context.patch_radius, 1)
    integer("context.search_radius", context.search_radius, 0)
    real("context.noise_sigma", context.noise_sigma, positive=True)
    real("context.non_local_eps", context.non_local_eps, positive=False)
    real("context.gamma", context.gamma, positive=True)
    return context


def in_order(bgr: np.ndarray, rgb: bool) -> np.ndarray:
    return np.ascontiguousarray(bgr[:, :, ::-1]) if rgb else bgr
