"""Progress of a batch on stderr.

On a terminal, one bar rewritten in place a few times a second; elsewhere (a
log file, CI), one plain line every few seconds. Both give the inputs done,
failed and in all, and the time left; the megapixels per second, or when
clips are in the run, the frames done of all and the frames per second.
"""

import time
from typing import Dict, TextIO

# How often each kind of display is refreshed, in seconds.
_TERMINAL_REFRESH = 0.25
_PLAIN_REFRESH = 5.0
_BAR_WIDTH = 24


def _duration(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    return (f"{hours}:" if hours else "") + f"{rest // 60:02d}:{rest % 60:02d}"


class Progress:
    """Counts finished pictures and shows the state of the batch on stream."""

    def __init__(self, total: int, stream: TextIO, terminal: bool):
        self.total = total
        self.done = self.failed = self.skipped = 0
        self.megapixels = 0.0
        self._stream = stream
        self._terminal = terminal
        self._start = time.monotonic()
        self._shown = 0.0
        self._bar_visible = False
        self._first_processed = None  # when the first picture was processed
        self.frames_total = 0
        self.frames_done = 0
        self._frames_counted = {}  # frames of each clip counted so far, by input

    def expect_frames(self, frames: int) -> None:
        """Adds a clip's frames to the frames of the run."""
        self.frames_total += frames

    def part_done(self, part: Dict) -> None:
        """Counts the frames of one finished part of a long clip."""
        self.frames_done += part.get("frames") or 0

    @property
    def finished(self) -> int:
        return self.done + self.failed + self.skipped

    def record(self, record: Dict) -> None:
        """Counts one picture's record; a failure is also printed at once."""
        status = record["status"]
        if status != "skipped" and self._first_processed is None:
            self._first_processed = time.monotonic()
        if status == "done":
            self.done += 1
            self.megapixels += record.get("megapixels") or 0.0
            if record.get("parts") is not None and record["parts"] <= 1:
                self.frames_done += record.get("frames") or 0
        elif status == "skipped":
            self.skipped += 1
        else:
            self.failed += 1
            self.message(f"failed: {record['input']}: {record['reason']}")

    def message(self, text: str) -> None:
        """Prints one line above the bar: line breaks in text (a file name may
        hold some) become spaces, as the tool prints them."""
        self._clear_bar()
        text = text.replace("\r", " ").replace("\n", " ").rstrip(" ")
        self._stream.write(f"nightdehaze-batch: {text}\n")
        self._stream.flush()
        self._shown = 0.0

    def tick(self, force: bool = False) -> None:
        """Shows the state if it is time to (always when force)."""
        now = time.monotonic()
        if not force and now - self._shown < (_TERMINAL_REFRESH if self._terminal else _PLAIN_REFRESH):
            return
        self._shown = now
        line = self._state(now - self._start)
        if self._terminal:
            self._stream.write("\r\x1b[K" + line)
            self._bar_visible = True
        else:
            self._stream.write(line + "\n")
        self._stream.flush()

    def close(self) -> None:
        """Leaves the last state on its own line."""
        self.tick(force=True)
        if self._terminal:
            self._stream.write("\n")
            self._stream.flush()
            self._bar_visible = False

    def _clear_bar(self) -> None:
        if self._bar_visible:
            self._stream.write("\r\x1b[K")
            self._bar_visible = False

    def _time_left(self) -> str:
        """From the pace since the first picture was processed: the start of
        the cluster before it is no guide to what is left. With clips, from
        the frames per second."""
        if self.frames_total:
            if not self.frames_done:
                return "--:--"
            rate = self.frames_done / (time.monotonic() - self._start)
            return _duration(max(0, self.frames_total - self.frames_done) / rate)
        processed = self.done + self.failed
        if processed < 2:
            return "--:--"
        pace = (time.monotonic() - self._first_processed) / (processed - 1)
        return _duration(pace * (self.total - self.finished))

    def _state(self, elapsed: float) -> str:
        if self.frames_total:
            rate = (f"{self.frames_done}/{self.frames_total} frames, "
                    + (f"{self.frames_done / elapsed:.1f} frames/s" if elapsed > 0 else "- frames/s"))
        else:
            rate = f"{self.megapixels / elapsed:.2f} MP/s" if elapsed > 0 else "- MP/s"
        left = self._time_left()
        counts = f"{self.finished}/{self.total} ({self.done} done, {self.failed} failed"
        counts += f", {self.skipped} skipped)" if self.skipped else ")"
        text = f"{counts}, {rate}, {_duration(elapsed)} elapsed, {left} left"
        if not self._terminal:
            return "nightdehaze-batch: " + text
        filled = int(_BAR_WIDTH * self.finished / self.total) if self.total else _BAR_WIDTH
        return "[" + "#" * filled + "." * (_BAR_WIDTH - filled) + "] " + text
