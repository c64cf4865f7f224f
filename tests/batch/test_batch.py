"""nightdehaze-batch end to end: results, failures, resumption, clashes,
worker loss and Ctrl-C, on small generated pictures."""

import base64
import csv
import html
import json
import os
import re
import signal
import subprocess

import cv2
import numpy as np

import pytest

from batch_helpers import (TIMEOUT, run_batch, start_batch, stop_group, tool_bytes,
                           tool_failure, wait_for, write_picture)


def outputs_under(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def temporaries_under(folder):
    return [p for p in folder.rglob(".*") if p.is_file()]


def test_local_batch_writes_the_tools_bytes_and_reports_failures(tmp_path):
    photos = tmp_path / "photos"
    sources = [write_picture(photos / "a.png", 64, 48, 1),
               write_picture(photos / "night.jpeg", 50, 40, 2),
               write_picture(photos / "sub" / "b.jpg", 70, 30, 3)]
    corrupt = photos / "sub" / "corrupt.jpg"
    corrupt.write_bytes(sources[2].read_bytes()[:300])
    (photos / "notes.txt").write_text("not a picture, not taken")
    clear = tmp_path / "clear"
    report = tmp_path / "report.csv"

    run = run_batch(photos, "--recursive", "--output-dir", clear, "--workers", "2",
                    "--format", "png", "--maps", "--gamma", "1.5", "--report", report)

    assert run.returncode == 1, run.stderr
    expected = {}
    for source, name in zip(sources, ["a_J.png", "night_J.png", "b_J.png"]):
        folder = source.parent.relative_to(photos)
        for file, data in tool_bytes(source, name, tmp_path, "--maps", gamma="1.5").items():
            expected[str(folder / file)] = data
    assert outputs_under(clear) == expected
    with open(report) as f:
        rows = {row["input"]: row for row in csv.DictReader(line for line in f
                                                              if not line.startswith("#"))}
    assert set(rows) == {str(p) for p in sources + [corrupt]}
    assert rows[str(corrupt)]["status"] == "failed"
    assert rows[str(corrupt)]["reason"] == tool_failure(os.path.abspath(corrupt))
    assert rows[str(sources[0])]["output"] == str(clear / "a_J.png")
    assert float(rows[str(sources[0])]["megapixels"]) == 64 * 48 / 1e6
    assert all(rows[str(s)]["status"] == "done" and rows[str(s)]["worker"] for s in sources)
    assert "# done: 3" in report.read_text() and "# failed: 1" in report.read_text()
    assert f"failed: {corrupt}" in run.stderr


def test_fast_batch_writes_the_tools_fast_bytes(tmp_path):
    photos = tmp_path / "photos"
    sources = [write_picture(photos / "a.png", 60, 44, 4), write_picture(photos / "b.jpg", 45, 52, 5)]
    clear = tmp_path / "clear"
    run = run_batch(photos, "--output-dir", clear, "--fast", "--clean", "--format", "png")
    assert run.returncode == 0, run.stderr
    expected = {}
    for source in sources:
        expected.update(tool_bytes(source, source.stem + "_J.png", tmp_path, "--fast", "--clean"))
    assert outputs_under(clear) == expected


def test_results_written_beside_the_pictures_are_not_enhanced_again(tmp_path):
    # Regression: a second batch over the folder enhanced every *_J.bmp and
    # map of the first (night_J_J.bmp, ...).
    photos = tmp_path / "photos"
    sources = [write_picture(photos / name, 40, 30, k) for k, name in enumerate(["a.png", "night.jpeg"])]
    assert run_batch(photos, "--output-dir", photos, "--maps", "--workers", "1").returncode == 0
    report = tmp_path / "report.json"
    run = run_batch(photos, "--output-dir", tmp_path / "clear", "--workers", "1", "--report", report)
    assert run.returncode == 0, run.stderr
    assert sorted(outputs_under(tmp_path / "clear")) == ["a_J.bmp", "night_J.bmp"]
    assert "left out 6 earlier results" in run.stderr and "--include-results" in run.stderr
    assert json.loads(report.read_text())["summary"]["left_out"] == 6
    run = run_batch(photos, "--output-dir", tmp_path / "all", "--workers", "1", "--include-results")
    assert run.returncode == 0 and len(outputs_under(tmp_path / "all")) == 8, run.stderr
    assert (tmp_path / "all" / "a_J_J.bmp").exists() and "left out" not in run.stderr
    assert all(s.exists() for s in sources)


def test_an_html_report_shows_each_picture_before_and_after_with_its_record_and_failure(tmp_path):
    photos = tmp_path / "photos"
    good = write_picture(photos / "good.png", 400, 200, 4)
    broken = photos / "broken.jpg"
    broken.write_bytes(b"not a picture")
    report = tmp_path / "report.html"
    run = run_batch(photos, "--output-dir", tmp_path / "clear", "--workers", "1", "--report", report)
    assert run.returncode == 1, run.stderr
    page = report.read_text()
    rows = re.findall(r'<tr class="(\w+)" data-status="\1" data-role="record">(.*?)</tr>', page)
    assert sorted(status for status, _ in rows) == ["done", "failed"]
    done, failed = (dict(rows)[s] for s in ("done", "failed"))
    assert html.escape(str(good)) in done and html.escape(str(broken)) in failed
    # Regression: the page lacked the output, megapixels and worker of each record.
    input_, output, status, seconds, megapixels, frames, parts, fps, worker, reason = re.findall(r"<td>([^<]*)</td>", done)
    assert (output, status, megapixels, reason) == (html.escape(str(tmp_path / "clear" / "good_J.bmp")),
                                                    "done", "0.080", "")
    assert float(seconds) > 0 and worker.startswith("tcp://127.0.0.1:")
    assert html.escape(tool_failure(os.path.abspath(broken))) in failed
    thumbnails = re.findall(r'src="data:image/jpeg;base64,([^"]+)"', done)
    assert len(thumbnails) == 2 and not re.findall("data:image", failed)
    sizes = [cv2.imdecode(np.frombuffer(base64.b64decode(t), np.uint8), cv2.IMREAD_COLOR).shape
             for t in thumbnails]
    assert sizes == [(80, 160, 3), (80, 160, 3)]
    assert "http" not in page  # nothing to fetch: the page works offline


def test_clashing_or_missing_inputs_are_usage_errors_before_anything_runs(tmp_path, capsys):
    from nightdehaze import batch
    png = write_picture(tmp_path / "night.png", 8, 8, 1)
    jpg = write_picture(tmp_path / "night.jpg", 8, 8, 2)
    other = write_picture(tmp_path / "other" / "night.png", 8, 8, 3)
    clear = tmp_path / "clear"
    for args, problem in (([png, jpg], "would both be written to"),
                          ([png, other], "would both be written to"),
                          ([tmp_path], "would both be written to"),
                          ([tmp_path / "missing.png"], "no such file"),
                          ([str(tmp_path / "*.gif")], "no file matches"),
                          ([png, "--gamma", "0"], "--gamma must be a finite number greater than 0, not '0'"),
                          ([png, "--fast", "--non-local"], "--fast and --non-local cannot be combined"),
                          ([png, "--report", tmp_path / "r.txt"], "must be a .json, .csv or .html"),
                          ([png, "--workers", "2", "--scheduler", "tcp://h:1"], "not allowed"),
                          ([png, "--fats"], "unrecognized arguments: --fats; did you mean --fast?"),
                          ([png, "--reprot=r.json"], "did you mean --report?")):
        with pytest.raises(SystemExit) as exit_:
            batch.main([*map(str, args), "--output-dir", str(clear)])
        error = capsys.readouterr().err
        assert exit_.value.code == 2, args
        assert problem in error and error.count("\n") == 1, error
    assert not clear.exists()


def test_cluster_of_separate_processes_runs_a_batch_and_resumes_it(tmp_path, cluster):
    photos = tmp_path / "photos"
    sources = [write_picture(photos / f"p{k}.png", 40 + k, 30, k) for k in range(6)]
    clear = tmp_path / "clear"
    first = run_batch(photos, "--output-dir", clear, "--scheduler", cluster.address, "--clean",
                      "--report", tmp_path / "first.json")
    assert first.returncode == 0, first.stderr
    for source in sources:
        name = source.stem + "_J.bmp"
        assert (clear / name).read_bytes() == tool_bytes(source, name, tmp_path, "--clean")[name]
    workers = {r["worker"] for r in json.loads((tmp_path / "first.json").read_text())["records"]}
    with cluster.client() as client:
        assert workers <= set(client.scheduler_info()["workers"])

    (clear / "p0_J.bmp").unlink()
    (clear / "p1_J.bmp").write_bytes(b"kept as it is")
    second = run_batch(photos, "--output-dir", clear, "--scheduler", cluster.address, "--clean",
                       "--resume", "--report", tmp_path / "second.json")
    assert second.returncode == 0, second.stderr
    report = json.loads((tmp_path / "second.json").read_text())
    assert [r["status"] for r in report["records"]] == ["done"] + ["skipped"] * 5
    assert report["summary"]["skipped"] == 5 and report["summary"]["done"] == 1
    assert ((clear / "p0_J.bmp").read_bytes() ==
            tool_bytes(sources[0], "p0_J.bmp", tmp_path, "--clean")["p0_J.bmp"])
    assert (clear / "p1_J.bmp").read_bytes() == b"kept as it is"


def test_a_worker_killed_mid_batch_loses_no_picture(tmp_path, cluster):
    photos = tmp_path / "photos"
    # The first picture takes long enough that its worker is surely killed
    # while enhancing it.
    sources = [write_picture(photos / "p00.png", 1024, 768, 0)]
    sources += [write_picture(photos / f"p{k:02d}.png", 192, 144, k) for k in range(1, 10)]
    clear = tmp_path / "clear"
    report = tmp_path / "report.json"
    batch = start_batch(photos, "--output-dir", clear, "--scheduler", cluster.address,
                        "--report", report)
    try:
        with cluster.client() as client:
            name = {a: info["name"] for a, info in client.scheduler_info()["workers"].items()}

            def worker_of_first_picture():
                return next((a for a, keys in client.processing().items()
                             if any(k.rsplit("-", 1)[1] == "0" for k in keys)), None)

            doomed = name[wait_for(worker_of_first_picture, what="the first picture to start")]
            cluster.workers[doomed].send_signal(signal.SIGKILL)
            cluster.workers[doomed].wait(timeout=TIMEOUT)
        _, errors = batch.communicate(timeout=TIMEOUT)
    finally:
        stop_group(batch)
    assert batch.returncode == 0, errors
    records = json.loads(report.read_text())["records"]
    assert [r["status"] for r in records] == ["done"] * len(sources)
    survivor = next(a for a, n in name.items() if n != doomed)
    assert records[0]["worker"] == survivor
    for source in sources:
        result = source.stem + "_J.bmp"
        assert (clear / result).read_bytes() == tool_bytes(source, result, tmp_path)[result]


def test_ctrl_c_stops_promptly_and_leaves_only_whole_results(tmp_path):
    photos = tmp_path / "photos"
    sources = [write_picture(photos / f"p{k:02d}.png", 256, 192, k) for k in range(30)]
    clear = tmp_path / "clear"
    batch = start_batch(photos, "--output-dir", clear, "--workers", "2",
                        "--report", tmp_path / "report.json")
    try:
        wait_for(lambda: clear.exists() and any(clear.glob("*_J.bmp")), what="a first result")
        os.killpg(batch.pid, signal.SIGINT)  # as a terminal's Ctrl-C does
        _, errors = batch.communicate(timeout=30)
        assert batch.returncode == 130, errors
        group_is_gone = lambda: subprocess.run(["pgrep", "-g", str(batch.pid)]).returncode == 1
        wait_for(group_is_gone, timeout=30, what="every worker to stop")
    finally:
        stop_group(batch)
    assert temporaries_under(clear) == []
    written = sorted(clear.iterdir())
    assert 0 < len(written) < len(sources)
    for path in written:
        source = photos / (path.name.removesuffix("_J.bmp") + ".png")
        assert path.read_bytes() == tool_bytes(source, path.name, tmp_path)[path.name]
    summary = json.loads((tmp_path / "report.json").read_text())["summary"]
    assert summary["cancelled"] > 0 and summary["failed"] == 0
