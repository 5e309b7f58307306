"""The `tollivane` command line, run as a separate process against real queue
directories: healthy, damaged, locked by another process, and written to by
another process at the same time."""

import base64
import importlib.metadata
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

import tollivane
from conftest import (LONG_LEASE_MS, enqueue_payload, file_header, frame, lease_payload, log_path, open_queue,
                      skip_under_emulation)
from tollivane_cli.cli import build_parser

MAX_BODY_LEN = 536870891


def cli(*args, stdin=b"", stdout=subprocess.PIPE, timeout=120):
    """The command's result; its standard input is `stdin` (bytes or a file),
    never a terminal."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    return subprocess.run([sys.executable, "-m", "tollivane_cli", *map(str, args)], stdout=stdout,
                          stderr=subprocess.PIPE, timeout=timeout, **feed)


def ok(*args, **kwargs):
    result = cli(*args, **kwargs)
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout.decode()


def one_stderr_line(result, status=2):
    """The single line a command wrote to standard error (by default as an
    error, with exit status 2)."""
    assert result.returncode == status
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tollivane"), lines
    return lines[0]


def queue_stats(directory):
    """What `tollivane stats` prints, as the queue itself reports it."""
    queue = open_queue(directory)
    return {**queue.stats(), "scheduled": queue.scheduled(), "buried": queue.buried()}


def child(code):
    """A Python process running `code`; it prints "ready" once set up."""
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().strip() == "ready"
    return process


@pytest.fixture
def busy_queue(tmp_path):
    """Five messages (0 acknowledged, 1 dropped, 2 leased, 3 leased with an
    expired lease, 4 ready after a nack) and the log's bytes."""
    q = open_queue(tmp_path)
    q.enqueue_batch([b"zero", b"one", b"two\x1b[2J\n", b"three", b"four " * 20])
    q.ack(0)
    q.nack(1, requeue=False)
    for _ in range(3):
        q.dequeue(LONG_LEASE_MS)
    q.nack(4)
    q.extend_lease(3, 0)
    del q
    return tmp_path, log_path(tmp_path).read_bytes()


def test_operating_commands_move_messages_as_the_queue_api_does(tmp_path):
    assert ok("enqueue", tmp_path, "first") == "0\n"
    assert ok("enqueue", tmp_path, "-", stdin=b"\x00binary\xff") == "1\n"
    assert ok("enqueue", tmp_path, stdin=b"third") == "2\n"
    assert ok("dequeue", tmp_path, "--lease-ms", LONG_LEASE_MS).startswith("seq=0 deliveries=1 ")
    for flags, body in ((["--ack"], b"\x00binary\xff"), (["--lease-ms", LONG_LEASE_MS], b"third")):
        raw = cli("dequeue", tmp_path, "--raw", "--seq-file", tmp_path / "seq", *flags)
        assert raw.returncode == 0 and raw.stdout == body
    # The seq of a raw delivery is in the file, ready for a later ack.
    assert (tmp_path / "seq").read_text() == "2\n"
    assert ok("nack", tmp_path, 2) == "requeued 2\n"
    assert ok("nack", tmp_path, 0, "--drop") == "dropped 0\n"
    assert ok("ack", tmp_path, 2) == "acknowledged 2\n"
    # Unknown ids and an empty queue answer "no" with status 1, not an error.
    for args in (("ack", tmp_path, 2), ("nack", tmp_path, 7), ("dequeue", tmp_path)):
        assert one_stderr_line(cli(*args), status=1)
    stats = open_queue(tmp_path).stats()
    assert (stats["total"], stats["acked_total"], stats["dead_total"], stats["requeued_total"]) == (0, 2, 1, 1)


