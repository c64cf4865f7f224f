"""Layouts, conversions and wrong arguments."""

import math
import os
import shutil
import subprocess
import sys
import threading
import time

import cv2
import numpy as np
import pytest

import nightdehaze as nd
from conftest import hazy_picture, run_tool


def test_any_layout_and_either_channel_order_give_the_same_result():
    photo = hazy_picture(31, 42, seed=11)
    expected = nd.enhance(photo)
    fortran = np.asfortranarray(photo)
    strided = np.zeros((62, 84, 6), np.uint8)
    strided[::2, ::2, ::2] = photo
    flipped = np.ascontiguousarray(photo[::-1, ::-1])[::-1, ::-1]
    for layout in (fortran, strided[::2, ::2, ::2], flipped):
        assert np.array_equal(nd.enhance(layout), expected)
    rgb = photo[:, :, ::-1]
    assert np.array_equal(nd.enhance(rgb, channel_order="rgb"), expected[:, :, ::-1])
    with_maps = nd.enhance(rgb, channel_order="RGB", maps=True)
    assert np.array_equal(with_maps.airlight, nd.enhance(photo, maps=True).airlight[:, :, ::-1])
    assert np.array_equal(nd.light_compensation(rgb, channel_order="rgb"),
                          nd.light_compensation(photo)[:, :, ::-1])
    assert np.array_equal(photo, hazy_picture(31, 42, seed=11)), "the input was written"


def test_grey_alpha_and_16_bit_arrays_convert_as_the_tool_reads_files():
    photo = hazy_picture(21, 25, seed=12, channels=4, dtype=np.uint16)
    colour8 = (photo[:, :, :3] >> 8).astype(np.uint8)
    assert np.array_equal(nd.enhance(photo), nd.enhance(colour8))
    assert np.array_equal(nd.enhance(photo[:, :, 3::-1][:, :, 1:], channel_order="rgb"),
                          nd.enhance(colour8)[:, :, ::-1])
    grey = photo[:, :, 0]
    grey3 = np.repeat((grey >> 8).astype(np.uint8)[:, :, None], 3, axis=2)
    assert np.array_equal(nd.enhance(grey), nd.enhance(grey3))
    assert np.array_equal(nd.enhance(grey[:, :, None]), nd.enhance(grey3))


def test_results_are_fresh_arrays_of_the_documented_kinds():
    photo = hazy_picture(12, 15, seed=13)
    result = nd.enhance(photo, maps=True)
    assert (result.image.dtype, result.image.shape) == (np.uint8, photo.shape)
    assert (result.airlight.dtype, result.airlight.shape) == (np.uint8, photo.shape)
    assert (result.transmission.dtype, result.transmission.shape) == (np.float64, photo.shape[:2])
    assert 0 <= result.transmission.min() and result.transmission.max() <= 1
    result.image[:] = 0  # writable, and owned by no other array
    assert not np.shares_memory(result.image, photo)
    assert nd.color_correction(photo).shape == photo.shape
    assert nd.pad_symmetric(photo[:, :, 0], 3).shape == (18, 21)


