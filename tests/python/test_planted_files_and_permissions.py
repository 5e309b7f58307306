"""Nobody in where they don't belong: a link planted in the queue directory
is never followed (its target stays as it was), a FIFO planted there hangs
nothing, no descriptor of a queue leaks into a child process, and files are
never more readable than the log an operator made them, nor anyone else's."""

import os
import pwd
import stat
import subprocess
import sys

import pytest

from conftest import LONG_LEASE_MS, flip_byte, log_path, open_queue, read_frames

VICTIM_CONTENT = b"precious"  # shorter than a header: recovery would overwrite it


@pytest.fixture
def victim(tmp_path):
    path = tmp_path / "elsewhere" / "victim"
    path.parent.mkdir()
    path.write_bytes(VICTIM_CONTENT)
    return path


@pytest.fixture
def queue_dir(tmp_path):
    directory = tmp_path / "q"
    q = open_queue(directory)
    q.enqueue_batch([b"one", b"two", b"three"])
    q.ack(1)
    del q
    return directory


def plant(directory, name, victim, kind):
    if kind == "symlink":
        os.symlink(victim, directory / name)
    else:
        os.link(victim, directory / name)


@pytest.mark.parametrize("kind", ["symlink", "hardlink"])
@pytest.mark.parametrize("name, operation", [
    ("queue.compact.tmp", "compact"),
    ("queue.purge.tmp", "purge"),
])
def test_planted_temp_file_is_replaced_never_written_through(queue_dir, victim, name, operation, kind):
    q = open_queue(queue_dir)
    plant(queue_dir, name, victim, kind)
    getattr(q, operation)()
    assert victim.read_bytes() == VICTIM_CONTENT
    assert not (queue_dir / name).exists()
    assert not log_path(queue_dir).is_symlink() and log_path(queue_dir).stat().st_ino != victim.stat().st_ino
    expected = [0, 2] if operation == "compact" else []
    assert [d[0] for d in q.dequeue_batch(10, LONG_LEASE_MS)] == expected
    del q
    assert open_queue(queue_dir).verify_integrity()["message"] == "clean"


@pytest.mark.parametrize("name", ["queue.log", ".proc_lock"])
def test_planted_link_for_the_log_or_the_lock_is_refused(tmp_path, victim, name):
    directory = tmp_path / "q"
    directory.mkdir()
    os.symlink(victim, directory / name)
    with pytest.raises(OSError, match="symbolic link"):
        open_queue(directory)
    assert victim.read_bytes() == VICTIM_CONTENT


def test_log_replaced_by_a_link_under_a_running_queue_is_refused(queue_dir, victim):
    q = open_queue(queue_dir)
    os.rename(log_path(queue_dir), queue_dir / "moved.log")
    os.symlink(victim, log_path(queue_dir))
    for call in (lambda: q.enqueue(b"x"), q.available, q.compact, q.verify_integrity):
        with pytest.raises(OSError, match="symbolic link"):
            call()
    assert victim.read_bytes() == VICTIM_CONTENT


PLANT_FIFO = r"""
import os, sys, tollivane
directory, name = sys.argv[1], sys.argv[2]
q = tollivane.TollivaneCore(directory)
q.enqueue(b"x")
os.rename(os.path.join(directory, name), os.path.join(directory, name + ".moved"))
os.mkfifo(os.path.join(directory, name))
calls = [q.verify_integrity, q.available, q.dequeue, q.compact, q.purge] if name == "queue.log" else []
for call in calls + [lambda: tollivane.TollivaneCore(directory)]:
    try:
        call()
        print("no error")
    except OSError as error:
        print(error)
"""


@pytest.mark.parametrize("name", ["queue.log", ".proc_lock", ".proc_hints"])
def test_planted_fifo_is_refused_without_blocking(tmp_path, name):
    # In a child with a time limit: a call that blocks on the FIFO fails the
    # test instead of hanging it.
    directory = tmp_path / "q"
    child = subprocess.run([sys.executable, "-c", PLANT_FIFO, str(directory), name],
                           capture_output=True, text=True, timeout=30)
    assert child.returncode == 0, child.stderr
    refused = f"Tollivane I/O error: refusing to open {directory}/{name}: it is not a regular file"
    # The hint page is no file a queue needs: a queue opens without it.
    expected = {"queue.log": [refused] * 6, ".proc_lock": [refused], ".proc_hints": ["no error"]}
    assert child.stdout.splitlines() == expected[name]


