#!/usr/bin/env python3
"""Who wakes whom during one lookup at a time: every thread wake-up of N sequential lookups.

    .venv/bin/python bench/handoffs.py [--lookups 500] [--warmup 300] [--json out.json]

As root only (perf's tracepoints). Runs in tools/with-registry-netns, as bench/compare.py does:
the production `pymorvane.fetch_routes` (2-prefix replies, 1 in flight) against bench's
irr_server on port 43. A child process warms up, times N lookups untraced, then runs N more while
`perf record -a` records the scheduler's wake-ups and context switches (system-wide) and every
system call of the client's and the server's threads. The analysis (pure functions below, tested
by bench/test_handoffs.py) turns the trace into one row per kind of hand-off: who wakes whom and
how, how many per lookup, and what each costs.

- A wake-up is a `sched:sched_waking` event whose wakee is a thread of the client or the server.
  The waker is the thread running when it fires; the mechanism is the system call that thread is
  in (a futex wake, an eventfd write, a send on the event loop's self-pipe, a TCP send...).
- Its cost is the time from the waker's entry into that system call to the wakee's return from
  the one it slept in (wake-to-run is the part from the wake-up to the wakee being switched in).
- Lookups are delimited by a marker system call (getppid) the child makes before each lookup.
- Thread roles: the loop is the main thread; the first W runtime threads (W = the worker count)
  are the workers, the later ones blocking-pool threads; the server's threads are "server".

The trace adds its own cost (a few hundred nanoseconds per system call traced): the median
untraced time per lookup, just before and just after the trace, is printed beside the traced one.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import datetime
import itertools
import json
import os
import pathlib
import platform
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
NETNS = ROOT / "tools" / "with-registry-netns"
IN_NETNS_ENV = "MORVANE_HANDOFFS_IN_NETNS"
RUNTIME_THREAD_NAME = "morvane-worker"  # runtime/os_thread.hpp's kThreadName
MARKER_NR = 110  # getppid: the child's marker before each lookup (and after the last)
ASN_BASE = 3333

# x86_64 system call numbers the analysis names.
SYSCALLS = {
    0: "read", 1: "write", 3: "close", 7: "poll", 9: "mmap", 10: "mprotect", 11: "munmap",
    14: "rt_sigprocmask", 20: "writev", 39: "getpid", 41: "socket", 42: "connect", 44: "sendto",
    45: "recvfrom", 46: "sendmsg", 47: "recvmsg", 54: "setsockopt", 55: "getsockopt",
    56: "clone", 110: "getppid", 202: "futex", 232: "epoll_wait", 233: "epoll_ctl",
    257: "openat", 262: "newfstatat", 270: "pselect6", 281: "epoll_pwait", 288: "accept4",
    435: "clone3", 441: "epoll_pwait2",
}
EPOLL_WAITS = {232, 281, 441}
SENDS = {1, 20, 44, 46}
FUTEX = 202
FUTEX_CMD_MASK = 0x7F  # without FUTEX_PRIVATE_FLAG (128) and FUTEX_CLOCK_REALTIME (256)
FUTEX_WAIT, FUTEX_WAKE, FUTEX_WAIT_BITSET, FUTEX_WAKE_BITSET = 0, 1, 9, 10
FUTEX_CLOCK_REALTIME = 256


# --- parsing `perf script -F comm,tid,cpu,time,event,trace --ns` ------------------------------

LINE = re.compile(r"^\s*(?P<comm>.*?)\s+(?P<tid>-?\d+)\s+\[(?P<cpu>\d+)\]\s+(?P<time>\d+\.\d+):"
                  r"\s+(?P<event>[\w:]+):\s*(?P<trace>.*)$")
ENTER = re.compile(r"NR (\d+) \(([^)]*)\)")
EXIT = re.compile(r"NR (-?\d+) = (-?\d+)")
WAKING = re.compile(r"pid=(\d+) .*target_cpu=(\d+)")
SWITCH = re.compile(r"prev_pid=(\d+) prev_prio=\S+ prev_state=(\S+) ==> .*next_pid=(\d+) ")


def parse_line(line: str):
    """One event as a tuple (kind, time_ns, tid, comm, fields), or None for other lines. The
    fields of a wake-up are (wakee, waker's CPU, wakee's last CPU), of a switch (previous task,
    its state, next task, CPU)."""
    m = LINE.match(line)
    if not m:
        return None
    sec, frac = m["time"].split(".")
    t = int(sec) * 1_000_000_000 + int(frac.ljust(9, "0")[:9])
    tid, event, trace = int(m["tid"]), m["event"], m["trace"] + " "
    if event == "raw_syscalls:sys_enter":
        e = ENTER.search(trace)
        if not e:
            return None
        args = [int(a, 16) for a in e[2].split(", ")] if e[2] else []
        return ("enter", t, tid, m["comm"], (int(e[1]), args))
    if event == "raw_syscalls:sys_exit":
        e = EXIT.search(trace)
        return ("exit", t, tid, m["comm"], (int(e[1]), int(e[2]))) if e else None
    if event in ("sched:sched_waking", "sched:sched_wakeup_new"):
        e = WAKING.search(trace)
        kind = "waking" if event.endswith("waking") else "wakeup_new"
        return (kind, t, tid, m["comm"], (int(e[1]), int(m["cpu"]), int(e[2]))) if e else None
    if event == "sched:sched_switch":
        e = SWITCH.search(trace)
        return ("switch", t, tid, m["comm"], (int(e[1]), e[2], int(e[3]), int(m["cpu"]))) \
            if e else None
    return None


# --- analysis ----------------------------------------------------------------------------------


class Layout:
    """What the child reported: its threads and descriptors; plus the server's threads."""

    def __init__(self, info: dict, server_tids):
        self.loop = info["pid"]
        self.runtime = set(info["runtime_tids"])
        self.worker_count = info["workers"]
        self.workers, self.blocking = set(), set(self.runtime)
        self.server = set(server_tids)
        self.eventfds = set(info["eventfds"])
        self.loop_epoll = info["loop_epoll"]
        self.runtime_epolls = set(info["epolls"]) - {self.loop_epoll}
        self.self_pipe = set(info["self_pipe"])
        self.names = {}  # futex address -> name, filled by name_futexes
        self.syscalls_traced = True  # False: only the markers were traced (--sched-only)

    def assign_roles(self, events) -> bool:
        """Workers are the runtime threads that wait in the reactor's epoll; the others are
        blocking threads. Falls back to creation order (thread ids, which wrap) when the trace
        does not show exactly the expected number of workers; returns whether it did."""
        for kind, _t, tid, _c, f in events:  # threads the runtime starts during the trace
            if kind == "exit" and f[0] in (56, 435) and f[1] > 0 and (
                    tid == self.loop or tid in self.runtime):
                self.runtime.add(f[1])
        polled = {tid for kind, _t, tid, _c, f in events
                  if kind == "enter" and tid in self.runtime and f[0] in EPOLL_WAITS
                  and f[1] and f[1][0] in self.runtime_epolls}
        by_behaviour = len(polled) == self.worker_count
        self.workers = polled if by_behaviour else set(sorted(self.runtime)[: self.worker_count])
        self.blocking = self.runtime - self.workers
        return by_behaviour

    def role(self, tid: int) -> str | None:
        if tid == self.loop:
            return "loop"
        if tid in self.workers:
            return "worker"
        if tid in self.blocking:
            return "blocking"
        if tid in self.server:
            return "server"
        return None

    def client(self, tid: int) -> bool:
        return self.role(tid) in ("loop", "worker", "blocking")


