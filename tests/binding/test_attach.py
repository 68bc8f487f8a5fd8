"""AttachGuard, ReferencePool and the once-cache protocol across threads."""

import os
import subprocess
import sys
import threading
import weakref

import pytest

m = pytest.importorskip("_binding_testing")


def test_foreign_thread_release_is_queued_until_the_next_attachment():
    obj = object()
    before = sys.getrefcount(obj)
    queued = m.drop_while_holding(obj)
    # The foreign thread held no lock, so it queued the release instead of touching the count.
    assert queued >= 1
    assert sys.getrefcount(obj) == before + 1
    m.attach_depth()  # any entry drains the pool
    assert sys.getrefcount(obj) == before


def test_release_while_detached_is_drained_when_the_lock_is_retaken():
    obj = object()
    before = sys.getrefcount(obj)
    assert m.drop_detached(obj) >= 1
    assert sys.getrefcount(obj) == before


def test_queued_releases_run_in_order_on_an_attached_thread():
    released = []

    class Tracked:
        def __init__(self, name):
            self.name = name

        def __del__(self):
            released.append((self.name, threading.get_ident()))

    objs = [Tracked(name) for name in "abc"]
    assert m.drop_while_holding(*objs) >= 3
    del objs  # the queued references keep them alive
    assert released == []
    m.attach_depth()
    me = threading.get_ident()
    assert released == [("a", me), ("b", me), ("c", me)]


def test_attach_on_foreign_thread_nests():
    depth, nested, after, inner = m.attach_in_thread(m.attach_depth)
    assert (depth, nested, after) == (1, 2, 1)
    assert inner == 3  # the entry guard of attach_depth counts one more level
    assert m.attach_depth() == 1


def test_a_foreign_thread_gives_its_thread_state_back_when_it_ends():
    # The thread keeps the state it attached with for its life; when it ends, the state (and
    # with it the thread's threading.local data) is released.
    local = threading.local()
    released = threading.Event()

    class Token:
        pass

    def store():
        token = Token()
        weakref.finalize(token, released.set)
        local.token = token
        return None

    for _ in range(3):
        released.clear()
        m.attach_in_thread(store)
        assert released.is_set()


def test_attach_on_foreign_thread_propagates_python_errors():
    def fail():
        raise ValueError("on the foreign thread")

    with pytest.raises(ValueError, match="on the foreign thread"):
        m.attach_in_thread(fail)


def test_cache_is_filled_once_by_concurrent_first_uses():
    calls = []
    start = threading.Barrier(6)
    filled = threading.Event()

    def compute():
        calls.append(threading.get_ident())
        # Waiting here lets the other threads reach the cache; they must wait for this fill
        # without holding the interpreter lock, or this would never finish.
        filled.wait(0.2)
        return ["value"]

    results = []

    def use():
        start.wait(timeout=10)
        results.append(m.cache_get(0, compute))

    threads = [threading.Thread(target=use) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    filled.set()
    assert not any(t.is_alive() for t in threads)
    assert len(calls) == 1
    assert len(results) == 6 and all(r is results[0] for r in results)


def test_failed_fill_leaves_the_cache_empty_for_the_next_use():
    def fail():
        raise RuntimeError("fill failed")

    with pytest.raises(RuntimeError, match="fill failed"):
        m.cache_get(1, fail)
    value = m.cache_get(1, lambda: {"second": True})
    assert value == {"second": True}
    assert m.cache_get(1, fail) is value


def test_interned_name_is_the_process_wide_interned_str():
    assert m.interned() is m.interned()
    assert m.interned() is sys.intern("binding_testing_interned_name")


def test_fill_that_needs_its_own_cache_faults_instead_of_deadlocking(capfd):
    panic = m.panic_exception_type()
    with pytest.raises(panic, match=r"^Re-entrant initialization of a process-wide cache$"):
        m.cache_get(2, lambda: m.cache_get(2, lambda: "inner"))
    capfd.readouterr()  # the inner fault went through Python and was reported on its way back
    assert m.cache_get(2, lambda: "outer") == "outer"


def test_finalizer_run_by_a_fill_that_needs_the_same_cache_faults_instead_of_deadlocking():
    # In a fresh interpreter: before the fix this deadlocked the filling thread on its own lock.
    code = """if True:
        import sys, _binding_testing as m
        class NeedsCache:
            def __del__(self):
                m.cache_get(3, lambda: "from finalizer")
        print(m.cache_get_after_drop(3, [NeedsCache()], lambda: "outer"))
        print(m.cache_get(3, lambda: "later"))
    """
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.stdout == "outer\nouter\n", proc.stderr
    assert "Re-entrant initialization of a process-wide cache" in proc.stderr


def test_a_child_forked_while_a_thread_holds_the_pools_lock_can_still_enter():
    # Every entry drains the pool, under its mutex; a child that inherited it held would hang.
    code = """if True:
        import os, _binding_testing as m
        from support.wait import reap
        m.churn_pool(True)
        hung = 0
        for _ in range(200):
            m.attach_depth()  # drains what the churn queued so far
            pid = os.fork()
            if pid == 0:
                m.attach_depth()
                os._exit(0)
            hung += reap(pid, bound=10) == "hung"
        m.churn_pool(False)
        print("hung", hung)
    """
    proc = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code],
                          capture_output=True, text=True, timeout=240,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.stdout == "hung 0\n", proc.stderr


@pytest.mark.parametrize("close_while_inside", [True, False], ids=["while-inside", "after-leaving"])
def test_a_child_forked_by_a_thread_inside_the_exit_gate_can_still_close_it(close_while_inside):
    # The child keeps the forking thread's place in the gate and nobody else's: closing waits for
    # no other thread, and the place the forking thread gives back is its own.
    code = f"""if True:
        import _binding_testing as m
        from support.wait import reap
        print(reap(m.fork_inside_gate({close_while_inside})))
    """
    proc = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.stdout == "0\n", proc.stderr
