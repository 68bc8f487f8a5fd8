"""Checks of bench/handoffs.py's analysis on made-up traces in `perf script` text form: that it
finds the lookups, tells the threads apart, names what each wake-up goes through and times it.

    .venv/bin/python -m pytest bench/test_handoffs.py

No tracing and no process: the trace is written here, line by line, as perf prints it.
"""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import handoffs

LOOP, W1, W2, B1, SERVER = 100, 101, 102, 103, 200
EVENTFD, REACTOR, LOOP_EPOLL, SSOCK, CSOCK, SERVER_EPOLL, TCP = 7, 6, 3, 4, 5, 4, 11
PARK, POOL, GIL, QUEUE_MUTEX = 0xA0, 0xB0, 0xC0, 0xD0
COMM = {LOOP: "python", W1: "morvane-worker", W2: "morvane-worker", B1: "morvane-worker",
        SERVER: "irr_server"}
INFO = {"pid": LOOP, "runtime_tids": [W1, W2, B1], "workers": 2, "eventfds": [EVENTFD],
        "epolls": [LOOP_EPOLL, REACTOR], "loop_epoll": LOOP_EPOLL, "self_pipe": [SSOCK, CSOCK]}


class Trace:
    """Writes perf-script lines, one microsecond apart unless told otherwise."""

    def __init__(self):
        self.t = 1_000_000_000_000  # ns
        self.lines = []

    def _line(self, tid, event, trace, dt_us=1.0, cpu=1):
        self.t += int(dt_us * 1000)
        sec, ns = divmod(self.t, 1_000_000_000)
        comm = COMM.get(tid, "cc1plus")
        self.lines.append(f"{comm:>16} {tid:>5} [{cpu:03d}] {sec:5d}.{ns:09d}: {event:>22}: "
                          f"{trace}")

    def enter(self, tid, nr, *args, dt_us=1.0):
        shown = ", ".join(f"{a:x}" for a in (list(args) + [0] * 6)[:6])
        self._line(tid, "raw_syscalls:sys_enter", f"NR {nr} ({shown})", dt_us)

    def exit(self, tid, nr, ret=0, dt_us=1.0):
        self._line(tid, "raw_syscalls:sys_exit", f"NR {nr} = {ret}", dt_us)

    def wake(self, waker, wakee, dt_us=1.0):
        self._line(waker, "sched:sched_waking",
                   f"comm={COMM.get(wakee, 'x')} pid={wakee} prio=120 target_cpu=001", dt_us)

    def switch(self, prev, state, nxt, dt_us=1.0, cpu=1):
        self._line(prev, "sched:sched_switch",
                   f"prev_comm={COMM.get(prev, 'x')} prev_pid={prev} prev_prio=120 "
                   f"prev_state={state} ==> next_comm={COMM.get(nxt, 'x')} next_pid={nxt} "
                   "next_prio=120", dt_us, cpu)

    def sleep_in(self, tid, nr, *args, to=0):
        self.enter(tid, nr, *args)
        self.switch(tid, "S", to)

    def events(self):
        return [e for e in map(handoffs.parse_line, self.lines) if e is not None]


def idle_start(tr, w2_polls=True):
    """Every thread asleep where it waits between lookups."""
    tr.sleep_in(W1, 202, PARK, 0x189)
    if w2_polls:
        tr.sleep_in(W2, 232, REACTOR, 0, 1024, 0xFFFFFFFF)
    else:
        tr.sleep_in(W2, 202, PARK + 8, 0x189)
    tr.sleep_in(B1, 202, POOL, 0x89)
    tr.sleep_in(SERVER, 232, SERVER_EPOLL)


