"""Checks of bench/report.py's chart: what it plots (always), and the PNG itself where the bench
venv's matplotlib is at hand ($MORVANE_BENCH_PYTHON, which make test and make bench set).

    .venv/bin/python -m pytest bench/test_chart.py
"""

import importlib.util
import json
import os
import pathlib
import struct
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import compare  # noqa: E402
import report  # noqa: E402

WORKLOADS = [("small-c1", 2, 1, 100), ("big-c1", 100_000, 1, 3), ("inflight-10k", 2, 1000, 1000)]
CLIENTS = ["pymorvane", "asyncio", "c-epoll", "bgpq4"]
MACHINE = {"cpus": 2, "load_average": (1.5, 1.25, 1.0), "date": "2026-12-10T10:00:00+00:00"}


def record(rate, loop_us):
    return {"lookups": 100, "elapsed": 100 / rate, "loop_cpu": loop_us * 100 / 1e6,
            "total_cpu": 2 * loop_us * 100 / 1e6, "rss_peak_kib": 20_000, "rss_base_kib": 19_000,
            "in_flight": 1}


def rows():
    runs = {w[0]: {c: [] for c in CLIENTS} for w in WORKLOADS}
    for i, (key, *_rest) in enumerate(WORKLOADS):
        runs[key]["pymorvane"] = [record(1000 * (i + 1), 10), record(3000 * (i + 1), 30)]
        runs[key]["c-epoll"] = [record(5000, 20)]
    runs["small-c1"]["asyncio"] = [record(500, 200)]
    runs["big-c1"]["asyncio"] = [{"failed": "time limit (120 s) reached"}]
    skipped = {w[0]: {"bgpq4": "bgpq4 is not installed"} for w in WORKLOADS}
    return report.aggregate(WORKLOADS, CLIENTS, runs, skipped)


def test_the_series_follow_the_table_and_leave_gaps_where_a_client_has_no_figure():
    series = report.chart_series(rows())
    assert series["workloads"] == ["small-c1", "big-c1", "inflight-10k"]
    assert series["labels"] == ["2 prefixes\n1 in flight", "100k prefixes\n1 in flight",
                                "2 prefixes\nall 1,000 at once"]
    # bgpq4 never ran: no bars, no legend entry.
    assert series["clients"] == ["pymorvane", "asyncio", "c-epoll"]
    rate = series["values"]["rate"]
    assert rate["pymorvane"] == pytest.approx([2000, 4000, 6000])  # medians of two repetitions
    assert rate["asyncio"][0] == pytest.approx(500)
    assert rate["asyncio"][1:] == [None, None]  # failed, then not measured
    assert series["values"]["loop_us"]["pymorvane"] == pytest.approx([20, 20, 20])


def bench_python():
    python = os.environ.get("MORVANE_BENCH_PYTHON")
    if not python or not os.access(python, os.X_OK):
        pytest.skip("no bench venv ($MORVANE_BENCH_PYTHON; make bench-venv makes .venv-bench)")
    return python


def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def test_the_chart_is_a_png_drawn_from_compare_json_output(tmp_path):
    python = bench_python()
    run = tmp_path / "run.json"
    run.write_text(json.dumps({"machine": MACHINE, "reps": 2, "rows": rows()}))
    png = tmp_path / "chart.png"
    subprocess.run([python, str(HERE / "report.py"), str(run), "--chart", str(png)], check=True,
                   timeout=120)
    assert png_size(png) == (1200, 900)


def test_compare_reports_a_chart_it_could_not_draw(tmp_path, monkeypatch, capsys):
    if importlib.util.find_spec("matplotlib") is not None:
        pytest.skip("this interpreter has matplotlib")
    run = tmp_path / "run.json"
    run.write_text(json.dumps({"machine": MACHINE, "reps": 2, "rows": rows()}))
    monkeypatch.setenv("MORVANE_BENCH_PYTHON", sys.executable)
    assert not compare.draw_chart(str(run), str(tmp_path / "chart.png"))
    assert "the chart was not drawn" in capsys.readouterr().err
    assert not (tmp_path / "chart.png").exists()
