#!/usr/bin/python3
"""Summarises the runs of bench/e2e.sh: prints a Markdown table of the medians
(with min-max spread) of each side and the ratios shardex/forwarder of the
medians, and draws the ratios into a PNG.

    bench/e2e_report.py RUNS.tsv PLOT.png CAPTION

RUNS.tsv has a header line and one line per run with the columns workload,
kind, size, shards, prefetch, bodies, messages, side, run, seconds, msgs_per_s,
cpu_us_per_msg, broker_cpu_us_per_msg, peak_rss_kib. CAPTION names the machine
and goes under the plot.
"""
import csv
import statistics
import sys

import matplotlib

matplotlib.use("Agg")  # no display: write the file only
import matplotlib.pyplot as plt  # noqa: E402

SIDES = ("shardex", "forwarder")
# column, heading, scale of the printed value, decimals
METRICS = (
    ("msgs_per_s", "msgs/s", 1.0, 0),
    ("cpu_us_per_msg", "CPU µs/msg", 1.0, 2),
    ("broker_cpu_us_per_msg", "broker CPU µs/msg", 1.0, 2),
    ("peak_rss_kib", "peak RSS MiB", 1.0 / 1024, 1),
)


def read_runs(path):
    workloads = {}  # name -> {"about": row, "shardex": [rows], "forwarder": [rows]}
    with open(path, newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            w = workloads.setdefault(row["workload"], {"about": row, "shardex": [], "forwarder": []})
            if row["side"] not in SIDES:
                sys.exit(f"e2e_report: unknown side {row['side']!r} in {path}")
            w[row["side"]].append(row)
    if not workloads:
        sys.exit(f"e2e_report: no runs in {path}")
    return workloads


def describe(about):
    size = int(about["size"])
    size_text = f"{size // 1024} KiB" if size % 1024 == 0 else f"{size} B"
    kind = {"json": "JSON", "protobuf": "protobuf", "fanout": "JSON, modem_id -1 (fan-out)"}[about["kind"]]
    return (f"{size_text} {kind}, {about['shards']} shards, prefetch {about['prefetch']}; "
            f"{about['bodies']} bodies → {about['messages']} msgs")


def values(rows, column):
    return [float(r[column]) for r in rows]


def spread(numbers, scale, decimals):
    fmt = f"{{:,.{decimals}f}}"
    med = statistics.median(numbers) * scale
    lo, hi = min(numbers) * scale, max(numbers) * scale
    return f"{fmt.format(med)} ({fmt.format(lo)}–{fmt.format(hi)})"


def ratio(w, column):
    return statistics.median(values(w["shardex"], column)) / statistics.median(values(w["forwarder"], column))


def table(workloads):
    lines = ["| workload | side | runs | " + " | ".join(m[1] for m in METRICS) + " |",
             "|---|---|---|" + "---|" * len(METRICS)]
    for name, w in workloads.items():
        first = f"**{name}**<br>{describe(w['about'])}"
        for side in SIDES:
            if not w[side]:
                continue
            cells = [spread(values(w[side], m[0]), m[2], m[3]) for m in METRICS]
            lines.append(f"| {first} | {side} | {len(w[side])} | " + " | ".join(cells) + " |")
            first = ""
        if w["shardex"] and w["forwarder"]:
            cells = [f"**{ratio(w, m[0]):.2f}**" for m in METRICS]
            lines.append("| | *shardex / forwarder* | | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def plot(workloads, path, caption):
    names = [n for n, w in workloads.items() if w["shardex"] and w["forwarder"]]
    if not names:
        sys.exit("e2e_report: no workload has runs of both sides, nothing to plot")
    throughput = [ratio(workloads[n], "msgs_per_s") for n in names]
    cpu = [ratio(workloads[n], "cpu_us_per_msg") for n in names]
    x = range(len(names))
    width = 0.38
    fig, ax = plt.subplots(figsize=(max(7.0, 1.6 * len(names) + 2), 5.2))
    bars_t = ax.bar([i - width / 2 for i in x], throughput, width, label="throughput (msgs/s): higher is better",
                    color="#3a7ebf")
    bars_c = ax.bar([i + width / 2 for i in x], cpu, width, label="own CPU per message: lower is better",
                    color="#d9823b")
    for bars in (bars_t, bars_c):
        ax.bar_label(bars, fmt="%.2f", padding=2, fontsize=8)
    ax.axhline(1.0, color="black", linewidth=1, linestyle="--")
    ax.set_xticks(list(x))
    ax.set_xticklabels(names)
    ax.set_ylabel("shardex / C forwarder (median of runs)")
    ax.set_ylim(0, max(throughput + cpu + [1.0]) * 1.18)
    ax.set_title("shardex against a minimal C forwarder on rabbitmq-c, end to end")
    ax.legend(loc="upper left", fontsize=8)
    fig.text(0.5, 0.01, caption, ha="center", va="bottom", fontsize=8, wrap=True)
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(path, dpi=120)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: e2e_report.py RUNS.tsv PLOT.png CAPTION")
    runs, png, caption = sys.argv[1:]
    workloads = read_runs(runs)
    print(table(workloads))
    plot(workloads, png, caption)


if __name__ == "__main__":
    main()
