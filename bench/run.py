"""Side-by-side benchmark of SRT-to-RIST relays on loopback.

Every measurement: a pacer writes the deterministic TS-like payload at an exact rate
into one pipe per stream; srt-live-transmit callers carry it over SRT to the relay under
test; the relay forwards it over RIST to one ristreceiver, which hands it to a UDP sink
that checks every byte. The relay's CPU time and memory come from /proc.

    python3 bench/run.py [--quick | --soak | --cpu-rounds N] [--relays sluice,bare,...] [--out DIR]
"""

import argparse
import json
import os
import platform
import socket
import subprocess
import sys
import threading
import time

import procs
import relays

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from harness import free_port  # noqa: E402

UNIT = 1316
PACKETS_PER_UNIT = 7
PACKET = 188
HOLD_SECONDS = 2.0
LOSS_LIMIT = 0.0001  # 0.01 %
RELAY_CPU, HARNESS_CPU = "1", "0"


class Settings:
    def __init__(self, mode, build_dir, out_dir):
        self.mode = mode
        self.build_dir = build_dir
        self.out_dir = out_dir
        quick = mode == "quick"
        self.ladder_rates = [10, 50, 200] if quick else [5, 10, 25, 50, 100, 150, 200, 250, 300, 350, 400, 500, 600, 800,
                                                         1000]
        self.ladder_seconds = 3 if quick else 8
        self.bisections = 0 if quick else 3
        self.concurrency = [16] if quick else [1, 16, 50]
        self.concurrency_seconds = 4 if quick else 15
        self.profile_seconds = 0 if quick else 20
        self.soak_rates = [50, 100, 200]
        self.soak_seconds = 180
        self.bare_rist_params = ""
        self.shared_callers = False


def harness_spawn(argv, log_path, pinned, **kwargs):
    if pinned:
        argv = ["taskset", "-c", HARNESS_CPU] + argv
    with open(log_path, "wb") as log:
        return subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, **kwargs)


def wait_for_text(path, text, count, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, "rb") as file:
            if file.read().decode("utf-8", "replace").count(text) >= count:
                return True
        time.sleep(0.05)
    return False


def distinct_free_ports():
    """free_port that never gives the same port twice: the ports of one measurement are
    asked for in a row and bound only later, by the relay's processes."""
    given = set()

    def next_port(kind=socket.SOCK_DGRAM):
        port = free_port(kind)
        while port in given:
            port = free_port(kind)
        given.add(port)
        return port
    return next_port


def start_callers(settings, relay, streams, run_dir, pinned, harness):
    """One srt-live-transmit per stream, fed from a pipe, each added to `harness` as it
    starts (so that a failed start still ends them); returns the pipes' write ends."""
    if settings.shared_callers:
        return start_shared_callers(settings, relay, streams, run_dir, pinned, harness)
    writers = []
    for k in range(streams):
        port, stream_id = relay.caller_target(k)
        read_end, write_end = os.pipe()
        log_path = os.path.join(run_dir, f"caller{k}.log")
        harness.append(harness_spawn(
            ["srt-live-transmit", "-v", "-chunk:1316", "file://con",
             f"srt://127.0.0.1:{port}?streamid={stream_id}"], log_path, pinned, stdin=read_end))
        os.close(read_end)
        writers.append(write_end)
        if not wait_for_text(log_path, "SRT target connected", 1, 10):
            for fd in writers:
                os.close(fd)
            raise RuntimeError(f"caller {k} did not connect to {relay.name}")
    return writers


