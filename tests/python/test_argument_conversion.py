"""How Python arguments become native values, and the exact errors when they
cannot. A refused argument must leave the queue exactly as it was."""

import os
from pathlib import Path

import pytest

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS, MEMORY

pytestmark = [pytest.mark.quick, pytest.mark.both_backends]

# The wheels for 32-bit ARM are tested without numpy, which has no wheels
# there; the stand-in types below still check the same path.
try:
    import numpy
except ImportError:
    numpy = None
needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")

RANGE_TEXT = "out of range integral type conversion attempted"


class Index:
    """Not an int, but converts to one through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingLength:
    """A sequence whose length disagrees with what iterating it yields."""

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise AssertionError("items must be read by iterating")

    def __iter__(self):
        return iter([104, 105, 33])


def fake_numpy_bool(**namespace):
    """A type that passes for numpy's boolean scalar by module and name."""
    return type("bool_", (), {"__module__": "numpy", **namespace})


def snapshot(queue):
    return queue.stats(), queue.in_flight()


def test_u64_parameters_accept_index_objects(queue, fresh_queue):
    queue.enqueue_batch([b"a", b"b", b"c"])
    assert queue.dequeue(lease_ms=Index(LONG_LEASE_MS))[0] == 0
    assert [d[0] for d in queue.dequeue_batch(Index(1), Index(LONG_LEASE_MS))] == [1]
    assert queue.extend_lease(Index(1), lease_ms=Index(LONG_LEASE_MS)) is True
    assert queue.ack(Index(0)) is True
    assert queue.nack(Index(1), requeue=False) is True
    assert queue.ack_batch([Index(2), Index(7)]) == 1
    assert queue.ack(2**64 - 1) is False
    assert queue.enqueue_delayed(b"d", Index(0)) == 3
    assert queue.dequeue(Index(LONG_LEASE_MS))[0] == 3
    assert queue.extend_delivery(Index(3), Index(1), Index(LONG_LEASE_MS)) is True
    assert queue.retry(Index(3), Index(LONG_LEASE_MS), deliveries=Index(1)) is True
    assert queue.bury(Index(3), deliveries=Index(1)) is True and queue.kick(Index(3)) is True
    assert queue.ack_delivery(Index(3), Index(1)) is True
    queue.enqueue(b"d")
    assert queue.ack_and_dequeue(Index(9), Index(0), Index(LONG_LEASE_MS))[1][0] == 4
    q = fresh_queue(sync_interval_ms=Index(0), default_lease_ms=Index(0))
    q.enqueue(b"x")
    q.dequeue()
    # The default lease of 0 came through __index__: the first lease is over.
    assert q.dequeue()[2] == 2


@pytest.mark.parametrize("call, message", [
    (lambda q: q.ack(-1), None),
    (lambda q: q.ack(2**64), None),
    (lambda q: q.nack(Index(-3)), None),
    (lambda q: q.extend_lease(0, lease_ms=-1), None),
    (lambda q: q.dequeue(lease_ms=2**64), None),
    (lambda q: q.dequeue_batch(2**64), None),
    (lambda q: q.dequeue_batch(-1, lease_ms="x"), None),  # max is converted first
    (lambda q: q.dequeue_wait(-1), None),
    (lambda q: q.dequeue_batch_wait(2**64, "x"), None),  # max, then timeout_ms, then lease_ms
    (lambda q: q.dequeue_batch_wait(1, 0, lease_ms=-5), None),
    (lambda q: q.ack_batch([1, -1]), None),
    (lambda q: q.ack_and_dequeue(1, deliveries=2**64), None),
    (lambda q: q.ack_and_dequeue(-1, lease_ms="x"), None),  # seq, then deliveries, then lease_ms
    (lambda q: q.enqueue_delayed(b"x", -1), None),
    (lambda q: q.enqueue_batch_delayed([b"x"], 2**64), None),
    (lambda q: q.retry(0, 2**64), None),
    (lambda q: q.retry(0, 0, deliveries=-1), None),
    (lambda q: q.bury(0, deliveries=2**64), None),
    (lambda q: q.ack_delivery(0, -1), None),
    (lambda q: q.extend_delivery(0, 1, lease_ms=-1), None),
    (lambda q: q.enqueue([1, 256]), RANGE_TEXT),
    (lambda q: q.enqueue((255, -1)), RANGE_TEXT),
    (lambda q: q.enqueue_batch([b"ok", [300]]), RANGE_TEXT),
    # Far beyond a C long, the text stays the same.
    (lambda q: q.enqueue([2**70]), RANGE_TEXT),
    (lambda q: q.enqueue([-(2**70)]), RANGE_TEXT),
])
def test_out_of_range_integers_raise_overflow_without_argument_name(loaded_queue, call, message):
    before = snapshot(loaded_queue)
    with pytest.raises(OverflowError) as info:
        call(loaded_queue)
    assert "argument '" not in str(info.value)
    if message is not None:
        assert str(info.value) == message
    assert snapshot(loaded_queue) == before


