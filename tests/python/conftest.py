import pytest

import tollivane

MEMORY = ":memory:"

# A lease long enough that no test run outlives it, so wall-clock time never
# reclaims a message behind a test's back.
LONG_LEASE_MS = 3_600_000


@pytest.fixture
def queue():
    """A fresh in-memory queue with the default options."""
    return tollivane.TollivaneCore(MEMORY)


@pytest.fixture
def loaded_queue(queue):
    """An in-memory queue holding three ready messages (ids 0..2) and one
    leased message (id 0 is leased, 1 and 2 stay ready)."""
    queue.enqueue_batch([b"zero", b"one", b"two"])
    delivery = queue.dequeue(LONG_LEASE_MS)
    assert delivery[0] == 0
    return queue
