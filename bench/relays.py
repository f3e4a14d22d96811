"""The relays the benchmark compares. Each one listens for SRT callers on loopback and
forwards to one RIST receiver on 127.0.0.1; it knows its own processes so that the
runner can read their CPU time and memory from /proc."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import procs


def udp_bound(port):
    """True when some socket is bound to the UDP port (read from /proc/net/udp and udp6:
    sluice's dual-stack listener shows only in the second)."""
    rows = []
    for path in ("/proc/net/udp", "/proc/net/udp6"):
        with open(path) as table:
            rows += table.readlines()[1:]
    return any(int(row.split()[1].rsplit(":", 1)[1], 16) == port for row in rows)


def wait_for_ports(ports, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if all(udp_bound(port) for port in ports):
            return
        time.sleep(0.05)
    raise RuntimeError(f"relay ports {ports} never bound")


class Relay:
    """Base: `start` brings up the relay for `streams` callers; `caller_target(k)` is
    where caller k connects (port, stream id); `pids` are the processes to measure."""

    name = ""
    receiver_profile = 1  # librist main profile on the receiving side
    takes_udp = False  # fed by the pacer over UDP and sending to the sink: no callers, no receiver
    rist_params = ""  # librist URL options, for the relays that take them

    def __init__(self, run_dir, cpus=None):
        self.run_dir = run_dir
        self.cpus = cpus
        self.processes = []

    def spawn(self, argv, log_name, **kwargs):
        if self.cpus:
            argv = ["taskset", "-c", self.cpus] + argv
        with open(os.path.join(self.run_dir, log_name), "wb") as log:
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                       **kwargs)
        self.processes.append(process)
        return process

    def pids(self):
        return [process.pid for process in self.processes if process.poll() is None]

    def stop(self):
        procs.end_all(self.processes)
        self.processes = []


class OnePortRelay(Relay):
    """A relay binary that takes every caller on one SRT port."""

    def __init__(self, run_dir, cpus, binary):
        super().__init__(run_dir, cpus)
        self.binary = binary

    def caller_target(self, k):
        return self.srt_port, f"bench{k}"


class SluiceRelay(OnePortRelay):
    """sluice with one RIST peer per stream, like the other relays; with
    `default_setup` it runs without `ignore`, so the aggregate peer sends every
    packet a second time, as an operator's defaults do."""
    name = "sluice"
    default_setup = False

    def start(self, streams, rist_port, free_port):
        self.srt_port = free_port()
        work = os.path.join(self.run_dir, "sluice")
        os.makedirs(work, exist_ok=True)
        ignore = "" if self.default_setup else f"ignore={','.join(interfaces_but_one())}\n"
        with open(os.path.join(work, "config.ini"), "w") as config:
            config.write(f"srt_port={self.srt_port}\nweb_port={free_port(socket.SOCK_STREAM)}\n"
                         f"rist_endpoint=127.0.0.1:{rist_port}\n{ignore}")
        self.spawn([self.binary], "sluice.log", cwd=work)
        wait_for_ports([self.srt_port])


def interfaces_but_one():
    """Every interface name except the first non-loopback one with an IPv4 address.
    sluice sends one copy of each stream per listed interface (the loopback is never
    listed); ignoring all but one gives it exactly one RIST peer, like the other relays.
    The destination stays 127.0.0.1, so the traffic never leaves the loopback."""
    listing = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True).stdout
    with_ipv4 = [line.split()[1] for line in listing.splitlines() if line.split()[1] != "lo"]
    if not with_ipv4:
        raise RuntimeError("sluice needs one interface with an IPv4 address besides lo to send from")
    return [name for _, name in socket.if_nameindex() if name != with_ipv4[0]]


class BareRelay(OnePortRelay):
    name = "bare"

    def start(self, streams, rist_port, free_port):
        self.srt_port = free_port()
        query = f"?{self.rist_params}" if self.rist_params else ""
        self.spawn([self.binary, str(self.srt_port), f"rist://127.0.0.1:{rist_port}{query}"], "bare.log")
        wait_for_ports([self.srt_port])


class UdpRelay(Relay):
    """A UDP limit reference (udp_relay, udp_batch_relay): the pacer sends every stream
    to its one port over UDP and it sends them on to the sink; no SRT, no RIST."""
    takes_udp = True

    def __init__(self, run_dir, cpus, binary, name):
        super().__init__(run_dir, cpus)
        self.binary = binary
        self.name = name

    def start(self, streams, sink_port, free_port):
        self.port = free_port()
        self.spawn([self.binary, str(self.port), str(sink_port)], f"{self.name}.log")
        wait_for_ports([self.port])

    def pacer_targets(self, streams):
        return [f"udp:{self.port}"] * streams