def one_lookup(tr):
    """The six client hand-offs of a lookup, and the server's accept."""
    tr.enter(LOOP, 110)  # marker
    tr.exit(LOOP, 110)
    tr.enter(LOOP, 202, PARK, 0x81, 1)  # the loop wakes a parked worker
    tr.wake(LOOP, W1)
    tr.exit(LOOP, 202, 1)
    tr.sleep_in(LOOP, 232, LOOP_EPOLL, to=W1)
    tr.exit(W1, 202, 0, dt_us=2)
    tr.enter(W1, 202, POOL, 0x81, 1)  # the name lookup to the pool
    tr.wake(W1, B1)
    tr.exit(W1, 202, 1)
    tr.sleep_in(W1, 232, REACTOR, to=B1)
    tr.exit(B1, 202, 0, dt_us=3)
    tr.enter(B1, 257)  # openat: the hosts file
    tr.exit(B1, 257, 12, dt_us=5)
    tr.enter(B1, 1, EVENTFD)  # the task woken through the eventfd
    tr.wake(B1, W1)
    tr.exit(B1, 1, 8)
    tr.sleep_in(B1, 202, POOL, 0x89, to=W1)
    tr.exit(W1, 232, 1)
    tr.enter(W1, 42, TCP)
    tr.wake(W1, SERVER)
    tr.exit(W1, 42, -115)
    tr.sleep_in(W1, 232, REACTOR, to=SERVER)
    tr.exit(SERVER, 232, 1)
    tr.enter(SERVER, 44, 5)
    tr.wake(SERVER, W1)
    tr.exit(SERVER, 44, 30)
    tr.sleep_in(SERVER, 232, SERVER_EPOLL, to=W1)
    tr.exit(W1, 232, 1)
    tr.enter(W1, 202, POOL, 0x81, 1)  # the completion to the pool
    tr.wake(W1, B1)
    tr.exit(W1, 202, 1)
    tr.sleep_in(W1, 202, PARK, 0x189, to=B1)
    tr.exit(B1, 202, 0, dt_us=4)
    tr.enter(B1, 44, CSOCK)  # call_soon_threadsafe's self-pipe byte
    tr.wake(B1, LOOP)
    tr.exit(B1, 44, 1)
    tr.sleep_in(B1, 202, POOL, 0x89, to=LOOP)
    tr.exit(LOOP, 232, 1, dt_us=2)


def analysed(tr):
    layout = handoffs.Layout(INFO, [SERVER])
    return handoffs.summarise(handoffs.analyse(tr.events(), layout)), layout


def lookups(n, w2_polls=True):
    tr = Trace()
    idle_start(tr, w2_polls)
    for _ in range(n):
        one_lookup(tr)
    tr.enter(LOOP, 110)  # the closing marker
    return tr


def rows_by(summary):
    return {(r["waker"], r["wakee"], r["how"], r["job"]): r for r in summary["rows"]}


def test_parses_perf_script_lines_including_a_command_name_with_spaces():
    kind, t, tid, comm, f = handoffs.parse_line(
        "  Web Content  4242 [001]  5858.855085369:     sched:sched_waking: comm=python "
        "pid=20666 prio=120 target_cpu=000")
    assert (kind, t, tid, comm, f) == ("waking", 5858855085369, 4242, "Web Content",
                                       (20666, 1, 0))
    assert handoffs.parse_line("      python 20666 [001]  5858.855098192: raw_syscalls:sys_enter: "
                               "NR 202 (55a, 81, 1, 0, 0, ffffffff)")[4] == (
        202, [0x55A, 0x81, 1, 0, 0, 0xFFFFFFFF])
    assert handoffs.parse_line("      python 20666 [001]  5858.855098192:  raw_syscalls:sys_exit: "
                               "NR 232 = -4")[4] == (232, -4)
    assert handoffs.parse_line(
        "     :-1    -1 [000]  5858.855036474:     sched:sched_switch: prev_comm=a prev_pid=20768 "
        "prev_prio=120 prev_state=X ==> next_comm=cc1 next_pid=20728 next_prio=120")[4] == (
        20768, "X", 20728, 0)
    assert handoffs.parse_line("a header line") is None


