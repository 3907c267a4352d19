"""The download benchmark: `update` fetching one large file from the reference nginx, in unsigned and in signed
mode, against a download that is as safe: `curl -o` into a temporary file beside the target, `fsync` of that file
and a rename over the target, which is what the updater does. Plain `curl -o`, which leaves the bytes in the page
cache only, is measured for information.

prepare_release() runs outside the namespaces and builds the release once; run() is called by case.py inside a
namespace with its own loopback, where the reference server is started on the updater's port.
"""

import os
import shutil
import subprocess
import threading
import time

import procstats

NAME = "Pagewell"
# The payload is a runnable program, so the updater's hand-over to the first listed file starts something real:
# a shell script that ends at once, padded with incompressible bytes to the size under test.
SCRIPT_HEAD = b"#!/bin/sh\nexit 0\n"


def payload_bytes(mib):
    return mib * 1024 * 1024


def prepare_release(runner, mib, key=None):
    """A release folder (deploy/make-release) whose only listed file is a payload of mib MiB named Pagewell,
    signed with the minisign secret key when one is given."""
    base = os.path.join(runner.work, f"release-{mib}mib" + ("-signed" if key else ""))
    release = os.path.join(base, "release")
    stamp = os.path.join(base, "ready")
    if os.path.exists(stamp):
        return release
    shutil.rmtree(base, ignore_errors=True)
    source = os.path.join(base, "program")
    os.makedirs(source)
    path = os.path.join(source, NAME)
    with open(path, "wb") as f:
        f.write(SCRIPT_HEAD)
        left = payload_bytes(mib) - len(SCRIPT_HEAD)
        while left > 0:
            block = min(left, 8 * 1024 * 1024)
            f.write(os.urandom(block))
            left -= block
    os.chmod(path, 0o755)
    # A file version other than any the installed stub could report, so the updater always goes ahead.
    subprocess.run([os.path.join(runner_root(), "deploy", "make-release"), source, release, "--local", "--tag", "v1.6",
                    "--file-version", "9.9.9.9", "--files", NAME] + (["--sign", key] if key else []),
                   check=True, timeout=120,
                   stdout=subprocess.DEVNULL)
    open(stamp, "w").close()
    return release


def runner_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _adopt(pid_file):
    """nginx's master runs as a daemon, so its parent is this namespace's first process, the case runner. Unless
    the runner collects it when it ends, it stays a zombie and deploy/serve stop waits in vain for it to go."""
    with open(pid_file) as f:
        pid = int(f.read().strip())

    def collect():
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass

    threading.Thread(target=collect, daemon=True).start()


def _writing_into(pid, folder):
    """Whether the process holds a file in folder open: its temporary file, which may have no name there yet
    (O_TMPFILE), so the open descriptors are looked at rather than the folder."""
    try:
        descriptors = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for fd in descriptors:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith(folder + os.sep):
                return True
        except OSError:
            pass
    return False


def _in_place(path, expected):
    try:
        return os.stat(path).st_size == expected
    except OSError:
        return False


def run(plan, work, case):
    """case: the calling case module, whose helpers (Xvfb, environment, CaseError) this uses."""
    expected = payload_bytes(plan["mib"])
    serve = os.path.join(plan["root"], "deploy", "serve")
    runtime = os.path.join(work, "server")
    # A rate, when given, is nginx's limit_rate: the speed of a real line instead of loopback's.
    subprocess.run([serve, "start", plan["release"], str(plan["port"]), runtime], check=True, timeout=30,
                   env=dict(os.environ, PAGEWELL_SERVE_LIMIT_RATE=plan.get("rate", "0")),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _adopt(os.path.join(runtime, "nginx.pid"))
    folder = os.path.join(work, "program")
    os.makedirs(folder)
    target = os.path.join(folder, NAME)
    # Whatever earlier runs left for the disk to write (plain curl leaves it all) is written before this one starts.
    os.sync()
    try:
        if plan["program"].startswith("update"):
            result = _run_update(plan, work, folder, target, expected, case)
        else:
            result = _run_curl(plan, target, expected, case, durable=plan["program"] == "curl-durable")
    finally:
        subprocess.run([serve, "stop", runtime], timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = result["done"] - result["requested"]
    result.update(seconds=seconds, mib_per_s=expected / 1024 / 1024 / seconds)
    return result


def _run_update(plan, work, folder, target, expected, case):
    shutil.copy2(plan["updater"], os.path.join(folder, "update"))
    # The installed refresher the update replaces: a stand-in without a file version, which the updater treats
    # as older than any release.
    with open(target, "wb") as f:
        f.write(SCRIPT_HEAD)
    os.chmod(target, 0o755)
    _, display = case.start_xvfb()
    env = case.program_env(display, work)
    log = open(os.path.join(work, "update.log"), "wb")
    launched = time.time()
    process = subprocess.Popen([os.path.join(folder, "update")], env=env, cwd=folder, stdout=log,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    log.close()
    peak = 0
    requested = done = None
    deadline = time.monotonic() + max(120, plan["mib"])
    while time.monotonic() < deadline and process.poll() is None:
        # VmHWM is the process's own high-water mark, so sampling only has to catch the process alive.
        peak = max(peak, procstats.status_kb(process.pid, "VmHWM") or 0)
        if requested is None and _writing_into(process.pid, folder):
            # The updater opens its temporary file beside the target just before it sends the file request.
            requested = time.time()
        if done is None and _in_place(target, expected):
            done = time.time()
            # The transfer is over; one more reading of the high-water mark covers its last moments.
            time.sleep(0.05)
            peak = max(peak, procstats.status_kb(process.pid, "VmHWM") or 0)
            break
        time.sleep(0.005)
    # Measured; the hand-over that follows is no part of it, and the server stops sooner without the updater's
    # open connection.
    process.kill()
    process.wait(timeout=10)
    if done is None or requested is None:
        raise case.CaseError(f"update did not put the file in place (exit code {process.poll()})")
    return {"requested": requested, "done": done, "peak_rss_kib": peak, "request_after_s": requested - launched}


def _run_curl(plan, target, expected, case, durable):
    url = f"http://{plan['host']}/updata/{NAME}"
    partial = target + ".part" if durable else target
    # curl sends its request as soon as it has started, so its start is the request.
    requested = time.time()
    subprocess.run(["curl", "-sS", "--fail", "-o", partial, url], check=True, timeout=600)
    if durable:
        fd = os.open(partial, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(partial, target)
    done = time.time()
    if not _in_place(target, expected):
        raise case.CaseError("curl did not fetch the whole file")
    return {"requested": requested, "done": done}
