"""The SQL of one named queue: its schema and one statement per operation.

A queue `name` owns these objects, all named "tollivane_{name}_...":

- `_messages`: one row per live message. `deadline_ms` is NULL while the
  message is ready and holds the lease's end (server milliseconds since the
  epoch) while it is held; an expired lease stays in the row until a sweep
  clears it, as in the directory queue. A held row is buried when its
  `deadline_ms` is BURIED (the largest bigint, which no sweep reaches and
  which no lease is given), else scheduled when its `deliveries` is 0 (it
  waits for its time, and the sweep makes it ready then), else in flight:
  the directory queue tells the three apart the same way, and an older
  build of this module reads them as leases that end then or never.
- `_ids`: the sequence that numbers messages from 0.
- `_counters`: the four running totals, spread over COUNTER_SHARDS rows. A
  call adds to one row picked at random, so concurrent callers rarely wait
  for each other's row lock; `stats()` sums the rows.
- `_meta`: one row with the layout version and the purge generation.
- the partial indexes `_ready` (ready ids in order) and `_leases` (lease
  ends in order), which keep dequeue and the sweep away from full scans.

Every message operation is one statement, so it runs as one transaction in
one round trip (purge and flush are short transactions of a few). Where it
changes more than one thing (the message rows and a
counter row) the data-modifying parts are common table expressions; they all
see the snapshot taken when the statement starts, which is why the results
add the rows swept in the same statement back in by hand.
"""

from __future__ import annotations

import re

from psycopg import sql

PREFIX = "tollivane_"
LONGEST_SUFFIX = "_messages"
# PostgreSQL cuts identifiers at 63 bytes; a longer name would silently
# share tables with another queue whose name starts the same.
MAX_NAME_LEN = 63 - len(PREFIX) - len(LONGEST_SUFFIX)
NAME_PATTERN = re.compile(r"[a-z0-9_]+")
LAYOUT_VERSION = 1
COUNTER_SHARDS = 32
COUNTERS = ("enqueued_total", "acked_total", "requeued_total", "dead_total")
# Every queue's schema creation is serialised by this advisory lock key
# (with the queue's name hashed into the second half).
SCHEMA_LOCK_CLASS = 0x746C7671  # "tlvq"
BIGINT_MAX = 2**63 - 1
BURIED = BIGINT_MAX

# Server time, fixed for the whole statement so that the sweep and the new
# deadline of one call agree on "now".
NOW_MS = "floor(extract(epoch FROM statement_timestamp()) * 1000)::bigint"
# now + lease in unsigned 64-bit arithmetic, as the directory queue computes
# it: a sum past 2**64 wraps to a deadline in the past. A deadline beyond the
# largest bigint is stored just below it, which expires no sooner in any
# lifetime that matters, and is not taken for BURIED.
DEADLINE_MS = (f"LEAST(({NOW_MS}::numeric + %(lease_ms)s::numeric) %% 18446744073709551616, "
               f"{BURIED - 1})::bigint")
# Held rows, by what holds them.
IN_FLIGHT_ROW = f"deadline_ms < {BURIED} AND deliveries > 0"
SCHEDULED_ROW = f"deadline_ms < {BURIED} AND deliveries = 0"
BURIED_ROW = f"deadline_ms = {BURIED}"

NEXT_SEQ = "(SELECT CASE WHEN is_called THEN last_value + 1 ELSE last_value END FROM {ids})"


def check_name(name: str) -> None:
    if not name:
        raise ValueError("queue name must not be empty")
    if len(name) > MAX_NAME_LEN:
        raise ValueError(f"queue name {name!r} is longer than {MAX_NAME_LEN} characters")
    if NAME_PATTERN.fullmatch(name) is None:
        raise ValueError(f"queue name {name!r} may hold only lower-case ASCII letters, digits and '_'")


