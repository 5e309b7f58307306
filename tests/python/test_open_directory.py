"""Opening a directory: what gets created, and the paths that are refused
without leaving anything behind."""

import errno
import os
import re

import pytest

from conftest import log_path, open_queue

pytestmark = pytest.mark.quick

FRESH_STATS = {"ready": 0, "in_flight": 0, "total": 0, "enqueued_total": 0,
               "acked_total": 0, "requeued_total": 0, "dead_total": 0, "next_seq": 0,
               "live_bytes": 0, "log_bytes": 16, "generation": 0, "persistent": True}


def listing(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


def test_open_creates_directory_chain_lock_file_and_empty_log(tmp_path, capfd):
    directory = tmp_path / "a" / "b" / "c"
    q = open_queue(directory)
    assert listing(tmp_path) == ["a", "a/b", "a/b/c", "a/b/c/.proc_lock", "a/b/c/queue.log"]
    assert (directory / ".proc_lock").stat().st_size == 0
    assert log_path(directory).read_bytes() == b"TLFL" + bytes([1, 0, 0, 0]) + bytes(8)
    assert q.stats() == FRESH_STATS
    assert capfd.readouterr().err == ""


OS_ERROR = re.compile(r"Tollivane I/O error: (.+) \(os error (\d+)\)")


@pytest.mark.parametrize("relative", ["plain", "plain/below"])
def test_path_through_a_plain_file_is_refused_and_creates_nothing(tmp_path, relative):
    (tmp_path / "plain").write_bytes(b"not a directory")
    with pytest.raises(OSError) as info:
        open_queue(tmp_path / relative)
    assert type(info.value) is OSError
    # The operating system's errno is carried in the text only.
    assert info.value.errno is None and info.value.strerror is None
    assert len(info.value.args) == 1
    match = OS_ERROR.fullmatch(str(info.value))
    assert match, str(info.value)
    # Which of the two a directory walk meets first is its own affair.
    assert int(match.group(2)) in (errno.EEXIST, errno.ENOTDIR)
    assert match.group(1) == os.strerror(int(match.group(2)))
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
    with pytest.raises(OSError) as info:
        open_queue(tmp_path)
    assert str(info.value) == (
        f"Tollivane I/O error: {os.strerror(errno.EISDIR)} (os error {errno.EISDIR})")
    assert info.value.errno is None
    # A failed open leaves the lock free: a sound directory beside it opens.
    log_path(tmp_path).rmdir()
    assert open_queue(tmp_path).stats()["log_bytes"] == 16