def futex_cmd(args) -> int:
    return args[1] & FUTEX_CMD_MASK


def name_futexes(events, layout: Layout) -> dict:
    """Names the futex words of the client by who waits on each and who wakes it.

    - The first condition-variable wait of a thread after it has called clone: waiting for the new
      thread to name itself ("new thread named").
    - FUTEX_WAIT (a contended mutex): "mutex (<roles that use it>)"; with the loop among them it is
      the interpreter lock's mutex.
    - Other waits (condition variables, FUTEX_WAIT_BITSET): the loop's, or blocking threads' timed
      waits on a word no worker wakes: the interpreter lock; other blocking threads' waits: the
      pool's idle wait; workers' waits: a worker parked on its condition variable.
    """
    waits = collections.defaultdict(set)  # addr -> {(role, timed)}
    mutex_users = collections.defaultdict(set)  # addr -> {role}
    wakers = collections.defaultdict(set)  # addr -> {role}
    cloned = set()  # tids whose last futex call came before a clone
    start_words = set()
    for kind, _t, tid, _comm, f in events:
        if kind != "enter":
            continue
        nr, args = f
        role = layout.role(tid)
        if nr in (56, 435):
            cloned.add(tid)
            continue
        if nr != FUTEX or role not in ("loop", "worker", "blocking"):
            continue
        cmd = futex_cmd(args)
        if cmd == FUTEX_WAIT:
            mutex_users[args[0]].add(role)
        elif cmd == FUTEX_WAIT_BITSET:
            if tid in cloned:
                start_words.add(args[0])
            waits[args[0]].add((role, not args[1] & FUTEX_CLOCK_REALTIME))
        elif cmd in (FUTEX_WAKE, FUTEX_WAKE_BITSET):
            wakers[args[0]].add(role)
        cloned.discard(tid)
    names = {}
    for addr, users in mutex_users.items():
        users = users | wakers[addr]
        names[addr] = ("interpreter lock's mutex" if "loop" in users
                       else f"mutex ({', '.join(sorted(users))})")
    for addr, who in waits.items():
        roles = {r for r, _ in who}
        if addr in start_words:
            names[addr] = "new thread named"
        elif "loop" in roles or ("worker" not in wakers[addr]
                                 and any(timed for r, timed in who if r == "blocking")):
            names[addr] = "interpreter lock"
        elif "blocking" in roles:
            names[addr] = "pool idle"
        elif "worker" in roles:
            names[addr] = "worker park"
        else:
            names[addr] = "futex"
    return names


