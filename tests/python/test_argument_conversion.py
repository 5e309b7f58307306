"""How Python arguments become native values, and the exact errors when they
cannot. Every refused argument must leave the queue exactly as it was."""

import numpy
import pytest
from hypothesis import given, strategies as st

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS, MEMORY

U64_MAX = 2**64 - 1


class Index:
    """An object that is not an int but converts to one through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingLength:
    """A sequence whose reported length disagrees with what iterating yields;
    the items must come from iteration."""

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise AssertionError("items must be read by iterating")

    def __iter__(self):
        return iter([104, 105, 33])


def fake_numpy_bool(**namespace):
    """A type that claims to be numpy's boolean scalar."""
    return type("bool_", (), {"__module__": "numpy", **namespace})


def snapshot(queue):
    return queue.stats(), queue.in_flight()


# -- unsigned 64-bit integers ------------------------------------------------

def test_u64_parameters_accept_index_objects(queue):
    queue.enqueue_batch([b"a", b"b", b"c"])
    assert queue.dequeue(lease_ms=Index(LONG_LEASE_MS))[0] == 0
    assert [d[0] for d in queue.dequeue_batch(Index(1), lease_ms=Index(LONG_LEASE_MS))] == [1]
    assert queue.extend_lease(Index(1), lease_ms=Index(LONG_LEASE_MS)) is True
    assert queue.ack(Index(0)) is True
    assert queue.nack(Index(1), requeue=False) is True
    assert queue.ack_batch([Index(2), Index(7)]) == 1
    assert queue.ack(U64_MAX) is False
    q = TollivaneCore(MEMORY, Index(0), Index(0), Index(0))
    q.enqueue(b"x")
    # default_lease_ms of 0 came through __index__: the lease is already over.
    q.dequeue()
    assert q.dequeue()[2] == 2


OUT_OF_RANGE_CALLS = [
    ("ack(-1)", lambda q: q.ack(-1)),
    ("ack(2**64)", lambda q: q.ack(2**64)),
    ("nack(-1)", lambda q: q.nack(-1)),
    ("extend_lease(-1)", lambda q: q.extend_lease(-1)),
    ("extend_lease lease -1", lambda q: q.extend_lease(0, lease_ms=-1)),
    ("dequeue lease -1", lambda q: q.dequeue(lease_ms=-1)),
    ("dequeue lease 2**64", lambda q: q.dequeue(lease_ms=2**64)),
    ("dequeue_batch(-1)", lambda q: q.dequeue_batch(-1)),
    ("dequeue_batch(2**64)", lambda q: q.dequeue_batch(2**64)),
    ("dequeue_batch lease 2**64", lambda q: q.dequeue_batch(1, 2**64)),
    ("ack_batch negative item", lambda q: q.ack_batch([1, -1])),
    ("ack_batch huge item", lambda q: q.ack_batch([2**64])),
    ("index object below zero", lambda q: q.ack(Index(-3))),
    ("body item 256", lambda q: q.enqueue([1, 256])),
    ("body item -1", lambda q: q.enqueue([-1])),
    ("batch body item 300", lambda q: q.enqueue_batch([b"ok", [300]])),
    # max is converted before lease_ms, so its overflow wins.
    ("dequeue_batch max before lease", lambda q: q.dequeue_batch(-1, lease_ms="x")),
]


@pytest.mark.parametrize("call", [c for _, c in OUT_OF_RANGE_CALLS],
                         ids=[name for name, _ in OUT_OF_RANGE_CALLS])
def test_out_of_range_integers_raise_unnamed_overflow_error(loaded_queue, call):
    before = snapshot(loaded_queue)
    with pytest.raises(OverflowError) as info:
        call(loaded_queue)
    assert type(info.value) is OverflowError
    assert "argument '" not in str(info.value)
    assert snapshot(loaded_queue) == before


@pytest.mark.parametrize("body", [[1, 256], [255, -1], (0, 1000)])
def test_body_item_out_of_byte_range_message(queue, body):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        queue.enqueue(body)


