"""A kombu transport over tollivane, so that Celery (or any kombu program)
keeps its tasks in a tollivane queue: `tollivane:///path/to/broker` for a
directory per queue name under one base directory, and
`tollivane+postgresql://...` for queues in PostgreSQL (the `postgres`
extra). docs/celery.md says what it does and how to start a worker.

kombu finds transports by URL scheme in a table of its own and has no entry
points for them, so importing this package registers the scheme;
`broker_transport="tollivane_kombu:Transport"` names the class directly."""

from kombu.transport import TRANSPORT_ALIASES

from tollivane_kombu.transport import Channel, QoS, Transport

TRANSPORT_ALIASES["tollivane"] = "tollivane_kombu.transport:Transport"

__all__ = ["Channel", "QoS", "Transport"]
