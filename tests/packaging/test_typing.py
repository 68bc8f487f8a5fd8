"""The stub package matches the built module, and the examples type-check strictly against it.

Type checkers find the stub-only package pymorvane-stubs the way a user's do: in a directory of
the module search path (site-packages when installed, the build tree's module directory here),
with no MYPYPATH."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(args, module_dir):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    env["PYTHONPATH"] = str(module_dir)
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=300)


def test_stub_matches_the_module(module_dir, tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    proc = run(["mypy.stubtest", "pymorvane", "--mypy-config-file", str(config)], module_dir)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_type_check_strictly(module_dir, tmp_path):
    # The pymorvane-routes command's package, too.
    proc = run(["mypy", "--strict", "--cache-dir", str(tmp_path), "examples/",
                "pymorvane/python/pymorvane_routes/"], module_dir)
    assert proc.returncode == 0, proc.stdout + proc.stderr