def test_every_hand_off_of_a_lookup_is_found_named_and_counted_once_per_lookup():
    summary, layout = analysed(lookups(3))
    assert summary["lookups"] == 3
    assert summary["roles_seen"]
    assert layout.workers == {W1, W2} and layout.blocking == {B1}
    rows = rows_by(summary)
    expected = {
        ("loop", "worker", "futex wake (worker park)", ""),
        ("worker", "blocking", "futex wake (pool idle)", "name lookup"),
        ("blocking", "worker", "eventfd write", ""),
        ("worker", "server", "TCP connect", ""),
        ("server", "worker", "TCP send", ""),
        ("worker", "blocking", "futex wake (pool idle)", "completion"),
        ("blocking", "loop", "self-pipe send", ""),
    }
    assert set(rows) == expected
    assert all(r["per_lookup"] == 1 and r["slept"] == 1 for r in rows.values())
    assert rows[("blocking", "loop", "self-pipe send", "")]["wait"] == "epoll_wait (event loop)"
    assert rows[("blocking", "worker", "eventfd write", "")]["wait"] == "epoll_wait (reactor)"
    assert summary["client_wakes_per_lookup"] == 6
    assert summary["wakes_per_lookup"] == 7
    # The table reads as the lookup's timeline.
    order = [(r["waker"], r["wakee"]) for r in summary["rows"]]
    assert order[0] == ("loop", "worker") and order[-1] == ("blocking", "loop")


def test_cost_runs_from_the_wakers_system_call_to_the_wakees_return():
    summary, _ = analysed(lookups(2))
    rows = rows_by(summary)
    # loop enters futex, wakes (+1), returns (+1), enters epoll_wait (+1), switches (+1), the
    # worker returns 2 µs later: 6 µs; the switch came 4 µs after the wake-up.
    start = rows[("loop", "worker", "futex wake (worker park)", "")]
    assert start["cost_us"] == pytest.approx(6.0)
    assert start["wake_to_run_us"] == pytest.approx(3.0)
    loop_wake = rows[("blocking", "loop", "self-pipe send", "")]
    assert loop_wake["cost_us"] == pytest.approx(6.0)


def test_a_wake_up_of_a_thread_that_had_not_yet_slept_is_not_counted_as_a_sleep():
    tr = lookups(1)
    # Another lookup whose loop wakes the worker before the worker has been switched out.
    tr.exit(LOOP, 110)
    tr.switch(LOOP, "R", W2)
    tr.exit(W2, 232, 0)
    tr.enter(W2, 202, PARK + 8, 0x189)  # about to sleep, still on the CPU
    tr.enter(LOOP, 202, PARK + 8, 0x81, 1)
    tr.wake(LOOP, W2)
    tr.exit(W2, 202, 0)
    tr.enter(LOOP, 110)
    summary, _ = analysed(tr)
    start = rows_by(summary)[("loop", "worker", "futex wake (worker park)", "")]
    assert (start["count"], start["slept"]) == (2, 0.5)
    assert summary["per_lookup"]["sleeps (client threads)"] == 3  # six in the first, none here


def test_futex_words_are_named_by_who_waits_and_who_wakes():
    tr = lookups(1)
    tr.exit(LOOP, 110)
    tr.sleep_in(B1, 202, GIL, 0x89)  # a blocking thread waits for the interpreter lock
    tr.enter(LOOP, 202, GIL, 0x81, 1)
    tr.wake(LOOP, B1)
    tr.exit(LOOP, 202, 1)
    tr.sleep_in(B1, 202, QUEUE_MUTEX, 0x80, 2)  # a mutex held by a worker
    tr.enter(W1, 202, QUEUE_MUTEX, 0x81, 1)
    tr.wake(W1, B1)
    tr.exit(W1, 202, 1)
    tr.enter(LOOP, 110)
    layout = handoffs.Layout(INFO, [SERVER])
    handoffs.analyse(tr.events(), layout)
    assert layout.names[PARK] == "worker park"
    assert layout.names[POOL] == "pool idle"
    assert layout.names[GIL] == "interpreter lock"
    assert layout.names[QUEUE_MUTEX] == "mutex (blocking, worker)"


def test_a_thread_start_is_timed_to_the_creators_return_from_the_naming_wait():
    tr = lookups(1)
    tr.exit(LOOP, 110)
    tr.enter(W1, 435, dt_us=1)
    tr.exit(W1, 435, 150, dt_us=10)
    tr.enter(W1, 14)
    tr.exit(W1, 14)
    tr.sleep_in(W1, 202, 0xE0, 0x189, to=150)
    tr.wake(150, W1, dt_us=20)
    tr.exit(W1, 202, 0)
    tr.enter(LOOP, 110)
    layout = handoffs.Layout(INFO, [SERVER])
    summary = handoffs.summarise(handoffs.analyse(tr.events(), layout))
    assert layout.names[0xE0] == "new thread named"
    assert 150 in layout.blocking
    assert summary["threads_created"] == 1
    assert summary["thread_creation_us"] == pytest.approx(35.0)


