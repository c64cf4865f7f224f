"""nightdehaze-batch: enhances many pictures and clips on a Dask cluster.

    nightdehaze-batch [OPTIONS] INPUT... --output-dir DIR

Runs a local cluster of one single-threaded worker process per core, or
joins an existing cluster with --scheduler. Every picture's result is byte
for byte what `nightdehaze` writes for that input with the same options, and
every clip's has the streams and timestamps of the tool's, and its frames up
to x264's choices (see the README); a clip
longer than --split is shared among the workers in parts and joined again.
"""

import argparse
import difflib
import os
import signal
import sys
import time
from typing import Callable, Dict, List, Optional, Sequence

from .. import _core
from .._options import OPTIONS, as_text, default, help_text
from ._clip_plan import clip_job, mark_running, remove_part_files
from ._inputs import OUTPUT_FORMATS, Picture, UsageError, left_out_note, pictures_to_enhance
from ._progress import Progress
from ._report import report_kind, summary_of, write_report
from ._task import done_without_record
from ._written import signatures, written_since

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

_DESCRIPTION = """\
Enhances night-time hazy pictures and clips, many at a time, on a Dask
cluster: by default one worker process per core of this machine, or an
existing cluster of many machines with --scheduler (every worker must see the
input and output paths). Results mirror the inputs' folders under DIR and are
named as the tool names them: night.jpg gives DIR/night_J.bmp, drive.mp4
gives DIR/drive_J.mp4 (audio and subtitles copied). A clip longer than
--split is cut at key frames into parts that several workers enhance at once,
joined again by stream copy into one output."""

_EPILOG = """\
Exit status: 0 when every picture and clip was enhanced (or skipped by
--resume), 1 when any failed or the cluster could not be reached, 2 on a
usage error, 130 when stopped by Ctrl-C (143 by SIGTERM). A failed input is
reported with its reason and the batch goes on. Results are written
atomically: a stopped batch leaves no partial file and no part of a clip,
and --resume continues it."""


class _Parser(argparse.ArgumentParser):
    """argparse with errors on one line, the nearest option named for a
    mistyped one, and exit status 2."""

    def error(self, message: str) -> None:
        _usage_error(message + self._nearest_option(message))

    def _nearest_option(self, message: str) -> str:
        prefix = "unrecognized arguments: "
        if not message.startswith(prefix):
            return ""
        typed = [w.split("=")[0] for w in message[len(prefix):].split() if w.startswith("-")]
        names = [s for action in self._actions for s in action.option_strings if s.startswith("--")]
        meant = difflib.get_close_matches(typed[0], names, n=1, cutoff=0.75) if typed else []
        return f"; did you mean {meant[0]}?" if meant else ""


def _usage_error(message: str) -> None:
    sys.stderr.write(f"nightdehaze-batch: {message} (see nightdehaze-batch --help)\n")
    sys.exit(EXIT_USAGE)


def _value_of(keyword: str) -> Callable[[str], object]:
    """argparse's type for a declared option: its text checked as the tool
    checks it, refused in the tool's words."""

    def parse(text: str) -> object:
        try:
            return _core.option_value(keyword, text, "--" + keyword.replace("_", "-"))
        except ValueError as refused:
            raise argparse.ArgumentTypeError(str(refused)) from None

    return parse


def _add_declared_options(parser: argparse.ArgumentParser) -> None:
    """The tool's options that apply to a batch, from their one declaration."""
    for keyword, option in OPTIONS.items():
        if not option.batch:
            continue
        name = "--" + keyword.replace("_", "-")
        help_ = help_text(keyword, "batch").replace("%", "%%")  # argparse formats help with %
        if option.kind == "flag":
            parser.add_argument(name, action="store_true", help=help_)
        else:
            parser.add_argument(name, type=_value_of(keyword), default=default(keyword),
                                metavar=option.value_name, help=help_)


def _check_options_combine(options: argparse.Namespace) -> None:
    """UsageError for declared options that each make sense but not together."""
    given = as_text({k: getattr(options, k) for k, o in OPTIONS.items() if o.batch})
    conflict = _core.option_conflict(given)
    if conflict:
        first, second, why = conflict
        raise UsageError(f"--{first.replace('_', '-')} and --{second.replace('_', '-')} cannot be combined: {why}")


