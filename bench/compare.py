#!/usr/bin/env python3
"""Side-by-side benchmark: the same origin-lookup workloads through pymorvane and its alternatives.

    .venv/bin/python bench/compare.py [--reps 5] [--quick] [--json out.json]

Every measurement runs in its own child process (so peak RSS is one client's) against one
irr_server process started here (one per reply size). Clients are interleaved within each
workload (all clients once, rotated, then again, `--reps` times) and the medians are reported.
Where namespaces can be made (as root, or in an unprivileged user namespace), the whole run moves
into a private network namespace (tools/with-registry-netns) where the registry host name maps to
127.0.0.1 and the server listens on port 43, so the production `pymorvane.fetch_routes` is
measured and every client resolves the same host name; elsewhere the test-only entry
`_pymorvane_testing.fetch_routes_from` is measured against 127.0.0.1. All traffic stays on
loopback; every child has a time limit.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import json
import os
import pathlib
import platform
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import clients as py_clients  # bench/clients.py: the Python clients, run as children
import report  # bench/report.py: medians and the Markdown table

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
NETNS = ROOT / "tools" / "with-registry-netns"
IN_NETNS_ENV = "MORVANE_BENCH_PRODUCTION"  # set to 1 inside the namespace (clients.py reads it)
REGISTRY_HOST = "whois.radb.net"
PR_SET_PDEATHSIG = 1

# key, reply prefixes, concurrency, lookups (full run), lookups (--quick)
WORKLOADS = [
    ("small-c1", 2, 1, 2000, 100),
    ("small-c100", 2, 100, 5000, 300),
    ("small-c1000", 2, 1000, 6000, 1000),
    ("big-c1", 100_000, 1, 40, 3),
    ("big-c8", 100_000, 8, 96, 8),
    ("inflight-10k", 2, 10_000, 10_000, 1000),  # all at once: concurrency == lookups
]
PY_CLIENTS = list(py_clients.CLIENTS)
CLIENTS = PY_CLIENTS + ["c-epoll", "bgpq4"]


def expected_prefix(i: int) -> str:
    """The i-th prefix irr_server sends (its make_reply)."""
    return f"{10 + (i >> 16) % 200}.{(i >> 8) & 255}.{i & 255}.0/24"


# --- processes ---------------------------------------------------------------------------------


class ChildResult:
    def __init__(self, rc, stdout, stderr, elapsed, rusage, timed_out):
        self.rc, self.stdout, self.stderr = rc, stdout, stderr
        self.elapsed, self.rusage, self.timed_out = elapsed, rusage, timed_out


def die_with_parent() -> None:
    """In a child before exec: be killed when the harness goes, however it goes."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def run_child(cmd, env=None, timeout=120.0) -> ChildResult:
    """Runs cmd to its end (killing it at `timeout`), keeping its own resource usage (wait4)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                                preexec_fn=die_with_parent)
        pidfd = os.pidfd_open(proc.pid)
        try:
            ready, _, _ = select.select([pidfd], [], [], timeout)
            timed_out = not ready
            if timed_out:
                os.kill(proc.pid, signal.SIGKILL)  # our own child, by its id
            _, status, rusage = os.wait4(proc.pid, 0)
        except BaseException:  # interrupted: leave no child behind
            os.kill(proc.pid, signal.SIGKILL)
            os.waitpid(proc.pid, 0)
            proc.returncode = -signal.SIGKILL
            raise
        finally:
            os.close(pidfd)
        elapsed = time.perf_counter() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return ChildResult(proc.returncode, out.read().decode(errors="replace"),
                           err.read().decode(errors="replace"), elapsed, rusage, timed_out)


class Server:
    """One irr_server process answering every query with `prefixes` prefixes."""

    def __init__(self, binary: pathlib.Path, host: str, port: int, prefixes: int, threads: int):
        self.proc = subprocess.Popen(
            [str(binary), "--host", host, "--port", str(port), "--prefixes", str(prefixes),
             "--threads", str(threads)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, preexec_fn=die_with_parent)
        ready, _, _ = select.select([self.proc.stdout], [], [], 30)
        line = self.proc.stdout.readline().decode() if ready else ""
        if not line.startswith("port "):
            self.stop()
            raise SystemExit(f"compare: irr_server did not start (said {line!r})")
        self.port = int(line.split()[1])

    def cpu(self) -> float:
        """CPU seconds the server has used so far (clock-tick resolution)."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()