@pytest.mark.parametrize("call, name", [
    (lambda q: q.ack(1.0), "seq"),
    (lambda q: q.nack("1"), "seq"),
    (lambda q: q.extend_lease(None), "seq"),
    (lambda q: q.extend_lease(0, lease_ms=1.5), "lease_ms"),
    (lambda q: q.dequeue(lease_ms="10"), "lease_ms"),
    (lambda q: q.dequeue_batch(None), "max"),
    (lambda q: q.ack_batch([0, 1.0]), "seqs"),
    (lambda q: q.enqueue([104, 1.5]), "body"),
    (lambda q: q.enqueue_batch([b"a", [None]]), "bodies"),
    # Parameters convert in order, so the first bad one is reported.
    (lambda q: q.nack("x", requeue=None), "seq"),
    (lambda q: q.dequeue_batch("x", lease_ms="y"), "max"),
    (lambda q: q.dequeue_wait(0.5), "timeout_ms"),
    (lambda q: q.dequeue_wait(None, lease_ms="y"), "timeout_ms"),
    (lambda q: q.dequeue_batch_wait(1, "x", lease_ms="y"), "timeout_ms"),
    (lambda q: q.ack_and_dequeue(1, deliveries="1", lease_ms="y"), "deliveries"),
    (lambda q: q.ack_and_dequeue(1, lease_ms=0.5), "lease_ms"),
    (lambda q: q.enqueue_delayed(b"x", 1.5), "delay_ms"),
    (lambda q: q.enqueue_delayed("x", "y"), "body"),
    (lambda q: q.enqueue_batch_delayed([b"x"], None), "delay_ms"),
    (lambda q: q.retry(0, "10"), "delay_ms"),
    (lambda q: q.retry(0, 10, deliveries=1.0), "deliveries"),
    (lambda q: q.bury(None), "seq"),
    (lambda q: q.kick("0"), "seq"),
    (lambda q: q.ack_delivery(0, None), "deliveries"),
    (lambda q: q.extend_delivery(0, "1", lease_ms="y"), "deliveries"),
])
def test_wrong_type_raises_type_error_naming_the_argument(loaded_queue, call, name):
    before = snapshot(loaded_queue)
    with pytest.raises(TypeError) as info:
        call(loaded_queue)
    assert str(info.value).startswith(f"argument '{name}': ")
    assert info.value.__cause__ is None
    assert snapshot(loaded_queue) == before


