"""The README's errors table and the module agree: every message a user can meet is provoked
here and must match a row of the table, verbatim but for the numbers (N) and varying text (…)
the table marks; every row must be met by some provoked message; and every message text of the
registry client's source is either in the table or named below as one no user can meet."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from support import fresh
from support.netns import NETNS, namespaces_unavailable
from support.paths import ROOT, TESTS, TOOLS

HERE = ROOT / "tests" / "docs"

# Message texts of the client's source that no lookup through the module can produce, and why.
NOT_MET_BY_USERS = {
    "invalid socket address": "the registry's address is a constant that parses",
    "invalid port value": "the registry's address is a constant that parses",
    "host name contained an unexpected NUL byte": "the registry's address is a constant",
    "could not resolve to any address": "getaddrinfo never succeeds with no address",
    "write zero": "send() on a TCP socket never accepts zero bytes of a non-empty buffer",
    "task panicked": "only an internal fault (memory exhausted) inside the name lookup's job",
    "task was cancelled": "the name lookup's job is never cancelled",
}

# In-process scenarios of the entry's internal faults: (environment, code after the import).
PANICS = [
    ({"MORVANE_WORKER_THREADS": "abc"}, "print(outcome())"),
    ({"MORVANE_WORKER_THREADS": "0"}, "print(outcome())"),
    ({"MORVANE_WORKER_THREADS": "0"}, "outcome()\nprint(outcome())"),  # the call after a failed start
    ({"MORVANE_WORKER_THREADS": "\udcff"}, "print(outcome())"),  # the byte 0xff in the environment
    ({}, "import atexit; atexit._run_exitfuncs(); print(outcome())"),  # once the exit hook has run
    ({}, """
        outcome()
        pid = os.fork()
        if pid == 0:
            print(outcome(), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
    """),
    ({}, """
        def no_more_descriptors():
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")), hard))
        print(outcome(no_more_descriptors))
    """),
]
PANIC_PRELUDE = """
import asyncio, json, os, resource, warnings
import pymorvane
warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process: on purpose
def outcome(before=lambda: None):
    async def call():
        before()  # inside the loop, which has its descriptors already
        try:
            pymorvane.fetch_routes(1).cancel()
        except BaseException as exc:
            return json.dumps([type(exc).__name__, str(exc)])
        return json.dumps(["no error", ""])
    return asyncio.run(call())
"""


def table_rows() -> list[tuple[str, str]]:
    """(exception, message) of each row of the README's errors table."""
    text = (ROOT / "README.md").read_text()
    section = text.split("\n## Errors\n", 1)[1].split("\n## ", 1)[0]
    rows = []
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 3 and cells[0].startswith("`"):
            rows.append((cells[0].strip("`"), cells[1].removeprefix("`").removesuffix("`")))
    return rows


def pattern(message: str) -> re.Pattern[str]:
    parts = re.split(r"((?<![A-Za-z_])N(?![A-Za-z_])|…)", message)
    regex = "".join(r"\d+" if p == "N" else ".+" if p == "…" else re.escape(p) for p in parts)
    return re.compile(regex)


def in_namespace(module_dir, *args: str, env: dict[str, str] | None = None) -> list[list[str]]:
    path = os.pathsep.join([str(module_dir), str(TESTS), str(TOOLS)])
    proc = subprocess.run([str(NETNS), sys.executable, str(HERE / "provoke_errors.py"), *args],
                          env={**os.environ, "PYTHONPATH": path, **(env or {})},
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


# Under the sanitizer runtimes (tools/sanitize preloads them), a process out of descriptors
# cannot run: their own checks need a pipe. That one row is then left to the plain suite.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
NEEDS_SPARE_DESCRIPTORS = "Unable to build morvane runtime: … (os error N)"


def panic_outcomes(module_dir) -> list[list[str]]:
    seen = []
    for env, code in PANICS:
        if SANITIZED and "RLIMIT_NOFILE" in code:
            continue
        proc = fresh.run_python(module_dir, PANIC_PRELUDE + textwrap.dedent(code), env=env)
        assert proc.returncode == 0, proc.stderr
        seen.append(json.loads(proc.stdout.splitlines()[-1]))
    return seen


def future_panic() -> list[str]:
    import asyncio

    bt = pytest.importorskip("_bridge_testing")

    async def main():
        try:
            await bt.fault("broken invariant", yields=1)
        except Exception as exc:
            return [type(exc).__name__, str(exc)]

    return asyncio.run(main())


def client_message_texts() -> set[str]:
    """The fixed start of every message the registry client builds, read from its source."""
    texts = set()
    sources = [*(ROOT / "morvane" / "src").glob("*.[ch]pp"), ROOT / "base" / "decimal.hpp",
               ROOT / "base" / "utf8.cpp", ROOT / "base" / "os_error.cpp"]
    for source in sources:
        code = source.read_text()
        texts.update(re.findall(r'ClientError\(\s*ErrorKind::\w+,\s*(?:std::string\()?"([^"]+)"', code))
        texts.update(re.findall(r'inline constexpr [\w:<>* ]+ k\w+ =\s*"([^"]+)"', code))
        texts.update(re.findall(r'return "([a-z][^"]+)" \+', code))
    return {t.strip() for t in texts}


@pytest.mark.skipif(namespaces_unavailable() is not None, reason=str(namespaces_unavailable()))
def test_the_errors_table_lists_every_message_and_only_those(module_dir):
    rows = table_rows()
    assert len(rows) >= 20, "the errors table was not found in README.md"
    provoked = (in_namespace(module_dir, "call")
                + in_namespace(module_dir, "no-name", env={"MORVANE_REGISTRY_HOST": "elsewhere.invalid"})
                + panic_outcomes(module_dir) + [future_panic()])
    unmatched = [p for p in provoked
                 if not any(kind == p[0] and pattern(message).fullmatch(p[1]) for kind, message in rows)]
    assert not unmatched, f"messages missing from the README's errors table: {unmatched}"
    unmet = [(kind, message) for kind, message in rows
             if not any(kind == p[0] and pattern(message).fullmatch(p[1]) for p in provoked)
             and not (SANITIZED and message == NEEDS_SPARE_DESCRIPTORS)]
    assert not unmet, f"rows of the errors table that no provoked error matched: {unmet}"


def test_every_message_of_the_client_source_is_in_the_table_or_unreachable():
    documented = " ".join(message for _, message in table_rows())
    texts = client_message_texts()
    assert len(texts) >= 15, texts  # the scan still finds the client's messages
    missing = sorted(t for t in texts if t not in documented and t not in NOT_MET_BY_USERS)
    assert not missing, f"client messages neither in the README's errors table nor unreachable: {missing}"
    stale = sorted(set(NOT_MET_BY_USERS) - texts)
    assert not stale, f"NOT_MET_BY_USERS names texts the source no longer has: {stale}"
