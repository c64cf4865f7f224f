"""The preview server without a browser: it serves only the pictures it was
given, refuses every bad request with a 4xx and a one-line reason, stays up
under many requests at once, and saves what the tool writes."""

import json
import os
import socket
import struct
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import cv2
import numpy as np

from batch_helpers import TIMEOUT, environment, tool_bytes, write_picture

PREVIEW = "/api/preview?picture={}&size={}&view={}&gamma=1.7&clean=1&fast=0"


def test_only_the_given_pictures_are_served_and_bad_requests_get_a_one_line_4xx(preview, tmp_path):
    photos = tmp_path / "photos"
    write_picture(photos / "a.png", 64, 48, 1)
    deleted = write_picture(photos / "b.png", 64, 48, 2)
    (photos / "c.jpg").write_bytes(b"not a picture")
    secret = write_picture(tmp_path / "secret.png", 32, 32, 3)
    (photos / "link.png").symlink_to(secret)
    (photos / "notes.txt").write_text("not shown")
    earlier_result = write_picture(photos / "a_J.bmp", 64, 48, 4)
    server = preview(photos, "--include-results")
    status, _, body = server.request("/api/pictures")
    names = ["a.png", "a_J.bmp", "b.png", "c.jpg"]
    assert status == 200 and [p["name"] for p in json.loads(body)["pictures"]] == names
    deleted.unlink()
    refused = {
        "/../secret.png": 404, "/%2e%2e/secret.png": 404, "/%2e%2e%2fsecret.png": 404,
        f"/{secret}": 404, "/api/../../secret.png": 404,
        f"/api/thumbnail?picture={secret}": 400, "/api/thumbnail?picture=../secret.png": 400,
        "/api/thumbnail?picture=%2e%2e%2fsecret.png": 400, "/api/thumbnail?picture=-1": 400,
        "/api/thumbnail?picture=4": 404, "/api/thumbnail?picture=99999999999": 400,
        "/api/thumbnail?picture=2": 404, "/api/original?picture=3&size=screen": 422,
        "/api/thumbnail?picture=0&picture=1": 400, "/api/original?picture=0&size=huge": 400,
        "/api/preview?picture=0&size=screen&view=result&gamma=9&clean=0&fast=0": 400,
        "/api/preview?picture=0&size=screen&view=result&gamma=nan&clean=0&fast=0": 400,
        "/api/preview?picture=0&size=screen&view=depth&gamma=1&clean=0&fast=0": 400,
        "/api/preview?picture=0&size=screen&view=result&gamma=1&clean=yes&fast=0": 400,
    }
    for path, expected in refused.items():
        status, _, body = server.request(path)
        assert (status, len(body.decode().splitlines())) == (expected, 1), (path, body)
    for token in ("", "?token=wrong", "?token=" + server.token[:-1]):
        assert server.request("/api/pictures" + token, token=False)[0] == 403
    json_type = {"Content-Type": "application/json"}
    saves = {b"x" * 5000: 413, b"[1]": 400, b"{": 400,
             json.dumps({"picture": "../secret.png", "gamma": "1", "clean": "0", "fast": "0",
                         "maps": "0"}).encode(): 400,
             json.dumps({"picture": "0", "gamma": 1}).encode(): 400,
             json.dumps({"picture": "0", "gamma": "1", "clean": "0", "fast": "0", "maps": "0"}).encode(): 409}
    before = earlier_result.read_bytes()
    for body, expected in saves.items():
        assert server.request("/api/save", body, json_type)[0] == expected, body
    assert earlier_result.read_bytes() == before and not list(tmp_path.glob("*_J.bmp"))


def test_many_requests_at_once_are_each_answered(preview, tmp_path):
    photos = tmp_path / "photos"
    for number in range(4):
        write_picture(photos / f"{number}.png", 200, 150, number)
    server = preview(photos)
    asked = ([("/api/pictures", 200)] * 10 + [(f"/api/thumbnail?picture={n % 4}", 200) for n in range(16)]
             + [(f"/api/original?picture={n % 4}&size=screen", 200) for n in range(16)]
             + [("/api/thumbnail?picture=9", 404)] * 8)
    with ThreadPoolExecutor(len(asked)) as pool:
        answered = list(pool.map(lambda a: server.request(a[0])[0], asked))
    assert answered == [expected for _, expected in asked]
    assert server.request(PREVIEW.format(0, "screen", "result"))[0] == 200


def test_a_new_preview_cancels_the_one_still_being_computed(preview, tmp_path):
    server = preview(write_picture(tmp_path / "large.png", 3000, 2000, 1))
    with ThreadPoolExecutor(2) as pool:
        first = pool.submit(server.request, PREVIEW.format(0, "full", "result"))
        time.sleep(0.5)  # the first is computing: a full-size exact enhancement takes seconds
        second = pool.submit(server.request, PREVIEW.format(0, "full", "result").replace("1.7", "1.8"))
        assert (first.result()[0], first.result()[2]) == (409, b"superseded by a newer preview\n")
        assert second.result()[0] == 200