def native_binaries(build_dir: pathlib.Path) -> dict[str, pathlib.Path]:
    """irr_server and epoll_client from the CMake build when present, else compiled here."""
    found = {}
    cache = ROOT / "build" / "bench-harness"
    for name, source in (("irr_server", "irr_server.cpp"), ("epoll_client", "epoll_client.cpp")):
        src = HERE / source
        built = build_dir / "bench" / name
        if built.exists() and built.stat().st_mtime >= src.stat().st_mtime:
            found[name] = built
            continue
        target = cache / name
        if not target.exists() or target.stat().st_mtime < src.stat().st_mtime:
            cache.mkdir(parents=True, exist_ok=True)
            cmd = ["g++", "-O2", "-std=c++20", "-pthread", "-o", str(target), str(src)]
            print(f"compare: building {name}: {' '.join(cmd)}", file=sys.stderr)
            subprocess.run(cmd, check=True, timeout=300)
        found[name] = target
    return found


# --- one measurement ---------------------------------------------------------------------------


def measure(client, workload, ctx) -> dict:
    """Runs one client once on one workload; returns its record (figures, or skip/failure)."""
    key, prefixes, concurrency, lookups = workload
    first, last = expected_prefix(0), expected_prefix(prefixes - 1)
    common = ["--host", ctx.host, "--port", str(ctx.port), "--lookups", str(lookups),
              "--concurrency", str(concurrency), "--expect-count", str(prefixes),
              "--expect-first", first, "--expect-last", last]
    server_cpu0 = ctx.server.cpu()
    rec = run_client(client, workload, ctx, common, first, last)
    if "lookups" in rec:
        # Per lookup the child asked for, warm-up included (Python clients warm up first).
        asked = rec["lookups"] + (py_clients.WARMUP if client in PY_CLIENTS else 0)
        rec["server_cpu_per_lookup"] = (ctx.server.cpu() - server_cpu0) / asked
    return rec


