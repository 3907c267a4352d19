"""Draws B11's memory readings: `plot.py <readings.json> <out.png> <warm-up refreshes> <block>`, with the lowest
reading of each block of refreshes after the warm-up and the least-squares line through those, as harness.py counts
the growth.

Needs matplotlib (Debian's python3-matplotlib), which the benchmarks themselves do not: harness.py runs this with the
first Python that has it.
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from report import fit, lows  # noqa: E402


def main():
    readings_path, out, warmup, block = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    with open(readings_path) as f:
        readings = json.load(f)
    x = [r["refreshes"] for r in readings]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5.5), dpi=100)
    for axis, key, label in ((top, "total_kib", "total PSS"), (bottom, "anon_kib", "anonymous PSS")):
        y = [r[key] / 1024 for r in readings]
        axis.plot(x, y, marker=".", markersize=3, linewidth=0.6, label=f"{label}, Pagewell and all its processes")
        low = lows([(a, b) for a, b in zip(x, y) if a > warmup], block)
        if len(low) >= 2:
            axis.plot([a for a, _ in low], [b for _, b in low], marker="o", linestyle="none", color="tab:red",
                      label=f"lowest of each {block} refreshes")
            slope, intercept = fit(low)
            axis.plot([low[0][0], low[-1][0]], [intercept + slope * low[0][0], intercept + slope * low[-1][0]],
                      linestyle="--", color="black",
                      label=f"least squares of those: {slope * 10000:+.2f} MiB per 10,000 refreshes")
        axis.set_ylabel("MiB")
        axis.grid(True, alpha=0.3)
        # Room beneath the readings for the legend, so that it hides none of the lows.
        low_y, high_y = axis.get_ylim()
        axis.set_ylim(low_y - (high_y - low_y) * 0.45, high_y)
        axis.legend(loc="lower right", fontsize=8)
    bottom.set_xlabel("refreshes, each asked for as soon as the one before had ended")
    top.set_title("Pagewell's memory over B11's refreshes of the soak page")
    fig.tight_layout()
    fig.savefig(out)


if __name__ == "__main__":
    main()