class FfmpegRelay(Relay):
    """One ffmpeg per stream. The payload is carried as raw data (-f data) rather than
    demuxed and remuxed as MPEG-TS, so the bytes arrive unchanged and can be checked."""
    name = "ffmpeg"

    def start(self, streams, rist_port, free_port):
        self.ports = [free_port() for _ in range(streams)]
        for k, port in enumerate(self.ports):
            self.spawn(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                        "-f", "data", "-raw_packet_size", "1316",
                        "-i", f"srt://127.0.0.1:{port}?mode=listener",
                        "-map", "0", "-c", "copy", "-f", "data", f"rist://127.0.0.1:{rist_port}"],
                       f"ffmpeg{k}.log")
        wait_for_ports(self.ports)

    def caller_target(self, k):
        return self.ports[k], f"bench{k}"


class ChainRelay(Relay):
    """srt-live-transmit (SRT listener to UDP) piped over loopback UDP into ristsender."""
    name = "chain"

    def start(self, streams, rist_port, free_port):
        self.ports = [free_port() for _ in range(streams)]
        for k, port in enumerate(self.ports):
            udp_port = free_port()
            self.spawn(["ristsender", "-p", "1", "-S", "0", "-v", "3",
                        "-i", f"udp://@127.0.0.1:{udp_port}", "-o", f"rist://127.0.0.1:{rist_port}"],
                       f"ristsender{k}.log")
            self.spawn(["srt-live-transmit", "-q", "-chunk:1316",
                        f"srt://127.0.0.1:{port}?mode=listener", f"udp://127.0.0.1:{udp_port}"],
                       f"slt{k}.log")
        wait_for_ports(self.ports)

    def caller_target(self, k):
        return self.ports[k], f"bench{k}"


class GstreamerRelay(Relay):
    """srtsrc ! rtpmp2tpay ! ristsink. GStreamer's ristsink speaks the RIST simple
    profile (RTP + RTCP on the next port), so its receiver runs with profile 0."""
    name = "gstreamer"
    receiver_profile = 0

    def start(self, streams, rist_port, free_port):
        self.ports = [free_port() for _ in range(streams)]
        for k, port in enumerate(self.ports):
            self.spawn(["gst-launch-1.0", "-q",
                        "srtsrc", f"uri=srt://127.0.0.1:{port}?mode=listener", "do-timestamp=true", "!",
                        "video/mpegts,systemstream=(boolean)true,packetsize=(int)188", "!",
                        "rtpmp2tpay", "!", "ristsink", "address=127.0.0.1", f"port={rist_port}"],
                       f"gst{k}.log")
        wait_for_ports(self.ports)

    def caller_target(self, k):
        return self.ports[k], f"bench{k}"


# Relays named NAME-LABEL that run another build of NAME's binary (bench/run.py --binary).
other_binaries = {}


def available():
    """Relays whose tools are installed, in report order."""
    found = ["sluice", "bare", "udp", "udp-mmsg"]
    if shutil.which("ffmpeg"):
        found.append("ffmpeg")
    if shutil.which("srt-live-transmit") and shutil.which("ristsender"):
        found.append("chain")
    if shutil.which("gst-launch-1.0") and gstreamer_has_plugins():
        found.append("gstreamer")
    return found


def gstreamer_has_plugins():
    for element in ("srtsrc", "rtpmp2tpay", "ristsink"):
        if subprocess.run(["gst-inspect-1.0", element], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            return False
    return True


def make(name, run_dir, cpus, build_dir):
    if name in other_binaries:
        relay = {"sluice": SluiceRelay, "bare": BareRelay}[name.split("-")[0]](run_dir, cpus, other_binaries[name])
        relay.name = name
        return relay
    if name in ("sluice", "sluice-default"):
        relay = SluiceRelay(run_dir, cpus, os.path.join(build_dir, "sluice"))
        relay.name = name
        relay.default_setup = name == "sluice-default"
        return relay
    if name == "bare":
        return BareRelay(run_dir, cpus, os.path.join(build_dir, "bench", "bare_relay"))
    if name == "bare-upstream":
        relay = BareRelay(run_dir, cpus, os.path.join(build_dir, "bench", "bare_relay_upstream"))
        relay.name = name
        return relay
    if name == "udp":
        return UdpRelay(run_dir, cpus, os.path.join(build_dir, "bench", "udp_relay"), name)
    if name == "udp-mmsg":
        return UdpRelay(run_dir, cpus, os.path.join(build_dir, "bench", "udp_batch_relay"), name)
    return {"ffmpeg": FfmpegRelay, "chain": ChainRelay, "gstreamer": GstreamerRelay}[name](run_dir, cpus)


def new_run_dir():
    return tempfile.mkdtemp(prefix="sluice-bench-")
