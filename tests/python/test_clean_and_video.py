"""clean (the tool's --clean) and VideoEnhancer, against enhance and the tool."""

import math
import os

import cv2
import numpy as np
import pytest

import nightdehaze as nd
from conftest import hazy_picture, run_tool


def jpeg_compressed(picture, quality=30):
    """picture after a round trip through JPEG: 8x8 blocks and ringing."""
    ok, data = cv2.imencode(".jpg", picture, [cv2.IMWRITE_JPEG_QUALITY, quality])
    assert ok
    return data


def test_clean_gives_the_tools_clean_bytes(tool, tmp_path):
    path = tmp_path / "night.jpg"
    path.write_bytes(jpeg_compressed(hazy_picture(48, 56, seed=21)).tobytes())
    expected = tmp_path / "tool.png"
    status, err = run_tool(tool, "-o", str(expected), "--clean", str(path), "1.4")
    assert status == 0, err

    photo = cv2.imread(str(path))
    cleaned = nd.enhance(photo, gamma=1.4, clean=True)
    assert np.array_equal(cleaned, cv2.imread(str(expected)))
    assert not np.array_equal(cleaned, nd.enhance(photo, gamma=1.4)), "clean changed nothing"
    assert np.array_equal(nd.enhance(photo[:, :, ::-1], gamma=1.4, clean=True, channel_order="rgb",
                                     maps=True).image, cleaned[:, :, ::-1])

    written = nd.enhance_file(path, tmp_path / "py.png", gamma=1.4, clean=True)
    assert expected.read_bytes() == open(written, "rb").read()


def run_video(enhancer, frames, channel_order="bgr"):
    """Pushes every frame through one reused buffer (so frames must be copied
    in) and returns push's results and flush's, in order."""
    buffer = np.empty_like(frames[0])
    outputs = []
    for frame in frames:
        buffer[:] = frame if channel_order == "bgr" else frame[:, :, ::-1]
        enhanced = enhancer.push(buffer)
        if enhanced is not None:
            outputs.append(enhanced)
    assert enhancer.frames_in_flight == min(len(frames), 2)  # parallel_frames
    outputs += enhancer.flush()
    assert enhancer.frames_in_flight == 0
    return outputs


def test_video_frames_come_back_in_order_as_enhance_gives_them():
    frames = [cv2.imdecode(jpeg_compressed(hazy_picture(40, 48, seed=s)), cv2.IMREAD_COLOR)
              for s in range(6)]
    for clean, order in ((False, "bgr"), (True, "rgb")):
        enhancer = nd.VideoEnhancer(gamma=1.3, steady=False, clean=clean, parallel_frames=2,
                                    channel_order=order)
        outputs = run_video(enhancer, frames, order)
        assert len(outputs) == len(frames)
        for k, (out, frame) in enumerate(zip(outputs, frames)):
            expected = nd.enhance(frame, gamma=1.3, clean=clean)
            assert np.array_equal(out if order == "bgr" else out[:, :, ::-1], expected), (clean, k)


def test_steady_video_follows_a_change_smoothly_and_lands_on_enhance():
    still = hazy_picture(24, 32, seed=2)
    brighter = np.clip(still.astype(int) + 90, 0, 255).astype(np.uint8)
    frames = [brighter] + [still] * 11
    # One frame per second, one-second time constant: the limits close 63 % of
    # the gap per frame, so the still scene is reached within a few frames.
    enhancer = nd.VideoEnhancer(frames_per_second=1.0, smoothing_seconds=1.0, parallel_frames=2)
    outputs = run_video(enhancer, frames)
    assert len(outputs) == len(frames)
    assert np.array_equal(outputs[0], nd.enhance(brighter))
    target = nd.enhance(still)
    assert not np.array_equal(outputs[1], target), "the limits jumped instead of moving smoothly"
    assert all(np.array_equal(out, target) for out in outputs[-3:])


def test_a_live_source_offers_frames_without_waiting():
    """offer refuses a frame once the pipeline is full instead of blocking;
    ready hands over what is done, in order, each frame exactly enhance's."""
    frames = [hazy_picture(36, 48, seed=40 + k) for k in range(24)]
    enhancer = nd.VideoEnhancer(steady=False, parallel_frames=1, channel_order="rgb")
    taken, out = [], []
    for k, frame in enumerate(frames):
        if enhancer.offer(frame):
            taken.append(k)
        assert enhancer.frames_in_flight <= 2
        out += enhancer.ready()
    out += enhancer.flush()
    assert 0 < len(taken) < len(frames)
    assert len(out) == len(taken)
    for k, frame in zip(taken, out):
        assert np.array_equal(frame, nd.enhance(frames[k], channel_order="rgb"))


def test_frames_with_times_smooth_over_the_time_between_them():
    """Two frames a minute apart with a one-second time constant: the second
    lands on its own enhancement at once, where without times it lags."""
    still = hazy_picture(24, 32, seed=2)
    brighter = np.clip(still.astype(int) + 90, 0, 255).astype(np.uint8)

    def second_frame(times):
        enhancer = nd.VideoEnhancer(frames_per_second=25.0, smoothing_seconds=1.0, parallel_frames=1)
        for frame, seconds in zip((brighter, still), times):
            assert enhancer.offer(frame, seconds)  # two frames fit: one enhanced, one waiting
        return enhancer.flush()[-1]

    target = nd.enhance(still)
    assert np.array_equal(second_frame((3.0, 63.0)), target)
    assert not np.array_equal(second_frame((None, None)), target)
    enhancer = nd.VideoEnhancer()
    with pytest.raises(ValueError, match="seconds"):
        enhancer.push(still, seconds=math.nan)
    with pytest.raises(TypeError, match="seconds"):
        enhancer.offer(still, seconds="now")