@pytest.mark.parametrize("sink, flags", [
    ("/dev/full", ["--ack", "--raw"]), ("/dev/full", ["--ack"]), ("closed pipe", ["--ack", "--raw"]),
])
def test_dequeue_that_cannot_write_the_message_out_hands_it_back(tmp_path, sink, flags):
    open_queue(tmp_path).enqueue(b"job")
    if sink == "closed pipe":
        reader, output = os.pipe()
        os.close(reader)
    else:
        output = os.open(sink, os.O_WRONLY)
    try:
        result = cli("dequeue", tmp_path, *flags, stdout=output)
    finally:
        os.close(output)
    assert "message 0 was not delivered" in one_stderr_line(result)
    # Handed back at once, never acknowledged; the delivery count tells.
    assert open_queue(tmp_path).dequeue(LONG_LEASE_MS)[:3] == (0, b"job", 2)


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_dequeue_ack_syncs_the_body_to_its_file_before_acknowledging(tmp_path):
    open_queue(tmp_path / "q").enqueue(b"job")
    trace, job = tmp_path / "trace", tmp_path / "job.txt"
    with open(job, "wb") as output:
        subprocess.run(["strace", "-y", "-e", "trace=write,fsync", "-o", trace, sys.executable, "-m",
                        "tollivane_cli", "dequeue", tmp_path / "q", "--ack", "--raw"],
                       stdout=output, check=True, timeout=120)
    names = {str(tmp_path / "q" / "queue.log"): "log", str(job): "output"}
    calls = [(call, names[path]) for call, path in
             re.findall(r"^(write|fsync)\(\d+<([^>]*)>", trace.read_text(), re.MULTILINE) if path in names]
    # The Lease, then the body written and synced, and only then the Ack.
    assert calls[:5] == [("write", "log"), ("fsync", "log"), ("write", "output"), ("fsync", "output"),
                         ("write", "log")]
    assert job.read_bytes() == b"job" and open_queue(tmp_path / "q").stats()["acked_total"] == 1


def test_stats_equal_the_queue_own_and_write_nothing(busy_queue):
    directory, before = busy_queue
    reported = json.loads(ok("stats", directory, "--json"))
    table = ok("stats", directory).splitlines()
    assert log_path(directory).read_bytes() == before  # no sweep record, no cut
    # The queue's own stats() sweeps the expired lease of message 3 as the
    # command's figures already did, but it writes a Requeue record for it.
    assert reported["log_bytes"] == len(before)
    assert reported == {**queue_stats(directory), "log_bytes": len(before)}
    assert reported["ready"] == 2 and reported["in_flight"] == 1
    assert [line.split()[0] for line in table] == list(reported)
    assert len({len(line) for line in table}) == 1  # values aligned on the right


def test_peek_lists_messages_in_delivery_order_without_leasing_them(busy_queue):
    directory, before = busy_queue
    ready = ok("peek", directory).splitlines()
    leased = ok("peek", directory, "--in-flight").splitlines()
    first = ok("peek", directory, "-n", 1).splitlines()
    assert log_path(directory).read_bytes() == before
    # Message 3's lease has expired, so it is ready again, ahead of 4.
    assert [row.split()[:2] for row in ready[1:-1]] == [["3", "1"], ["4", "1"]]
    assert "(expired)" in ready[1] and ready[2].split()[4:6] == ["100", "four"]
    assert ready[2].endswith("...") and ready[-1] == "2 of 2 ready messages shown"
    assert first[-1] == "1 of 2 ready messages shown" and len(first) == 3
    assert len(leased) == 3 and leased[1].split()[:2] == ["2", "1"]
    # Control bytes of a body are shown escaped, never sent to the terminal.
    assert leased[1].endswith("two\\x1b[2J\\n") and "\x1b" not in "".join(leased)
    assert open_queue(directory).dequeue(LONG_LEASE_MS)[:3] == (3, b"three", 2)


def test_delayed_buried_and_kicked_messages_through_the_command_line(busy_queue):
    directory, _ = busy_queue
    assert ok("enqueue", directory, "later", "--delay", LONG_LEASE_MS) == "5\n"
    assert open_queue(directory).bury(4) is True
    stats = json.loads(ok("stats", directory, "--json"))
    assert (stats["ready"], stats["in_flight"], stats["scheduled"], stats["buried"]) == (1, 1, 1, 1)
    assert ok("stats", directory).splitlines()[-2:] == ["scheduled          1", "buried             1"]
    scheduled = ok("peek", directory, "--scheduled").splitlines()
    assert scheduled[0].split()[3] == "DUE" and scheduled[1].split()[:2] == ["5", "0"]
    assert "(expired)" not in scheduled[1] and scheduled[-1] == "1 of 1 scheduled messages shown"
    due = json.loads(ok("peek", directory, "--scheduled", "--json"))["messages"][0]["due_ms"]
    assert due - LONG_LEASE_MS <= time.time_ns() // 1_000_000
    buried = json.loads(ok("peek", directory, "--buried", "--json"))
    assert (buried["state"], [m["seq"] for m in buried["messages"]]) == ("buried", [4])
    assert "not buried" not in ok("kick", directory, 4) and ok("kick", directory, "--all") == "kicked 0 buried messages\n"
    assert "no buried message with seq 4" in one_stderr_line(cli("kick", directory, 4), status=1)
    assert "either SEQ... or --all" in one_stderr_line(cli("kick", directory))
    assert open_queue(directory).dequeue(LONG_LEASE_MS)[:3] == (3, b"three", 2)
    assert open_queue(directory).dequeue(LONG_LEASE_MS)[:3] == (4, b"four " * 20, 2)