def test_planted_link_under_a_damaged_copy_name_is_left_alone(queue_dir, victim, capfd):
    start = read_frames(log_path(queue_dir).read_bytes())[0][0]
    flip_byte(log_path(queue_dir), start + 20)
    damaged = log_path(queue_dir).read_bytes()
    os.symlink(victim, queue_dir / f"queue.log.damaged-{start}")
    open_queue(queue_dir)
    capfd.readouterr()
    assert victim.read_bytes() == VICTIM_CONTENT
    assert (queue_dir / f"queue.log.damaged-{start}.1").read_bytes() == bytes(damaged[start:])


LIST_FDS = "import os; print('\\n'.join(os.path.realpath('/proc/self/fd/' + fd) for fd in os.listdir('/proc/self/fd')))"


def test_child_processes_inherit_no_descriptor_of_a_queue(queue_dir, capfd):
    queues = [open_queue(queue_dir), open_queue(queue_dir, sync_interval_ms=1000)]
    queues[0].enqueue(b"x" * 100_000)
    queues[0].dequeue(LONG_LEASE_MS)  # maps the log
    queues[1].compact()               # a replaced log and reloads
    queues[0].available()
    if os.fork() == 0:                # a forked child reopens its handles
        try:
            open_queue(queue_dir).available()
            queues[0].available()
            child = subprocess.run([sys.executable, "-c", LIST_FDS], close_fds=False,
                                   capture_output=True, text=True)
            os.write(1, child.stdout.encode())
        finally:
            os._exit(0)
    os.wait()
    forked = capfd.readouterr().out
    child = subprocess.run([sys.executable, "-c", LIST_FDS], close_fds=False, capture_output=True, text=True)
    for listing in (forked, child.stdout):
        assert "/proc/" in listing  # the listing itself ran
        assert str(queue_dir) not in listing


def rewrite_and_copy_the_log(queue_dir, capfd, look):
    """Compacts, purges and has a damaged region saved; returns what `look`
    finds of the new log each time and of the copy."""
    q = open_queue(queue_dir)
    q.compact()
    seen = [look("queue.log")]
    q.purge()
    seen.append(look("queue.log"))
    q.enqueue_batch([b"a", b"b"])
    del q
    flip_byte(log_path(queue_dir), 16 + 20)
    open_queue(queue_dir)
    capfd.readouterr()
    return seen + [look("queue.log.damaged-16")]


def test_replacement_logs_and_copies_keep_the_operators_permissions(queue_dir, capfd):
    old_umask = os.umask(0o022)
    try:
        os.chmod(log_path(queue_dir), 0o600)
        modes = rewrite_and_copy_the_log(queue_dir, capfd, lambda name: stat.S_IMODE((queue_dir / name).stat().st_mode))
        assert modes == [0o600] * 3
    finally:
        os.umask(old_umask)


def test_new_files_follow_the_umask(tmp_path):
    old_umask = os.umask(0o077)
    try:
        directory = tmp_path / "a" / "q"
        open_queue(directory).compact()
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE((tmp_path / "a").stat().st_mode) == 0o700
    assert stat.S_IMODE(directory.stat().st_mode) == 0o700
    for name in ("queue.log", ".proc_lock", ".proc_hints"):
        assert stat.S_IMODE((directory / name).stat().st_mode) == 0o600


@pytest.mark.skipif(os.geteuid() != 0, reason="only root may give a file away")
def test_replacement_logs_and_copies_keep_the_owner_when_root_writes_them(queue_dir, capfd):
    nobody = pwd.getpwnam("nobody")
    owner = (nobody.pw_uid, nobody.pw_gid)
    os.chown(log_path(queue_dir), *owner)

    def owner_of(name):
        info = (queue_dir / name).stat()
        return (info.st_uid, info.st_gid)

    assert rewrite_and_copy_the_log(queue_dir, capfd, owner_of) == [owner] * 3
    # A log torn in its header is replaced by a fresh one: still theirs.
    log_path(queue_dir).write_bytes(b"TLFL")
    open_queue(queue_dir)
    assert owner_of("queue.log") == owner
