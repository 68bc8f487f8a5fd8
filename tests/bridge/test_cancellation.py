"""Cancellation, races with completion, foreign completion and closed loops."""

import asyncio
import gc
import os
import random
import subprocess
import sys
import textwrap
import weakref

import pytest

from support.wait import until, until_async


class Token:
    pass


def scheduled_for(loop, fut):
    return [entry for entry in loop.scheduled if entry[1] and entry[1][0] is fut]


def test_cancel_right_after_the_call_destroys_the_job_after_its_first_run(
        bt, run, tag):
    a, b = tag(), tag()

    async def main(loop):
        cancelled = bt.forever(tag=a)
        other = bt.forever(tag=b)
        cancelled.cancel()
        assert await until_async(lambda: bt.probe(a)[1])
        # The job ran (at least up to its first suspension) before it was destroyed.
        assert bt.probe(a)[0] >= 1
        assert not bt.probe(b)[1] and not other.done()  # the other call is unaffected
        other.cancel()
        assert await until_async(lambda: bt.probe(b)[1])
        # A round trip through the bridge: completions queued before it have run by now.
        await bt.resolve(None)
        return cancelled

    fut, loop = run(main)
    assert fut.cancelled() and fut.calls == []
    assert scheduled_for(loop, fut) == []  # the completion found it cancelled
    assert loop.handled == []


def test_cancel_while_suspended_wakes_the_job_and_destroys_it(bt, run, tag):
    t, gate = tag(), tag()

    async def main(loop):
        fut = bt.resolve(Token(), gate=gate, tag=t)
        assert await until_async(lambda: bt.probe(t)[0] >= 1)  # suspended at the gate
        fut.cancel()
        assert await until_async(lambda: bt.probe(t)[1])
        with pytest.raises(asyncio.CancelledError):
            await fut
        bt.open_gate(gate)  # nothing left to wake

    run(main)


def test_cancelling_the_awaiting_task_cancels_the_job(bt, run, tag):
    t = tag()

    async def main(loop):
        task = asyncio.ensure_future(bt.forever(tag=t))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert await until_async(lambda: bt.probe(t)[1])

    run(main)


def test_cancel_after_the_job_finished_but_before_the_completor_ran(bt, run):
    async def main(loop):
        fut = bt.resolve(Token())
        # Block the loop (without the interpreter lock) until the completion has scheduled its
        # completor, then cancel before the loop gets to run it.
        assert loop.scheduled_event.wait(30)
        fut.cancel()
        for _ in range(5):
            await asyncio.sleep(0)
        return fut

    fut, loop = run(main)
    assert fut.cancelled()
    assert fut.calls == []  # set_result was never called on the cancelled future
    assert len(scheduled_for(loop, fut)) == 1
    assert loop.handled == []


def test_a_fault_finding_its_future_already_cancelled_delivers_nothing(
        bt, run, tag, capsys):
    t, gate = tag(), tag()

    async def main(loop):
        fut = bt.fault("boom", gate=gate, tag=t)
        # Cancelled at once, but its done callback (which would send the cancel signal) only runs
        # when the loop next turns: the job still runs, and faults.
        fut.cancel()
        bt.open_gate(gate)
        assert until(lambda: bt.probe(t)[1])  # the loop is held without the lock
        calls, gone = fut.calls, weakref.ref(fut)
        del fut
        # The fault completion holds the future until it has ended; a completor it scheduled
        # would hold it in loop.scheduled.
        assert await until_async(lambda: loop.scheduled or (bt.drain_reference_pool(), gone() is None)[1])
        return calls

    calls, loop = run(main)
    assert calls == [] and loop.scheduled == [] and loop.handled == []
    assert capsys.readouterr().err == ""


def test_a_future_completed_by_other_code_lets_the_job_run_to_its_end(bt, run, tag):
    t, gate = tag(), tag()

    async def main(loop):
        fut = bt.resolve("from the job", gate=gate, tag=t)
        fut.set_result("from elsewhere")
        await asyncio.sleep(0)  # the done callback runs, sends nothing, and is released
        bt.open_gate(gate)
        assert await until_async(lambda: loop.handled)
        return fut

    fut, loop = run(main)
    assert fut.result() == "from elsewhere"
    polls, destroyed = bt.probe(t)
    # It finished (the value below proves it went past the gate); whether that took one poll or
    # two depends on whether the gate opened before the first poll.
    assert destroyed and polls >= 1
    [context] = loop.handled
    assert isinstance(context["exception"], asyncio.InvalidStateError)
    [(callback, args, *_)] = scheduled_for(loop, fut)
    assert args[2] == "from the job"


def test_completion_after_the_loop_closed_prints_and_leaves_the_future_pending(
        bt, tag, capsys):
    t, gate = tag(), tag()
    loop = asyncio.new_event_loop()

    async def start():
        return bt.resolve(Token(), gate=gate, tag=t)

    fut = loop.run_until_complete(start())
    loop.close()
    previous = getattr(sys, "last_exc", None)
    try:
        bt.open_gate(gate)
        # sys.last_exc is set before the traceback is written: wait for both.
        err = []
        assert until(lambda: err.append(capsys.readouterr().err)
                     or "Event loop is closed" in "".join(err))
        assert isinstance(sys.last_exc, RuntimeError) and sys.last_exc is not previous
        assert "Event loop is closed" in str(sys.last_exc)
        assert not fut.done()
        assert bt.probe(t)[1]
    finally:
        for name in ("last_exc", "last_type", "last_value", "last_traceback"):
            if hasattr(sys, name):
                delattr(sys, name)


def test_ten_thousand_jobs_with_random_cancellations_leave_nothing_behind(
        bt, run):
    rng = random.Random(20240605)
    live_before = bt.live_jobs()
    refs = []

    async def main(loop):
        futs = []
        for _ in range(10_000):
            token = Token()
            refs.append(weakref.ref(token))
            fut = bt.resolve(token, yields=rng.randrange(3))
            futs.append(fut)
            if rng.random() < 0.2:
                fut.cancel()
        await asyncio.sleep(0)
        for fut in futs:
            if rng.random() < 0.15:
                fut.cancel()
        done, pending = await asyncio.wait(futs, timeout=120)
        assert not pending
        cancelled = sum(fut.cancelled() for fut in futs)
        assert 0 < cancelled < len(futs)
        for fut in futs:
            if not fut.cancelled():
                assert isinstance(fut.result(), Token)
        return len(futs)

    _, loop = run(main)
    assert loop.handled == []
    del loop

    def settled():
        gc.collect()
        bt.drain_reference_pool()  # references dropped on workers wait there
        return bt.live_jobs() == live_before and all(ref() is None for ref in refs)

    async def settle(_loop):
        assert await until_async(settled, bound=120)

    run(settle)


def test_the_process_exits_cleanly_with_jobs_and_completions_in_flight(build_dir):
    script = textwrap.dedent("""
        import asyncio
        import _bridge_testing as bt

        async def main():
            futs = [bt.resolve(i, yields=i % 50) for i in range(2000)]
            futs += [bt.forever() for _ in range(100)]
            await asyncio.sleep(0)

        asyncio.new_event_loop().run_until_complete(main())
        print("exiting")
    """)
    env = dict(os.environ, PYTHONPATH=str(build_dir / "python"))
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", script], env=env, timeout=120,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "exiting\n"
