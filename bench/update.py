"""B8, update downtime: a Pagewell started with --start at interval 2 s is updated through the reference nginx
(deploy/make-release, deploy/serve) in unsigned and in signed mode, with a release of two files, "Pagewell|update": the
Pagewell just built and the updater of the mode, which the updater runs with --self-test before it stops anything and
puts in place over itself with the new Pagewell. The time from the stop of the old Pagewell to the new one's first
request for the user's page is taken. With the first file missing on the server (404), the old Pagewell must refresh
on through the whole attempt and still run after it.

prepare_release() runs outside the namespaces; run() is called by case.py inside the case's namespaces, where the
reference server is started on the configured port; benchmark() plans the runs and makes the rows.

The stop is the old Pagewell's exit, which the case sees at once, since it started that process and waits on it; the
updater asks it to end (SIGTERM), and it saves its settings and exits, so the time it takes to close is counted before
the stop, in the longest gap between its refreshes (an info row), not in the downtime. The requests are read from
nginx's timed log (PAGEWELL_SERVE_TIMED_LOG=1: the millisecond each request began on the wall clock), so the exit is
taken on the wall clock too.
"""

import os
import re
import shutil
import subprocess
import threading
import time

import procstats

INTERVAL = 2
# The user's page: nginx answers it 404 (the reference server serves only the update paths), which is all a refresh
# needs; its log line is what is timed.
USER_PAGE = "/bench/update-page"
NAME = "Pagewell"
# The release's file list: the refresher first (it is what the hand-over starts), then the updater.
FILES = (NAME, "update")
# A tag no build has, so the old Pagewell offers the update; a file version above any, so the updater goes ahead in
# both modes.
RELEASE_TAG = "v-next"
RELEASE_FILE_VERSION = "65535.0.0.0"
# How long each step may take before the run counts as failed.
STOP_LIMIT_S = 90
FIRST_REQUEST_LIMIT_S = 30
UPDATER_END_LIMIT_S = 60
POLL_S = 0.005

LOG_LINE = re.compile(r'^(\d+\.\d+) (\d+\.\d+) (\d{3}) "(\S+) (\S+)')


class Request:
    def __init__(self, began, status, method, target):
        self.began = began
        self.status = status
        self.method = method
        self.target = target
        self.path, _, self.query = target.partition("?")

    def timed_refresh(self):
        return self.path == USER_PAGE and "rn=" in self.query


class TimedLog:
    """nginx's timed.log, read as it grows; a line counts once it is complete."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.pending = b""
        self.requests = []

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return self.requests
        self.offset += len(data)
        lines = (self.pending + data).split(b"\n")
        self.pending = lines.pop()
        for line in lines:
            found = LOG_LINE.match(line.decode("latin-1"))
            if found:
                end, took, status, method, target = found.groups()
                self.requests.append(Request(float(end) - float(took), int(status), method, target))
        return self.requests


def prepare_release(runner, missing, updater, key=None, cache={}):
    """A release whose file list names Pagewell, the program just built, and update, the updater of the mode (a real
    one, so that its self-test passes), signed with the minisign secret key when one is given; with missing, the
    first file itself is left out of the release (its signature stays), so the first transfer ends with a 404. Made
    once per harness run, so that what was just built is what is served."""
    label = ("missing" if missing else "update") + ("-signed" if key else "")
    if label in cache:
        return cache[label]
    base = os.path.join(runner.work, f"update-release-{label}")
    shutil.rmtree(base, ignore_errors=True)
    source = os.path.join(base, "program")
    os.makedirs(source)
    shutil.copy2(runner.pagewell, os.path.join(source, NAME))
    shutil.copy2(updater, os.path.join(source, "update"))
    release = os.path.join(base, "release")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    subprocess.run([os.path.join(root, "deploy", "make-release"), source, release, "--local", "--tag", RELEASE_TAG,
                    "--file-version", RELEASE_FILE_VERSION, "--files", "|".join(FILES)] +
                   (["--sign", key] if key else []), check=True, timeout=120, stdout=subprocess.DEVNULL)
    if missing:
        os.remove(os.path.join(release, "files", NAME))
    cache[label] = release
    return release


def _processes_of(program):
    """Live processes (not zombies) whose program file is program."""
    found = []
    for pid in procstats.all_stats():
        try:
            if os.readlink(f"/proc/{pid}/exe") in (program, program + " (deleted)"):
                found.append(pid)
        except OSError:
            pass
    return found


def _say_current(release):
    """From now on the version check gets a reply that is no tag, which offers nothing: the new Pagewell is the
    same build as the old one and must not take the update again. The file is replaced, not truncated, since the
    release's files are links shared with later runs."""
    path = os.path.join(release, "texts", "refresher-version.txt")
    os.remove(path)
    open(path, "wb").close()
    os.chmod(path, 0o644)


