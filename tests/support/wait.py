"""Waiting for a condition rather than for a time: poll it until it holds, within a bound that only
keeps a broken test from hanging (no test asserts how long anything took); and waiting for a
child process to end."""

import asyncio
import os
import signal
import time


def until(predicate, bound: float = 30.0, every: float = 0.002) -> bool:
    """Whether predicate() came to hold within `bound` seconds, checking every `every` seconds."""
    deadline = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(every)
    return True


async def until_async(predicate, bound: float = 30.0, every: float = 0.002) -> bool:
    """The same inside a running event loop, which goes on running while it waits."""
    deadline = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(every)
    return True


def reap(pid: int, bound: float = 30.0) -> int | str:
    """The exit code of the child `pid` once it has ended, or "hung" when it has not within
    `bound` seconds (it is then killed and reaped)."""
    ended = []

    def has_ended():
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            ended.append(os.waitstatus_to_exitcode(status))
        return bool(done)

    if until(has_ended, bound):
        return ended[0]
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"
