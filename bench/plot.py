"""Draws B11's memory readings: `plot.py <readings.json> <out.png> <warm-up refreshes>`.

Needs matplotlib (Debian's python3-matplotlib), which the benchmarks themselves do not: harness.py runs this with the
first Python that has it.
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from report import fit  # noqa: E402


def main():
    readings_path, out, warmup = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(readings_path) as f:
        readings = json.load(f)
    x = [r["refreshes"] for r in readings]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5.5), dpi=100)
    for axis, key, label in ((top, "total_kib", "total PSS"), (bottom, "anon_kib", "anonymous PSS")):
        y = [r[key] / 1024 for r in readings]
        axis.plot(x, y, marker=".", linewidth=1, label=f"{label}, Pagewell and all its processes")
        late = [(a, b) for a, b in zip(x, y) if a >= warmup]
        if len(late) >= 2:
            slope, intercept = fit(late)
            axis.plot([late[0][0], late[-1][0]], [intercept + slope * late[0][0], intercept + slope * late[-1][0]],
                      linestyle="--", color="black",
                      label=f"least squares from refresh {warmup}: {slope * 10000:+.2f} MiB per 10,000 refreshes")
        axis.set_ylabel("MiB")
        axis.grid(True, alpha=0.3)
        axis.legend(loc="lower right", fontsize=8)
    bottom.set_xlabel("refreshes, each asked for as soon as the one before had ended")
    top.set_title("Pagewell's memory over B11's refreshes of the soak page")
    fig.tight_layout()
    fig.savefig(out)


if __name__ == "__main__":
    main()