_WORKERS = _core.NumberRange(low=1, high=1024, whole=True)


def _worker_count(text: str) -> int:
    if not text.isdigit() or not _WORKERS.holds(int(text)):
        raise argparse.ArgumentTypeError(_core.out_of_range_message("--workers", _WORKERS, f"'{text}'"))
    return int(text)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="nightdehaze-batch", description=_DESCRIPTION, epilog=_EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="picture and clip files, folders of them and glob patterns")
    parser.add_argument("--output-dir", "-O", required=True, metavar="DIR",
                        help="where the results go, in the inputs' relative folders")
    parser.add_argument("--recursive", "-r", action="store_true",
                        help="also take the pictures in the folders' subfolders (and ** in patterns)")
    parser.add_argument("--include-results", action="store_true",
                        help="also take the files of folders and patterns that this tool would have written "
                             "for another picture beside them (its result or maps, such as night_J.bmp "
                             "beside night.jpg); by default they are left out and counted")
    parser.add_argument("--format", default="bmp", choices=OUTPUT_FORMATS,
                        help="file format of the results (default: bmp, as the tool)")
    _add_declared_options(parser)
    parser.add_argument("--resume", action="store_true",
                        help="skip the pictures and clips whose results all exist already")
    parser.add_argument("--report", metavar="FILE",
                        help="write one record per picture and a summary to FILE (.json, .csv, or .html: "
                             "a page with every picture's thumbnails before and after)")
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=_worker_count, metavar="N",
                        help="size of the local cluster (default: one worker per core)")
    engine.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="use the running Dask cluster of this scheduler")
    return parser


def _check_report_path(path: str) -> None:
    report_kind(path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"the report's folder '{folder}' does not exist")


def _job(picture: Picture, options: argparse.Namespace) -> Dict:
    """What a worker needs for one picture or clip: absolute paths (workers
    have their own working directories) and the options; and the results'
    signatures before the run, to tell a result of this batch from an older
    file. A clip's job also says how it is cut into parts."""
    outputs = [os.path.abspath(p) for p in picture.outputs]
    given = {k: getattr(options, k) for k, o in OPTIONS.items() if o.batch}
    job = {"input": picture.source, "output": picture.output,
           "input_path": os.path.abspath(picture.source), "output_path": outputs[0],
           "outputs": outputs, "before": signatures(outputs),
           "options": {k: v for k, v in given.items() if OPTIONS[k].files},
           "thumbnails": bool(options.report) and report_kind(options.report) == "html"}
    if picture.clip:
        job.update(clip_job(job, given))
    return job


def _skipped(picture: Picture) -> Dict:
    return {"input": picture.source, "output": picture.output, "status": "skipped",
            "reason": "the result exists", "seconds": None, "megapixels": None, "worker": ""}


def _cancelled(picture: Picture) -> Dict:
    return {"input": picture.source, "output": picture.output, "status": "cancelled",
            "reason": "the batch was interrupted", "seconds": None, "megapixels": None,
            "worker": ""}


def _failed(picture: Picture, reason: str) -> Dict:
    return {"input": picture.source, "output": picture.output, "status": "failed",
            "reason": reason, "seconds": None, "megapixels": None, "worker": ""}


def _unrecorded(picture: Picture, job: Optional[Dict]) -> Dict:
    """The record of a picture the batch ended without hearing from: done when
    its results were written meanwhile, else cancelled."""
    if job is not None and written_since(job["outputs"], job["before"]):
        return done_without_record(job)
    return _cancelled(picture)


def _mark(job: Dict) -> None:
    """The clip's marker, or a job that fails at once when its folder cannot be written."""
    try:
        mark_running(job)
    except OSError as error:
        job["unreadable"] = f"cannot write beside '{job['output']}': {error.strerror}"