def mechanism(call, layout: Layout, waker_role: str | None, comm: str) -> str:
    """How the waker woke: the system call it is in, named by what it acts on."""
    if waker_role is None:
        return f"kernel ({comm.split('/')[0]})"
    if call is None:
        return "no system call (interrupt)"
    nr, args, _t = call
    fd = args[0] if args else None
    if nr == FUTEX:
        return "futex wake" + (f" ({layout.names[args[0]]})" if args[0] in layout.names else "")
    if nr in SENDS and waker_role != "server" and fd in layout.eventfds:
        return "eventfd write"
    if nr in SENDS and waker_role != "server" and fd in layout.self_pipe:
        return "self-pipe send"
    if nr in SENDS:
        return "TCP send"
    if nr == 42:
        return "TCP connect"
    if nr == 3:
        return "close"
    return SYSCALLS.get(nr, f"syscall {nr}")


def waiting_in(call, layout: Layout, role: str) -> str:
    """What the wakee slept in."""
    if call is None:
        return "not in a system call"
    nr, args, _t = call
    if nr == FUTEX:
        return "futex" + (f" ({layout.names[args[0]]})" if args[0] in layout.names else "")
    if nr in EPOLL_WAITS:
        if role == "loop":
            return "epoll_wait (event loop)"
        if role == "worker":
            return "epoll_wait (reactor)"
        return "epoll_wait"
    return SYSCALLS.get(nr, f"syscall {nr}")


class Wake:
    __slots__ = ("lookup", "waker", "wakee", "how", "wait", "t_cause", "t_waking", "t_run",
                 "t_return", "slept", "waker_cpu", "cross", "offset", "job")

    def key(self):
        return (self.waker, self.wakee, self.how, self.wait, self.job)


