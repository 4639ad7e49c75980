#!/usr/bin/env python3
"""Summarises a benchmark run (tools/bench.sh) into report.md and latency.png.

Reads <dir>/results.jsonl (one JSON object per run), <dir>/micro.json (Google
Benchmark's output) and <dir>/machine.txt. Every figure is the median over the
repeated runs, with the spread over the runs (lowest to highest) beside it.
"""
import json
import os
import statistics
import sys



def pct(values, p):
    """Nearest-rank percentile, as the bench programs compute it."""
    if not values:
        return float("nan")
    v = sorted(values)
    rank = max(1, -(-len(v) * p // 100))
    return v[min(int(rank), len(v)) - 1]


def med_spread(values, scale=1.0, fmt="{:.3f}"):
    values = [x * scale for x in values]
    if not values:
        return "n/a"
    m = statistics.median(values)
    if len(values) == 1:
        return fmt.format(m)
    return (fmt + " ({}–{})").format(m, fmt.format(min(values)), fmt.format(max(values)))


def background_of(runs):
    # Small negative values are rounding between two clocks: nothing else ran.
    values = [max(0.0, r["background"]) for r in runs if "background" in r]
    if not values:
        return "n/a"
    return "{:.2f} ({:.2f})".format(statistics.median(values), max(values))


def summary(d, rows, micro_name="micro.json"):
    """The report's tables of one side's rows, and the latency samples to plot."""
    out = []
    w = out.append

    def head(*columns):
        """A table's first two lines: its columns' names and the line under them."""
        w("| " + " | ".join(columns) + " |")
        w("|---" * len(columns) + "|")

    w("## Machine\n")
    w("```")
    w(open(os.path.join(d, "machine.txt")).read().strip())
    w("```\n")

    # ------------------------------------------------------------ latency
    lat = [r for r in rows if r["kind"] == "latency"]
    series = {}  # label -> pooled samples in ms, for the plot
    if lat:
        w("## Latency, CR written to code handed over (ms)\n")
        w("Median over runs, spread over runs in brackets; ratio = the reader's median p50/p99 over the "
          "read() loop's on the same platform.\n")
        head("platform", "reader", "runs", "codes lost", "p50", "p99", "max", "p50 ratio", "p99 ratio", "background")
        for platform, readers in (("linux", ("library", "event", "read", "pyserial")),
                                  ("wine", ("library", "event", "read"))):
            runs = [r for r in lat if r["platform"] == platform]
            if not runs:
                continue
            stats = {}
            for reader in readers:
                per = [r["readers"][reader] for r in runs if reader in r["readers"]]
                if not per:
                    continue
                p50 = [pct(x["ns"], 50) / 1e6 for x in per]
                p99 = [pct(x["ns"], 99) / 1e6 for x in per]
                mx = [pct(x["ns"], 100) / 1e6 for x in per]
                lost = sum(x["lost"] for x in per)
                stats[reader] = (p50, p99, mx, lost, len(per))
                label = {"linux": "native", "wine": "Wine"}[platform] + " " + {
                    "library": "library", "event": "library, Wake=Event",
                    "read": "read() loop" if platform == "linux" else "ReadFile loop",
                    "pyserial": "pyserial"}[reader]
                series[label] = [ns / 1e6 for x in per for ns in x["ns"]]
            base = stats.get("read")
            background = background_of(runs)
            for reader, (p50, p99, mx, lost, n) in stats.items():
                r50 = statistics.median(p50) / statistics.median(base[0]) if base else float("nan")
                r99 = statistics.median(p99) / statistics.median(base[1]) if base else float("nan")
                w("| {} | {} | {} | {} | {} | {} | {} | {:.1f}× | {:.1f}× | {} |".format(
                    platform, reader, n, lost, med_spread(p50), med_spread(p99), med_spread(mx), r50, r99, background))
        w("")
        w("Background: what else kept the machine's processors busy during a run, in processors "
          "(median, highest in brackets); measured natively only.\n")

    share = [r for r in rows if r["kind"] == "share"]
    if share:
        w("## The library's own share, DataReceived to callback entry (µs)\n")
        w("Background load during these runs: {} processors.\n".format(background_of(share)))
        head("part", "runs", "p50", "p99", "max")
        for key, name in (("share_ns", "DataReceived → callback"), ("cycle_ns", "CR written → DataReceived"),
                          ("total_ns", "CR written → callback"),
                          ("wake_ns", "for comparison: a bare Event wake-up of a waiting thread"),
                          ("log_ns", "for comparison: one log record, spaced like the codes")):
            if not all(key in r for r in share):
                continue
            p50 = [pct(r[key], 50) / 1e3 for r in share]
            p99 = [pct(r[key], 99) / 1e3 for r in share]
            mx = [pct(r[key], 100) / 1e3 for r in share]
            w("| {} | {} | {} | {} | {} |".format(name, len(share), med_spread(p50, fmt="{:.1f}"),
                                                  med_spread(p99, fmt="{:.1f}"), med_spread(mx, fmt="{:.1f}")))
        w("")
        series["library's share (DataReceived → callback)"] = [ns / 1e6 for r in share for ns in r["share_ns"]]

    bridge = [r for r in rows if r["kind"] == "bridge"]
    if bridge:
        w("## belvor-bridge, its CodeProc called to a WebSocket client's receipt (µs)\n")
        w("On the library's stand-in (bench/bridge_bench.sh); steady: a code every millisecond, burst: "
          "fifty back to back every 50 ms. Median over runs, spread over runs in brackets; load: the "
          "one-minute load average as each run began.\n")
        head("platform", "case", "runs", "codes", "lost", "p50", "p99", "max", "load")
        for platform, case in dict.fromkeys((r["platform"], r["case"]) for r in bridge):
            rs = [r for r in bridge if (r["platform"], r["case"]) == (platform, case)]
            w("| {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
                platform, case, len(rs), sum(r["codes"] for r in rs), sum(r["lost"] for r in rs),
                *(med_spread([pct(r["ns"], p) for r in rs], 1e-3, "{:.0f}") for p in (50, 99, 100)),
                med_spread([r["load"] for r in rs], fmt="{:.2f}")))
        w("")

    # ------------------------------------------------------------ throughput
    thr = [r for r in rows if r["kind"] == "throughput"]
    if thr:
        w("## Throughput, 14-byte codes as fast as the line takes them (KB/s = 1000 bytes/s)\n")
        head("platform", "reader", "ports", "runs", "lost", "out of order", "all ports", "slowest port", "ratio to read() loop", "CPU (one core = 100 %)")
        keys = []
        for r in thr:
            k = (r["platform"], r["reader"], r["ports"])
            if k not in keys:
                keys.append(k)
        medians = {}
        for k in keys:
            rs = [r for r in thr if (r["platform"], r["reader"], r["ports"]) == k]
            medians[k] = statistics.median(r["bytes_per_s"] for r in rs)
        for k in keys:
            rs = [r for r in thr if (r["platform"], r["reader"], r["ports"]) == k]
            agg = [r["bytes_per_s"] / 1e3 for r in rs]
            slow = [min(r["port_bytes_per_s"]) / 1e3 for r in rs if "port_bytes_per_s" in r]
            cpu = [100 * r["cpu_share"] for r in rs if "cpu_share" in r]
            base = medians.get((k[0], "read", k[2]))
            ratio = "{:.3f}".format(medians[k] / base) if base else "n/a"
            w("| {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
                k[0], k[1], k[2], len(rs), sum(r["lost"] for r in rs), sum(r["out_of_order"] for r in rs),
                med_spread(agg, fmt="{:.0f}"), med_spread(slow, fmt="{:.0f}") if slow else "n/a", ratio,
                med_spread(cpu, fmt="{:.0f}") if cpu else "n/a"))
        w("")

    # ------------------------------------------------------------ Wine, per code
    flood = [r for r in thr if r["platform"] == "wine" and "codes_per_s" in r]
    calls = [r for r in rows if r["kind"] == "record_calls"]
    if flood:
        w("## Under Wine, codes as fast as COM8 takes them, beside the reference reader\n")
        w("The reference reader is the driver's polling design without queue, thread or log. CPU is per code "
          "delivered, from /proc: the host process's own (all its threads) and wineserver's.\n")
        head("reader", "runs", "codes/s", "ratio to reference", "lost", "out of order", "host CPU per code (µs)", "wineserver CPU per code (µs)")
        ref = [r["codes_per_s"] for r in flood if r["reader"] == "reference"]
        ref_median = statistics.median(ref) if ref else None
        for reader in ("reference", "library", "event", "read"):
            rs = [r for r in flood if r["reader"] == reader]
            if not rs:
                continue
            ratio = "{:.2f}".format(statistics.median(r["codes_per_s"] for r in rs) / ref_median) if ref_median else "n/a"
            w("| {} | {} | {} | {} | {} | {} | {} | {} |".format(
                reader, len(rs), med_spread([r["codes_per_s"] for r in rs], fmt="{:.0f}"), ratio,
                sum(r["lost"] for r in rs), sum(r["out_of_order"] for r in rs),
                med_spread([r["cpu_ns_per_code"] for r in rs], 1e-3, fmt="{:.1f}"),
                med_spread([r["server_cpu_ns_per_code"] for r in rs], 1e-3, fmt="{:.1f}")))
        if calls:
            w("| the record's calls alone (size, open, write, close), per record | {} | p50 {} µs, p99 {} µs | | | | {} | {} |".format(
                len(calls), med_spread([r["p50_ns"] for r in calls], 1e-3, fmt="{:.1f}"),
                med_spread([r["p99_ns"] for r in calls], 1e-3, fmt="{:.1f}"),
                med_spread([r["cpu_ns"] for r in calls], 1e-3, fmt="{:.1f}"),
                med_spread([r["server_cpu_ns"] for r in calls], 1e-3, fmt="{:.1f}")))
        lib = [r for r in flood if r["reader"] == "library"]
        if calls and lib:
            # Paired by run: the same run's record calls.
            by_run = {r["run"]: r["cpu_ns"] for r in calls}
            beyond = [(r["cpu_ns_per_code"] - by_run[r["run"]]) / 1e3 for r in lib if r["run"] in by_run]
            if beyond:
                w("\nHost CPU per code beyond the record's calls (same run): {} µs.".format(
                    med_spread(beyond, fmt="{:.1f}")))
        w("")

    # ------------------------------------------------------------ idle
    idle = [r for r in rows if r["kind"] == "idle"]
    for wake in ("poll", "event"):
        native = [r for r in idle if r["platform"] == "linux" and r.get("wake", "poll") == wake]
        if native:
            w("## Idle drivers, native{}\n".format(", Wake=Event" if wake == "event" else ""))
            head("measure", "runs", "value")
            w("| process CPU, no driver open (% of one core) | {} | {} |".format(
                len(native), med_spread([r["cpu_none"] for r in native], 100)))
            w("| CPU per quiet driver, one open (% of one core) | {} | {} |".format(
                len(native), med_spread([r["cpu_one"] - r["cpu_none"] for r in native], 100)))
            w("| CPU per quiet driver, ten open (% of one core) | {} | {} |".format(
                len(native), med_spread([r["cpu_per_driver"] for r in native], 100)))
            woken = [r for r in native if "wakeups_one" in r]
            if woken:
                w("| wake-ups per second of a quiet driver, one open | {} | {} |".format(
                    len(woken), med_spread([r["wakeups_one"] for r in woken], fmt="{:.2f}")))
                w("| wake-ups per second of a quiet driver, ten open | {} | {} |".format(
                    len(woken), med_spread([r["wakeups_per_driver"] for r in woken], fmt="{:.2f}")))
            lost = [r for r in native if "cpu_lost" in r]
            if lost:
                w("| CPU of a driver whose scanner is unplugged (% of one core) | {} | {} |".format(
                    len(lost), med_spread([r["cpu_lost"] - r["cpu_none"] for r in lost], 100)))
            beside = [r for r in native if r.get("cpu_reference", 0) > 0]
            if beside:
                w("| CPU of the reference poller, alone (% of one core) | {} | {} |".format(
                    len(beside), med_spread([r["cpu_reference"] for r in beside], 100)))
                w("| the lone driver over the reference poller, per run (times) | {} | {} |".format(
                    len(beside), med_spread([(r["cpu_one"] - r["cpu_none"]) / r["cpu_reference"] for r in beside],
                                            fmt="{:.2f}")))
            w("| resident set per added driver, ten added (KiB) | {} | {} |".format(
                len(native), med_spread([r["rss_per_driver_kib"] for r in native], fmt="{:.1f}")))
            added = [x for r in native for x in r["rss_added_kib"]]
            w("| resident set added by single drivers, lowest–highest (KiB) | {} | {}–{} |".format(
                len(native), min(added), max(added)))
            w("")
    wine = [r for r in idle if r["platform"] == "wine"]
    if wine:
        keys = [k for k in ("none", "reference", "one", "event") if all("cpu_" + k in r for r in wine)]
        w("## Idle driver under Wine (% of one core)\n")
        w("Median over {} runs, spread in brackets. The host process counts all its threads, those Wine "
          "started and ended meanwhile too.\n".format(len(wine)))
        head("measure", *({"none": "no driver", "reference": "the reference reader",
                           "one": "one driver", "event": "one driver, Wake=Event"}[k] for k in keys))
        for name, prefix in (("host process, by GetProcessTimes", "cpu_"),
                             ("host process + wineserver, from their CPU-time clocks", "proc_cpu_")):
            if all(prefix + k in r for r in wine for k in keys):
                w("| {} | {} |".format(name, " | ".join(med_spread([r[prefix + k] for r in wine], 100)
                                                      for k in keys)))
        paired = [r for r in wine if all("proc_cpu_" + k in r for k in ("none", "reference", "one"))
                  and r["proc_cpu_reference"] > r["proc_cpu_none"]]
        if paired:
            w("\nThe polling driver over the reference reader, host process and wineserver, each less the "
              "same with neither, per run: {} times.".format(med_spread(
                  [(r["proc_cpu_one"] - r["proc_cpu_none"]) / (r["proc_cpu_reference"] - r["proc_cpu_none"])
                   for r in paired], fmt="{:.2f}")))
        w("")

    # ------------------------------------------------------------ micro
    micro_path = os.path.join(d, micro_name)
    if os.path.exists(micro_path):
        micro = json.load(open(micro_path))
        w("## Micro-benchmarks (Google Benchmark, 5 repetitions)\n")
        head("benchmark", "median", "stddev", "per byte (median)")
        for b in micro["benchmarks"]:
            if b.get("run_type") != "aggregate" or b.get("aggregate_name") != "median":
                continue
            name = b["run_name"]
            dev = next((x for x in micro["benchmarks"] if x.get("run_name") == name
                        and x.get("aggregate_name") == "stddev"), None)
            unit = b.get("time_unit", "ns")
            # Per byte: the wall time of one 4096-byte pass over the ring (the
            # counter Google Benchmark prints is the CPU time's).
            scale = {"ns": 1, "us": 1e3, "ms": 1e6}[unit]
            per = "{:.1f} ns".format(b["real_time"] * scale / 4096) if "per_byte" in b else "—"
            w("| {} | {:.0f} {} | {:.0f} {} | {} |".format(name, b["real_time"], unit,
                                                            dev["real_time"] if dev else float("nan"), unit, per))
        w("")

    logs = [r for r in rows if r["kind"] == "log"]
    if logs:
        w("## One log record under Wine, with its open, append and close (µs)\n")
        head("runs", "p50", "p99")
        w("| {} | {} | {} |".format(len(logs), med_spread([r["p50_ns"] for r in logs], 1e-3, "{:.1f}"),
                                    med_spread([r["p99_ns"] for r in logs], 1e-3, "{:.1f}")))
        w("")

    return out, series


