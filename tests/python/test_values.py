"""The package's values: the tool's bytes for files, the library's for arrays."""

import os

import cv2
import numpy as np
import pytest

import nightdehaze as nd
from conftest import hazy_picture, run_tool


def generated_files(directory):
    """Pictures of every kind the tool converts, tiny ones included."""
    pictures = {
        "colour.png": hazy_picture(37, 51, seed=1),
        "grey.png": hazy_picture(29, 33, seed=2)[:, :, 0],
        "alpha.png": hazy_picture(26, 31, seed=3, channels=4),
        "deep.png": hazy_picture(23, 27, seed=4, dtype=np.uint16),
        "deep_grey.png": hazy_picture(19, 22, seed=5, dtype=np.uint16)[:, :, 0],
        "tiny.png": hazy_picture(1, 1, seed=6),
        "thin.png": hazy_picture(2, 9, seed=7),
    }
    paths = []
    for name, picture in pictures.items():
        path = os.path.join(directory, name)
        assert cv2.imwrite(path, picture)
        paths.append(path)
    return paths


def tool_outputs(tool, path, directory, gamma, non_local, maps):
    """The tool's image (and with maps its airlight and transmission) files for path."""
    output = os.path.join(directory, "tool.png")
    options = ["--non-local"] * non_local + ["--maps"] * maps
    status, err = run_tool(tool, "-o", output, *options, path, repr(gamma))
    assert status == 0, err
    return [output] + [os.path.join(directory, name) for name in ("tool_A.png", "tool_T.png")][: 2 * maps]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def test_files_and_arrays_give_the_tools_bytes(tool, tmp_path):
    sample = os.environ.get("NIGHTDEHAZE_SAMPLE")
    inputs = generated_files(tmp_path) + ([sample] if sample else [])
    for k, path in enumerate(inputs):
        gamma = (1.2, 0.7, 2.5)[k % 3]
        non_local = path.endswith("thin.png")
        maps = path.endswith(("colour.png", "thin.png"))  # each file written costs an fsync
        expected = tool_outputs(tool, path, tmp_path, gamma, non_local, maps)

        result = nd.enhance(cv2.imread(path, cv2.IMREAD_UNCHANGED), gamma=gamma,
                            non_local=non_local, maps=True)
        assert np.array_equal(result.image, cv2.imread(expected[0])), path
        if not maps:
            continue
        assert np.array_equal(result.airlight, cv2.imread(expected[1]))
        # The file holds OpenCV's rounding of 255 t, taken in single precision.
        shown = cv2.imread(expected[2], cv2.IMREAD_GRAYSCALE)
        assert result.transmission.dtype == np.float64 and result.transmission.shape == shown.shape
        assert np.abs(result.transmission * 255.0 - shown).max() <= 0.5 + 1e-4

        ours = nd.enhance_file(path, tmp_path / "py.png", gamma=gamma, non_local=non_local, maps=True)
        assert ours == str(tmp_path / "py.png")
        for mine, theirs in zip([ours, tmp_path / "py_A.png", tmp_path / "py_T.png"], expected):
            assert read_bytes(mine) == read_bytes(theirs), (path, mine)


def test_enhance_file_names_its_output_as_the_tool_does(tool, tmp_path):
    for directory in ("tool", "py"):
        os.mkdir(tmp_path / directory)
        assert cv2.imwrite(str(tmp_path / directory / "night.jpeg"), hazy_picture(20, 30))
    status, err = run_tool(tool, str(tmp_path / "tool" / "night.jpeg"))
    assert status == 0, err
    written = nd.enhance_file(tmp_path / "py" / "night.jpeg")
    assert written == str(tmp_path / "py" / "night_J.bmp")
    assert read_bytes(written) == read_bytes(tmp_path / "tool" / "night_J.bmp")


def test_enhance_file_refuses_an_output_that_would_replace_its_input(tmp_path):
    photo = tmp_path / "night.png"
    assert cv2.imwrite(str(photo), hazy_picture(20, 30))
    os.symlink("night.png", tmp_path / "link.png")
    original = read_bytes(photo)
    for output in (photo, tmp_path / "." / "night.png", tmp_path / "link.png"):
        with pytest.raises(ValueError, match="would replace the original"):
            nd.enhance_file(photo, output)
    assert read_bytes(photo) == original
    assert sorted(os.listdir(tmp_path)) == ["link.png", "night.png"]


