#!/usr/bin/python3
"""A private IRRd 4 with its own PostgreSQL and Redis, for the interop suite.

    registry.py load   generate the dataset and, unless the cache already has it, load it into a
                       fresh PostgreSQL cluster kept in the cache (tools/interop/setup runs this)
    registry.py serve  copy the cached cluster into a run directory, start PostgreSQL, Redis and
                       IRRd (whois on 127.0.0.1:43), print "ready", serve until standard input
                       closes or a SIGTERM/SIGINT arrives, then stop all three (run inside the
                       private namespace made by tools/interop/serve)
    registry.py keys   print the cache keys (venv and database)

Every server is a child of this process and is stopped by its pid, whatever ends the run; they
also get a parent-death signal, so a killed supervisor does not leave them behind. PostgreSQL and
Redis listen on Unix sockets in the run directory only. Standard library only: this runs on
Debian's python3, before and outside the IRRd venv.
"""

import contextlib
import ctypes
import hashlib
import os
import pathlib
import pwd
import shutil
import signal
import string
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import dataset
from readiness import WHOIS_PORT, WHOIS_WORKERS, every_worker_answers, force_route_store_rebuild, probe

CACHE = pathlib.Path(os.environ.get("MORVANE_INTEROP_CACHE", "/var/cache/pymorvane-interop"))
USER = "morvane-interop"
HTTP_PORT = 8043
READY_DEADLINE_S = 120


def log(message: str) -> None:
    print(f"interop: {message}", file=sys.stderr, flush=True)


def pg_bindir() -> pathlib.Path:
    found = sorted(pathlib.Path("/usr/lib/postgresql").glob("*/bin/postgres"),
                   key=lambda p: int(p.parent.parent.name))
    if not found:
        sys.exit("interop: no PostgreSQL server binaries (tools/interop/setup installs them)")
    return found[-1].parent


def digest(*parts: bytes) -> str:
    h = hashlib.sha256()
    for part in parts:
        h.update(len(part).to_bytes(8, "little"))
        h.update(part)
    return h.hexdigest()[:16]


def venv_key() -> str:
    python = subprocess.run(["/usr/bin/python3", "-c", "import sys; print(sys.version)"],
                            capture_output=True, check=True).stdout
    return digest((HERE / "constraints.txt").read_bytes(), python)


def data_dir() -> pathlib.Path:
    """The generated RPSL files (regenerated when missing; the content hash keys the database)."""
    path = CACHE / "data"
    stamp = path / ".generator"
    generator = (HERE / "dataset.py").read_bytes()
    if not stamp.exists() or stamp.read_bytes() != generator:
        tmp = pathlib.Path(tempfile.mkdtemp(dir=CACHE, prefix="data."))
        dataset.write(tmp)
        (tmp / ".generator").write_bytes(generator)
        shutil.rmtree(path, ignore_errors=True)
        tmp.chmod(0o755)
        tmp.rename(path)
    return path


def db_key() -> str:
    data = data_dir()
    files = [(data / f"{s}.db").read_bytes() for s in dataset.SOURCES]
    return digest(venv_key().encode(), (HERE / "irrd.yaml.in").read_bytes(),
                  str(pg_bindir()).encode(), *files)


def venv_path() -> pathlib.Path:
    return CACHE / f"venv-{venv_key()}"


def db_path() -> pathlib.Path:
    return CACHE / f"db-{db_key()}"


def set_parent_death_signal(sig: int):
    libc = ctypes.CDLL(None, use_errno=True)

    def apply():
        libc.prctl(1, int(sig), 0, 0, 0)  # PR_SET_PDEATHSIG, after the switch of user

    return apply


