"""Entry guards, PanicException and PyErr raise/fetch as seen from Python."""

import os
import subprocess
import sys

import pytest

m = pytest.importorskip("_binding_testing")
PanicException = m.panic_exception_type()


def test_panic_exception_class():
    assert PanicException.__mro__ == (PanicException, BaseException, object)
    assert PanicException.__module__ == "pymorvane"
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__doc__
    assert m.panic_exception_type() is PanicException


@pytest.mark.parametrize(
    ("fault", "message"),
    [
        (lambda: m.fault_owned("owned fault text"), "owned fault text"),
        (m.fault_static, "static fault text"),
        (m.fault_other, "unknown error"),
    ],
    ids=["owned", "static", "other"],
)
def test_fault_becomes_panic_exception_not_caught_by_except_exception(fault, message):
    caught_by_exception = False
    with pytest.raises(PanicException) as info:
        try:
            fault()
        except Exception:
            caught_by_exception = True
    assert not caught_by_exception
    assert info.value.args == (message,)


def test_deferred_and_ready_raise():
    with pytest.raises(KeyError) as info:
        m.raise_deferred(KeyError, "key")
    assert info.value.args == ("key",)
    with pytest.raises(ConnectionError, match=r"^Failed to connect: x$"):
        m.raise_deferred(ConnectionError, "Failed to connect: x")
    with pytest.raises(ConnectionError, match=r"^Failed to fetch routes: made elsewhere$"):
        m.raise_from_thread("Failed to fetch routes: made elsewhere")
    error = ValueError("ready")
    with pytest.raises(ValueError) as info:
        m.raise_ready(error)
    assert info.value is error


@pytest.mark.parametrize("raise_", [lambda: m.raise_deferred(int, "x"), lambda: m.raise_ready(5)])
def test_non_exception_raises_type_error(raise_):
    with pytest.raises(TypeError, match=r"^exceptions must derive from BaseException$"):
        raise_()


def test_fetch_without_pending_exception_falls_back_to_system_error():
    nothing, fallback = m.fetch_nothing()
    assert nothing is True
    assert type(fallback) is SystemError
    assert str(fallback) == "attempted to fetch exception but none was set"


def test_fetched_exception_is_raised_again_unchanged():
    error = LookupError("from python")

    def raise_it():
        raise error

    with pytest.raises(LookupError) as info:
        m.fetch_from(raise_it)
    assert info.value is error
    assert m.fetch_from(lambda: 7) == 7


def test_reentrant_normalization_is_a_fault():
    with pytest.raises(PanicException, match=r"^Re-entrant normalization of PyErrState detected$"):
        m.normalize_twice()


def test_panic_fetched_back_resumes_the_fault(capfd):
    # A fault that reached Python and comes back into native code is not an ordinary error: it is
    # reported on stderr and resumed, and the next entry guard raises it again.
    with pytest.raises(PanicException) as info:
        m.fetch_from(m.fault_static)
    assert info.value.args == ("static fault text",)

    def raise_panic():
        raise PanicException("raised in Python")

    with pytest.raises(PanicException) as info:
        m.fetch_from(raise_panic)
    assert info.value.args == ("raised in Python",)
    err = capfd.readouterr().err
    assert err.count("Python stack trace below:\n") == 2
    assert "in raise_panic" in err
    assert "PanicException: raised in Python" in err


def test_panic_without_str_resumes_with_fixed_message(capfd):
    class NoStr:
        def __str__(self):
            raise RuntimeError("no str")

    def raise_panic():
        raise PanicException(NoStr())

    with pytest.raises(PanicException) as info:
        m.fetch_from(raise_panic)
    assert info.value.args == ("Unwrapped panic from Python code",)
    assert "Python stack trace below:" in capfd.readouterr().err


def test_call_and_dealloc_slots_run_through_guards():
    before = m.probe_deallocations()
    probe = m.CallProbe()
    assert probe("f", "c", "v") == ("f", "c", "v")
    del probe
    assert m.probe_deallocations() == before + 1


def run_python(code, **env):
    return subprocess.run(
        [sys.executable, "-X", "dev", "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **env},
    )


def test_fault_in_module_exec_fails_the_import_with_panic_exception():
    code = (
        "try:\n"
        "    import _binding_testing\n"
        "except BaseException as e:\n"
        "    print(type(e).__module__, type(e).__name__, e.args)\n"
    )
    result = run_python(code, BINDING_TESTING_EXEC_FAULT="1")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "pymorvane PanicException ('fault while executing the module',)\n"


def test_attach_after_finalization_is_refused():
    # The interpreter is gone when Py_AtExit functions run; attaching must fault, not crash or hang.
    result = run_python("import _binding_testing as m; m.probe_attach_at_exit()")
    assert result.returncode == 0, result.stderr
    assert "attach-at-exit: Cannot attach to the Python interpreter while it is finalizing.\n" in (
        result.stderr
    )
