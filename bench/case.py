"""One benchmark measurement, run as process 1 of fresh PID, network and mount namespaces (see harness.py).

Inside, the configured hosts' loopback ports are private, the X server's socket folder /tmp/.X11-unix is a private
tmpfs and the X server keeps no lock file (so nothing of it outlives the namespace; /tmp itself stays visible, since
the checkout or the build may live there), and every process that exists was started here, so the clean-up at the end
may stop them all. The case's plan is a JSON object on the command line; the result is one JSON object on the last
line of standard output.
"""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import loopserver  # noqa: E402
import procstats  # noqa: E402
import soak  # noqa: E402



def configured_hosts(build):
    """The refresher's and the updater's hosts as the build was configured (PAGEWELL_*_HOST in CMakeCache.txt),
    and why the benchmarks cannot serve them, if they cannot: both must be one loopback address and port."""
    hosts = {}
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            for key in ("PAGEWELL_REFRESHER_HOST", "PAGEWELL_UPDATE_HOST"):
                if line.startswith(key + ":"):
                    hosts[key] = line.split("=", 1)[1].strip()
    refresher, update = hosts.get("PAGEWELL_REFRESHER_HOST", ""), hosts.get("PAGEWELL_UPDATE_HOST", "")
    name, _, port = refresher.rpartition(":")
    if refresher != update:
        return refresher, 0, f"the refresher host {refresher} and the update host {update} differ"
    if name not in ("localhost", "127.0.0.1") or not port.isdigit():
        return refresher, 0, f"the configured host {refresher} is not a loopback address with a port"
    return refresher, int(port), None


def start_url(plan):
    return f"http://{plan['host']}{loopserver.START_PAGE}"
SETTINGS_SECTION = "岚舟网页自动刷新器"
WINDOW_CAPTION = "岚舟网页自动刷新器"


class CaseError(Exception):
    pass


def run_quietly(argv, timeout=10):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)


def private_namespace_setup():
    if os.getpid() != 1:
        raise CaseError("case.py must run as process 1 of its own PID namespace (start it through harness.py)")
    run_quietly(["ip", "link", "set", "lo", "up"])
    os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)
    run_quietly(["mount", "-t", "tmpfs", "-o", "mode=1777", "bench-x11", "/tmp/.X11-unix"])


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolock", "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    deadline = time.monotonic() + 10
    number = b""
    while time.monotonic() < deadline and not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], 0.2)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip():
        raise CaseError("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


def program_env(display, work, extra=None):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QT_", "QTWEBENGINE_")) and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update({
        "DISPLAY": display,
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        # Chromium's sandbox cannot run as root; nothing else about the web engine is changed.
        "QTWEBENGINE_DISABLE_SANDBOX": "1",
        # Keeps the programs' caches and settings out of the user's home.
        "XDG_CACHE_HOME": os.path.join(work, "xdg-cache"),
        "XDG_CONFIG_HOME": os.path.join(work, "xdg-config"),
        "XDG_DATA_HOME": os.path.join(work, "xdg-data"),
        "XDG_RUNTIME_DIR": os.path.join(work, "xdg-runtime"),
        # Temporary files go to the run's folder too, so a killed run leaves nothing in /tmp.
        "TMPDIR": work,
    })
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    env.update(extra or {})
    return env


def write_settings(folder, url, interval):
    text = f"[{SETTINGS_SECTION}]\r\nTEXT2={url}\r\nTEXT1={interval}\r\n"
    with open(os.path.join(folder, "user.ini"), "wb") as f:
        f.write(text.encode("gb18030"))


def prepare_pagewell_folder(plan, work):
    """A program folder of its own for this run: the Pagewell program file and, when asked for, a user.ini."""
    folder = os.path.join(work, "program")
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, "Pagewell")
    if not os.path.exists(target):
        try:
            os.link(plan["pagewell"], target)
        except OSError:
            shutil.copy2(plan["pagewell"], target)
    if plan.get("settings"):
        write_settings(folder, plan["settings"]["url"], plan["settings"]["interval"])
    return target