def test_dump_lists_every_frame_and_verify_reports_clean(busy_queue):
    directory, before = busy_queue
    lines = ok("dump", directory).splitlines()
    frames = [line.split() for line in lines if not line.startswith("#")]
    kinds = [fields[2] for fields in frames]
    assert kinds == ["Enqueue"] * 5 + ["Ack", "DeadLetter"] + ["Lease"] * 3 + ["Requeue", "Lease"]
    offsets = [int(fields[0]) for fields in frames]
    lengths = [int(fields[1]) for fields in frames]
    assert offsets[0] == 16 and offsets[1:] == [o + n for o, n in zip(offsets, lengths)][:-1]
    assert lines[-1] == f"# end: clean at byte {len(before)} after 12 frames"
    assert ok("verify", directory) == f"clean: 12 records, {len(before)} bytes\n"
    assert json.loads(ok("verify", directory, "--json")) == open_queue(directory).verify_integrity()


def test_stats_for_prometheus_are_the_queues_figures_and_the_age_of_the_oldest_ready(busy_queue):
    parser = pytest.importorskip("prometheus_client.parser")
    directory, before = busy_queue
    started = time.time_ns() // 1_000_000
    text = ok("stats", directory, "--prometheus")
    finished = time.time_ns() // 1_000_000
    samples = {sample.name: sample.value for family in parser.text_string_to_metric_families(text)
               for sample in family.samples if sample.labels == {"queue": str(directory.resolve())}}
    stats = json.loads(ok("stats", directory, "--json"))
    names = {"ready": "tollivane_ready_messages", "in_flight": "tollivane_in_flight_messages",
             "total": "tollivane_messages", "next_seq": "tollivane_next_seq", "live_bytes": "tollivane_live_bytes",
             "log_bytes": "tollivane_log_bytes", "generation": "tollivane_generation",
             "scheduled": "tollivane_scheduled_messages", "buried": "tollivane_buried_messages",
             **{key: f"tollivane_{key}" for key in ("enqueued_total", "acked_total", "requeued_total", "dead_total")}}
    age = samples.pop("tollivane_oldest_ready_age_seconds")
    assert samples == {names[key]: value for key, value in stats.items() if key != "persistent"}
    # Message 3, whose lease has run out, has waited longest of the ready ones.
    oldest = json.loads(ok("peek", directory, "--json"))["messages"][0]
    assert oldest["seq"] == 3
    assert (started - oldest["enqueued_ts_ms"]) / 1000 <= age <= (finished - oldest["enqueued_ts_ms"]) / 1000
    assert log_path(directory).read_bytes() == before


def test_json_output_carries_whole_bodies_and_every_seq(busy_queue):
    directory, before = busy_queue
    bodies = {3: b"three", 4: b"four " * 20, 2: b"two\x1b[2J\n"}
    ready = json.loads(ok("peek", directory, "--json"))
    leased = json.loads(ok("peek", directory, "--in-flight", "--json"))
    assert (ready["state"], ready["total"], leased["state"], leased["total"]) == ("ready", 2, "in_flight", 1)
    for message in ready["messages"] + leased["messages"]:
        assert base64.b64decode(message["body_base64"]) == bodies[message["seq"]]
        assert message["body_len"] == len(bodies[message["seq"]])
    assert [m["lease_expired"] for m in ready["messages"]] == [True, False]
    assert leased["messages"][0]["body_preview"] == "two\\x1b[2J\\n"
    dump = json.loads(ok("dump", directory, "--json"))
    text = [line.split() for line in ok("dump", directory).splitlines() if not line.startswith("#")]
    assert [[str(f["offset"]), f["kind"]] for f in dump["frames"]] == [[f[0], f[2]] for f in text]
    assert base64.b64decode(dump["frames"][4]["body_base64"]) == bodies[4]
    assert dump["end"] == {"clean": True, "valid_bytes": len(before), "frames": 12, "damage": None}
    assert log_path(directory).read_bytes() == before
    delivery = json.loads(ok("dequeue", directory, "--json", "--lease-ms", LONG_LEASE_MS))
    assert (delivery["seq"], base64.b64decode(delivery["body_base64"]), delivery["deliveries"]) == (3, b"three", 2)
    assert json.loads(ok("ack", directory, 3, "--json")) == {"seq": 3, "outcome": "acknowledged"}
    assert json.loads(ok("nack", directory, 2, "--drop", "--json")) == {"seq": 2, "outcome": "dropped"}
    assert ok("dequeue", directory, "--ack").splitlines()[1] == "acknowledged 4"
    assert json.loads(ok("enqueue", directory, "five", "--json")) == {"seq": 5}
    size = log_path(directory).stat().st_size
    assert json.loads(ok("compact", directory, "--json")) == {"log_bytes_before": size,
                                                               "log_bytes_after": 16 + 33 + 4}