def start_shared_callers(settings, relay, streams, run_dir, pinned, harness):
    """All callers in one srt_callers process, fed from one pipe per stream."""
    pipes = [os.pipe() for _ in range(streams)]
    targets = []
    for k, (read_end, _) in enumerate(pipes):
        port, stream_id = relay.caller_target(k)
        targets.append(f"{read_end}:{port}:{stream_id}")
    log_path = os.path.join(run_dir, "callers.log")
    harness.append(harness_spawn([os.path.join(settings.build_dir, "bench", "srt_callers")] + targets,
                                 log_path, pinned, pass_fds=[read_end for read_end, _ in pipes]))
    for read_end, _ in pipes:
        os.close(read_end)
    writers = [write_end for _, write_end in pipes]
    if not wait_for_text(log_path, "SRT target connected", streams, 10 + streams / 2):
        for fd in writers:
            os.close(fd)
        raise RuntimeError(f"the callers did not all connect to {relay.name}")
    return writers


class RssSampler(threading.Thread):
    """Samples the relay's summed VmRSS twice a second while a run lasts."""

    def __init__(self, pids):
        super().__init__(daemon=True)
        self.pids = pids
        self.samples = []
        self.done = threading.Event()
        self.started = time.monotonic()

    def run(self):
        while not self.done.wait(0.5):
            self.samples.append((round(time.monotonic() - self.started, 2),
                                 round(procs.total_memory_mb(self.pids, "VmRSS"), 2)))


def profile_relay(pids, seconds, out_path):
    """perf record of the relay's processes (software clock: the VM has no PMU)."""
    data = out_path + ".data"
    perf = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "-g", "-o", data,
                             "-p", ",".join(str(pid) for pid in pids), "--", "sleep", str(seconds)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return perf, data


def write_profile_report(data, out_path):
    with open(out_path, "w") as report:
        for sort in ("dso", "comm,dso", "dso,sym"):
            result = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                                     "--sort", sort, "-g", "none", "--percent-limit", "0.5"],
                                    capture_output=True, text=True)
            report.write(f"## perf report --sort {sort}\n{result.stdout}\n")


