"""The soak (B7): a program refreshing a page every second for a long time, its memory read every so often.

Run by case.py inside the case's namespaces, with the loopback server and the X server already started. Pagewell
refreshes the soak page (loopserver.SOAK_PAGE) at interval 1 s from its user.ini, started with --start (which
ticks 开启 as a user would);
BaselineView shows the page that reloads itself every second with a fresh token (loopserver.SOAK_SELF_PAGE), so
what grows in both is the web engine's and what grows only in Pagewell is Pagewell's. The renderer may be killed
at given moments, to time how long the view is without a page.

The case's plan names: program ("pagewell" or "baseline"), seconds (how long the soak runs from the first
refresh), sample_every (seconds between memory readings), tick (Pagewell: tick 开启, default yes), kills (seconds
from the first refresh at which the renderer is killed), env (extra environment for the program), pad_kib (KiB of
comment added to the page, to fill a cache sooner in experiments; none by default).
"""

import json
import os
import signal
import subprocess
import time

import loopserver
import procstats

# The longest the view may stay without a page after a kill before the wait for it gives up.
BACK_LIMIT_S = 15.0
PAGES = (loopserver.START_PAGE, loopserver.SOAK_PAGE, loopserver.SOAK_SELF_PAGE)
# Every page here links this stylesheet, and it is served uncacheable: its request says a renderer has the page's
# markup and is laying it out, that is, the page is being shown again.
STYLESHEET = "/bench/ref.css"


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return b""


def is_renderer(pid):
    """Renderers are forked by the web engine's zygote and keep its command line, so a renderer is a child of a
    zygote (or says --type=renderer, where the engine renames its processes)."""
    if b"--type=renderer" in command_line(pid):
        return True
    stat = procstats.read_stat(pid)
    return stat is not None and b"--type=zygote" in command_line(stat.ppid)


def rollup(pid):
    """Pss and Pss_Anon of a process in KiB (zeros once it has gone)."""
    found = {"Pss": 0, "Pss_Anon": 0}
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in found:
                    found[key] = int(rest.split()[0])
    except OSError:
        pass
    return found["Pss"], found["Pss_Anon"]


def memory(root_pid):
    """Total PSS of the process tree, that of the program's own process and of its renderers apart, and the
    tree's anonymous PSS: the libraries' pages are shared with any other program that maps them (another Qt
    WebEngine program running meanwhile lowers everybody's PSS), anonymous memory only inside the tree."""
    total = own = renderer = anon = 0
    for pid in procstats.tree(root_pid):
        kib, anon_kib = rollup(pid)
        total += kib
        anon += anon_kib
        if pid == root_pid:
            own = kib
        elif is_renderer(pid):
            renderer += kib
    return {"total_kib": total, "main_kib": own, "renderer_kib": renderer, "anon_kib": anon}


