"""`PostgresQueue`: the queue of `tollivane.TollivaneCore`, with its methods,
arguments, results and exceptions, kept in PostgreSQL tables so that
consumers on many hosts can share it."""

from __future__ import annotations

import os
import random
import threading
import time
import weakref
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from types import TracebackType
from typing import TYPE_CHECKING, NoReturn, SupportsIndex

import psycopg
from psycopg import sql
from psycopg.rows import TupleRow

from tollivane_postgres import _arguments as arguments
from tollivane_postgres._statements import BIGINT_MAX, COUNTER_SHARDS, SCHEMA_LOCK_CLASS, QueueStatements
from tollivane_postgres._wakeups import Wakeups, disown

if TYPE_CHECKING:
    # The directory queue's own types: both backends take and give the same.
    from tollivane import Body, Delivery, IntegrityReport, Stats

Connection = psycopg.Connection[TupleRow]

DEFAULT_LEASE_MS = 30000
# A call gives up waiting for another session's lock after as long as the
# directory queue waits for its process lock, and raises TimeoutError too.
LOCK_TIMEOUT = "30s"
# A waiting consumer looks again at least this often. Notifications cover
# enqueues and requeues, and the earliest lease end it saw covers expiries;
# this covers a lease taken after it last looked, and a producer that died
# between its commit and its notification.
RECHECK_S = 1.0
# An expired lease whose row another session holds (it is being settled or
# extended right now) is looked at again this soon.
LOCKED_RECHECK_S = 0.005


def server_error(error: psycopg.Error) -> OSError:
    """The exception the directory queue raises for the same kind of failure:
    TimeoutError for a lock not obtained in time, OSError for the rest."""
    if isinstance(error, (psycopg.errors.LockNotAvailable, psycopg.errors.QueryCanceled,
                          psycopg.errors.ConnectionTimeout)):
        return TimeoutError(str(error))
    return OSError(f"Tollivane I/O error: {error}")


@contextmanager
def server_errors() -> Iterator[None]:
    try:
        yield
    except psycopg.Error as error:
        raise server_error(error) from error


def _shard() -> dict[str, int]:
    return {"shard": random.randrange(COUNTER_SHARDS)}


_open_queues: weakref.WeakSet[PostgresQueue] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for queue in list(_open_queues):
        queue._reset_after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)


class ChangeWatch:
    """What `PostgresQueue.watch_changes()` returns: a connection listening
    on the queue's channel, read without waiting. As the directory queue's
    watch: watch fileno() for readability, clear(), then dequeue."""

    # Leases notify nobody: a waiter looks again at least this often for
    # one taken after it last looked (see RECHECK_S).
    recheck_ms = int(RECHECK_S * 1000)

    def __init__(self, connection: Connection, channel: str) -> None:
        self._connection: Connection | None = connection
        try:
            connection.execute(sql.SQL("LISTEN {}").format(sql.Identifier(channel)))
        except BaseException:
            connection.close()
            raise

    def _open(self) -> Connection:
        if self._connection is None:
            raise ValueError("I/O operation on closed watch.")
        return self._connection

    def fileno(self) -> int:
        """The listening connection's socket: readable when a notification
        (or anything else from the server) has arrived."""
        return self._open().fileno()

    def clear(self) -> bool:
        """Reads what has arrived, without waiting; returns whether it held
        a notification. A lost connection raises OSError: the watch cannot
        listen again, open another one."""
        pgconn = self._open().pgconn
        with server_errors():
            pgconn.consume_input()
        notified = False
        while pgconn.notifies() is not None:
            notified = True
        return notified

    def close(self) -> None:
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    def __enter__(self) -> ChangeWatch:
        self._open()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