def _gaps(times):
    return [b - a for a, b in zip(times, times[1:])]


def run(plan, work, case):
    """case: the calling case module, whose helpers (Xvfb, environment, program folder, CaseError) this uses."""
    import download
    release = os.path.join(work, "release")
    shutil.copytree(plan["release"], release, copy_function=os.link)
    serve = os.path.join(plan["root"], "deploy", "serve")
    runtime = os.path.join(work, "server")
    subprocess.run([serve, "start", release, str(plan["port"]), runtime], check=True, timeout=30,
                   env=dict(os.environ, PAGEWELL_SERVE_TIMED_LOG="1"), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    download._adopt(os.path.join(runtime, "nginx.pid"))
    try:
        url = f"http://{plan['host']}{USER_PAGE}"
        target = case.prepare_pagewell_folder(dict(plan, settings={"url": url, "interval": INTERVAL}), work)
        folder = os.path.dirname(target)
        shutil.copy2(plan["updater"], os.path.join(folder, "update"))
        _, display = case.start_xvfb()
        log = open(os.path.join(work, "pagewell.log"), "wb")
        old = subprocess.Popen([target, "--start"], env=case.program_env(display, work), cwd=work, stdout=log,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        log.close()
        stopped = {}

        def wait_for_exit():
            old.wait()
            stopped["wall"] = time.time()

        threading.Thread(target=wait_for_exit, daemon=True).start()
        requests = TimedLog(os.path.join(runtime, "timed.log"))
        if plan["missing"]:
            return _failed_attempt(plan, case, old, stopped, requests, os.path.join(folder, "update"))
        return _update(plan, case, release, target, stopped, requests)
    finally:
        subprocess.run([serve, "stop", runtime], timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _update(plan, case, release, target, stopped, requests):
    began = time.monotonic()
    switched = False
    spawned = None
    while "wall" not in stopped:
        if time.monotonic() - began > STOP_LIMIT_S:
            raise case.CaseError(f"the old Pagewell was not stopped within {STOP_LIMIT_S} s")
        if not switched and any(r.path == f"/updata/{NAME}" for r in requests.read()):
            _say_current(release)
            switched = True
        time.sleep(POLL_S)
    stop = stopped["wall"]
    if not switched:
        raise case.CaseError("the old Pagewell ended before the updater asked for the new file")
    first = None
    deadline = time.monotonic() + FIRST_REQUEST_LIMIT_S
    while first is None:
        if time.monotonic() > deadline:
            raise case.CaseError(f"the new Pagewell asked for no page within {FIRST_REQUEST_LIMIT_S} s of the stop")
        if spawned is None and _processes_of(target):
            spawned = time.time()
        first = next((r for r in requests.read() if r.timed_refresh() and r.began >= stop), None)
        time.sleep(POLL_S)
    # The new Pagewell goes on at its interval: two more refreshes, or the run says how many came.
    extra = 0 if plan["quick"] else 2
    deadline = time.monotonic() + extra * (INTERVAL + 2)
    while time.monotonic() < deadline:
        if len([r for r in requests.read() if r.timed_refresh() and r.began >= stop]) > extra:
            break
        time.sleep(0.05)
    seen = requests.read()
    pages = [r.began for r in seen if r.timed_refresh()]
    after = [t for t in pages if t >= stop]
    if len(after) <= extra:
        raise case.CaseError(f"the new Pagewell made {len(after)} timed refreshes, not {extra + 1}")
    checks = [r for r in seen if r.path == "/updata/updata.asp" and r.query.startswith("v=")]
    if len(checks) != 1:
        raise case.CaseError(f"the updater asked for the version {len(checks)} times, not once")
    fetched = [name for name in FILES if any(r.path == f"/updata/{name}" and r.status == 200 for r in seen)]
    if len(fetched) != len(FILES):
        raise case.CaseError(f"the updater fetched {', '.join(fetched) or 'nothing'} of {', '.join(FILES)}")
    # Both files were replaced in the one transaction: each old one is kept beside the new until the release has
    # proved itself, which takes longer than this run.
    folder = os.path.dirname(target)
    kept = [name for name in FILES if os.path.exists(os.path.join(folder, name + ".previous"))]
    if len(kept) != len(FILES):
        raise case.CaseError(f"after the update only {', '.join(kept) or 'none'} of {', '.join(FILES)} was kept as "
                             "<name>.previous")
    before = [t for t in pages if t < stop]
    return {"downtime": first.began - stop,
            "spawned_after": None if spawned is None else spawned - stop,
            "longest_gap": max(_gaps(pages)) if len(pages) > 1 else None,
            "last_before": stop - before[-1] if before else None,
            "periods_after": [round(g, 3) for g in _gaps(after)],
            "file_request_to_stop": stop - next(r.began for r in seen if r.path == f"/updata/{NAME}"),
            "last_request_to_stop": stop - next(r.began for r in seen if r.path == f"/updata/{FILES[-1]}")}


def _failed_attempt(plan, case, old, stopped, requests, updater):
    """From the old Pagewell's first refresh until the updater has ended (it closes its idle window by itself 30 s
    after the failure; in the quick pass until INTERVAL + 1 s after the 404), then INTERVAL + 1 s more, so that a
    Pagewell stopped at the very end still shows as a gap."""
    began = time.monotonic()
    failed = updater_seen = None
    while True:
        now = time.monotonic()
        seen = requests.read()
        if failed is None and any(r.path == f"/updata/{NAME}" and r.status == 404 for r in seen):
            failed = now
        running = _processes_of(updater)
        if running:
            updater_seen = True
        if failed is not None and (not running or (plan["quick"] and now - failed >= INTERVAL + 1)):
            break
        if now - began > STOP_LIMIT_S + UPDATER_END_LIMIT_S:
            raise case.CaseError("the updater did not fail on the missing file and end"
                                 if failed is None else "the updater did not end after the failed transfer")
        time.sleep(POLL_S * 4)
    if not updater_seen:
        raise case.CaseError("the updater was never seen running")
    time.sleep(INTERVAL + 1)
    end = time.time()
    seen = requests.read()
    pages = [r.began for r in seen if r.timed_refresh()]
    if not pages:
        raise case.CaseError("the old Pagewell made no timed refresh")
    file_request = next(r.began for r in seen if r.path == f"/updata/{NAME}")
    # The time from the last refresh to the end of the watch counts as a gap too.
    return {"longest_gap": max(_gaps(pages + [end])), "refreshes": len(pages),
            "running_after": old.poll() is None and "wall" not in stopped,
            "watched": end - pages[0], "file_request_after_first_refresh": file_request - pages[0]}


def benchmark(run, plan):
    """B8's rows. plan is the harness's; the counts of runs are this benchmark's own (--runs overrides them)."""
    import report
    quick = run.args.quick
    downtime_runs = run.args.runs or (1 if quick else 5)
    failed_runs = run.args.runs or (1 if quick else 2)
    modes = {"unsigned": (run.update, None)}
    signed_update = os.path.join(run.build, "tests", "signed", "update")
    key = os.path.join(run.build, "tests", "e2e-key.key")
    missing = [p for p in ("nginx", "minisign") if not shutil.which(p)]
    if missing:
        run.note(f"B8: needs {', '.join(missing)}; not run")
        modes = {}
    elif os.path.exists(signed_update) and os.path.exists(key):
        modes["signed"] = (signed_update, key)
    else:
        run.note("B8: the tests' signed-mode updater is not built (build the tests); signed mode not run")
    results = {(mode, missing): [] for mode in modes for missing in (False, True)}
    for missing, count in ((False, downtime_runs), (True, failed_runs)):
        for i in range(count):
            # In turns, so that neither mode always runs on a machine just warmed by the other.
            order = list(modes)
            for mode in order[i % len(order):] + order[:i % len(order)]:
                updater, key = modes[mode]
                release = prepare_release(run, missing, updater, key)
                case = {"kind": "update", "program": mode, "release": release, "updater": updater,
                        "missing": missing, "quick": quick}
                results[(mode, missing)].append(run.case(case, 240))

    def samples(mode, missing, key):
        return [r[key] for r in results.get((mode, missing), []) if r and r[key] is not None]

    for (mode, missing), found in results.items():
        done = [r for r in found if r]
        if done and not missing:
            run.note(f"B8 {mode}: per run, seconds from the stop to the new Pagewell's process / to its first page "
                     "request; from the old one's last refresh to the stop; from the request for Pagewell / for "
                     "update to the stop (the second file's transfer, the new updater's self-test, the 2 s pause): " +
                     "; ".join(f"{_fmt(r['spawned_after'])} / {r['downtime']:.3f}, {_fmt(r['last_before'])}, "
                               f"{r['file_request_to_stop']:.2f} / {r['last_request_to_stop']:.2f}" for r in done) +
                     "".join(f"; the new one's next periods in run {i + 1}: " + " ".join(f"{p:.3f}" for p in periods)
                             for i, periods in enumerate(r["periods_after"] for r in done) if periods))
        elif done:
            run.note(f"B8 {mode}, file missing (404): per run, refreshes seen / seconds watched / longest gap: " +
                     "; ".join(f"{r['refreshes']} / {r['watched']:.1f} / {r['longest_gap']:.3f}" for r in done))
    watched = [r for mode in modes for r in results[(mode, True)] if r]
    rows = []
    for mode, text in (("unsigned", "unsigned"), ("signed", "signed")):
        # No "|" in a row's text: it would split the table's cell.
        rows.append(report.Row("B8", f"Update downtime, {text}, a release of two files ({' and '.join(FILES)}): old "
                               "Pagewell stopped to the new one's first request for the user's page (--start, "
                               f"interval {INTERVAL} s)", "s",
                               samples(mode, False, "downtime"), goal_kind="max", goal=2.0, goal_text="≤ 2 s",
                               note="" if mode in modes else "not run"))
    both = [s for mode in modes for s in samples(mode, False, "spawned_after")]
    rows.append(report.Row("B8", "(info) stop to the new Pagewell's process, both modes", "s", both))
    rows.append(report.Row("B8", "(info) longest gap between the user's page requests across the update, both modes",
                           "s", [s for mode in modes for s in samples(mode, False, "longest_gap")]))
    rows.append(report.Row("B8", f"Failed transfer (404 for {FILES[0]}, the first of the two): longest gap between "
                           "the old Pagewell's refreshes over the attempt, both modes", "s",
                           [s for mode in modes for s in samples(mode, True, "longest_gap")], goal_kind="max",
                           goal=INTERVAL + 1.0, goal_text=f"≤ {INTERVAL + 1} s"))
    rows.append(report.Row("B8", f"Failed transfer (404): runs of {len(watched)} after which the old Pagewell was not "
                           "running", "count", [sum(not r["running_after"] for r in watched)] if watched else [],
                           goal_kind="max", goal=0, goal_text="0"))
    return rows


def _fmt(seconds):
    return "–" if seconds is None else f"{seconds:.3f}"
