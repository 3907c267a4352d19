"""Summaries of repeated measurements and the results table written to standard output and docs/PERFORMANCE.md."""

import statistics

BEGIN_MARK = "<!-- bench/run results: begin (generated, do not edit by hand) -->"
END_MARK = "<!-- bench/run results: end -->"


class Row:
    """One line of the table: a measured figure, optionally a baseline measured in the same run, and a goal.

    goal_kind says how the goal reads: "ratio_max" (median / baseline median at most goal), "ratio_min" (at least
    goal), "max" (every sample at most goal), "within" (every sample inside the (low, high) pair in goal), or None.
    """

    def __init__(self, key, what, unit, samples, baseline=None, baseline_name="", goal_kind=None, goal=None,
                 goal_text="", note=""):
        self.key = key
        self.what = what
        self.unit = unit
        self.samples = [s for s in samples if s is not None]
        self.baseline = [s for s in (baseline or []) if s is not None]
        self.baseline_name = baseline_name
        self.goal_kind = goal_kind
        self.goal = goal
        self.goal_text = goal_text
        self.note = note

    @property
    def median(self):
        return statistics.median(self.samples) if self.samples else None

    @property
    def ratio(self):
        if not self.samples or not self.baseline:
            return None
        base = statistics.median(self.baseline)
        return self.median / base if base else None

    def verdict(self):
        if self.goal_kind is None:
            return "info"
        if not self.samples:
            return self.note or "not measured"
        if self.goal_kind in ("ratio_max", "ratio_min"):
            ratio = self.ratio
            if ratio is None:
                return "no baseline"
            met = ratio <= self.goal if self.goal_kind == "ratio_max" else ratio >= self.goal
        elif self.goal_kind == "max":
            met = max(self.samples) <= self.goal
        elif self.goal_kind == "within":
            low, high = self.goal
            met = all(low <= s <= high for s in self.samples)
        else:
            raise ValueError(self.goal_kind)
        return "met" if met else "MISSED"


def fit(points):
    """Least-squares slope and intercept of (x, y) points."""
    n = len(points)
    mean_x = sum(x for x, _ in points) / n
    mean_y = sum(y for _, y in points) / n
    spread = sum((x - mean_x) ** 2 for x, _ in points)
    slope = sum((x - mean_x) * (y - mean_y) for x, y in points) / spread if spread else 0.0
    return slope, mean_y - slope * mean_x


def lows(points, block):
    """The lowest y of each run of `block` consecutive x, at that run's last x: for memory read at random moments of a
    process's cycle of allocation and garbage collection, what it holds after its collections."""
    groups = {}
    for x, y in points:
        key = (x - 1) // block
        last_x, low = groups.get(key, (x, y))
        groups[key] = (max(last_x, x), min(low, y))
    return [groups[k] for k in sorted(groups)]


def fmt(value):
    if value is None:
        return "–"
    if isinstance(value, float):
        digits = 3 if abs(value) < 10 else 1 if abs(value) < 1000 else 0
        text = f"{value:.{digits}f}"
    else:
        text = str(value)
    return text


def table(rows):
    header = ["#", "What", "Unit", "n", "Median", "Min", "Max", "Baseline (median)", "Ratio", "Goal", "Verdict"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for row in rows:
        base = f"{row.baseline_name}: {fmt(statistics.median(row.baseline))}" if row.baseline else "–"
        cells = [row.key, row.what, row.unit, str(len(row.samples)), fmt(row.median),
                 fmt(min(row.samples) if row.samples else None), fmt(max(row.samples) if row.samples else None),
                 base, fmt(row.ratio), row.goal_text or "–", row.verdict()]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def results_block(rows, command, machine, notes):
    parts = [BEGIN_MARK, "", f"Reproduce with: `{command}`", "", machine, "", table(rows)]
    if notes:
        parts += ["", "Notes from this run:", ""] + [f"- {n}" for n in notes]
    parts += ["", END_MARK]
    return "\n".join(parts)


def merge_into(document, block):
    """Replaces the generated block of document, keeping the hand-written text around it."""
    if BEGIN_MARK in document and END_MARK in document:
        head = document[:document.index(BEGIN_MARK)]
        tail = document[document.index(END_MARK) + len(END_MARK):]
        return head + block + tail
    return document.rstrip("\n") + ("\n\n" if document.strip() else "") + block + "\n"
