"""Profiles behind docs/PERFORMANCE.md, taken the way the benchmarks run the programs.

    unshare --pid --fork --mount-proc --net --kill-child python3 bench/profiling.py <what> <build-dir> <out-dir>

what: "timeline-hang" / "timeline-reset" (when Pagewell's version check, web engine processes and start-page
request happen), "idle" (perf record of all Pagewell processes for 20 s, schedule off) or "update" (perf record
of the updater downloading the benchmark's 256 MiB release, which bench/run --only B5 leaves in
<build-dir>/bench-work). The perf data goes to <out-dir>; read it with perf report -i <out-dir>/perf.data.
"""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import case  # noqa: E402
import download  # noqa: E402
import loopserver  # noqa: E402
import procstats  # noqa: E402

HOST, PORT = "", 0


def start_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[19])


def timeline(build, out, check):
    server = loopserver.LoopServer(PORT, check=check)
    _, display = case.start_xvfb()
    plan = {"program": "pagewell", "pagewell": os.path.join(build, "bin", "Pagewell"), "host": HOST}
    process, started = case.launch(plan, display, out)
    case.wait_start_page(server, process, 30)
    time.sleep(0.5)
    base = start_ticks(process.pid)
    for pid in procstats.tree(process.pid):
        print(f"{(start_ticks(pid) - base) / procstats.CLOCK_TICKS:7.2f} s  process {procstats.read_stat(pid).comm}")
    for request in server.snapshot():
        print(f"{request.arrived - started:7.3f} s  request {request.path}")


def idle(build, out):
    server = loopserver.LoopServer(PORT)
    _, display = case.start_xvfb()
    process, _ = case.launch({"program": "pagewell", "pagewell": os.path.join(build, "bin", "Pagewell"),
                              "host": HOST}, display, out)
    case.wait_loaded(server, process, 60)
    time.sleep(5)
    pids = ",".join(str(p) for p in procstats.tree(process.pid))
    subprocess.run(["perf", "record", "-F", "499", "-g", "-o", os.path.join(out, "perf.data"), "-p", pids, "--",
                    "sleep", "20"], check=True, timeout=60)


def update(build, out):
    release = os.path.join(build, "bench-work", "release-256mib", "release")
    if not os.path.isdir(release):
        raise case.CaseError(f"no release in {release}: run bench/run --only B5 first")
    subprocess.run([os.path.join(case_root(), "deploy", "serve"), "start", release, str(PORT),
                    os.path.join(out, "server")], check=True, timeout=30)
    folder = os.path.join(out, "program")
    os.makedirs(folder)
    shutil.copy2(os.path.join(build, "bin", "update"), folder)
    stub = os.path.join(folder, download.NAME)
    with open(stub, "wb") as f:
        f.write(download.SCRIPT_HEAD)
    os.chmod(stub, 0o755)
    _, display = case.start_xvfb()
    subprocess.run(["perf", "record", "-F", "1999", "--call-graph", "dwarf,16384", "-o",
                    os.path.join(out, "perf.data"), os.path.join(folder, "update")],
                   env=case.program_env(display, out), check=True, timeout=120)


def case_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    global HOST, PORT
    what, build, out = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    HOST, PORT, why_not = case.configured_hosts(build)
    if why_not:
        sys.exit(f"profiling: {why_not}")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    case.private_namespace_setup()
    try:
        if what.startswith("timeline-"):
            timeline(build, out, what.split("-", 1)[1])
        elif what == "idle":
            idle(build, out)
        elif what == "update":
            update(build, out)
        else:
            sys.exit(__doc__)
    finally:
        case.stop_everything()


if __name__ == "__main__":
    main()