def measure(settings, relay_name, streams, rate_mbps, seconds, pinned, profile_name=None):
    """One run: `streams` streams of `rate_mbps` each for `seconds`. Returns its figures."""
    run_dir = relays.new_run_dir()
    rate_bps = rate_mbps * 1_000_000
    packets = int(rate_bps * seconds / (8 * UNIT)) * PACKETS_PER_UNIT
    relay = relays.make(relay_name, run_dir, RELAY_CPU if pinned else None, settings.build_dir)
    relay.rist_params = settings.bare_rist_params
    harness = []
    bench_bin = os.path.join(settings.build_dir, "bench")
    ports = distinct_free_ports()
    try:
        rist_port = ports()
        if relay.receiver_profile == 0:
            while rist_port % 2:
                rist_port = ports()
        sink_port = ports()
        sink_log = os.path.join(run_dir, "sink.json")
        sink = harness_spawn([os.path.join(bench_bin, "sink"), str(sink_port), str(streams), str(packets),
                              str(seconds + 60), "4"], sink_log, pinned)
        harness.append(sink)
        wait_for_text(sink_log, "ready", 1, 10)
        if relay.takes_udp:
            relay.start(streams, sink_port, ports)
        else:
            harness.append(harness_spawn(
                ["ristreceiver", "-p", str(relay.receiver_profile), "-S", "0", "-v", "3",
                 "-i", f"rist://@127.0.0.1:{rist_port}", "-o", f"udp://127.0.0.1:{sink_port}"],
                os.path.join(run_dir, "ristreceiver.log"), pinned))
            relay.start(streams, rist_port, ports)
        time.sleep(0.5)
        idle_rss = procs.total_memory_mb(relay.pids(), "VmRSS")
        if relay.takes_udp:
            writers, targets = [], relay.pacer_targets(streams)
        else:
            writers = start_callers(settings, relay, streams, run_dir, pinned, harness)
            targets = [str(fd) for fd in writers]
        time.sleep(0.5)

        pids = relay.pids()
        sampler = RssSampler(pids)
        cpu_before = procs.total_cpu(pids)
        harness_before = procs.total_cpu([p.pid for p in harness])
        wall_before = time.monotonic()
        sampler.start()
        pacer = harness_spawn([os.path.join(bench_bin, "pacer"), str(rate_bps), str(seconds), str(HOLD_SECONDS)]
                              + targets, os.path.join(run_dir, "pacer.json"), pinned, pass_fds=writers)
        for fd in writers:
            os.close(fd)
        perf = None
        if profile_name:
            time.sleep(2)
            profile_path = os.path.join(settings.out_dir, f"profile_{profile_name}.txt")
            perf, perf_data = profile_relay(pids, max(1, seconds - 4), profile_path)
        pacer.wait(seconds + HOLD_SECONDS + 60)
        sink.wait(90)
        wall = time.monotonic() - wall_before
        cpu = procs.total_cpu(pids) - cpu_before
        harness_cpu = procs.total_cpu([p.pid for p in harness]) - harness_before
        peak_rss = procs.total_memory_mb(pids, "VmHWM")
        sampler.done.set()
        if perf:
            perf.wait(60)
            write_profile_report(perf_data, profile_path)
            os.remove(perf_data)
        alive = len(relay.pids()) == len(pids)
        with open(os.path.join(run_dir, "pacer.json")) as file:
            pacer_report = json.loads(file.read().strip().splitlines()[-1])
        with open(sink_log) as file:
            sink_report = json.loads(file.read().strip().splitlines()[-1])
    finally:
        relay.stop()
        procs.end_all(harness)

    delivered = sink_report["delivered"]
    first_unit_lost = sink_report["missing_in_first_unit"]
    # Loss after the first unit: a lost first unit is start-up loss, reported apart.
    losses = [1 - (d + lost) / packets for d, lost in zip(delivered, first_unit_lost)]
    forwarded_gb = sum(delivered) * PACKET / 1e9
    result = {
        "relay": relay_name, "streams": streams, "rate_mbps": rate_mbps, "seconds": seconds, "pinned": pinned,
        "loss": 1 - sum(delivered) / (packets * streams), "worst_stream_loss": max(losses),
        "streams_missing_first_unit": sum(1 for lost in first_unit_lost if lost),
        "corrupt": sink_report["corrupt"], "duplicates": sum(sink_report["duplicates"]),
        "sink_socket_drops": sink_report["socket_drops"],
        "cpu_s": round(cpu, 3), "forwarded_gb": round(forwarded_gb, 4),
        "cpu_s_per_gb": round(cpu / forwarded_gb, 2) if forwarded_gb > 0 else None,
        "idle_rss_mb": round(idle_rss, 1), "peak_rss_mb": round(peak_rss, 1),
        "max_rss_mb": max((mb for _, mb in sampler.samples), default=0.0),
        "harness_cpu_share": round(harness_cpu / wall, 2), "relay_alive": alive,
        "pacer_max_lag_units": pacer_report["max_lag_units"], "pacer_send_seconds": pacer_report["send_seconds"],
        "worst_stream": sink_report["worst_stream"],
        "missing_in_worst_stream": sink_report["missing_in_worst_stream"],
        "latency_ms": sink_report["latency_ms"],
    }
    if settings.mode == "soak":
        result["rss_series"] = sampler.samples
    result["ok"] = result["worst_stream_loss"] < LOSS_LIMIT and result["corrupt"] == 0
    if result["ok"]:
        subprocess.run(["rm", "-rf", run_dir])
    else:
        result["run_dir"] = run_dir
    print(f"  {relay_name:9} n={streams:2} {rate_mbps:6.1f} Mbit/s  loss {result['loss'] * 100:8.4f} %  "
          f"worst {result['worst_stream_loss'] * 100:8.4f} %  first unit lost x{result['streams_missing_first_unit']}  "
          f"cpu/GB {result['cpu_s_per_gb']}  "
          f"peak {peak_rss:7.1f} MB  harness {result['harness_cpu_share']:.2f} core  "
          f"lag {pacer_report['max_lag_units']}  latency {sink_report['latency_ms']['median']:.2f}/"
          f"{sink_report['latency_ms']['p99']:.2f} ms", flush=True)
    return result


