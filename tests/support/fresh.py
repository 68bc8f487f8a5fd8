"""Scenarios in fresh interpreters, so that process-wide state (the runtime, its worker count,
caches) starts empty. The scenario finds the built extension modules, tests/ and tools/ on its
path, and the /proc readers of support.proc already imported."""

import os
import pathlib
import subprocess
import sys
import textwrap

from support.paths import TESTS, TOOLS

PRELUDE = "from proc_stats import process_threads, rss_kib, runtime_threads\n"


def run_python(module_dir: pathlib.Path, code: str, *args: str, env: dict | None = None,
               timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` (dedented, after PRELUDE) with `args` as sys.argv[1:]; returns the finished
    process with its text output. The timeout makes a hang a failure instead of a stuck suite."""
    path = os.pathsep.join([str(module_dir), str(TESTS), str(TOOLS)])
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code), *args],
        env={**os.environ, "PYTHONPATH": path, **(env or {})},
        capture_output=True, text=True, timeout=timeout,
    )
