"""Process bookkeeping for the benchmark: CPU time and memory read from /proc, and
ending the processes we started, by PID only."""

import os
import signal
import subprocess
import time

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User + system time of the process and of its waited-for children, in seconds."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    # fields[0] is the state (field 3); utime, stime, cutime, cstime are fields 14-17.
    return sum(int(value) for value in fields[11:15]) / TICKS


def memory_kb(pid, key):
    """A VmRSS/VmHWM-style line of /proc/PID/status in kB, 0 when gone."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def total_cpu(pids):
    return sum(cpu_seconds(pid) for pid in pids)


def total_memory_mb(pids, key):
    return sum(memory_kb(pid, key) for pid in pids) / 1024.0


def end_all(processes, timeout=5):
    """SIGTERM to each process we started, then SIGKILL to those still there when the
    shared deadline has passed."""
    for process in processes:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    deadline = time.monotonic() + timeout
    for process in processes:
        try:
            process.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