BAD_CALLS = [
    (lambda: nd.enhance([[1, 2, 3]]), TypeError, "expected a numpy array, got list"),
    (lambda: nd.enhance(np.zeros((4, 4, 3), np.float16)), TypeError, "got float16"),
    (lambda: nd.enhance(np.full((4, 4, 3), np.nan)), ValueError, "got NaN"),
    (lambda: nd.enhance(np.zeros((2, 4, 4, 2), np.uint8)), ValueError, "(N, H, W, 3)"),
    (lambda: nd.enhance(np.zeros((4, 4, 2), np.uint8)), ValueError, "got (4, 4, 2)"),
    (lambda: nd.enhance(np.zeros((0, 4, 3), np.uint8)), ValueError, "non-empty"),
    (lambda: nd.enhance(np.zeros((4, 4, 3), np.uint8), channel_order="bgra"), ValueError, "'bgra'"),
    (lambda: nd.enhance(np.zeros((4, 4, 3), np.uint8), gamma=0), ValueError, "greater than 0, got 0"),
    (lambda: nd.enhance(np.zeros((4, 4, 3), np.uint8), gamma=math.nan), ValueError, "got nan"),
    (lambda: nd.enhance(np.zeros((4, 4, 3), np.uint8), gamma="1.2"), TypeError, "got str"),
    (lambda: nd.box_filter(np.zeros((4, 4)), -1), ValueError, "got -1"),
    (lambda: nd.box_filter(np.zeros((4, 4)), 1.5), TypeError, "got float"),
    (lambda: nd.box_filter(np.zeros((4, 4, 2)), 1), ValueError, "(H, W), got (4, 4, 2)"),
    (lambda: nd.guided_filter_gray(np.zeros((4, 4)), np.zeros((4, 5)), 1, 0.01), ValueError, "(4, 5)"),
    (lambda: nd.guided_filter_color(np.zeros((4, 4)), np.zeros((4, 4)), 1, 0.01), ValueError,
     "(4, 4, 3), got (4, 4)"),
    (lambda: nd.guided_filter_gray(np.zeros((4, 4)), np.zeros((4, 4)), 1, -1), ValueError, ">= 0"),
    (lambda: nd.pad_symmetric(np.zeros((4, 4)), 0), ValueError, "from 1"),
    (lambda: nd.non_local_guided_filter(np.zeros((4, 4, 3)), np.zeros((4, 4)), sigma=0), ValueError,
     "sigma"),
    (lambda: nd.dehaze(np.zeros((4, 4, 3), np.uint8), context=nd.Context(patch_radius=0)), ValueError,
     "context.patch_radius"),
    (lambda: nd.dark_channel(np.zeros((4, 4, 3), np.complex128), 1), TypeError, "complex128"),
    (lambda: nd.set_num_threads(0), ValueError, "got 0"),
    (lambda: nd._core.enhance(np.zeros((4, 4, 3), np.uint8)[:, ::2], {}), ValueError, "C-contiguous"),
    (lambda: nd._core.enhance(np.zeros((4, 4, 3), np.uint8), {"quality": "5"}), TypeError,
     "unexpected keyword argument 'quality'"),
    (lambda: nd._core.enhance_file("x.png", {"gamma": "-1"}), ValueError, "gamma must be a number"),
    (lambda: nd._core.box_filter(np.zeros((4, 4), np.float32), 1), TypeError, "float32"),
    (lambda: nd.VideoEnhancer().push(np.zeros((4, 4, 3), np.float32)), TypeError, "frame: expected dtype uint8"),
    (lambda: nd.VideoEnhancer().push(np.zeros((4, 4), np.uint8)), ValueError, "(H, W, 3), got (4, 4)"),
    (lambda: nd.VideoEnhancer(frames_per_second=0), ValueError, "frames_per_second"),
    (lambda: nd.VideoEnhancer(parallel_frames=0), ValueError, "parallel_frames"),
    (lambda: nd._core.VideoEnhancer(options={}, frames_per_second=30.0, steady=True,
                                    smoothing_seconds=-1.0, parallel_frames=0),
     ValueError, "smoothingSeconds must be a finite number above 0"),
]


@pytest.mark.parametrize("call,kind,words", BAD_CALLS)
def test_wrong_arguments_raise_errors_naming_what_was_given(call, kind, words):
    with pytest.raises(kind) as raised:
        call()
    assert words in str(raised.value)


