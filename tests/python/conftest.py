import itertools

import pytest

import tollivane

MEMORY = ":memory:"

# A lease long enough that no test run outlives it, so wall-clock time never
# reclaims a message behind a test's back.
LONG_LEASE_MS = 3_600_000

# Tests marked both_backends run once on TollivaneCore and once on
# PostgresQueue: `queue`, `loaded_queue` and `fresh_queue` then give the
# test's backend.
BACKENDS = ["core", "postgres"]


def pytest_generate_tests(metafunc):
    if "backend" in metafunc.fixturenames and metafunc.definition.get_closest_marker("both_backends"):
        metafunc.parametrize("backend", BACKENDS, indirect=True)


@pytest.fixture
def backend(request):
    return getattr(request, "param", "core")


@pytest.fixture
def fresh_queue(request, backend):
    """Opens a new, empty queue of the test's backend with the given options:
    in memory for TollivaneCore, under a name of its own in PostgreSQL."""
    if backend == "postgres":
        return request.getfixturevalue("postgres_queues").open
    return lambda **options: tollivane.TollivaneCore(MEMORY, **options)


@pytest.fixture
def queue(fresh_queue):
    """A fresh queue with the default options (in memory unless the test
    runs on both backends)."""
    return fresh_queue()


@pytest.fixture
def loaded_queue(queue):
    """An in-memory queue holding three ready messages (ids 0..2) and one
    leased message (id 0 is leased, 1 and 2 stay ready)."""
    queue.enqueue_batch([b"zero", b"one", b"two"])
    delivery = queue.dequeue(LONG_LEASE_MS)
    assert delivery[0] == 0
    return queue


# -- persistent queues ---------------------------------------------------------
#
# An independent reader and writer of queue.log, built only on struct and zlib,
# so the tests check the bytes on disk against the format rather than against
# the module's own encoder.

import struct  # noqa: E402
import zlib  # noqa: E402
from pathlib import Path  # noqa: E402

FILE_HEADER = struct.Struct("<4sIQ")
FRAME_HEADER = struct.Struct("<4sII")
HEADER_LEN = FILE_HEADER.size
FRAME_HEADER_LEN = FRAME_HEADER.size
# 12 bytes of frame header plus tag, seq, timestamp and length of an Enqueue.
ENQUEUE_OVERHEAD = 33


def open_queue(directory, **options):
    return tollivane.TollivaneCore(str(directory), **options)


def log_path(directory):
    return Path(directory) / "queue.log"


def file_header(generation=0, version=1):
    return FILE_HEADER.pack(b"TLFL", version, generation)


def frame(payload, crc=None):
    crc = zlib.crc32(payload) if crc is None else crc
    return FRAME_HEADER.pack(b"TLR1", len(payload), crc) + payload


def enqueue_payload(seq, ts, body):
    return struct.pack("<BQQI", 1, seq, ts, len(body)) + body


def lease_payload(seq, deadline, deliveries):
    return struct.pack("<BQQI", 3, seq, deadline, deliveries)


def split_log(data):
    """The generation of intact log bytes and their (offset, payload) pairs,
    checking the file header and every frame's magic, length and CRC on the
    way."""
    magic, version, generation = FILE_HEADER.unpack_from(data, 0)
    assert (magic, version) == (b"TLFL", 1)
    frames, pos = [], FILE_HEADER.size
    while pos < len(data):
        magic, length, crc = FRAME_HEADER.unpack_from(data, pos)
        payload = data[pos + FRAME_HEADER.size:pos + FRAME_HEADER.size + length]
        assert magic == b"TLR1" and len(payload) == length
        assert crc == zlib.crc32(payload), f"CRC of frame at {pos}"
        frames.append((pos, payload))
        pos += FRAME_HEADER.size + length
    return generation, frames


def read_frames(data):
    """The (offset, payload) pairs of an intact log of generation 0."""
    generation, frames = split_log(data)
    assert generation == 0
    return frames


def read_log(path):
    """The generation of the intact log at `path` and its decoded records,
    each with the offset of its frame."""
    generation, frames = split_log(Path(path).read_bytes())
    return generation, [(offset, decode(payload)) for offset, payload in frames]


def decode(payload):
    """One record as a tuple; the lengths are checked exactly, since every
    writer of this log emits no trailing bytes."""
    tag = payload[0]
    if tag == 1:
        seq, ts, length = struct.unpack_from("<QQI", payload, 1)
        assert len(payload) == 21 + length
        return ("enqueue", seq, ts, payload[21:])
    if tag == 3:
        assert len(payload) == 21
        return ("lease",) + struct.unpack_from("<QQI", payload, 1)
    if tag == 4:
        assert len(payload) == 13
        return ("requeue",) + struct.unpack_from("<QI", payload, 1)
    assert tag in (2, 5) and len(payload) == 9
    return ("ack" if tag == 2 else "dead", struct.unpack_from("<Q", payload, 1)[0])