def launch(plan, display, work):
    program = plan["program"]
    if program == "pagewell":
        argv = [prepare_pagewell_folder(plan, work)] + (["--fullscreen"] if plan.get("fullscreen") else [])
        env = program_env(display, work, plan.get("env"))
    elif program == "baseline":
        argv = [plan["baseline"], start_url(plan)]
        env = program_env(display, work, plan.get("env"))
    elif program == "chromium":
        profile = os.path.join(work, "chromium-profile")
        shutil.rmtree(profile, ignore_errors=True)
        os.makedirs(profile)
        argv = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=953,449", f"--user-data-dir={profile}", start_url(plan)]
        env = program_env("", work)
        del env["DISPLAY"]
    else:
        raise CaseError(f"unknown program {program}")
    log = open(os.path.join(work, f"{program}.log"), "wb")
    started = time.monotonic()
    process = subprocess.Popen(argv, env=env, cwd=work, stdout=log, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL)
    log.close()
    return process, started


def is_start_page(request):
    return request.path == loopserver.START_PAGE


def wait_start_page(server, process, timeout):
    request = server.wait_for(is_start_page, timeout)
    if request is None:
        raise CaseError(f"no start-page request within {timeout:.0f} s (program exit code {process.poll()})")
    return request


def wait_loaded(server, process, timeout):
    """The page counts as loaded once its resources have been fetched and nothing else arrives for a second."""
    wait_start_page(server, process, timeout)
    server.wait_for(lambda r: r.path == "/bench/ref.png", 10)
    return server.wait_quiet(1.0, 15)


def case_startup(plan, display, work, server):
    process, started = launch(plan, display, work)
    request = wait_start_page(server, process, plan.get("timeout", 30))
    checks = [r for r in server.snapshot() if r.path == loopserver.VERSION_CHECK]
    return {"seconds": request.arrived - started,
            "version_checks": [round(r.arrived - started, 4) for r in checks]}


def case_memory(plan, display, work, server):
    process, _ = launch(plan, display, work)
    loaded = wait_loaded(server, process, plan.get("timeout", 60))
    time.sleep(max(0.0, loaded + plan["settle"] - time.monotonic()))
    pids = procstats.tree(process.pid)
    sizes = {pid: procstats.pss_kb(pid) for pid in pids}
    comms = {pid: procstats.read_stat(pid).comm for pid in pids if procstats.read_stat(pid)}
    return {"pss_kib": sum(v for v in sizes.values() if v), "processes": len(pids),
            "detail": sorted(([comms.get(p, "?"), sizes[p]] for p in pids if sizes[p]), key=lambda x: -x[1])}


def find_window(display, timeout):
    env = dict(os.environ, DISPLAY=display)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", WINDOW_CAPTION], env=env, capture_output=True,
                               text=True, timeout=10)
        ids = found.stdout.split()
        if ids:
            return ids[-1]
        time.sleep(0.2)
    raise CaseError("the main window did not appear")


def tick_enable_box(display, window):
    """What a user does: the interval field has the focus when the window opens; Tab reaches the enable box and
    Space ticks it."""
    env = dict(os.environ, DISPLAY=display)
    for argv in (["xdotool", "windowfocus", "--sync", window], ["xdotool", "key", "--delay", "100", "Tab", "space"]):
        subprocess.run(argv, env=env, check=True, timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)


def case_cadence(plan, display, work, server):
    interval, periods = plan["interval"], plan["periods"]
    plan = dict(plan, settings={"url": f"http://{plan['host']}{loopserver.CADENCE_PAGE}", "interval": interval})
    process, _ = launch(plan, display, work)
    wait_start_page(server, process, 30)
    window = find_window(display, 15)
    time.sleep(0.5)
    tick_enable_box(display, window)

    def timed(r):
        return r.path == loopserver.CADENCE_PAGE and "rn=" in r.query

    if not server.wait_count(timed, 1, interval + 5):
        raise CaseError("ticking the enable box started no timed refresh")
    # Generous: a schedule that runs late is a result to show, not a reason to lose the periods measured so far.
    hits = server.wait_count(timed, periods + 1, (periods + 1) * (interval + 3) + 10)
    times = [r.arrived for r in hits[:periods + 1]]
    if len(times) < 2:
        raise CaseError(f"only {len(times)} timed refreshes arrived")
    result = {"periods": [round(b - a, 4) for a, b in zip(times, times[1:])]}
    if len(times) < periods + 1:
        result["incomplete"] = f"only {len(times)} of {periods + 1} timed refreshes arrived in time"
    return result