def plot(series, path):
    if series:
        # Only a run with latency figures needs it (tools/bench.sh --idle has none).
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        labels = [k for k in series if series[k]]
        fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5), gridspec_kw={"width_ratios": [3, 2]})
        data = [series[k] for k in labels]
        box = left.boxplot(data, whis=(1, 99), showfliers=True, patch_artist=True,
                           flierprops={"markersize": 2, "alpha": 0.5})
        colours = ["#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#d62728"]
        for patch, colour in zip(box["boxes"], colours * 2):
            patch.set_facecolor(colour)
            patch.set_alpha(0.45)
        left.set_yscale("log")
        left.set_ylabel("latency (ms, log scale)")
        left.set_xticks(range(1, len(labels) + 1))
        left.set_xticklabels([label.replace(" (", "\n(").replace(" ", "\n", 1) for label in labels], fontsize=8)
        left.axhline(11, color="red", linestyle="--", linewidth=1)
        left.text(0.55, 11 * 1.1, "goal: p99 ≤ 11 ms", color="red", fontsize=8)
        left.axhline(0.1, color="purple", linestyle=":", linewidth=1)
        left.text(0.55, 0.1 * 1.1, "goal: share p99 ≤ 100 µs", color="purple", fontsize=8)
        left.set_title("Latency per code: boxes p25–p75, whiskers p1–p99, dots beyond", fontsize=10)
        left.grid(axis="y", which="both", alpha=0.3)
        for label, colour in zip(labels, colours * 2):
            v = sorted(series[label])
            right.plot(v, [(i + 1) / len(v) for i in range(len(v))], label=label, color=colour)
        right.set_xscale("log")
        right.set_xlabel("latency (ms, log scale)")
        right.set_ylabel("share of codes")
        right.set_title("Cumulative distribution, all runs pooled", fontsize=10)
        right.grid(which="both", alpha=0.3)
        right.legend(fontsize=7, loc="lower right")
        fig.tight_layout()
        fig.savefig(path, dpi=110)


