"""Celery end to end on tollivane, on kombu's file-system transport and on
Redis (a private redis-server with AOF), at comparable durability: tasks
per second published by one producer, and tasks per second through a
running worker (prefork, its default concurrency, acks_late) while the
producer publishes them. Prints a table; checks nothing.

    python bench/bench_celery.py [--tasks N] [--runs R] [--quick]

bench/run_celery.sh installs what it needs (redis-server, celery, redis)."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


@contextlib.contextmanager
def redis_server(workdir: Path, appendfsync: str):
    """A redis-server of our own on a Unix socket, AOF on, snapshots off."""
    socket_path = workdir / "redis.sock"
    server = subprocess.Popen(["redis-server", "--port", "0", "--unixsocket", str(socket_path), "--dir", str(workdir),
                               "--appendonly", "yes", "--appendfsync", appendfsync, "--save", ""],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        give_up = time.monotonic() + 30
        while not socket_path.exists():
            if time.monotonic() > give_up or server.poll() is not None:
                raise RuntimeError("redis-server did not start")
            time.sleep(0.05)
        yield f"redis+socket://{socket_path}", {}
    finally:
        server.terminate()
        server.wait()


@contextlib.contextmanager
def tollivane_directory(workdir: Path, sync_interval_ms: int):
    yield f"tollivane://{workdir}/broker", {"sync_interval_ms": sync_interval_ms}


@contextlib.contextmanager
def kombu_filesystem(workdir: Path):
    folder = workdir / "messages"
    folder.mkdir()
    yield "filesystem://", {"data_folder_in": str(folder), "data_folder_out": str(folder),
                            "control_folder": str(workdir / "control")}


# (label, durability, broker factory)
BROKERS = [
    ("tollivane directory, sync_interval_ms=0", "fsync per call", lambda w: tollivane_directory(w, 0)),
    ("Redis, appendfsync always", "fsync per call", lambda w: redis_server(w, "always")),
    ("tollivane directory, sync_interval_ms=1000", "fsync once a second", lambda w: tollivane_directory(w, 1000)),
    ("Redis, appendfsync everysec", "fsync once a second", lambda w: redis_server(w, "everysec")),
    ("kombu file-system transport", "never fsyncs; removes a task before it is acked", kombu_filesystem),
]


def done(counter: Path) -> int:
    try:
        return counter.stat().st_size
    except FileNotFoundError:
        return 0


def wait_until(condition, limit_s: float, what: str) -> None:
    give_up = time.monotonic() + limit_s
    while not condition():
        if time.monotonic() > give_up:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.005)


def one_run(factory, tasks: int) -> tuple[float, float]:
    """(published per second, done per second end to end) for one broker."""
    workdir = Path(tempfile.mkdtemp(prefix="tollivane-celery-bench-"))
    counter = workdir / "done"
    try:
        with factory(workdir) as (url, options):
            environment = dict(os.environ, BENCH_BROKER_URL=url, BENCH_TRANSPORT_OPTIONS=json.dumps(options),
                               BENCH_COUNTER=str(counter), PYTHONPATH=str(HERE))
            os.environ.update({k: environment[k] for k in ("BENCH_BROKER_URL", "BENCH_TRANSPORT_OPTIONS",
                                                           "BENCH_COUNTER")})
            sys.modules.pop("celery_bench_app", None)
            sys.path.insert(0, str(HERE))
            import celery_bench_app

            worker = subprocess.Popen([sys.executable, "-m", "celery", "-A", "celery_bench_app", "worker",
                                       "--loglevel=WARNING", "--without-mingle", "--without-gossip"],
                                      cwd=HERE, env=environment, stdout=subprocess.DEVNULL,
                                      stderr=open(workdir / "worker.log", "w"), start_new_session=True)
            try:
                tick = celery_bench_app.tick
                tick.delay()  # the worker is up once this one is done
                wait_until(lambda: done(counter) == 1, 120, "the worker to start")
                started = time.perf_counter()
                for _ in range(tasks):
                    tick.delay()
                published = time.perf_counter()
                wait_until(lambda: done(counter) == tasks + 1, 600, "the tasks")
                finished = time.perf_counter()
            finally:
                worker.terminate()
                try:
                    worker.wait(60)
                except subprocess.TimeoutExpired:
                    os.killpg(worker.pid, signal.SIGKILL)
                    worker.wait()
                celery_bench_app.app.close()
        return tasks / (published - started), tasks / (finished - started)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tasks", type=int, default=2000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="one run of 200 tasks per broker")
    args = parser.parse_args()
    tasks, runs = (200, 1) if args.quick else (args.tasks, args.runs)
    print(f"{tasks} tasks per run, median of {runs} run(s); load before: {os.getloadavg()[0]:.2f}")
    print(f"| broker | durability | published/s | done/s end to end |\n|---|---|---:|---:|")
    for label, durability, factory in BROKERS:
        if "Redis" in label and shutil.which("redis-server") is None:
            print(f"| {label} | {durability} | skipped: no redis-server | |")
            continue
        results = [one_run(factory, tasks) for _ in range(runs)]
        publish = statistics.median(r[0] for r in results)
        through = statistics.median(r[1] for r in results)
        print(f"| {label} | {durability} | {publish:,.0f} | {through:,.0f} |", flush=True)
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
