"""The type stubs shipped for the extension: they match what the module
really exposes, and a type checker finds them in the installed package and
catches misuse through them."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

# Names that exist for type checkers only: stubtest looks for every stub name
# at run time, but type aliases cannot be marked as type-check-only.
TYPE_ONLY_ALIASES = ["tollivane.Body", "tollivane.Delivery"]

USAGE = """
    from pathlib import Path
    from typing import Optional

    from typing_extensions import assert_type

    import tollivane
    from tollivane import Delivery, IntegrityReport, Stats, TollivaneCore

    def drain(queue: TollivaneCore) -> list[bytes]:
        bodies: list[bytes] = []
        while (delivery := queue.dequeue(lease_ms=5_000)) is not None:
            seq, body, deliveries, enqueued_ts_ms = delivery
            if deliveries > 3:
                queue.nack(seq, requeue=False)
            else:
                bodies.append(body)
                queue.ack(seq)
        return bodies

    queue = TollivaneCore("/var/lib/jobs", sync_interval_ms=100)
    assert_type(queue.enqueue(bytearray(b"x")), int)
    assert_type(queue.enqueue_batch([b"a", [98, 99], memoryview(b"d")]), list[int])
    assert_type(queue.dequeue_batch(10), list[Delivery])
    assert_type(queue.dequeue_wait(1000, lease_ms=5_000), Optional[Delivery])
    assert_type(queue.dequeue_batch_wait(10, timeout_ms=1000), list[Delivery])
    assert_type(queue.ack_batch(range(3)), int)
    assert_type(queue.extend_lease(0), bool)
    assert_type(queue.enqueue_batch_delayed([b"a"], delay_ms=30_000), list[int])
    assert_type(queue.retry(0, 30_000, deliveries=2), bool)
    assert_type(queue.kick_all() + queue.scheduled() + queue.buried(), int)
    stats: Stats = queue.stats()
    assert_type(stats["persistent"], bool)
    report: IntegrityReport = queue.verify_integrity()
    assert_type(report["message"], str)
    assert_type(tollivane.__version__, str)
    with TollivaneCore(Path("/var/lib/jobs")) as scoped:
        assert_type(scoped, TollivaneCore)
    scoped.close()

    queue.enqueue("text")  # type: ignore[arg-type]
    queue.nack(0, requeue=1)  # type: ignore[arg-type]
    queue.dequeue()[1]  # type: ignore[index]
    queue.dequeue_wait()  # type: ignore[call-arg]
    queue.ack_delivery(0)  # type: ignore[call-arg]
    stats["ready"] + ""  # type: ignore[operator]
    report["bogus"]  # type: ignore[typeddict-item]
    queue.ack_batch({1, 2})  # type: ignore[arg-type]
    TollivaneCore()  # type: ignore[call-arg]
    TollivaneCore(b"/var/lib/jobs")  # type: ignore[arg-type]
"""


def run_mypy_tool(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def test_stubs_match_the_extension_module(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(TYPE_ONLY_ALIASES) + "\n")
    result = run_mypy_tool(["mypy.stubtest", "tollivane", "--allowlist", str(allowlist),
                            "--mypy-config-file", str(tmp_path / "none.ini")], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_uses_the_installed_stubs_to_catch_misuse(tmp_path):
    # Run outside the source tree, so only the installed package is found.
    (tmp_path / "usage.py").write_text(textwrap.dedent(USAGE))
    result = run_mypy_tool(["mypy", "--strict", "--warn-unused-ignores", "--no-incremental",
                            "usage.py"], cwd=tmp_path)
    # Each ignore comment above must be needed: the stubs reject that line.
    assert result.returncode == 0, result.stdout + result.stderr


POSTGRES_USAGE = """
    from typing import Optional

    from typing_extensions import assert_type

    from tollivane import Delivery, IntegrityReport, Stats
    from tollivane_postgres import PostgresQueue

    with PostgresQueue("postgresql:///jobs", name="mail", sync_interval_ms=0) as queue:
        assert_type(queue.enqueue(b"x"), int)
        assert_type(queue.enqueue_batch([b"a", [98], bytearray(b"c")]), list[int])
        assert_type(queue.dequeue(), Optional[Delivery])
        assert_type(queue.dequeue_wait(1000, lease_ms=5_000), Optional[Delivery])
        assert_type(queue.dequeue_batch_wait(10, 1000), list[Delivery])
        assert_type(queue.nack(0, requeue=False), bool)
        assert_type(queue.oldest_ready_ts_ms(), Optional[int])
        assert_type(queue.enqueue_delayed(b"x", 1000) + queue.kick_all(), int)
        assert_type(queue.extend_delivery(0, 1, lease_ms=5_000), bool)
        stats: Stats = queue.stats()
        report: IntegrityReport = queue.verify_integrity()
        assert_type(report["ok"], bool)

        queue.enqueue("text")  # type: ignore[arg-type]
        queue.nack(0, requeue=1)  # type: ignore[arg-type]
        queue.dequeue_wait()  # type: ignore[call-arg]
        queue.bury(0, deliveries="1")  # type: ignore[arg-type]
        stats["ready"] + ""  # type: ignore[operator]
    PostgresQueue(5)  # type: ignore[arg-type]
"""


def test_postgres_queue_is_typed_strictly_and_catches_misuse(tmp_path):
    pytest.importorskip("psycopg")
    (tmp_path / "usage.py").write_text(textwrap.dedent(POSTGRES_USAGE))
    # The package's own code passes the strict checks too.
    package = Path(__file__).parents[2] / "python" / "tollivane_postgres"
    result = run_mypy_tool(["mypy", "--strict", "--warn-unused-ignores", "--no-incremental", "usage.py",
                            str(package)], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