def analyse(events, layout: Layout) -> dict:
    """Wake-ups, system calls and switches per lookup. `events` in time order."""
    roles_seen = layout.assign_roles(events)
    layout.names = name_futexes(events, layout)
    calls = {}  # tid -> (nr, args, t_enter) while in a system call
    asleep = set()
    pending = {}  # wakee tid -> Wake awaiting its switch-in and its return
    jobs = {}  # blocking tid -> the Wake that started its current run
    markers = []
    wakes: list[Wake] = []
    counters = collections.Counter()  # (lookup, name) -> count
    created = []  # (lookup, µs from the creator's clone to its return from the naming wait)
    cloning = {}  # creator tid -> time of its clone
    started = []  # the lookup during which each new runtime thread was started
    lookup = -1

    def count(name, n=1):
        if lookup >= 0:
            counters[(lookup, name)] += n

    for kind, t, tid, comm, f in events:
        role = layout.role(tid)
        if kind == "enter":
            nr, args = f
            calls[tid] = (nr, args, t)
            if nr in (56, 435) and layout.client(tid):
                cloning[tid] = t
            if tid == layout.loop and nr == MARKER_NR:
                markers.append(t)
                lookup = len(markers) - 1
            if role == "blocking" and nr in EPOLL_WAITS and args[0] in layout.runtime_epolls:
                count("misassigned roles (a blocking thread polled the reactor)")
            if role in ("loop", "worker", "blocking"):
                count(f"syscalls ({role})")
                if nr == FUTEX:
                    count(f"futex calls ({role})")
            if role == "blocking" and tid in jobs:
                # What the woken blocking thread does first tells which job woke it.
                if nr in SENDS and args and args[0] in layout.self_pipe:
                    jobs.pop(tid).job = "completion"
                elif nr == 257:  # openat: the resolver reads the hosts file
                    jobs.pop(tid).job = "name lookup"
        elif kind == "exit":
            nr, ret = f
            call = calls.pop(tid, None)
            if role in ("loop", "worker", "blocking") and call and call[0] == FUTEX:
                cmd = futex_cmd(call[1])
                if cmd in (FUTEX_WAKE, FUTEX_WAKE_BITSET) and ret == 0:
                    count("futex wakes that woke nobody")
            if role in ("loop", "worker", "blocking") and nr in (56, 435) and ret > 0:
                count("threads created")  # a blocking thread (assign_roles has seen it)
                if 0 <= lookup:
                    started.append(lookup)
            if (tid in cloning and call and call[0] == FUTEX
                    and layout.names.get(call[1][0]) == "new thread named"):
                created.append((lookup, (t - cloning.pop(tid)) / 1000))
            w = pending.pop(tid, None)
            if w is not None:
                w.t_return = t
        elif kind == "switch":
            prev, state, nxt, cpu = f
            if layout.client(prev) or prev in layout.server:
                if state not in ("R", "R+"):
                    asleep.add(prev)
                    if layout.client(prev):
                        count("sleeps (client threads)")
                        call = calls.get(prev)
                        if call and call[0] == FUTEX:
                            count("futex waits that slept")
                        elif call and call[0] in EPOLL_WAITS:
                            count(f"epoll waits that slept ({layout.role(prev)})")
                elif layout.client(prev):
                    count("preemptions (client threads)")
            if nxt in asleep:
                asleep.discard(nxt)
                w = pending.get(nxt)
                if w is not None and w.t_run is None:
                    w.t_run = t
                    w.cross = cpu != w.waker_cpu
        elif kind in ("waking", "wakeup_new"):
            wakee, cpu, _last_cpu = f
            wrole = layout.role(wakee)
            if wrole is None or kind == "wakeup_new":
                continue
            w = Wake()
            w.lookup, w.waker, w.wakee = lookup, role or "other", wrole
            call = calls.get(tid)
            if layout.syscalls_traced:
                w.how = mechanism(call, layout, role, comm)
                w.wait = waiting_in(calls.get(wakee), layout, wrole)
            else:
                w.how = "wake-up" if role else mechanism(None, layout, None, comm)
                w.wait = "–"
            w.t_cause = call[2] if call and role and layout.syscalls_traced else t
            w.t_waking, w.t_run, w.t_return = t, None, None
            w.slept = wakee in asleep
            w.waker_cpu, w.cross = cpu, None  # cross: known once the wakee runs
            w.offset = t - markers[-1] if markers else None
            w.job = ""
            if wrole == "blocking" and w.wait == "futex (pool idle)":
                jobs[wakee] = w  # a job handed over: which one, the wakee's next calls tell
            pending[wakee] = w
            wakes.append(w)
    return {"markers": markers, "wakes": wakes, "counters": counters, "created": created,
            "started": started,
            "roles_seen": roles_seen}