@pytest.mark.parametrize("call, message", [
    (lambda q: q.enqueue("hi"), "argument 'body': Can't extract `str` to `Vec`"),
    (lambda q: q.enqueue(type("Text", (str,), {})("hi")),
     "argument 'body': Can't extract `str` to `Vec`"),
    (lambda q: q.enqueue(5), "argument 'body': 'int' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue({1}), "argument 'body': 'set' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue_batch([b"a", "b"]), "argument 'bodies': Can't extract `str` to `Vec`"),
    # bytes is a sequence of ints, and an int is not a body.
    (lambda q: q.enqueue_batch(b"ab"),
     "argument 'bodies': 'int' object cannot be converted to 'Sequence'"),
    (lambda q: q.ack_batch("01"), "argument 'seqs': Can't extract `str` to `Vec`"),
    (lambda q: q.ack_batch(3), "argument 'seqs': 'int' object cannot be converted to 'Sequence'"),
])
def test_sequence_conversion_error_texts(loaded_queue, call, message):
    before = snapshot(loaded_queue)
    with pytest.raises(TypeError) as info:
        call(loaded_queue)
    assert str(info.value) == message
    assert snapshot(loaded_queue) == before


def test_failed_batch_conversion_enqueues_nothing(queue):
    for bad in ([b"a", "b"], [b"a", [256]], [b"a", b"b", 7]):
        with pytest.raises((TypeError, OverflowError)):
            queue.enqueue_batch(bad)
    stats = queue.stats()
    assert (stats["total"], stats["enqueued_total"], stats["next_seq"]) == (0, 0, 0)
    assert queue.enqueue(b"first") == 0


def test_type_error_keeps_the_cause_of_the_conversion_error(queue):
    original_cause = KeyError("lookup")

    class BrokenIndex:
        def __index__(self):
            raise TypeError("no integer here") from original_cause

    with pytest.raises(TypeError) as info:
        queue.ack(BrokenIndex())
    assert str(info.value) == "argument 'seq': no integer here"
    assert info.value.__cause__ is original_cause


def test_other_conversion_errors_pass_through_unchanged(loaded_queue):
    class Exploding:
        def __index__(self):
            raise ValueError("boom")

        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ValueError, match="^boom$"):
        loaded_queue.dequeue(lease_ms=Exploding())
    with pytest.raises(ZeroDivisionError, match="^no truth$"):
        loaded_queue.nack(0, requeue=fake_numpy_bool(__bool__=Exploding.__bool__)())
    assert loaded_queue.in_flight() == 1


@pytest.mark.parametrize("body", [
    b"hi!", bytearray(b"hi!"), [104, 105, 33], (104, 105, 33), memoryview(b"hi!"),
    [Index(104), Index(105), 33], LyingLength(),
], ids=["bytes", "bytearray", "list", "tuple", "memoryview", "index-items", "lying-length"])
def test_body_sequences_are_stored_as_the_same_bytes(queue, body):
    assert queue.enqueue(body) == 0
    delivered = queue.dequeue()[1]
    assert type(delivered) is bytes and delivered == b"hi!"
    assert queue.stats()["live_bytes"] == 3 + 33


@pytest.mark.parametrize("flag, requeued", [
    (True, True), (False, False),
    pytest.param(getattr(numpy, "True_", None), True, marks=needs_numpy, id="numpy.True_"),
    pytest.param(getattr(numpy, "False_", None), False, marks=needs_numpy, id="numpy.False_"),
    (fake_numpy_bool(__bool__=lambda self: True)(), True),
    (fake_numpy_bool(__bool__=lambda self: False)(), False),
])
def test_requeue_accepts_bools_and_numpy_bools(queue, flag, requeued):
    queue.enqueue(b"m")
    queue.dequeue(LONG_LEASE_MS)
    assert queue.nack(0, requeue=flag) is True
    stats = queue.stats()
    assert (stats["ready"], stats["requeued_total"], stats["dead_total"]) == (
        (1, 1, 0) if requeued else (0, 0, 1))