def test_version_and_help_for_every_argument():
    assert ok("--version") == f"tollivane {tollivane.__version__}\n"
    assert tollivane.__version__ == importlib.metadata.version("tollivane")
    parser = build_parser()
    commands = parser._subparsers._group_actions[0].choices
    for sub in [parser, *commands.values()]:
        assert all(action.help for action in sub._actions), sub.prog
    assert "--seq-file FILE" in ok("dequeue", "--help")


# Three Enqueue frames at 16, 54 and 91; a torn tail, a flipped payload bit
# in the second one, or an intact frame after them whose record does not
# decode (which the queue cuts as well).
@pytest.mark.parametrize("damage, stop, records, reason", [
    (lambda data: data[:-3], 91, 2, "truncated record payload"),
    (lambda data: data[:70] + bytes([data[70] ^ 1]) + data[71:], 54, 1, "record CRC mismatch (silent corruption)"),
    (lambda data: data + frame(b"\x09"), 129, 3, "unknown record type 9"),
])
def test_damaged_log_is_reported_where_it_stops_and_left_as_it_is(tmp_path, damage, stop, records, reason):
    q = open_queue(tmp_path)
    q.enqueue_batch([b"alpha", b"beta", b"gamma"])
    path = log_path(tmp_path)
    damaged = damage(path.read_bytes())
    path.write_bytes(damaged)
    report = json.loads(cli("verify", tmp_path, "--json").stdout)
    assert cli("verify", tmp_path).returncode == 1
    # The object opened before the damage verifies the same file the same way.
    assert report == q.verify_integrity() == {
        "ok": False, "records": records, "bytes": stop, "message": f"corrupt tail at byte {stop}: {reason}"}
    dump = cli("dump", tmp_path)
    lines = dump.stdout.decode().splitlines()
    undecodable = reason.startswith("unknown")
    assert dump.returncode == 1
    what = "intact frame with an undecodable record" if undecodable else "bad frame"
    assert lines[-2] == f"# stop: {what} at byte {stop} after {records} valid frames: {reason}"
    end = json.loads(cli("dump", tmp_path, "--json").stdout)["end"]
    assert end == {"clean": False, "valid_bytes": stop, "frames": records,
                   "damage": {"offset": stop, "reason": reason, "undecodable": undecodable}}
    stats = cli("stats", tmp_path, "--json")
    assert json.loads(stats.stdout)["next_seq"] == records
    assert f"not valid from byte {stop}" in one_stderr_line(stats, status=0)
    assert path.read_bytes() == damaged


# A log whose message 0 is enqueued, leased, and enqueued again, as only a
# damaged or foreign log can hold: the second Enqueue replaces the message.
# The command line once showed it both ready and leased, with the first
# body still counted in live_bytes.
def test_repeated_enqueue_is_one_ready_message_as_the_queue_holds_it(tmp_path):
    deadline = time.time_ns() // 1_000_000 + LONG_LEASE_MS
    log_path(tmp_path).write_bytes(file_header() + frame(enqueue_payload(0, 1, b"first"))
                                   + frame(lease_payload(0, deadline, 1)) + frame(enqueue_payload(0, 2, b"second")))
    stats = json.loads(ok("stats", tmp_path, "--json"))
    assert [m["seq"] for m in json.loads(ok("peek", tmp_path, "--json"))["messages"]] == [0]
    assert json.loads(ok("peek", tmp_path, "--json", "--in-flight"))["messages"] == []
    assert stats == queue_stats(tmp_path)
    assert (stats["ready"], stats["in_flight"], stats["live_bytes"]) == (1, 0, len(b"second") + 33)