def write(path, lines):
    open(path, "w").write("\n".join(lines) + "\n")

# ---------------------------------------------------------------- side by side
# Which way a figure is better; a count (codes lost) is shown only when not nil.
LOWER, HIGHER, COUNT = "lower", "higher", "count"


def micro_runs(path):
    """Google Benchmark's repetitions, per benchmark: the wall time of each, in ns."""
    runs = {}
    if os.path.exists(path):
        for b in json.load(open(path))["benchmarks"]:
            if b.get("run_type") == "iteration":
                scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")]
                runs.setdefault(b["run_name"], []).append(b["real_time"] * scale)
    return runs


def figures(rows, micro):
    """Every figure of one side, as (section, name, values over runs, better, format)."""
    found = []

    def add(section, name, values, better=LOWER, fmt="{:.3f}"):
        if values:
            found.append((section, name, values, better, fmt))

    by = lambda kind: [r for r in rows if r["kind"] == kind]  # noqa: E731
    section = "Latency, CR written to code handed over (ms)"
    for platform in ("linux", "wine"):
        for reader in ("library", "event", "read", "pyserial"):
            per = [r["readers"][reader] for r in by("latency") if r["platform"] == platform and reader in r["readers"]]
            for p, what in ((50, "p50"), (99, "p99"), (100, "max")):
                add(section, "{} {} {}".format(platform, reader, what), [pct(x["ns"], p) / 1e6 for x in per])
            add(section, "{} {} codes lost".format(platform, reader), [x["lost"] for x in per], COUNT, "{:.0f}")

    section = "The library's own share (µs)"
    for key, name in (("share_ns", "DataReceived → callback"), ("cycle_ns", "CR written → DataReceived"),
                      ("total_ns", "CR written → callback"), ("wake_ns", "a bare Event wake-up"),
                      ("log_ns", "one log record, spaced like the codes")):
        have = [r for r in by("share") if key in r]
        for p, what in ((50, "p50"), (99, "p99")):
            add(section, "{} {}".format(name, what), [pct(r[key], p) / 1e3 for r in have], fmt="{:.1f}")

    section = "belvor-bridge, CodeProc called to a client's receipt (µs)"
    for platform, case in dict.fromkeys((r["platform"], r["case"]) for r in by("bridge")):
        rs = [r for r in by("bridge") if (r["platform"], r["case"]) == (platform, case)]
        for p, what in ((50, "p50"), (99, "p99"), (100, "max")):
            add(section, "{} {} {}".format(platform, case, what), [pct(r["ns"], p) / 1e3 for r in rs], fmt="{:.0f}")

    section = "Throughput (KB/s, CPU in % of one core, CPU per code in µs)"
    thr = by("throughput")
    for k in dict.fromkeys((r["platform"], r["reader"], r["ports"]) for r in thr):
        rs = [r for r in thr if (r["platform"], r["reader"], r["ports"]) == k]
        name = "{} {}, {} port{}".format(k[0], k[1], k[2], "s" if k[2] > 1 else "")
        add(section, name + ", all ports", [r["bytes_per_s"] / 1e3 for r in rs], HIGHER, "{:.0f}")
        if k[2] > 1:
            add(section, name + ", slowest port", [min(r["port_bytes_per_s"]) / 1e3 for r in rs
                                                   if "port_bytes_per_s" in r], HIGHER, "{:.0f}")
        add(section, name + ", CPU", [100 * r["cpu_share"] for r in rs if "cpu_share" in r], fmt="{:.0f}")
        add(section, name + ", host CPU per code", [r["cpu_ns_per_code"] / 1e3 for r in rs
                                                    if "cpu_ns_per_code" in r], fmt="{:.1f}")
        add(section, name + ", wineserver CPU per code", [r["server_cpu_ns_per_code"] / 1e3 for r in rs
                                                          if "server_cpu_ns_per_code" in r], fmt="{:.1f}")
        add(section, name + ", codes lost or out of order", [r["lost"] + r["out_of_order"] for r in rs],
            COUNT, "{:.0f}")
    calls = by("record_calls")
    add(section, "wine, the record's calls alone, p50", [r["p50_ns"] / 1e3 for r in calls], fmt="{:.1f}")
    add(section, "wine, the record's calls alone, host CPU", [r["cpu_ns"] / 1e3 for r in calls], fmt="{:.1f}")

    for wake in ("poll", "event"):
        section = "Idle drivers, native, Wake={} (CPU in % of one core)".format(wake.capitalize())
        native = [r for r in by("idle") if r["platform"] == "linux" and r.get("wake", "poll") == wake]
        for name, value, fmt in (
                ("process CPU, no driver open", lambda r: 100 * r["cpu_none"], "{:.3f}"),
                ("CPU per quiet driver, one open", lambda r: 100 * (r["cpu_one"] - r["cpu_none"]), "{:.3f}"),
                ("CPU per quiet driver, ten open", lambda r: 100 * r["cpu_per_driver"], "{:.3f}"),
                ("wake-ups per second of a quiet driver, one open", lambda r: r["wakeups_one"], "{:.2f}"),
                ("wake-ups per second of a quiet driver, ten open", lambda r: r["wakeups_per_driver"], "{:.2f}"),
                ("CPU of a driver whose scanner is unplugged", lambda r: 100 * (r["cpu_lost"] - r["cpu_none"]),
                 "{:.3f}"),
                ("CPU of the reference poller", lambda r: 100 * r["cpu_reference"], "{:.3f}"),
                ("resident set per added driver (KiB)", lambda r: r["rss_per_driver_kib"], "{:.1f}")):
            values = []
            for r in native:
                try:
                    values.append(value(r))
                except KeyError:  # a figure an older program does not give
                    pass
            add(section, name, values, fmt=fmt)

    section = "Idle driver under Wine (% of one core)"
    for prefix, how in (("proc_cpu_", "host process + wineserver, /proc"), ("cpu_", "host, GetProcessTimes")):
        for k, what in (("none", "no driver"), ("reference", "the reference reader"), ("one", "one driver"),
                        ("event", "one driver, Wake=Event")):
            add(section, "{}, {}".format(what, how), [100 * r[prefix + k] for r in by("idle")
                                                    if r["platform"] == "wine" and prefix + k in r])

    for name, values in micro.items():
        add("Micro-benchmarks (ns per iteration)", name, values, fmt="{:.0f}")
    for key, what in (("p50_ns", "p50"), ("p99_ns", "p99")):
        add("One log record under Wine (µs)", what, [r[key] / 1e3 for r in by("log")], fmt="{:.1f}")
    return found


