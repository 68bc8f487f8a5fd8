"""The interop suite's registry: a real IRRd (with its PostgreSQL and Redis) in a private
namespace where the production registry host name resolves to it, started once for the session
and stopped at its end, however the session ends. tools/interop/setup prepares it (make interop,
make test); without that preparation, or without namespaces, the cases are skipped."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SERVE = ROOT / "tools" / "interop" / "serve"
SCENARIO = pathlib.Path(__file__).with_name("scenario.py")
sys.path.insert(0, str(ROOT / "tools" / "interop"))
import dataset
import registry as registry_tool

_huge_timings: dict[str, list[float]] = {}


class Registry:
    def __init__(self, proc: subprocess.Popen):
        self.proc = proc

    def run(self, argv, **kwargs) -> subprocess.CompletedProcess:
        """Runs a command in the registry's namespace (its network and its hosts file). Entering a
        mount namespace resets the root to that namespace's own, so the root and the working
        directory are taken again from the registry process: under a chroot (a fresh Debian root)
        they are not the host's. The output is text unless text=False asks for its bytes."""
        proc = f"/proc/{self.proc.pid}"
        return subprocess.run(["nsenter", f"--net={proc}/ns/net", f"--mount={proc}/ns/mnt",
                               f"--root={proc}/root", f"--wd={proc}/cwd", "--", *argv],
                              **{"capture_output": True, "text": True, **kwargs})


@pytest.fixture(scope="session")
def registry(tmp_path_factory):
    if os.geteuid() != 0:
        pytest.skip("the interop registry needs root (private namespace, port 43)")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The plain suite covers interop; under the sanitizer runtimes it would double its cost
        # (about 40 s) for no client code path that the emulator cases do not already run.
        pytest.skip("interop cases run in the plain suite, not under the sanitizer preloads")
    log = tmp_path_factory.mktemp("interop") / "serve.log"
    with open(log, "w+") as errors:
        proc = subprocess.Popen([str(SERVE)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=errors, text=True)
        try:
            # The supervisor bounds its own start-up and exits on failure, which ends this read.
            line = proc.stdout.readline().strip()
            if line != "ready":
                proc.wait(timeout=60)
                errors.seek(0)
                reason = errors.read().strip()
                if proc.returncode == 77:
                    pytest.skip(reason)
                pytest.fail(f"interop registry did not start ({proc.returncode}):\n{reason}")
            yield Registry(proc)
        finally:
            # Closing its input is the stop request; the signal is for a supervisor stuck anyway.
            proc.stdin.close()
            try:
                proc.wait(timeout=90)
            except subprocess.TimeoutExpired:
                proc.terminate()
                proc.wait(timeout=60)
            proc.stdout.close()


@pytest.fixture(scope="session", params=["asyncio", "uvloop"])
def outcome(request, registry, module_dir):
    """Every case of tests/interop/scenario.py on one kind of loop, run once per session."""
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    env = {**os.environ, "PYTHONPATH": str(module_dir)}
    proc = registry.run([sys.executable, "-X", "dev", str(SCENARIO), request.param,
                         str(registry_tool.WHOIS_WORKERS)], env=env, timeout=240)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    report["routes"] = {int(asn): routes for asn, routes in report["routes"].items()}
    _huge_timings[request.param] = report["huge_seconds"]
    return report


@pytest.fixture(scope="session")
def bgpq4_routes(registry):
    """AS number -> the IPv4 prefixes Debian's bgpq4 finds on the same server."""
    found = {}
    for asn in dataset.expected_routes():
        proc = registry.run(["bgpq4", "-h", "whois.radb.net", "-S", ",".join(dataset.SOURCES),
                             "-p", "-4", "-F", "%n/%l\n", f"AS{asn}"], timeout=120)
        assert proc.returncode == 0, proc.stderr
        found[asn] = set(proc.stdout.split())
    return found


def pytest_terminal_summary(terminalreporter):
    if _huge_timings:
        terminalreporter.section("interop: 100k-prefix lookups against IRRd")
        for loop, seconds in _huge_timings.items():
            shown = ", ".join(f"{s * 1000:.0f} ms" for s in seconds)
            terminalreporter.write_line(f"AS{dataset.HUGE_AS} on {loop}: {shown}")