SCHEMA = [
    """CREATE SEQUENCE IF NOT EXISTS {ids} AS bigint MINVALUE 0 START WITH 0""",
    """CREATE TABLE IF NOT EXISTS {messages} (
           seq bigint PRIMARY KEY,
           enqueued_ts_ms bigint NOT NULL,
           deliveries bigint NOT NULL DEFAULT 0,
           deadline_ms bigint,
           body bytea NOT NULL)""",
    """CREATE INDEX IF NOT EXISTS {ready} ON {messages} (seq) WHERE deadline_ms IS NULL""",
    """CREATE INDEX IF NOT EXISTS {leases} ON {messages} (deadline_ms) WHERE deadline_ms IS NOT NULL""",
    """CREATE TABLE IF NOT EXISTS {counters} (
           shard integer PRIMARY KEY,
           enqueued_total bigint NOT NULL DEFAULT 0,
           acked_total bigint NOT NULL DEFAULT 0,
           requeued_total bigint NOT NULL DEFAULT 0,
           dead_total bigint NOT NULL DEFAULT 0)""",
    f"""INSERT INTO {{counters}} (shard) SELECT generate_series(0, {COUNTER_SHARDS - 1})
        ON CONFLICT DO NOTHING""",
    """CREATE TABLE IF NOT EXISTS {meta} (version integer NOT NULL, generation bigint NOT NULL)""",
    f"""INSERT INTO {{meta}} SELECT {LAYOUT_VERSION}, 0 WHERE NOT EXISTS (SELECT FROM {{meta}})""",
]

# Adds the expired leases swept by the same statement to the requeue count.
_COUNT_SWEPT = """counted AS (
        UPDATE {counters} SET requeued_total = requeued_total + (SELECT count(*) FROM swept)
        WHERE shard = %(shard)s AND EXISTS (SELECT FROM swept))"""

_SWEEP = f"""swept AS (
        UPDATE {{messages}} SET deadline_ms = NULL
        WHERE seq = ANY(ARRAY(SELECT seq FROM {{messages}} WHERE deadline_ms <= {NOW_MS} FOR UPDATE SKIP LOCKED))
        RETURNING seq, deliveries),
    {_COUNT_SWEPT}"""

# With a delay the rows are held until it ends, as scheduled ones; a delay of
# 0 is a plain enqueue.
ENQUEUE = f"""WITH added AS (
        INSERT INTO {{messages}} (seq, enqueued_ts_ms, deadline_ms, body)
        SELECT nextval({{ids_name}}), {NOW_MS},
               CASE WHEN %(lease_ms)s::numeric > 0 THEN {DEADLINE_MS} END, body
        FROM unnest(%(bodies)s::bytea[]) WITH ORDINALITY AS given (body, position)
        ORDER BY position
        RETURNING seq),
    counted AS (
        UPDATE {{counters}} SET enqueued_total = enqueued_total + (SELECT count(*) FROM added)
        WHERE shard = %(shard)s)
    SELECT seq FROM added ORDER BY seq"""

# Expired leases are requeued and the smallest ready ids leased in one
# UPDATE, since a row may not be changed twice by one statement. SKIP LOCKED
# lets concurrent consumers pass over each other's rows instead of queueing
# on them, so no message is leased twice while its lease is live. Rows are
# named by "seq = ANY(ARRAY(...))", which the planner always answers through
# the primary key; a join could make it scan the whole table when it
# misjudges how many leases have expired.
DEQUEUE = f"""WITH expired AS (
        SELECT seq FROM {{messages}} WHERE deadline_ms <= {NOW_MS} FOR UPDATE SKIP LOCKED),
    ready AS (
        SELECT seq FROM {{messages}} WHERE deadline_ms IS NULL ORDER BY seq
        LIMIT %(max)s FOR UPDATE SKIP LOCKED),
    chosen AS (
        SELECT seq FROM (SELECT seq FROM expired UNION ALL SELECT seq FROM ready) candidates
        ORDER BY seq LIMIT %(max)s),
    changed AS (
        UPDATE {{messages}} AS m
        SET deadline_ms = CASE WHEN m.seq = ANY(ARRAY(SELECT seq FROM chosen)) THEN {DEADLINE_MS} END,
            deliveries = m.deliveries + (m.seq = ANY(ARRAY(SELECT seq FROM chosen)))::integer
        WHERE m.seq = ANY(ARRAY(SELECT seq FROM expired UNION ALL SELECT seq FROM chosen))
        RETURNING m.seq, m.deadline_ms IS NOT NULL AS leased, m.deliveries, m.enqueued_ts_ms,
                  CASE WHEN m.deadline_ms IS NOT NULL THEN m.body END AS body),
    swept AS (SELECT seq FROM expired),
    {_COUNT_SWEPT}
    SELECT seq, body, deliveries, enqueued_ts_ms FROM changed WHERE leased ORDER BY seq"""

