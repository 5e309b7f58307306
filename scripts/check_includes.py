#!/usr/bin/env python3
"""Fails when a folder of src/ includes a folder above it.

The folders are layered, each using only those below it:

    binding   the Python module
    queue     the queue object, its state and operations
    logfile   the log format, frames, records   |  locking   the process lock
    base      errors, the file-system seam, files and the directory

logfile and locking stand side by side and use neither the other. Every
`#include "folder/file.h"` under src/ is read; one that points up or
sideways is printed with its file and line, and the exit status is 1.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# What each folder may include besides itself.
ALLOWED = {
    "base": set(),
    "logfile": {"base"},
    "locking": {"base"},
    "queue": {"base", "logfile", "locking"},
    "binding": {"base", "logfile", "locking", "queue"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/[^"]+"')


def edges_against_the_layers(src: Path) -> list[str]:
    wrong = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cc") or not path.is_file():
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in ALLOWED:
            wrong.append(f"{path.relative_to(src.parent)}: folder {folder!r} has no place in the layers")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if match is None:
                continue
            target = match.group(1)
            if target != folder and target not in ALLOWED[folder]:
                wrong.append(f"{path.relative_to(src.parent)}:{number}: {folder}/ includes {target}/: {line.strip()}")
    return wrong


def main() -> int:
    src = Path(__file__).resolve().parent.parent / "src"
    wrong = edges_against_the_layers(src)
    for line in wrong:
        print(line, file=sys.stderr)
    if wrong:
        print(f"check_includes: {len(wrong)} include(s) against the layers "
              "(base < logfile, locking < queue < binding)", file=sys.stderr)
        return 1
    print("check_includes: every include of src/ points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
