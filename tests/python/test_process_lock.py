"""The lock on .proc_lock: a peer that holds it makes every call wait, a peer
that dies frees it, and a peer that holds it too long makes the call time out.

The holder is a child process (sharing_support.lock_holder) that reports the
monotonic time just before it lets go."""

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import LONG_LEASE_MS, log_path, open_queue
from sharing_support import lock_holder, released_at


@pytest.fixture
def directory(tmp_path):
    q = open_queue(tmp_path)
    q.enqueue_batch([b"a", b"b"])
    q.dequeue(LONG_LEASE_MS)
    return tmp_path


@pytest.mark.parametrize("call", [
    lambda q, d: open_queue(d),
    lambda q, d: q.enqueue(b"c"),
    lambda q, d: q.dequeue_batch(0),
    lambda q, d: q.in_flight(),
    lambda q, d: q.flush(),
], ids=["open", "enqueue", "dequeue_batch-0", "in_flight", "flush"])
def test_call_waits_for_a_peer_process_holding_the_lock(directory, call):
    q = open_queue(directory)
    with lock_holder(directory / ".proc_lock", 0.3) as child:
        call(q, directory)
        returned = time.monotonic()
        assert returned >= released_at(child)


@pytest.mark.parametrize("call", [
    lambda q: q.enqueue_batch([]),
    lambda q: q.ack_batch([]),
], ids=["enqueue_batch", "ack_batch"])
def test_empty_batch_does_not_touch_the_lock(directory, call):
    q = open_queue(directory)
    with lock_holder(directory / ".proc_lock", 0.5) as child:
        assert call(q) in ([], 0)
        assert time.monotonic() < released_at(child)


def test_peer_killed_while_holding_the_lock_releases_it(directory):
    q = open_queue(directory)
    with lock_holder(directory / ".proc_lock", 0.3, how="die") as child:
        assert q.enqueue(b"c") == 2
        returned = time.monotonic()
        assert returned >= released_at(child)
        assert child.wait() == -signal.SIGKILL
    assert q.stats()["total"] == 3


def proc_lock_descriptors(directory):
    target = str(directory / ".proc_lock")
    found = set()
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/self/fd/{name}") == target:
                found.add(int(name))
    return found


def test_two_objects_in_one_process_lock_through_separate_descriptors(directory):
    first = open_queue(directory)
    (first_fd,) = proc_lock_descriptors(directory)
    second = open_queue(directory)
    assert len(proc_lock_descriptors(directory)) == 2
    # The child locks the very open file that the first object locks through,
    # standing in for the first object in the middle of a call: the second
    # object must wait for it like for any other process.
    with lock_holder(first_fd, 0.3, pass_fds=(first_fd,)) as child:
        assert second.enqueue(b"c") == 2
        assert time.monotonic() >= released_at(child)
    assert first.in_flight() == 1


@pytest.mark.slow
def test_lock_held_past_thirty_seconds_times_out_and_object_stays_usable(directory):
    q = open_queue(directory)
    size = log_path(directory).stat().st_size
    with lock_holder(directory / ".proc_lock", 120) as child:
        start = time.monotonic()
        try:
            q.enqueue(b"late")
        except OSError as error:            # TimeoutError is an OSError
            caught = error
        else:
            pytest.fail("enqueue did not time out")
        elapsed = time.monotonic() - start
        child.kill()
    assert type(caught) is TimeoutError
    assert caught.args == ("process lock timed out \u2014 a live peer is holding it too long",)
    assert caught.errno is None
    assert 30 <= elapsed < 60
    # The timed-out call did nothing, and the lock is not left held.
    assert log_path(directory).stat().st_size == size
    assert q.enqueue(b"now") == 2
    assert q.stats()["enqueued_total"] == 3


def test_other_threads_run_while_a_call_waits_for_the_lock(directory):
    # The holder lets go only once a ticker thread of this process has ticked
    # while the call waited, or after 30 s: a wait that kept the interpreter
    # lock would stop the ticker, and the holder would time out.
    q = open_queue(directory)
    waiting = threading.Event()
    ticks = []

    def ticker(holder):
        waiting.wait(30)
        while len(ticks) < 50:
            ticks.append(time.monotonic())
            time.sleep(0.001)
        holder.stdin.write("go\n")
        holder.stdin.flush()

    with lock_holder(directory / ".proc_lock", 30, how="until-told") as child:
        thread = threading.Thread(target=ticker, args=(child,))
        thread.start()
        waiting.set()
        assert q.enqueue(b"c") == 2
        thread.join()
        assert child.stdout.readline() == "told\n"
    assert len(ticks) == 50


CTRL_C_WAITER = r"""
import sys, tollivane
directory, call = sys.argv[1:3]
if call == "enqueue":
    q = tollivane.TollivaneCore(directory)
print("ready", flush=True)
sys.stdin.readline()  # the lock is taken now
print("calling", flush=True)
try:
    if call == "open":
        q = tollivane.TollivaneCore(directory)
    q.enqueue(b"never")
except KeyboardInterrupt as error:
    # Raised by the call itself, not on the way out of a wait that ran to
    # its time-out.
    print("interrupted" if error.__context__ is None else repr(error.__context__), flush=True)
    if call == "enqueue":
        # The call gave up before it touched anything, and let go of the object.
        print(q.in_flight(), flush=True)
"""


@pytest.mark.parametrize("call", ["open", "enqueue"])
def test_ctrl_c_ends_a_wait_for_the_lock_with_keyboard_interrupt(directory, call):
    size = log_path(directory).stat().st_size
    waiter = subprocess.Popen([sys.executable, "-c", CTRL_C_WAITER, str(directory), call],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert waiter.stdout.readline() == "ready\n"
        with lock_holder(directory / ".proc_lock", 60, how="until-told") as holder:
            waiter.stdin.write("locked\n")
            waiter.stdin.flush()
            assert waiter.stdout.readline() == "calling\n"
            time.sleep(0.3)  # into the wait; a Ctrl-C before it would end the call all the same
            waiter.send_signal(signal.SIGINT)
            # Within the holder's minute, and well before the lock's 30 s time-out.
            interrupted = waiter.stdout.readline()
            holder.stdin.write("go\n")
            holder.stdin.flush()
            assert holder.stdout.readline() == "told\n"
        assert interrupted == "interrupted\n"
        assert waiter.stdout.read() == ("1\n" if call == "enqueue" else "")
    finally:
        waiter.kill()
        waiter.wait()
    assert log_path(directory).stat().st_size == size


def test_close_from_another_thread_waits_for_a_call_waiting_for_the_lock(directory):
    q = open_queue(directory)
    outcomes = {}

    def call(name, method, *args):
        try:
            outcomes[name] = method(*args)
        except Exception as error:  # reported to the test
            outcomes[name] = error

    with lock_holder(directory / ".proc_lock", 30, how="until-told") as child:
        enqueuer = threading.Thread(target=call, args=("enqueue", q.enqueue, b"c"))
        enqueuer.start()
        closer = threading.Thread(target=call, args=("close", q.close))
        closer.start()
        child.stdin.write("go\n")
        child.stdin.flush()
        enqueuer.join()
        closer.join()
    # Either the call ran first and close() waited for it, or close() came
    # first and the call found the object closed; nothing in between.
    if outcomes["enqueue"] == 2:
        assert outcomes["close"] is None
        assert open_queue(directory).stats()["total"] == 3
    else:
        assert isinstance(outcomes["enqueue"], ValueError), outcomes
    with pytest.raises(ValueError):
        q.available()
