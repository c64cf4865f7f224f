"""fast (the tool's --fast) on every Python surface: the tool's bytes, close
to the exact result, and refused with non_local."""

import cv2
import numpy as np
import pytest

import nightdehaze as nd
from conftest import hazy_picture, run_tool


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def test_fast_gives_the_tools_fast_bytes_on_every_surface(tool, tmp_path):
    path = tmp_path / "night.png"
    cv2.imwrite(str(path), hazy_picture(70, 90, seed=31))
    expected = tmp_path / "tool.png"
    status, err = run_tool(tool, "-o", str(expected), "--fast", "--clean", "--maps", str(path), "1.3")
    assert status == 0, err

    photo = cv2.imread(str(path))
    fast = nd.enhance(photo, gamma=1.3, fast=True, clean=True, maps=True)
    assert np.array_equal(fast.image, cv2.imread(str(expected)))
    assert np.array_equal(fast.airlight, cv2.imread(str(tmp_path / "tool_A.png")))
    exact = nd.enhance(photo, gamma=1.3, clean=True)
    assert not np.array_equal(fast.image, exact), "fast=True ran the exact engine"
    assert psnr(fast.image, exact) >= 30

    written = nd.enhance_file(path, tmp_path / "py.png", gamma=1.3, fast=True, clean=True, maps=True)
    for suffix in ("", "_A", "_T"):
        assert (tmp_path / f"tool{suffix}.png").read_bytes() == (tmp_path / f"py{suffix}.png").read_bytes()
    assert written == str(tmp_path / "py.png")

    frames = [hazy_picture(40, 52, seed=s) for s in range(3)]
    enhancer = nd.VideoEnhancer(fast=True, steady=False, parallel_frames=2)
    outputs = [out for out in map(enhancer.push, frames) if out is not None] + enhancer.flush()
    for out, frame in zip(outputs, frames, strict=True):
        assert np.array_equal(out, nd.enhance(frame, fast=True))


def test_fast_with_non_local_is_refused_on_every_surface(tool, tmp_path):
    photo = hazy_picture(20, 24)
    path = tmp_path / "night.png"
    cv2.imwrite(str(path), photo)
    calls = [lambda: nd.enhance(photo, fast=True, non_local=True),
             lambda: nd.enhance_file(path, tmp_path / "out.png", fast=True, non_local=True),
             lambda: nd.VideoEnhancer(fast=True, non_local=True)]
    for call in calls:
        with pytest.raises(ValueError, match="fast=True and non_local=True cannot be combined"):
            call()
    status, err = run_tool(tool, "--fast", "--non-local", str(path))
    assert status == 2
    assert err.splitlines() == [err] and "--fast and --non-local cannot be combined" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["night.png"]
