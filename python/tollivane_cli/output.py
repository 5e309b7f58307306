"""How the command line shows what it found: aligned tables, printable
previews of bodies, times, progress on a terminal, and JSON. Nothing here
knows where messages and frames come from; the commands hand over plain
values and byte pieces.

In JSON every body is given by three members: "body_len"; "body_preview",
its start shown as the tables show it; and "body_base64", every byte of it
in standard base64 with padding, which loses nothing whatever the bytes are.
Bodies are encoded piece by piece while they are written, so that a large
body is never held more than once in memory.
"""

from __future__ import annotations

import base64
import json
import sys
import time
from datetime import datetime, timezone
from functools import lru_cache
from typing import Any, Callable, Iterable, Iterator, List, Mapping, Sequence, TextIO, Union

PREVIEW_BYTES = 40
# Pieces of a body are encoded separately; with a length that is a multiple
# of 3 each encodes without padding, so the pieces' encodings concatenate.
BODY_PIECE_BYTES = 3 << 20

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


# -- JSON ---------------------------------------------------------------------


def print_json(value: Any) -> None:
    print(json.dumps(value, indent=2))


def _unclosed(fields: Mapping[str, Any]) -> str:
    """The JSON text of a non-empty object without its closing brace, so that
    more members can be written after it."""
    assert fields
    return json.dumps(fields)[:-1]


def pieces_of(body: bytes) -> Iterator[memoryview]:
    view = memoryview(body)
    for start in range(0, len(body), BODY_PIECE_BYTES):
        yield view[start:start + BODY_PIECE_BYTES]


def json_with_body(fields: Mapping[str, Any], body_len: int,
                   pieces: Iterable[Union[bytes, memoryview]]) -> Iterator[str]:
    """The text of one JSON object: `fields`, then the body of `body_len`
    bytes that `pieces` yields, BODY_PIECE_BYTES at a time (the last one
    may be shorter)."""
    pieces = iter(pieces)
    first = next(pieces, b"")
    shown = preview(bytes(first[:PREVIEW_BYTES]), body_len)
    yield _unclosed({**fields, "body_len": body_len, "body_preview": shown}) + ', "body_base64": "'
    yield base64.b64encode(first).decode("ascii")
    for piece in pieces:
        yield base64.b64encode(piece).decode("ascii")
    yield '"}'


def write_json_list(out: TextIO, head: Mapping[str, Any], key: str, items: Iterable[Iterable[str]],
                    tail: Callable[[], Mapping[str, Any]] = dict) -> None:
    """Writes one JSON object as it goes: the members of `head`, then `key`
    holding a list with one item per line (each item's text given in
    pieces), then the members `tail()` returns once the items are written.
    Memory does not grow with the number of items."""
    out.write(_unclosed(head) + f", {json.dumps(key)}: [")
    separator = "\n"
    for item in items:
        out.write(separator)
        for text in item:
            out.write(text)
        separator = ",\n"
    rest = tail()
    out.write("\n]" + (", " + json.dumps(rest)[1:] if rest else "}") + "\n")
