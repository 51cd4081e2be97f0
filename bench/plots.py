"""PNG plots of the figures written by bench_single.py and bench_batch.py with --json.

    python bench/bench_single.py --rows 100000 --no-neighbours --json docs/bench/single_100000.json
    python bench/bench_batch.py --shapes 100000x384:1000 --json docs/bench/batch.json
    python bench/plots.py docs/bench/*.json --out docs

Writes, from the files it is given:
- single_latency.png: median single-query latency against rows, ours, the peers' and
  the read limit's (one line per dims and metric);
- single_bandwidth.png: our effective bandwidth as a share of the read limit against rows;
- batch_throughput.png: batch queries/s of every peer per case, with the bare sgemm
  (the compute limit) as a line across each group.
"""

import argparse
import sys
from collections import defaultdict
from pathlib import Path

from figures import read_figures

PEER_STYLE = {  # name in the figures: (label, colour, marker)
    "zorvikdb": ("zorvikdb", "tab:blue", "o"),
    "numpy": ("NumPy", "tab:orange", "s"),
    "faiss": ("FAISS", "tab:green", "^"),
}
READ_LIMIT_STYLE = ("read limit", "grey", "")
SGEMM = "sgemm"


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("json", nargs="+", help="files written with --json")
    p.add_argument("--out", default="docs", help="directory of the PNG files (default docs)")
    p.add_argument("--note", default="", help="a line added under every title (machine, load)")
    return p.parse_args()


def titled(ax, title, note):
    ax.set_title(f"{title}\n{note}" if note else title, fontsize=10)


def single_series(runs):
    """{(dims, metric): runs sorted by rows}."""
    series = defaultdict(list)
    for run in runs:
        series[(run["dims"], run["metric"])].append(run)
    return {key: sorted(v, key=lambda r: r["rows"]) for key, v in series.items()}


def plot_single_latency(plt, runs, out, note):
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for (dims, metric), series in single_series(runs).items():
        rows = [r["rows"] for r in series]
        for name, (label, colour, marker) in PEER_STYLE.items():
            if all(name in r["median_ms"] for r in series):
                ax.plot(rows, [r["median_ms"][name] for r in series], marker=marker, color=colour,
                        label=f"{label} ({dims} dims, {metric})")
        label, colour, _ = READ_LIMIT_STYLE
        ax.plot(rows, [r["read_limit_ms"] for r in series], "--", color=colour, label=f"{label} ({dims} dims)")
    ax.set(xscale="log", yscale="log", xlabel="rows", ylabel="median latency of one query (ms)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    titled(ax, "Single-query exact search, k = 10", note)
    return save(plt, fig, out / "single_latency.png")


def plot_single_bandwidth(plt, runs, out, note):
    fig, ax = plt.subplots(figsize=(7, 4))
    for (dims, metric), series in single_series(runs).items():
        ax.plot([r["rows"] for r in series], [r["bandwidth_gbs"] / r["read_limit_gbs"] for r in series], marker="o",
                color=PEER_STYLE["zorvikdb"][1], label=f"zorvikdb ({dims} dims, {metric})")
    ax.axhline(1.0, ls="--", color=READ_LIMIT_STYLE[1], label="read limit")
    ax.set(xscale="log", xlabel="rows", ylabel="effective bandwidth / read limit", ylim=(0, None))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    titled(ax, "Single query: bytes scanned per second against a plain parallel read", note)
    return save(plt, fig, out / "single_bandwidth.png")


def plot_batch(plt, cases, out, note):
    peers = [name for name in PEER_STYLE if any(name in c["queries_per_s"] for c in cases)]
    width = 0.8 / max(len(peers), 1)
    fig, ax = plt.subplots(figsize=(max(7, 2.2 * len(cases)), 5))
    for i, case in enumerate(cases):
        for j, name in enumerate(peers):
            label, colour, _ = PEER_STYLE[name]
            if name in case["queries_per_s"]:
                ax.bar(i - 0.4 + (j + 0.5) * width, case["queries_per_s"][name], width, color=colour,
                       label=label if i == 0 else None)
        if SGEMM in case["queries_per_s"]:
            ax.hlines(case["queries_per_s"][SGEMM], i - 0.45, i + 0.45, colors="black", linestyles="--",
                      label="bare sgemm (compute limit)" if i == 0 else None)
    ax.set_xticks(range(len(cases)),
                  [f"{c['rows']:,} x {c['dims']}\n{c['metric']}, {c['queries']:,} queries" for c in cases], fontsize=8)
    ax.set_ylabel(f"queries per second (k = {cases[0]['k']}, {cases[0]['threads']} threads)")
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=len(peers) + 1)
    titled(ax, "Batch exact search against the sgemm line", note)
    return save(plt, fig, out / "batch_throughput.png")


def save(plt, fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def main():
    args = parse_args()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    figures = read_figures(args.json)
    single = [f for f in figures if f.get("bench") == "single"]
    cases = [c for f in figures if f.get("bench") == "batch" for c in f["cases"]]
    written = []
    if single:
        written += [plot_single_latency(plt, single, out, args.note), plot_single_bandwidth(plt, single, out, args.note)]
    if cases:
        written.append(plot_batch(plt, cases, out, args.note))
    for path in written:
        print(path)
    return 0 if written else 1


if __name__ == "__main__":
    sys.exit(main())
