"""The kombu transport: a virtual channel whose messages are leased from
tollivane queues and leave them only when kombu acknowledges them."""

from __future__ import annotations

import socket
import threading
from queue import Empty
from time import monotonic
from typing import Any, NamedTuple

import tollivane
from kombu.exceptions import ChannelError
from kombu.log import get_logger
from kombu.transport import virtual
from kombu.utils.json import dumps, loads
from kombu.utils.uuid import uuid

from tollivane_kombu._delays import delay_ms
from tollivane_kombu._leases import LeaseRenewal
from tollivane_kombu._queues import open_queues
from tollivane_kombu._waiting import Waiter

logger = get_logger(__name__)

# A short lease, renewed in the background every third of it: a dead
# worker's tasks come back within one lease, a live worker keeps them.
DEFAULT_LEASE_MS = 30_000
# At most this many messages are leased in one call (one sync).
DEFAULT_MAX_BATCH = 100
ACK, REQUEUE, BURY = "ack", "requeue", "bury"

W_LOST = ("Delivery %d of message %d in queue %r is no longer this worker's (its lease ran out and it was "
          "delivered again, or it was settled meanwhile): %s it was not done, and it stays with its new holder")
W_UNREADABLE = "Message %d in queue %r is no kombu message (%s): buried, for an operator to look at"


class Held(NamedTuple):
    """One delivery a channel holds: settling it names the delivery, so it
    acts only while the message was not delivered again."""
    queue: Any
    name: str
    seq: int
    deliveries: int


class QoS(virtual.QoS):
    """kombu's prefetch accounting, with acknowledgements and rejections
    settled in the queue: ack removes the message, reject with requeue
    hands it back at once, reject without requeue buries it."""

    def ack(self, delivery_tag: str) -> None:
        super().ack(delivery_tag)
        self.channel.settle(delivery_tag, ACK)

    def reject(self, delivery_tag: str, requeue: bool = False) -> None:
        # Not the base class's reject, which would publish a copy.
        self._quick_ack(delivery_tag)
        self.channel.settle(delivery_tag, REQUEUE if requeue else BURY)

    def restore_unacked(self) -> list[tuple[BaseException, Any]]:
        """Hands every unacknowledged delivery back to its queue at once (a
        closing channel, a worker's warm shutdown), instead of letting it
        wait for its lease to run out."""
        self._flush()
        errors = []
        while self._delivered:
            tag, message = self._delivered.popitem()
            try:
                self.channel.settle(tag, REQUEUE)
            except Exception as error:
                errors.append((error, message))
        return errors