@pytest.mark.parametrize("non_local", [False, True])
def test_stages_composed_as_enhance_composes_them_give_its_result(non_local):
    photo = hazy_picture(23, 31, seed=8) if non_local else hazy_picture(45, 38, seed=9)
    context = nd.Context(non_local=non_local, gamma=1.6)
    light = nd.contrast_stretch(nd.light_compensation(photo))
    correction = nd.color_correction(light, context=context)
    with np.errstate(divide="ignore", invalid="ignore"):
        quotient = np.where(correction == 0, 0.0, light / correction)
    corrected = nd.contrast_stretch(np.clip(np.rint(quotient), 0, 255).astype(np.uint8))
    stages = nd.dehaze(corrected, context=context)

    whole = nd.enhance(photo, gamma=1.6, non_local=non_local, maps=True)
    assert np.array_equal(stages.dehazed, whole.image)
    assert np.array_equal(stages.airlight, whole.airlight)
    assert np.array_equal(stages.transmission, whole.transmission)


# Literal kernels: windows clipped at the border, straight from the definitions.

def window_sums(plane, r):
    rows, cols = plane.shape
    sums = np.zeros((rows, cols))
    for i in range(rows):
        for j in range(cols):
            sums[i, j] = plane[max(i - r, 0):i + r + 1, max(j - r, 0):j + r + 1].sum()
    return sums


def window_means(plane, r):
    return window_sums(plane, r) / window_sums(np.ones(plane.shape), r)


def literal_guided_gray(I, p, r, eps):
    mean_I, mean_p = window_means(I, r), window_means(p, r)
    a = (window_means(I * p, r) - mean_I * mean_p) / (window_means(I * I, r) - mean_I ** 2 + eps)
    b = mean_p - a * mean_I
    return window_means(a, r) * I + window_means(b, r)


def literal_guided_color(I, p, r, eps):
    channels = [I[:, :, c] for c in range(3)]
    means = [window_means(c, r) for c in channels]
    mean_p = window_means(p, r)
    sigma = np.empty(p.shape + (3, 3))
    for u in range(3):
        for v in range(3):
            sigma[:, :, u, v] = window_means(channels[u] * channels[v], r) - means[u] * means[v]
    sigma += eps * np.eye(3)
    cov_p = np.stack([window_means(channels[c] * p, r) - means[c] * mean_p for c in range(3)], axis=2)
    a = np.linalg.solve(sigma, cov_p[..., np.newaxis])[..., 0]
    b = mean_p - sum(a[:, :, c] * means[c] for c in range(3))
    return sum(window_means(a[:, :, c], r) * channels[c] for c in range(3)) + window_means(b, r)


def literal_dark_channel(image, r):
    lowest = image.min(axis=2)
    rows, cols = lowest.shape
    return np.array([[lowest[max(i - r, 0):i + r + 1, max(j - r, 0):j + r + 1].min()
                      for j in range(cols)] for i in range(rows)], dtype=np.float64)


SIZES = [(1, 1), (1, 6), (5, 2), (13, 17)]


@pytest.mark.parametrize("rows,cols", SIZES)
def test_kernels_equal_their_literal_definitions(rows, cols):
    rng = np.random.default_rng(rows * 100 + cols)
    image8 = rng.integers(0, 256, (rows, cols, 3), dtype=np.uint8)
    plane8 = image8[:, :, 1]
    unit = rng.random((rows, cols))
    guide = rng.random((rows, cols, 3))
    for r in (0, 1, 4, 20):
        for plane in (plane8, plane8.astype(np.float64), plane8.astype(np.int32)):
            assert np.array_equal(nd.box_filter(plane, r), window_sums(plane8, r))
        assert np.array_equal(nd.dark_channel(image8, r), literal_dark_channel(image8, r))
        np.testing.assert_allclose(nd.guided_filter_gray(unit, guide[:, :, 0], r, 0.01),
                                   literal_guided_gray(unit, guide[:, :, 0], r, 0.01),
                                   rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(nd.guided_filter_color(guide, unit, r, 0.01),
                                   literal_guided_color(guide, unit, r, 0.01),
                                   rtol=1e-8, atol=1e-10)
        if r >= 1:
            saturating = plane8.astype(np.float64) * 1.5 - 60
            expected = np.clip(np.rint(saturating), 0, 255).astype(np.uint8)
            assert np.array_equal(nd.pad_symmetric(saturating, r), np.pad(expected, r, "symmetric"))
    # Searching nowhere, the non-local filter's model is the input itself.
    np.testing.assert_allclose(
        nd.non_local_guided_filter(image8, unit * 255, patch_radius=1, search_radius=0),
        unit * 255, rtol=1e-12)


def test_faint_pixels_in_a_black_area_stay_black():
    """Regression: a faint speck in black came out white (255) from enhance."""
    image = np.zeros((120, 160, 3), np.uint8)
    image[:, 100:] = 180
    image[40:42, 20:23] = 1
    assert not nd.enhance(image)[40:42, 20:23].any()
    enhancers = [nd.VideoEnhancer(steady=steady) for steady in (True, False)]
    for enhancer in enhancers:
        out = [enhancer.push(image) for _ in range(3)] + enhancer.flush()
        done = [frame for frame in out if frame is not None]
        assert done and not any(frame[40:42, 20:23].any() for frame in done)
