#!/usr/bin/python3
"""Summarises the runs of bench/e2e.sh: prints a Markdown table of the medians
(with min-max spread) of each side and the ratios shardex/forwarder of the
medians, and draws the ratios into a PNG. When the runs have a third side,
shardex-before (a second shardex build measured in the same rounds), its
ratios to the forwarder are shown and drawn beside shardex's.

    bench/e2e_report.py RUNS.tsv PLOT.png CAPTION

RUNS.tsv has a header line and one line per run with the columns workload,
kind, size, shards, prefetch, bodies, messages, side, run, seconds, msgs_per_s,
cpu_us_per_msg, broker_cpu_us_per_msg, peak_rss_kib, properties (kept or lost
where the workload's messages carry properties, else -). CAPTION names the
machine and goes under the plot.
"""
import csv
import statistics
import sys

import matplotlib

matplotlib.use("Agg")  # no display: write the file only
import matplotlib.pyplot as plt  # noqa: E402

SIDES = ("shardex", "forwarder", "shardex-before")
# the rows of a workload in the table, in this order
TABLE_SIDES = ("shardex", "shardex-before", "forwarder")
# side compared with the forwarder -> its bar colours (throughput, CPU) in the plot
COMPARED = {"shardex": ("#3a7ebf", "#d9823b"), "shardex-before": ("#9cc0e3", "#f0c197")}
# column, heading, scale of the printed value, decimals
METRICS = (
    ("msgs_per_s", "msgs/s", 1.0, 0),
    ("cpu_us_per_msg", "CPU µs/msg", 1.0, 2),
    ("broker_cpu_us_per_msg", "broker CPU µs/msg", 1.0, 2),
    ("peak_rss_kib", "peak RSS MiB", 1.0 / 1024, 1),
)


def read_runs(path):
    workloads = {}  # name -> {"about": row, side: [rows] for every side}
    with open(path, newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            w = workloads.setdefault(row["workload"], dict({"about": row}, **{side: [] for side in SIDES}))
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
    traced = "; persistent, message_id, timestamp, 4 headers" if about.get("properties", "-") != "-" else ""
    return (f"{size_text} {kind}, {about['shards']} shards, prefetch {about['prefetch']}{traced}; "
            f"{about['bodies']} bodies → {about['messages']} msgs")


def values(rows, column):
    return [float(r[column]) for r in rows]


def spread(numbers, scale, decimals):
    fmt = f"{{:,.{decimals}f}}"
    med = statistics.median(numbers) * scale
    lo, hi = min(numbers) * scale, max(numbers) * scale
    return f"{fmt.format(med)} ({fmt.format(lo)}–{fmt.format(hi)})"


def ratio(w, column, side="shardex"):
    return statistics.median(values(w[side], column)) / statistics.median(values(w["forwarder"], column))


def compared(w):
    """The sides of the workload with runs to compare with the forwarder's."""
    return [side for side in COMPARED if w[side] and w["forwarder"]]


def side_label(rows, side):
    lost = sum(1 for r in rows if r.get("properties") == "lost")
    return f"{side} (properties lost in {lost} of {len(rows)})" if lost else side


def table(workloads):
    lines = ["| workload | side | runs | " + " | ".join(m[1] for m in METRICS) + " |",
             "|---|---|---|" + "---|" * len(METRICS)]
    for name, w in workloads.items():
        first = f"**{name}**<br>{describe(w['about'])}"
        for side in TABLE_SIDES:
            if not w[side]:
                continue
            cells = [spread(values(w[side], m[0]), m[2], m[3]) for m in METRICS]
            lines.append(f"| {first} | {side_label(w[side], side)} | {len(w[side])} | " + " | ".join(cells) + " |")
            first = ""
        for side in compared(w):
            cells = [f"**{ratio(w, m[0], side):.2f}**" for m in METRICS]
            lines.append(f"| | *{side} / forwarder* | | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def plot(workloads, path, caption):
    names = [n for n, w in workloads.items() if w["shardex"] and w["forwarder"]]
    if not names:
        sys.exit("e2e_report: no workload has runs of both sides, nothing to plot")
    # shardex-before's bars only where every plotted workload has its runs
    sides = [side for side in COMPARED if all(side in compared(workloads[n]) for n in names)]
    # per side: (side, throughput ratios, CPU ratios); two bars per side and workload
    series = [(side, [ratio(workloads[n], "msgs_per_s", side) for n in names],
               [ratio(workloads[n], "cpu_us_per_msg", side) for n in names]) for side in sides]
    x = range(len(names))
    width = 0.76 / (2 * len(sides))
    fig, ax = plt.subplots(figsize=(max(7.0, 1.6 * len(sides) * len(names) + 2), 5.2))
    bars = []
    tallest = 1.0
    for k, (side, throughput, cpu) in enumerate(series):
        prefix = f"{side}: " if len(sides) > 1 else ""
        colours = COMPARED[side]
        for j, (ratios, label) in enumerate(((throughput, "throughput (msgs/s): higher is better"),
                                             (cpu, "own CPU per message: lower is better"))):
            offset = (2 * k + j + 0.5) * width - 0.38  # each side's pair side by side, shardex's first
            bars.append(ax.bar([i + offset for i in x], ratios, width, label=prefix + label, color=colours[j]))
            tallest = max([tallest] + ratios)
    for b in bars:
        ax.bar_label(b, fmt="%.2f", padding=2, fontsize=8)
    ax.axhline(1.0, color="black", linewidth=1, linestyle="--")
    ax.set_xticks(list(x))
    ax.set_xticklabels(names)
    ax.set_ylabel("shardex / C forwarder (median of runs)")
    ax.set_ylim(0, tallest * 1.18)
    ax.set_title("shardex against a minimal C forwarder on rabbitmq-c, end to end")
    ax.legend(loc="upper left", fontsize=8, ncol=len(sides))  # a column per side
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
