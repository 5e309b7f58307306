"""The `tollivane` command: look inside a queue directory and operate on it
while other processes keep using it.

Looking (stats, peek, dump, verify) reads the log through the extension's
read-only scan, with the queue's own reader and state, and never writes to
it: no lease sweep, no cut of a damaged tail.
Operating (enqueue, dequeue, ack, nack, kick, compact, purge) goes through
the extension's queue object, exactly as an application would.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Iterator, NoReturn, Optional, Sequence

from . import metrics
from .output import (BODY_PIECE_BYTES, PREVIEW_BYTES, Progress, format_time, json_with_body, pieces_of,
                     preview, print_json, table, write_json_list)
from .queuedir import (LOG_NAME, CliError, body_pieces, check_not_foreign, log_snapshot, now_ms, open_queue,
                       queue_dir, read_to_end, stats_of)

if TYPE_CHECKING:
    import tollivane
    from tollivane import IntegrityReport, LogScan, ScannedFrame, ScannedMessage

PROG = "tollivane"
DEFAULT_WAIT_S = 2.0
# The largest body the queue accepts; enqueue refuses a longer one.
MAX_BODY_LEN = 536870891

# Exit statuses: 1 answers "no" (not clean, nothing to dequeue, no such
# message, purge not confirmed); 2 is an error.
EXIT_NO = 1
EXIT_ERROR = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse prints the whole usage first; one line is easier to read
        # in a script's log.
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# -- looking ---------------------------------------------------------------------


@contextmanager
def snapshot_of(args: argparse.Namespace) -> Iterator["LogScan"]:
    """The scan of the whole valid log, its state complete."""
    directory = queue_dir(args.dir)
    check_not_foreign(directory)
    with log_snapshot(directory, args.wait) as scan:
        progress = Progress("reading", scan.length)
        read_to_end(scan, progress)
        progress.done()
        end = scan.end
        assert end is not None
        if scan.version is None:
            hint = " (the queue starts such a log afresh at its next open)" \
                if end["reason"] == "truncated file header" else ""
            raise CliError(f"{directory / LOG_NAME}: {end['reason']}{hint}")
        if not end["clean"]:
            warn(f"{directory / LOG_NAME} is not valid from byte {end['offset']} "
                 f"({end['reason']}); what follows covers the frames before it")
        yield scan


def cmd_stats(args: argparse.Namespace) -> int:
    if args.prometheus:
        metrics.check_available()
    with snapshot_of(args) as scan:
        now = now_ms()
        stats = stats_of(scan, now)
        oldest_ready_ts_ms = scan.oldest_ready_ts_ms()
    if args.prometheus:
        sys.stdout.write(metrics.prometheus_text(str(Path(args.dir).resolve()), stats, oldest_ready_ts_ms, now))
    elif args.json:
        print_json(stats)
    else:
        width = max(map(len, stats))
        values = {key: str(value) for key, value in stats.items()}
        value_width = max(map(len, values.values()))
        for key, value in values.items():
            print(f"{key:<{width}}  {value:>{value_width}}")
    return 0


# What peek lists: the messages of one state, and the heading of the time
# column (a scheduled message's deadline is when it falls due).
PEEK_STATES = {"ready": "LEASE DEADLINE", "in_flight": "LEASE DEADLINE", "scheduled": "DUE", "buried": "-"}


def peek_state(args: argparse.Namespace) -> str:
    return next((state for state in ("in_flight", "scheduled", "buried") if getattr(args, state)), "ready")


def peek_fields(message: "ScannedMessage", deadline: Optional[int], now: int, state: str) -> dict[str, Any]:
    fields = {"seq": message["seq"], "deliveries": message["deliveries"], "enqueued_ts_ms": message["enqueued_ts_ms"]}
    if state == "scheduled":
        return {**fields, "due_ms": deadline}
    if state == "buried":
        return fields
    return {**fields, "lease_deadline_ms": deadline, "lease_expired": deadline is not None and deadline <= now}


def peek_row(scan: "LogScan", message: "ScannedMessage", deadline: Optional[int], now: int, state: str) -> list[str]:
    if deadline is None or state == "buried":
        lease = "-"
    else:
        lease = format_time(deadline) + (" (expired)" if deadline <= now and state != "scheduled" else "")
    body_len = message["body_len"]
    data = scan.read(message["body_offset"], min(body_len, PREVIEW_BYTES))
    return [str(message["seq"]), str(message["deliveries"]), format_time(message["enqueued_ts_ms"]),
            lease, str(body_len), preview(data, body_len)]


def cmd_peek(args: argparse.Namespace) -> int:
    state = peek_state(args)
    with snapshot_of(args) as scan:
        now = now_ms()
        expired = scan.sweep(now)
        messages = scan.messages(**({state: True} if state != "ready" else {}))
        shown = messages if args.n == 0 else messages[:args.n]
        # A lease the sweep just ended is shown with its deadline, marked
        # expired; a message that just fell due (never delivered) had none.
        deadlines = [message["lease_deadline_ms"] if message["lease_deadline_ms"] is not None
                     else expired.get(message["seq"]) if message["deliveries"] else None for message in shown]
        if args.json:
            items = (json_with_body(peek_fields(message, deadline, now, state), message["body_len"],
                                    body_pieces(scan, message["body_offset"], message["body_len"], BODY_PIECE_BYTES))
                     for message, deadline in zip(shown, deadlines))
            head = {"state": state, "total": len(messages)}
            write_json_list(sys.stdout, head, "messages", items)
            return 0
        rows = [peek_row(scan, message, deadline, now, state) for message, deadline in zip(shown, deadlines)]
    what = {"in_flight": "leased"}.get(state, state)
    if rows:
        print(table(["SEQ", "DELIVERIES", "ENQUEUED", PEEK_STATES[state], "BYTES", "BODY"], rows))
    print(f"{len(rows)} of {len(messages)} {what} messages shown")
    return 0


def describe(frame: "ScannedFrame") -> str:
    kind = frame["kind"]
    if kind == "Enqueue":
        body_len = frame["body_len"]
        fields = (f"seq={frame['seq']} enqueued={format_time(frame['enqueued_ts_ms'])} "
                  f"body_len={body_len} body={preview(frame['body'], body_len)}")
    elif kind == "Lease":
        fields = (f"seq={frame['seq']} deadline={format_time(frame['deadline_ms'])} "
                  f"deliveries={frame['deliveries']}")
    elif kind == "Requeue":
        fields = f"seq={frame['seq']} deliveries={frame['deliveries']}"
    else:
        fields = f"seq={frame['seq']}"
    return f"{frame['offset']:>12} {frame['length']:>10}  {kind:<10}  {fields}"


def frame_json(scan: "LogScan", frame: "ScannedFrame") -> Iterable[str]:
    kind = frame["kind"]
    fields: dict[str, Any] = {"offset": frame["offset"], "length": frame["length"], "kind": kind,
                              "seq": frame["seq"]}
    if kind == "Enqueue":
        fields["enqueued_ts_ms"] = frame["enqueued_ts_ms"]
        pieces = body_pieces(scan, frame["body_offset"], frame["body_len"], BODY_PIECE_BYTES)
        return json_with_body(fields, frame["body_len"], pieces)
    if kind == "Lease":
        fields["deadline_ms"] = frame["deadline_ms"]
    if kind in ("Lease", "Requeue"):
        fields["deliveries"] = frame["deliveries"]
    return [json.dumps(fields)]


def end_json(scan: "LogScan") -> dict[str, Any]:
    end = scan.end
    assert end is not None
    where = None if end["clean"] else {"offset": end["offset"], "reason": end["reason"],
                                       "undecodable": end["undecodable"]}
    return {"end": {"clean": end["clean"], "valid_bytes": scan.position, "frames": scan.frames, "damage": where}}


def dump_json(scan: "LogScan") -> int:
    length = scan.length
    head = {"file": LOG_NAME, "length": length, "version": scan.version, "generation": scan.generation}
    progress = Progress("dump", length, active=not sys.stdout.isatty())

    def frames() -> Iterator[Iterable[str]]:
        for frame in scan:
            yield frame_json(scan, frame)
            progress(scan.position)

    write_json_list(sys.stdout, head, "frames", frames(), lambda: end_json(scan))
    progress.done()
    end = scan.end
    return 0 if end is not None and end["clean"] else EXIT_NO


def dump_text(scan: "LogScan") -> int:
    out = sys.stdout
    length = scan.length
    if scan.version is None:
        end = scan.end
        assert end is not None
        print(f"# {LOG_NAME}: {length} bytes; not valid from byte 0: {end['reason']} "
              f"(starts with {scan.read(0, min(length, 4))!r})")
        return EXIT_NO
    print(f"# {LOG_NAME}: {length} bytes, version {scan.version}, generation {scan.generation}")
    print(f"# {'offset':>10} {'length':>10}  {'kind':<10}  fields")
    # When standard output is the same terminal, the frames scrolling by
    # are progress enough.
    progress = Progress("dump", length, active=not out.isatty())
    for frame in scan:
        out.write(describe(frame) + "\n")
        progress(scan.position)
    progress.done()
    end = scan.end
    assert end is not None
    if end["clean"]:
        print(f"# end: clean at byte {scan.position} after {scan.frames} frames")
        return 0
    what = "intact frame with an undecodable record" if end["undecodable"] else "bad frame"
    print(f"# stop: {what} at byte {end['offset']} after {scan.frames} valid frames: {end['reason']}")
    print(f"# bytes {end['offset']} to {length} ({length - end['offset']} bytes) are not valid; "
          f"the next process to open the queue cuts them off")
    return EXIT_NO


def cmd_dump(args: argparse.Namespace) -> int:
    directory = queue_dir(args.dir)
    prefix = 0 if args.json else PREVIEW_BYTES
    with log_snapshot(directory, args.wait, lock=not args.no_lock, body_prefix=prefix) as scan:
        return dump_json(scan) if args.json else dump_text(scan)


def integrity_report(args: argparse.Namespace) -> "IntegrityReport":
    """The queue's own report, the one verify_integrity() gives, made from a
    snapshot of the log without opening the queue (which would first cut
    the very damage one wants to see)."""
    directory = queue_dir(args.dir)
    with log_snapshot(directory, args.wait) as scan:
        progress = Progress("verify", scan.length)
        read_to_end(scan, progress)
        progress.done()
        return scan.integrity_report()


def cmd_verify(args: argparse.Namespace) -> int:
    report = integrity_report(args)
    if args.json:
        print_json(report)
    elif report["ok"]:
        print(f"clean: {report['records']} records, {report['bytes']} bytes")
    elif report["records"]:
        print(f"not clean: {report['message']} ({report['records']} valid records before it)")
    else:
        print(f"not clean: {report['message']}")
    return 0 if report["ok"] else EXIT_NO


# -- operating --------------------------------------------------------------------


def read_body(args: argparse.Namespace) -> bytes:
    if args.body is not None and args.body != "-":
        return os.fsencode(args.body)
    # One byte more than the largest body tells a body that is too long, so
    # that an endless input (/dev/zero) is refused after a bounded read
    # instead of filling memory.
    body = sys.stdin.buffer.read(MAX_BODY_LEN + 1)
    if len(body) > MAX_BODY_LEN:
        raise CliError(f"standard input holds more than the largest message body ({MAX_BODY_LEN} bytes); "
                       f"nothing was enqueued")
    return body


def cmd_enqueue(args: argparse.Namespace) -> int:
    # An existing directory may become a queue here; a missing one is
    # still refused.
    directory = queue_dir(args.dir, need_log=False)
    seq = open_queue(directory, args.wait).enqueue_delayed(read_body(args), args.delay)
    if args.json:
        print_json({"seq": seq})
    else:
        print(seq)
    return 0


def hand_out(delivery: tuple[int, bytes, int, int], args: argparse.Namespace) -> None:
    """Writes a delivery wherever it was asked for, flushed, so that a failed
    write shows here, before anything is acknowledged."""
    seq, body, deliveries, enqueued_ts_ms = delivery
    if args.seq_file is not None:
        Path(args.seq_file).write_text(f"{seq}\n")
    out = sys.stdout
    if args.raw:
        out.buffer.write(body)
    elif args.json:
        fields = {"seq": seq, "deliveries": deliveries, "enqueued_ts_ms": enqueued_ts_ms}
        out.writelines(json_with_body(fields, len(body), pieces_of(body)))
        out.write("\n")
    else:
        print(f"seq={seq} deliveries={deliveries} enqueued={format_time(enqueued_ts_ms)} "
              f"bytes={len(body)} body={preview(body[:PREVIEW_BYTES], len(body))}")
    out.flush()
    # The queue fsyncs the acknowledgement. Were the body still only in the
    # page cache of an output file, a power loss could keep the
    # acknowledgement and lose the body with it.
    if args.ack and stat.S_ISREG(os.fstat(out.fileno()).st_mode):
        os.fsync(out.fileno())


def hand_back(queue: "tollivane.TollivaneCore", seq: int, args: argparse.Namespace, error: OSError) -> int:
    """Reports a delivery that could not be written out. The reader may have
    got part of it or nothing; either way it was not delivered. A requeuing
    nack makes it ready for the next consumer at once rather than when its
    lease runs out (30 s by default); its delivery count still tells that
    consumer it was handed out before. Should the nack fail too, the lease
    returns the message later."""
    abandon_stdout()
    try:
        handed_back = queue.nack(seq, requeue=True)
        fate = "it is ready again" if handed_back else "another process settled it meanwhile"
    except OSError as nack_error:
        fate = f"it stays leased until its lease runs out (handing it back failed: {_os_error_text(nack_error)})"
    print(f"{PROG}: error: {args.dir}: message {seq} was not delivered, writing it out failed "
          f"({_os_error_text(error)}); {fate}", file=sys.stderr)
    return EXIT_ERROR


def cmd_dequeue(args: argparse.Namespace) -> int:
    directory = queue_dir(args.dir)
    queue = open_queue(directory, args.wait)
    delivery = queue.dequeue(args.lease_ms)
    if delivery is None:
        print(f"{PROG}: {args.dir}: no message ready", file=sys.stderr)
        return EXIT_NO
    seq = delivery[0]
    try:
        hand_out(delivery, args)
    except OSError as error:
        return hand_back(queue, seq, args, error)
    if args.ack:
        queue.ack(seq)
        if not (args.raw or args.json):
            print(f"acknowledged {seq}")
    return 0


def settled(args: argparse.Namespace, done: bool, outcome: str) -> int:
    if not done:
        print(f"{PROG}: {args.dir}: no message with seq {args.seq}", file=sys.stderr)
        return EXIT_NO
    if args.json:
        print_json({"seq": args.seq, "outcome": outcome})
    else:
        print(f"{outcome} {args.seq}")
    return 0


def cmd_ack(args: argparse.Namespace) -> int:
    return settled(args, open_queue(queue_dir(args.dir), args.wait).ack(args.seq), "acknowledged")


def cmd_nack(args: argparse.Namespace) -> int:
    done = open_queue(queue_dir(args.dir), args.wait).nack(args.seq, requeue=not args.drop)
    return settled(args, done, "dropped" if args.drop else "requeued")


def cmd_kick(args: argparse.Namespace) -> int:
    if args.all == bool(args.seqs):
        raise CliError("kick needs either SEQ... or --all")
    queue = open_queue(queue_dir(args.dir), args.wait)
    if args.all:
        count = queue.kick_all()
        if args.json:
            print_json({"kicked": count})
        else:
            print(f"kicked {count} buried messages")
        return 0
    kicked = [seq for seq in args.seqs if queue.kick(seq)]
    missed = [seq for seq in args.seqs if seq not in kicked]
    for seq in missed:
        print(f"{PROG}: {args.dir}: no buried message with seq {seq}", file=sys.stderr)
    if args.json:
        print_json({"kicked": kicked})
    else:
        for seq in kicked:
            print(f"kicked {seq}")
    return EXIT_NO if missed else 0


def cmd_compact(args: argparse.Namespace) -> int:
    directory = queue_dir(args.dir)
    log = directory / LOG_NAME
    before = log.stat().st_size
    open_queue(directory, args.wait).compact()
    after = log.stat().st_size
    if args.json:
        print_json({"log_bytes_before": before, "log_bytes_after": after})
    else:
        print(f"compacted {args.dir}: {LOG_NAME} {before} -> {after} bytes")
    return 0


def cmd_purge(args: argparse.Namespace) -> int:
    if not args.yes:
        if not sys.stdin.isatty():
            raise CliError("purge needs confirmation, but standard input is not a terminal "
                           "(add --yes to purge without asking)")
        with snapshot_of(args) as scan:
            stats = stats_of(scan, now_ms())
        answer = input(f"Remove all {stats['total']} messages from {args.dir} ({stats['ready']} ready, "
                       f"{stats['in_flight']} leased, {stats['scheduled']} scheduled, {stats['buried']} buried)? "
                       f"Sequence ids start again at 0. [y/N] ")
        if answer.strip().lower() not in ("y", "yes"):
            print("not purged", file=sys.stderr)
            return EXIT_NO
    directory = queue_dir(args.dir)
    open_queue(directory, args.wait).purge()
    print(f"purged {args.dir}; sequence ids start again at 0")
    return 0


# -- command line --------------------------------------------------------------------


def _u64(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"{text} is outside 0 to 2**64-1")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"a wait cannot be negative: {text}")
    return value


class _Version(argparse.Action):
    """--version: the version of the installed extension, looked up only when
    asked for, so that the looking commands need not load the extension."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> NoReturn:
        import tollivane

        print(f"{PROG} {tollivane.__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Look inside a tollivane queue directory and operate on it, "
                    "while other processes go on using it.",
        epilog="Exit status: 0 done; 1 the answer is no (log not clean, nothing to dequeue, "
               "no such message, nothing buried to kick, purge declined); 2 error (no such directory, not a queue, "
               "lock busy, bad arguments, output that could not be written).")
    parser.add_argument("--version", action=_Version, help="print the installed version and exit")
    common = _Parser(add_help=False)
    common.add_argument("dir", metavar="DIR", help="the queue directory")
    common.add_argument("--wait", type=_seconds, default=DEFAULT_WAIT_S, metavar="SECONDS",
                        help=f"how long to wait for the queue's lock before reporting it busy "
                             f"(default {DEFAULT_WAIT_S:g})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     help="what to do; 'tollivane COMMAND --help' explains each")

    def command(name: str, run: Any, help: str, json_help: Optional[str] = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=help, description=help)
        sub.set_defaults(run=run)
        if json_help is not None:
            sub.add_argument("--json", action="store_true", help=json_help)
        return sub

    sub = command("stats", cmd_stats, "the queue's counters (read-only)")
    form = sub.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="print them as a JSON object")
    form.add_argument("--prometheus", action="store_true",
                      help="print them, and the age of the oldest ready message, in the Prometheus text format "
                           "(for a node exporter's text-file collector; needs the prometheus extra)")
    command("verify", cmd_verify, "check every frame of the log without changing it; exit 0 when clean, "
            "1 when not", "print the report as a JSON object")

    body = "in full in base64 (\"body_base64\") besides a preview (\"body_preview\")"
    sub = command("peek", cmd_peek, "list the ready messages in delivery order, without leasing them",
                  f"print one JSON object listing the messages, with their bodies {body}")
    sub.add_argument("-n", type=_u64, default=20, metavar="N", help="show at most N (0: all; default 20)")
    which = sub.add_mutually_exclusive_group()
    which.add_argument("--in-flight", action="store_true",
                       help="list the leased messages instead, earliest deadline first")
    which.add_argument("--scheduled", action="store_true",
                       help="list the messages that wait for their time instead, with when each falls due, "
                            "earliest first")
    which.add_argument("--buried", action="store_true", help="list the buried messages instead, in seq order")

    sub = command("dump", cmd_dump, "every frame of the log, and where and why it stops being valid",
                  f"print one JSON object listing the frames, with their bodies {body}, and where the log ends")
    sub.add_argument("--no-lock", action="store_true",
                     help="do not take the queue's lock (when a stuck process holds it)")

    sub = command("enqueue", cmd_enqueue, "append one message; prints its seq", 'print {"seq": N}')
    sub.add_argument("body", nargs="?", metavar="BODY",
                     help="the message as text; '-' or nothing reads the bytes of standard input "
                          f"(at most {MAX_BODY_LEN} bytes)")
    sub.add_argument("--delay", type=_u64, default=0, metavar="MS",
                     help="make it ready only MS milliseconds from now (default 0: at once)")

    sub = command("dequeue", cmd_dequeue, "lease the next ready message and write it out; a message that "
                  "cannot be written out is handed back, never acknowledged")
    sub.add_argument("--lease-ms", type=_u64, metavar="N", help="lease length (default: 30000)")
    sub.add_argument("--ack", action="store_true",
                     help="acknowledge it once it has been written out (and synced, to a file)")
    form = sub.add_mutually_exclusive_group()
    form.add_argument("--raw", action="store_true", help="write only the body's bytes to standard output")
    form.add_argument("--json", action="store_true",
                      help=f"print one JSON object with seq, deliveries, enqueued_ts_ms and the body {body}")
    sub.add_argument("--seq-file", metavar="FILE",
                     help="also write the message's seq to FILE, for a later 'tollivane ack DIR SEQ' "
                          "(with --raw, standard output holds only the body)")

    settle = "print the seq and the outcome as a JSON object"
    sub = command("ack", cmd_ack, "acknowledge (remove) a message", settle)
    sub.add_argument("seq", type=_u64, metavar="SEQ", help="the message's seq, as dequeue printed it")

    sub = command("nack", cmd_nack, "hand a message back to the ready set", settle)
    sub.add_argument("seq", type=_u64, metavar="SEQ", help="the message's seq, as dequeue printed it")
    sub.add_argument("--drop", action="store_true", help="drop it as dead instead")

    sub = command("kick", cmd_kick, "return buried messages to the ready set, their delivery counts kept; "
                  "exit 1 when a SEQ was not buried", 'print {"kicked": [SEQ, ...]} (with --all, {"kicked": N})')
    sub.add_argument("seqs", nargs="*", type=_u64, metavar="SEQ", help="the buried messages to kick")
    sub.add_argument("--all", action="store_true", help="kick every buried message")

    command("compact", cmd_compact, "rewrite the log with the live messages only",
            "print the log's size before and after as a JSON object")

    sub = command("purge", cmd_purge, "remove every message; sequence ids start again at 0")
    sub.add_argument("--yes", action="store_true", help="do not ask for confirmation")
    return parser


def abandon_stdout() -> None:
    """Points standard output at /dev/null after a write to it failed, so
    that the interpreter's own flush at exit neither fails again nor prints
    a second error."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _os_error_text(error: OSError) -> str:
    if error.strerror and error.filename:
        return f"{error.filename}: {error.strerror}"
    return error.strerror or str(error)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except CliError as error:
        message = str(error)
    except BrokenPipeError:
        # The reader went away (`dump | head`): stop quietly.
        abandon_stdout()
        return 141
    except TimeoutError:
        message = f"{args.dir}: queue is busy: its lock stayed held by another process for 30 s"
    except OSError as error:
        message = f"{args.dir}: {_os_error_text(error)}"
    except (ValueError, TypeError) as error:
        message = str(error)
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # noqa: BLE001
        # Whatever else went wrong is still an error, not a "no": a script
        # that tests for status 1 must never take a failure for an answer.
        message = f"unexpected {type(error).__name__}: {error}"
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return EXIT_ERROR
