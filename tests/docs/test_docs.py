"""Every Python code block of the documentation runs, as written, against the registry emulator
in a private network namespace, on the standard loop and on uvloop. A block that is meant to
raise says so in its own code and checks the exception there."""

import itertools
import json
import os
import pathlib
import re
import shlex
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


def command_examples() -> list[tuple[str, list[str], str]]:
    """(file, arguments, output) of each one-line ```sh block that runs pymorvane-routes and is
    followed at once by the ```text block of its output."""
    examples = []
    for path in DOCS:
        if not path.exists():
            continue
        blocks = re.findall(r"```(\w+)\n(.*?)```", path.read_text(), re.S)
        for (kind, body), (next_kind, output) in itertools.pairwise(blocks):
            if kind == "sh" and next_kind == "text" and body.count("\n") == 1 \
                    and body.startswith("pymorvane-routes "):
                examples.append((path.name, shlex.split(body)[1:], output))
    return examples


@pytest.mark.skipif(namespaces_unavailable() is not None, reason=str(namespaces_unavailable()))
@pytest.mark.parametrize("where,args,output", command_examples())
def test_documented_command_prints_what_the_docs_show(module_dir, tmp_path, where, args, output):
    (tmp_path / "script.json").write_text("{}")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(module_dir), str(ROOT / "tools")])}
    proc = subprocess.run(
        [str(NETNS), sys.executable, str(ROOT / "tests" / "routes_tool" / "scripted_run.py"),
         str(tmp_path / "script.json"), str(tmp_path / "result.json"), *args],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert json.loads((tmp_path / "result.json").read_text())["status"] == 0, proc.stderr
    assert proc.stdout == output