def run_client(client, workload, ctx, common, first, last) -> dict:
    if client == "bgpq4":
        return measure_bgpq4(workload, ctx, first, last)
    if client == "c-epoll":
        cmd = [str(ctx.binaries["epoll_client"]), *common, "--timeout", str(ctx.timeout)]
    else:
        cmd = [sys.executable, str(HERE / "clients.py"), client, *common,
               "--timeout", str(ctx.timeout)]
    r = run_child(cmd, env=ctx.env, timeout=ctx.timeout + 30)
    if r.timed_out or r.rc == 3:
        return {"failed": f"time limit ({ctx.timeout:g} s) reached"}
    try:
        rec = json.loads(r.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        tail = (r.stderr.strip().splitlines() or [f"exit code {r.rc}"])[-1]
        return {"failed": f"no result ({tail})"}
    if "skip" in rec:
        return rec
    if rec["errors"] or r.rc:
        return {"failed": f"{rec['errors']} failed lookups; first: {rec['first_error']}"}
    rec["child_maxrss_kib"] = r.rusage.ru_maxrss
    return rec


def measure_bgpq4(workload, ctx, first, last) -> dict:
    """bgpq4 pipelines every query over one connection and prints the union of the answers,
    sorted and without repeats: the check is on that union (all answers are the same list)."""
    key, prefixes, concurrency, lookups = workload
    if not ctx.bgpq4:
        return {"skip": "bgpq4 is not installed (apt-get install bgpq4)"}
    # Without -S it first asks "!s-lc" for the source list, which our server does not answer.
    objects = [f"AS{3333 + i}" for i in range(lookups)]
    cmd = [ctx.bgpq4, "-S", "RADB", "-h", f"{ctx.host}:{ctx.port}", "-F", "%n/%l\n", *objects]
    r = run_child(cmd, timeout=ctx.timeout)
    if r.timed_out:
        return {"failed": f"time limit ({ctx.timeout:g} s) reached"}
    lines = r.stdout.split()
    if r.rc or len(lines) != prefixes or lines[0] != first or lines[-1] != last:
        why = (r.stderr.strip().splitlines() or [""])[-1]
        return {"failed": f"exit {r.rc}, {len(lines)} prefixes; {why}"}
    cpu = r.rusage.ru_utime + r.rusage.ru_stime
    return {"lookups": lookups, "errors": 0, "elapsed": r.elapsed, "loop_cpu": cpu,
            "total_cpu": cpu, "rss_base_kib": None, "rss_peak_kib": r.rusage.ru_maxrss,
            "in_flight": None, "child_maxrss_kib": r.rusage.ru_maxrss}


# --- the run -----------------------------------------------------------------------------------


class Context:
    pass


def machine_description(ctx) -> dict:
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        import uvloop
        uv = uvloop.__version__
    except ImportError:
        uv = "not installed"
    return {
        "cpu": cpu,
        "cpus": len(os.sched_getaffinity(0)),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "uvloop": uv,
        "load_average": os.getloadavg(),
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "mode": ctx.mode,
        "server_threads": ctx.server_threads,
    }


def tune_namespace() -> None:
    """Inside our private namespace only: a listen backlog long enough for 10,000 connects at once
    (the default 4096 makes the burst wait on SYN retransmits, which measures the kernel)."""
    for path, value in (("/proc/sys/net/core/somaxconn", "65535"),
                        ("/proc/sys/net/ipv4/tcp_max_syn_backlog", "65535")):
        try:
            pathlib.Path(path).write_text(value)
        except OSError as e:
            print(f"compare: could not set {path}: {e}", file=sys.stderr)


def maybe_enter_namespace(args) -> None:
    """Re-runs this command inside tools/with-registry-netns when that is possible here."""
    if args.no_netns or os.environ.get(IN_NETNS_ENV) == "1":
        return
    probe = subprocess.run([str(NETNS), "true"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, timeout=30)
    if probe.returncode != 0:
        why = probe.stderr.decode().strip() or f"exit {probe.returncode}"
        print(f"compare: no private namespace ({why}); measuring the test-only entry on 127.0.0.1",
              file=sys.stderr)
        return
    os.environ[IN_NETNS_ENV] = "1"
    os.execv(str(NETNS), [str(NETNS), sys.executable, str(pathlib.Path(__file__).resolve()),
                          *sys.argv[1:]])


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--reps", type=int, default=5,
                   help="repetitions per client and workload (median)")
    p.add_argument("--quick", action="store_true",
                   help="smoke run: one repetition of much smaller workloads (a few seconds)")
    p.add_argument("--scale", type=float, default=1.0, help="multiply every workload's lookups")
    p.add_argument("--clients", default=",".join(CLIENTS),
                   help=f"comma-separated subset of {','.join(CLIENTS)}")
    p.add_argument("--workloads", default=",".join(w[0] for w in WORKLOADS),
                   help="comma-separated subset of " + ",".join(w[0] for w in WORKLOADS))
    p.add_argument("--json", metavar="PATH", help="also write every figure as JSON")
    p.add_argument("--chart", metavar="PNG",
                   help="also draw lookups/s and loop CPU per workload and client as a PNG "
                        "(bench/report.py with matplotlib: run by $MORVANE_BENCH_PYTHON, which "
                        "make bench sets to the bench venv's interpreter)")
    p.add_argument("--build-dir", default=str(ROOT / "build" / "default"),
                   help="CMake build whose python/ holds the modules (default build/default)")
    p.add_argument("--timeout", type=float, default=120.0, help="time limit of one measurement (s)")
    p.add_argument("--server-threads", type=int, default=1)
    p.add_argument("--no-netns", action="store_true", help="stay outside the private namespace")
    args = p.parse_args(argv)
    if args.reps < 1 or args.scale <= 0 or args.timeout <= 0:
        p.error("--reps, --scale and --timeout must be positive")
    for name in args.clients.split(","):
        if name not in CLIENTS:
            p.error(f"unknown client {name!r}")
    for name in args.workloads.split(","):
        if name not in {w[0] for w in WORKLOADS}:
            p.error(f"unknown workload {name!r}")
    if args.quick:
        args.reps = 1
    return args


def workloads_for(args) -> list[tuple]:
    chosen = []
    for key, prefixes, concurrency, full, quick in WORKLOADS:
        if key not in args.workloads.split(","):
            continue
        lookups = max(1, round((quick if args.quick else full) * args.scale))
        if key.startswith("inflight"):
            concurrency = lookups  # every lookup in flight at once
        chosen.append((key, prefixes, concurrency, lookups))
    return chosen


def main(argv=None) -> int:
    args = parse_args(argv)
    # A plain kill unwinds like ^C, so the servers and the running child are stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    maybe_enter_namespace(args)
    ctx = Context()
    production = os.environ.get(IN_NETNS_ENV) == "1"
    ctx.mode = ("private network namespace, production pymorvane.fetch_routes, "
                f"host {REGISTRY_HOST}" if production
                else "loopback 127.0.0.1, test-only _pymorvane_testing.fetch_routes_from")
    ctx.host = REGISTRY_HOST if production else "127.0.0.1"
    ctx.timeout = args.timeout
    ctx.server_threads = args.server_threads
    ctx.binaries = native_binaries(pathlib.Path(args.build_dir))
    ctx.bgpq4 = shutil.which("bgpq4") or shutil.which("bgpq4", path="/usr/bin")
    ctx.env = dict(os.environ)
    module_dir = str(pathlib.Path(args.build_dir) / "python")
    ctx.env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [module_dir, os.environ.get("PYTHONPATH")]))
    if production:
        tune_namespace()

    clients = args.clients.split(",")
    workloads = workloads_for(args)
    machine = machine_description(ctx)
    print(f"compare: {machine['cpus']} CPUs ({machine['cpu']}), {ctx.mode}; "
          f"{args.reps} repetition(s)", file=sys.stderr)

    runs: dict[str, dict[str, list]] = {w[0]: {c: [] for c in clients} for w in workloads}
    # Per workload: a module that appears mid-run (a build finishing) is measured from then on.
    skipped: dict[str, dict[str, str]] = {w[0]: {} for w in workloads}
    # One server per reply size (only one can own port 43 in the namespace).
    for prefixes in sorted({w[1] for w in workloads}):
        group = [w for w in workloads if w[1] == prefixes]
        server = Server(ctx.binaries["irr_server"], "127.0.0.1", 43 if production else 0,
                        prefixes, args.server_threads)
        ctx.port, ctx.server = server.port, server
        try:
            for w in group:
                for rep in range(args.reps):
                    order = clients[rep % len(clients):] + clients[:rep % len(clients)]
                    for client in order:
                        if client in skipped[w[0]]:
                            continue
                        rec = measure(client, w, ctx)
                        if "skip" in rec:
                            skipped[w[0]][client] = rec["skip"]
                            print(f"compare: {client} skipped: {rec['skip']}", file=sys.stderr)
                            continue
                        runs[w[0]][client].append(rec)
                        print(f"compare: {w[0]} rep {rep + 1} {client}: "
                              f"{report.summary_line(rec)}", file=sys.stderr)
        finally:
            server.stop()

    rows = report.aggregate(workloads, clients, runs, skipped)
    print(report.markdown(rows, machine, args))
    failed = any(r.get("failed") for r in rows)
    if args.json or args.chart:
        json_path = args.json or os.path.join(tempfile.mkdtemp(prefix="compare."), "run.json")
        with open(json_path, "w") as f:
            json.dump({"machine": machine, "reps": args.reps, "quick": args.quick,
                       "workloads": [dict(zip(("key", "prefixes", "concurrency", "lookups"), w,
                                              strict=True))
                                     for w in workloads],
                       "rows": rows, "runs": runs, "skipped": skipped}, f, indent=1)
        if args.chart and not draw_chart(json_path, args.chart):
            failed = True
        if not args.json:
            shutil.rmtree(os.path.dirname(json_path))
    return 1 if failed else 0


def draw_chart(json_path: str, png: str) -> bool:
    """bench/report.py's chart of the run, drawn by the interpreter that has matplotlib."""
    python = os.environ.get("MORVANE_BENCH_PYTHON") or sys.executable
    r = subprocess.run([python, str(HERE / "report.py"), json_path, "--chart", png],
                       stdin=subprocess.DEVNULL, timeout=300)
    if r.returncode:
        print(f"compare: the chart was not drawn ({python} exited {r.returncode}; matplotlib is in "
              "the bench venv: make bench sets it up)", file=sys.stderr)
    return r.returncode == 0


if __name__ == "__main__":
    sys.exit(main())