# Rows are locked in id order before they are deleted, so two calls that
# settle overlapping ids cannot deadlock. A guarded settlement removes a
# message only while its delivery count is the caller's (the row's current
# version is checked again once it is locked).
_SETTLE = """WITH locked AS (
        SELECT seq FROM {{messages}} WHERE seq = ANY(%(seqs)s::bigint[]) {guard} ORDER BY seq FOR UPDATE),
    gone AS (
        DELETE FROM {{messages}} WHERE seq = ANY(ARRAY(SELECT seq FROM locked)) RETURNING 1),
    counted AS (
        UPDATE {{counters}} SET {total} = {total} + (SELECT count(*) FROM gone)
        WHERE shard = %(shard)s AND EXISTS (SELECT FROM gone))
    SELECT count(*) FROM gone"""
ACK = _SETTLE.format(total="acked_total", guard="")
DROP = _SETTLE.format(total="dead_total", guard="")
# Only the delivery the caller names: every lease raises the count.
ACK_DELIVERY = _SETTLE.format(total="acked_total", guard="AND deliveries = %(deliveries)s")

REQUEUE = """WITH requeued AS (
        UPDATE {messages} SET deadline_ms = NULL WHERE seq = %(seq)s RETURNING 1),
    counted AS (
        UPDATE {counters} SET requeued_total = requeued_total + 1
        WHERE shard = %(shard)s AND EXISTS (SELECT FROM requeued))
    SELECT count(*) FROM requeued"""

# An expired lease that no sweep has cleared yet is still a lease. A retry is
# a new lease of the same delivery, until the retry time; a scheduled or
# buried message has no lease of a delivery to renew.
_RELEASE = f"""UPDATE {{{{messages}}}} SET deadline_ms = {DEADLINE_MS}
    WHERE seq = %(seq)s AND {IN_FLIGHT_ROW} {{guard}} RETURNING 1"""
EXTEND_LEASE = _RELEASE.format(guard="")
EXTEND_DELIVERY = _RELEASE.format(guard="AND deliveries = %(deliveries)s")
RETRY = _RELEASE.format(guard="AND (%(deliveries)s::bigint IS NULL OR deliveries = %(deliveries)s)")

BURY = f"""UPDATE {{messages}} SET deadline_ms = {BURIED}
    WHERE seq = %(seq)s AND (deadline_ms IS NULL OR deadline_ms < {BURIED})
    AND (%(deliveries)s::bigint IS NULL OR deliveries = %(deliveries)s) RETURNING 1"""

# Kicked messages are counted as requeues, as the directory queue counts them.
_KICK = f"""WITH kicked AS (
        UPDATE {{{{messages}}}} SET deadline_ms = NULL WHERE {{which}} {BURIED_ROW} RETURNING 1),
    counted AS (
        UPDATE {{{{counters}}}} SET requeued_total = requeued_total + (SELECT count(*) FROM kicked)
        WHERE shard = %(shard)s AND EXISTS (SELECT FROM kicked))
    SELECT count(*) FROM kicked"""
KICK = _KICK.format(which="seq = %(seq)s AND")
KICK_ALL = _KICK.format(which="")

AVAILABLE = f"""WITH {_SWEEP}
    SELECT (SELECT count(*) FROM swept) + (SELECT count(*) FROM {{messages}} WHERE deadline_ms IS NULL)"""

IN_FLIGHT = f"""SELECT count(*) FROM {{messages}} WHERE {IN_FLIGHT_ROW}"""
SCHEDULED = f"""SELECT count(*) FROM {{messages}} WHERE {SCHEDULED_ROW}"""
BURIED_COUNT = f"""SELECT count(*) FROM {{messages}} WHERE {BURIED_ROW}"""

STATS = f"""WITH {_SWEEP},
    live AS (
        SELECT count(*) FILTER (WHERE deadline_ms IS NULL) AS ready, count(*) AS total,
               count(*) FILTER (WHERE {IN_FLIGHT_ROW}) AS in_flight,
               coalesce(sum(octet_length(body) + 33), 0) AS live_bytes
        FROM {{messages}}),
    totals AS (
        SELECT sum(enqueued_total) AS enqueued, sum(acked_total) AS acked,
               sum(requeued_total) AS requeued, sum(dead_total) AS dead
        FROM {{counters}})
    SELECT live.ready + swept_count, live.in_flight - swept_in_flight, live.total,
           totals.enqueued, totals.acked, totals.requeued + swept_count, totals.dead,
           {NEXT_SEQ}, live.live_bytes, pg_total_relation_size({{messages_name}}),
           (SELECT generation FROM {{meta}})
    FROM live, totals, (SELECT count(*) AS swept_count, count(*) FILTER (WHERE deliveries > 0) AS swept_in_flight
                        FROM swept) s"""