class Channel(virtual.Channel):
    QoS = QoS
    # Bindings live in each process's memory, so a fanout exchange would
    # reach only the queues bound in the publishing process.
    supports_fanout = False

    def __init__(self, connection: Transport, **kwargs: Any) -> None:
        super().__init__(connection, **kwargs)
        self._held: dict[str, Held] = {}
        self._held_lock = threading.Lock()
        self._no_ack_queues: set[str] = set()
        # Set while a drain found the channel full; an acknowledgement then
        # wakes the drain.
        self.starved = False

    def _queue(self, name: str) -> Any:
        return self.connection.queues.get(name)

    # -- producing ---------------------------------------------------------

    def _put(self, queue: str, message: dict[str, Any], **kwargs: Any) -> None:
        body = dumps(message).encode()
        delay = delay_ms(message)
        if delay:
            self._queue(queue).enqueue_delayed(body, delay)
        else:
            self._queue(queue).enqueue(body)

    def _lookup(self, exchange: str, routing_key: str, default: str | None = None) -> list[str]:
        # The virtual transport drops a message that no queue is bound for;
        # a publish that would lose its message fails instead.
        queues = super()._lookup(exchange, routing_key, default)
        if not queues:
            raise ChannelError(f"no queue is bound to exchange {exchange!r} with routing key {routing_key!r} in "
                               "this process, so the message was not sent: declare the queue (declare=[queue]) "
                               "before publishing")
        return queues

    # -- consuming ---------------------------------------------------------

    def lease(self, name: str, count: int, no_ack: bool | None = None) -> list[dict[str, Any]]:
        """Leases up to `count` messages of queue `name` and returns their
        payloads, each with a delivery tag of its own and the delivery count
        in `delivery_info`; held until settled, unless `no_ack`."""
        queue = self._queue(name)
        if no_ack is None:
            no_ack = name in self._no_ack_queues
        payloads = []
        for seq, body, deliveries, _ in queue.dequeue_batch(count, self.connection.lease_ms):
            payload = self._received(queue, name, seq, body, deliveries, no_ack)
            if payload is not None:
                payloads.append(payload)
        return payloads

    def _received(self, queue: Any, name: str, seq: int, body: bytes, deliveries: int,
                  no_ack: bool) -> dict[str, Any] | None:
        try:
            payload = loads(body)
            properties = payload["properties"]
            info = properties.setdefault("delivery_info", {})
        except (ValueError, TypeError, KeyError, AttributeError) as error:
            logger.error(W_UNREADABLE, seq, name, error)
            queue.bury(seq, deliveries=deliveries)
            return None
        tag = properties["delivery_tag"] = uuid()
        info["deliveries"] = deliveries
        info["redelivered"] = deliveries > 1
        if no_ack:
            queue.ack_delivery(seq, deliveries)
        else:
            with self._held_lock:
                self._held[tag] = Held(queue, name, seq, deliveries)
            self.connection.leases.start()
        return payload

    def _get(self, queue: str, timeout: float | None = None) -> dict[str, Any]:
        payloads = self.lease(queue, 1)
        if not payloads:
            raise Empty()
        return payloads[0]

    def basic_get(self, queue: str, no_ack: bool = False, **kwargs: Any) -> Any:
        payloads = self.lease(queue, 1, no_ack)
        if not payloads:
            return None
        message = self.Message(payloads[0], channel=self)
        if not no_ack:
            self.qos.append(message, message.delivery_tag)
        return message

    def basic_consume(self, queue: str, no_ack: bool, callback: Any, consumer_tag: str, **kwargs: Any) -> Any:
        if no_ack:
            self._no_ack_queues.add(queue)
        return super().basic_consume(queue, no_ack, callback, consumer_tag, **kwargs)

    def basic_cancel(self, consumer_tag: str) -> Any:
        queue = self._tag_to_queue.get(consumer_tag)
        result = super().basic_cancel(consumer_tag)
        self._no_ack_queues.discard(queue)
        return result

    # -- settling ------------------------------------------------------------

    def settle(self, tag: str, how: str) -> None:
        """Settles the delivery `tag` names, only while it is still this
        channel's: a worker whose lease ran out cannot settle the delivery
        another worker holds."""
        with self._held_lock:
            held = self._held.pop(tag, None)
        try:
            if held is None:
                return  # no_ack, or given up by the renewal already
            if how == ACK:
                done = held.queue.ack_delivery(held.seq, held.deliveries)
            elif how == REQUEUE:
                done = held.queue.retry(held.seq, 0, deliveries=held.deliveries)
            else:
                done = held.queue.bury(held.seq, deliveries=held.deliveries)
            if not done:
                logger.warning(W_LOST, held.deliveries, held.seq, held.name, how)
        finally:
            if self.starved:
                self.connection.wake()

    def unsettle(self, payloads: list[dict[str, Any]]) -> None:
        """Hands back leased payloads that never reached a consumer."""
        for payload in payloads:
            self.settle(payload["properties"]["delivery_tag"], REQUEUE)

    def renew_leases(self) -> None:
        """Extends the lease of every delivery held, from the renewal thread;
        one that is no longer this channel's is let go."""
        with self._held_lock:
            held = list(self._held.items())
        for tag, delivery in held:
            try:
                renewed = delivery.queue.extend_delivery(delivery.seq, delivery.deliveries, self.connection.lease_ms)
            except Exception:
                # The next round tries again (a PostgreSQL server restarting,
                # say); the lease has two thirds of its length left.
                logger.exception("Renewing the lease of message %d in queue %r failed", delivery.seq, delivery.name)
                continue
            if not renewed:
                logger.warning(W_LOST, delivery.deliveries, delivery.seq, delivery.name, "renewing")
                with self._held_lock:
                    self._held.pop(tag, None)

    # -- sizes -----------------------------------------------------------------

    def _new_queue(self, queue: str, **kwargs: Any) -> None:
        self._queue(queue)

    def _size(self, queue: str) -> int:
        """Messages waiting for delivery: ready, or scheduled for later.
        Neither those in flight nor buried ones count."""
        q = self._queue(queue)
        stats = q.stats()
        return stats["total"] - stats["in_flight"] - q.buried()

    def _purge(self, queue: str) -> int:
        """Removes the ready messages, and only them, and returns how many:
        each is leased and acknowledged, so one a consumer leased meanwhile
        is that consumer's, never both. Scheduled, in-flight and buried
        messages stay."""
        q = self._queue(queue)
        purged = 0
        while batch := q.dequeue_batch(1000, self.connection.lease_ms):
            purged += q.ack_batch([seq for seq, _, _, _ in batch])
        return purged


