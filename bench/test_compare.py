"""Checks of the benchmark harness itself: that every client's result check really rejects a wrong
answer, that the figures are derived right, and that one quick run produces the table.

    .venv/bin/python -m pytest bench/

Talks only to irr_server processes it starts on 127.0.0.1 (ephemeral ports).
"""

import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import compare
import report

BIG = 70_000  # crosses the 65,536 boundary where the first octet changes
BUILD_DIR = pathlib.Path(os.environ.get("MORVANE_BUILD_DIR", compare.ROOT / "build" / "default"))


@pytest.fixture(scope="module")
def binaries():
    return compare.native_binaries(BUILD_DIR)


@pytest.fixture(scope="module")
def servers(binaries):
    started = {n: compare.Server(binaries["irr_server"], "127.0.0.1", 0, n, 1) for n in (2, BIG)}
    yield {n: s.port for n, s in started.items()}
    for s in started.values():
        s.stop()


def expect_args(count, first=None, last=None):
    return ["--expect-count", str(count),
            "--expect-first", first or compare.expected_prefix(0),
            "--expect-last", last or compare.expected_prefix(count - 1)]


def test_expected_prefixes_match_what_the_server_sends(servers):
    with socket.create_connection(("127.0.0.1", servers[BIG]), timeout=30) as s:
        s.sendall(b"!gAS1\n")
        data = b""
        while not data.endswith(b"\nC\n"):
            chunk = s.recv(1 << 20)
            assert chunk, "server closed early"
            data += chunk
    header, payload = data.split(b"\n", 1)
    assert int(header[1:]) == len(payload) - 2  # the data block, then "C\n"
    assert payload.decode().split()[:-1] == [compare.expected_prefix(i) for i in range(BIG)]


@pytest.mark.parametrize("client", ["c-epoll", "asyncio", "asyncio-uvloop", "threadpool"])
def test_each_client_measures_and_rejects_a_wrong_list(client, binaries, servers):
    if client == "c-epoll":
        cmd = [str(binaries["epoll_client"])]
    else:
        cmd = [sys.executable, str(HERE / "clients.py"), client]
    cmd += ["--host", "127.0.0.1", "--lookups", "20", "--concurrency", "4", "--timeout", "60"]

    def run(port, *expect):
        r = subprocess.run(cmd + ["--port", str(port), *expect], capture_output=True, text=True,
                           timeout=90)
        return r.returncode, json.loads(r.stdout.strip().splitlines()[-1])

    rc, rec = run(servers[2], *expect_args(2))
    if "skip" in rec:
        pytest.skip(rec["skip"])
    assert rc == 0 and rec["errors"] == 0 and rec["lookups"] == 20
    assert rec["elapsed"] > 0 and rec["rss_peak_kib"] >= rec["rss_base_kib"] > 0
    rc, rec = run(servers[BIG], *expect_args(BIG))
    assert rc == 0 and rec["errors"] == 0
    # Right count, wrong last element; then a wrong count.
    for expect in (expect_args(BIG, last="11.4.111.0/24"), expect_args(BIG + 1)):
        rc, rec = run(servers[BIG], *expect)
        assert rc == 1 and rec["errors"] >= 20 and "wrong prefix list" in rec["first_error"]


def test_unreachable_server_counts_failures_instead_of_crashing(binaries):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # bound, not listening: connections are refused
        r = subprocess.run([sys.executable, str(HERE / "clients.py"), "asyncio", "--port",
                            str(port), "--lookups", "5", *expect_args(2)],
                           capture_output=True, text=True, timeout=60)
        rec = json.loads(r.stdout)
        # 8 warm-up lookups and 5 measured ones, all refused
        assert r.returncode == 1 and rec["errors"] == 13
        assert "ConnectionRefused" in rec["first_error"]


