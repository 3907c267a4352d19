"""Process figures read from /proc: process trees, proportional memory, CPU time and peak resident memory."""

import os

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Stat:
    def __init__(self, pid, comm, ppid, cpu_ticks, children_ticks):
        self.pid = pid
        self.comm = comm
        self.ppid = ppid
        self.cpu_ticks = cpu_ticks
        self.children_ticks = children_ticks


def read_stat(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            text = f.read().decode("latin-1")
    except OSError:
        return None
    # The command name sits in parentheses and may itself hold blanks or parentheses.
    open_paren, close_paren = text.index("("), text.rindex(")")
    fields = text[close_paren + 2:].split()
    # fields[0] is field 3 (state); utime, stime, cutime, cstime are fields 14 to 17.
    return Stat(pid, text[open_paren + 1:close_paren], int(fields[1]), int(fields[11]) + int(fields[12]),
                int(fields[13]) + int(fields[14]))


def all_stats():
    stats = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            stat = read_stat(int(name))
            if stat is not None:
                stats[stat.pid] = stat
    return stats


def tree(root_pid, stats=None):
    """root_pid and every process descended from it."""
    stats = all_stats() if stats is None else stats
    children = {}
    for stat in stats.values():
        children.setdefault(stat.ppid, []).append(stat.pid)
    found, pending = [], [root_pid]
    while pending:
        pid = pending.pop()
        if pid in stats:
            found.append(pid)
            pending.extend(children.get(pid, []))
    return found


def status_kb(pid, key):
    """A "kB" line of /proc/<pid>/status (VmHWM, VmRSS...), or None once the process has gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def pss_kb(pid):
    """Proportional set size: a shared page is split between all the processes that map it, so a sum over a
    process tree counts once a page that only the tree maps, and only the tree's share of a page that other programs
    on the machine map too (another Qt WebEngine program running meanwhile lowers the figure)."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


class CpuMeter:
    """CPU time a process tree used between construction and a later reading."""

    def __init__(self, root_pid):
        self.root_pid = root_pid
        self.start = self._read()

    def _read(self):
        stats = all_stats()
        return {pid: stats[pid] for pid in tree(self.root_pid, stats)}

    def seconds_since_start(self):
        # A process that ends inside the tree hands its time to its parent's children counters, so the tree's
        # totals before and after stay comparable even when processes come and go.
        def total(stats):
            return sum(s.cpu_ticks + s.children_ticks for s in stats.values())

        return (total(self._read()) - total(self.start)) / CLOCK_TICKS
