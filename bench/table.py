#!/usr/bin/env python3
"""Prints the performance table from the benchmark results of one run.

Every figure is held against a baseline measured in the same run: the machines are
shared and noisy, so ratios are compared with the budgets, not absolute times.

    table.py --machine TEXT --app APP.jsonl BENCH.json [BENCH.json ...]

BENCH.json: Google Benchmark's --benchmark_format=json output.
APP.jsonl: one JSON object per line from bench/app/run.sh.
Exits with 1 when a figure is over its budget or missing, so scripts can tell.
"""
import argparse
import json
import re
import statistics
import sys

UNIT_TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}

# (label, measured benchmark, baseline benchmark, budget as the largest ratio or None)
PAIRS = [
    ("History load, 100 000 entries (GetHistory) vs reading + converting the file",
     "BM_HistoryLoad", "BM_HistoryLoadBaseline", 3.0),
    ("History append, 10 000 incoming messages vs open/write/close",
     "BM_HistoryAppend", "BM_HistoryAppendBaseline", 2.0),
    ("History search (Ctrl+F), 100 000 entries, any case vs a plain find",
     "BM_SearchConversation", "BM_SearchConversationBaseline", 6.0),
    ("Search of every conversation, 10 files of 10 000 entries vs reading them",
     "BM_SearchEveryConversation", "BM_SearchEveryConversationBaseline", 1.5),
    ("Conversation paint, 100 000 entries vs 100 entries",
     "BM_PaintConversation/100000", "BM_PaintConversation/100", 1.5),
    ("Contacts view paint, a full page: 2 000 contacts vs 50",
     "BM_PaintContacts/2000", "BM_PaintContacts/50", 1.5),
    ("Presence storm, one arrival report (re-sort) vs one sort of 1 000 contacts",
     "BM_PresenceReport", "BM_ContactListSort", None),
    ("Sign-on to contacts loaded, 1 000 online buddies vs 10",
     "BM_SignOn/1000", "BM_SignOn/10", None),
    ("Sending a 32 MiB file over loopback (offer to saved) vs a plain socket copy",
     "BM_FileTransfer", "BM_SocketCopy", 3.0),
]

SUFFIX = re.compile(r"/(real_time|process_time|manual_time|iterations:\d+|min_time:[0-9.]+s?|"
                    r"repeats:\d+|threads:\d+)$")


def base_name(name):
    while True:
        stripped = SUFFIX.sub("", name)
        if stripped == name:
            return name
        name = stripped


def load_benchmarks(paths):
    times = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration" or "error_occurred" in b:
                continue
            name = b.get("run_name", b["name"])
            # Wall time where the benchmark asked for it (files, sockets, threads),
            # otherwise the CPU time of the measuring thread, which a busy machine
            # disturbs less.
            key = "real_time" if name.endswith("/real_time") else "cpu_time"
            t = b[key] * UNIT_TO_MS[b.get("time_unit", "ns")]
            times.setdefault(base_name(name), []).append(t)
    return {name: statistics.median(ts) for name, ts in times.items()}


def fmt_ms(ms):
    if ms is None:
        return "missing"
    if ms >= 100:
        return f"{ms:.0f} ms"
    if ms >= 1:
        return f"{ms:.2f} ms"
    return f"{ms * 1000:.1f} µs"


def verdict(ratio, budget):
    if ratio is None:
        return "MISSING"
    if budget is None:
        return "reported"
    if ratio <= budget:
        return f"within (≤ {budget:g}×)"
    return f"OVER by {(ratio / budget - 1) * 100:.0f}% (budget {budget:g}×)"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--machine", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("bench", nargs="+")
    args = parser.parse_args()

    times = load_benchmarks(args.bench)
    rows = []
    ok = True
    for label, measured, baseline, budget in PAIRS:
        m, b = times.get(measured), times.get(baseline)
        ratio = m / b if m is not None and b else None
        v = verdict(ratio, budget)
        ok = ok and not v.startswith(("OVER", "MISSING"))
        rows.append((label, fmt_ms(m), fmt_ms(b), f"{ratio:.2f}×" if ratio else "—", v))

    runs = {}
    with open(args.app, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                r = json.loads(line)
                runs.setdefault(r["app"], []).append(r)
    pellox = runs.get("pellox", [])
    floor = runs.get("floor", [])
    others = [(name, rs) for name, rs in runs.items() if name not in ("pellox", "floor")]
    other_name, other = others[0] if others else ("other messenger", [])

    def median(rs, key):
        values = [r[key] for r in rs if r.get(key, -1) >= 0]
        return statistics.median(values) if values else None

    for label, key, unit in (("Start-up to the first painted frame", "startup_ms", "ms"),
                             ("Resident memory after sign-on", "rss_kib", "KiB")):
        shown = (lambda x: "missing" if x is None else
                 (f"{x:.0f} ms" if unit == "ms" else f"{x / 1024:.1f} MiB"))
        p, o, f = median(pellox, key), median(other, key), median(floor, key)
        ratio = p / o if p is not None and o else None
        v = verdict(ratio, 1.0)
        if ratio is not None and ratio < 1.0:
            v = f"within (below {other_name})"
        elif ratio is not None:
            v = f"OVER by {(ratio - 1) * 100:.0f}% (must be below {other_name})"
        ok = ok and v.startswith("within")
        rows.append((f"{label} (median of {len(pellox)} runs each)", shown(p),
                     f"{shown(o)} ({other_name})", f"{ratio:.2f}×" if ratio else "—", v))
        # The floor: an empty Qt Widgets window of the same size, started the same way.
        ratio = p / f if p is not None and f else None
        v = "reported" if ratio is not None else "MISSING"
        ok = ok and ratio is not None
        rows.append((f"{label}, against the floor", shown(p),
                     f"{shown(f)} (empty Qt window)", f"{ratio:.2f}×" if ratio else "—", v))

    idle = [r for r in pellox if r.get("idle_s", 0) > 0]
    if idle:
        r = idle[-1]
        per_s = r["idle_gui_wakeups"] / r["idle_s"]
        rows.append((f"Idle {r['idle_s']} s signed on: CPU time, GUI-thread context switches",
                     f"{r['idle_cpu_ms']:.0f} ms CPU, {r['idle_gui_wakeups']} switches",
                     "clock: 1 tick/s", f"{per_s:.2f} switches/s", "reported"))
    else:
        rows.append(("Idle CPU time", "missing", "—", "—", "MISSING"))
        ok = False

    print(f"Machine: {args.machine}")
    print()
    header = ("Figure", "Pellox", "Baseline", "Ratio", "Budget")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(5)]
    line = lambda row: "| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
