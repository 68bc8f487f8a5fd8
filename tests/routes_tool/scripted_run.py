"""Runs inside a private network namespace (tools/with-registry-netns), where whois.radb.net is
127.0.0.1: a scripted registry on port 43, and pymorvane-routes against it.

    scripted_run.py SCRIPT.json RESULT.json TOOL-ARGS...

The tool inherits standard input, output and error. SCRIPT holds:
  "answers": {AS: {"words": "..."} | {"reply": "<raw bytes>"} | {"close_first": N} | {"silent": 1}}
             (other ASes: the emulator's dataset; close_first: close the first N connections of
             the AS unanswered, answer later ones)
  "hold": [N, T]     answer nobody until N lookups wait at once (or all T lookups came), then
                     a moment longer, in which one too many would come (a wait, not a bound:
                     a tool that keeps its bound passes however slow the machine)
  "interrupt": N     SIGINT to the tool once N connections came
  "tty_rows": N      the tool's standard error is a terminal of N rows
  "no_registry": 1   nothing listens on port 43
RESULT gets the tool's exit status, the connections per AS, the most lookups seen waiting for an
answer at once, and what the tool wrote to its terminal."""

import asyncio
import collections
import fcntl
import json
import os
import signal
import struct
import subprocess
import sys
import termios
import threading

from irr_emulator import IrrEmulator, frame

HOLD_GRACE_S = 0.3


class ScriptedRegistry(IrrEmulator):
    def __init__(self, script):
        super().__init__()
        self.answers = {int(asn): how for asn, how in script.get("answers", {}).items()}
        self.hold, self.interrupt = script.get("hold"), script.get("interrupt")
        self.asked = collections.Counter()
        self.waiting = self.peak = 0
        self.batch, self.releasing, self.tool = None, False, None

    async def _route_answer(self, query, reader, writer, record):
        asn = int(query[4:])
        self.asked[asn] += 1
        if sum(self.asked.values()) == self.interrupt:
            os.kill(self.tool.pid, signal.SIGINT)
        how = self.answers.get(asn, {})
        if how.get("silent"):
            await self._wait_for_peer_close(reader, record)
            return False
        self.waiting += 1
        self.peak = max(self.peak, self.waiting)
        if self.hold:
            await self._held()
        self.waiting -= 1
        if self.asked[asn] <= how.get("close_first", 0):
            return False
        if "words" in how:
            writer.write(frame(how["words"]))
        else:
            writer.write(how["reply"].encode("latin-1") if "reply" in how else self.answer(query))
        await writer.drain()
        return False

    async def _held(self):
        self.batch = self.batch or asyncio.Event()
        batch = self.batch
        at_once, total = self.hold
        if not self.releasing and (self.waiting >= at_once or sum(self.asked.values()) >= total):
            self.releasing = True
            asyncio.get_running_loop().call_later(HOLD_GRACE_S, self._release)
        await batch.wait()

    def _release(self):
        self.batch.set()
        self.batch, self.releasing = None, False


def run_tool(registry, args, rows):
    command = [sys.executable, "-m", "pymorvane_routes", *args]
    if not rows:
        registry.tool = subprocess.Popen(command)
        return registry.tool.wait(), ""
    leader, follower = os.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", rows, 80, 0, 0))
    registry.tool = subprocess.Popen(command, stderr=follower)
    os.close(follower)
    screen = []
    reader = threading.Thread(target=lambda: screen.extend(iter(lambda: _read(leader), b"")))
    reader.start()
    status = registry.tool.wait()
    reader.join()
    return status, b"".join(screen).decode()


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # EIO: the terminal's last writer is gone
        return b""


def main():
    script = json.loads(open(sys.argv[1]).read())
    args = sys.argv[3:]
    registry = ScriptedRegistry(script)
    if not script.get("no_registry"):
        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()
        asyncio.run_coroutine_threadsafe(registry.start("127.0.0.1", 43), loop).result(10)
    status, screen = run_tool(registry, args, script.get("tty_rows"))
    with open(sys.argv[2], "w") as out:
        json.dump({"status": status, "asked": registry.asked, "peak": registry.peak,
                   "screen": screen}, out)


if __name__ == "__main__":
    main()
