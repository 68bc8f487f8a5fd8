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