def verdict(new, old, better, fmt):
    """Where the new side's median lies against the old side's spread, as far as the figures show."""
    shown = lambda x: float(fmt.format(x))  # noqa: E731
    m = shown(statistics.median(new))
    if shown(min(old)) <= m <= shown(max(old)):
        return "within"
    return "better" if (m > max(old)) == (better == HIGHER) else "**worse**"


def compare(d, rows):
    micro = {"new": "micro.json", "old": "micro-vs.json"}
    found = {side: figures([r for r in rows if r.get("side") == side], micro_runs(os.path.join(d, name)))
             for side, name in micro.items()}
    table = {}
    for side, figs in found.items():
        for section, name, values, better, fmt in figs:
            table.setdefault((section, name), {"better": better, "fmt": fmt})[side] = values
    out = ["## Machine\n", "```", open(os.path.join(d, "machine.txt")).read().strip(), "```\n",
           "## The new side beside the old\n",
           "Each side: median over runs, spread over runs (lowest–highest) in brackets. new/old: the "
           "ratio of the medians. The last column says where the new median lies against the old side's "
           "spread: within it, or outside it on the better or the **worse** side. The sides took turns "
           "run by run; report-new.md and report-old.md hold each side's full tables.\n"]
    section = None
    for (sec, name), f in table.items():
        new, old = f.get("new", []), f.get("old", [])
        if f["better"] == COUNT and not any(new + old):
            continue
        if sec != section:
            out += ([""] if section else []) + ["### " + sec + "\n", "| figure | new | old | new/old | |",
                                                "|---|---|---|---|---|"]
            section = sec
        # Taken from the medians as shown, so that noise below the last digit reads as 1.00.
        shown = [float(f["fmt"].format(statistics.median(v))) if v else 0 for v in (new, old)]
        ratio = "{:.2f}".format(shown[0] / shown[1]) if shown[1] > 0 else "n/a"
        out.append("| {} | {} | {} | {} | {} |".format(name, med_spread(new, fmt=f["fmt"]),
                                                      med_spread(old, fmt=f["fmt"]), ratio,
                                                      verdict(new, old, f["better"], f["fmt"]) if new and old else ""))
    write(os.path.join(d, "report.md"), out)
    print("\n".join(out))
    for side, name in micro.items():
        lines, series = summary(d, [r for r in rows if r.get("side") == side], name)
        write(os.path.join(d, "report-{}.md".format(side)), lines)
        if side == "new":
            plot(series, os.path.join(d, "latency.png"))


def main():
    d = sys.argv[1]
    rows = [json.loads(line) for line in open(os.path.join(d, "results.jsonl")) if line.strip()]
    if any("side" in r for r in rows):
        return compare(d, rows)
    out, series = summary(d, rows)
    write(os.path.join(d, "report.md"), out)
    print("\n".join(out))
    plot(series, os.path.join(d, "latency.png"))


if __name__ == "__main__":
    main()
