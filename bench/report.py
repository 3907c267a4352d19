"""Summaries of repeated measurements, the results table written to standard output and docs/PERFORMANCE.md, and the
summary at the top of that page, which is made from the results.

The results block holds one part per run ("Reproduce with:", the machine, "Run on <date> <time>", a table and notes).
A run replaces the rows of the benchmarks it measured and leaves the others with the run they came from. The summary
lists every row with a goal, from the run it belongs to, with that run's date.

    python3 bench/report.py --update docs/PERFORMANCE.md   # makes the summary again from the results
    python3 bench/report.py --check docs/PERFORMANCE.md    # what CTest runs (docs_performance)

The check fails when the summary is not the one the results make, or when the text cites a figure as "B<n>: <number>"
that is not in a row of B<n> in the results. The text cites a current figure only that way; a figure of an earlier
run is given with its date and without the colon.
"""

import re
import statistics
import sys

BEGIN_MARK = "<!-- bench/run results: begin (generated, do not edit by hand) -->"
END_MARK = "<!-- bench/run results: end -->"
SUMMARY_BEGIN = "<!-- summary: begin (made from the results below by bench/report.py, do not edit by hand) -->"
SUMMARY_END = "<!-- summary: end -->"
RUN_START = "Reproduce with: "
HEADER = ["#", "What", "Unit", "n", "Median", "Min", "Max", "Baseline (median)", "Ratio", "Goal", "Verdict"]


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
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    for row in rows:
        base = f"{row.baseline_name}: {fmt(statistics.median(row.baseline))}" if row.baseline else "–"
        cells = [row.key, row.what, row.unit, str(len(row.samples)), fmt(row.median),
                 fmt(min(row.samples) if row.samples else None), fmt(max(row.samples) if row.samples else None),
                 base, fmt(row.ratio), row.goal_text or "–", row.verdict()]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def run_text(rows, command, machine, notes):
    """One run's part of the results block."""
    parts = [f"{RUN_START}`{command}`", "", machine, "", table(rows)]
    if notes:
        parts += ["", "Notes from this run:", ""] + [f"- {n}" for n in notes]
    return "\n".join(parts)


def results_block(rows, command, machine, notes):
    return "\n".join([BEGIN_MARK, "", run_text(rows, command, machine, notes), "", END_MARK])


def split_runs(document):
    """The runs of the document's results block, each as its list of lines, blank lines at either end left out."""
    if BEGIN_MARK not in document or END_MARK not in document:
        return []
    body = document[document.index(BEGIN_MARK) + len(BEGIN_MARK):document.index(END_MARK)]
    runs = []
    for line in body.split("\n"):
        if line.startswith(RUN_START) or not runs:
            runs.append([])
        runs[-1].append(line)
    runs = [trim(run) for run in runs]
    return [run for run in runs if run]


def trim(lines):
    while lines and not lines[0].strip():
        lines = lines[1:]
    while lines and not lines[-1].strip():
        lines = lines[:-1]
    return lines


def row_key(line):
    """The benchmark a table row or a note of a run belongs to ("B5"), or None."""
    match = re.match(r"^(?:\| |- )(B\d+)\b", line)
    return match.group(1) if match else None


def without_keys(run, keys):
    """The run without its rows and notes of these benchmarks, or None when no row is left."""
    kept = [line for line in run if row_key(line) not in keys]
    if not any(line.startswith("| B") for line in kept):
        return None
    if not any(line.startswith("- ") for line in kept):
        kept = [line for line in kept if line != "Notes from this run:"]
    collapsed = []
    for line in kept:
        if line.strip() or (collapsed and collapsed[-1].strip()):
            collapsed.append(line)
    return trim(collapsed)


def merge_into(document, block, keys=None):
    """Puts the run of block into the document's results block, keeping the hand-written text around it.

    With keys (the benchmarks the run measured), the earlier runs keep their rows of other benchmarks; without, the
    run replaces the whole block. The summary, where the document has one, is made again."""
    new_runs = split_runs(block)
    if BEGIN_MARK in document and END_MARK in document:
        old_runs = split_runs(document) if keys is not None else []
        kept = [run for run in (without_keys(run, set(keys)) for run in old_runs) if run]
        body = "\n\n".join("\n".join(run) for run in kept + new_runs)
        head = document[:document.index(BEGIN_MARK)]
        tail = document[document.index(END_MARK) + len(END_MARK):]
        merged = head + "\n".join([BEGIN_MARK, "", body, "", END_MARK]) + tail
    else:
        merged = document.rstrip("\n") + ("\n\n" if document.strip() else "") + block + "\n"
    return with_summary(merged)


def cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split("|")]


def results(document):
    """Every row of the results block as a dict of the header's names, with "Run", the date and time of its run."""
    rows = []
    for run in split_runs(document):
        date = next((m.group(1) for m in (re.match(r"^Run on (\d{4}-\d{2}-\d{2}(?: \d{1,2}:\d{2})?)", line)
                                           for line in run) if m), "undated")
        header = None
        for line in run:
            if not line.startswith("|") or line.startswith("|---"):
                continue
            if header is None:
                header = cells(line)
                continue
            row = dict(zip(header, cells(line)))
            row["Run"] = date
            rows.append(row)
    return rows


def summary_table(rows):
    """The summary: every row with a goal, by benchmark, with its figure, its goal, the verdict and the run's date."""
    lines = ["| # | What | Figure (median) | Against | Goal | Verdict | Run |", "|" + "---|" * 7]
    goal_rows = [r for r in rows if r.get("Verdict", "info") != "info"]
    goal_rows.sort(key=lambda r: int(r["#"][1:]) if r["#"][1:].isdigit() else 0)
    for row in goal_rows:
        unit = row.get("Unit", "")
        figure = row.get("Median", "–") + ("" if unit in ("count", "") else f" {unit}")
        against = "–"
        if row.get("Ratio", "–") != "–":
            against = f"{row['Ratio']} × {row.get('Baseline (median)', '').split(':')[0]}"
        lines.append(f"| {row['#']} | {row.get('What', '')} | {figure} | {against} | {row.get('Goal', '–')} | "
                     f"{row['Verdict']} | {row['Run']} |")
    return "\n".join(lines)


def summary_block(document):
    rows = results(document)
    dates = sorted({row["Run"][:10] for row in rows})
    span = dates[0] if len(dates) == 1 else f"{dates[0]} to {dates[-1]}" if dates else "no run"
    return "\n".join([SUMMARY_BEGIN, "", f"Every goal of the results below, from the latest run of its benchmark "
                      f"(runs of {span}, UTC):", "", summary_table(rows), "", SUMMARY_END])


def with_summary(document):
    """The document with its summary made again from its results (unchanged when it has no summary markers)."""
    if SUMMARY_BEGIN not in document or SUMMARY_END not in document:
        return document
    head = document[:document.index(SUMMARY_BEGIN)]
    tail = document[document.index(SUMMARY_END) + len(SUMMARY_END):]
    return head + summary_block(document) + tail


def figure_citations(document):
    """(line number, benchmark, number) of every "B<n>: <number>" in the text outside the two blocks and the tables."""
    found = []
    generated = False
    for number, line in enumerate(document.split("\n"), 1):
        if line.startswith(BEGIN_MARK) or line.startswith(SUMMARY_BEGIN):
            generated = True
        elif line.startswith(END_MARK) or line.startswith(SUMMARY_END):
            generated = False
        elif not generated and not line.startswith("|"):
            for match in re.finditer(r"\b(B\d+): (\d[\d,]*(?:\.\d+)?)", line):
                found.append((number, match.group(1), match.group(2)))
    return found


def check(document):
    """What is wrong with the page's figures, one text per fault; empty when the summary and the text agree."""
    faults = []
    if SUMMARY_BEGIN not in document or SUMMARY_END not in document:
        faults.append("no summary block")
    elif with_summary(document) != document:
        faults.append("the summary is not the one the results make; run: python3 bench/report.py --update <page>")
    figures = {}
    for row in results(document):
        for column in ("Median", "Min", "Max", "Ratio"):
            figures.setdefault(row["#"], set()).add(row.get(column, "").replace(",", ""))
    for line, key, number in figure_citations(document):
        if number.replace(",", "") not in figures.get(key, set()):
            faults.append(f"line {line}: \"{key}: {number}\" is no figure of {key} in the results (its medians, "
                          "minima, maxima and ratios); cite an earlier run's figure with its date and without the colon")
    return faults


def main(argv):
    if len(argv) != 3 or argv[1] not in ("--check", "--update"):
        sys.exit("usage: report.py --check|--update <document>")
    with open(argv[2], encoding="utf-8") as f:
        document = f.read()
    if argv[1] == "--update":
        with open(argv[2], "w", encoding="utf-8") as f:
            f.write(with_summary(document))
        return
    faults = check(document)
    for fault in faults:
        print(f"{argv[2]}: {fault}")
    if faults:
        sys.exit(1)
    print(f"{argv[2]}: the summary and every cited figure agree with the results")


if __name__ == "__main__":
    main(sys.argv)