class PostgresQueue:
    """A queue in PostgreSQL, selected by `name` among the queues of the
    database that `conninfo` (a libpq connection string or URL) reaches."""

    def __init__(self, conninfo: str, name: str = "default", sync_interval_ms: SupportsIndex | None = None,
                 default_lease_ms: SupportsIndex | None = None) -> None:
        self._closed = True
        self._conninfo = arguments.named("conninfo", arguments.text, conninfo)
        name = arguments.named("name", arguments.text, name)
        sync_interval = arguments.named("sync_interval_ms", arguments.optional_u64, sync_interval_ms)
        default_lease = arguments.named("default_lease_ms", arguments.optional_u64, default_lease_ms)
        self._statements = QueueStatements(name)
        # With a positive interval, commits return before the server has
        # flushed them; its WAL writer flushes within three wal_writer_delay.
        self._synchronous_commit = "off" if sync_interval else "on"
        self._default_lease_ms = DEFAULT_LEASE_MS if default_lease is None else default_lease
        self._lock = threading.Lock()
        self._owner: int | None = None
        self._connection: Connection | None = None
        self._wakeups = Wakeups(self._connect, self._statements.channel)
        self._closed = False
        _open_queues.add(self)
        with self._session() as connection:
            self._create_schema(connection)

    def _reset_after_fork(self) -> None:
        """A forked child gets connections of its own at its first call, as
        if it had opened the queue itself."""
        disown(self._connection)
        self._connection = None
        self._wakeups.disown()
        self._wakeups = Wakeups(self._connect, self._statements.channel)
        # A lock some other thread of the parent held at the fork stays held
        # in the child, where that thread does not exist.
        self._lock = threading.Lock()
        self._owner = None

    # -- the call frame ----------------------------------------------------

    @contextmanager
    def _locked(self) -> Iterator[None]:
        """The object's lock, which its calls take in turn."""
        self._check_open()
        if not self._lock.acquire(blocking=False):
            if self._owner == threading.get_ident():
                raise RuntimeError("PostgresQueue method called re-entrantly on the same object from the thread "
                                   "that is already inside one of its methods (for example from a finalizer); "
                                   "refused, as waiting would deadlock")
            self._lock.acquire()
        self._owner = threading.get_ident()
        try:
            self._check_open()
            yield
        finally:
            self._owner = None
            self._lock.release()

    @contextmanager
    def _session(self) -> Iterator[Connection]:
        """The object's lock and a live connection for one call; server
        errors leave as the directory queue's exceptions."""
        with self._locked(), server_errors():
            # A connection lost with the server (restarted, say) is replaced
            # at the next call: the call that saw it fail has raised, so
            # nothing is retried behind the caller's back.
            if self._connection is None or self._connection.closed:
                self._connection = self._connect()
            yield self._connection

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed queue.")

    def _connect(self) -> Connection:
        connection = psycopg.connect(self._conninfo, autocommit=True)
        try:
            # Every statement reaches its rows through an index whatever its
            # parameters, so one generic plan serves every call; planning
            # each call anew costs about as much as running it.
            connection.execute("SELECT set_config('synchronous_commit', %s, false), "
                               "set_config('lock_timeout', %s, false), "
                               "set_config('plan_cache_mode', 'force_generic_plan', false)",
                               (self._synchronous_commit, LOCK_TIMEOUT))
        except BaseException:
            connection.close()
            raise
        return connection

    def _create_schema(self, connection: Connection) -> None:
        if self._fetch_value(connection, self._statements.exists):
            return
        # CREATE ... IF NOT EXISTS alone is not safe against a concurrent
        # creator (both may pass the check and one then fails on the
        # catalog), so creators of one queue take turns.
        with connection.transaction():
            connection.execute("SELECT pg_advisory_xact_lock(%s, hashtext(%s))",
                               (SCHEMA_LOCK_CLASS, self._statements.channel))
            for statement in self._statements.schema:
                connection.execute(statement)

    @staticmethod
    def _fetch_value(connection: Connection, statement: str, params: Mapping[str, object] | None = None) -> int:
        row = connection.execute(statement, params).fetchone()
        assert row is not None
        return int(row[0])

    def _notify(self, connection: Connection) -> None:
        # Sent after the commit, in a transaction of its own: a NOTIFY inside
        # the enqueue's transaction would hold the server's notification
        # lock through the commit's flush, and so make every producer of the
        # cluster commit one after another. If it fails, the message is
        # still enqueued (the call must not report a failure), and waiters
        # find it when they look again.
        try:
            connection.execute("SELECT pg_notify(%s, '')", (self._statements.channel,))
        except psycopg.Error:
            pass

    # -- producers ---------------------------------------------------------

    def _insert(self, bodies: list[bytes], delay_ms: int = 0) -> list[int]:
        # A delayed message wakes the waiters too: they time their sleep to
        # the moment it falls due.
        params = {"bodies": bodies, "lease_ms": delay_ms, **_shard()}
        with self._session() as connection:
            rows = connection.execute(self._statements.enqueue, params).fetchall()
            self._notify(connection)
        return [int(row[0]) for row in rows]

    def enqueue(self, body: Body) -> int:
        """Append a message; returns its sequence id (the ack/nack handle)."""
        self._check_open()
        return self._insert([arguments.named("body", arguments.body, body)])[0]

    def enqueue_batch(self, bodies: Sequence[Body]) -> list[int]:
        """Append many messages in one transaction; returns their ids in order."""
        self._check_open()
        converted = arguments.named("bodies", arguments.bodies, bodies)
        return self._insert(converted) if converted else []

    # -- consumers ---------------------------------------------------------

    def _lease_ms(self, lease_ms: object) -> int:
        lease = arguments.named("lease_ms", arguments.optional_u64, lease_ms)
        return self._default_lease_ms if lease is None else lease

    def _lease(self, connection: Connection, count: int, lease_ms: int) -> list[Delivery]:
        params = {"max": min(count, BIGINT_MAX), "lease_ms": lease_ms, **_shard()}
        rows = connection.execute(self._statements.dequeue, params).fetchall()
        return [(int(seq), bytes(body), int(deliveries), int(ts)) for seq, body, deliveries, ts in rows]

    def dequeue(self, lease_ms: SupportsIndex | None = None) -> Delivery | None:
        """Lease the ready message with the smallest id; `None` when none is ready."""
        self._check_open()
        lease = self._lease_ms(lease_ms)
        with self._session() as connection:
            batch = self._lease(connection, 1, lease)
        return batch[0] if batch else None

    def dequeue_batch(self, max: SupportsIndex, lease_ms: SupportsIndex | None = None) -> list[Delivery]:
        """Lease up to `max` ready messages at once, in ascending id order."""
        self._check_open()
        count = arguments.named("max", arguments.size, max)
        lease = self._lease_ms(lease_ms)
        with self._session() as connection:
            return self._lease(connection, count, lease)

    def _due_ms(self, connection: Connection) -> int | None:
        row = connection.execute(self._statements.earliest_deadline).fetchone()
        return None if row is None or row[0] is None else max(0, int(row[0]))

    def _try_lease(self, count: int, lease_ms: int) -> tuple[list[Delivery], float]:
        """A lease attempt, and how long a caller that got nothing may sleep
        before an expiring lease makes a message ready."""
        with self._session() as connection:
            batch = self._lease(connection, count, lease_ms)
            if batch:
                return batch, 0.0
            due_ms = self._due_ms(connection)
        if due_ms is None:
            return batch, RECHECK_S
        return batch, min(RECHECK_S, max(LOCKED_RECHECK_S, due_ms / 1000))

    def _wait_for_batch(self, count: int, timeout_ms: int, lease_ms: int) -> list[Delivery]:
        give_up = time.monotonic() + timeout_ms / 1000
        with self._session() as connection:
            batch = self._lease(connection, count, lease_ms)
        if batch or timeout_ms == 0 or count == 0:
            return batch
        with server_errors():
            self._wakeups.enter()
        try:
            while True:
                mark = self._wakeups.mark()
                # Listening already, so what is enqueued after this attempt
                # moves the mark and ends the wait below at once.
                batch, wake_in = self._try_lease(count, lease_ms)
                remaining = give_up - time.monotonic()
                if batch or remaining <= 0:
                    return batch
                with server_errors():
                    self._wakeups.wait(mark, min(remaining, wake_in))
        finally:
            with server_errors():
                self._wakeups.leave()

    def dequeue_wait(self, timeout_ms: SupportsIndex, lease_ms: SupportsIndex | None = None) -> Delivery | None:
        """As `dequeue`, but waits up to `timeout_ms` for a message to become
        ready; `None` once that time has passed."""
        self._check_open()
        timeout = arguments.named("timeout_ms", arguments.u64, timeout_ms)
        batch = self._wait_for_batch(1, timeout, self._lease_ms(lease_ms))
        return batch[0] if batch else None

    def dequeue_batch_wait(self, max: SupportsIndex, timeout_ms: SupportsIndex,
                           lease_ms: SupportsIndex | None = None) -> list[Delivery]:
        """As `dequeue_batch`, but waits up to `timeout_ms` until at least one
        message could be leased; `[]` once that time has passed."""
        self._check_open()
        count = arguments.named("max", arguments.size, max)
        timeout = arguments.named("timeout_ms", arguments.u64, timeout_ms)
        return self._wait_for_batch(count, timeout, self._lease_ms(lease_ms))

    # -- settlement --------------------------------------------------------

    def _settle(self, statement: str, seqs: list[int], **params: object) -> int:
        with self._session() as connection:
            return self._settle_in(connection, statement, seqs, **params)

    def _settle_in(self, connection: Connection, statement: str, seqs: list[int], **params: object) -> int:
        # Ids beyond the largest bigint are never handed out.
        stored = [seq for seq in seqs if seq <= BIGINT_MAX]
        if not stored:
            return 0
        return self._fetch_value(connection, statement, {"seqs": stored, **params, **_shard()})

    def _ack_in(self, connection: Connection, seq: int, deliveries: int | None) -> bool:
        """`ack`, or with `deliveries` `ack_delivery`, in the caller's transaction."""
        if deliveries is None:
            return self._settle_in(connection, self._statements.ack, [seq]) == 1
        # Counts beyond the largest bigint are never stored.
        if deliveries > BIGINT_MAX:
            return False
        return self._settle_in(connection, self._statements.ack_delivery, [seq], deliveries=deliveries) == 1

    def ack(self, seq: SupportsIndex) -> bool:
        """Remove a message for good, leased or not. Returns whether it existed."""
        self._check_open()
        return self._settle(self._statements.ack, [arguments.named("seq", arguments.u64, seq)]) == 1

    def ack_batch(self, seqs: Sequence[SupportsIndex]) -> int:
        """Acknowledge many messages in one transaction; returns how many
        existed. Unknown and repeated ids are skipped."""
        self._check_open()
        converted = arguments.named("seqs", arguments.seqs, seqs)
        return self._settle(self._statements.ack, converted) if converted else 0

    def nack(self, seq: SupportsIndex, requeue: bool = True) -> bool:
        """Hand a message back to the ready set now (its delivery count is
        kept), or with `requeue=False` drop it as dead. Returns whether it
        existed."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        back = arguments.named("requeue", arguments.flag, requeue)
        if not back:
            return self._settle(self._statements.drop, [converted]) == 1
        if converted > BIGINT_MAX:
            return False
        with self._session() as connection:
            requeued = self._fetch_value(connection, self._statements.requeue, {"seq": converted, **_shard()}) == 1
            if requeued:
                self._notify(connection)
        return requeued

    def extend_lease(self, seq: SupportsIndex, lease_ms: SupportsIndex | None = None) -> bool:
        """Renew a leased message's lease to now + `lease_ms` (or the queue
        default) without a new delivery. Returns whether a lease was renewed."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        return self._guarded(self._statements.extend_lease, converted, None, lease_ms=self._lease_ms(lease_ms))

    def ack_and_dequeue(self, seq: SupportsIndex, deliveries: SupportsIndex | None = None,
                        lease_ms: SupportsIndex | None = None) -> tuple[bool, Delivery | None]:
        """Acknowledge `seq` as `ack` does (with `deliveries`, only while the
        message's delivery count is still that one) and lease the next ready
        message as `dequeue` does, in one transaction: one commit, one flush
        of the server's log. Returns `(acked, delivery)`."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        guard = arguments.named("deliveries", arguments.optional_u64, deliveries)
        lease = self._lease_ms(lease_ms)
        with self._session() as connection, connection.transaction():
            acked = self._ack_in(connection, converted, guard)
            batch = self._lease(connection, 1, lease)
        return acked, (batch[0] if batch else None)

    # -- counters ----------------------------------------------------------

    def available(self) -> int:
        """Number of messages ready for delivery, after returning expired
        leases to the ready set."""
        with self._session() as connection:
            return self._fetch_value(connection, self._statements.available, _shard())

    def in_flight(self) -> int:
        """Number of leased messages, counting expired leases not yet swept."""
        with self._session() as connection:
            return self._fetch_value(connection, self._statements.in_flight)

    def stats(self) -> Stats:
        """All counters, after returning expired leases to the ready set."""
        with self._session() as connection:
            row = connection.execute(self._statements.stats, _shard()).fetchone()
        assert row is not None
        values = [int(value) for value in row]
        stats: Stats = {
            "ready": values[0], "in_flight": values[1], "total": values[2], "enqueued_total": values[3],
            "acked_total": values[4], "requeued_total": values[5], "dead_total": values[6], "next_seq": values[7],
            "live_bytes": values[8], "log_bytes": values[9], "generation": values[10], "persistent": True,
        }
        return stats

    def oldest_ready_ts_ms(self) -> int | None:
        """The enqueue time (server milliseconds since the epoch) of the ready
        message that has waited longest, after returning expired leases to
        the ready set; `None` when none is ready."""
        with self._session() as connection:
            row = connection.execute(self._statements.oldest_ready, _shard()).fetchone()
        return None if row is None else int(row[0])

    # -- maintenance -------------------------------------------------------

    def flush(self) -> None:
        """Make every commit so far durable, also those made with
        `sync_interval_ms` above 0."""
        with self._session() as connection, connection.transaction():
            for statement in self._statements.flush:
                connection.execute(statement)

    def compact(self) -> None:
        """VACUUM the queue's tables, so that the space of settled messages
        is reused."""
        with self._session() as connection:
            connection.execute(self._statements.compact)

    def purge(self) -> None:
        """Remove every message; ids start again at 0 and the generation
        goes up by one."""
        with self._session() as connection, connection.transaction():
            for statement in self._statements.purge:
                connection.execute(statement)

    def verify_integrity(self) -> IntegrityReport:
        """Read every message back and check the tables against each other,
        without changing anything."""
        with self._session() as connection:
            row = connection.execute(self._statements.verify).fetchone()
        assert row is not None
        records, largest_seq, next_seq, bad_message, bad_counters, _, size = row
        if bad_message is not None:
            message = f"message {bad_message} has a negative delivery count or timestamp"
        elif bad_counters:
            message = "a counter row holds a negative total"
        elif next_seq <= largest_seq:
            message = f"the next id {next_seq} is not above the largest stored id {largest_seq}"
        else:
            message = "clean"
        report: IntegrityReport = {"ok": message == "clean", "records": int(records), "bytes": int(size),
                                   "message": message}
        return report

    # -- for consumers that wait in an event loop ---------------------------

    def watch_changes(self) -> ChangeWatch:
        """A watch whose fileno() becomes readable when a producer's enqueue
        or a requeue notifies: for a consumer that waits in an event loop
        instead of in dequeue_wait. It listens on a connection of its own."""
        self._check_open()
        with server_errors():
            return ChangeWatch(self._connect(), self._statements.channel)

    def next_due_ms(self) -> int | None:
        """Milliseconds until the earliest lease runs out (0 once it has);
        None while no message is leased."""
        with self._session() as connection:
            return self._due_ms(connection)

    # -- scheduled messages, retries, buried messages, guarded settles -------

    def enqueue_delayed(self, body: Body, delay_ms: SupportsIndex) -> int:
        """Append a message that becomes ready `delay_ms` from now (0: at
        once, as `enqueue`); returns its sequence id."""
        self._check_open()
        converted = arguments.named("body", arguments.body, body)
        return self._insert([converted], arguments.named("delay_ms", arguments.u64, delay_ms))[0]

    def enqueue_batch_delayed(self, bodies: Sequence[Body], delay_ms: SupportsIndex) -> list[int]:
        """Append many messages that become ready `delay_ms` from now, in one
        transaction; returns their ids in order."""
        self._check_open()
        converted = arguments.named("bodies", arguments.bodies, bodies)
        delay = arguments.named("delay_ms", arguments.u64, delay_ms)
        return self._insert(converted, delay) if converted else []

    def _guarded(self, statement: str, seq: int, deliveries: int | None, notify: bool = False,
                 **params: object) -> bool:
        # Neither an id nor a delivery count beyond the largest bigint is
        # ever stored, so such a call finds nothing.
        if seq > BIGINT_MAX or (deliveries is not None and deliveries > BIGINT_MAX):
            return False
        with self._session() as connection:
            rows = connection.execute(statement, {"seq": seq, "deliveries": deliveries, **params})
            done = rows.rowcount == 1
            if done and notify:
                self._notify(connection)
        return done

    def retry(self, seq: SupportsIndex, delay_ms: SupportsIndex, deliveries: SupportsIndex | None = None) -> bool:
        """Hand a leased message back to the ready set `delay_ms` from now,
        its delivery count kept. Returns False if it is not leased, or if
        `deliveries` is given and is not its delivery count."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        delay = arguments.named("delay_ms", arguments.u64, delay_ms)
        count = arguments.named("deliveries", arguments.optional_u64, deliveries)
        return self._guarded(self._statements.retry, converted, count, notify=True, lease_ms=delay)

    def bury(self, seq: SupportsIndex, deliveries: SupportsIndex | None = None) -> bool:
        """Keep a message aside as dead, never delivered, until kicked or
        acknowledged. Returns False if there is no such message, it is
        buried already, or `deliveries` is given and is not its count."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        count = arguments.named("deliveries", arguments.optional_u64, deliveries)
        return self._guarded(self._statements.bury, converted, count)

    def kick(self, seq: SupportsIndex) -> bool:
        """Return a buried message to the ready set, its delivery count
        kept. Returns whether it was buried."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        if converted > BIGINT_MAX:
            return False
        return self._kick(self._statements.kick, {"seq": converted}) == 1

    def kick_all(self) -> int:
        """Return every buried message to the ready set; returns how many."""
        return self._kick(self._statements.kick_all, {})

    def _kick(self, statement: str, params: dict[str, object]) -> int:
        with self._session() as connection:
            kicked = self._fetch_value(connection, statement, {**params, **_shard()})
            if kicked:
                self._notify(connection)
        return kicked

    def ack_delivery(self, seq: SupportsIndex, deliveries: SupportsIndex) -> bool:
        """Acknowledge a message only if its delivery count is still
        `deliveries`. Returns whether it did."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        count = arguments.named("deliveries", arguments.u64, deliveries)
        with self._session() as connection:
            return self._ack_in(connection, converted, count)

    def extend_delivery(self, seq: SupportsIndex, deliveries: SupportsIndex,
                        lease_ms: SupportsIndex | None = None) -> bool:
        """Renew a message's lease only if its delivery count is still
        `deliveries`. Returns whether it did."""
        self._check_open()
        converted = arguments.named("seq", arguments.u64, seq)
        count = arguments.named("deliveries", arguments.u64, deliveries)
        lease = self._lease_ms(lease_ms)
        return self._guarded(self._statements.extend_delivery, converted, count, lease_ms=lease)

    def scheduled(self) -> int:
        """Number of messages that wait for their time, counting those due
        but not yet swept."""
        with self._session() as connection:
            return self._fetch_value(connection, self._statements.scheduled)

    def buried(self) -> int:
        """Number of buried messages."""
        with self._session() as connection:
            return self._fetch_value(connection, self._statements.buried)

    # -- life --------------------------------------------------------------

    def close(self) -> None:
        """Close the object's connections. Calling it again does nothing;
        any other method then raises ValueError."""
        if self._closed:
            return
        with self._locked():
            self._closed = True
            self._wakeups.close()
            if self._connection is not None:
                self._connection.close()
                self._connection = None

    def __enter__(self) -> PostgresQueue:
        return self

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        # Its connections and lock belong to this process; what another
        # process needs is where the queue is.
        raise TypeError("cannot pickle 'tollivane_postgres.PostgresQueue' object: an open queue belongs to the "
                        "process that opened it; give the other process the conninfo and the queue's name and "
                        "open it there with PostgresQueue(conninfo, name)")

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __del__(self) -> None:
        # Closed quietly, as a garbage-collected directory queue is; at
        # interpreter exit the modules this needs may already be gone.
        if getattr(self, "_closed", True):
            return
        try:
            self._wakeups.close()
            if self._connection is not None:
                self._connection.close()
        except Exception:
            pass
