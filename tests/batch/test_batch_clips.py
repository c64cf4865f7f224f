"""Clips in the batch: the tool's output for a short clip, a long one shared
among workers and joined again with the source's frames, timestamps and
audio, parts that survive a worker's death and leave nothing behind, on
small clips generated here (ffmpeg)."""

import json
import os
import shutil
import signal
import subprocess
import sys

import pytest

from batch_helpers import (PACKAGE_PATH, TIMEOUT, TOOL, environment, run_batch, start_batch,
                           stop_group, tool_bytes, wait_for, write_picture)

pytestmark = pytest.mark.skipif(not shutil.which("ffmpeg"), reason="needs ffmpeg and ffprobe")


def write_clip(path, seconds, rate=25):
    """A dark moving test pattern with a tone, 160x120, a key frame a second."""
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
                    "-i", f"testsrc2=size=160x120:rate={rate}:duration={seconds}",
                    "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}",
                    "-vf", "eq=brightness=-0.35", "-c:v", "libx264", "-g", str(rate),
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", str(path)],
                   check=True, timeout=TIMEOUT)
    return path


def packets(path, stream):
    """The presentation times of the packets of the file's first video ("v")
    or audio ("a") stream, in its time base, in presentation order."""
    run = subprocess.run(["ffprobe", "-v", "error", "-select_streams", f"{stream}:0", "-show_entries",
                          "packet=pts", "-of", "csv=p=0", str(path)],
                         check=True, capture_output=True, text=True, timeout=TIMEOUT)
    return sorted(int(line.split(",")[0]) for line in run.stdout.split())


def stream_packets(path):
    """Every packet of every stream, its timestamps and an MD5 of its bytes
    (ffmpeg's framemd5 of a stream copy): the file less what its container
    draws at random (Matroska's identifiers)."""
    run = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-map", "0", "-c", "copy",
                          "-f", "framemd5", "-"], check=True, capture_output=True, text=True,
                         timeout=TIMEOUT)
    return [line for line in run.stdout.splitlines() if not line.startswith("#")]


def assert_same_clip(result, tools):
    """The tool's streams, packet for packet: a worker encodes as the tool
    does, whatever clip it encoded before (regression: x264's AVX-512
    kernels made a second clip in one process come out otherwise)."""
    assert stream_packets(result) == stream_packets(tools)


def test_one_process_encodes_a_clip_as_the_tool_whatever_it_encoded_before(tmp_path):
    """A worker enhances clip after clip in one process; each file is the
    tool's, byte for byte, with the exact engine's slower x264 preset too."""
    sys.path.insert(0, str(PACKAGE_PATH))
    from nightdehaze import _core
    first, second = write_clip(tmp_path / "a.mp4", 3), write_clip(tmp_path / "b.mp4", 2)
    tools = {clip: tool_bytes(clip, "out.mp4", tmp_path)["out.mp4"] for clip in (first, second)}
    for k, clip in enumerate([first, second, first, second]):
        out = tmp_path / f"part{k}.mp4"
        _core.clip_part(str(clip), {}, str(out))
        assert out.read_bytes() == tools[clip], f"clip {k}"


def leftovers(folder):
    return [p for p in folder.rglob(".*") if p.is_file()]


def test_a_mixed_folder_gives_the_tools_result_for_each_picture_and_clip(tmp_path):
    footage = tmp_path / "footage"
    picture = write_picture(footage / "street.png", 64, 48, 1)
    clips = [write_clip(footage / "drive.mp4", 2), write_clip(footage / "sub" / "park.MKV", 1)]
    not_a_clip = footage / "broken.mp4"
    not_a_clip.write_bytes(b"no video in here")
    clear = tmp_path / "clear"
    report = tmp_path / "report.json"
    run = run_batch(footage, "-r", "--output-dir", clear, "--workers", "2", "--fast", "--report", report)
    assert run.returncode == 1, run.stderr
    assert (clear / "street_J.bmp").read_bytes() == tool_bytes(picture, "street_J.bmp", tmp_path,
                                                                "--fast")["street_J.bmp"]
    for clip, result in zip(clips, [clear / "drive_J.mp4", clear / "sub" / "park_J.MKV"]):
        tool_bytes(clip, result.name, tmp_path, "--fast")
        assert_same_clip(result, tmp_path / f"tool-{clip.parent.name}-{clip.name}" / result.name)
    records = {r["input"]: r for r in json.loads(report.read_text())["records"]}
    drive = records[str(clips[0])]
    assert (drive["status"], drive["frames"], drive["parts"]) == ("done", 50, 1)
    assert drive["frames_per_second"] > 0 and drive["megapixels"] is None
    # A file named as a clip that holds none goes the tool's way, with its reason.
    broken = records[str(not_a_clip)]
    assert broken["status"] == "failed" and "cannot read" in broken["reason"]
    assert "frames" in run.stderr and leftovers(clear) == []