def test_save_and_the_full_size_preview_are_what_the_tool_writes(preview, tmp_path):
    photo = write_picture(tmp_path / "in" / "night.png", 96, 64, 5)
    out = tmp_path / "out"
    server = preview(photo, "--output-dir", out)
    body = json.dumps({"picture": "0", "gamma": "1.7", "clean": "1", "fast": "0", "maps": "1"}).encode()
    status, _, answer = server.request("/api/save", body, {"Content-Type": "application/json"})
    assert status == 200, answer
    written = [Path(p) for p in json.loads(answer)["written"]]
    assert {p.parent for p in written} == {out}
    expected = tool_bytes(photo, "night_J.bmp", tmp_path, "--clean", "--maps", gamma="1.7")
    assert {p.name: p.read_bytes() for p in written} == expected
    for view, path in zip(("result", "airlight", "transmission"), written):
        status, headers, png = server.request(PREVIEW.format(0, "full", view))
        assert (status, headers["X-Picture-Size"]) == (200, "96x64")
        shown = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_UNCHANGED)
        assert np.array_equal(shown, cv2.imread(str(path), cv2.IMREAD_UNCHANGED)), view


def test_save_refuses_to_write_over_the_picture_under_another_name(preview, tmp_path):
    # Regression: a result name that was another name of the picture (a link)
    # was written over.
    body = json.dumps({"picture": "0", "gamma": "1.2", "clean": "0", "fast": "0", "maps": "0"}).encode()
    for link in (os.symlink, os.link):
        folder = tmp_path / link.__name__
        photo = write_picture(folder / "night.png", 32, 24, 6)
        link(photo, folder / "night_J.bmp")
        original = photo.read_bytes()
        server = preview(photo)
        status, _, answer = server.request("/api/save", body, {"Content-Type": "application/json"})
        assert (status, answer) == (409, b"Save would overwrite 'night.png', a picture of the strip: "
                                         b"start the preview with --output-dir\n")
        assert photo.read_bytes() == original and os.path.samefile(photo, folder / "night_J.bmp")


def test_the_strip_leaves_out_what_save_wrote(preview, tmp_path):
    # Regression: after a Save with maps the strip showed the result and the
    # maps as three more pictures.
    photos = tmp_path / "photos"
    for name in ("night.png", "street.jpeg"):
        write_picture(photos / name, 32, 24, len(name))
    names = lambda server: [p["name"] for p in json.loads(server.request("/api/pictures")[2])["pictures"]]
    first = preview(photos)
    body = json.dumps({"picture": "1", "gamma": "1.2", "clean": "0", "fast": "1", "maps": "1"}).encode()
    assert first.request("/api/save", body, {"Content-Type": "application/json"})[0] == 200
    assert sorted(os.listdir(photos)) == ["night.png", "street.jpeg", "street_A.bmp", "street_J.bmp",
                                          "street_T.bmp"]
    assert names(preview(photos)) == ["night.png", "street.jpeg"]
    assert names(preview(photos, "--include-results")) == sorted(os.listdir(photos))
    assert names(preview(photos / "street_J.bmp")) == ["street_J.bmp"]  # named itself: shown


def test_dropped_connections_pass_in_silence(preview, tmp_path):
    # Regression: every connection the browser dropped printed a traceback
    # (ConnectionResetError) on the terminal.
    server = preview(write_picture(tmp_path / "night.png", 600, 400, 7))
    host, port = server.base.removeprefix("http://").split(":")
    token = server.token
    requests = [f"GET /api/pictures?token={token} HTTP/1.1\r\n\r\n",  # then kept alive
                "GET /api/pic",
                f"GET /api/original?picture=0&size=full&token={token} HTTP/1.1\r\n\r\n",
                f"POST /api/save?token={token} HTTP/1.1\r\nContent-Length: 99\r\n\r\n{{\"pic"]
    for text in requests:
        connection = socket.create_connection((host, int(port)), timeout=TIMEOUT)
        connection.sendall(text.encode())
        time.sleep(0.3)
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        connection.close()  # a reset, as a browser's cancelled request often is
    assert server.request("/api/pictures")[0] == 200
    server.process.terminate()
    assert server.process.wait(timeout=TIMEOUT) == 0
    assert server.process.stderr.read().splitlines() == ["nightdehaze-preview: 1 picture; Ctrl-C stops"]


def test_usage_errors_end_before_anything_is_served(tmp_path):
    photo = write_picture(tmp_path / "night.png", 16, 16, 1)
    (tmp_path / "notes.txt").write_text("x")
    twin = write_picture(tmp_path / "other" / "night.png", 16, 16, 2)
    for args in ([photo, twin, "--output-dir", tmp_path / "out"],
                 ["--host", "0.0.0.0", photo], ["--host", "192.0.2.1", photo],
                 [tmp_path / "missing.png"], [tmp_path / "notes.txt"], ["--port", "70000", photo]):
        run = subprocess.run([sys.executable, "-m", "nightdehaze.preview", "--no-browser", *map(str, args)],
                             env=environment(), capture_output=True, text=True, timeout=TIMEOUT)
        assert (run.returncode, run.stdout) == (2, ""), args
        assert "error:" in run.stderr.splitlines()[-1], run.stderr
