"""The batch report: one record per input and a summary, as JSON or CSV.

JSON: {"summary": {...}, "records": [...]}. CSV: a header and one row per
record, then the summary as "# key: value" comment lines at the end (readers
such as pandas skip them with comment="#"). The report is written to a
temporary file beside its path and renamed into place.
"""

import csv
import io
import json
import os
import tempfile
from typing import Dict, List, Sequence

RECORD_FIELDS = ("input", "output", "status", "reason", "seconds", "megapixels", "worker")
STATUSES = ("done", "failed", "skipped", "cancelled")


def summary_of(records: Sequence[Dict], wall_seconds: float) -> Dict:
    """Counts by status, wall time, pictures enhanced per second, megapixels."""
    counts = {status: sum(1 for r in records if r["status"] == status) for status in STATUSES}
    megapixels = sum(r["megapixels"] or 0.0 for r in records if r["status"] == "done")
    return {"total": len(records), **counts,
            "wall_seconds": round(wall_seconds, 3),
            "pictures_per_second": round(counts["done"] / wall_seconds, 3) if wall_seconds > 0 else None,
            "megapixels": round(megapixels, 3)}


def _json_text(records: List[Dict], summary: Dict) -> str:
    return json.dumps({"summary": summary, "records": records}, indent=2) + "\n"


def _csv_text(records: List[Dict], summary: Dict) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=RECORD_FIELDS, lineterminator="\n")
    writer.writeheader()
    for record in records:
        writer.writerow({k: ("" if record[k] is None else record[k]) for k in RECORD_FIELDS})
    for key, value in summary.items():
        out.write(f"# {key}: {'' if value is None else value}\n")
    return out.getvalue()


def report_kind(path: str) -> str:
    """"json" or "csv" by the report path's extension; ValueError otherwise."""
    kind = os.path.splitext(path)[1].lower().lstrip(".")
    if kind not in ("json", "csv"):
        raise ValueError(f"the report must be a .json or .csv file, not '{path}'")
    return kind


def write_report(path: str, records: List[Dict], wall_seconds: float) -> None:
    """Writes the report atomically: a reader never sees half of one."""
    summary = summary_of(records, wall_seconds)
    text = (_json_text if report_kind(path) == "json" else _csv_text)(records, summary)
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
