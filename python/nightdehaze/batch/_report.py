"""The batch report: one record per input and a summary, as JSON, CSV or HTML.

JSON: {"summary": {...}, "records": [...]}. CSV: a header and one row per
record, then the summary as "# key: value" comment lines at the end (readers
such as pandas skip them with comment="#"). HTML: one page, with every
picture's thumbnails before and after embedded, sortable by column and
filterable by status, readable offline. The report is written to a temporary
file beside its path and renamed into place.
"""

import csv
import html
import io
import json
import os
import string
import tempfile
from importlib import resources
from typing import Dict, List, Sequence

RECORD_FIELDS = ("input", "output", "status", "reason", "seconds", "megapixels", "frames", "parts",
                 "frames_per_second", "worker")
STATUSES = ("done", "failed", "skipped", "cancelled")


def summary_of(records: Sequence[Dict], wall_seconds: float, left_out: int = 0) -> Dict:
    """Counts by status, the earlier results left out, wall time, pictures
    enhanced per second, megapixels, and the frames of the clips enhanced."""
    counts = {status: sum(1 for r in records if r["status"] == status) for status in STATUSES}
    megapixels = sum(r["megapixels"] or 0.0 for r in records if r["status"] == "done")
    frames = sum(r.get("frames") or 0 for r in records if r["status"] == "done")
    return {"total": len(records), **counts, "left_out": left_out,
            "wall_seconds": round(wall_seconds, 3),
            "pictures_per_second": round(counts["done"] / wall_seconds, 3) if wall_seconds > 0 else None,
            "megapixels": round(megapixels, 3), "frames": frames,
            "frames_per_second": round(frames / wall_seconds, 3) if wall_seconds > 0 else None}


def _json_text(records: List[Dict], summary: Dict) -> str:
    plain = [{k: r.get(k) for k in RECORD_FIELDS} for r in records]
    return json.dumps({"summary": summary, "records": plain}, indent=2) + "\n"


def _page() -> string.Template:
    """The page's HTML, CSS and script, with $summary, $options and $rows to fill."""
    return string.Template(resources.files(__package__).joinpath("report.html").read_text("utf-8"))


def _thumbnail_cell(data) -> str:
    return f'<td><img alt="" src="data:image/jpeg;base64,{data}"></td>' if data else "<td></td>"


def _number(value, digits: int) -> str:
    return "" if value is None else f"{value:.{digits}f}"


def _html_text(records: List[Dict], summary: Dict) -> str:
    rows = []
    for r in records:
        before, after = r.get("thumbnails") or (None, None)
        cells = [html.escape(r["output"]), r["status"], _number(r["seconds"], 2),
                 _number(r["megapixels"], 3), "" if r.get("frames") is None else str(r["frames"]),
                 "" if r.get("parts") is None else str(r["parts"]), _number(r.get("frames_per_second"), 1),
                 html.escape(r["worker"]), html.escape(r["reason"])]
        rows.append(f'<tr class="{r["status"]}" data-status="{r["status"]}" data-role="record">'
                    f"<td>{html.escape(r['input'])}</td>{_thumbnail_cell(before)}{_thumbnail_cell(after)}"
                    + "".join(f"<td>{cell}</td>" for cell in cells) + "</tr>\n")
    counts = ", ".join(f"{summary[s]} {s}" for s in STATUSES if summary[s])
    text = f"{summary['total']} pictures in {summary['wall_seconds']} s: {counts or 'none'}"
    if summary["left_out"]:
        text += f"; {summary['left_out']} earlier results left out"
    options = "".join(f'<option value="{s}">{s}</option>' for s in STATUSES)
    return _page().substitute(summary=html.escape(text), options=options, rows="".join(rows))


def _csv_text(records: List[Dict], summary: Dict) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=RECORD_FIELDS, lineterminator="\n")
    writer.writeheader()
    for record in records:
        writer.writerow({k: ("" if record.get(k) is None else record[k]) for k in RECORD_FIELDS})
    for key, value in summary.items():
        out.write(f"# {key}: {'' if value is None else value}\n")
    return out.getvalue()


_WRITERS = {"json": _json_text, "csv": _csv_text, "html": _html_text}


def report_kind(path: str) -> str:
    """"json", "csv" or "html" by the report path's extension; ValueError otherwise."""
    kind = os.path.splitext(path)[1].lower().lstrip(".")
    if kind not in _WRITERS:
        raise ValueError(f"the report must be a .json, .csv or .html file, not '{path}'")
    return kind


def write_report(path: str, records: List[Dict], wall_seconds: float, left_out: int = 0) -> None:
    """Writes the report atomically: a reader never sees half of one."""
    summary = summary_of(records, wall_seconds, left_out)
    text = _WRITERS[report_kind(path)](records, summary)
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=".nightdehaze-report-", dir=folder)
    try:
        with os.fdopen(descriptor, "w", newline="") as f:
            f.write(text)
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