def test_pymorvane_clients_skip_when_the_module_does_not_import(tmp_path, servers):
    env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": str(tmp_path)}
    for client in ("pymorvane", "pymorvane-uvloop"):
        for production in ("0", "1"):
            r = subprocess.run([sys.executable, str(HERE / "clients.py"), client, "--port",
                                str(servers[2]), *expect_args(2)], capture_output=True, text=True,
                               timeout=60, env={**env, compare.IN_NETNS_ENV: production})
            assert r.returncode == 0, r.stderr
            assert "does not import" in json.loads(r.stdout)["skip"]


class Ctx:
    host = "127.0.0.1"
    timeout = 60.0


def test_bgpq4_is_checked_on_the_union_of_its_answers(servers):
    ctx = Ctx()
    ctx.bgpq4 = shutil.which("bgpq4")
    if not ctx.bgpq4:
        pytest.skip("bgpq4 is not installed")
    ctx.port = servers[2]
    rec = compare.measure_bgpq4(("w", 2, 1, 50), ctx, "10.0.0.0/24", "10.0.1.0/24")
    assert rec["lookups"] == 50 and rec["rss_peak_kib"] > 0, rec
    rec = compare.measure_bgpq4(("w", 3, 1, 5), ctx, "10.0.0.0/24", "10.0.2.0/24")
    assert "2 prefixes" in rec["failed"]


def test_rows_take_medians_and_ratios_and_show_failures():
    def rec(elapsed, loop_cpu, peak):
        return {"lookups": 100, "elapsed": elapsed, "loop_cpu": loop_cpu, "total_cpu": 2 * loop_cpu,
                "rss_base_kib": 1000, "rss_peak_kib": peak, "in_flight": 100,
                "server_cpu_per_lookup": 1e-4}

    w = ("small-c100", 2, 100, 100)
    runs = {"small-c100": {
        "asyncio": [rec(1.0, 0.02, 2000), rec(2.0, 0.04, 3000), rec(4.0, 0.03, 1100)],
        "c-epoll": [rec(0.25, 0.01, 1200)],
        "pymorvane": [rec(0.5, 0.001, 1500), {"failed": "1 failed lookups; first: boom"}],
        "asyncio-uvloop": [],
    }}
    rows = report.aggregate([w], ["asyncio", "c-epoll", "pymorvane", "asyncio-uvloop"], runs,
                            {"small-c100": {"asyncio-uvloop": "uvloop does not import"}})
    a, c, p, u = rows
    assert a["rate"] == 50 and a["loop_us"] == 300 and a["total_us"] == 600
    assert a["kib_per_inflight"] == 10 and a["spread"] == pytest.approx((100 - 25) / 50)
    assert a["server_busy"] == pytest.approx(50 * 1e-4)  # a share of one core
    assert c["vs_asyncio"] == 8 and c["vs_c"] == 1 and c["loop_vs_asyncio"] == pytest.approx(1 / 3)
    assert c["vs_uvloop"] is None
    assert p["failed"].startswith("1 failed") and "rate" not in p
    assert u["skipped"] == "uvloop does not import"
    machine = {"cpus": 2, "cpu": "x", "kernel": "k", "python": "3.14", "uvloop": "-",
               "server_threads": 1, "load_average": (0, 0, 0), "date": "d", "mode": "m"}
    table = report.markdown(rows, machine, type("A", (), {"reps": 3, "quick": False})())
    assert "**FAILED**: 1 failed lookups; first: boom" in table
    assert "skipped: uvloop does not import" in table
    assert "| 8.00× |" in table


def test_quick_run_prints_the_table_and_json(tmp_path):
    out = tmp_path / "r.json"
    r = subprocess.run([sys.executable, str(HERE / "compare.py"), "--quick", "--no-netns",
                        "--build-dir", str(BUILD_DIR), "--clients", "asyncio,c-epoll,pymorvane",
                        "--workloads", "small-c1,big-c1", "--json", str(out)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.count("asyncio streams | ") == 2 and "C++ epoll (ceiling)" in r.stdout
    data = json.loads(out.read_text())
    assert [w["key"] for w in data["workloads"]] == ["small-c1", "big-c1"]
    assert all(row.get("rate") or row.get("skipped") for row in data["rows"])