def _run(pictures: List[Picture], options: argparse.Namespace, progress: Progress,
         records: List[Optional[Dict]], jobs: List[Optional[Dict]]) -> None:
    """Fills records with the outcome of every picture that is not yet
    recorded, running them on the cluster; jobs receives the job of each."""
    from ._engine import BatchCluster, run_jobs

    todo = []
    for i, record in enumerate(records):
        if record is not None:
            continue
        jobs[i] = _job(pictures[i], options)
        if "clip" in jobs[i]:
            _mark(jobs[i])
        if "unreadable" in jobs[i]:  # a clip the batch could not plan, or not write beside
            records[i] = _failed(pictures[i], jobs[i]["unreadable"])
            progress.record(records[i])
            continue
        progress.expect_frames(jobs[i].get("clip", {}).get("frames") or 0)
        todo.append(i)
    if not todo:
        return

    def on_record(k: int, record: Dict) -> None:
        records[todo[k]] = record
        progress.record(record)
        progress.tick()

    with BatchCluster(options.scheduler, options.workers) as cluster:
        link = cluster.dashboard_link()
        if link:
            progress.message(f"dashboard at {link}")
        try:
            run_jobs(cluster.client, [jobs[i] for i in todo], on_record, progress.tick,
                     lambda k, part: progress.part_done(part))
        except KeyboardInterrupt:
            # A second Ctrl-C must not cut the closing of the cluster short.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            raise


class _Stopped:
    """SIGTERM stops the batch as Ctrl-C does; remembers which one came."""

    number = signal.SIGINT

    @classmethod
    def on_terminate(cls, number, frame) -> None:
        cls.number = number
        raise KeyboardInterrupt


def main(argv: Optional[Sequence[str]] = None) -> int:
    options = _parser().parse_args(argv)
    try:
        pictures, left_out = pictures_to_enhance(options.inputs, options.output_dir, options.format,
                                                 options.maps, options.recursive, options.include_results)
        if options.report:
            _check_report_path(options.report)
        if options.quality is not None and options.format != "jpg":
            raise UsageError(f"--quality applies to JPEG results, not to --format {options.format}")
        _check_options_combine(options)
    except (UsageError, ValueError) as error:
        _usage_error(str(error))

    start = time.monotonic()
    progress = Progress(len(pictures), sys.stderr, sys.stderr.isatty())
    if left_out:
        progress.message(left_out_note(left_out))
    records: List[Optional[Dict]] = [None] * len(pictures)
    jobs: List[Optional[Dict]] = [None] * len(pictures)
    if options.resume:
        for i, picture in enumerate(pictures):
            if all(os.path.exists(p) for p in picture.outputs):
                records[i] = _skipped(picture)
                progress.record(records[i])
    status, interrupted = EXIT_OK, False
    signal.signal(signal.SIGTERM, _Stopped.on_terminate)
    try:
        # Dask takes a while to load: not before the command line is known good.
        from ._engine import ClusterError
        _run(pictures, options, progress, records, jobs)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        status, interrupted = 128 + _Stopped.number, True
    except ClusterError as error:
        progress.message(str(error))
        status = EXIT_FAILED
    except ModuleNotFoundError as error:
        progress.message(f"needs Dask, which is missing ({error}): "
                         "install python3-distributed")
        status = EXIT_FAILED
    finished = [r if r is not None else _unrecorded(p, j) for r, p, j in zip(records, pictures, jobs)]
    for job in jobs:
        if job is not None and "clip" in job:
            remove_part_files(job)
    progress.close()
    wall = time.monotonic() - start
    if options.report:
        try:
            write_report(options.report, finished, wall, len(left_out))
        except OSError as error:
            progress.message(f"cannot write the report '{options.report}': {error.strerror}")
            status = status or EXIT_FAILED
    summary = summary_of(finished, wall, len(left_out))
    clips = sum(1 for p in pictures if p.clip)
    pictures_word = ("picture" if summary["total"] == 1 else "pictures") if not clips else \
        ("input" if summary["total"] == 1 else "inputs")
    line = (f"{summary['total']} {pictures_word} in {wall:.1f} s: {summary['done']} done, "
            f"{summary['failed']} failed")
    line += "".join(f", {summary[k]} {k}" for k in ("skipped", "cancelled") if summary[k])
    line += f", {len(left_out)} earlier results left out" if left_out else ""
    progress.message(line + (" (interrupted)" if interrupted else ""))
    if status == EXIT_OK and summary["failed"]:
        status = EXIT_FAILED
    return status
