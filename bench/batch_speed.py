#!/usr/bin/python3
"""Wall time of enhancing many pictures, four ways, on the same pictures:

  single  the tool run once per picture on one thread, one after another:
          the sum of the single-thread runs (the work to share out);
  xargs   the README's recipe, find | xargs -P CORES nightdehaze --threads 1;
  batch1  nightdehaze-batch --workers 1;
  batch2  nightdehaze-batch --workers CORES (the default).

The pictures are generated (night-like, about 1 megapixel, JPEG). The four
are timed back to back in each round, and the medians of the rounds are
printed with the ratios that matter: batch2 / (single / CORES) and
batch1 / batch2. Each is also given in CPU seconds (user + system of all its
processes), which other work on a shared machine hardly changes: the batch's
CPU seconds beyond the single runs' are its own cost. Run from the
repository after building:

  /usr/bin/python3 bench/batch_speed.py [--pictures 40] [--rounds 3]
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parents[1]


def night_picture(width: int, height: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    base = (20 + 40 * y / height)[..., None] * np.array([0.6, 0.8, 1.0], np.float32)
    for _ in range(5):
        cy, cx = rng.integers(0, height), rng.integers(0, width)
        glow = 200 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (0.01 * width * height))
        base += glow[..., None] * rng.uniform(0.5, 1.0, 3).astype(np.float32)
    return np.clip(base + rng.normal(0, 6, base.shape), 0, 255).astype(np.uint8)


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


CPU = {}  # CPU seconds of the last timed command, by kind


def timed(kind: str, command, **kwargs) -> float:
    """Wall seconds of command; its CPU seconds are added to CPU[kind]."""
    cpu, start = children_cpu(), time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **kwargs)
    wall = time.perf_counter() - start
    CPU[kind] = CPU.get(kind, 0.0) + children_cpu() - cpu
    return wall


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pictures", type=int, default=40)
    parser.add_argument("--width", type=int, default=1152)
    parser.add_argument("--height", type=int, default=864)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cores", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--tool", default=str(ROOT / "build" / "nightdehaze"))
    parser.add_argument("--pythonpath", default=str(ROOT / "build" / "python"))
    options = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="nightdehaze-batch-speed-"))
    try:
        photos = work / "photos"
        photos.mkdir()
        for k in range(options.pictures):
            cv2.imwrite(str(photos / f"night{k:03d}.jpg"),
                        night_picture(options.width, options.height, k))
        env = dict(os.environ, PYTHONPATH=options.pythonpath)
        batch = [sys.executable, "-m", "nightdehaze.batch", str(photos)]
        pictures = sorted(photos.iterdir())
        times = {"single": [], "xargs": [], "batch1": [], "batch2": []}
        cpu = {k: [] for k in times}
        for round_ in range(options.rounds):
            CPU.clear()
            out = work / "single"
            out.mkdir()
            times["single"].append(sum(
                timed("single", [options.tool, "--threads", "1", str(p), "-o", str(out / (p.stem + "_J.bmp"))])
                for p in pictures))
            xargs_dir = work / "xargs"
            shutil.copytree(photos, xargs_dir)
            times["xargs"].append(timed(
                "xargs", f"find '{xargs_dir}' -maxdepth 1 -name '*.jpg' -print0 | xargs -0 -P {options.cores}"
                f" -n 1 '{options.tool}' --threads 1", shell=True))
            times["batch1"].append(timed("batch1", batch + ["--output-dir", str(work / "b1"), "--workers", "1"],
                                         env=env, stderr=subprocess.DEVNULL))
            times["batch2"].append(timed("batch2", batch + ["--output-dir", str(work / "b2"),
                                                  "--workers", str(options.cores)],
                                         env=env, stderr=subprocess.DEVNULL))
            for folder in ("single", "xargs", "b1", "b2"):
                shutil.rmtree(work / folder)
            for k in cpu:
                cpu[k].append(CPU[k])
            print(f"round {round_ + 1}: " + ", ".join(
                f"{k} {v[-1]:.2f} s ({cpu[k][-1]:.2f} CPU s)" for k, v in times.items())
                + f", load {os.getloadavg()[0]:.1f}", flush=True)
        median = {k: statistics.median(v) for k, v in times.items()}
        median_cpu = {k: statistics.median(v) for k, v in cpu.items()}
        megapixels = options.pictures * options.width * options.height / 1e6
        print(f"\n{options.pictures} pictures of {options.width}x{options.height} "
              f"({megapixels:.1f} MP), {options.cores} cores, median of {options.rounds} rounds:")
        for k, v in median.items():
            print(f"  {k:7s} {v:7.2f} s wall {median_cpu[k]:7.2f} s CPU")
        print(f"  batch{options.cores} / (single / {options.cores}) = "
              f"{median['batch2'] / (median['single'] / options.cores):.3f}   (target <= 1.1)")
        print(f"  batch1 / batch{options.cores}            = "
              f"{median['batch1'] / median['batch2']:.3f}   (target >= 1.6)")
        print(f"  xargs / (single / {options.cores})  = "
              f"{median['xargs'] / (median['single'] / options.cores):.3f}")
        print(f"  CPU seconds of batch{options.cores} beyond the single runs: "
              f"{median_cpu['batch2'] - median_cpu['single']:.2f}")
        print(f"  load average after: {os.getloadavg()[0]:.1f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
