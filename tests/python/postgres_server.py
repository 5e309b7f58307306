"""A throw-away PostgreSQL server for the tests and benchmarks of the
PostgreSQL queue: `initdb` in a temporary directory, reachable only through a
Unix socket in that directory, run as an unprivileged user when we are root
(the server refuses to run as root), and removed when stopped."""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

SERVER_USER = "nobody"
DATABASE_USER = "postgres"


def find_bin_dir():
    """The newest installed server's program directory, or None."""
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    if candidates:
        return os.path.dirname(candidates[-1])
    initdb = shutil.which("initdb")
    return os.path.dirname(initdb) if initdb else None


class PostgresServer:
    """One server with its own data and socket directory. `durable=False`
    turns off the server's fsync: commits still wait until their WAL is
    written to the operating system, so a killed server keeps them, which
    is what the tests check; only a power cut could lose them. Benchmarks
    keep fsync on."""

    def __init__(self, durable=False):
        self.bin_dir = find_bin_dir()
        if self.bin_dir is None:
            raise RuntimeError("no PostgreSQL server programs (initdb) found; install the distribution's postgresql package")
        self.base_dir = tempfile.mkdtemp(prefix="tollivane-pg-")
        self.data_dir = os.path.join(self.base_dir, "data")
        self.durable = durable
        self._run_as = []
        if os.geteuid() == 0:
            account = pwd.getpwnam(SERVER_USER)
            os.chown(self.base_dir, account.pw_uid, account.pw_gid)
            self._run_as = ["runuser", "-u", SERVER_USER, "--"]
        try:
            self._run("initdb", "-D", self.data_dir, "-A", "trust", "-U", DATABASE_USER, "-E", "UTF8", "--no-sync")
        except BaseException:
            shutil.rmtree(self.base_dir, ignore_errors=True)
            raise

    def _run(self, program, *args, check=True):
        command = self._run_as + [os.path.join(self.bin_dir, program), *args]
        # A sanitizer runtime preloaded into the tests must not reach the
        # server's programs, which hang with it.
        environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
        result = subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=self.base_dir,
                                env=environment)
        if check and result.returncode != 0:
            raise RuntimeError(f"{program} failed ({result.returncode}): {result.stdout}{result.stderr}")
        return result

    def start(self):
        options = f"-k {self.base_dir} -c listen_addresses='' -c max_connections=200"
        if not self.durable:
            options += " -c fsync=off"
        self._run("pg_ctl", "-D", self.data_dir, "-o", options, "-l", os.path.join(self.base_dir, "server.log"),
                  "-w", "-t", "60", "start")

    def stop(self, mode="fast"):
        """Stops the server; mode "immediate" kills it as a crash would."""
        self._run("pg_ctl", "-D", self.data_dir, "-m", mode, "-w", "-t", "60", "stop", check=False)

    def remove(self):
        self.stop()
        shutil.rmtree(self.base_dir, ignore_errors=True)

    def log_tail(self, lines=20):
        try:
            with open(os.path.join(self.base_dir, "server.log")) as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return ""

    @property
    def conninfo(self):
        return f"host={self.base_dir} user={DATABASE_USER} dbname=postgres"
