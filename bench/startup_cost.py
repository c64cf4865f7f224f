#!/usr/bin/python3
"""What starting the tool costs: wall time and peak resident memory of
`nightdehaze --version` and of the tool on a small picture, for the built tool
and, when given, a baseline build of it (say, one from before a change),
alternating the two in every round so that both see the same load.

Wall time is measured around the run (under /usr/bin/time, which adds the
same small cost to both); peak resident memory is what `/usr/bin/time -f %M`
prints. Prints
the median of the runs for each and the ratio of the built tool to the
baseline. The picture (320x240 PNG) is generated, and so is a clip of three
32x24 frames when the ffmpeg command is there. Run after building:

  /usr/bin/python3 bench/startup_cost.py [--runs 20] [--baseline OTHER/nightdehaze] [build/nightdehaze]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parents[1]


def small_picture(path: Path) -> None:
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:240, 0:320].astype(np.float32)
    glow = 40 + 60 * np.exp(-((x - 200) ** 2 + (y - 80) ** 2) / 3000)
    picture = np.dstack([glow * 0.6, glow * 0.8, glow]) + rng.normal(0, 4, (240, 320, 3))
    cv2.imwrite(str(path), np.clip(picture, 0, 255).astype(np.uint8))


def small_clip(path: Path) -> None:
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=32x24:rate=5",
                    "-t", "0.6", "-c:v", "mpeg4", str(path)], check=True)


def run_once(command: list, cwd: Path) -> tuple:
    """Wall seconds and peak resident KiB of one run, the latter from
    /usr/bin/time (a child forked from this interpreter would report the
    interpreter's own size)."""
    report = cwd / "time.out"
    start = time.perf_counter()
    run = subprocess.run(["/usr/bin/time", "-o", str(report), "-f", "%M", *command], cwd=cwd,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if run.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({run.returncode}): {run.stderr.strip()}")
    return wall, int(report.read_text().split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tool", nargs="?", default=str(ROOT / "build" / "nightdehaze"))
    parser.add_argument("--baseline", help="another build of the tool, run alternately with the first")
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    tools = {"built": os.path.abspath(args.tool)}
    if args.baseline:
        tools["baseline"] = os.path.abspath(args.baseline)

    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        small_picture(work / "night.png")
        cases = {"--version": ["--version"], "320x240 picture": ["night.png", "-o", "out.bmp"]}
        if shutil.which("ffmpeg"):
            small_clip(work / "clip.mkv")
            cases["32x24 clip, 3 frames"] = ["clip.mkv", "-o", "out.mkv"]
        results = {(case, name): [] for case in cases for name in tools}
        for _ in range(args.runs):
            for case, arguments in cases.items():
                for name, tool in tools.items():
                    results[(case, name)].append(run_once([tool, *arguments], work))

    print(f"median of {args.runs} runs each, alternating; wall in ms, peak resident in MiB")
    for case in cases:
        line = [f"{case:21}"]
        for name in tools:
            walls, peaks = zip(*results[(case, name)])
            line.append(f"{name}: {1000 * statistics.median(walls):7.1f} ms {statistics.median(peaks) / 1024:6.1f} MiB")
        if args.baseline:
            wall_ratio = statistics.median(w for w, _ in results[(case, "built")]) / statistics.median(
                w for w, _ in results[(case, "baseline")])
            peak_ratio = statistics.median(p for _, p in results[(case, "built")]) / statistics.median(
                p for _, p in results[(case, "baseline")])
            line.append(f"built/baseline: wall {wall_ratio:.2f}, memory {peak_ratio:.2f}")
        print("  ".join(line))


if __name__ == "__main__":
    main()
