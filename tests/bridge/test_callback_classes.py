"""The bridge's Python classes: identity, immutability, argument binding and their checks."""

import asyncio
import sys

import pytest


def done_callback_of(fut):
    [(callback, _context)] = fut._callbacks
    return callback


def test_classes_are_frozen_builtins_without_docs_that_python_cannot_instantiate(bt):
    completor_type = type(bt.new_checked_completor())
    for cls, name in ((bt.done_callback_type(), "PyDoneCallback"),
                      (completor_type, "CheckedCompletor")):
        assert cls.__name__ == name and cls.__module__ == "builtins"
        assert cls.__doc__ is None
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls.__call__ = lambda *args: None
        with pytest.raises(TypeError):
            class Sub(cls):  # not a base type
                pass


def test_checked_completor_binds_its_arguments_like_a_python_function(bt):
    completor = bt.new_checked_completor()
    with pytest.raises(TypeError) as caught:
        completor()
    assert str(caught.value) == ("CheckedCompletor.__call__() missing 3 required positional "
                                 "arguments: 'future', 'complete', and 'value'")
    with pytest.raises(TypeError) as caught:
        completor(1, 2)
    assert str(caught.value) == ("CheckedCompletor.__call__() missing 1 required positional "
                                 "argument: 'value'")


def test_checked_completor_completes_unless_cancelled(bt):
    loop = asyncio.new_event_loop()
    try:
        completor = bt.new_checked_completor()
        fut = loop.create_future()
        assert completor(value=5, complete=fut.set_result, future=fut) is None
        assert fut.result() == 5

        cancelled = loop.create_future()
        cancelled.cancel()
        calls = []
        assert completor(cancelled, calls.append, 1) is None
        assert calls == []

        class Broken:
            def cancelled(self):
                raise KeyError("cancelled() failed")

        with pytest.raises(KeyError):
            completor(Broken(), calls.append, 1)
        with pytest.raises(ZeroDivisionError):
            completor(loop.create_future(), lambda value: 1 / 0, 1)
        assert calls == []
    finally:
        loop.close()


def test_done_callback_binding_and_a_failing_cancelled_check(bt, run):
    async def main(loop):
        fut = bt.forever()
        callback = done_callback_of(fut)
        assert type(callback) is bt.done_callback_type()
        with pytest.raises(TypeError) as caught:
            callback(1, 2)
        assert str(caught.value) == ("PyDoneCallback.__call__() takes 1 positional arguments "
                                     "but 2 were given")

        class Broken:
            def cancelled(self):
                raise KeyError("cancelled() failed")

        # Printed and treated as "not cancelled": no signal is sent, nothing is raised.
        assert callback(fut=Broken()) is None
        assert isinstance(sys.last_exc, KeyError)
        assert not fut.done()
        fut.cancel()

    try:
        run(main)
    finally:
        for name in ("last_exc", "last_type", "last_value", "last_traceback"):
            if hasattr(sys, name):
                delattr(sys, name)