@pytest.mark.parametrize("flag, type_name", [
    (None, "NoneType"), (1, "int"), (0, "int"), ("yes", "str"), (1.0, "float"),
    # The truth conversion is reserved for numpy's own module.
    (type("bool_", (), {"__module__": "notnumpy", "__bool__": lambda s: True})(), "bool_"),
    # A numpy-like bool whose conversion yields a non-bool is refused too.
    (fake_numpy_bool(__bool__=lambda self: 1)(), "int"),
])
def test_requeue_refuses_non_bools(loaded_queue, flag, type_name):
    before = snapshot(loaded_queue)
    with pytest.raises(TypeError) as info:
        loaded_queue.nack(0, requeue=flag)
    assert str(info.value) == (
        f"argument 'requeue': '{type_name}' object cannot be converted to 'PyBool'")
    assert snapshot(loaded_queue) == before


def test_numpy_like_bool_without_truth_conversion_is_refused(loaded_queue):
    without_bool = fake_numpy_bool()
    with pytest.raises(TypeError) as info:
        loaded_queue.nack(0, requeue=without_bool())
    assert str(info.value) == (
        f"argument 'requeue': object of type '{without_bool}' "
        "does not define a '__bool__' conversion")
    assert loaded_queue.in_flight() == 1


@pytest.mark.parametrize("args, kwargs, error, name", [
    ((MEMORY,), {"sync_interval_ms": -1}, OverflowError, None),
    ((MEMORY,), {"default_lease_ms": 2**64}, OverflowError, None),
    ((MEMORY,), {"auto_compact_bytes": -5}, OverflowError, None),
    ((MEMORY,), {"default_lease_ms": "x"}, TypeError, "default_lease_ms"),
    ((MEMORY,), {"auto_compact_bytes": b"1"}, TypeError, "auto_compact_bytes"),
    ((MEMORY,), {"sync_interval_ms": 1.5, "default_lease_ms": "b"}, TypeError, "sync_interval_ms"),
    ((5,), {"default_lease_ms": "x"}, TypeError, "path"),
])
def test_constructor_option_conversion_errors(args, kwargs, error, name):
    with pytest.raises(error) as info:
        TollivaneCore(*args, **kwargs)
    if name is None:
        assert "argument '" not in str(info.value)
    else:
        assert str(info.value).startswith(f"argument '{name}': ")


class FsPath:
    """A path-like object that is not a pathlib path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_path_may_be_any_path_like_object_giving_str(tmp_path, monkeypatch):
    assert TollivaneCore(tmp_path / "pathlib").enqueue(b"x") == 0
    assert TollivaneCore(FsPath(str(tmp_path / "custom"))).stats()["persistent"] is True
    assert sorted(os.listdir(tmp_path / "pathlib")) == [".proc_hints", ".proc_lock", "queue.log"]
    assert TollivaneCore(str(tmp_path / "pathlib")).available() == 1
    # The in-memory rule compares the string the object gives.
    monkeypatch.chdir(tmp_path)
    assert TollivaneCore(Path(MEMORY)).stats()["persistent"] is False
    assert TollivaneCore(FsPath(MEMORY)).stats()["persistent"] is False
    assert not os.path.exists(tmp_path / MEMORY)


@pytest.mark.parametrize("path, type_name", [
    (b"/tmp/q", "bytes"),
    (FsPath(b"/tmp/q"), "FsPath"),
    (bytearray(b"/tmp/q"), "bytearray"),
    (5, "int"),
    (None, "NoneType"),
])
def test_path_refusals_keep_their_texts(path, type_name):
    with pytest.raises(TypeError) as info:
        TollivaneCore(path)
    assert str(info.value) == f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"


def test_errors_of_fspath_itself_pass_on():
    class Failing:
        def __fspath__(self):
            raise ZeroDivisionError("no path today")

    with pytest.raises(ZeroDivisionError):
        TollivaneCore(Failing())
    with pytest.raises(TypeError, match=r"^argument 'path': expected FsPath\.__fspath__\(\) to return str"):
        TollivaneCore(FsPath(5))
