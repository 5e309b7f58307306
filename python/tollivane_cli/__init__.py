"""The `tollivane` command line: inspect and operate a queue directory.

The queue itself is the extension module `tollivane`; this package adds the
operators' tool around it. Run `tollivane --help` or `python -m tollivane_cli`.
"""

from .cli import main

__all__ = ["main"]
