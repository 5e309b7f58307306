"""Opening a directory: what gets created, the paths that are refused
without leaving anything behind, and the directory an object stays on
whatever later happens to the path it was opened by."""

import errno
import os

import pytest

from conftest import LONG_LEASE_MS, log_path, open_queue, read_log
from sharing_support import SPAWN, produce

pytestmark = pytest.mark.quick

FRESH_STATS = {"ready": 0, "in_flight": 0, "total": 0, "enqueued_total": 0,
               "acked_total": 0, "requeued_total": 0, "dead_total": 0, "next_seq": 0,
               "live_bytes": 0, "log_bytes": 16, "generation": 0, "persistent": True}


def listing(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


def test_open_creates_directory_chain_lock_file_and_empty_log(tmp_path, capfd):
    directory = tmp_path / "a" / "b" / "c"
    q = open_queue(directory)
    assert listing(tmp_path) == ["a", "a/b", "a/b/c", "a/b/c/.proc_hints", "a/b/c/.proc_lock", "a/b/c/queue.log"]
    assert (directory / ".proc_lock").stat().st_size == 0
    # One page of hints for the processes that share the directory, named
    # by its magic and layout version.
    hints = (directory / ".proc_hints").read_bytes()
    assert len(hints) == 4096 and hints[:8] == b"TLHP" + bytes([1, 0, 0, 0])
    assert log_path(directory).read_bytes() == b"TLFL" + bytes([1, 0, 0, 0]) + bytes(8)
    assert q.stats() == FRESH_STATS
    assert capfd.readouterr().err == ""


def os_error_text(number):
    return f"Tollivane I/O error: {os.strerror(number)} (os error {number})"


@pytest.mark.parametrize("relative", ["plain", "plain/below"])
def test_path_through_a_plain_file_is_refused_and_creates_nothing(tmp_path, relative):
    (tmp_path / "plain").write_bytes(b"not a directory")
    with pytest.raises(NotADirectoryError) as info:
        open_queue(tmp_path / relative)
    # The errno selects the class, as OSError(errno, ...) would; the message
    # stays the only argument, and str() the message.
    assert (info.value.errno, info.value.strerror) == (errno.ENOTDIR, None)
    assert info.value.args == (os_error_text(errno.ENOTDIR),) and str(info.value) == info.value.args[0]
    assert listing(tmp_path) == ["plain"]
    assert (tmp_path / "plain").read_bytes() == b"not a directory"


@pytest.mark.parametrize("name", ["bad\0name", "sub/bad\0"])
def test_nul_in_path_is_refused_and_creates_nothing(tmp_path, name):
    with pytest.raises(OSError) as info:
        open_queue(f"{tmp_path}/{name}")
    assert info.value.args == ("Tollivane I/O error: file name contained an unexpected NUL byte",)
    assert info.value.errno is None
    assert listing(tmp_path) == []


def test_open_of_an_unreadable_log_reports_the_os_error(tmp_path):
    # A directory where the log belongs: opening it as a file fails with EISDIR.
    log_path(tmp_path).mkdir()
    with pytest.raises(IsADirectoryError) as info:
        open_queue(tmp_path)
    assert str(info.value) == os_error_text(errno.EISDIR)
    assert info.value.errno == errno.EISDIR
    # A failed open leaves the lock free: a sound directory beside it opens.
    log_path(tmp_path).rmdir()
    assert open_queue(tmp_path).stats()["log_bytes"] == 16


def rename_under(tmp_path, monkeypatch, how):
    """Opens a queue in tmp_path/first by some name, then makes that name
    name the queue in tmp_path/second; returns the object and where the
    first directory is now."""
    first, second = tmp_path / "first", tmp_path / "second"
    if how == "relative path, then chdir":
        for parent in (first, second):
            parent.mkdir()
        monkeypatch.chdir(first)
        q = open_queue("q")
        monkeypatch.chdir(second)
        return q, first / "q", second / "q"
    if how == "switched symlink":
        first.mkdir()
        os.symlink("first", tmp_path / "current")
        q = open_queue(tmp_path / "current")
        os.symlink("second", tmp_path / "next")
        os.rename(tmp_path / "next", tmp_path / "current")
        return q, first, second
    q = open_queue(tmp_path / "live")
    os.rename(tmp_path / "live", first)
    os.mkdir(second)
    os.rename(second, tmp_path / "live")
    return q, first, tmp_path / "live"


@pytest.mark.parametrize("how", ["relative path, then chdir", "switched symlink", "renamed directory"])
def test_an_object_keeps_working_on_the_directory_it_opened(tmp_path, monkeypatch, how):
    q, mine, other = rename_under(tmp_path, monkeypatch, how)
    # Meanwhile another process uses the directory that has the name now.
    results = SPAWN.Queue()
    producer = SPAWN.Process(target=produce, args=(str(other), 10**6, 300, "other", results))
    producer.start()
    kept = {}
    for i in range(300):
        body = b"mine-%d" % i
        kept[q.enqueue(body)] = body
        if i % 3 == 0:
            seq, delivered, _, _ = q.dequeue(LONG_LEASE_MS)
            assert kept.pop(seq) == delivered and q.ack(seq)
    outcome = results.get(timeout=120)
    producer.join(30)
    assert outcome[0] == "produced", outcome

    def enqueued(directory):
        return {record[1]: record[3] for _, record in read_log(log_path(directory))[1] if record[0] == "enqueue"}
    assert enqueued(mine) == {seq: b"mine-%d" % seq for seq in range(300)}
    assert enqueued(other) == outcome[1]
    assert [d[:2] for d in open_queue(mine).dequeue_batch(300, LONG_LEASE_MS)] == sorted(kept.items())
    for directory in (mine, other):
        assert sorted(p.name for p in directory.iterdir()) == [".proc_hints", ".proc_lock", "queue.log"]