# next_seq is one more than the largest id, wrapping as a u64 does; the
# command line once showed 2**64.
def test_next_seq_after_the_largest_id_wraps_to_zero_as_the_queue_has_it(tmp_path):
    log_path(tmp_path).write_bytes(file_header() + frame(enqueue_payload(2**64 - 1, 1, b"last")))
    stats = json.loads(ok("stats", tmp_path, "--json"))
    assert stats["next_seq"] == 0
    assert stats == queue_stats(tmp_path)


def test_foreign_file_is_refused_by_commands_and_reported_by_verify(tmp_path):
    foreign = b"PK\x03\x04 a zip file, not a queue log"
    log_path(tmp_path).write_bytes(foreign)
    for command in ("stats", "peek", "dequeue", "compact"):
        assert "not a tollivane queue log" in one_stderr_line(cli(command, tmp_path))
    assert "not a tollivane queue log" in one_stderr_line(cli("enqueue", tmp_path, "x"))
    assert json.loads(cli("verify", tmp_path, "--json").stdout)["message"] == "bad file magic"
    assert cli("dump", tmp_path).returncode == 1
    dump = cli("dump", tmp_path, "--json")
    assert dump.returncode == 1 and json.loads(dump.stdout)["end"]["damage"]["reason"] == "bad file magic"
    assert log_path(tmp_path).read_bytes() == foreign


@pytest.mark.parametrize("name", [".proc_lock", "queue.log"])
def test_fifo_in_place_of_a_queue_file_is_refused_by_every_command(tmp_path, name):
    open_queue(tmp_path).enqueue(b"x")
    (tmp_path / name).unlink()
    os.mkfifo(tmp_path / name)
    for args in (("stats",), ("peek",), ("verify",), ("dump",), ("enqueue", "y"), ("dequeue",),
                 ("ack", 0), ("nack", 0), ("compact",), ("purge", "--yes")):
        # Opening a FIFO waits for a writer: a regression hangs until the timeout.
        line = one_stderr_line(cli(args[0], tmp_path, *args[1:], timeout=20))
        assert line.endswith(f"{name}: not a regular file (a FIFO); refusing to use it")


def test_enqueue_refuses_input_longer_than_the_largest_body(tmp_path):
    open_queue(tmp_path).enqueue(b"x")
    before = log_path(tmp_path).read_bytes()
    with open("/dev/zero", "rb") as endless:
        result = cli("enqueue", tmp_path, "-", stdin=endless)
    assert f"largest message body ({MAX_BODY_LEN} bytes)" in one_stderr_line(result)
    assert log_path(tmp_path).read_bytes() == before


def test_compact_shrinks_the_log_and_purge_needs_confirmation(tmp_path):
    q = open_queue(tmp_path)
    q.enqueue_batch([b"x" * 1000] * 10)
    q.ack_batch(range(9))
    assert "compacted" in ok("compact", tmp_path)
    assert log_path(tmp_path).stat().st_size < 1100
    assert q.dequeue(LONG_LEASE_MS)[:2] == (9, b"x" * 1000)
    assert "not a terminal" in one_stderr_line(cli("purge", tmp_path))
    assert q.stats()["total"] == 1
    for answer, status, total in ((b"n\n", 1, 1), (b"y\n", 0, 0)):
        controller, terminal = pty.openpty()
        os.write(controller, answer)
        result = subprocess.run([sys.executable, "-m", "tollivane_cli", "purge", str(tmp_path)],
                                stdin=terminal, capture_output=True, timeout=60)
        os.close(terminal)
        os.close(controller)
        assert result.returncode == status and b"Remove all 1 messages" in result.stdout
        assert q.stats()["total"] == total
    assert q.enqueue(b"again") == 0
    ok("purge", tmp_path, "--yes")
    assert q.stats()["next_seq"] == 0


@pytest.mark.parametrize("args", [
    ("stats", "{missing}"), ("enqueue", "{missing}", "x"), ("peek", "{file}"), ("dump", "{empty}"),
    ("peek", "{queue}", "-n", "ten"), ("ack", "{queue}", "-1"), ("nack", "{queue}"), ("frobnicate", "{queue}"),
    ("dequeue", "{queue}", "--lease-ms", "2e3"), ("stats", "{queue}", "--wait", "-1"),
])
def test_errors_are_one_line_without_a_traceback(tmp_path, args):
    open_queue(tmp_path / "queue").enqueue(b"x")
    (tmp_path / "empty").mkdir()
    (tmp_path / "file").write_text("not a directory")
    paths = {name: tmp_path / name for name in ("missing", "file", "empty", "queue")}
    result = cli(*(arg.format(**paths) for arg in args))
    assert "Traceback" not in one_stderr_line(result)
    assert not (tmp_path / "missing").exists()
    assert list((tmp_path / "empty").iterdir()) == []


