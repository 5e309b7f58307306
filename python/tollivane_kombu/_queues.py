"""Where the queues of a broker URL live: a directory per queue name under
one base directory (`tollivane:///path/to/broker`), or a PostgreSQL queue
per name in one database (`tollivane+postgresql://...`)."""

from __future__ import annotations

import hashlib
import os
import re
import threading
import urllib.parse
from typing import Any, Callable

POSTGRES_SCHEMES = ("postgresql://", "postgres://")
# The names PostgresQueue takes as they are; others are mapped to one.
POSTGRES_NAME = re.compile(r"[a-z0-9_]{1,44}")


def directory_name(queue: str) -> str:
    """The directory of a queue under the base directory: the name itself
    when it is a plain file name (Celery's are: `celery`, `default`, ...),
    otherwise percent-encoded, so that no name reaches outside the base
    directory or onto another queue's directory."""
    if not queue:
        raise ValueError("a queue needs a name")
    quoted = urllib.parse.quote(queue, safe="@")
    # "." and ".." name no directory of their own.
    return "%2E" + quoted[1:] if quoted.startswith(".") else quoted


def postgres_name(queue: str) -> str:
    """The PostgresQueue name of a queue: the name itself when PostgreSQL
    takes it (lower-case letters, digits, `_`, at most 44), otherwise what
    can be kept of it and a digest of the whole, which tells apart names
    that differ only in what was dropped."""
    if POSTGRES_NAME.fullmatch(queue):
        return queue
    if not queue:
        raise ValueError("a queue needs a name")
    kept = re.sub(r"[^a-z0-9_]+", "_", queue.lower()).strip("_")[:28]
    digest = hashlib.sha1(queue.encode()).hexdigest()[:12]
    return f"{kept or 'queue'}_{digest}"


class Queues:
    """The open queue objects of one connection, one per queue name, opened
    at first use; threads share them (both backends' objects take calls from
    several threads)."""

    def __init__(self, opener: Callable[[str], Any], describe: str) -> None:
        self._opener = opener
        self.describe = describe
        self._open: dict[str, Any] = {}
        self._lock = threading.Lock()

    def get(self, name: str) -> Any:
        with self._lock:
            queue = self._open.get(name)
            if queue is None:
                queue = self._open[name] = self._opener(name)
            return queue

    def close(self) -> None:
        with self._lock:
            queues, self._open = list(self._open.values()), {}
        for queue in queues:
            queue.close()


def open_queues(hostname: str | None, virtual_host: str | None, options: dict[str, Any]) -> Queues:
    """The queues a broker URL names, as kombu parsed it: the whole URL after
    `tollivane+` in `hostname` for PostgreSQL, the absolute path of
    `tollivane:///path/to/broker` in `virtual_host` for directories (Celery
    fills in `localhost` as the missing host, which means the same)."""
    if hostname and hostname.startswith(POSTGRES_SCHEMES):
        from tollivane_postgres import PostgresQueue

        conninfo = hostname
        return Queues(lambda name: PostgresQueue(conninfo, postgres_name(name), **options),
                      f"PostgreSQL queues at {urllib.parse.urlsplit(conninfo).hostname or 'the local socket'}")
    base = "/" + (virtual_host or "").strip("/")
    if hostname not in (None, "", "localhost") or base == "/":
        raise ValueError("a tollivane broker URL names the absolute path of its base directory, after three "
                         f"slashes: tollivane:///path/to/broker (host {hostname!r}, path {virtual_host!r})")
    from tollivane import TollivaneCore

    return Queues(lambda name: TollivaneCore(os.path.join(base, directory_name(name)), **options),
                  f"queue directories under {base}")
