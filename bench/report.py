"""Medians, ratios and the Markdown table of compare.py (pure functions of the measured records)."""

from __future__ import annotations

import statistics

MIN_IN_FLIGHT_FOR_RSS = 100
# Ratio column -> the client whose throughput is the denominator.
REFERENCES = {"vs_asyncio": "asyncio", "vs_uvloop": "asyncio-uvloop", "vs_c": "c-epoll"}

CLIENT_LABELS = {
    "pymorvane": "pymorvane",
    "pymorvane-uvloop": "pymorvane on uvloop",
    "asyncio": "asyncio streams",
    "asyncio-uvloop": "asyncio streams on uvloop",
    "threadpool": "thread pool (blocking sockets)",
    "c-epoll": "C++ epoll (ceiling)",
    "bgpq4": "bgpq4",
}
CLIENT_NOTES = {
    "threadpool": "at most 128 threads, so at most 128 lookups in flight",
    "c-epoll": "one thread; loop CPU is its whole CPU",
    "bgpq4": "one connection, queries pipelined (concurrency does not apply); checked on the "
             "union of the answers; CPU and RSS from wait4, start-up included",
}


def per_record(rec: dict) -> dict:
    """The derived figures of one measurement."""
    n = rec["lookups"]
    out = {
        "rate": n / rec["elapsed"],
        "loop_us": rec["loop_cpu"] / n * 1e6,
        "total_us": rec["total_cpu"] / n * 1e6,
        "peak_mib": rec["rss_peak_kib"] / 1024,
        "kib_per_inflight": None,
        "server_busy": None,
    }
    if rec.get("server_cpu_per_lookup") is not None:
        out["server_busy"] = rec["server_cpu_per_lookup"] * out["rate"]
    # Below ~100 in flight the growth is one-time allocations and noise, not a per-lookup cost.
    if rec.get("rss_base_kib") is not None and (rec.get("in_flight") or 0) >= MIN_IN_FLIGHT_FOR_RSS:
        growth = max(0, rec["rss_peak_kib"] - rec["rss_base_kib"])
        out["kib_per_inflight"] = growth / rec["in_flight"]
    return out


