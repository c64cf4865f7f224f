"""The compiled core of the nightdehaze package: strict arguments (C-contiguous
uint8 or float64 arrays, B, G, R order); the package checks and converts them.
Options travel as {keyword: the command line's text for its value}, applied
by the library's one declaration of each (option_declarations)."""

from typing import Dict, List, Optional, Tuple

import numpy as np

__version__: str

class Context:
    refine_radius: int
    patch_radius: int
    search_radius: int
    noise_sigma: float
    non_local_eps: float
    non_local: bool
    gamma: float
    def __init__(
        self,
        *,
        refine_radius: int = 32,
        patch_radius: int = 1,
        search_radius: int = 16,
        noise_sigma: float = 25.0,
        non_local_eps: float = 100.0,
        non_local: bool = False,
        gamma: float = 1.2,
    ) -> None: ...
    def color_correction(self, image: np.ndarray, radius: int, eps: float) -> np.ndarray: ...
    def dehaze(
        self, image: np.ndarray, radius: int, eps: float
    ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...

def enhance(image: np.ndarray, options: Dict[str, str], maps: bool = False) -> object: ...
def enhance_file(path: str, options: Dict[str, str]) -> str: ...
def option_declarations() -> List[Dict[str, object]]: ...
def imread(path: str) -> np.ndarray: ...
def light_compensation(image: np.ndarray, radius: int, eps: float) -> np.ndarray: ...
def contrast_stretch(image: np.ndarray) -> np.ndarray: ...
def box_filter(image: np.ndarray, radius: int) -> np.ndarray: ...
def guided_filter_gray(guide: np.ndarray, image: np.ndarray, radius: int, eps: float) -> np.ndarray: ...
def guided_filter_color(guide: np.ndarray, image: np.ndarray, radius: int, eps: float) -> np.ndarray: ...
def non_local_guided_filter(
    guide: np.ndarray,
    image: np.ndarray,
    patch_radius: int,
    search_radius: int,
    sigma: float,
    eps: float,
) -> np.ndarray: ...
def pad_symmetric(image: np.ndarray, radius: int) -> np.ndarray: ...
def dark_channel(image: np.ndarray, radius: int) -> np.ndarray: ...
def set_num_threads(n: int) -> None: ...
def get_num_threads() -> int: ...

class VideoEnhancer:
    def __init__(
        self,
        *,
        options: Dict[str, str],
        frames_per_second: float,
        steady: bool,
        smoothing_seconds: float,
        parallel_frames: int,
    ) -> None: ...
    def push(self, frame: np.ndarray) -> Optional[np.ndarray]: ...
    def flush(self) -> List[np.ndarray]: ...
    @property
    def frames_in_flight(self) -> int: ...
