"""Outcomes of bridged jobs reach the future on the loop's thread: values, errors, faults."""

import asyncio
import contextvars
import os
import subprocess
import sys
import textwrap
import threading

import pytest


class Token:
    pass


def test_value_is_delivered_on_the_loop_thread_through_a_checked_completor(bt, run, caller_var):
    value = Token()

    async def main(loop):
        caller_var.set("caller")
        fut = bt.resolve(value, yields=2)
        assert isinstance(fut, asyncio.Future) and fut.get_loop() is loop
        assert not fut.done()  # even a job that is quick is delivered later, on this thread
        assert await fut is value
        return fut

    fut, loop = run(main)
    loop_thread = threading.get_ident()
    # Completed once, on the loop thread, in a fresh context rather than the captured one.
    assert fut.calls == [("set_result", loop_thread, "unset")]
    [(callback, args, context, extra, scheduler)] = loop.scheduled
    assert type(callback).__name__ == "CheckedCompletor"
    assert type(callback).__module__ == "builtins"
    assert args[0] is fut and args[2] is value
    assert args[1] == fut.set_result and args[1].__self__ is fut
    assert context is None and extra == {}
    assert scheduler != loop_thread
    assert loop.handled == []


def test_error_value_is_set_as_the_futures_exception(bt, run):
    async def main(loop):
        fut = bt.fail(ConnectionError, "Failed to fetch routes: no data", yields=1)
        with pytest.raises(ConnectionError) as caught:
            await fut
        return fut, caught.value

    (fut, exc), loop = run(main)
    assert exc.args == ("Failed to fetch routes: no data",)
    assert [call[0] for call in fut.calls] == ["set_exception"]
    assert loop.scheduled[0][1][1] == fut.set_exception


@pytest.mark.parametrize(
    "text, message",
    [("broken invariant", "bridged future ended abnormally: broken invariant"),
     (None, "bridged future ended abnormally: unknown error")],
)
def test_a_fault_is_delivered_as_future_panic(bt, run, text, message):
    async def main(loop):
        try:
            await bt.fault(text, yields=1)
        except Exception as exc:  # FuturePanic derives from Exception
            return exc
        raise AssertionError("no exception")

    exc, loop = run(main)
    panic = bt.future_panic_type()
    assert type(exc) is panic
    assert exc.args == (message,)
    assert panic.__module__ == "async_bridge" and panic.__name__ == "FuturePanic"
    assert panic.__doc__ is None and panic.__bases__ == (Exception,)
    assert loop.handled == []


def test_a_fault_before_the_first_suspension_is_delivered_too(bt, run):
    async def main(loop):
        with pytest.raises(bt.future_panic_type(), match="abnormally: early"):
            await bt.fault("early")

    run(main)


def test_text_lists_arrive_as_new_lists_of_str_in_order(bt, run):
    items = [b"192.0.2.0/24", b"2001:db8::/32", b"192.0.2.0/24"]

    async def main(loop):
        first = await bt.routes(items)
        second = await bt.routes(items, yields=3)
        empty = await bt.routes([])
        return first, second, empty

    (first, second, empty), _ = run(main)
    assert first == ["192.0.2.0/24", "2001:db8::/32", "192.0.2.0/24"]
    assert second == first and second is not first
    assert empty == [] and type(empty) is list


def test_texts_of_every_width_and_length_convert_exactly(bt, run):
    # ASCII texts take a copy-only path; the rest (and 0/1-character texts) go through the decoder.
    texts = ["", "a", "ab", "10.0.0.0/24", "x" * 8, "y" * 17, "é", "caf\u00e9 au lait",
             "\u20ac" * 9, "\U0001f600", "abcdefg\u00e9"]

    async def main(loop):
        return await bt.routes([t.encode() for t in texts])

    got, _ = run(main)
    assert got == texts
    assert [type(t) for t in got] == [str] * len(texts)
    assert [t.isascii() for t in got] == [t.isascii() for t in texts]


