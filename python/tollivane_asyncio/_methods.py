"""The table of the methods both asyncio queues forward to their queue.

A method of the queue gets its awaitable twin by one entry here (and one in
the stubs, __init__.pyi): `Call()` for a call whose result is handed over as
it is, `Call(leases_one)`, `Call(leases_many)` or `Call(leased_after_ack)`
for one that leases (so that a cancelled caller hands back what it leased),
`Waits(...)` for a call that waits for a message, made of attempts of the
plain call it names.
`quick=True` marks a call that writes at most a record or a few and syncs
only by the policy: on a queue directory it is first tried on the loop
thread, as a call that may not wait (`TollivaneCore._nowait`), and goes to
the worker thread only if it would have waited. Batches, flush, compact,
purge and verify always wait for the disk: never quick.
"""

from __future__ import annotations

import inspect
import operator
from collections.abc import Callable
from typing import Any, Union

import tollivane

Leased = Callable[[Any], "list[int]"]


def leases_one(delivery: Any) -> list[int]:
    """The seq a call returning a delivery or None leased."""
    return [] if delivery is None else [delivery[0]]


def leases_many(deliveries: Any) -> list[int]:
    """The seqs a call returning a list of deliveries leased."""
    return [delivery[0] for delivery in deliveries]


def leased_after_ack(result: Any) -> list[int]:
    """The seq `ack_and_dequeue` leased: the second element of its result."""
    return leases_one(result[1])


def nothing(_: Any) -> list[int]:
    return []


class Call:
    def __init__(self, leased: Leased = nothing, quick: bool = False) -> None:
        self.leased = leased
        self.quick = quick
        self.doc: str | None = None

    def prepare(self, name: str) -> None:
        """Takes what the queue's own method `name` says of itself."""
        self.doc = getattr(tollivane.TollivaneCore, name).__doc__


class Waits(Call):
    """A waiting call: attempts of `attempt` (the call with the same
    arguments less `timeout_ms`), with sleeps between them. `can_lease`
    says whether an attempt with these arguments could ever lease."""

    def __init__(self, attempt: str, leased: Leased,
                 can_lease: Callable[[dict[str, Any]], bool] = lambda arguments: True) -> None:
        super().__init__(leased)
        self.attempt = attempt
        self.can_lease = can_lease
        self._signature = inspect.Signature()

    def prepare(self, name: str) -> None:
        super().prepare(name)
        self.quick = METHODS[self.attempt].quick
        # Bound as the queue binds it, so the same calls are refused.
        signature = inspect.signature(getattr(tollivane.TollivaneCore, name))
        self._signature = signature.replace(parameters=list(signature.parameters.values())[1:])

    def bind(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
        return dict(self._signature.bind(*args, **kwargs).arguments)


Forwarding = Union[Call, Waits]

METHODS: dict[str, Forwarding] = {
    "enqueue": Call(quick=True),
    "enqueue_batch": Call(),
    "dequeue": Call(leases_one, quick=True),
    "dequeue_batch": Call(leases_many),
    "ack": Call(quick=True),
    "ack_batch": Call(),
    "nack": Call(quick=True),
    "extend_lease": Call(quick=True),
    "available": Call(quick=True),
    "in_flight": Call(quick=True),
    "stats": Call(quick=True),
    "flush": Call(),
    "compact": Call(),
    "purge": Call(),
    "verify_integrity": Call(),
    "dequeue_wait": Waits("dequeue", leases_one),
    # A batch of at most none never holds a message: no point waiting.
    "dequeue_batch_wait": Waits("dequeue_batch", leases_many,
                                can_lease=lambda arguments: operator.index(arguments["max"]) > 0),
    "oldest_ready_ts_ms": Call(quick=True),
    "next_due_ms": Call(quick=True),
    "enqueue_delayed": Call(quick=True),
    "enqueue_batch_delayed": Call(),
    "retry": Call(quick=True),
    "bury": Call(quick=True),
    "kick": Call(quick=True),
    "kick_all": Call(),
    "ack_delivery": Call(quick=True),
    "extend_delivery": Call(quick=True),
    "scheduled": Call(quick=True),
    "buried": Call(quick=True),
    "ack_and_dequeue": Call(leased_after_ack, quick=True),
}

for _name, _forwarding in METHODS.items():
    _forwarding.prepare(_name)