def drain(q):
    """Everything a queue holds, as (stats, ready, in_flight) with ready and
    in_flight mapping seq to (body, deliveries, enqueued_ts_ms). Destructive:
    it leases every message to see it."""
    stats = q.stats()
    ready = q.dequeue_batch(1 << 20, LONG_LEASE_MS)
    leased_ids = {d[0] for d in ready}
    # A requeue keeps the delivery count, so leasing again shows it plus one.
    for seq in range(stats["next_seq"]):
        if seq not in leased_ids:
            q.nack(seq)
    in_flight = q.dequeue_batch(1 << 20, LONG_LEASE_MS)

    def by_seq(deliveries):
        return {seq: (body, count - 1, ts) for seq, body, count, ts in deliveries}
    return stats, by_seq(ready), by_seq(in_flight)


# -- damaging a log --------------------------------------------------------------
#
# What a crash, a bad disk or a hand does to a log file, in place.

import os  # noqa: E402


def flip_byte(path, offset, mask=0x5A):
    """XORs the byte at `offset` of the file (counted from its end when
    negative) with `mask`."""
    data = bytearray(Path(path).read_bytes())
    data[offset] ^= mask
    Path(path).write_bytes(bytes(data))


def cut_at(path, length):
    """Cuts the file to `length` bytes, as a write torn by a crash leaves it."""
    os.truncate(path, length)


def set_frame_length(data, frame_start, length):
    """Rewrites the length field of the frame at `frame_start` of the log
    bytes `data` (a bytearray), leaving its CRC as it was."""
    data[frame_start + 4:frame_start + 8] = struct.pack("<I", length)


def frame_length(data, frame_start):
    return struct.unpack_from("<I", data, frame_start + 4)[0]


# -- PostgreSQL ----------------------------------------------------------------

STORAGE_KEYS = ("log_bytes", "generation", "persistent")


def counters(stats):
    """A stats() result without the keys that describe how the backend keeps
    the queue (log size, generation, persistence), which differ by backend."""
    return {key: value for key, value in stats.items() if key not in STORAGE_KEYS}


def check_storage_keys(queue, stats, purges=0):
    """An in-memory queue reports a bare log header and generation 0 whatever
    happens; a server queue its table size and how often it was purged."""
    if isinstance(queue, tollivane.TollivaneCore):
        assert (stats["log_bytes"], stats["generation"], stats["persistent"]) == (16, 0, False)
    else:
        assert type(stats["log_bytes"]) is int and stats["log_bytes"] > 0
        assert (stats["generation"], stats["persistent"]) == (purges, True)


def push_out_postgres_recheck(monkeypatch):
    """Moves PostgresQueue's periodic second look beyond any test, so that
    its waiting consumers wake only when notified. Only for tests on
    PostgreSQL: importing the package needs psycopg."""
    from tollivane_postgres import queue as postgres_queue

    monkeypatch.setattr(postgres_queue, "RECHECK_S", 3600.0)


@pytest.fixture(scope="session")
def postgres_server():
    # Where the driver is missing (it is no dependency of the directory
    # queue) the PostgresQueue tests skip, and only they.
    pytest.importorskip("psycopg")
    from postgres_server import PostgresServer

    # A machine where the server cannot run skips these tests, saying why.
    try:
        server = PostgresServer()
    except Exception as error:
        pytest.skip(f"no PostgreSQL server for the PostgresQueue tests: {error}")
    try:
        server.start()
    except Exception as error:
        log = server.log_tail()
        server.remove()
        pytest.skip(f"the PostgreSQL server for the PostgresQueue tests did not start: {error}\n{log}")
    yield server
    server.remove()


class PostgresQueues:
    """Opens PostgresQueue objects on the test server and closes them after
    the test. Each new queue gets a name of its own, so tests never share."""

    _names = itertools.count()

    def __init__(self, server):
        self.server = server
        self.opened = []

    def new_name(self):
        return f"test{next(self._names)}"

    def open(self, name=None, **options):
        from tollivane_postgres import PostgresQueue

        self.opened.append(PostgresQueue(self.server.conninfo, name or self.new_name(), **options))
        return self.opened[-1]

    def close_all(self):
        for queue in self.opened:
            queue.close()


@pytest.fixture
def postgres_queues(postgres_server):
    queues = PostgresQueues(postgres_server)
    yield queues
    queues.close_all()


# -- emulation -----------------------------------------------------------------
#
# scripts/run_arm32.sh runs this suite on Debian's armhf interpreter under
# qemu user emulation, and its wrapper of the interpreter says so in
# TOLLIVANE_EMULATOR ("qemu-arm"), which every child process inherits. What
# the emulator itself cannot do is skipped there, and nowhere else.

EMULATOR = os.environ.get("TOLLIVANE_EMULATOR")


def skip_under_emulation(limit):
    return pytest.mark.skipif(bool(EMULATOR), reason=f"under {EMULATOR}: {limit}")
