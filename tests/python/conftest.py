"""Shared pictures and paths of the Python package's tests.

CTest runs these with PYTHONPATH=<build>/python and NIGHTDEHAZE_TOOL set to
the tool built alongside; pictures are generated here."""

import os
import subprocess

import numpy as np
import pytest

import nightdehaze


def hazy_picture(rows, cols, seed=0, channels=3, dtype=np.uint8):
    """A dim, hazy, tinted random picture with edges: smooth gradients,
    a bright lamp, a dark block and noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    base = 40 + 50 * (x / max(cols - 1, 1)) + 20 * np.sin(y / 3.0)
    picture = np.stack([base * tint for tint in (0.7, 0.9, 1.2, 1.0)[:channels]], axis=2)
    picture[rows // 3 : rows // 2, cols // 4 : cols // 2] = 10
    picture[: rows // 5, -cols // 5 :] = 240
    picture += rng.normal(0, 12, picture.shape)
    top = np.iinfo(dtype).max
    scale = top / 255.0
    return np.clip(picture * scale, 0, top).astype(dtype)


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("NIGHTDEHAZE_TOOL")
    if not path:
        pytest.skip("NIGHTDEHAZE_TOOL is not set (CTest sets it)")
    return path


def run_tool(tool, *args):
    """Runs the tool; returns its exit status and its stderr."""
    done = subprocess.run([tool, *args], capture_output=True, text=True, timeout=300)
    return done.returncode, done.stderr.strip()


@pytest.fixture
def restore_threads():
    before = nightdehaze.get_num_threads()
    yield
    nightdehaze.set_num_threads(before)
