"""The Python-visible shape of the module: attributes, the class, its method
table, how calls are bound to parameters, and the installed package around
it (version, licence, exported symbols)."""

import importlib.metadata
import inspect
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import tollivane
from tollivane import TollivaneCore

from conftest import MEMORY

pytestmark = pytest.mark.quick

# (name, text signature, doc after the signature). CPython splits the stored
# doc at the "--" line; an empty remainder reads back as None.
METHOD_TABLE = [
    ("enqueue", "($self, body)",
     "Append a message; returns its monotonic sequence id (the ack/nack handle)."),
    ("enqueue_batch", "($self, bodies)",
     "Append many messages under a single lock + single fsync. Returns the\n"
     "assigned sequence ids in order."),
    ("dequeue", "($self, lease_ms=None)",
     "Lease the next ready message for `lease_ms` (or the queue default).\n"
     "Returns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty.\n"
     "Expired in-flight leases are reclaimed first, so a consumer that crashed\n"
     "without acking has its messages redelivered."),
    ("dequeue_batch", "($self, max, lease_ms=None)",
     "Lease up to `max` ready messages at once."),
    ("ack", "($self, seq)",
     "Acknowledge (permanently remove) a message. Returns whether it existed."),
    ("ack_batch", "($self, seqs)", None),
    ("nack", "($self, seq, requeue=True)",
     "Negative-acknowledge. `requeue=true` returns the message to the ready set\n"
     "for redelivery; `requeue=false` drops it (dead-letters). Returns whether\n"
     "it existed."),
    ("extend_lease", "($self, seq, lease_ms=None)",
     "Renew the lease on an in-flight message without redelivering it."),
    ("available", "($self)", "Number of messages ready for immediate delivery."),
    ("in_flight", "($self)", "Number of leased (in-flight, not-yet-acked) messages."),
    ("stats", "($self)", None),
    ("flush", "($self)", "Force a flush + fsync of any buffered records."),
    ("compact", "($self)",
     "Rewrite the log keeping only live messages, reclaiming acked space."),
    ("purge", "($self)",
     "Remove every message and reset the log (a fresh generation so other\n"
     "processes reload)."),
    ("verify_integrity", "($self)",
     "Re-read the whole log, CRC-verifying every record. Returns a report dict\n"
     "`{ok, records, bytes, message}`. Does not mutate state."),
]

# What came after the fifteen and closing: the waiting dequeues, the scan,
# then scheduled messages, retries, buried messages and guarded settles.
JOB_METHODS = [
    ("enqueue_delayed", "($self, body, delay_ms)"),
    ("enqueue_batch_delayed", "($self, bodies, delay_ms)"),
    ("retry", "($self, seq, delay_ms, deliveries=None)"),
    ("bury", "($self, seq, deliveries=None)"),
    ("kick", "($self, seq)"),
    ("kick_all", "($self)"),
    ("ack_delivery", "($self, seq, deliveries)"),
    ("extend_delivery", "($self, seq, deliveries, lease_ms=None)"),
    ("scheduled", "($self)"),
    ("buried", "($self)"),
]

NO_ARGUMENT_METHODS = [name for name, signature, _ in METHOD_TABLE + [(*m, None) for m in JOB_METHODS]
                       if signature == "($self)"]


def test_module_exposes_version_and_the_class_only():
    assert tollivane.__version__ == "0.1.0"
    assert isinstance(TollivaneCore, type)
    assert not hasattr(TollivaneCore, "__version__")
    assert not tollivane.__doc__
    # Besides the interpreter's own module dunders: the class, then the version.
    added = [name for name in vars(tollivane)
             if not name.startswith("_") or name == "__version__"]
    assert added == ["TollivaneCore", "__version__"]


def test_version_is_the_package_metadata_version():
    assert tollivane.__version__ == importlib.metadata.version("tollivane") == "0.1.0"


def test_installed_package_ships_the_mit_licence():
    licences = [f for f in importlib.metadata.distribution("tollivane").files or []
                if f.name == "LICENSE"]
    assert len(licences) == 1
    text = licences[0].read_text()
    assert text.startswith("MIT License") and "Copyright (c) 2026 the tollivane developers" in text


