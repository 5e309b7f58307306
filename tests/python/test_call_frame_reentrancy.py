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
    results = []

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
        results.append(queue.available())

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
    gc.set_threshold(700)
    inside_call.set()
    worker.join()
    print("provoked" if results.count(1) >= 2 else "not provoked", results[-1])
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


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the collector runs between bytecodes from 3.12 on")
@pytest.mark.skipif(sys.version_info < (3, 11), reason="before 3.11 the young garbage is collected at "
                    "an allocation before stats(), never at the stats dict")
def test_finalizer_calling_back_into_the_queue_gets_runtime_error_not_a_deadlock():
    queue = tollivane.TollivaneCore(":memory:")
    queue.enqueue(b"payload")
    outcomes = []

    class CallsBack:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            try:
                outcomes.append(("returned", queue.available()))
            except RuntimeError as error:
                outcomes.append(("refused", str(error)))

    _collect_inside_stats(queue, CallsBack, attempts=20)

    refusals = [text for kind, text in outcomes if kind == "refused"]
    assert refusals, f"the collector never ran inside a call: {outcomes}"
    assert all("re-entrantly" in text for text in refusals)
    # The refused inner call changed nothing and the object stays usable.
    assert queue.available() == 1
    assert queue.dequeue()[1] == b"payload"


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the collector runs between bytecodes from 3.12 on")
def test_thread_waiting_for_a_busy_queue_releases_the_interpreter_lock():
    # Run in a child so that a deadlock fails the test instead of hanging it.
    try:
        finished = subprocess.run(
            [sys.executable, "-c", CALLBACK_SCRIPT], capture_output=True, text=True, timeout=60
        )
    except subprocess.TimeoutExpired:
        pytest.fail("a thread waiting for the queue's mutex deadlocked the thread holding it")
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.split() == ["provoked", "1"]


def test_calls_from_many_threads_are_serialised():
    queue = tollivane.TollivaneCore(":memory:")
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