def case_idle(plan, display, work, server):
    """CPU of the program's process tree over a stretch of time once its page has loaded. With an interval, the
    schedule is switched on first (the page refreshed is the start page), and the time from each refresh to five
    seconds after it is also left out of a second figure, which is then what the schedule costs between refreshes."""
    interval = plan.get("interval")
    if interval:
        plan = dict(plan, settings={"url": start_url(plan), "interval": interval})
    process, _ = launch(plan, display, work)
    loaded = wait_loaded(server, process, 60)
    if interval:
        tick_enable_box(display, find_window(display, 15))
    time.sleep(max(0.0, loaded + plan["settle"] - time.monotonic()))
    meter = procstats.CpuMeter(process.pid)
    xvfb_meter = procstats.CpuMeter(plan["_xvfb_pid"])
    began = time.monotonic()
    samples = []
    while time.monotonic() - began < plan["duration"]:
        time.sleep(0.5)
        samples.append((time.monotonic(), meter.seconds_since_start()))
    elapsed = time.monotonic() - began
    requests = [r for r in server.snapshot() if r.arrived >= began]
    refreshes = [r.arrived for r in requests if "rn=" in r.query]
    quiet_cpu = quiet_time = 0.0
    previous = (began, 0.0)
    for sample in samples:
        if not any(previous[0] <= r + 5 and sample[0] >= r for r in refreshes):
            quiet_cpu += sample[1] - previous[1]
            quiet_time += sample[0] - previous[0]
        previous = sample
    return {"cpu_percent": 100 * samples[-1][1] / elapsed,
            "cpu_percent_between_refreshes": 100 * quiet_cpu / quiet_time if quiet_time else None,
            "refreshes": len(refreshes),
            "xvfb_cpu_percent": 100 * xvfb_meter.seconds_since_start() / elapsed,
            "processes": len(procstats.tree(process.pid)), "requests_during": len(requests)}


# B9: how long the server stays away, and how long after its return the page may take before the wait gives up
# (without retries the page comes back only at the next timed refresh, or never with the schedule off).
OUTAGE_LIMIT_S = 125.0


