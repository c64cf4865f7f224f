"""The width and height of a written result, read from its header only.

The batch reports megapixels per picture without decoding the result again;
it needs the four formats it writes: BMP, PNG, JPEG and TIFF.
"""

import struct
from typing import BinaryIO, Optional, Tuple

# JPEG start-of-frame markers: every SOFn except DHT (C4), JPG (C8) and DAC (CC).
_JPEG_FRAME_MARKERS = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}
_TIFF_WIDTH, _TIFF_HEIGHT = 256, 257
_TIFF_SHORT, _TIFF_LONG = 3, 4


def _bmp(f: BinaryIO) -> Tuple[int, int]:
    f.seek(18)
    width, height = struct.unpack("<ii", f.read(8))
    return width, abs(height)  # a negative height marks a top-down BMP


def _png(f: BinaryIO) -> Tuple[int, int]:
    f.seek(16)
    return struct.unpack(">II", f.read(8))


def _jpeg(f: BinaryIO) -> Optional[Tuple[int, int]]:
    f.seek(2)
    while True:
        marker = f.read(2)
        if len(marker) < 2 or marker[0] != 0xFF:
            return None
        (length,) = struct.unpack(">H", f.read(2))
        if marker[1] in _JPEG_FRAME_MARKERS:
            height, width = struct.unpack(">xHH", f.read(5))
            return width, height
        f.seek(length - 2, 1)


def _tiff(f: BinaryIO, order: str) -> Optional[Tuple[int, int]]:
    (first_directory,) = struct.unpack(order + "I", f.read(4))
    f.seek(first_directory)
    (count,) = struct.unpack(order + "H", f.read(2))
    size = {}
    for _ in range(count):
        tag, kind, _, value = struct.unpack(order + "HHI4s", f.read(12))
        if tag in (_TIFF_WIDTH, _TIFF_HEIGHT) and kind in (_TIFF_SHORT, _TIFF_LONG):
            size[tag] = struct.unpack(order + ("H" if kind == _TIFF_SHORT else "I"),
                                      value[:2 if kind == _TIFF_SHORT else 4])[0]
    if len(size) < 2:
        return None
    return size[_TIFF_WIDTH], size[_TIFF_HEIGHT]


def picture_size(path: str) -> Optional[Tuple[int, int]]:
    """(width, height) of the BMP, PNG, JPEG or TIFF file at path, or None
    when its header is not one of those or is cut short."""
    try:
        with open(path, "rb") as f:
            start = f.read(8)
            if start[:2] == b"BM":
                return _bmp(f)
            if start == b"\x89PNG\r\n\x1a\n":
                return _png(f)
            if start[:2] == b"\xff\xd8":
                return _jpeg(f)
            if start[:4] in (b"II*\x00", b"MM\x00*"):
                f.seek(4)
                return _tiff(f, "<" if start[:2] == b"II" else ">")
    except (OSError, struct.error):
        return None
    return None