def ladder_step(settings, relay_name, rate, steps):
    """One rung; a lossy rung is measured once more (the machine is shared) and the
    second result decides. Both are kept in `steps`."""
    step = measure(settings, relay_name, 1, rate, settings.ladder_seconds, pinned=True)
    steps.append(step)
    if not step["ok"]:
        step["retried"] = True
        step = measure(settings, relay_name, 1, rate, settings.ladder_seconds, pinned=True)
        steps.append(step)
    return step


def ladders(settings, names):
    """For every relay: rates from the ladder until the first lossy one, then bisection
    below it; 50 and 200 Mbit/s are always measured for the CPU comparison. The relays
    take turns at every rung, so that load from elsewhere on the machine falls on all
    of them alike rather than on whichever relay's ladder was running."""
    state = {name: {"steps": [], "highest_ok_mbps": 0, "lowest_lossy_mbps": None} for name in names}

    def climb(name, rate):
        ladder = state[name]
        if ladder_step(settings, name, rate, ladder["steps"])["ok"]:
            ladder["highest_ok_mbps"] = max(ladder["highest_ok_mbps"], rate)
        else:
            ladder["lowest_lossy_mbps"] = rate

    for rate in settings.ladder_rates:
        for name in names:
            if state[name]["lowest_lossy_mbps"] is None:
                climb(name, rate)
    for _ in range(settings.bisections):
        for name in names:
            ladder = state[name]
            if ladder["lowest_lossy_mbps"] is not None and ladder["highest_ok_mbps"] > 0:
                climb(name, round((ladder["highest_ok_mbps"] + ladder["lowest_lossy_mbps"]) / 2, 1))
    for rate in (50, 200):
        for name in names:
            ladder = state[name]
            if ladder["highest_ok_mbps"] > 0 and all(s["rate_mbps"] != rate for s in ladder["steps"]):
                ladder["steps"].append(measure(settings, name, 1, rate, settings.ladder_seconds, pinned=True))
    return state


def cpu_rounds(settings, names, rounds, loads):
    """The CPU comparison alone, repeated: per round every relay at each load (by default
    1 x 50 and 1 x 200 Mbit/s, pinned, and 50 x 2 Mbit/s, not pinned), taking turns, so
    that the median of the rounds is not one unlucky moment on a shared machine."""
    runs = []
    for number in range(rounds):
        print(f"round {number + 1} of {rounds}", flush=True)
        for streams, rate in loads:
            seconds = settings.ladder_seconds if streams == 1 else settings.concurrency_seconds
            for name in names:
                runs.append(measure_or_note(settings, name, streams, rate, seconds, pinned=streams == 1))
    return runs


def measure_or_note(settings, relay_name, streams, rate_mbps, seconds, pinned):
    """measure, or a record of why it could not (a relay that did not take its
    callers), so that one failure does not end a long run."""
    try:
        return measure(settings, relay_name, streams, rate_mbps, seconds, pinned)
    except RuntimeError as error:
        print(f"  {relay_name:9} n={streams:2} {rate_mbps:6.1f} Mbit/s  failed: {error}", flush=True)
        return {"relay": relay_name, "streams": streams, "rate_mbps": rate_mbps, "failed": str(error),
                "cpu_s_per_gb": None, "worst_stream_loss": None}


