"""When the log is fsynced, counted with strace in a child process.

The child writes a marker line to standard error before each phase; the
trace of fsync, fdatasync and write calls is split at those markers, so each
phase's syncs are counted on their own, whatever the interpreter does before
or after. strace's -y names the file behind every descriptor, which tells a
sync of queue.log from a sync of its directory."""

import re
import shutil
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")

CHILD = r"""
import os, sys, time, tollivane
directory, interval, phases = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(",")
LONG = 3_600_000
q = None
leased = []

def reopen():
    global q
    q = tollivane.TollivaneCore(directory, sync_interval_ms=interval)

def close():
    global q
    q = None

def tear():
    with open(os.path.join(directory, "queue.log"), "ab") as log:
        log.write(b"TLR1\x05")

ACTIONS = {
    "open": reopen, "reopen": reopen, "close": close, "tear": tear,
    "enqueue": lambda: q.enqueue(b"x"),
    "dequeue": lambda: leased.append(q.dequeue(LONG)),
    "ack_and_dequeue": lambda: q.ack_and_dequeue(leased[-1][0], lease_ms=LONG),
    "extend_lease": lambda: q.extend_lease(0, LONG),
    "nack": lambda: q.nack(0),
    "nack_dead": lambda: q.nack(0, requeue=False),
    "enqueue_batch": lambda: q.enqueue_batch([b"a", b"b", b"c"]),
    "dequeue_batch": lambda: q.dequeue_batch(2, LONG),
    "ack": lambda: q.ack(1),
    "ack_batch": lambda: q.ack_batch([2, 3, 2]),
    "ack_batch_unknown": lambda: q.ack_batch([2, 99]),
    "dequeue_batch_empty": lambda: q.dequeue_batch(5, LONG),
    "dequeue_batch_zero": lambda: q.dequeue_batch(0),
    "empty_batches": lambda: (q.enqueue_batch([]), q.ack_batch([])),
    "available": lambda: q.available(),
    "close_call": lambda: q.close(),
    "flush": lambda: q.flush(),
    "wait": lambda: time.sleep(2.0),
    "batch_wait_woken": lambda: batch_wait_woken(),
}

def batch_wait_woken():
    # Message 0 stays leased; another object's extensions wake the waiter
    # three times, and each attempt after a wake-up finds nothing to lease.
    global other  # kept past the phase: dropping it would sync its writer
    other = tollivane.TollivaneCore(directory, sync_interval_ms=interval)
    def extend():
        for _ in range(3):
            time.sleep(0.2)
            other.extend_lease(0, LONG)
    import threading
    extender = threading.Thread(target=extend)
    extender.start()
    assert q.dequeue_batch_wait(5, 1_200, LONG) == []
    extender.join()
for phase in phases:
    os.write(2, f"MARK {phase}\n".encode())
    ACTIONS[phase.rstrip("0123456789")]()
os.write(2, b"MARK end\n")
"""

MARK = re.compile(r'^write\(2(?:<[^>]*>)?, "MARK (\w+)\\n"')
SYNC = re.compile(r"^(fsync|fdatasync)\(\d+<([^>]*)>\)")


def syncs_per_phase(tmp_path, interval, phases):
    directory = tmp_path / "q"
    trace = tmp_path / "trace"
    subprocess.run(["strace", "-y", "-s", "64", "-o", str(trace),
                    "-e", "trace=fsync,fdatasync,write",
                    sys.executable, "-c", CHILD, str(directory), str(interval), ",".join(phases)],
                   check=True, stderr=subprocess.DEVNULL, timeout=120)
    # A new log's header is written beside it and renamed into place.
    names = {str(directory / "queue.log"): "log", str(directory / "queue.fresh.tmp"): "log",
             str(directory): "dir"}
    counted, current = {}, None
    for line in trace.read_text().splitlines():
        if match := MARK.match(line):
            current = match.group(1)
            counted[current] = []
        elif match := SYNC.match(line):
            assert current is not None, "sync before the first phase"
            counted[current].append(names.get(match.group(2), match.group(2)))
    assert list(counted) == phases + ["end"]
    del counted["end"]
    return counted


# (phase, syncs with sync_interval_ms=0, syncs with a large interval)
PHASES = [
    ("open", ["log", "dir"], ["log", "dir"]),   # a new log: file, then its directory
    ("enqueue", ["log"], []),
    ("dequeue", ["log"], []),
    ("extend_lease", ["log"], []),
    ("nack", ["log"], []),
    ("nack_dead", ["log"], []),
    ("enqueue_batch", ["log"], ["log"]),       # batches sync once, whatever the interval
    ("dequeue_batch", ["log"], ["log"]),
    ("ack", ["log"], []),
    ("ack_batch", ["log"], ["log"]),
    ("ack_batch_unknown", ["log"], ["log"]),   # nothing acknowledged, still one sync
    ("dequeue_batch_empty", ["log"], ["log"]),
    ("dequeue_batch_zero", ["log"], ["log"]),
    ("empty_batches", [], []),
    ("available", [], []),                     # nothing expired, nothing written
    ("flush", ["log"], ["log"]),
    ("flush2", ["log"], ["log"]),              # even with nothing new
    ("close", ["log"], ["log"]),               # the last reference syncs the writer
    ("reopen", [], []),                        # an intact log is only read
    ("close2", ["log"], ["log"]),
    ("tear", [], []),
    ("reopen2", ["log", "dir"], ["log", "dir"]),  # cutting a torn tail is made durable
    ("enqueue2", ["log"], []),
    ("dequeue2", ["log"], []),
    ("enqueue3", ["log"], []),
    ("ack_and_dequeue", ["log"], []),          # an ack and the next lease, one sync
    ("close_call", ["log"], ["log"]),          # close() syncs as the last reference does
    ("close_call2", [], []),                   # and then has nothing left to do
]


@pytest.mark.parametrize("interval, column", [(0, 1), (3_600_000, 2)],
                         ids=["every-append", "large-interval"])
def test_syncs_per_operation(tmp_path, interval, column):
    phases = [row[0] for row in PHASES]
    expected = {row[0]: row[column] for row in PHASES}
    assert syncs_per_phase(tmp_path, interval, phases) == expected


def test_timed_sync_waits_for_the_interval_to_pass(tmp_path):
    phases = ["open", "enqueue", "wait", "enqueue2", "enqueue3", "dequeue"]
    counted = syncs_per_phase(tmp_path, 1_500, phases)
    # Within the interval of the open nothing syncs; after it the next append
    # syncs, and the interval then counts from that sync.
    assert counted == {"open": ["log", "dir"], "enqueue": [], "wait": [],
                       "enqueue2": ["log"], "enqueue3": [], "dequeue": []}


def test_a_waiting_batch_forces_no_fsync_at_a_wake_up_that_finds_nothing(tmp_path):
    # The first attempt syncs as dequeue_batch does; the attempts after the
    # three wake-ups sync by the policy, which a large interval defers.
    phases = ["open", "enqueue", "dequeue", "batch_wait_woken"]
    counted = syncs_per_phase(tmp_path, 3_600_000, phases)
    assert counted["batch_wait_woken"] == ["log"]