def summarise(result: dict) -> dict:
    """The table: one row per kind of wake-up, over the complete lookups (between markers)."""
    markers = result["markers"]
    n = len(markers) - 1
    if n < 1:
        raise SystemExit("handoffs: no complete lookup in the trace (no markers)")
    groups = collections.defaultdict(list)
    for w in result["wakes"]:
        if 0 <= w.lookup < n:
            groups[w.key()].append(w)
    rows = []
    for key, ws in groups.items():
        waker, wakee, how, wait, job = key
        costs = [(w.t_return - w.t_cause) / 1000 for w in ws if w.t_return is not None]
        runs = [(w.t_run - w.t_waking) / 1000 for w in ws if w.t_run is not None]
        rows.append({
            "waker": waker, "wakee": wakee, "how": how, "wait": wait, "job": job,
            "count": len(ws), "per_lookup": len(ws) / n,
            "slept": sum(w.slept for w in ws) / len(ws),
            # Of the wake-ups whose wakee was seen switched in: ran on another CPU than the waker's.
            "cross_cpu": (sum(w.cross for w in ran) / len(ran)) if (
                ran := [w for w in ws if w.cross is not None]) else None,
            "cost_us": statistics.median(costs) if costs else None,
            "wake_to_run_us": statistics.median(runs) if runs else None,
            "offset_us": statistics.median(w.offset / 1000 for w in ws),
        })
    # The timeline of a lookup first (by median offset from its start), the rare rows after.
    rows.sort(key=lambda r: (r["per_lookup"] < 0.05, r["offset_us"]))
    durations = [(b - a) / 1000 for a, b in itertools.pairwise(markers)]
    totals = collections.Counter()
    for (lookup, name), v in result["counters"].items():
        if 0 <= lookup < n:
            totals[name] += v
    return {
        "lookups": n,
        "rows": rows,
        "lookup_us_median": statistics.median(durations),
        "lookup_us_p90": sorted(durations)[int(0.9 * (len(durations) - 1))],
        "per_lookup": {k: v / n for k, v in sorted(totals.items())},
        "wakes_per_lookup": sum(r["per_lookup"] for r in rows),
        "client_wakes_per_lookup": sum(r["per_lookup"] for r in rows if r["wakee"] != "server"),
        "roles_seen": result["roles_seen"],
        "threads_created": sum(1 for lookup in result["started"] if lookup < n),
        "thread_creation_us": (statistics.median(us for _, us in result["created"])
                               if result["created"] else None),
    }


def fmt_pct(v) -> str:
    return "–" if v is None else f"{v * 100:.0f}%"


def fmt(v, digits=1) -> str:
    return "–" if v is None else f"{v:,.{digits}f}"


RARE = 0.05  # wake-ups per lookup under which a kind is folded into one row of the table


