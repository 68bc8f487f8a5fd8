"""pymorvane-routes, as built into the build tree's module directory, against a scripted registry
in a private network namespace (scripted_run.py)."""

import dataclasses
import json
import os
import pathlib
import subprocess
import sys

import pytest

from support.netns import NETNS, namespaces_unavailable
from support.paths import TOOLS

RUNNER = pathlib.Path(__file__).with_name("scripted_run.py")


@dataclasses.dataclass
class Run:
    status: int
    out: str
    err: str
    asked: dict[int, int]  # connections per AS
    peak: int  # the most lookups waiting for an answer at once
    screen: str  # standard error, when it was a terminal


@pytest.fixture
def routes_tool(module_dir, tmp_path):
    if reason := namespaces_unavailable():
        pytest.skip(reason)

    def run(*args: str, stdin: str = "", env: dict[str, str] | None = None, **script) -> Run:
        (tmp_path / "script.json").write_text(json.dumps(script))
        result = tmp_path / "result.json"
        environment = {**os.environ, **(env or {}),
                       "PYTHONPATH": os.pathsep.join([str(module_dir), str(TOOLS)])}
        # The working directory holds no copy of the tool: the build tree's is the one that runs.
        proc = subprocess.run(
            [str(NETNS), sys.executable, str(RUNNER), str(tmp_path / "script.json"), str(result),
             *args], cwd=tmp_path, input=stdin, env=environment, capture_output=True, text=True,
            timeout=120)
        assert proc.returncode == 0, proc.stderr
        found = json.loads(result.read_text())
        asked = {int(asn): n for asn, n in found["asked"].items()}
        return Run(found["status"], proc.stdout, proc.stderr, asked, found["peak"], found["screen"])

    return run