# The message that has waited longest is the ready one with the smallest id,
# as in the directory queue: ids are handed out as messages arrive, and a
# requeue keeps a message's id and enqueue time. Both branches are answered
# by an index: the ready one by _ready, the swept one by the primary key
# (the rows the sweep frees are still leased in the statement's snapshot).
OLDEST_READY = f"""WITH {_SWEEP}
    SELECT enqueued_ts_ms FROM (
        (SELECT seq, enqueued_ts_ms FROM {{messages}} WHERE deadline_ms IS NULL ORDER BY seq LIMIT 1)
        UNION ALL
        (SELECT seq, enqueued_ts_ms FROM {{messages}} WHERE seq = ANY(ARRAY(SELECT seq FROM swept))
         ORDER BY seq LIMIT 1)) candidates
    ORDER BY seq LIMIT 1"""

# Milliseconds until the earliest lease ends or scheduled message falls due,
# for a consumer that waits; buried messages never do.
EARLIEST_DEADLINE = f"""SELECT min(deadline_ms) - {NOW_MS} FROM {{messages}} WHERE deadline_ms < {BURIED}"""

PURGE = [
    """TRUNCATE {messages}""",
    f"""UPDATE {{counters}} SET {", ".join(f"{total} = 0" for total in COUNTERS)}""",
    """ALTER SEQUENCE {ids} RESTART WITH 0""",
    """UPDATE {meta} SET generation = generation + 1""",
]

# A commit flushes the server's log up to its own record, and with it every
# earlier commit, also those made with synchronous_commit off; but only a
# transaction that wrote something waits for that flush.
FLUSH = [
    """SET LOCAL synchronous_commit = on""",
    """UPDATE {meta} SET generation = generation""",
]

# Without TRUNCATE, VACUUM never takes the exclusive table lock that gives
# trailing pages back to the file system, which would stall every consumer
# (or make this call wait seconds for a gap between their locks). Freed
# space is reused by later messages; autovacuum may still shrink the file
# when the queue is quiet. SKIP_LOCKED passes over a table another VACUUM
# is working on.
COMPACT = """VACUUM (SKIP_LOCKED, TRUNCATE false) {messages}, {counters}"""

VERIFY = f"""SELECT count(*), coalesce(max(seq), -1), {NEXT_SEQ},
           (SELECT min(seq) FROM {{messages}} WHERE deliveries < 0 OR enqueued_ts_ms < 0),
           (SELECT count(*) FROM {{counters}} WHERE least({", ".join(COUNTERS)}) < 0),
           count(md5(body)), pg_total_relation_size({{messages_name}})
    FROM {{messages}}"""


class QueueStatements:
    """Every statement of one queue, rendered once with its table names."""

    def __init__(self, name: str) -> None:
        check_name(name)
        base = PREFIX + name
        objects: dict[str, sql.Composable] = {
            part: sql.Identifier(f"{base}_{part}") for part in ("messages", "ids", "counters", "meta", "ready", "leases")}
        # nextval(), to_regclass() and the size function take names as text.
        objects["ids_name"] = sql.Literal(objects["ids"].as_string(None))
        objects["messages_name"] = sql.Literal(objects["messages"].as_string(None))
        objects["meta_name"] = sql.Literal(objects["meta"].as_string(None))

        def render(template: str) -> str:
            return sql.SQL(template).format(**objects).as_string(None)

        self.channel = base
        self.schema_lock_key = base
        self.exists = render("SELECT to_regclass({meta_name}) IS NOT NULL")
        self.schema = [render(statement) for statement in SCHEMA]
        self.enqueue = render(ENQUEUE)
        self.dequeue = render(DEQUEUE)
        self.ack = render(ACK)
        self.drop = render(DROP)
        self.requeue = render(REQUEUE)
        self.extend_lease = render(EXTEND_LEASE)
        self.ack_delivery = render(ACK_DELIVERY)
        self.extend_delivery = render(EXTEND_DELIVERY)
        self.retry = render(RETRY)
        self.bury = render(BURY)
        self.kick = render(KICK)
        self.kick_all = render(KICK_ALL)
        self.scheduled = render(SCHEDULED)
        self.buried = render(BURIED_COUNT)
        self.available = render(AVAILABLE)
        self.in_flight = render(IN_FLIGHT)
        self.stats = render(STATS)
        self.oldest_ready = render(OLDEST_READY)
        self.earliest_deadline = render(EARLIEST_DEADLINE)
        self.purge = [render(statement) for statement in PURGE]
        self.flush = [render(statement) for statement in FLUSH]
        self.compact = render(COMPACT)
        self.verify = render(VERIFY)
