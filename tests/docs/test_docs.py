"""Every Python code block of the documentation runs, as written, against the registry emulator
in a private network namespace, on the standard loop and on uvloop. A block that is meant to
raise says so in its own code and checks the exception there."""

import os
import pathlib
import subprocess
import sys

import pytest

from support.netns import NETNS, namespaces_unavailable
from support.paths import ROOT

HERE = pathlib.Path(__file__).resolve().parent
DOCS = [ROOT / "README.md", ROOT / "CONTRIBUTING.md", *sorted((ROOT / "docs").glob("**/*.md"))]


def python_blocks(path: pathlib.Path) -> int:
    """The ```python blocks of `path` that the run must execute (not marked notest)."""
    count = 0
    for line in path.read_text().splitlines():
        info = line.strip().removeprefix("```").split() if line.lstrip().startswith("```") else []
        count += info[:1] == ["python"] and "notest" not in info
    return count


@pytest.mark.skipif(namespaces_unavailable() is not None, reason=str(namespaces_unavailable()))
@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_documentation_code_blocks_run(module_dir, loop):
    files = [str(p) for p in DOCS if p.exists() and python_blocks(p)]
    assert files, "no documentation with Python code blocks found"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(module_dir), str(ROOT / "tests")])}
    proc = subprocess.run(
        [str(NETNS), sys.executable, str(HERE / "markdown_blocks.py"), loop, *files],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # Each block is one test of the inner run: none may be skipped or left out.
    want = sum(python_blocks(pathlib.Path(f)) for f in files)
    assert f"{want} passed" in proc.stdout.splitlines()[-1], proc.stdout