def click_open(display, window):
    """What a user does: a click on "打开", the centre of the button (group box at 112, 8; button at 720, 15 in it,
    57 × 19)."""
    env = dict(os.environ, DISPLAY=display)
    subprocess.run(["xdotool", "mousemove", "--window", window, "860", "32", "click", "1"], env=env, check=True,
                   timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def case_outage(plan, display, work, server):
    """The server away for a while just when Pagewell asks for its page, then back: the time from its return to
    the page shown again. With an interval the outage straddles the first timed refresh (--start ticks 开启, so it
    comes due an interval after the start page); without one the schedule stays off and "打开" is clicked 2 s into
    the outage. The page is the reference page, whose stylesheet is asked for once its markup is in. From the moment
    the server goes away until 15 s after it is back, bench/grabber.py reads the view every 15 ms (below the strip
    Pagewell puts over its top), to count the readings that show something other than the page."""
    interval, outage = plan.get("interval"), plan["outage"]
    folder_plan = dict(plan, settings={"url": start_url(plan), "interval": interval or 120})
    argv = [prepare_pagewell_folder(folder_plan, work)] + (["--start"] if interval else [])
    log = open(os.path.join(work, "pagewell.log"), "wb")
    process = subprocess.Popen(argv, env=program_env(display, work), cwd=work, stdout=log, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL)
    log.close()
    started = wait_start_page(server, process, 60).arrived
    wait_loaded(server, process, 60)
    window = find_window(display, 15)
    if interval:
        time.sleep(max(0.0, started + interval - outage / 2 - time.monotonic()))
    grabber = watch_view(display, window, outage + 15, work)
    away = time.monotonic()
    server.set_away(True)
    if not interval:
        time.sleep(2)
        click_open(display, window)
    time.sleep(max(0.0, away + outage - time.monotonic()))
    server.set_away(False)
    back = time.monotonic()
    page = server.wait_for(lambda r: r.path == loopserver.START_PAGE and "rn=" in r.query and r.arrived >= back,
                           OUTAGE_LIMIT_S)
    styled = page and server.wait_for(lambda r: r.path == "/bench/ref.css" and r.arrived >= page.arrived, 10)
    result = {"requested": page and round(page.arrived - back, 3), "shown": styled and round(styled.arrived - back, 3),
              "away_from_start": round(away - started, 1)}
    if grabber:
        grabber[0].wait()
        result.update(view_readings(grabber))
    return result


def python_with(module):
    """The first Python that can import module: this one, or Debian's (its python3-pil and python3-matplotlib)."""
    for python in (sys.executable, "/usr/bin/python3"):
        if subprocess.run([python, "-c", f"import {module}"], capture_output=True).returncode == 0:
            return python
    return None


def watch_view(display, window, seconds, work, dark=False):
    """Starts bench/grabber.py on the browser view's area below the strip; None without a Python that has PIL."""
    python = python_with("PIL.ImageGrab")
    if not python:
        return None
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], env=dict(os.environ, DISPLAY=display),
                              capture_output=True, text=True, check=True).stdout
    g = dict(line.split("=", 1) for line in geometry.split())
    # The view lies at (16, 120) in the window and is 953 × 449; the strip covers its top 24 pixels.
    box = [int(g["X"]) + 16, int(g["Y"]) + 120 + 24, 953, 449 - 24]
    out = os.path.join(work, "grabber.json")
    grabber = subprocess.Popen([python, os.path.join(os.path.dirname(os.path.abspath(__file__)), "grabber.py"), display]
                               + [str(v) for v in box] + [str(seconds), out] + (["dark"] if dark else []))
    return grabber, out


def case_refresh_cost(plan, display, work, server):
    """CPU of the program's process tree per refresh of the soak page at interval 1 s: Pagewell ticked by --start,
    BaselineView sending its view to the page again every 1000 ms (baseline-swap: into the view beneath, raised once
    loaded), and the tree's memory at the end. Counted from `settle` s after the first refresh for
    `duration` s; the refreshes are the requests for the page with a token that arrived meanwhile."""
    url = f"http://{plan['host']}{loopserver.SOAK_PAGE}"
    if plan["program"] == "pagewell":
        argv = [prepare_pagewell_folder(dict(plan, settings={"url": url, "interval": 1}), work), "--start",
                *plan.get("arguments", [])]
        argv += ["--fullscreen"] if plan.get("fullscreen") else []
    else:
        argv = [plan["baseline"], url, "1000"] + (["swap"] if plan["program"] == "baseline-swap" else [])
    log = open(os.path.join(work, f"{plan['program']}.log"), "wb")
    process = subprocess.Popen(argv, env=program_env(display, work), cwd=work, stdout=log, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL)
    log.close()

    def refresh(r):
        return r.path == loopserver.SOAK_PAGE and "rn=" in r.query

    if server.wait_for(refresh, 60) is None:
        raise CaseError(f"no refresh of the soak page within 60 s (program exit code {process.poll()})")
    time.sleep(plan["settle"])
    meter = procstats.CpuMeter(process.pid)
    began = time.monotonic()
    time.sleep(plan["duration"])
    cpu = meter.seconds_since_start()
    ended = time.monotonic()
    refreshes = len([r for r in server.snapshot() if refresh(r) and began <= r.arrived < ended])
    if not refreshes or process.poll() is not None:
        raise CaseError(f"{refreshes} refreshes measured (program exit code {process.poll()})")
    return dict(soak.memory(process.pid), cpu_seconds=cpu, refreshes=refreshes, ms_per_refresh=1000 * cpu / refreshes)


