"""Fixtures for the bridge tests: the scripted-job module, unique tags, a recording event loop."""

import asyncio
import contextvars
import itertools
import threading

import pytest

_tags = itertools.count(1)

# Read by RecordingFuture when it is completed, to see which context the completor runs in.
CALLER_VAR = contextvars.ContextVar("bridge_caller_var")


@pytest.fixture(scope="session")
def bt():
    return pytest.importorskip("_bridge_testing")


@pytest.fixture
def tag():
    """A fresh tag (or gate number): the registries in the module live for the process."""
    return lambda: next(_tags)


class RecordingFuture(asyncio.Future):
    """Records each completion call: which method, on which thread, with what CALLER_VAR."""

    def __init__(self, *, loop):
        super().__init__(loop=loop)
        self.calls = []

    def set_result(self, result):
        self.calls.append(("set_result", threading.get_ident(), CALLER_VAR.get("unset")))
        super().set_result(result)

    def set_exception(self, exception):
        self.calls.append(("set_exception", threading.get_ident(), CALLER_VAR.get("unset")))
        super().set_exception(exception)


class RecordingLoop(asyncio.SelectorEventLoop):
    """An event loop that records what the bridge schedules and what the exception handler sees."""

    def __init__(self):
        super().__init__()
        self.scheduled = []
        self.scheduled_event = threading.Event()
        self.handled = []
        self.set_exception_handler(lambda loop, context: self.handled.append(context))

    def create_future(self):
        return RecordingFuture(loop=self)

    def call_soon_threadsafe(self, callback, *args, context=None, **extra):
        self.scheduled.append((callback, args, context, extra, threading.get_ident()))
        self.scheduled_event.set()
        return super().call_soon_threadsafe(callback, *args, context=context, **extra)


@pytest.fixture
def run():
    """run(coro_fn) on a fresh RecordingLoop; returns (result, loop)."""

    def runner(coro_fn):
        loop = RecordingLoop()
        try:
            return loop.run_until_complete(coro_fn(loop)), loop
        finally:
            loop.close()

    return runner


@pytest.fixture
def caller_var():
    return CALLER_VAR