def median_of(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def aggregate(workloads, clients, runs, skipped) -> list[dict]:
    """One row per workload and client: medians over the repetitions, then the ratios."""
    rows = []
    for key, prefixes, concurrency, lookups in workloads:
        by_client = {}
        for client in clients:
            row = {"workload": key, "prefixes": prefixes, "concurrency": concurrency,
                   "lookups": lookups, "client": client}
            recs = runs[key][client]
            failed = [r["failed"] for r in recs if "failed" in r]
            good = [per_record(r) for r in recs if "failed" not in r]
            if client in skipped.get(key, {}) and not recs:
                row["skipped"] = skipped[key][client]
            elif failed:
                row["failed"] = failed[0]
            elif good:
                row["reps"] = len(good)
                for field in ("rate", "loop_us", "total_us", "peak_mib", "kib_per_inflight",
                              "server_busy"):
                    row[field] = median_of(g[field] for g in good)
                rates = [g["rate"] for g in good]
                row["spread"] = (max(rates) - min(rates)) / row["rate"]
            by_client[client] = row
            rows.append(row)
        base = {c: by_client.get(c, {}).get("rate") for c in REFERENCES.values()}
        base_loop = by_client.get("asyncio", {}).get("loop_us")
        for row in by_client.values():
            if row.get("rate") is None:
                continue
            for name, ref in REFERENCES.items():
                row[name] = row["rate"] / base[ref] if base[ref] else None
            row["loop_vs_asyncio"] = row["loop_us"] / base_loop if base_loop else None
    return rows


def fmt_num(v, digits=0) -> str:
    if v is None:
        return "–"
    return f"{v:,.{digits}f}"


def fmt_us(v) -> str:
    if v is None:
        return "–"
    return f"{v:,.1f}" if v < 100 else f"{v:,.0f}"


def fmt_pct(v) -> str:
    return "–" if v is None else f"{v * 100:.0f}%"


def fmt_ratio(v) -> str:
    return "–" if v is None else f"{v:.2f}×"


def workload_label(row) -> str:
    size = f"{row['prefixes']:,} prefixes"
    if row["prefixes"] >= 10_000:
        size += f" (~{row['prefixes'] * 16 / 1e6:.1f} MB)"
    return f"{size}, {row['concurrency']:,} in flight, {row['lookups']:,} lookups"


HEADER = ("| Workload | Client | lookups/s | × asyncio | × uvloop streams | × C "
          "| loop CPU µs/lookup | loop CPU × asyncio | total CPU µs/lookup | peak RSS MiB "
          "| RSS KiB/in-flight | spread | server busy |")


def markdown(rows, machine, args) -> str:
    lines = [
        f"Machine: {machine['cpus']} CPUs ({machine['cpu']}), Linux {machine['kernel']}, "
        f"CPython {machine['python']}, uvloop {machine['uvloop']}; server and client share the "
        f"CPUs (irr_server with {machine['server_threads']} thread). Load average at start: "
        f"{', '.join(f'{x:.2f}' for x in machine['load_average'])}. {machine['date']}.",
        f"Mode: {machine['mode']}. Medians of {args.reps} interleaved repetition(s)"
        + (" (--quick smoke run: too short to quote)" if args.quick else "") + ".",
        "",
        HEADER,
        "|" + "---|" * (HEADER.count("|") - 1),
    ]
    last_workload = None
    for row in rows:
        label = workload_label(row) if row["workload"] != last_workload else ""
        last_workload = row["workload"]
        client = CLIENT_LABELS[row["client"]]
        if "skipped" in row or "failed" in row:
            what = (f"skipped: {row['skipped']}" if "skipped" in row
                    else f"**FAILED**: {row['failed']}")
            lines.append(f"| {label} | {client} | {what} |" + " |" * 10)
            continue
        if row.get("rate") is None:
            continue
        lines.append(
            f"| {label} | {client} | {fmt_num(row['rate'])} | {fmt_ratio(row.get('vs_asyncio'))} "
            f"| {fmt_ratio(row.get('vs_uvloop'))} | {fmt_ratio(row.get('vs_c'))} "
            f"| {fmt_us(row['loop_us'])} | {fmt_ratio(row.get('loop_vs_asyncio'))} "
            f"| {fmt_us(row['total_us'])} | {fmt_num(row['peak_mib'], 1)} "
            f"| {fmt_num(row['kib_per_inflight'], 1)} | {row['spread'] * 100:.0f}% "
            f"| {fmt_pct(row.get('server_busy'))} |")
    notes = [f"{CLIENT_LABELS[c]}: {n}." for c, n in CLIENT_NOTES.items()
             if any(r["client"] == c for r in rows)]
    lines += ["", "Notes: " + " ".join(notes)] if notes else []
    return "\n".join(lines)


def summary_line(rec: dict) -> str:
    """A progress line for one measurement."""
    if "failed" in rec:
        return f"FAILED: {rec['failed']}"
    d = per_record(rec)
    return (f"{d['rate']:,.0f}/s, loop {d['loop_us']:.1f} µs, total {d['total_us']:.1f} µs, "
            f"peak {d['peak_mib']:.1f} MiB")


# --- the chart ---------------------------------------------------------------------------------
# Drawn with matplotlib, which only the bench venv has (bench/requirements.txt): imported inside
# draw_chart, so that compare.py and the table need nothing but the standard library.

CHART_METRICS = (("rate", "lookups/s (higher is better)"),
                 ("loop_us", "loop CPU µs per lookup (lower is better)"))


def chart_label(row) -> str:
    """A workload's short label for the chart's axis."""
    size = f"{row['prefixes']:,} prefixes" if row["prefixes"] < 10_000 else (
        f"{row['prefixes'] // 1000:,}k prefixes")
    if row["workload"].startswith("inflight"):
        return f"{size}\nall {row['concurrency']:,} at once"
    return f"{size}\n{row['concurrency']:,} in flight"


def chart_series(rows) -> dict:
    """What the chart shows: the workloads in table order, the clients that have a figure, and per
    metric one value per client and workload (None where the client was skipped or failed)."""
    workloads, labels = [], {}
    for row in rows:
        if row["workload"] not in labels:
            workloads.append(row["workload"])
            labels[row["workload"]] = chart_label(row)
    clients = []
    for row in rows:
        if row.get("rate") is not None and row["client"] not in clients:
            clients.append(row["client"])
    by_key = {(r["workload"], r["client"]): r for r in rows}
    values = {metric: {c: [by_key.get((w, c), {}).get(metric) for w in workloads]
                       for c in clients}
              for metric, _ in CHART_METRICS}
    return {"workloads": workloads, "labels": [labels[w] for w in workloads],
            "clients": clients, "values": values}


def draw_chart(rows, machine, path, reps) -> None:
    """Grouped bars, one group per workload and one bar per client, on log scales: throughput
    above, the event loop's CPU per lookup below. Written as a PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = chart_series(rows)
    n_w, n_c = len(series["workloads"]), len(series["clients"])
    if not n_w or not n_c:
        raise SystemExit("report: nothing to draw (no client has a figure)")
    fig, axes = plt.subplots(2, 1, figsize=(12, 9), sharex=True)
    fig.subplots_adjust(left=0.07, right=0.985, top=0.87, bottom=0.1, hspace=0.08)
    colours = plt.get_cmap("tab10").colors
    width = 0.8 / n_c
    for ax, (metric, title) in zip(axes, CHART_METRICS, strict=True):
        for i, client in enumerate(series["clients"]):
            xs, ys = [], []
            for w, v in enumerate(series["values"][metric][client]):
                if v is not None and v > 0:
                    xs.append(w - 0.4 + width * (i + 0.5))
                    ys.append(v)
            ax.bar(xs, ys, width * 0.92, label=CLIENT_LABELS[client], color=colours[i % 10])
        ax.set_yscale("log")
        ax.set_ylabel(title)
        ax.grid(axis="y", which="major", alpha=0.35)
        ax.grid(axis="y", which="minor", alpha=0.12)
        ax.set_axisbelow(True)
        for w in range(1, n_w):
            ax.axvline(w - 0.5, color="0.85", linewidth=0.8)
    axes[1].set_xticks(range(n_w), series["labels"])
    load = ", ".join(f"{x:.2f}" for x in machine["load_average"])
    fig.suptitle(f"bench/compare.py, median of {reps} repetition{'s' * (reps != 1)}, "
                 f"{machine['date'][:10]}: {machine['cpus']} CPUs shared with the server, "
                 f"load average at start {load}", y=0.985, fontsize="medium")
    fig.legend(*axes[0].get_legend_handles_labels(), loc="upper center",
               bbox_to_anchor=(0.5, 0.955), ncols=min(n_c, 4), fontsize="small", frameon=False)
    whole = [CLIENT_LABELS[c] for c in ("c-epoll", "bgpq4") if c in series["clients"]]
    if whole:
        fig.text(0.01, 0.005, f"{' and '.join(whole)}: one thread, so loop CPU is the whole "
                 "process's CPU.", fontsize="x-small", color="0.35")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None) -> int:
    import argparse
    import json

    p = argparse.ArgumentParser(description="Draws compare.py's table (its --json output) as a "
                                            "PNG; needs matplotlib (the bench venv).")
    p.add_argument("json", help="the file compare.py --json wrote")
    p.add_argument("--chart", required=True, metavar="PNG", help="where to write the chart")
    args = p.parse_args(argv)
    with open(args.json) as f:
        run = json.load(f)
    draw_chart(run["rows"], run["machine"], args.chart, run["reps"])
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