def test_workers_fall_back_to_thread_order_when_the_trace_does_not_show_them_polling():
    summary, layout = analysed(lookups(2, w2_polls=False))
    assert not summary["roles_seen"]
    assert layout.workers == {W1, W2}
    assert "roles may be mixed up" in handoffs.markdown(summary, {
        "date": "d", "machine": "m", "load_before": "1", "load_after": "1", "traced": "t",
        "warmup": 0, "untraced_lookups": 1, "untraced_us": 1.0, "untraced_after_us": 1.0})


def test_a_trace_without_markers_is_refused():
    tr = Trace()
    idle_start(tr)
    with pytest.raises(SystemExit, match="no complete lookup"):
        analysed(tr)


def test_rare_kinds_are_folded_into_one_row_unless_all_are_asked_for():
    tr = lookups(30)
    tr.exit(LOOP, 110)
    tr.sleep_in(B1, 202, GIL, 0x89)  # once in 31 lookups
    tr.enter(LOOP, 202, GIL, 0x81, 1)
    tr.wake(LOOP, B1)
    tr.exit(LOOP, 202, 1)
    tr.enter(LOOP, 110)
    summary, _ = analysed(tr)
    meta = {"date": "d", "machine": "m", "load_before": "1", "load_after": "1", "traced": "t",
            "warmup": 0, "untraced_lookups": 1, "untraced_us": 1.0, "untraced_after_us": 1.0}
    folded = handoffs.markdown(summary, meta)
    assert "interpreter lock" not in folded
    assert "| 1 rarer kinds (each under 0.05 per lookup; --all-rows lists them) | | | 0.03 |" in folded
    assert "futex wake (interpreter lock) | loop → blocking |" in handoffs.markdown(
        summary, meta, all_rows=True)


def test_a_wakee_switched_in_on_another_cpu_counts_as_a_cross_cpu_hand_off():
    tr = lookups(2)
    tr.exit(LOOP, 110)
    tr.sleep_in(W2, 202, PARK + 8, 0x189)
    tr.enter(LOOP, 202, PARK + 8, 0x81, 1)
    tr.wake(LOOP, W2)
    tr.exit(LOOP, 202, 1)
    tr.switch(0, "R", W2, cpu=0)  # the idle task of CPU 0 gives way to the worker
    tr.exit(W2, 202, 0)
    tr.enter(LOOP, 110)
    summary, _ = analysed(tr)
    start = rows_by(summary)[("loop", "worker", "futex wake (worker park)", "")]
    assert start["count"] == 3
    assert start["cross_cpu"] == pytest.approx(1 / 3)
    assert rows_by(summary)[("blocking", "loop", "self-pipe send", "")]["cross_cpu"] == 0


def test_the_job_is_told_from_the_pool_wake_even_when_the_drainer_then_waits_for_a_lock():
    tr = lookups(1)
    tr.exit(LOOP, 110)
    tr.sleep_in(LOOP, 232, LOOP_EPOLL)
    tr.enter(W1, 202, POOL, 0x81, 1)  # the completion handed over with the queue lock held
    tr.wake(W1, B1)
    tr.exit(W1, 202, 1)
    tr.switch(W1, "R", B1)
    tr.exit(B1, 202, 0)
    tr.sleep_in(B1, 202, QUEUE_MUTEX, 0x80, 2, to=W1)  # the drainer meets the held lock
    tr.enter(W1, 202, QUEUE_MUTEX, 0x81, 1)
    tr.wake(W1, B1)
    tr.exit(W1, 202, 1)
    tr.sleep_in(W1, 202, PARK, 0x189, to=B1)
    tr.exit(B1, 202, 0)
    tr.enter(B1, 44, CSOCK)
    tr.wake(B1, LOOP)
    tr.exit(B1, 44, 1)
    tr.enter(LOOP, 110)
    summary, _ = analysed(tr)
    rows = rows_by(summary)
    assert rows[("worker", "blocking", "futex wake (pool idle)", "completion")]["count"] == 2
    assert rows[("worker", "blocking", "futex wake (mutex (blocking, worker))", "")]["count"] == 1
