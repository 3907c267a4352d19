"""The download benchmark: `update` fetching a release of two large files from the reference nginx, in unsigned and in
signed mode, against a download that is as safe: `curl -o` of both files into temporary files beside their targets,
`fsync` of each and a rename over its target, which is what the updater does. Plain `curl -o`, which leaves the bytes
in the page cache only, is measured for information.

The updater fetches the listed files one after the other, each after a pause of one to two seconds, and puts them in
place together only after a further 2 s and the stop of the refresher. So its throughput is all the release's bytes
over the time of its transfers: each from its file request (nginx's timed log) to its file complete on the disk beside
its target (the `.part` file at its full length and closed, which the updater does after flushing it). The time from
the first request to the last file in place, pauses included, is kept as well.

prepare_release() runs outside the namespaces and builds the release once; run() is called by case.py inside a
namespace with its own loopback, where the reference server is started on the updater's port.
"""

import os
import shutil
import subprocess
import threading
import time

import procstats

# The release: the refresher's program file first (it is what the hand-over starts) and a second file of the same
# size, so that the two transfers carry the release's bytes in halves.
NAMES = ("Pagewell", "pagewell-data.bin")
# The payloads are incompressible; the first is a runnable program, so the updater's hand-over to the first listed file
# starts something real: a shell script that ends at once, padded with random bytes to its size.
SCRIPT_HEAD = b"#!/bin/sh\nexit 0\n"


def payload_bytes(mib):
    return mib * 1024 * 1024


def file_bytes(mib):
    """The size of each of the release's files: the halves of mib MiB."""
    return payload_bytes(mib) // len(NAMES)