class Transport(virtual.Transport):
    """Queues in tollivane: `tollivane:///path/to/broker` or
    `tollivane+postgresql://...`. Transport options: `lease_ms` (30000),
    `renew_ms` (a third of the lease), `sync_interval_ms` (the queue's: 0
    syncs every call), `max_batch` (100)."""

    Channel = Channel
    driver_type = "tollivane"
    driver_name = "tollivane"
    default_port = None
    implements = virtual.Transport.implements.extend(
        asynchronous=False, exchange_type=frozenset(["direct", "topic"]), heartbeats=False)
    # A lost PostgreSQL connection and a failed disk call raise OSError; the
    # next call connects again.
    connection_errors = virtual.Transport.connection_errors + (OSError,)

    def __init__(self, client: Any, **kwargs: Any) -> None:
        super().__init__(client, **kwargs)
        options = client.transport_options
        self.lease_ms = int(options.get("lease_ms", DEFAULT_LEASE_MS))
        self.max_batch = int(options.get("max_batch", DEFAULT_MAX_BATCH))
        if self.lease_ms <= 0 or self.max_batch <= 0:
            raise ValueError("lease_ms and max_batch must be positive")
        queue_options = {"default_lease_ms": self.lease_ms}
        if options.get("sync_interval_ms") is not None:
            queue_options["sync_interval_ms"] = int(options["sync_interval_ms"])
        self.queues = open_queues(client.hostname, client.virtual_host, queue_options)
        self.leases = LeaseRenewal(lambda: self.channels, int(options.get("renew_ms", self.lease_ms // 3)) / 1000)
        self._waiter: Waiter | None = None
        self._turn = 0

    def driver_version(self) -> str:
        return tollivane.__version__

    @property
    def waiter(self) -> Waiter:
        if self._waiter is None:
            self._waiter = Waiter()
        return self._waiter

    def wake(self) -> None:
        if self._waiter is not None:
            self._waiter.wake()

    def drain_events(self, connection: Any, timeout: float | None = None) -> None:
        """Delivers the messages of one lease (at most the room prefetch
        leaves), sleeping until there are some; raises socket.timeout after
        `timeout` seconds without any."""
        give_up = None if timeout is None else monotonic() + timeout
        while True:
            consumable = self._deliver_some()
            if consumable is None:
                return
            remaining = None if give_up is None else give_up - monotonic()
            if remaining is not None and remaining <= 0:
                raise socket.timeout()
            self.waiter.wait(consumable, remaining)

    def _rotated(self, items: list[Any]) -> list[Any]:
        # Each drain starts one place further, so no queue or channel starves.
        start = self._turn % len(items) if items else 0
        return items[start:] + items[:start]

    def _deliver_some(self) -> dict[str, Any] | None:
        """Leases and delivers one batch from the first consumable queue that
        has messages; returns None then, otherwise the queues to sleep on."""
        waiter = self.waiter
        waiter.take_wakeups()
        self._turn += 1
        consumable = {}
        for channel in self._rotated(self.channels):
            if not channel._consumers:
                continue
            channel.starved = True
            room = channel.qos.can_consume_max_estimate()
            if room == 0:
                continue
            channel.starved = False
            count = self.max_batch if room is None else min(room, self.max_batch)
            for name in self._rotated(list(channel._active_queues)):
                queue = self.queues.get(name)
                consumable[name] = queue
                if waiter.is_idle(name):
                    continue
                payloads = channel.lease(name, count)
                if not payloads:
                    # Armed before the last look, so what arrives after it
                    # ends the sleep.
                    waiter.arm(name, queue)
                    payloads = channel.lease(name, count)
                if payloads:
                    self._deliver_all(channel, name, payloads)
                    return None
                waiter.set_idle(name)
        return consumable

    def _deliver_all(self, channel: Channel, name: str, payloads: list[dict[str, Any]]) -> None:
        for index, payload in enumerate(payloads):
            try:
                self._deliver(payload, name)
            except BaseException:
                channel.unsettle(payloads[index + 1:])
                raise

    def close_connection(self, connection: Any) -> None:
        try:
            super().close_connection(connection)
        finally:
            self.leases.stop()
            if self._waiter is not None:
                self._waiter.close()
                self._waiter = None
            self.queues.close()
