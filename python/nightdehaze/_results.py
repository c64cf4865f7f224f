"""The named results of enhance and dehaze."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np


class EnhanceResult(NamedTuple):
    """What ``enhance(..., maps=True)`` returns."""

    image: np.ndarray  #: (H, W, 3) uint8, the enhanced picture, in the input's channel order
    airlight: np.ndarray  #: (H, W, 3) uint8, local atmospheric light, 0..255
    transmission: np.ndarray  #: (H, W) float64, 0..1


class DehazeResult(NamedTuple):
    """What ``dehaze`` returns."""

    dehazed: np.ndarray  #: (H, W, 3) uint8
    airlight: np.ndarray  #: (H, W, 3) uint8, local atmospheric light, 0..255
    transmission: np.ndarray  #: (H, W) float64, 0..1
