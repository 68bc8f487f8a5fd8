"""The runtime's threads as a process that uses the module sees them: blocking threads end 10 idle
seconds after their last job, leaving the workers."""

from support.ports import refused_port

KEEP_ALIVE_S = 10
# Room for a loaded machine to wake the thread and this scenario late, and still well short of
# the keep-alive ten times over.
LATE_S = 50


def test_blocking_threads_end_after_ten_idle_seconds_not_before(run_python):
    # One refused lookup on one worker: its outcome is handed over by a blocking thread. That
    # thread's last job ends after `started`, so it cannot end before started + 10 s, however the
    # machine is loaded; the bound above that only guards against a machine stalled for long.
    out = run_python(f"""
        import asyncio, time, _pymorvane_testing

        async def lookup():
            try:
                await _pymorvane_testing.fetch_routes_from("127.0.0.1:{refused_port()}", 1)
            except ConnectionError:
                pass

        started = time.monotonic()
        asyncio.run(lookup())
        delivered = time.monotonic()
        busy = runtime_threads()
        while runtime_threads() > 1 and time.monotonic() - delivered < {KEEP_ALIVE_S + LATE_S}:
            time.sleep(0.05)
        print(busy, runtime_threads(), time.monotonic() - started)
    """, env={"MORVANE_WORKER_THREADS": "1"}, timeout=120)
    busy, left, seconds = out.split()
    assert (busy, left) == ("2", "1"), out
    assert float(seconds) >= KEEP_ALIVE_S, out