def machine():
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "")
    with open("/proc/loadavg") as loadavg:
        load = loadavg.read().split()[:3]
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(), "loadavg_start": load,
            "started": time.strftime("%Y-%m-%d %H:%M:%S")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_const", dest="mode", const="quick")
    mode.add_argument("--soak", action="store_const", dest="mode", const="soak")
    mode.add_argument("--cpu-rounds", type=int, default=0,
                      help="only the CPU comparison (50, 200 and 50 x 2 Mbit/s), this many rounds")
    parser.add_argument("--relays", default="")
    parser.add_argument("--cpu-loads", default="1x50,1x200,50x2",
                        help="the loads of each CPU round, STREAMSxMBITS, comma-separated")
    parser.add_argument("--concurrency", default="", help="stream counts, comma-separated (default 1,16,50)")
    parser.add_argument("--no-profile", action="store_true", help="skip the perf profiles")
    parser.add_argument("--soak-rates", default="", help="Mbit/s, comma-separated (default 50,100,200)")
    parser.add_argument("--soak-seconds", type=int, default=0, help="length of each soak run (default 180)")
    parser.add_argument("--bare-rist-params", default="",
                        help="query appended to the bare relay's RIST URL, to try librist options")
    parser.add_argument("--binary", action="append", default=[], metavar="NAME-LABEL=PATH",
                        help="an extra relay that runs another build of sluice or bare (e.g. sluice-main=...)")
    parser.add_argument("--shared-callers", action="store_true",
                        help="every caller in one srt_callers process instead of one srt-live-transmit each")
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    args = parser.parse_args()
    if args.cpu_rounds:
        args.mode = "cpu"
    settings = Settings(args.mode or "full", os.path.abspath(args.build_dir), os.path.abspath(args.out))
    if args.concurrency:
        settings.concurrency = [int(n) for n in args.concurrency.split(",")]
    if args.no_profile:
        settings.profile_seconds = 0
    if args.soak_rates:
        settings.soak_rates = [float(rate) for rate in args.soak_rates.split(",")]
    if args.soak_seconds:
        settings.soak_seconds = args.soak_seconds
    settings.bare_rist_params = args.bare_rist_params
    settings.shared_callers = args.shared_callers
    for entry in args.binary:
        name, path = entry.split("=", 1)
        relays.other_binaries[name] = os.path.abspath(path)
    os.makedirs(settings.out_dir, exist_ok=True)
    names = args.relays.split(",") if args.relays else relays.available()
    if settings.mode == "soak" and not args.relays:
        names = ["sluice", "bare"]

    results = {"mode": settings.mode, "machine": machine(), "relays": names,
               "bare_rist_params": settings.bare_rist_params, "shared_callers": settings.shared_callers}
    if settings.mode == "cpu":
        loads = [tuple(float(n) if i else int(n) for i, n in enumerate(load.split("x")))
                 for load in args.cpu_loads.split(",")]
        results["cpu_rounds"] = cpu_rounds(settings, names, args.cpu_rounds, loads)
    elif settings.mode == "soak":
        results["soak"] = [measure(settings, name, 1, rate, settings.soak_seconds, pinned=True)
                           for rate in settings.soak_rates for name in names]
    else:
        print("rate ladder", flush=True)
        results["ladder"] = ladders(settings, names)
        results["concurrency"] = []
        forwarding = [name for name in names if results["ladder"][name]["highest_ok_mbps"] > 0]
        for streams in settings.concurrency:
            for name in forwarding:
                print(f"concurrency: {name} x{streams}", flush=True)
                results["concurrency"].append(
                    measure(settings, name, streams, 2, settings.concurrency_seconds, pinned=False))
        results["profile"] = []
        for name in ("sluice", "bare"):
            if settings.profile_seconds and name in names:
                print(f"profile: {name}", flush=True)
                results["profile"] += [
                    measure(settings, name, 1, 200, settings.profile_seconds, pinned=True,
                            profile_name=f"{name}_200mbit"),
                    measure(settings, name, 50, 2, settings.profile_seconds, pinned=False,
                            profile_name=f"{name}_50x2mbit")]
    with open("/proc/loadavg") as loadavg:
        results["machine"]["loadavg_end"] = loadavg.read().split()[:3]
    path = os.path.join(settings.out_dir, f"{settings.mode}.json")
    with open(path, "w") as file:
        json.dump(results, file, indent=1)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
