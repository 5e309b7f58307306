"""The figures of `tollivane stats --prometheus`: the counters, the depths
and the age of the oldest ready message of one queue, in the Prometheus text
exposition format, made by the prometheus_client library (the optional
`prometheus` extra). Each sample carries the queue directory as its `queue`
label, so that the files of several queues can sit side by side in a node
exporter's text-file collector directory."""

from __future__ import annotations

from typing import Any, Iterator, Mapping, Optional

from .queuedir import CliError

# stats() key, metric name, type, help. Counters end in _total, as the
# format wants; a purge starts them again at 0, which rate() takes as a reset.
METRICS = (
    ("ready", "tollivane_ready_messages", "gauge", "Messages ready for delivery."),
    ("in_flight", "tollivane_in_flight_messages", "gauge", "Leased messages not yet settled."),
    ("total", "tollivane_messages", "gauge", "Live messages: ready, leased, scheduled or buried."),
    ("enqueued_total", "tollivane_enqueued_total", "counter", "Messages enqueued."),
    ("acked_total", "tollivane_acked_total", "counter", "Messages acknowledged."),
    ("requeued_total", "tollivane_requeued_total", "counter", "Messages handed back or whose lease ran out."),
    ("dead_total", "tollivane_dead_total", "counter", "Messages dropped as dead."),
    ("next_seq", "tollivane_next_seq", "gauge", "The sequence id the next message gets."),
    ("live_bytes", "tollivane_live_bytes", "gauge", "Log bytes the live messages take."),
    ("log_bytes", "tollivane_log_bytes", "gauge", "Length of the valid log."),
    ("generation", "tollivane_generation", "gauge", "Generation of the log, raised by every compaction and purge."),
    ("scheduled", "tollivane_scheduled_messages", "gauge", "Messages enqueued with a delay, waiting for their time."),
    ("buried", "tollivane_buried_messages", "gauge", "Messages kept aside as dead until kicked."),
)
OLDEST_READY_AGE = "tollivane_oldest_ready_age_seconds"
INSTALL_HINT = "--prometheus needs the prometheus_client package: install tollivane with its extra, pip install '.[prometheus]'"


def check_available() -> None:
    """Refuses at once, before the log is read, where the library is missing."""
    try:
        import prometheus_client  # noqa: F401
    except ImportError:
        raise CliError(INSTALL_HINT) from None


def prometheus_text(queue: str, stats: Mapping[str, Any], oldest_ready_ts_ms: Optional[int], now_ms: int) -> str:
    """The exposition of one queue's figures. The age of the oldest ready
    message is 0 when nothing is ready (nothing waits), and never below 0
    when the clock went back since it was enqueued."""
    from prometheus_client import CollectorRegistry, generate_latest
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
    from prometheus_client.metrics_core import Metric

    age_s = 0.0 if oldest_ready_ts_ms is None else max(now_ms - oldest_ready_ts_ms, 0) / 1000

    class Figures:
        """A collector of the figures taken once, as a text file holds them."""

        def collect(self) -> Iterator[Metric]:
            family: Any
            for key, name, kind, help_text in METRICS:
                family = (CounterMetricFamily if kind == "counter" else GaugeMetricFamily)(name, help_text,
                                                                                          labels=["queue"])
                family.add_metric([queue], stats[key])
                yield family
            family = GaugeMetricFamily(OLDEST_READY_AGE, "How long the ready message that has waited longest has "
                                       "been in the queue (0 when none is ready).", labels=["queue"])
            family.add_metric([queue], age_s)
            yield family

    registry = CollectorRegistry(auto_describe=False)
    registry.register(Figures())
    return generate_latest(registry).decode("utf-8")
