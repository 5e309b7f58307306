"""Waking consumers that wait for a message: LISTEN on a connection of its
own, shared by every waiting call of one queue object.

A waiting call must not hold the queue's main connection, or every other
thread using the object would stall for the whole wait. So the object opens
a second connection the first time a call waits. One waiting thread at a
time reads notifications from it; the others sleep on a condition and are
woken together when the reader has seen one. Waiters count notifications
("marks"): a call takes the mark before it tries to lease, and its wait ends
as soon as the count has moved past that mark, so a notification that
arrived while it was trying is never slept through.

Closing the queue ends every wait at once; the waiting call then finds the
object closed and raises ValueError, as any call on a closed object does.

The channel is listened to only while some call waits. A session that
listens but does not read would let the server's notification queue grow
for as long as producers keep notifying.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable

import psycopg
from psycopg import sql
from psycopg.rows import TupleRow


def disown(connection: psycopg.Connection[TupleRow] | None) -> None:
    """Drops a connection that a forked child inherited. The parent still
    talks to the server over its socket: closing it as usual would send the
    server a goodbye on the parent's behalf, so the socket is first pointed
    at /dev/null."""
    if connection is None or connection.closed:
        return
    null = os.open(os.devnull, os.O_RDWR)
    try:
        os.dup2(null, connection.fileno())
    finally:
        os.close(null)
    connection.close()


class Wakeups:
    def __init__(self, connect: Callable[[], psycopg.Connection[TupleRow]], channel: str) -> None:
        self._connect = connect
        self._listen = sql.SQL("LISTEN {}").format(sql.Identifier(channel)).as_string(None)
        self._unlisten = sql.SQL("UNLISTEN {}").format(sql.Identifier(channel)).as_string(None)
        self._condition = threading.Condition()
        self._connection: psycopg.Connection[TupleRow] | None = None
        self._marks = 0
        self._waiters = 0
        self._listening = False
        self._reading = False
        self._closed = False

    def enter(self) -> None:
        """Registers a waiting call and makes sure the channel is listened to."""
        with self._condition:
            self._waiters += 1
            if not self._listening and not self._closed:
                try:
                    self._start_listening()
                except BaseException:
                    self._waiters -= 1
                    raise

    def leave(self) -> None:
        with self._condition:
            self._waiters -= 1
            # The last waiter leaves; nobody reads the connection now.
            if self._waiters == 0 and self._listening:
                self._listening = False
                try:
                    assert self._connection is not None
                    self._connection.execute(self._unlisten)
                except psycopg.Error:
                    self._drop_connection()

    def mark(self) -> int:
        with self._condition:
            return self._marks

    def wait(self, mark: int, timeout_s: float) -> None:
        """Returns when a notification newer than `mark` has arrived, or after
        `timeout_s` seconds."""
        give_up = time.monotonic() + timeout_s
        with self._condition:
            while self._marks == mark and not self._closed:
                remaining = give_up - time.monotonic()
                if remaining <= 0:
                    return
                if self._reading:
                    self._condition.wait(remaining)
                elif not self._listening:
                    # Listening again after a lost connection: whatever was
                    # notified meanwhile went unheard, so everyone looks again.
                    self._start_listening()
                    self._wake_all()
                else:
                    self._read(remaining)

    def disown(self) -> None:
        """Forgets the connection, as a forked child must."""
        disown(self._connection)
        self._connection = None

    def close(self) -> None:
        with self._condition:
            self._closed = True
            self._listening = False
            self._drop_connection()
            self._condition.notify_all()

    def _read(self, timeout_s: float) -> None:
        """Reads notifications without the condition held; called with it held."""
        connection = self._connection
        assert connection is not None
        self._reading = True
        self._condition.release()
        received = lost = False
        try:
            received = any(True for _ in connection.notifies(timeout=timeout_s, stop_after=1))
        except psycopg.Error:
            lost = True
            # A connection that close() took away is no failure of the wait.
            if not self._closed:
                raise
        finally:
            self._condition.acquire()
            self._reading = False
            if lost:
                self._listening = False
                self._drop_connection()
            if received or lost:
                self._wake_all()  # after a loss, one of them listens again
            else:
                self._condition.notify_all()  # another waiter may read on

    def _start_listening(self) -> None:
        if self._connection is None or self._connection.closed:
            self._connection = self._connect()
        self._connection.execute(self._listen)
        self._listening = True

    def _wake_all(self) -> None:
        self._marks += 1
        self._condition.notify_all()

    def _drop_connection(self) -> None:
        if self._connection is not None:
            self._connection.close()
            self._connection = None
