"""Runs the benchmarks several times each, side by side with their baselines, and writes the results table.

Every measurement runs in PID, network and mount namespaces of its own (case.py), so the programs see a private
loopback with the configured host's port, the updater's kill-by-name reaches only processes of that run, and ending
the namespace ends every process the run started.
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import report  # noqa: E402
import soak  # noqa: E402
import update  # noqa: E402

MIB = 1 / 1024

ALL = ["B1", "B2", "B3", "B4", "B5", "B6", "B7", "B8", "B9", "B10", "B11", "B12"]

# Full runs and the quick mode that only proves the scripts still work (timings from it mean nothing).
PLANS = {
    "full": {"B1": 10, "B1_warmup": 1, "B2": 3, "B3": 3, "B3_settle": 10, "B4": [(1, 30), (3, 30)], "B5": 3,
             "B5_mib": 256, "B6": 3, "B6_seconds": 60, "B6_settle": 10, "B7_seconds": 1800, "B7_sample": 30,
             "B7_soak_kills": [], "B7_kill_rows": True, "B7_kill_seconds": 100, "B9_interval": 120, "B9_outage": 30,
             "B10": 3, "B10_seconds": 120, "B10_settle": 5, "B11_refreshes": 10000, "B11_sample": 25,
             "B11_block": 500, "B11_warmup": 1000, "B11_fail_every": 10, "info_runs": True},
    "quick": {"B1": 1, "B1_warmup": 0, "B2": 0, "B3": 1, "B3_settle": 1, "B4": [(1, 2)], "B5": 1, "B5_mib": 4,
              "B6": 1, "B6_seconds": 2, "B6_settle": 1, "B7_seconds": 40, "B7_sample": 10, "B7_soak_kills": [25],
              "B7_kill_rows": False, "B9_interval": 12, "B9_outage": 6, "B10": 1, "B10_seconds": 10, "B10_settle": 2,
              "B11_refreshes": 40, "B11_sample": 5, "B11_block": 10, "B11_warmup": 10, "B11_fail_every": 10, "info_runs": False},
}


def log(message):
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


class Runner:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.join(self.build, "bench-work")
        self.pagewell = os.path.join(self.build, "bin", "Pagewell")
        self.update = os.path.join(self.build, "bin", "update")
        self.baseline = os.path.join(self.build, "bench", "BaselineView")
        import case
        self.host, self.port, self.why_not = case.configured_hosts(self.build)
        self.notes = []
        self.failures = 0
        self.counter = 0

    def case(self, case, timeout):
        """Runs one measurement in fresh namespaces; returns its result, or None (with a note) when it failed."""
        self.counter += 1
        self.failures += 1  # until a result proves otherwise
        work = os.path.join(self.work, f"{self.counter:03d}-{case['kind']}-{case.get('program', '')}")
        shutil.rmtree(work, ignore_errors=True)
        case = dict(case, work=work, pagewell=self.pagewell, update=self.update, baseline=self.baseline, root=ROOT,
                    host=self.host, port=self.port)
        argv = ["unshare", "--pid", "--fork", "--mount-proc", "--net", "--kill-child", sys.executable,
                os.path.join(HERE, "case.py"), json.dumps(case)]
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            # --kill-child has taken the whole namespace down with unshare.
            self.note(f"{case['kind']}/{case.get('program', '')}: no result within {timeout} s")
            return None
        lines = done.stdout.strip().splitlines()
        try:
            result = json.loads(lines[-1])
        except (IndexError, json.JSONDecodeError):
            self.note(f"{case['kind']}/{case.get('program', '')}: case failed: {done.stderr.strip()[-400:]}")
            return None
        if "error" in result:
            self.note(f"{case['kind']}/{case.get('program', '')}: {result['error']} (logs in {work})")
            return None
        if not self.args.keep_work:
            shutil.rmtree(work, ignore_errors=True)
        self.failures -= 1
        return result

    def note(self, text):
        log(text)
        if text not in self.notes:
            self.notes.append(text)


def have(program):
    return shutil.which(program) is not None


def values(results, key, scale=1.0):
    return [r[key] * scale for r in results if r is not None]


def b1(run, plan):
    pagewell, baseline = [], []
    for i in range(plan["B1_warmup"] + plan["B1"]):
        # Interleaved, so a slow spell of the machine hits both programs alike.
        p = run.case({"kind": "startup", "program": "pagewell", "check": "reset"}, 60)
        b = run.case({"kind": "startup", "program": "baseline"}, 60)
        if i >= plan["B1_warmup"]:
            pagewell.append(p)
            baseline.append(b)
    checks = [r["version_checks"] for r in pagewell if r]
    if checks and not all(checks):
        run.note("B1: Pagewell sent no version check in some runs")
    return [report.Row("B1", "Start-up to start-page request, version check reset", "s",
                       values(pagewell, "seconds"), values(baseline, "seconds"), "BaselineView", "ratio_max", 1.05,
                       "≤ 1.05 × BaselineView"),
            report.Row("B1", "(info) start-up to Pagewell's first version-check request", "s",
                       [r["version_checks"][0] for r in pagewell if r and r["version_checks"]])]


def b2(run, plan):
    if plan["B2"] == 0:
        return [report.Row("B2", "Start-up to start-page request, version check never answered", "s", [],
                           goal_kind="max", goal=5.5, goal_text="≤ 5.5 s", note="not run in quick mode")]
    results = [run.case({"kind": "startup", "program": "pagewell", "check": "hang", "timeout": 30}, 60)
               for _ in range(plan["B2"])]
    return [report.Row("B2", "Start-up to start-page request, version check never answered", "s",
                       values(results, "seconds"), goal_kind="max", goal=5.5, goal_text="≤ 5.5 s"),
            report.Row("B2", "(info) start-up to the version-check request", "s",
                       [r["version_checks"][0] for r in results if r and r["version_checks"]]),
            report.Row("B2", "(info) version-check request to start-page request", "s",
                       [r["seconds"] - r["version_checks"][0] for r in results if r and r["version_checks"]])]


def b3(run, plan):
    pagewell, chromium, view = [], [], []
    has_chromium = have("chromium")
    if not has_chromium:
        run.note("B3: chromium is not installed (PAGEWELL_WITH_BENCH=1 scripts/install-deps); no Chromium baseline")
    for _ in range(plan["B3"]):
        case = {"kind": "memory", "settle": plan["B3_settle"]}
        pagewell.append(run.case(dict(case, program="pagewell"), 120))
        if has_chromium:
            chromium.append(run.case(dict(case, program="chromium"), 120))
        view.append(run.case(dict(case, program="baseline"), 120))
    # Once in full screen: the page across Xvfb's 1280 × 1024 screen rather than the window's 953 × 449 view.
    full = [run.case(dict(case, program="pagewell", fullscreen=True), 120)]
    mib = 1 / 1024
    rows = [report.Row("B3", "Memory: total PSS of all Pagewell processes, reference page", "MiB",
                       values(pagewell, "pss_kib", mib), values(view, "pss_kib", mib), "BaselineView", "ratio_max",
                       1.02, "≤ 1.02 × BaselineView"),
            report.Row("B3", "The same against Chromium", "MiB", values(pagewell, "pss_kib", mib),
                       values(chromium, "pss_kib", mib), "Chromium headless", "ratio_max", 0.8, "≤ 0.8 × Chromium"),
            report.Row("B3", "(info) total PSS of BaselineView, same page", "MiB", values(view, "pss_kib", mib),
                       values(chromium, "pss_kib", mib), "Chromium headless"),
            report.Row("B3", "(info) Pagewell's total PSS in full screen (--fullscreen, 1280 × 1024), same page", "MiB",
                       values(full, "pss_kib", mib), values(pagewell, "pss_kib", mib), "Pagewell in its window")]
    for name, results in (("Pagewell", pagewell), ("Chromium", chromium), ("BaselineView", view),
                          ("Pagewell in full screen", full)):
        counted = [r for r in results if r]
        if counted:
            detail = ", ".join(f"{comm} {kib / 1024:.0f}" for comm, kib in counted[-1]["detail"])
            per_run = ", ".join(f"{r['pss_kib'] / 1024:.0f} MiB in {r['processes']}" for r in counted)
            run.note(f"B3 {name}: per run {per_run} processes; PSS MiB by process in the last run: {detail}")
    return rows


def b4(run, plan):
    if not have("xdotool"):
        run.note("B4: xdotool is not installed (PAGEWELL_WITH_BENCH=1 scripts/install-deps); not run")
    rows = []
    for interval, periods in plan["B4"]:
        result = None
        if have("xdotool"):
            timeout = int((periods + 2) * (interval + 3) + 90)
            result = run.case({"kind": "cadence", "program": "pagewell", "interval": interval, "periods": periods},
                              timeout)
            if result and "incomplete" in result:
                run.note(f"B4 at {interval} s: {result['incomplete']}")
            if result:
                run.note(f"B4 at {interval} s: periods in order: {' '.join(f'{p:.3f}' for p in result['periods'])}")
            if result:
                inside = sum(interval <= p <= interval + 1 for p in result["periods"])
                run.note(f"B4 at {interval} s: {inside} of {len(result['periods'])} periods inside [{interval}, "
                         f"{interval + 1}]")
        # What the schedule promises: whole seconds on exact one-second ticks, so each period is the interval,
        # scattered only by how long the web engine takes to send each request.
        rows.append(report.Row("B4", f"Refresh period at interval {interval} s ({periods} periods, one run)", "s",
                               result["periods"] if result else [], goal_kind="within",
                               goal=(interval - 0.05, interval + 0.05), goal_text=f"each {interval} s ± 50 ms"))
    return rows


def b5(run, plan):
    import download
    missing = [p for p in ("nginx", "curl", "minisign") if not have(p)]
    signed_update = os.path.join(run.build, "tests", "signed", "update")
    key = os.path.join(run.build, "tests", "e2e-key.key")
    if not (os.path.exists(signed_update) and os.path.exists(key)):
        missing.append("the tests' signed-mode updater (build the tests)")
    results = {"update": [], "update-signed": [], "curl-durable": [], "curl": []}
    line = {"update": [], "update-signed": []}
    if missing:
        run.note(f"B5: needs {', '.join(missing)}; not run")
    else:
        releases = {False: download.prepare_release(run, plan["B5_mib"]),
                    True: download.prepare_release(run, plan["B5_mib"], key)}
        updaters = {"update": run.update, "update-signed": signed_update}
        for i in range(plan["B5"]):
            # Interleaved, and in turns, so that a slow spell of the disk or the machine, or the place in the
            # order, favours none of the four.
            order = list(results)
            for program in order[i % 4:] + order[:i % 4]:
                case = {"kind": "download", "program": program, "mib": plan["B5_mib"],
                        "release": releases[program == "update-signed"], "updater": updaters.get(program)}
                results[program].append(run.case(case, 600))
        # The same two at the speed of a gigabit line, where the hash has time to spare.
        for i in range(plan["B5"]):
            for program in list(line)[i % 2:] + list(line)[:i % 2]:
                case = {"kind": "download", "program": program, "mib": plan["B5_mib"], "rate": "119m",
                        "release": releases[program == "update-signed"], "updater": updaters[program]}
                line[program].append(run.case(case, 600))
    for program, text in (("update", "unsigned"), ("update-signed", "signed")):
        done = [r for r in results[program] if r]
        if done:
            run.note(f"B5 {text}: per run, seconds from each file's request to its file complete on the disk; from the "
                     "first request to the last file complete / to every file in place: " +
                     "; ".join(" + ".join(f"{end - begin:.3f}" for begin, end in r["transfers"]) +
                               f", {r['span']:.2f} / {r['in_place_s']:.2f}" for r in done))
    files = f"two files of {plan['B5_mib'] // 2} MiB each"
    mib = 1 / 1024
    return [report.Row("B5", f"Download throughput, a release of {files}: all its bytes over the time of its two "
                       "transfers, each from its file request to its file complete on the disk", "MiB/s",
                       values(results["update"], "mib_per_s"), values(results["curl-durable"], "mib_per_s"),
                       "curl -o, fsync, rename", "ratio_min", 0.9, "≥ 0.9 × durable curl"),
            report.Row("B5", "The same in signed mode (each file's hash and signature checked while streaming)",
                       "MiB/s",
                       values(results["update-signed"], "mib_per_s"), values(results["update"], "mib_per_s"),
                       "unsigned update", "ratio_min", 0.9, "≥ 0.9 × unsigned"),
            report.Row("B5", "(info) signed mode at 1 Gbit/s (nginx limit_rate 119m)", "MiB/s",
                       values(line["update-signed"], "mib_per_s"), values(line["update"], "mib_per_s"),
                       "unsigned update at 1 Gbit/s"),
            report.Row("B5", "(info) plain curl -o of both files, bytes left in the page cache", "MiB/s",
                       values(results["curl"], "mib_per_s")),
            report.Row("B5", "(info) unsigned, from the first file request to every file in place: the updater's "
                       "pause of 1–2 s before each file and of 2 s before the hand-over included", "s",
                       values(results["update"], "in_place_s")),
            report.Row("B5", "Peak RSS of update during that download", "MiB",
                       values(results["update"], "peak_rss_kib", mib), goal_kind="max", goal=64, goal_text="≤ 64 MiB"),
            report.Row("B5", "Peak RSS of update in signed mode", "MiB",
                       values(results["update-signed"], "peak_rss_kib", mib), goal_kind="max", goal=64,
                       goal_text="≤ 64 MiB")]


def b6(run, plan):
    case = {"kind": "idle", "settle": plan["B6_settle"], "duration": plan["B6_seconds"]}
    timeout = plan["B6_seconds"] + 120
    results = [run.case(dict(case, program="pagewell"), timeout) for _ in range(plan["B6"])]
    # One run of the bare view shows how much of the idle cost is the web engine's own.
    view = [run.case(dict(case, program="baseline"), timeout)] if plan["info_runs"] else []
    scheduled = []
    if have("xdotool"):
        scheduled = [run.case(dict(case, program="pagewell", interval=60), timeout) for _ in range(plan["B6"])]
    else:
        run.note("B6: xdotool is not installed, so the schedule could not be switched on; that row is empty")
    return [report.Row("B6", f"Idle CPU of all Pagewell processes over {plan['B6_seconds']} s, schedule off",
                       "% of a core", values(results, "cpu_percent"), goal_kind="max", goal=0.3,
                       goal_text="≤ 0.3 %"),
            report.Row("B6", "(info) the same with the schedule on at 60 s, refreshes included", "% of a core",
                       values(scheduled, "cpu_percent")),
            report.Row("B6", "(info) the same, the 5 s from each refresh left out", "% of a core",
                       [r["cpu_percent_between_refreshes"] for r in scheduled
                        if r and r["cpu_percent_between_refreshes"] is not None]),
            report.Row("B6", "(info) the same for BaselineView, one run", "% of a core", values(view, "cpu_percent")),
            report.Row("B6", "(info) CPU of the X server (Xvfb) meanwhile, not counted above", "% of a core",
                       values(results, "xvfb_cpu_percent"))]


def b9(run, plan):
    """The server away across the moment Pagewell asks for its page: with the schedule on (across a timed
    refresh) and off (across a click on "打开"); the seconds from its return to the page shown again."""
    import case
    interval, outage = plan["B9_interval"], plan["B9_outage"]
    rows = []
    for tick, text in ((interval, f"across a timed refresh at interval {interval} s"),
                       (None, "across 打开, schedule off")):
        if not tick and not have("xdotool"):
            run.note("B9: xdotool is not installed, so 打开 could not be clicked; that row is empty")
            continue
        result = run.case({"kind": "outage", "program": "pagewell", "interval": tick, "outage": outage},
                          (tick or 0) + outage + case.OUTAGE_LIMIT_S + 120)
        shown = []
        if result:
            # A page that never came back within the limit counts as the limit, so the goal shows it as missed.
            shown = [case.OUTAGE_LIMIT_S if result["shown"] is None else result["shown"]]
            run.note(f"B9 {text}: the server went away {result['away_from_start']} s after the start page; from its "
                     f"return to the page's request {fmt_s(result['requested'])}, to its stylesheet's "
                     f"{fmt_s(result['shown'])}")
        rows.append(report.Row("B9", f"Page shown again after the server was away {outage} s, {text}: from its "
                               "return", "s", shown, goal_kind="max", goal=10, goal_text="≤ 10 s"))
        if result and "view_readings" in result:
            rows.append(report.Row("B9", f"View readings (15 ms apart or more) from the outage to 15 s after it showing "
                                   f"anything but the page, of {result['view_readings']}, {text}", "count",
                                   [result["not_the_page"]], goal_kind="max", goal=0, goal_text="0"))
        elif result:
            run.note("B9: no Python with PIL (python3-pil), so the view was not read")
    return rows


def b10(run, plan):
    """CPU per timed refresh at interval 1 s, Pagewell beside BaselineView sending its view to the same page; and, as
    information, BaselineView keeping its page the other way (two views, each refresh loaded beneath and raised)."""
    programs = ["pagewell", "baseline"] + (["baseline-swap"] if plan["info_runs"] else [])
    results = {program: [] for program in programs}
    for i in range(plan["B10"]):
        # In turns, so that a slow spell of the machine favours none.
        for program in programs[i % len(programs):] + programs[:i % len(programs)]:
            results[program].append(run.case({"kind": "refresh_cost", "program": program, "settle": plan["B10_settle"],
                                              "duration": plan["B10_seconds"]}, plan["B10_seconds"] + 120))
    # Once in full screen: the page across Xvfb's 1280 × 1024 screen, with no screen saver on a session bus to ask.
    results["pagewell-full"] = [run.case({"kind": "refresh_cost", "program": "pagewell", "fullscreen": True,
                                          "settle": plan["B10_settle"], "duration": plan["B10_seconds"]},
                                         plan["B10_seconds"] + 120)]
    names = {"pagewell": "Pagewell", "baseline": "BaselineView", "baseline-swap": "BaselineView with two views",
             "pagewell-full": "Pagewell in full screen"}
    for program in programs + ["pagewell-full"]:
        counted = [r for r in results[program] if r]
        if counted:
            run.note(f"B10 {names[program]}: per run " + ", ".join(
                f"{r['cpu_seconds']:.2f} s of CPU for {r['refreshes']} refreshes, total / anonymous PSS at the end "
                f"{r['total_kib'] / 1024:.1f} / {r['anon_kib'] / 1024:.1f} MiB" for r in counted))
    seconds = plan["B10_seconds"]
    minutes = f"{seconds // 60} min" if seconds % 60 == 0 else f"{seconds} s"
    rows = [report.Row("B10", f"CPU per timed refresh at interval 1 s over {minutes}, soak page: Pagewell and all its "
                       "processes", "ms", values(results["pagewell"], "ms_per_refresh"),
                       values(results["baseline"], "ms_per_refresh"), "BaselineView reloading", "ratio_max", 1.1,
                       "≤ 1.1 × BaselineView"),
            report.Row("B10", "(info) total PSS of Pagewell's processes at the end of that run", "MiB",
                       values(results["pagewell"], "total_kib", MIB), values(results["baseline"], "total_kib", MIB),
                       "BaselineView reloading"),
            report.Row("B10", "(info) the same CPU for Pagewell in full screen (--fullscreen, 1280 × 1024)", "ms",
                       values(results["pagewell-full"], "ms_per_refresh"), values(results["pagewell"], "ms_per_refresh"),
                       "Pagewell in its window")]
    if plan["info_runs"]:
        rows += [report.Row("B10", "(info) the same CPU for BaselineView with two views, each refresh loaded into "
                            "the one beneath and raised once loaded", "ms", values(results["baseline-swap"],
                                                                                   "ms_per_refresh"),
                            values(results["baseline"], "ms_per_refresh"), "BaselineView reloading"),
                 report.Row("B10", "(info) its total PSS at the end of the run", "MiB",
                            values(results["baseline-swap"], "total_kib", MIB),
                            values(results["baseline"], "total_kib", MIB), "BaselineView reloading")]
    return rows


def b12(run, plan):
    """B10's Pagewell run with a part of the soak page watched (its sum, filled in by the page's script), beside the
    same run without a watch, in turns."""
    watched = ["--watch", "#sum"]
    results = {"watched": [], "plain": []}
    for i in range(plan["B10"]):
        for name in (["watched", "plain"] if i % 2 == 0 else ["plain", "watched"]):
            results[name].append(run.case({"kind": "refresh_cost", "program": "pagewell", "settle": plan["B10_settle"],
                                           "duration": plan["B10_seconds"],
                                           "arguments": watched if name == "watched" else []},
                                          plan["B10_seconds"] + 120))
    for name in results:
        counted = [r for r in results[name] if r]
        if counted:
            run.note(f"B12 Pagewell {'with' if name == 'watched' else 'without'} a watch: per run " + ", ".join(
                f"{r['cpu_seconds']:.2f} s of CPU for {r['refreshes']} refreshes" for r in counted))
    seconds = plan["B10_seconds"]
    minutes = f"{seconds // 60} min" if seconds % 60 == 0 else f"{seconds} s"
    return [report.Row("B12", f"CPU per timed refresh at interval 1 s over {minutes}, soak page, a part of it watched "
                       "(--watch '#sum'): Pagewell and all its processes", "ms",
                       values(results["watched"], "ms_per_refresh"), values(results["plain"], "ms_per_refresh"),
                       "Pagewell without a watch", "ratio_max", 1.05, "≤ 1.05 × Pagewell without a watch")]


def b11(run, plan):
    """Memory over many refreshes asked for as fast as the page loads (打开 clicked each time), every tenth answered
    503 so that the kept page and its strip come and go too; the growth per 10,000 refreshes, and its plot.

    The renderer's memory swings by tens of MiB with its garbage collector, so a reading depends on the moment it
    falls on. The growth is the least-squares slope of the lowest reading of each block of refreshes (what the
    processes hold after their collections), from the warm-up on; the slope of all readings is in the notes."""
    if not have("xdotool"):
        run.note("B11: xdotool is not installed, so 打开 could not be clicked; not run")
        return []
    count, warmup, block = plan["B11_refreshes"], plan["B11_warmup"], plan["B11_block"]
    result = run.case({"kind": "drive", "program": "pagewell", "refreshes": count, "sample_every": plan["B11_sample"],
                       "fail_every": plan["B11_fail_every"]}, count * 2 + 300)
    rows = {"anon_kib": [], "total_kib": []}
    if result:
        readings = result["readings"]
        for key in rows:
            late = [(r["refreshes"], r[key] / 1024) for r in readings if r["refreshes"] > warmup]
            low = report.lows(late, block)
            if len(low) >= 2:
                rows[key] = [report.fit(low)[0] * 10000]
                run.note(f"B11 {key[:-4]}: slope of all {len(late)} readings from refresh {warmup} on "
                         f"{report.fit(late)[0] * 10000:+.2f} MiB per 10,000 refreshes; lowest of each {block}: " +
                         " ".join(f"{y:.1f}" for _, y in low))
        first, last = readings[0], readings[-1]
        run.note(f"B11: {count} refreshes in {result['seconds']:g} s, {result['failed']} of them answered 503, "
                 f"{result['misses']} without a sign of their end within 20 s; anonymous / total PSS MiB after "
                 f"{first['refreshes']} refreshes {first['anon_kib'] / 1024:.1f} / {first['total_kib'] / 1024:.1f}, "
                 f"after {last['refreshes']} {last['anon_kib'] / 1024:.1f} / {last['total_kib'] / 1024:.1f}")
        plot(run, readings, warmup, block)
    shown = []
    if result and "view_readings" in result:
        shown = [result["not_the_page"]]
    elif result:
        run.note("B11: no Python with PIL (python3-pil), so the view was not read")
    return [report.Row("B11", f"Anonymous memory growth per 10,000 refreshes as fast as the page loads ({count} "
                       f"refreshes; least squares of each {block}'s lowest reading from refresh {warmup}): all Pagewell processes", "MiB",
                       rows["anon_kib"], goal_kind="max", goal=2.0, goal_text="≤ 2 MiB"),
            report.Row("B11", "(info) the same for total PSS", "MiB", rows["total_kib"]),
            report.Row("B11", "View readings (15 ms apart or more) during those refreshes showing anything but the "
                       f"page or the kept page, of {result['view_readings'] if shown else '–'}", "count", shown,
                       goal_kind="max", goal=0, goal_text="0")]


def plot(run, readings, warmup, block):
    """B11's plot: beside the document when the table goes into one, else among the run's work files."""
    images = os.path.join(os.path.dirname(os.path.abspath(run.args.out)), "images") if run.args.out else run.work
    os.makedirs(images, exist_ok=True)
    os.makedirs(run.work, exist_ok=True)
    data = os.path.join(run.work, "memory-readings.json")
    with open(data, "w") as f:
        json.dump(readings, f)
    target = os.path.join(images, "memory-10000.png" if run.args.out else "memory-quick.png")
    import case
    python = case.python_with("matplotlib")
    if not python:
        run.note("B11: no Python with matplotlib (python3-matplotlib), so no plot")
        return
    done = subprocess.run([python, os.path.join(HERE, "plot.py"), data, target, str(warmup), str(block)], capture_output=True,
                          text=True)
    if done.returncode == 0:
        run.note(f"B11: plot written to {os.path.relpath(target, ROOT)}")
    else:
        run.note(f"B11: the plot failed: {done.stderr.strip()[-300:]}")


def fmt_s(seconds):
    return "– (not within the limit)" if seconds is None else f"{seconds:.2f} s"


def read_first(path, prefix):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(prefix):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "?"


def busy_state():
    compiles = subprocess.run(["pgrep", "-c", "cc1plus"], capture_output=True, text=True).stdout.strip() or "0"
    return f"load average {os.getloadavg()[0]:.2f}, {compiles} compiler processes running"


def package_version(name):
    found = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True, text=True)
    return found.stdout.strip() or "not installed"


def machine_text(before, after, started):
    memory_kib = int(read_first("/proc/meminfo", "MemTotal").split()[0])
    return "\n".join([
        f"Machine: {os.cpu_count()} CPUs ({read_first('/proc/cpuinfo', 'model name')}), "
        f"{memory_kib / 1024 / 1024:.1f} GiB memory, Linux {platform.release()}, "
        f"Qt WebEngine {package_version('qt6-webengine-dev')}, Chromium {package_version('chromium')}, "
        f"nginx {package_version('nginx-light')}, curl {package_version('curl')}.",
        "",
        f"Run on {time.strftime('%Y-%m-%d %H:%M', started)} to {time.strftime('%H:%M %Z')}; at the start: {before}; "
        f"at the end: {after}.",
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="one short pass that only checks the scripts work")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--only", default=",".join(ALL), help="comma-separated subset, e.g. B1,B3")
    parser.add_argument("--out", help="document to write the table into (docs/PERFORMANCE.md for full runs)")
    parser.add_argument("--runs", type=int, help="runs of each benchmark in place of the plan's count")
    parser.add_argument("--keep-work", action="store_true", help="keep each run's folder and program logs")
    parser.add_argument("--command", default="bench/run", help="the command line recorded in the document")
    parser.add_argument("--soak-minutes", type=float, help="how long B7's soaks run (30 in a full run)")
    args = parser.parse_args()

    if os.geteuid() != 0:
        sys.exit("bench: the benchmarks create namespaces with unshare and must run as root")
    plan = dict(PLANS["quick" if args.quick else "full"])
    if args.runs:
        plan.update({key: args.runs for key in ("B1", "B2", "B3", "B5", "B6")})
    if args.soak_minutes:
        plan["B7_seconds"] = round(args.soak_minutes * 60)
    run = Runner(args)
    if run.why_not:
        print(f"bench: {run.why_not}; the benchmarks serve the configured host on a private loopback, so nothing "
              "was measured", file=sys.stderr)
        sys.exit(77)
    for program in (run.pagewell, run.baseline):
        if not os.access(program, os.X_OK):
            sys.exit(f"bench: {program} is missing; build it first")
    before = busy_state()
    started = time.localtime()
    rows = []
    keys = [k.strip().upper() for k in args.only.split(",") if k.strip()]
    steps = {"B1": b1, "B2": b2, "B3": b3, "B4": b4, "B5": b5, "B6": b6, "B7": soak.benchmark,
             "B8": update.benchmark, "B9": b9, "B10": b10, "B11": b11, "B12": b12}
    for key in keys:
        log(f"{key} ...")
        rows += steps[key](run, plan)
    after = busy_state()

    block = report.results_block(rows, args.command, machine_text(before, after, started), run.notes)
    print(block)
    if args.out:
        try:
            with open(args.out, encoding="utf-8") as f:
                document = f.read()
        except FileNotFoundError:
            document = ""
        with open(args.out, "w", encoding="utf-8") as f:
            # The other benchmarks keep the rows of the run that measured them last; the summary is made again.
            f.write(report.merge_into(document, block, keys))
        log(f"table written to {args.out}")
    if not [r for r in rows if r.samples]:
        sys.exit("bench: nothing was measured")
    if run.failures:
        # A measurement that breaks is a fault of the scripts or the programs, not a slow result.
        sys.exit(f"bench: {run.failures} measurement(s) failed, see the notes")


if __name__ == "__main__":
    main()