def case_drive(plan, display, work, server):
    """Pagewell refreshed `refreshes` times as fast as the page loads: "打开" clicked each time the soak page has said
    that it loaded (beacon=1) or was answered 503 (every `fail_every`th answer, which Pagewell shows as its last good
    page under the strip until the next click brings the page back). The memory of the process tree is read every
    `sample_every` refreshes."""
    url = f"http://{plan['host']}{loopserver.SOAK_PAGE}?beacon=1&dark=1&fail={plan['fail_every']}"
    process, _ = launch(dict(plan, settings={"url": url, "interval": 1}), display, work)
    wait_loaded(server, process, 60)
    window = find_window(display, 15)
    # The first refresh shows the page that the view's readings are then compared with.
    start = server.count()
    click_open(display, window)
    server.wait_from(start, lambda r: r.path == loopserver.SOAK_LOADED, 20)
    time.sleep(1)
    grabber = watch_view(display, window, 0, work, dark=True)

    def ended(r):
        return r.path == loopserver.SOAK_LOADED or (r.path == loopserver.SOAK_PAGE and r.status == 503)

    readings, misses, failed = [], 0, 0
    began = time.monotonic()
    for refresh in range(1, plan["refreshes"] + 1):
        start = server.count()
        click_open(display, window)
        end = server.wait_from(start, ended, 20)
        # The page says it has loaded a moment before the engine tells Pagewell: a click in between makes a load the
        # engine never reports (Qt WebEngine 6.4), whose failure Pagewell cannot see.
        time.sleep(0.03)
        if process.poll() is not None:
            raise CaseError(f"Pagewell ended after {refresh} refreshes (exit code {process.returncode})")
        if end is None:
            misses += 1
        elif end.status == 503:
            failed += 1
            # The strip goes up once the engine has told the load's end.
            time.sleep(0.07)
        if refresh % plan["sample_every"] == 0:
            readings.append(dict(soak.memory(process.pid), refreshes=refresh, t=round(time.monotonic() - began, 1)))
    result = {"readings": readings, "misses": misses, "failed": failed, "seconds": round(time.monotonic() - began, 1)}
    if grabber:
        result.update(view_readings(grabber))
    return result


def view_readings(grabber):
    """Stops bench/grabber.py once it has read the view for a last time: how many readings it took, how many showed
    anything but the page."""
    time.sleep(0.5)
    grabber[0].terminate()
    grabber[0].wait()
    with open(grabber[1]) as f:
        changed = [c for _, c in json.load(f)]
    return {"view_readings": len(changed), "not_the_page": len([c for c in changed if c > 1])}


def stop_everything(keep=()):
    """Every process here was started by this case; the namespace disappears with it anyway, but stopping them
    in order lets the X server clean up."""
    me = os.getpid()
    for sig in (signal.SIGTERM, signal.SIGKILL):
        victims = [pid for pid in procstats.all_stats() if pid != me and pid not in keep]
        for pid in victims:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            try:
                while os.waitpid(-1, os.WNOHANG)[0] > 0:
                    pass
            except ChildProcessError:
                break
            if not [p for p in procstats.all_stats() if p != me]:
                return
            time.sleep(0.05)


def case_soak(plan, display, work, server):
    import soak
    return soak.run(plan, display, work, server, sys.modules[__name__])


CASES = {"startup": case_startup, "memory": case_memory, "cadence": case_cadence, "idle": case_idle,
         "soak": case_soak, "outage": case_outage, "refresh_cost": case_refresh_cost, "drive": case_drive}


def main():
    plan = json.loads(sys.argv[1])
    work = plan["work"]
    os.makedirs(work, exist_ok=True)
    result = {}
    server = None
    try:
        private_namespace_setup()
        if plan["kind"] == "download":
            import download
            result = download.run(plan, work, sys.modules[__name__])
        elif plan["kind"] == "update":
            import update
            result = update.run(plan, work, sys.modules[__name__])
        else:
            server = loopserver.LoopServer(plan["port"], check=plan.get("check", loopserver.CHECK_ANSWER))
            display = ""
            if plan["program"] != "chromium":
                xvfb, display = start_xvfb()
                plan["_xvfb_pid"] = xvfb.pid
            result = CASES[plan["kind"]](plan, display, work, server)
    except (CaseError, subprocess.SubprocessError, OSError) as error:
        result = {"error": str(error)}
    finally:
        stop_everything()
        if server is not None:
            server.close()
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