def test_a_failed_conversion_is_delivered_as_an_exception(bt, run):
    # The conversion's own error (here: a text that is not UTF-8) must not leave the future pending.
    async def main(loop):
        with pytest.raises(UnicodeDecodeError):
            await bt.routes([b"ok", b"\xff\xfe"])

    run(main)


def test_without_a_running_loop_nothing_starts(bt, tag):
    t = tag()
    live = bt.live_jobs()
    with pytest.raises(RuntimeError, match="no running event loop"):
        bt.resolve(1, tag=t)
    assert bt.probe(t) == (0, True)  # destroyed, never polled
    assert bt.live_jobs() == live


def test_the_job_sees_the_loop_and_a_copy_of_the_callers_context(bt, run, caller_var):
    async def main(loop):
        caller_var.set("caller")
        seen_loop, seen_context = await bt.read_task_locals(yields=1)
        caller_var.set("changed later")
        return seen_loop, seen_context

    (seen_loop, seen_context), loop = run(main)
    assert seen_loop is loop
    assert isinstance(seen_context, contextvars.Context)
    assert seen_context[caller_var] == "caller"  # captured at the call, a copy


def test_many_concurrent_futures_each_get_their_own_value(bt, run):
    async def main(loop):
        futs = [bt.resolve(i, yields=i % 3) for i in range(2000)]
        return await asyncio.gather(*futs)

    results, loop = run(main)
    assert results == list(range(2000))
    assert loop.handled == []


def test_loops_in_two_other_threads_at_once_each_complete_their_own_futures(bt, run):
    """Neither loop is the main thread's; each gets its own values and faults, completed on its
    own thread, while the other runs."""
    both_running = threading.Barrier(2, timeout=30)
    seen = {}

    def one_loop(name):
        async def main(loop):
            both_running.wait()
            futs = [bt.fault(f"{name}{i}") if i % 10 == 9 else bt.resolve((name, i), yields=i % 3)
                    for i in range(300)]
            outcomes = await asyncio.gather(*futs, return_exceptions=True)
            return outcomes, [f.calls for f in futs]

        seen[name] = run(main), threading.get_ident()

    threads = [threading.Thread(target=one_loop, args=(name,)) for name in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    for name in "ab":
        ((outcomes, calls), loop), ident = seen[name]
        assert [o for i, o in enumerate(outcomes) if i % 10 != 9] == [
            (name, i) for i in range(300) if i % 10 != 9]
        assert [str(o) for i, o in enumerate(outcomes) if i % 10 == 9] == [
            f"bridged future ended abnormally: {name}{i}" for i in range(9, 300, 10)]
        assert all(c[0][1] == ident and len(c) == 1 for c in calls)
        assert loop.handled == []


class RefusingFuture(asyncio.Future):
    def add_done_callback(self, fn, *, context=None):
        raise OSError("no callbacks today")


@pytest.mark.parametrize("failing", ["create_future", "add_done_callback"])
def test_a_failing_future_setup_raises_and_destroys_the_job_unrun(bt, tag, failing):
    t = tag()

    class Loop(asyncio.SelectorEventLoop):
        def create_future(self):
            if failing == "create_future":
                raise OSError("no futures today")
            return RefusingFuture(loop=self)

    async def main():
        with pytest.raises(OSError, match="today"):
            bt.resolve(Token(), tag=t)

    asyncio.run(main(), loop_factory=Loop)
    assert bt.probe(t) == (0, True)


def test_a_failed_asyncio_import_is_raised_and_retried_at_the_next_call(build_dir):
    script = textwrap.dedent("""
        import sys
        import _bridge_testing as bt
        sys.modules["asyncio"] = None
        try:
            bt.resolve(1)
        except ImportError as exc:
            print("first:", type(exc).__name__)
        del sys.modules["asyncio"]
        import asyncio

        async def main():
            return await bt.resolve(7)

        print("second:", asyncio.run(main()))
    """)
    env = dict(os.environ, PYTHONPATH=str(build_dir / "python"))
    done = subprocess.run([sys.executable, "-X", "dev", "-c", script], env=env, timeout=120,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["first: ModuleNotFoundError", "second: 7"]