class Stack:
    """The three servers of one run, started in order and stopped in reverse, each by its pid."""

    def __init__(self, run: pathlib.Path, venv: pathlib.Path):
        self.run = run
        self.venv = venv
        self.user = pwd.getpwnam(USER)
        self.procs: list[tuple[str, subprocess.Popen, int]] = []
        (run / "sock").mkdir(exist_ok=True)
        (run / "gnupg").mkdir(mode=0o700, exist_ok=True)
        (run / "pid").mkdir(exist_ok=True)
        for path in (run, run / "sock", run / "gnupg", run / "pid"):
            os.chown(path, self.user.pw_uid, self.user.pw_gid)
        self.config = run / "irrd.yaml"
        template = string.Template((HERE / "irrd.yaml.in").read_text())
        self.config.write_text(template.substitute(
            database_url=f"postgresql://{USER}@/irrd?host={run / 'sock'}",
            redis_url=f"unix://{run / 'sock' / 'redis.sock'}",
            piddir=run / "pid", keyring=run / "gnupg",
            whois_port=WHOIS_PORT, http_port=HTTP_PORT, whois_workers=WHOIS_WORKERS))

    def _start(self, name: str, argv: list[str], stop_signal: int) -> None:
        logfile = open(self.run / f"{name}.log", "ab")
        proc = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=logfile, stderr=subprocess.STDOUT,
            cwd=self.run, start_new_session=True, user=self.user.pw_uid, group=self.user.pw_gid,
            extra_groups=[], preexec_fn=set_parent_death_signal(stop_signal))
        logfile.close()
        self.procs.append((name, proc, stop_signal))

    def start_postgres(self, datadir: pathlib.Path) -> None:
        self._start("postgres", [
            str(pg_bindir() / "postgres"), "-D", str(datadir), "-k", str(self.run / "sock"),
            "-c", "listen_addresses=", "-c", "fsync=off", "-c", "full_page_writes=off",
            "-c", "synchronous_commit=off", "-c", "shared_buffers=128MB",
            # Keeps the cached cluster small (its copy is part of every run).
            "-c", "wal_level=minimal", "-c", "max_wal_senders=0", "-c", "max_wal_size=64MB",
            "-c", "min_wal_size=32MB",
        ], signal.SIGINT)  # SIGINT: fast shutdown
        # The socket appears before connections are accepted; pg_isready waits for the latter.
        self._wait_for(lambda: subprocess.run(
            [str(pg_bindir() / "pg_isready"), "-q", "-h", str(self.run / "sock")]).returncode == 0,
            "postgres")

    def start_redis(self) -> None:
        self._start("redis", [
            "redis-server", "--port", "0", "--unixsocket", str(self.run / "sock" / "redis.sock"),
            "--unixsocketperm", "700", "--save", "", "--appendonly", "no", "--daemonize", "no",
        ], signal.SIGTERM)
        self._wait_for(lambda: (self.run / "sock" / "redis.sock").exists(), "redis")

    def start_irrd(self) -> None:
        # Started as USER, not as root: a process that changes its own user loses its
        # parent-death signal. Port 43 is open to it because tools/interop/serve lowers the
        # namespace's first privileged port.
        self._start("irrd", [str(self.venv / "bin" / "irrd"), "--config", str(self.config),
                             "--foreground"], signal.SIGTERM)
        self._wait_for(lambda: probe(timeout=2) is not None, "irrd whois")

    def irrd_tool(self, *argv: str) -> None:
        out = subprocess.run([str(self.venv / "bin" / argv[0]), "--config", str(self.config),
                              *argv[1:]], capture_output=True, text=True, cwd=self.run,
                             user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        if out.returncode:
            raise RuntimeError(f"{argv[0]} failed ({out.returncode}):\n{out.stdout}{out.stderr}")

    def psql(self, db: str, sql: str) -> None:
        subprocess.run([str(pg_bindir() / "psql"), "-v", "ON_ERROR_STOP=1", "-q", "-h",
                        str(self.run / "sock"), "-U", USER, "-d", db, "-c", sql],
                       check=True, capture_output=True, user=self.user.pw_uid)

    def _wait_for(self, ready, what: str, deadline_s: float = READY_DEADLINE_S) -> None:
        end = time.monotonic() + deadline_s
        name, proc, _ = self.procs[-1]
        while not ready():
            if proc.poll() is not None:
                raise RuntimeError(f"{name} exited with {proc.returncode}:\n{self.tail(name)}")
            if time.monotonic() > end:
                raise RuntimeError(f"{what} not ready after {deadline_s} s:\n{self.tail(name)}")
            time.sleep(0.05)

    def tail(self, name: str) -> str:
        with contextlib.suppress(OSError):
            lines = (self.run / f"{name}.log").read_text(errors="replace").splitlines()
            return "\n".join(lines[-30:])
        return ""

    def stop(self) -> None:
        while self.procs:
            name, proc, sig = self.procs.pop()
            if proc.poll() is None:
                proc.send_signal(sig)
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    log(f"{name} (pid {proc.pid}) ignored its stop signal: killing its group")
                    with contextlib.suppress(ProcessLookupError):
                        os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
            # Whatever the leader left behind (IRRd's workers, PostgreSQL's backends) is in its
            # group; a group id is not reused while any member lives, so this reaches only them.
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(proc.pid, signal.SIGKILL)


def load() -> None:
    CACHE.mkdir(parents=True, exist_ok=True)
    target = db_path()
    if target.exists():
        log(f"database cached: {target}")
        return
    venv = venv_path()
    data = data_dir()
    run = pathlib.Path(tempfile.mkdtemp(prefix="pymorvane-interop-load."))
    cluster = pathlib.Path(tempfile.mkdtemp(dir=CACHE, prefix="db-building."))
    stack = Stack(run, venv)
    try:
        os.chown(cluster, stack.user.pw_uid, stack.user.pw_gid)
        subprocess.run([str(pg_bindir() / "initdb"), "-D", str(cluster), "-U", USER,
                        "--auth=trust", "-E", "UTF8", "--no-sync"],
                       check=True, capture_output=True, user=stack.user.pw_uid)
        stack.start_postgres(cluster)
        stack.start_redis()
        stack.psql("postgres", "CREATE DATABASE irrd")
        stack.psql("irrd", "CREATE EXTENSION pgcrypto")
        stack.irrd_tool("irrd_database_upgrade")
        for source in dataset.SOURCES:
            started = time.monotonic()
            stack.irrd_tool("irrd_load_database", "--source", source, str(data / f"{source}.db"))
            log(f"loaded {source} in {time.monotonic() - started:.1f} s")
        stack.stop()
        cluster.rename(target)
        for stale in CACHE.glob("db-*"):
            if stale != target:
                shutil.rmtree(stale, ignore_errors=True)
        log(f"database cached: {target}")
    finally:
        stack.stop()
        shutil.rmtree(run, ignore_errors=True)
        shutil.rmtree(cluster, ignore_errors=True)


def serve() -> None:
    # The venv first: until the set-up has made it, the cache folder that db_path() writes the
    # data set into may not exist.
    venv = venv_path()
    if not (venv / ".complete").exists() or not (cached := db_path()).exists():
        log("not prepared: run tools/interop/setup (make interop) first")
        sys.exit(77)
    stopping = []

    def on_signal(signum, frame):
        stopping.append(signum)
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    run = pathlib.Path(tempfile.mkdtemp(prefix="pymorvane-interop-run."))
    stack = None
    try:
        started = time.monotonic()
        stack = Stack(run, venv)
        datadir = run / "pgdata"
        subprocess.run(["cp", "-a", "--reflink=auto", str(cached), str(datadir)], check=True)
        stack.start_postgres(datadir)
        stack.start_redis()
        stack.start_irrd()
        end = time.monotonic() + READY_DEADLINE_S
        while True:
            force_route_store_rebuild(stack.run / "sock" / "redis.sock")
            time.sleep(1)
            if every_worker_answers(timeout=10):
                break
            if time.monotonic() > end:
                raise RuntimeError(f"IRRd workers not all answering:\n{stack.tail('irrd')}")
        log(f"IRRd ready on 127.0.0.1:{WHOIS_PORT} "
            f"in {time.monotonic() - started:.1f} s")
        print("ready", flush=True)
        # Serve until whoever started us closes our standard input (or dies).
        while sys.stdin.buffer.read(4096):
            pass
    except KeyboardInterrupt:
        if not stopping:
            raise
    finally:
        # A second stop request must not cut the stopping short.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if stack:
            stack.stop()
        shutil.rmtree(run, ignore_errors=True)


def main() -> None:
    command = sys.argv[1] if len(sys.argv) == 2 else ""
    if os.geteuid() != 0:
        sys.exit("interop: needs root (private namespace, port 43, a system user)")
    if command == "load":
        load()
    elif command == "serve":
        serve()
    elif command == "keys":
        print(f"venv {venv_path()}\ndb {db_path()}")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