def markdown(summary: dict, meta: dict, all_rows: bool = False) -> str:
    lines = [
        f"{meta['date']}; {meta['machine']}; load average {meta['load_before']} before, "
        f"{meta['load_after']} after.",
        f"Traced: {meta['traced']}. "
        + (f"Client and server pinned to CPU {meta['pinned']}. " if meta.get("pinned") else "")
        + f"{summary['lookups']} sequential lookups traced after {meta['warmup']} of warm-up; "
        f"per lookup {fmt(summary['lookup_us_median'])} µs traced (median, p90 "
        f"{fmt(summary['lookup_us_p90'])}); untraced, the median of {meta['untraced_lookups']} "
        f"lookups was {fmt(meta['untraced_us'])} µs before the trace and "
        f"{fmt(meta['untraced_after_us'])} µs after it.",
        "",
        "| hand-off | who wakes whom | how the wakee waited | per lookup | slept | other CPU | "
        "median cost µs | median wake→run µs | at µs |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    rare = [r for r in summary["rows"] if r["per_lookup"] < RARE]
    for r in summary["rows"]:
        if r["per_lookup"] < RARE and not all_rows:
            continue
        what = f"{r['waker']} → {r['wakee']}" + (f" ({r['job']})" if r["job"] else "")
        lines.append(
            f"| {r['how']} | {what} | {r['wait']} | {r['per_lookup']:.2f} | "
            f"{r['slept'] * 100:.0f}% | {fmt_pct(r['cross_cpu'])} | {fmt(r['cost_us'])} | "
            f"{fmt(r['wake_to_run_us'])} | {fmt(r['offset_us'], 0)} |")
    if rare and not all_rows:
        lines.append(f"| {len(rare)} rarer kinds (each under {RARE} per lookup; --all-rows lists "
                     f"them) | | | {sum(r['per_lookup'] for r in rare):.2f} | | | | | |")
    lines += ["", f"Wake-ups per lookup: {summary['client_wakes_per_lookup']:.2f} of the client's "
              f"threads, {summary['wakes_per_lookup'] - summary['client_wakes_per_lookup']:.2f} of "
              f"the server's. CPU time stolen by the hypervisor during the run: "
              f"{meta.get('steal_ms', 0):.0f} ms."
              + (f" Threads created: {summary['threads_created']} (median "
                 f"{fmt(summary['thread_creation_us'])} µs from the creator's clone to its return "
                 f"from the wait for the new thread's name)." if summary["threads_created"]
                 else " No thread was created.")
              + ("" if summary["roles_seen"] else " Workers told apart by thread id (the trace "
                 "did not show which threads poll the reactor): roles may be mixed up.")]
    lines += ["", "Per lookup: " + "; ".join(f"{k} {v:.2f}"
                                             for k, v in summary["per_lookup"].items()) + "."]
    return "\n".join(lines)


# --- the child: the lookups --------------------------------------------------------------------


async def child_main(args) -> None:
    import pymorvane

    loop = asyncio.get_running_loop()

    async def one(i):
        r = await pymorvane.fetch_routes(ASN_BASE + i)
        if r != ["10.0.0.0/24", "10.0.1.0/24"]:
            raise SystemExit(f"handoffs: wrong answer {r!r}")

    async def timed() -> float:
        """The median time of one lookup (µs) over --lookups, untraced."""
        times = []
        for i in range(args.lookups):
            t0 = time.perf_counter_ns()
            await one(i)
            times.append((time.perf_counter_ns() - t0) / 1000)
        return statistics.median(times)

    for i in range(args.warmup):
        await one(i)
    untraced = await timed()
    # Past the pool's keep-alive its idle blocking threads end: the traced lookups create them anew.
    await asyncio.sleep(args.idle)
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[int(fd)] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass
    runtime_tids = []
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:  # noqa: ASYNC230 - a /proc read, not I/O to wait for
            if f.read().strip() == "morvane-worker":
                runtime_tids.append(int(tid))
    workers = int(os.environ.get("MORVANE_WORKER_THREADS") or len(os.sched_getaffinity(0)))
    print(json.dumps({
        "pid": os.getpid(), "runtime_tids": runtime_tids, "workers": workers,
        "eventfds": [fd for fd, link in fds.items() if link == "anon_inode:[eventfd]"],
        "epolls": [fd for fd, link in fds.items() if link == "anon_inode:[eventpoll]"],
        "loop_epoll": loop._selector.fileno(),
        "self_pipe": [loop._ssock.fileno(), loop._csock.fileno()],
        "untraced_us": untraced,
    }), flush=True)
    sys.stdin.readline()  # the tracer is recording
    for i in range(args.lookups):
        os.getppid()  # marker
        await one(i)
    os.getppid()
    print(json.dumps({"done": True}), flush=True)
    sys.stdin.readline()  # the tracer has stopped
    print(json.dumps({"untraced_after_us": await timed()}), flush=True)


# --- the parent: server, child, perf -----------------------------------------------------------


def ensure_tracefs() -> None:
    if pathlib.Path("/sys/kernel/tracing/events/sched").is_dir():
        return
    # Inside the private mount namespace of with-registry-netns: gone with it.
    subprocess.run(["mount", "-t", "tracefs", "nodev", "/sys/kernel/tracing"], check=True)


def steal_ms() -> float:
    """CPU time the hypervisor has taken from this machine's CPUs so far (/proc/stat)."""
    with open("/proc/stat") as f:
        fields = f.readline().split()
    return int(fields[8]) * 1000 / os.sysconf("SC_CLK_TCK")


def load() -> str:
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def machine() -> str:
    cpu = "unknown CPU"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    return (f"{len(os.sched_getaffinity(0))} CPUs ({cpu}), Linux {platform.release()}, "
            f"CPython {platform.python_version()}")


def trace(args) -> int:
    sys.path.insert(0, str(HERE))
    import compare

    ensure_tracefs()
    meta = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "machine": machine(), "load_before": load(), "warmup": args.warmup,
            "untraced_lookups": args.lookups}
    steal0 = steal_ms()
    binaries = compare.native_binaries(pathlib.Path(args.build_dir))
    server = compare.Server(binaries["irr_server"], "127.0.0.1", 43, 2, 1)
    work = pathlib.Path(args.keep_trace or tempfile.mkdtemp(prefix="handoffs."))
    work.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(pathlib.Path(args.build_dir) / "python"), env.get("PYTHONPATH")]))
    if args.pin:  # as many workers as unpinned (the count follows the affinity mask)
        env.setdefault("MORVANE_WORKER_THREADS", str(len(os.sched_getaffinity(0))))
    child = subprocess.Popen(
        [sys.executable, __file__, "--child", "--lookups", str(args.lookups),
         "--warmup", str(args.warmup), "--idle", str(args.idle)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env,
        preexec_fn=compare.die_with_parent)
    if args.pin:
        cpus = {int(c) for c in args.pin.split(",")}
        os.sched_setaffinity(child.pid, cpus)  # its threads, started later, inherit it
        for tid in os.listdir(f"/proc/{server.proc.pid}/task"):
            os.sched_setaffinity(int(tid), cpus)
        meta["pinned"] = args.pin
    perf = None
    try:
        line = child.stdout.readline()
        if not line:
            raise SystemExit("handoffs: the child ended before its warm-up finished")
        info = json.loads(line)
        meta["untraced_us"] = info["untraced_us"]
        server_tids = [int(t) for t in os.listdir(f"/proc/{server.proc.pid}/task")]
        # The runtime's threads by name, so that one started during the trace is traced too
        # (other processes' runtime threads are traced as well, and left out by the analysis).
        runtime = f'comm == "{RUNTIME_THREAD_NAME}"'
        syscall_filter = " || ".join(
            [f"common_pid == {t}" for t in (info["pid"], *server_tids)] + [runtime])
        ctl, ack = work / "ctl.fifo", work / "ack.fifo"
        for p in (ctl, ack):
            if p.exists():
                p.unlink()
            os.mkfifo(p)
        data = work / "perf.data"
        if args.sched_only:  # the markers, and the runtime threads' epoll waits (their roles)
            polls = " || ".join(f"id == {nr}" for nr in sorted(EPOLL_WAITS))
            syscalls = ["-e", "raw_syscalls:sys_enter", "--filter",
                        f"(common_pid == {info['pid']} && id == {MARKER_NR}) || "
                        f"(({runtime}) && ({polls}))"]
        else:
            syscalls = ["-e", "raw_syscalls:sys_enter", "--filter", syscall_filter,
                        "-e", "raw_syscalls:sys_exit", "--filter", syscall_filter]
        perf = subprocess.Popen(
            ["perf", "record", "-a", "-q", "-m", "64M", "-D", "-1",
             f"--control=fifo:{ctl},{ack}", "-o", str(data),
             "-e", "sched:sched_waking", "-e", "sched:sched_wakeup_new",
             "-e", "sched:sched_switch", *syscalls],
            stdin=subprocess.DEVNULL)
        with open(ctl, "w") as c, open(ack) as a:
            c.write("enable\n")
            c.flush()
            a.readline()
            child.stdin.write("go\n")
            child.stdin.flush()
            if not json.loads(child.stdout.readline() or "{}").get("done"):
                raise SystemExit("handoffs: the child failed during the traced lookups")
            c.write("disable\n")
            c.flush()
            a.readline()
        perf.send_signal(signal.SIGINT)
        perf.wait(60)
        child.stdin.write("untraced\n")
        child.stdin.flush()
        meta["untraced_after_us"] = json.loads(child.stdout.readline())["untraced_after_us"]
        child.wait(30)
        meta["load_after"] = load()
        meta["steal_ms"] = steal_ms() - steal0
        meta["traced"] = ("scheduler events and the markers" if args.sched_only else
                          "scheduler events and every system call of the client and the server")
        (work / "layout.json").write_text(json.dumps(
            {"info": info, "server_tids": server_tids, "meta": meta,
             "sched_only": args.sched_only}, indent=1))
    finally:
        if perf and perf.poll() is None:
            perf.kill()
        if child.poll() is None:
            child.kill()
        child.wait()
        server.stop()
    try:
        return report_trace(work, args)
    finally:
        if not args.keep_trace:
            for p in work.iterdir():
                p.unlink()
            work.rmdir()


def report_trace(work: pathlib.Path, args) -> int:
    """The table of a trace: perf.data and layout.json in `work` (a --keep-trace folder)."""
    saved = json.loads((work / "layout.json").read_text())
    script = subprocess.Popen(
        ["perf", "script", "-i", str(work / "perf.data"), "--ns", "-F",
         "comm,tid,cpu,time,event,trace"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    events = [e for e in map(parse_line, script.stdout) if e is not None]
    if script.wait():
        raise SystemExit(f"handoffs: perf script failed on {work / 'perf.data'}")
    layout = Layout(saved["info"], saved["server_tids"])
    layout.syscalls_traced = not saved["sched_only"]
    summary = summarise(analyse(events, layout))
    print(markdown(summary, saved["meta"], args.all_rows))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"meta": saved["meta"], "summary": summary}, f, indent=1)
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--lookups", type=int, default=500, help="lookups traced (and timed untraced)")
    p.add_argument("--warmup", type=int, default=300, help="lookups before the measurement")
    p.add_argument("--build-dir", default=str(ROOT / "build" / "module"),
                   help="CMake build whose python/ holds the module (default build/module)")
    p.add_argument("--json", metavar="PATH", help="also write the table as JSON")
    p.add_argument("--keep-trace", metavar="DIR",
                   help="keep the trace (perf.data, layout.json) in DIR")
    p.add_argument("--analyse", metavar="DIR",
                   help="no new run: the table of a trace kept with --keep-trace")
    p.add_argument("--all-rows", action="store_true",
                   help=f"list every kind of wake-up (by default those under {RARE} per lookup "
                        "are counted in one row)")
    p.add_argument("--idle", type=float, default=0.0, metavar="S",
                   help="wait S seconds before the traced lookups (past the blocking pool's "
                        "10 s keep-alive, its threads are created again while traced; their own "
                        "system calls are not traced then)")
    p.add_argument("--pin", metavar="CPUS",
                   help="run the client and the server on these CPUs only (e.g. 1): every "
                        "hand-off then stays on one CPU; the runtime keeps the worker count it "
                        "has unpinned (MORVANE_WORKER_THREADS)")
    p.add_argument("--sched-only", action="store_true",
                   help="trace the scheduler's events alone (no system calls: less overhead, "
                        "but no mechanism and no cost, only wake-to-run)")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.lookups < 2 or args.warmup < 0:
        p.error("--lookups must be at least 2")
    if args.child:
        asyncio.run(child_main(args))
        return 0
    if args.analyse:
        return report_trace(pathlib.Path(args.analyse), args)
    if os.geteuid() != 0:
        raise SystemExit("handoffs: needs root (perf's tracepoints and the private namespace)")
    if os.environ.get(IN_NETNS_ENV) != "1":
        os.environ[IN_NETNS_ENV] = "1"
        os.execv(str(NETNS), [str(NETNS), sys.executable, str(pathlib.Path(__file__).resolve()),
                              *sys.argv[1:]])
    return trace(args)


if __name__ == "__main__":
    sys.exit(main())
