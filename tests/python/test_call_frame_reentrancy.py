"""Finalizers that run while a call holds the object's mutex.

Building result objects under the mutex can trigger the garbage collector,
which runs arbitrary __del__ methods on the calling thread. Those may call
back into the same queue (which must fail cleanly, not deadlock) or release
the interpreter lock and let another thread reach the queue (which must then
wait without holding the interpreter lock).
"""

import gc
import subprocess
import sys
import textwrap

import pytest

import tollivane

CALLBACK_SCRIPT = textwrap.dedent(
    """
    import gc, threading, time, tollivane

    queue = tollivane.TollivaneCore(":memory:")
    queue.enqueue(b"x")
    inside_call = threading.Event()
    results, other_results = [], []

    class SleepsInsideCall:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            try:
                queue.in_flight()
                return  # collected outside any call: nothing to provoke
            except RuntimeError:
                pass
            # Inside stats(): let the other thread run into the held mutex,
            # then sleep with the interpreter lock released.
            inside_call.set()
            time.sleep(0.3)

    def other_thread():
        inside_call.wait(10)
        other_results.append(OTHER_CALL)

    worker = threading.Thread(target=other_thread)
    worker.start()
    gc.collect()
    gc.set_threshold(1)
    for _ in range(200):
        if inside_call.is_set():
            break
        gc.collect()  # the garbage below starts young, so stats() collects it
        SleepsInsideCall()
        results.append(queue.stats()["ready"])
    provoked = inside_call.is_set()
    gc.set_threshold(700)
    inside_call.set()
    worker.join()
    try:
        after = queue.available()
    except ValueError:
        after = "closed"
    print("provoked" if provoked else "not provoked", results[-1], other_results[0], after)
    """
)


def _collect_inside_stats(queue, make_garbage, attempts=200):
    """Calls stats() right after making young garbage, with a collector that
    runs at the next allocation of a tracked object: the stats dict."""
    old_threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        for _ in range(attempts):
            gc.collect()
            make_garbage()
            assert queue.stats()["ready"] == 1
    finally:
        gc.set_threshold(*old_threshold)


def _finalizer_outcomes_inside_stats(queue, call, attempts):
    """What `call()` returned or raised, each time a finalizer ran it while
    the collector ran inside queue.stats()."""
    outcomes = []

    class CallsFromFinalizer:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            try:
                queue.in_flight()
                return  # collected outside any call: nothing to provoke
            except RuntimeError:
                pass
            try:
                outcomes.append(("returned", call()))
            except (RuntimeError, TimeoutError) as error:
                outcomes.append((type(error).__name__, str(error)))

    _collect_inside_stats(queue, CallsFromFinalizer, attempts)
    assert outcomes, "the collector never ran inside a call"
    return outcomes


def collector_runs_inside_stats(test):
    test = pytest.mark.skipif(sys.version_info >= (3, 12), reason="the collector runs between bytecodes from 3.12 on")(test)
    return pytest.mark.skipif(sys.version_info < (3, 11), reason="before 3.11 the young garbage is collected at "
                              "an allocation before stats(), never at the stats dict")(test)


@collector_runs_inside_stats
@pytest.mark.parametrize("call_back", [tollivane.TollivaneCore.available, tollivane.TollivaneCore.close],
                         ids=["available", "close"])
def test_finalizer_calling_back_into_the_queue_gets_runtime_error_not_a_deadlock(call_back):
    queue = tollivane.TollivaneCore(":memory:")
    queue.enqueue(b"payload")
    outcomes = _finalizer_outcomes_inside_stats(queue, lambda: call_back(queue), attempts=20)
    assert all(kind == "RuntimeError" and "re-entrantly" in text for kind, text in outcomes), outcomes
    # The refused inner call changed nothing and the object stays usable.
    assert queue.available() == 1
    assert queue.dequeue()[1] == b"payload"


@collector_runs_inside_stats
def test_finalizer_using_another_object_on_the_directory_gets_runtime_error_at_once(tmp_path):
    # A job wrapper that nacks its message when dropped, collected while a
    # call of another object holds the directory's process lock: waiting for
    # the lock would take the whole 30 s time-out, its own thread holding it.
    queue = tollivane.TollivaneCore(str(tmp_path))
    queue.enqueue(b"payload")
    other = tollivane.TollivaneCore(str(tmp_path))
    outcomes = _finalizer_outcomes_inside_stats(queue, lambda: other.nack(0), attempts=5)
    assert all(kind == "RuntimeError" and "already held by this thread" in text for kind, text in outcomes), outcomes
    # Nothing was written by the refused calls; both objects go on.
    assert other.nack(0) is True
    assert queue.stats()["requeued_total"] == 1


@collector_runs_inside_stats
@pytest.mark.parametrize("other_call, other_result, after", [
    ("queue.available()", "1", "1"),
    # close() waits for the call in progress, which completes, then closes.
    ("queue.close()", "None", "closed"),
], ids=["available", "close"])
def test_thread_waiting_for_a_busy_queue_releases_the_interpreter_lock(other_call, other_result, after):
    # Run in a child so that a deadlock fails the test instead of hanging it.
    script = CALLBACK_SCRIPT.replace("OTHER_CALL", other_call)
    try:
        finished = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
        )
    except subprocess.TimeoutExpired:
        pytest.fail("a thread waiting for the queue's mutex deadlocked the thread holding it")
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.split() == ["provoked", "1", other_result, after]


@pytest.mark.parametrize("where", ["memory", "directory"])
def test_calls_from_many_threads_are_serialised(tmp_path, where):
    # On a directory the threads' durable enqueues share fsyncs, each
    # returning once its record is in the log.
    queue = tollivane.TollivaneCore(":memory:" if where == "memory" else str(tmp_path))
    import threading

    per_thread = 500
    seqs = []
    lock = threading.Lock()

    def produce():
        mine = [queue.enqueue(b"m") for _ in range(per_thread)]
        with lock:
            seqs.extend(mine)

    threads = [threading.Thread(target=produce) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(seqs) == list(range(4 * per_thread))
    assert queue.stats()["total"] == 4 * per_thread
    if where == "directory":
        assert tollivane.TollivaneCore(str(tmp_path)).stats()["total"] == 4 * per_thread
