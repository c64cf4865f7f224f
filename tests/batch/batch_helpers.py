"""Shared pieces of the batch tests: the tool, the command, pictures and a
Dask cluster of separate processes on 127.0.0.1 (the fixture is in conftest).

NIGHTDEHAZE_TOOL and NIGHTDEHAZE_PYTHONPATH (set by CTest) name the tool and
the folder holding the built package; by default both come from ./build.
"""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parents[2]
TOOL = os.environ.get("NIGHTDEHAZE_TOOL", str(ROOT / "build" / "nightdehaze"))
PACKAGE_PATH = os.environ.get("NIGHTDEHAZE_PYTHONPATH", str(ROOT / "build" / "python"))
sys.path.insert(0, PACKAGE_PATH)
# Every process a test starts is given this long before it is taken as hung.
TIMEOUT = 60


def environment() -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_PATH, env.get("PYTHONPATH")]))
    return env


def run_batch(*args, timeout=TIMEOUT) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "nightdehaze.batch", *map(str, args)],
                          env=environment(), capture_output=True, text=True, timeout=timeout)


def start_batch(*args) -> subprocess.Popen:
    """The batch in a process group of its own, as a terminal runs it."""
    return subprocess.Popen([sys.executable, "-m", "nightdehaze.batch", *map(str, args)],
                            env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True)


def tool_bytes(source: Path, output_name: str, tmp: Path, *options, gamma=None) -> dict:
    """{file name: bytes} of what the tool writes for source with -o output_name."""
    folder = tmp / f"tool-{source.parent.name}-{source.name}"
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run([TOOL, "--threads", "1", "-o", str(folder / output_name), *options,
                    str(source), *([gamma] if gamma else [])],
                   check=True, capture_output=True, timeout=TIMEOUT)
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def tool_failure(source: Path) -> str:
    """The tool's one-line message for a picture it cannot enhance."""
    run = subprocess.run([TOOL, "--threads", "1", str(source)], capture_output=True,
                         text=True, timeout=TIMEOUT)
    assert run.returncode == 1
    return run.stderr.strip().removeprefix("nightdehaze: ")


def write_picture(path: Path, width: int, height: int, seed: int) -> Path:
    """A night-like picture: dark gradient, a few lamps, noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = (20 + 40 * y / height)[..., None] * np.array([0.6, 0.8, 1.0])
    for _ in range(3):
        cy, cx = rng.integers(0, height), rng.integers(0, width)
        glow = 200 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (0.02 * width * height))
        base += glow[..., None] * rng.uniform(0.5, 1.0, 3)
    picture = np.clip(base + rng.normal(0, 6, base.shape), 0, 255).astype(np.uint8)
    path.parent.mkdir(parents=True, exist_ok=True)
    assert cv2.imwrite(str(path), picture)
    return path


def stop_group(process: subprocess.Popen) -> None:
    """Kills process and every process of its group, if still there."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            continue
    process.wait(timeout=5)


def wait_for(condition, timeout=TIMEOUT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class Cluster:
    """A `dask scheduler` and `dask worker` processes, each in a group of its
    own, on 127.0.0.1 with ports the system picks."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.processes = []
        self.workers = {}

    def _start(self, *command) -> subprocess.Popen:
        process = subprocess.Popen(["dask", *command], env=environment(), cwd=self.folder,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self.processes.append(process)
        return process

    def start(self, workers: int) -> "Cluster":
        scheduler_file = self.folder / "scheduler.json"
        self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                    "--scheduler-file", str(scheduler_file))
        wait_for(scheduler_file.exists, what="the scheduler")
        self.address = wait_for(lambda: json.loads(scheduler_file.read_text() or "{}")
                                .get("address"), what="the scheduler's address")
        for k in range(workers):
            name = f"worker-{k}"
            self.workers[name] = self._start(
                "worker", self.address, "--name", name, "--nthreads", "1", "--no-nanny",
                "--no-dashboard", "--host", "127.0.0.1",
                "--local-directory", str(self.folder / name))
        with self.client() as client:
            client.wait_for_workers(workers, timeout=TIMEOUT)
        return self

    def client(self):
        from distributed import Client
        return Client(self.address, timeout=TIMEOUT)

    def stop(self) -> None:
        for process in reversed(self.processes):
            stop_group(process)
