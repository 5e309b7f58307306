"""A log cut behind a queue object's back (by hand, or by another program)
must never be read through the object's old memory map: a read past the new
end of a mapped file kills the process with SIGBUS. The object runs in a
child process, so that such a crash fails the test instead of killing it."""

import subprocess
import sys
import textwrap

import pytest

from conftest import ENQUEUE_OVERHEAD, LONG_LEASE_MS, log_path, read_frames

BODY_LEN = 200_000  # dozens of pages, so a cut leaves whole pages unbacked

CHILD = textwrap.dedent(f"""
    import os, sys
    from tollivane import TollivaneCore
    directory, cut = sys.argv[1], int(sys.argv[2])
    q = TollivaneCore(directory)
    bodies = [bytes([n]) * {BODY_LEN} for n in range(3)]
    q.enqueue_batch(bodies)
    # Leasing maps the whole log; the nack keeps every message ready.
    assert q.dequeue({LONG_LEASE_MS})[0] == 0 and q.nack(0)
    mapped_len = os.path.getsize(os.path.join(directory, "queue.log"))
    if cut >= 0:
        os.truncate(os.path.join(directory, "queue.log"), cut)
    delivered = q.dequeue_batch(10, {LONG_LEASE_MS})
    print([(seq, body == bodies[seq], deliveries) for seq, body, deliveries, _ in delivered])
    print(q.stats()["log_bytes"], mapped_len)
""")


def enqueue_starts(directory):
    return [offset for offset, payload in read_frames(log_path(directory).read_bytes()) if payload[0] == 1]


@pytest.fixture(scope="module")
def frame_starts(tmp_path_factory):
    """Where the three Enqueue frames start, from a run that cuts nothing."""
    directory = tmp_path_factory.mktemp("layout")
    result = subprocess.run([sys.executable, "-c", CHILD, str(directory), "-1"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return enqueue_starts(directory)


@pytest.mark.parametrize("where, survivors", [
    ("inside-body-1", [0]),
    ("inside-body-0", []),
    ("at-frame-1", [0]),
    ("inside-header", []),
])
def test_cut_below_a_mapped_body_reloads_without_a_crash(tmp_path, frame_starts, where, survivors):
    cut = {
        "inside-body-1": frame_starts[1] + ENQUEUE_OVERHEAD + BODY_LEN // 2,
        "inside-body-0": frame_starts[0] + ENQUEUE_OVERHEAD + BODY_LEN // 2,
        "at-frame-1": frame_starts[1],
        "inside-header": 10,
    }[where]
    result = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path), str(cut)],
                            capture_output=True, text=True)
    assert result.returncode == 0, f"child died with {result.returncode}: {result.stderr}"
    delivered, sizes = result.stdout.splitlines()
    # The state is rebuilt from what is left: every surviving message comes
    # back whole, delivered for the first time (its lease record was cut).
    assert eval(delivered) == [(seq, True, 1) for seq in survivors]
    log_bytes, mapped_len = map(int, sizes.split())
    assert log_bytes == log_path(tmp_path).stat().st_size < mapped_len
    torn = cut not in (10, frame_starts[1])
    start = frame_starts[0] if where == "inside-body-0" else frame_starts[1]
    assert result.stderr == (
        f"Tollivane: truncating corrupt log tail at byte {start} (truncated record payload)\n" if torn else "")