def prepare_release(runner, mib, key=None):
    """A release folder (deploy/make-release) whose file list names the two files of mib / 2 MiB each, signed with the
    minisign secret key when one is given."""
    base = os.path.join(runner.work, f"release-{mib}mib-{len(NAMES)}files" + ("-signed" if key else ""))
    release = os.path.join(base, "release")
    stamp = os.path.join(base, "ready")
    if os.path.exists(stamp):
        return release
    shutil.rmtree(base, ignore_errors=True)
    source = os.path.join(base, "program")
    os.makedirs(source)
    for name in NAMES:
        path = os.path.join(source, name)
        with open(path, "wb") as f:
            head = SCRIPT_HEAD if name == NAMES[0] else b""
            f.write(head)
            left = file_bytes(mib) - len(head)
            while left > 0:
                block = min(left, 8 * 1024 * 1024)
                f.write(os.urandom(block))
                left -= block
        os.chmod(path, 0o755 if name == NAMES[0] else 0o644)
    # A file version other than any the installed stub could report, so the updater always goes ahead.
    subprocess.run([os.path.join(runner_root(), "deploy", "make-release"), source, release, "--local", "--tag", "v1.6",
                    "--file-version", "9.9.9.9", "--files", "|".join(NAMES)] + (["--sign", key] if key else []),
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


def _open_files(pid):
    """The paths of the files the process holds open."""
    try:
        descriptors = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return set()
    found = set()
    for fd in descriptors:
        try:
            found.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            pass
    return found


def _complete_transfer(folder, name, expected, open_files):
    """Whether the updater's temporary file for name is at its full length and closed: it closes the file once the
    bytes are flushed to the disk, and leaves it beside its target for the hand-over."""
    for entry in os.listdir(folder):
        if entry.startswith(name + ".") and entry.endswith(".part"):
            path = os.path.join(folder, entry)
            if _in_place(path, expected) and path not in open_files:
                return True
    return False


def _in_place(path, expected):
    try:
        return os.stat(path).st_size == expected
    except OSError:
        return False


def run(plan, work, case):
    """case: the calling case module, whose helpers (Xvfb, environment, CaseError) this uses."""
    import update
    expected = file_bytes(plan["mib"])
    serve = os.path.join(plan["root"], "deploy", "serve")
    runtime = os.path.join(work, "server")
    # A rate, when given, is nginx's limit_rate: the speed of a real line instead of loopback's. The timed log gives
    # the moment each file request began.
    subprocess.run([serve, "start", plan["release"], str(plan["port"]), runtime], check=True, timeout=30,
                   env=dict(os.environ, PAGEWELL_SERVE_LIMIT_RATE=plan.get("rate", "0"), PAGEWELL_SERVE_TIMED_LOG="1"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _adopt(os.path.join(runtime, "nginx.pid"))
    folder = os.path.join(work, "program")
    os.makedirs(folder)
    # Whatever earlier runs left for the disk to write (plain curl leaves it all) is written before this one starts.
    os.sync()
    try:
        if plan["program"].startswith("update"):
            requests = update.TimedLog(os.path.join(runtime, "timed.log"))
            result = _run_update(plan, work, folder, expected, case, requests)
        else:
            result = _run_curl(plan, folder, expected, case, durable=plan["program"] == "curl-durable")
    finally:
        subprocess.run([serve, "stop", runtime], timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    total = expected * len(NAMES)
    seconds = sum(done - requested for requested, done in result["transfers"])
    result.update(seconds=seconds, mib_per_s=total / 1024 / 1024 / seconds)
    return result


def _run_update(plan, work, folder, expected, case, requests):
    shutil.copy2(plan["updater"], os.path.join(folder, "update"))
    target = os.path.join(folder, NAMES[0])
    # The installed refresher the update replaces: a stand-in without a file version, which the updater treats
    # as older than any release. The second file is new to the folder.
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
    complete = {}
    in_place = None
    deadline = time.monotonic() + max(120, plan["mib"])
    while time.monotonic() < deadline and process.poll() is None:
        # VmHWM is the process's own high-water mark, so sampling only has to catch the process alive.
        peak = max(peak, procstats.status_kb(process.pid, "VmHWM") or 0)
        held = _open_files(process.pid)
        for name in NAMES:
            if name not in complete and _complete_transfer(folder, name, expected, held):
                complete[name] = time.time()
        if len(complete) == len(NAMES) and all(_in_place(os.path.join(folder, n), expected) for n in NAMES):
            # The hand-over has renamed every file into place; what follows it is no part of the figure.
            in_place = time.time()
            break
        time.sleep(0.005)
    # The server stops sooner without the updater's open connection.
    process.kill()
    process.wait(timeout=10)
    if in_place is None:
        raise case.CaseError(f"update did not put the files in place (exit code {process.poll()}, complete: "
                             f"{', '.join(complete) or 'none'})")
    began = {}
    for r in requests.read():
        if r.path.startswith("/updata/") and r.path[len("/updata/"):] in NAMES:
            began.setdefault(r.path[len("/updata/"):], r.began)
    if set(began) != set(NAMES):
        raise case.CaseError(f"the server saw requests for {', '.join(began) or 'none'} of {', '.join(NAMES)}")
    transfers = [(began[n], complete[n]) for n in NAMES]
    return {"transfers": transfers, "peak_rss_kib": peak, "request_after_s": began[NAMES[0]] - launched,
            "span": complete[NAMES[-1]] - began[NAMES[0]], "in_place_s": in_place - began[NAMES[0]]}


def _run_curl(plan, folder, expected, case, durable):
    argv = ["curl", "-sS", "--fail"]
    targets = [os.path.join(folder, name) for name in NAMES]
    partials = [t + ".part" if durable else t for t in targets]
    for name, partial in zip(NAMES, partials):
        argv += ["-o", partial, f"http://{plan['host']}/updata/{name}"]
    # One curl for both files, on one connection; it sends its first request as soon as it has started, so its
    # start is the request.
    requested = time.time()
    subprocess.run(argv, check=True, timeout=600)
    if durable:
        for partial, target in zip(partials, targets):
            fd = os.open(partial, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            os.rename(partial, target)
    done = time.time()
    if not all(_in_place(t, expected) for t in targets):
        raise case.CaseError("curl did not fetch both files whole")
    return {"transfers": [(requested, done)]}