def test_file_failures_raise_the_matching_exception_with_the_tools_message(tmp_path):
    cases = [(tmp_path / "missing.png", FileNotFoundError, "No such file or directory"),
             (tmp_path, IsADirectoryError, "it is a directory")]
    not_an_image = tmp_path / "notes.png"
    not_an_image.write_bytes(b"plain text, not a picture")
    cases.append((not_an_image, ValueError, "not an image that can be decoded"))
    ok, jpeg = cv2.imencode(".jpg", hazy_picture(64, 64, seed=14))
    cut = tmp_path / "cut.jpg"
    cut.write_bytes(jpeg.tobytes()[: len(jpeg) // 2])
    cases.append((cut, ValueError, "ends before the end of the picture"))
    for path, kind, words in cases:
        with pytest.raises(kind) as raised:
            nd.enhance_file(path)
        assert str(raised.value).startswith(f"cannot read '{path}'") and words in str(raised.value)
    whole = tmp_path / "whole.jpg"
    whole.write_bytes(jpeg.tobytes())
    with pytest.raises(ValueError, match="cannot write images of the kind named by"):
        nd.enhance_file(whole, tmp_path / "out.unknown")
    with pytest.raises(FileNotFoundError, match="cannot write"):
        nd.enhance_file(whole, tmp_path / "no" / "such" / "dir.png")
    if os.geteuid() != 0:
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        with pytest.raises(PermissionError, match="cannot write"):
            nd.enhance_file(whole, locked / "out.png")
    left = [n for n in os.listdir(tmp_path) if n.startswith((".nightdehaze-", "out", "whole_J"))]
    assert left == [], "a failed call left files behind"


def test_a_read_only_file_system_raises_permission_error(tmp_path):
    """Regression: EROFS came out as the bare OSError."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("needs root and unshare to mount a read-only file system")
    picture = tmp_path / "night.png"
    assert cv2.imwrite(str(picture), hazy_picture(20, 24, seed=15))
    frozen = tmp_path / "frozen"
    frozen.mkdir()
    code = ("import errno, nightdehaze\n"
            "try:\n"
            f"    nightdehaze.enhance_file({str(picture)!r}, {str(frozen / 'out.png')!r})\n"
            "except PermissionError as e:\n"
            "    print(type(e).__name__, e.errno == errno.EROFS, e)\n")
    run = subprocess.run(["unshare", "-m", "sh", "-c", f'mount -t tmpfs -o ro tmpfs "$1" && exec "$2" -c "$3"',
                          "sh", str(frozen), sys.executable, code], capture_output=True, text=True)
    if "mount" in run.stderr:
        pytest.skip(f"cannot mount here: {run.stderr.strip()}")
    assert run.stdout.startswith("PermissionError True cannot write"), run.stdout + run.stderr


def test_calls_from_several_threads_are_identical_and_others_keep_running():
    photos = [hazy_picture(90, 120, seed=s) for s in range(3)]
    expected = [nd.enhance(p, gamma=1.4) for p in photos]
    results = {}

    def work(k):
        results[k] = nd.enhance(photos[k % 3], gamma=1.4)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(6):
        assert np.array_equal(results[k], expected[k % 3]), k

    # A Python thread ticks through the middle of a long call: the call let go of the GIL.
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.wait(0.001):
            ticks.append(time.monotonic())

    ticker = threading.Thread(target=tick)
    ticker.start()
    start = time.monotonic()
    nd.enhance(hazy_picture(400, 500, seed=4))
    end = time.monotonic()
    stop.set()
    ticker.join()
    quarter = (end - start) / 4
    assert any(start + quarter < t < end - quarter for t in ticks)


def test_float_arrays_and_stacks_are_enhanced_as_their_8_bit_pictures(tmp_path):
    """Floats in 0..1 (scikit-image's convention) come back as the same float
    dtype in 0..1; a stack of pictures is each picture enhanced."""
    pictures = np.stack([hazy_picture(33, 41, seed=s) for s in (21, 22, 23)])
    for dtype in (np.float32, np.float64):
        floats = pictures.astype(dtype) / 255
        floats[0, 0, 0] = [-1e-6, 1 + 1e-6, 0.5]  # rounding errors: the first two clipped
        eight = np.rint(np.clip(floats.astype(np.float64), 0, 1) * 255).astype(np.uint8)
        assert np.array_equal(eight[1:], pictures[1:])
        single = nd.enhance(floats[0], gamma=1.4)
        assert single.dtype == dtype and single.min() >= 0 and single.max() <= 1
        assert np.array_equal(single, nd.enhance(eight[0], gamma=1.4).astype(dtype) / dtype(255))
        stacked = nd.enhance(floats, gamma=1.4, channel_order="rgb", maps=True)
        for k in range(len(pictures)):
            alone = nd.enhance(eight[k], gamma=1.4, channel_order="rgb", maps=True)
            assert np.array_equal(stacked.image[k], alone.image.astype(dtype) / dtype(255))
            assert np.array_equal(stacked.transmission[k], alone.transmission)


def test_floats_on_another_scale_than_0_to_1_are_refused():
    # Regression: an 8-bit picture as float64 (0..255) was read as 0..1 and
    # clipped to almost pure white, without a word.
    picture = hazy_picture(24, 30, seed=25)
    for floats in (picture.astype(np.float64), np.full((8, 8, 3), -1 / 500, np.float32),
                   np.full((8, 8, 3), 1 + 1 / 500)):
        with pytest.raises(ValueError, match=r"expected float values in 0\.\.1, got values from .*divide"):
            nd.enhance(floats)
    edge = np.full((8, 8, 3), 1 + 1 / 520)
    edge[0, 0] = -1 / 520
    assert np.array_equal(nd.enhance(edge), nd.enhance(np.clip(edge, 0, 1)))
    assert "from 0 to 255" in str(pytest.raises(ValueError, nd.enhance,
                                                np.linspace(0, 255, 300).reshape(10, 10, 3)).value)


def test_imread_gives_what_the_tool_enhances(tool, tmp_path):
    picture = hazy_picture(30, 38, seed=24)
    path = tmp_path / "night.png"
    assert cv2.imwrite(str(path), picture[:, :, 0])  # grey on disk: colour in memory
    read = nd.imread(path, channel_order="rgb")
    assert read.shape == (30, 38, 3) and read.dtype == np.uint8
    assert np.array_equal(read[:, :, 0], picture[:, :, 0])
    status, err = run_tool(tool, str(path))
    assert status == 0, err
    assert np.array_equal(cv2.imread(str(tmp_path / "night_J.bmp")), nd.enhance(nd.imread(path)))
    with pytest.raises(FileNotFoundError):
        nd.imread(tmp_path / "missing.png")


@pytest.mark.skipif(shutil.which("heif-enc") is None, reason="heif-enc (libheif-examples) is not installed")
def test_a_phone_picture_is_read_and_enhanced_by_its_content(tmp_path):
    """A HEIC under a name that says nothing: imread decodes it as the tool
    does and enhance_file writes what enhance gives for those pixels."""
    picture = hazy_picture(32, 40, seed=25)
    cv2.imwrite(str(tmp_path / "night.png"), picture)
    subprocess.run(["heif-enc", "-q", "98", str(tmp_path / "night.png"), "-o", str(tmp_path / "night.heic")],
                   check=True, stdout=subprocess.DEVNULL)
    os.rename(tmp_path / "night.heic", tmp_path / "IMG_0001")
    read = nd.imread(tmp_path / "IMG_0001")
    assert read.shape == picture.shape and np.abs(read.astype(int) - picture).mean() < 8
    written = nd.enhance_file(tmp_path / "IMG_0001", output=str(tmp_path / "clear.png"))
    assert np.array_equal(cv2.imread(written), nd.enhance(read))