def test_held_lock_is_reported_busy_instead_of_waited_for(tmp_path):
    open_queue(tmp_path).enqueue(b"x")
    holder = child(f"""
        import fcntl, os, time
        fd = os.open({str(tmp_path / '.proc_lock')!r}, os.O_RDWR)
        fcntl.flock(fd, fcntl.LOCK_EX)
        print("ready", flush=True)
        time.sleep(120)
    """)
    try:
        for args in (("stats",), ("peek",), ("verify",), ("dump",), ("enqueue", "y"), ("dequeue",),
                     ("ack", 0), ("compact",), ("purge", "--yes")):
            started = time.monotonic()
            line = one_stderr_line(cli(*args[:1], tmp_path, *args[1:], "--wait", "0.3"))
            assert "busy" in line and time.monotonic() - started < 10
        # A stuck holder must not keep an operator from reading the log.
        assert "Enqueue" in ok("dump", tmp_path, "--no-lock")
    finally:
        holder.kill()
        holder.wait()
    assert ok("enqueue", tmp_path, "y") == "1\n"


def test_commands_run_while_another_process_enqueues(tmp_path):
    open_queue(tmp_path)
    stop = tmp_path / "stop"
    producer = child(f"""
        import os, tollivane
        q = tollivane.TollivaneCore({str(tmp_path)!r})
        print("ready", flush=True)
        count = 0
        while not os.path.exists({str(stop)!r}):
            q.enqueue(b"from the producer %d" % count)
            count += 1
        print(count)
    """)
    ours, seen = [], []
    for _ in range(6):
        ours.append(int(ok("enqueue", tmp_path, "from the command")))
        assert cli("verify", tmp_path).returncode == 0
        stats = json.loads(ok("stats", tmp_path, "--json"))
        assert stats["ready"] == stats["total"] == stats["next_seq"]
        seen.append(stats["next_seq"])
        shown = ok("peek", tmp_path, "-n", 0).splitlines()
        assert shown[-1] == f"{len(shown) - 2} of {len(shown) - 2} ready messages shown"
        assert ok("dump", tmp_path).splitlines()[-1].startswith("# end: clean")
    stop.touch()
    produced = int(producer.communicate(timeout=60)[0])
    assert seen == sorted(seen) and seen[-1] - seen[0] > len(ours)  # the producer ran meanwhile
    stats = open_queue(tmp_path).stats()
    assert stats["total"] == stats["next_seq"] == produced + len(ours) and len(set(ours)) == len(ours)


@skip_under_emulation("the emulator's own memory, about 48 MiB for an interpreter that only imports, "
                      "counts in the peak RSS")
def test_dump_streams_a_large_body_in_bounded_memory(tmp_path):
    open_queue(tmp_path).enqueue(b"B" * (96 << 20))
    measure = textwrap.dedent(f"""
        import resource, subprocess, sys
        out = subprocess.run([sys.executable, "-m", "tollivane_cli", "dump", {str(tmp_path)!r}],
                             capture_output=True, check=True).stdout.decode()
        print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, out.splitlines()[2])
    """)
    peak_kib, offset, length, kind, seq, _, body_len, body = subprocess.run(
        [sys.executable, "-c", measure], capture_output=True, check=True, text=True).stdout.split()
    assert int(peak_kib) < 48 << 10
    assert [offset, length, kind, seq, body_len] == ["16", str((96 << 20) + 33), "Enqueue", "seq=0",
                                                     f"body_len={96 << 20}"]
    assert body == "body=" + "B" * 40 + "..."


def test_an_unexpected_failure_is_an_error_not_a_no(tmp_path, monkeypatch, capsys):
    from tollivane_cli import cli as cli_module

    def broken(args):
        raise RuntimeError("something the command did not foresee")

    open_queue(tmp_path).enqueue(b"x")
    monkeypatch.setattr(cli_module, "cmd_stats", broken)
    assert cli_module.main(["stats", str(tmp_path)]) == 2
    assert capsys.readouterr().err == (
        "tollivane: error: unexpected RuntimeError: something the command did not foresee\n")
