"""Runs the Python code blocks of the documentation, as a reader would paste them, against the
registry emulator on port 43. Started by test_docs.py inside a private network namespace in which
whois.radb.net resolves to loopback:

    markdown_blocks.py LOOP FILE...     LOOP is "asyncio" or "uvloop"

The blocks are collected by the pinned pytest-markdown-docs plugin, each one a test of its own
(`continuation` and `notest` info strings work as the plugin documents). This module is also the
pytest plugin of that run: on uvloop, every `asyncio.run` of a block runs on a uvloop loop; and
when `pymorvane` comes from a build tree rather than an installed distribution, the checkout's
version is made visible to importlib.metadata, so the docs can show how to read it."""

from __future__ import annotations

import asyncio
import functools
import importlib.metadata
import pathlib
import sys
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
LOOP = "asyncio"


@pytest.fixture(autouse=True)
def _loop_of_the_run(monkeypatch):
    if LOOP == "uvloop":
        import uvloop

        run = asyncio.run
        monkeypatch.setattr(asyncio, "run", functools.partial(run, loop_factory=uvloop.new_event_loop))
    yield


def _metadata_of_the_checkout(where: pathlib.Path) -> None:
    try:
        importlib.metadata.version("pymorvane")
        return  # installed: the real metadata answers
    except importlib.metadata.PackageNotFoundError:
        pass
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    info = where / f"pymorvane-{version}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.4\nName: pymorvane\nVersion: {version}\n")
    sys.path.append(str(where))


def main(argv: list[str]) -> int:
    global LOOP
    LOOP, files = argv[0], argv[1:]
    sys.path[:0] = [str(ROOT / "tools")]
    import tempfile

    from irr_emulator import serve_in_thread

    with tempfile.TemporaryDirectory() as scratch, serve_in_thread(None, port=43):
        _metadata_of_the_checkout(pathlib.Path(scratch))
        args = ["-p", "pytest_markdown_docs", "--markdown-docs", "-m", "markdown-docs",
                "-p", "no:cacheprovider", "-q", "--rootdir", str(ROOT), *files]
        return pytest.main(args, plugins=[sys.modules[__name__]])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