def test_extension_exports_only_its_entry_point():
    if shutil.which("nm") is None:
        pytest.skip("needs nm (binutils) to read the dynamic symbol table")
    listing = subprocess.run(["nm", "-D", "--defined-only", tollivane.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_tollivane"]


def test_readme_quick_start_runs_in_a_directory_of_the_user(tmp_path, monkeypatch):
    readme = Path(__file__).resolve().parents[2] / "README.md"
    quick_start = re.search(r"^```python\n(.*?)^```", readme.read_text(), re.S | re.M).group(1)
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(quick_start, namespace)
    stats = namespace["queue"].stats()
    assert (stats["enqueued_total"], stats["acked_total"], stats["ready"]) == (3, 1, 2)
    # A relative path: the queue lands where the user is, no root needed.
    assert [path.name for path in tmp_path.iterdir()] == ["jobs-queue"]


def test_class_text_signature_describes_the_constructor():
    assert TollivaneCore.__text_signature__ == (
        "(path, sync_interval_ms=None, default_lease_ms=None, auto_compact_bytes=None)")
    assert not TollivaneCore.__doc__
    assert list(inspect.signature(TollivaneCore).parameters) == [
        "path", "sync_interval_ms", "default_lease_ms", "auto_compact_bytes"]


def test_methods_appear_in_table_order():
    methods = [name for name in vars(TollivaneCore) if not name.startswith("_")]
    # The fifteen methods of a queue, closing, the waiting dequeues, the
    # read-only scan of a directory, monitoring, then what a consumer
    # waiting in an event loop needs, the jobs methods, then the consumer's
    # combined step.
    assert methods == [name for name, _, _ in METHOD_TABLE] + ["close", "dequeue_wait", "dequeue_batch_wait",
                                                               "scan_log", "oldest_ready_ts_ms", "watch_changes",
                                                               "next_due_ms"] + [name for name, _ in JOB_METHODS] + [
                                                                   "ack_and_dequeue"]
    for name, signature in JOB_METHODS:
        assert vars(TollivaneCore)[name].__text_signature__ == signature
    assert isinstance(vars(TollivaneCore)["scan_log"], staticmethod)
    assert TollivaneCore.scan_log.__text_signature__ == "(path, body_prefix=0)"


def test_closing_methods_come_after_the_fifteen():
    method_type = type(vars(TollivaneCore)["enqueue"])
    methods = [name for name, value in vars(TollivaneCore).items() if type(value) is method_type]
    assert methods[len(METHOD_TABLE):] == ["close", "__enter__", "__exit__", "dequeue_wait", "dequeue_batch_wait",
                                           "oldest_ready_ts_ms", "watch_changes", "next_due_ms",
                                           *(name for name, _ in JOB_METHODS), "ack_and_dequeue", "_nowait",
                                           "__reduce_ex__"]
    assert TollivaneCore.close.__text_signature__ == "($self)"
    assert TollivaneCore.__enter__.__text_signature__ == "($self)"
    assert TollivaneCore.__exit__.__text_signature__ == "($self, exc_type, exc_value, traceback, /)"


@pytest.mark.parametrize("name, signature, doc", METHOD_TABLE, ids=[m[0] for m in METHOD_TABLE])
def test_method_signature_and_doc(name, signature, doc):
    method = vars(TollivaneCore)[name]
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def unannotated_signature(method):
    signature = inspect.signature(method)
    parameters = [parameter.replace(annotation=parameter.empty) for parameter in signature.parameters.values()]
    return str(signature.replace(parameters=parameters, return_annotation=signature.empty))


@pytest.mark.both_backends
def test_bound_methods_expose_usable_signatures(queue):
    assert unannotated_signature(queue.nack) == "(seq, requeue=True)"
    assert unannotated_signature(queue.dequeue_batch) == "(max, lease_ms=None)"
    assert unannotated_signature(queue.dequeue_wait) == "(timeout_ms, lease_ms=None)"
    assert unannotated_signature(queue.dequeue_batch_wait) == "(max, timeout_ms, lease_ms=None)"
    assert unannotated_signature(queue.ack_and_dequeue) == "(seq, deliveries=None, lease_ms=None)"
    for name, signature in JOB_METHODS:
        assert unannotated_signature(getattr(queue, name)) == signature.replace("$self, ", "").replace("$self", "")


@pytest.mark.both_backends
@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
def test_no_argument_methods_refuse_arguments(queue, name):
    method = getattr(queue, name)
    with pytest.raises(TypeError):
        method(1)
    with pytest.raises(TypeError):
        method(None)
    with pytest.raises(TypeError):
        method(x=1)


@pytest.mark.both_backends
def test_keyword_arguments_bind_like_positional_ones(queue):
    assert queue.enqueue(body=b"a") == 0
    assert queue.enqueue_batch(bodies=[b"b", b"c", b"d", b"e", b"f"]) == [1, 2, 3, 4, 5]
    assert queue.ack(seq=5) is True
    assert queue.ack(5) is False
    assert queue.dequeue(lease_ms=60_000)[0] == 0
    assert [d[0] for d in queue.dequeue_batch(max=2, lease_ms=60_000)] == [1, 2]
    assert queue.extend_lease(seq=1, lease_ms=60_000) is True
    assert queue.nack(seq=1, requeue=False) is True
    assert queue.ack_batch(seqs=[2, 3]) == 2
    assert queue.ack_and_dequeue(seq=4, deliveries=0, lease_ms=60_000) == (True, None)
    assert queue.stats()["acked_total"] == 4
    assert queue.stats()["dead_total"] == 1


@pytest.mark.both_backends
@pytest.mark.parametrize("call", [
    lambda q: q.ack(),
    lambda q: q.ack(1, seq=1),
    lambda q: q.ack(sequence=1),
    lambda q: q.enqueue(b"a", b"b"),
    lambda q: q.enqueue_batch(),
    lambda q: q.dequeue(lease=5),
    lambda q: q.dequeue_batch(lease_ms=5),
    lambda q: q.nack(0, True, True),
    lambda q: q.extend_lease(lease_ms=5),
    lambda q: q.dequeue_wait(),
    lambda q: q.dequeue_batch_wait(1),
    lambda q: q.dequeue_batch_wait(1, 0, 5, 5),
    lambda q: q.ack_and_dequeue(),
    lambda q: q.ack_and_dequeue(0, 1, 2, 3),
    lambda q: q.ack_and_dequeue(0, lease=5),
    lambda q: TollivaneCore(),
    lambda q: TollivaneCore(MEMORY, path=MEMORY),
    lambda q: TollivaneCore(MEMORY, bogus=1),
    lambda q: TollivaneCore(MEMORY, None, None, None, None),
])
def test_missing_duplicate_or_unexpected_arguments_raise_type_error(loaded_queue, call):
    before = loaded_queue.stats()
    with pytest.raises(TypeError):
        call(loaded_queue)
    assert loaded_queue.stats() == before


def test_constructor_accepts_keywords_and_every_u64_option():
    q = TollivaneCore(path=MEMORY, sync_interval_ms=0, default_lease_ms=0, auto_compact_bytes=0)
    assert q.stats()["persistent"] is False
    top = 2**64 - 1
    assert TollivaneCore(MEMORY, top, top, top).enqueue(b"x") == 0
    assert TollivaneCore(MEMORY, None, None, None).available() == 0


def test_memory_queue_touches_no_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    q = TollivaneCore(MEMORY)
    q.enqueue_batch([b"a", b"b"])
    seq = q.dequeue()[0]
    q.ack(seq)
    q.nack(1, requeue=False)
    q.flush()
    q.compact()
    q.purge()
    q.verify_integrity()
    del q
    assert os.listdir(tmp_path) == []


def test_two_memory_queues_are_independent():
    first, second = TollivaneCore(MEMORY), TollivaneCore(MEMORY)
    assert first.enqueue(b"first") == 0
    assert first.enqueue(b"again") == 1
    assert second.enqueue(b"second") == 0
    assert second.dequeue()[1] == b"second"
    assert first.available() == 2
    assert first.ack(0) is True
    assert second.in_flight() == 1
    assert second.stats()["acked_total"] == 0


def test_only_the_exact_memory_path_stays_in_memory(tmp_path):
    # A directory that happens to be called ":memory:" is a directory.
    queue = TollivaneCore(str(tmp_path / ":memory:"))
    assert queue.stats()["persistent"] is True
    assert (tmp_path / ":memory:" / "queue.log").exists()


@pytest.mark.parametrize("path", [5, None, b":memory:"])
def test_path_must_be_a_string(path):
    with pytest.raises(TypeError) as info:
        TollivaneCore(path)
    assert str(info.value).startswith("argument 'path': ")


# Every call a closed object must refuse, including the shortcuts that take
# no lock (empty batches, the fixed report of a queue without a log).
CALLS_AFTER_CLOSE = [
    lambda q: q.enqueue(b"x"),
    lambda q: q.enqueue_batch([b"x"]),
    lambda q: q.enqueue_batch([]),
    lambda q: q.dequeue(),
    lambda q: q.dequeue_batch(1),
    lambda q: q.ack(0),
    lambda q: q.ack_batch([0]),
    lambda q: q.ack_batch([]),
    lambda q: q.nack(0),
    lambda q: q.extend_lease(0),
    lambda q: q.available(),
    lambda q: q.in_flight(),
    lambda q: q.stats(),
    lambda q: q.flush(),
    lambda q: q.compact(),
    lambda q: q.purge(),
    lambda q: q.verify_integrity(),
    lambda q: q.__enter__(),
    lambda q: q.dequeue_wait(0),
    lambda q: q.dequeue_batch_wait(1, 60_000),
    lambda q: q.watch_changes(),
    lambda q: q.next_due_ms(),
    lambda q: q._nowait(q.enqueue, b"x"),
    lambda q: q.enqueue_batch_delayed([], 1),
]


@pytest.mark.parametrize("persistent", [False, True], ids=["memory", "directory"])
def test_every_call_after_close_raises_value_error(tmp_path, persistent):
    q = TollivaneCore(str(tmp_path / "q") if persistent else MEMORY, sync_interval_ms=3_600_000)
    q.enqueue(b"kept")
    assert q.close() is None
    assert q.close() is None
    for call in CALLS_AFTER_CLOSE:
        with pytest.raises(ValueError, match=r"^I/O operation on closed queue\.$"):
            call(q)
    # Arguments are still converted first, before the object is looked at.
    with pytest.raises(TypeError):
        q.enqueue("text")
    q.__exit__(None, None, None)
    del q
    if persistent:
        assert TollivaneCore(str(tmp_path / "q")).dequeue()[1] == b"kept"


def test_with_block_returns_the_queue_closes_it_and_lets_exceptions_through():
    with TollivaneCore(MEMORY) as q:
        assert isinstance(q, TollivaneCore)
        q.enqueue(b"x")
    with pytest.raises(ValueError):
        q.available()
    with pytest.raises(KeyError):
        with TollivaneCore(MEMORY) as q:
            raise KeyError("from the block")
    with pytest.raises(ValueError):
        q.available()