def launch(plan, display, work, case):
    pad = f"pad={plan['pad_kib']}&" if plan.get("pad_kib") else ""
    if plan["program"] == "baseline":
        argv = [plan["baseline"], f"http://{plan['host']}{loopserver.SOAK_SELF_PAGE}?{pad}rn=first"]
    else:
        url = f"http://{plan['host']}{loopserver.SOAK_PAGE}" + (f"?{pad[:-1]}" if pad else "")
        argv = [case.prepare_pagewell_folder(dict(plan, settings={"url": url, "interval": 1}), work)]
        if plan.get("tick", True):
            argv.append("--start")
    log = open(os.path.join(work, f"{plan['program']}.log"), "wb")
    process = subprocess.Popen(argv, env=case.program_env(display, work, plan.get("env")), cwd=work, stdout=log,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    log.close()
    return process


def start(plan, display, work, server, case):
    """Starts the program and returns it with the arrival time of its first refresh of the soak page."""
    process = launch(plan, display, work, case)
    if plan["program"] == "pagewell" and not plan.get("tick", True):
        case.wait_loaded(server, process, 60)
        return process, time.monotonic()
    page = loopserver.SOAK_SELF_PAGE if plan["program"] == "baseline" else loopserver.SOAK_PAGE
    first = server.wait_for(lambda r: r.path == page and "rn=" in r.query, 60)
    if first is None:
        raise case.CaseError(f"no refresh of the soak page within 60 s (program exit code {process.poll()})")
    return process, first.arrived


def run(plan, display, work, server, case):
    process, began = start(plan, display, work, server, case)
    seconds, every = plan["seconds"], plan["sample_every"]
    kills = sorted(plan.get("kills", []))
    readings, killed_at = [], []
    renderers_seen, killed_pids = set(), set()
    next_reading = began
    while True:
        now = time.monotonic()
        if now - began > seconds:
            break
        if process.poll() is not None:
            raise case.CaseError(f"the program ended during the soak (exit code {process.returncode})")
        pids = procstats.tree(process.pid)
        renderers = {pid for pid in pids if is_renderer(pid)}
        renderers_seen |= renderers
        if kills and now - began >= kills[0]:
            kills.pop(0)
            for pid in renderers:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass  # it ended on its own just now; the time to the page is measured all the same
                killed_pids.add(pid)
            killed_at.append(time.monotonic())
        if now >= next_reading:
            readings.append(dict(memory(process.pid), t=round(now - began, 1), processes=len(pids)))
            next_reading += every
        time.sleep(0.25)
    ended = time.monotonic()
    # A refresh that came due just before the end may still be on its way.
    time.sleep(0.6)

    # A renderer that went away without being killed here is a restart nobody asked for.
    alive = {pid for pid in procstats.tree(process.pid) if is_renderer(pid)}
    restarts = len(renderers_seen - alive - killed_pids)
    page = loopserver.SOAK_SELF_PAGE if plan["program"] == "baseline" else loopserver.SOAK_PAGE
    # Each timed refresh has a token of its own; a reload after a renderer kill asks for the same URL again.
    refreshes = len({r.query for r in server.snapshot()
                     if r.path == page and "rn=" in r.query and began <= r.arrived <= ended + 0.5})
    requested, shown = [], []
    for i, k in enumerate(killed_at):
        limit = min(killed_at[i + 1] if i + 1 < len(killed_at) else ended, k + BACK_LIMIT_S)
        after = [r for r in server.snapshot() if k < r.arrived <= limit]
        asked = next((r.arrived for r in after if r.path in PAGES), None)
        styled = next((r.arrived for r in after if asked is not None and r.path == STYLESHEET and r.arrived >= asked),
                      None)
        requested.append(None if asked is None else round(asked - k, 3))
        shown.append(None if styled is None else round(styled - k, 3))
    result = {"readings": readings, "refreshes": refreshes, "renderer_restarts": restarts,
              "renderers_seen": len(renderers_seen), "kills": len(killed_at), "requested_after_kill": requested,
              "shown_after_kill": shown,
              "seconds": round(ended - began, 1),
              "requests": len([r for r in server.snapshot() if began <= r.arrived <= ended])}
    if plan["program"] == "pagewell" and plan.get("tick", True):
        # The schedule runs once a second on whole-second ticks (B4), so the window's run count at the end is
        # one for the first refresh and one for every whole second after it.
        result["runs_expected"] = int(ended + 0.5 - began) + 1
    # Every reading, for a closer look than the table's (kept with --keep-work).
    with open(os.path.join(work, "soak.json"), "w") as f:
        json.dump(result, f)
    return result


def window(readings, seconds):
    """The readings of minutes 1 to 3 and of the last five minutes; a soak too short for both (the quick pass)
    is split in halves instead."""
    if seconds >= 480:
        early = [r for r in readings if 60 <= r["t"] <= 180]
        late = [r for r in readings if r["t"] >= seconds - 300]
    else:
        half = len(readings) // 2
        early, late = readings[:half], readings[half:]
    return early, late


def mib(readings, key="total_kib"):
    return [r[key] / 1024 for r in readings]


def benchmark(run, plan):
    """B7's rows: Pagewell and BaselineView soaked side by side, then the renderer killed three times, with the
    schedule on and off."""
    import report
    seconds, every = plan["B7_seconds"], plan["B7_sample"]
    minutes = f"{seconds // 60} min" if seconds % 60 == 0 else f"{seconds} s"
    base = {"kind": "soak", "seconds": seconds, "sample_every": every}
    soaked = run.case(dict(base, program="pagewell", kills=plan["B7_soak_kills"]), seconds + 180)
    view = run.case(dict(base, program="baseline"), seconds + 180) if plan["info_runs"] else None
    killed = {}
    if plan["B7_kill_rows"]:
        for tick in (True, False):
            killed[tick] = run.case({"kind": "soak", "program": "pagewell", "seconds": plan["B7_kill_seconds"],
                                     "sample_every": every, "kills": [20, 50, 80], "tick": tick},
                                    plan["B7_kill_seconds"] + 180)

    rows = []
    for name, result in (("Pagewell", soaked), ("BaselineView", view)):
        if not result:
            continue
        readings = result["readings"]
        early, late = window(readings, seconds)
        if name == "Pagewell":
            rows.append(report.Row("B7", f"Memory at interval 1 s over {minutes}: total PSS, median of the last "
                                   "5 min", "MiB", mib(late), mib(early), "minutes 1–3", "ratio_max", 1.10,
                                   "≤ 1.1 × minutes 1–3"))
        else:
            rows.append(report.Row("B7", "(info) BaselineView reloading itself every second, the same", "MiB",
                                   mib(late), mib(early), "minutes 1–3"))
        if name == "Pagewell":
            rows.append(report.Row("B7", "(info) the same, anonymous PSS only (no library pages)", "MiB",
                                   mib(late, "anon_kib"), mib(early, "anon_kib"), "minutes 1–3"))
        rows.append(report.Row("B7", f"(info) of which {name}'s own process", "MiB", mib(late, "main_kib"),
                               mib(early, "main_kib"), "minutes 1–3"))
        step = max(1, round(60 / every))
        series = " ".join(f"{r['total_kib'] / 1024:.0f}/{r['main_kib'] / 1024:.0f}" for r in readings[::step])
        run.note(f"B7 {name}: total/own-process PSS MiB every {step * every} s from the first refresh: {series}; "
                 f"{result['refreshes']} page requests with rn= in {result['seconds']:g} s, {result['requests']} "
                 "requests in all")
    if soaked:
        missing = soaked["runs_expected"] - soaked["refreshes"]
        rows.append(report.Row("B7", "Timed refreshes the server did not see (run count − page requests)", "count",
                               [missing], goal_kind="max", goal=0, goal_text="0"))
        rows.append(report.Row("B7", "Renderer restarts nobody induced during the soak", "count",
                               [soaked["renderer_restarts"]], goal_kind="max", goal=0, goal_text="0"))
    later = []
    for tick, text in ((True, "开启 ticked"), (False, "开启 not ticked")):
        result = killed.get(tick) or (soaked if tick and not plan["B7_kill_rows"] else None)
        if not result:
            rows.append(report.Row("B7", f"Page shown again after the first renderer kill (SIGKILL), {text}", "s",
                                   [], goal_kind="max", goal=2.0, goal_text="≤ 2 s", note="not run in quick mode"))
            continue
        # A page that never came back within the limit counts as the limit, so the goal shows it as missed.
        times = [BACK_LIMIT_S if b is None else b for b in result["shown_after_kill"]]
        if None in result["shown_after_kill"]:
            run.note(f"B7 kills, {text}: no page shown within {BACK_LIMIT_S:g} s after some kills")
        run.note(f"B7 kills, {text}: seconds from each kill to the page's request / to its stylesheet's request: "
                 + ", ".join(f"{fmt(a)} / {fmt(b)}" for a, b in zip(result["requested_after_kill"],
                                                                    result["shown_after_kill"])))
        rows.append(report.Row("B7", f"Page shown again after the first renderer kill (SIGKILL), {text}", "s",
                               times[:1], goal_kind="max", goal=2.0, goal_text="≤ 2 s"))
        later += times[1:]
    if plan["B7_kill_rows"]:
        rows.append(report.Row("B7", "(info) the same after the second and third kills, both settings", "s", later))
    return rows


def fmt(seconds):
    return "–" if seconds is None else f"{seconds:.2f}"