@pytest.mark.parametrize("call, name", [
    (lambda q: q.ack(1.0), "seq"),
    (lambda q: q.ack("1"), "seq"),
    (lambda q: q.nack(1.5), "seq"),
    (lambda q: q.extend_lease(None), "seq"),
    (lambda q: q.extend_lease(0, lease_ms=1.5), "lease_ms"),
    (lambda q: q.dequeue(lease_ms="10"), "lease_ms"),
    (lambda q: q.dequeue_batch(1.0), "max"),
    (lambda q: q.dequeue_batch(None), "max"),
    (lambda q: q.dequeue_batch(1, lease_ms=b"1"), "lease_ms"),
    (lambda q: q.ack_batch([0, 1.0]), "seqs"),
    (lambda q: q.enqueue([104, 1.5]), "body"),
    (lambda q: q.enqueue_batch([b"a", [None]]), "bodies"),
    # Conversion runs in parameter order: the first bad one is reported.
    (lambda q: q.nack("x", requeue=None), "seq"),
    (lambda q: q.dequeue_batch("x", lease_ms="y"), "max"),
    (lambda q: q.extend_lease(0.5, lease_ms=-1), "seq"),
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
    (lambda q: q.enqueue(None),
     "argument 'body': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue({1, 2}), "argument 'body': 'set' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue_batch("ab"), "argument 'bodies': Can't extract `str` to `Vec`"),
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


def test_failed_ack_batch_conversion_acknowledges_nothing(queue):
    queue.enqueue_batch([b"a", b"b"])
    with pytest.raises(TypeError):
        queue.ack_batch([0, 1, "2"])
    assert queue.stats()["acked_total"] == 0
    assert queue.available() == 2


def test_type_error_keeps_the_cause_of_the_conversion_error(queue):
    original_cause = KeyError("lookup")

    class BrokenIndex:
        def __index__(self):
            raise TypeError("no integer here") from original_cause

    with pytest.raises(TypeError) as info:
        queue.ack(BrokenIndex())
    assert str(info.value) == "argument 'seq': no integer here"
    assert info.value.__cause__ is original_cause


def test_non_type_errors_from_index_pass_through_unchanged(queue):
    class Exploding:
        def __index__(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="^boom$"):
        queue.ack(Exploding())
    with pytest.raises(ValueError, match="^boom$"):
        queue.dequeue(lease_ms=Exploding())


# -- byte bodies -------------------------------------------------------------

@pytest.mark.parametrize("body", [
    b"hi!",
    bytearray(b"hi!"),
    [104, 105, 33],
    (104, 105, 33),
    memoryview(b"hi!"),
    [Index(104), Index(105), 33],
    LyingLength(),
], ids=["bytes", "bytearray", "list", "tuple", "memoryview", "index-items", "lying-length"])
def test_body_sequences_are_stored_as_the_same_bytes(queue, body):
    assert queue.enqueue(body) == 0
    delivered = queue.dequeue()[1]
    assert type(delivered) is bytes
    assert delivered == b"hi!"
    assert queue.stats()["live_bytes"] == 3 + 33


@given(st.binary(max_size=64))
def test_any_byte_string_round_trips_in_every_accepted_form(data):
    q = TollivaneCore(MEMORY)
    q.enqueue_batch([data, bytearray(data), list(data), tuple(data), memoryview(data)])
    assert [d[1] for d in q.dequeue_batch(5)] == [data] * 5


# -- the requeue flag --------------------------------------------------------

@pytest.mark.parametrize("flag, requeued", [
    (True, True),
    (False, False),
    (numpy.True_, True),
    (numpy.False_, False),
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
    (None, "NoneType"),
    (1, "int"),
    (0, "int"),
    ("yes", "str"),
    (1.0, "float"),
    ([True], "list"),
])
def test_requeue_refuses_non_bools(loaded_queue, flag, type_name):
    before = snapshot(loaded_queue)
    with pytest.raises(TypeError) as info:
        loaded_queue.nack(0, requeue=flag)
    assert str(info.value) == (
        f"argument 'requeue': '{type_name}' object cannot be converted to 'PyBool'")
    assert snapshot(loaded_queue) == before


def test_numpy_like_bool_must_convert_to_a_real_bool(loaded_queue):
    before = snapshot(loaded_queue)
    returns_int = fake_numpy_bool(__bool__=lambda self: 1)()
    with pytest.raises(TypeError) as info:
        loaded_queue.nack(0, requeue=returns_int)
    assert str(info.value) == "argument 'requeue': 'int' object cannot be converted to 'PyBool'"

    without_bool = fake_numpy_bool()
    with pytest.raises(TypeError) as info:
        loaded_queue.nack(0, requeue=without_bool())
    assert str(info.value) == (
        f"argument 'requeue': object of type '{without_bool}' "
        "does not define a '__bool__' conversion")
    assert snapshot(loaded_queue) == before


def test_numpy_like_bool_errors_other_than_type_error_pass_through(loaded_queue):
    def explode(self):
        raise ZeroDivisionError("bool failed")

    with pytest.raises(ZeroDivisionError, match="^bool failed$"):
        loaded_queue.nack(0, requeue=fake_numpy_bool(__bool__=explode)())
    assert loaded_queue.in_flight() == 1


def test_only_numpy_module_gets_the_truth_conversion(queue):
    impostor = type("bool_", (), {"__module__": "notnumpy", "__bool__": lambda self: True})
    with pytest.raises(TypeError) as info:
        queue.nack(0, requeue=impostor())
    assert str(info.value) == "argument 'requeue': 'bool_' object cannot be converted to 'PyBool'"


# -- constructor options -----------------------------------------------------

@pytest.mark.parametrize("kwargs", [
    {"sync_interval_ms": -1},
    {"default_lease_ms": 2**64},
    {"auto_compact_bytes": -5},
])
def test_constructor_out_of_range_option_raises_overflow(kwargs):
    with pytest.raises(OverflowError) as info:
        TollivaneCore(MEMORY, **kwargs)
    assert "argument '" not in str(info.value)


@pytest.mark.parametrize("kwargs, name", [
    ({"default_lease_ms": "x"}, "default_lease_ms"),
    ({"sync_interval_ms": 1.5}, "sync_interval_ms"),
    ({"auto_compact_bytes": b"1"}, "auto_compact_bytes"),
    # Options are converted in order: the first bad one is named.
    ({"sync_interval_ms": "a", "default_lease_ms": "b"}, "sync_interval_ms"),
])
def test_constructor_wrong_option_type_names_the_option(kwargs, name):
    with pytest.raises(TypeError) as info:
        TollivaneCore(MEMORY, **kwargs)
    assert str(info.value).startswith(f"argument '{name}': ")


def test_constructor_reports_path_before_options():
    with pytest.raises(TypeError) as info:
        TollivaneCore(5, default_lease_ms="x")
    assert str(info.value).startswith("argument 'path': ")
