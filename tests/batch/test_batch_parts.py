"""The parts of the batch that need no cluster: which pictures, which result
paths, and the sizes read back from the results' headers."""

import io
import os

import cv2
import numpy as np
import pytest

from batch_helpers import write_picture
from nightdehaze.batch._inputs import UsageError, pictures_to_enhance
from nightdehaze.batch._picture_size import picture_size
from nightdehaze.batch._progress import Progress


def test_results_mirror_the_inputs_and_follow_the_tools_name_rule(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in ["shoot/night.jpeg", "shoot/a.png", "shoot/day/c.tif",
                 "shoot/day/deep/d.bmp", "shoot/clear/old_J.bmp", "loose/e.png"]:
        write_picture(tmp_path / name, 8, 8, len(name))
    (tmp_path / "shoot" / "readme.txt").write_text("no picture")
    (tmp_path / "loose" / "abc").write_bytes((tmp_path / "loose" / "e.png").read_bytes())

    def results(*args, **options):
        return {p.source: p.outputs for p in pictures_to_enhance(args, "shoot/clear", **options).pictures}

    assert results("shoot") == {"shoot/night.jpeg": ("shoot/clear/night_J.bmp",),
                                "shoot/a.png": ("shoot/clear/a_J.bmp",)}
    recursive = results("shoot", recursive=True, fmt="png")
    assert recursive["shoot/day/deep/d.bmp"] == ("shoot/clear/day/deep/d_J.png",)
    assert "shoot/clear/old_J.bmp" not in recursive  # earlier results are not inputs
    assert results("loose/abc") == {"loose/abc": ("shoot/clear/abc_J.bmp",)}
    assert results("shoot/*/c.tif", "loose/e.png", maps=True) == {
        "shoot/day/c.tif": ("shoot/clear/day/c_J.bmp", "shoot/clear/day/c_J_A.bmp",
                            "shoot/clear/day/c_J_T.bmp"),
        "loose/e.png": ("shoot/clear/e_J.bmp", "shoot/clear/e_J_A.bmp", "shoot/clear/e_J_T.bmp")}
    for name in ("IMG_1234.HEIC", "phone.avif", "DSC_0042.NEF", "frame.Dng"):  # found by name, any case
        (tmp_path / "phones" / name).parent.mkdir(exist_ok=True)
        (tmp_path / "phones" / name).write_bytes(b"content is checked by the tool")
    assert sorted(results("phones")) == ["phones/DSC_0042.NEF", "phones/IMG_1234.HEIC", "phones/frame.Dng",
                                         "phones/phone.avif"]
    a = os.path.abspath("shoot/a.png")  # named twice: enhanced once
    assert list(results(a, "shoot")) == [a, "shoot/night.jpeg"]
    write_picture(tmp_path / "loose" / "e_J.bmp", 8, 8, 0)
    with pytest.raises(UsageError, match="over the input 'loose/e_J.bmp'"):
        pictures_to_enhance(["loose"], "loose", include_results=True)


def test_earlier_results_beside_their_picture_are_left_out_unless_named(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in ("night.jpg", "night_J.bmp", "night_J_A.bmp", "night_J_J.bmp", "night_T.png",
                 "IMG_1._J.bmp", "orphan_J.bmp", "night_X.bmp"):
        write_picture(tmp_path / "photos" / name, 8, 8, len(name))
    (tmp_path / "photos" / "IMG_1.heic").write_bytes(b"found by its name")

    def chosen(*args, **options):
        selection = pictures_to_enhance(args, "clear", **options)
        return sorted(p.source for p in selection.pictures), sorted(selection.left_out)

    left_out = ["photos/IMG_1._J.bmp", "photos/night_J.bmp", "photos/night_J_A.bmp", "photos/night_J_J.bmp",
                "photos/night_T.png"]
    kept = ["photos/IMG_1.heic", "photos/night.jpg", "photos/night_X.bmp", "photos/orphan_J.bmp"]
    assert chosen("photos") == (kept, left_out)
    assert chosen("photos/*.bmp") == (["photos/night_X.bmp", "photos/orphan_J.bmp"], left_out[:4])
    assert chosen("photos/night_J.bmp") == (["photos/night_J.bmp"], [])
    assert chosen("photos", "photos/night_J.bmp")[1] == left_out[:1] + left_out[2:]
    assert chosen("photos", include_results=True) == (sorted(kept + left_out), [])
    with pytest.raises(UsageError, match="left out 3 earlier results .* --include-results"):
        pictures_to_enhance(["photos/night_J*.bmp"], "clear")


@pytest.mark.parametrize("extension", ["bmp", "png", "jpg", "tif"])
def test_result_sizes_are_read_from_the_headers(tmp_path, extension):
    path = str(tmp_path / f"x.{extension}")
    assert cv2.imwrite(path, np.zeros((37, 53, 3), np.uint8))
    assert picture_size(path) == (53, 37)
    with open(path, "r+b") as f:
        f.truncate(6)
    assert picture_size(path) is None


def test_a_failure_is_one_line_even_for_a_name_with_line_breaks():
    """Regression: a file name holding a newline split the failure over two lines."""
    stream = io.StringIO()
    progress = Progress(1, stream, False)
    progress.record({"input": "bad\nname.png", "status": "failed",
                     "reason": "cannot read 'bad\nname.png': not an image that can be decoded"})
    assert stream.getvalue() == ("nightdehaze-batch: failed: bad name.png: cannot read 'bad name.png': "
                                 "not an image that can be decoded\n")
