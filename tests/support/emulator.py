"""tools/irr_emulator.py in processes of their own, so that the test process keeps its
descriptors for the client side."""

import json
import os
import selectors
import subprocess
import sys
import textwrap
import time

from support.paths import EMULATOR


class EmulatorProcess:
    """tools/irr_emulator.py in a child process. With log=True it prints one JSON record per
    finished connection, which `closed()` collects (peer_closed tells who hung up first)."""

    def __init__(self, *args: str, log: bool = False, host: str = "127.0.0.1",
                 port: int = 0, cmd: list[str] | None = None) -> None:
        if cmd is None:
            cmd = [sys.executable, str(EMULATOR), "--host", host, "--port", str(port), *args]
            if log:
                cmd.append("--log")
        # Unbuffered, so that select() on the pipe sees every pending record.
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, bufsize=0)
        line = self.proc.stdout.readline().decode()
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"emulator did not start: {line!r}")
        self.port = int(line)
        self.address = f"{host}:{self.port}"
        self.records: list[dict] = []
        self._pending = b""
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.proc.stdout, selectors.EVENT_READ)

    @classmethod
    def custom(cls, construction: str, log: bool = False) -> EmulatorProcess:
        """An emulator built in its process by the Python expression `construction` (an
        IrrEmulator(...) call; for replies too big for a command line, e.g.
        'IrrEmulator({}, "raw", raw=b"A" * 100_000_000)'), listening with a deep accept queue
        so that thousands of simultaneous connects are not held up in SYN retries."""
        code = textwrap.dedent(f"""
            import asyncio, functools, sys
            sys.path.insert(0, {str(EMULATOR.parent)!r})
            from irr_emulator import IrrEmulator
            asyncio.start_server = functools.partial(asyncio.start_server, backlog=4096)
            log = (lambda r: print(r.as_json(), flush=True)) if {log!r} else None
            async def main():
                e = {construction}
                e.on_close = log
                print(await e.start(), flush=True)
                await asyncio.Event().wait()
            asyncio.run(main())
        """)
        return cls(cmd=[sys.executable, "-c", code])

    def closed(self, count: int, timeout: float = 60) -> list[dict]:
        """Waits (bounded) until `count` connection records have arrived; returns them all."""
        deadline = time.monotonic() + timeout
        while len(self.records) < count and time.monotonic() < deadline:
            if self._selector.select(timeout=0.5):
                chunk = os.read(self.proc.stdout.fileno(), 1 << 16)
                if not chunk:
                    break
                *lines, self._pending = (self._pending + chunk).split(b"\n")
                self.records += [json.loads(line) for line in lines]
        return self.records

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        self.proc.stdout.close()
