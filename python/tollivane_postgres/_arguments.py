"""Argument conversion with the rules and error texts of the directory queue,
so that code written against one backend fails the same way on the other.
Everything is converted before the server is asked anything: a refused
argument leaves no trace."""

from __future__ import annotations

import operator
import struct
from collections.abc import Callable, Iterable
from typing import TypeVar

U64_MAX = 2**64 - 1
SIZE_MAX = 2 ** (8 * struct.calcsize("N")) - 1
# A body the directory queue refuses (its record would exceed 536870912
# bytes) is refused here too, so a message can move between the backends.
MAX_BODY_LEN = 536870912 - 21
OUT_OF_RANGE = "out of range integral type conversion attempted"

Item = TypeVar("Item")


class _Refused(TypeError):
    """A conversion's own TypeError, before the argument's name is put in front."""


def _refuse(value: object, target: str) -> _Refused:
    return _Refused(f"'{type(value).__name__}' object cannot be converted to '{target}'")


def named(name: str, convert: Callable[[object], Item], value: object) -> Item:
    """`convert(value)`, with a TypeError renamed to "argument '{name}': ...";
    the new error keeps the cause of the original and nothing else."""
    try:
        return convert(value)
    except TypeError as error:
        raise TypeError(f"argument '{name}': {error}") from error.__cause__


def _as_int(value: object) -> int:
    # operator.index raises the interpreter's own TypeError for a non-integer.
    return value if isinstance(value, int) else operator.index(value)  # type: ignore[arg-type]


def u64(value: object) -> int:
    number = _as_int(value)
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number > U64_MAX:
        raise OverflowError("int too big to convert")
    return number


def optional_u64(value: object) -> int | None:
    return None if value is None else u64(value)


def size(value: object) -> int:
    number = u64(value)
    if number > SIZE_MAX:
        raise OverflowError(OUT_OF_RANGE)
    return number


def _byte(value: object) -> int:
    number = _as_int(value)
    if not 0 <= number <= 255:
        raise OverflowError(OUT_OF_RANGE)
    return number


def _sequence_items(value: object) -> Iterable[object]:
    """The items of a sequence argument: a str and anything that is not a
    sequence (no item access, or a mapping) are refused."""
    if isinstance(value, str):
        raise _Refused("Can't extract `str` to `Vec`")
    if not hasattr(type(value), "__getitem__") or isinstance(value, dict):
        raise _refuse(value, "Sequence")
    return value  # type: ignore[return-value]


def body(value: object) -> bytes:
    if type(value) is bytes:
        data = value
    elif type(value) is bytearray or (type(value) is memoryview and value.format == "B" and value.ndim == 1):
        data = bytes(value)
    else:
        data = bytes(_byte(item) for item in _sequence_items(value))
    if len(data) > MAX_BODY_LEN:
        raise ValueError(f"message body of {len(data)} bytes is too large: a record holds at most "
                         f"{MAX_BODY_LEN + 21} bytes, so a body at most {MAX_BODY_LEN}")
    return data


def bodies(value: object) -> list[bytes]:
    return [body(item) for item in _sequence_items(value)]


def seqs(value: object) -> list[int]:
    return [u64(item) for item in _sequence_items(value)]


def _numpy_bool(value: object) -> bool:
    kind = type(value)
    convert = getattr(kind, "__bool__", None)
    if convert is None:
        raise _Refused(f"object of type '{kind}' does not define a '__bool__' conversion")
    result = convert(value)
    if type(result) is not bool:
        raise _refuse(result, "PyBool")
    return result


def flag(value: object) -> bool:
    if type(value) is bool:
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) == "numpy" and getattr(kind, "__name__", None) in ("bool_", "bool"):
        return _numpy_bool(value)
    raise _refuse(value, "PyBool")


def text(value: object) -> str:
    if not isinstance(value, str):
        raise _refuse(value, "PyString")
    return value
