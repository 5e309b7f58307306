"""How the command line shows what it found: aligned tables, printable
previews of bodies, times and progress on a terminal. Nothing here knows
where messages and frames come from; the commands hand over plain values.
"""

from __future__ import annotations

import sys
import time
from datetime import datetime, timezone
from functools import lru_cache
from typing import List, Sequence, TextIO

PREVIEW_BYTES = 40

_ESCAPES = {0x5C: "\\\\", 0x0A: "\\n", 0x0D: "\\r", 0x09: "\\t"}
_SHOWN = [_ESCAPES.get(b) or (chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02x}") for b in range(256)]
_SHOWN_AS_IS = bytes(b for b in range(0x20, 0x7F) if b != 0x5C)


def preview(data: bytes, body_len: int, width: int = PREVIEW_BYTES) -> str:
    """Printable ASCII as it is, every other byte escaped, so that a body
    can never move the cursor or change the terminal's state."""
    more = "..." if body_len > len(data) else ""
    if len(data) <= width and not data.translate(None, _SHOWN_AS_IS):
        return data.decode("ascii") + more
    out: List[str] = []
    used = 0
    for byte in data:
        piece = _SHOWN[byte]
        if used + len(piece) > width:
            return "".join(out) + "..."
        out.append(piece)
        used += len(piece)
    return "".join(out) + more


@lru_cache(maxsize=4096)
def _second(seconds: int) -> str:
    return datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")


def format_time(ms: int) -> str:
    try:
        return f"{_second(ms // 1000)}.{ms % 1000:03d}Z"
    except (OverflowError, OSError, ValueError):  # a wrapped deadline, far beyond any calendar
        return str(ms)


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    numeric = [all(row[i].isdigit() for row in rows) for i in range(len(headers))]
    widths = [max(len(cell) for cell in column) for column in zip(headers, *rows)]
    lines = []
    for row in [list(headers), *rows]:
        cells = [cell.rjust(w) if num else cell.ljust(w) for cell, w, num in zip(row, widths, numeric)]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


class Progress:
    """How far a long read has got, on standard error when that is a
    terminal and once the read has taken more than a second."""

    def __init__(self, label: str, total: int, active: bool = True) -> None:
        self.label = label
        self.total = max(total, 1)
        self.stream: TextIO = sys.stderr
        self.active = active and self.stream.isatty()
        self.due = time.monotonic() + 1.0
        self.shown = False

    def __call__(self, position: int) -> None:
        if not self.active:
            return
        now = time.monotonic()
        if now < self.due:
            return
        self.due = now + 0.2
        mib = 1 << 20
        self.stream.write(f"\r{self.label}: {position / mib:.1f} of {self.total / mib:.1f} MiB "
                          f"({position * 100 // self.total}%)")
        self.stream.flush()
        self.shown = True

    def done(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
