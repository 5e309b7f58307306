"""How long a published message waits in the queue before it may be
delivered: Celery writes the moment a countdown or ETA task is due in the
message's `eta` header (protocol 2, ISO 8601), and the transport turns that
into a delayed enqueue, so that the task waits in the queue instead of in a
worker's memory."""

from __future__ import annotations

import math
import time
from datetime import datetime
from typing import Any, Mapping


def delay_ms(message: Mapping[str, Any], now_s: float | None = None) -> int:
    """Milliseconds from now until the message's `eta`, 0 when it is due or
    carries none. An eta without a time zone (or one that does not parse)
    names no moment this process can place, so such a message is delivered
    at once and the worker waits for it as Celery always did."""
    headers = message.get("headers") or {}
    eta = headers.get("eta")
    if not isinstance(eta, str):
        return 0
    try:
        when = datetime.fromisoformat(eta)
    except ValueError:
        return 0
    if when.tzinfo is None:
        return 0
    now = time.time() if now_s is None else now_s
    # Rounded up: delivered a millisecond late rather than early, so the
    # worker never holds the task waiting for its eta.
    return max(0, math.ceil((when.timestamp() - now) * 1000))