def test_a_long_clip_in_parts_has_the_sources_frames_timestamps_and_audio(tmp_path):
    clip = write_clip(tmp_path / "in" / "night.mp4", 6)
    for mode in ([], ["--per-frame"]):
        clear = tmp_path / ("clear" + "".join(mode))
        report = tmp_path / f"report{len(mode)}.json"
        run = run_batch(clip, "--output-dir", clear, "--workers", "2", "--split", "2", *mode,
                        "--report", report)
        assert run.returncode == 0, run.stderr
        record = json.loads(report.read_text())["records"][0]
        assert (record["frames"], record["parts"]) == (150, 3)
        joined = clear / "night_J.mp4"
        whole = tmp_path / f"tool{len(mode)}" / "night_J.mp4"
        whole.parent.mkdir()
        subprocess.run([TOOL, "--threads", "1", *mode, "-o", str(whole), str(clip)], check=True,
                       capture_output=True, timeout=TIMEOUT)
        assert packets(joined, "v") == packets(whole, "v")
        assert len(packets(joined, "v")) == 150
        assert packets(joined, "a") == packets(whole, "a") == packets(clip, "a")
        assert leftovers(clear) == []


def test_a_worker_killed_during_a_part_still_gives_the_whole_clip(tmp_path, cluster):
    clip = write_clip(tmp_path / "in" / "long.mp4", 16)
    clear = tmp_path / "clear"
    report = tmp_path / "report.json"
    batch = start_batch(clip, "--output-dir", clear, "--scheduler", cluster.address, "--split", "4",
                        "--per-frame", "--report", report)
    try:
        with cluster.client() as client:
            name = {a: info["name"] for a, info in client.scheduler_info()["workers"].items()}

            def worker_of_a_part():
                return next((a for a, keys in client.processing().items()
                             if any("-part" in k for k in keys)), None)

            doomed = name[wait_for(worker_of_a_part, what="a part to start")]
            wait_for(lambda: any(clear.glob(".long_J.mp4.part*")), what="a part file")
            cluster.workers[doomed].send_signal(signal.SIGKILL)
            cluster.workers[doomed].wait(timeout=TIMEOUT)
        _, errors = batch.communicate(timeout=3 * TIMEOUT)
    finally:
        stop_group(batch)
    assert batch.returncode == 0, errors
    record = json.loads(report.read_text())["records"][0]
    assert (record["status"], record["frames"], record["parts"]) == ("done", 400, 4)
    assert len(packets(clear / "long_J.mp4", "v")) == 400
    assert leftovers(clear) == []


def test_ctrl_c_during_a_long_clip_leaves_no_part_file(tmp_path):
    clip = write_clip(tmp_path / "in" / "long.mp4", 20)
    clear = tmp_path / "clear"
    batch = start_batch(clip, "--output-dir", clear, "--workers", "2", "--split", "4")
    try:
        wait_for(lambda: len(list(clear.glob(".long_J.mp4.part*"))) >= 2, what="parts being written")
        os.killpg(batch.pid, signal.SIGINT)
        _, errors = batch.communicate(timeout=60)
        assert batch.returncode == 130, errors
    finally:
        stop_group(batch)
    assert list(clear.iterdir()) == []


def test_resume_skips_written_clips_and_a_worker_without_video_says_so(tmp_path):
    clip = write_clip(tmp_path / "in" / "a.mp4", 1)
    write_clip(tmp_path / "in" / "b.mp4", 1)
    clear = tmp_path / "clear"
    clear.mkdir()
    (clear / "a_J.mp4").write_bytes(b"kept")
    # The package alone, without the video module that sits beside it in the build.
    package = tmp_path / "package"
    shutil.copytree(os.path.join(PACKAGE_PATH, "nightdehaze"), package / "nightdehaze")
    env = environment()
    env["PYTHONPATH"] = str(package)
    run = subprocess.run([sys.executable, "-m", "nightdehaze.batch", str(tmp_path / "in"), "--output-dir",
                          str(clear), "--workers", "1", "--resume", "--report", str(tmp_path / "r.json")],
                         env=env, capture_output=True, text=True, timeout=TIMEOUT)
    assert run.returncode == 1, run.stderr
    records = json.loads((tmp_path / "r.json").read_text())["records"]
    assert [r["status"] for r in records] == ["skipped", "failed"]
    assert "video module nightdehaze-video.so is missing" in records[1]["reason"]
    assert (clear / "a_J.mp4").read_bytes() == b"kept" and clip.exists()
