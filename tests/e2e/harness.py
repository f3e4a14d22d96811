"""What the end-to-end tests share: the sluice binary in a directory of its own and its
HTTP API; its peers (srt-live-transmit, ristreceiver, libsrt through ctypes); the bench's
pacer and sink, which write and check the TS-like payload (PID 0x100 + k for stream k).
Every process is ended by the PID we started, with the test."""

import collections
import contextlib
import ctypes
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import types
import unittest
import urllib.error
import urllib.parse
import urllib.request

SLUICE_BIN = os.environ.get("SLUICE_BIN", "")
SOURCE_DIR = os.environ.get(
    "SLUICE_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("SLUICE_BUILD_DIR") or os.path.dirname(SLUICE_BIN)
SANITIZER = os.environ.get("SLUICE_SANITIZER", "")
SLOW = SANITIZER != ""  # sanitizer builds run several times slower: shorter, gentler runs
# Requests go straight to loopback, whatever proxy the environment names.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))
LOG_LINE = re.compile(r"^\[\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2}\]  (.*)  (src/[\w/]+\.cpp)  (-?\d+)$")
UNIT = 1316
# The RIST receivers users run: Debian 12's (librist 0.2.7) and upstream 0.2.11's own,
# which scripts/build_librist.sh builds unpatched.
RECEIVERS = {"0.2.7": "ristreceiver",
             "0.2.11": os.path.join(SOURCE_DIR, "build-deps", "librist", "upstream", "bin", "ristreceiver")}


def free_port(kind=socket.SOCK_DGRAM):
    """A port that is free on every address for both UDP and TCP at the moment of asking:
    the gateway binds all of them, and a client bound to 127.0.0.2 holds its port there."""
    other = socket.SOCK_STREAM if kind == socket.SOCK_DGRAM else socket.SOCK_DGRAM
    while True:
        with socket.socket(socket.AF_INET, kind) as probe, socket.socket(socket.AF_INET, other) as check:
            probe.bind(("0.0.0.0", 0))
            with contextlib.suppress(OSError):
                check.bind(probe.getsockname())
                return probe.getsockname()[1]


def even_port():
    """A free port P with P + 1 free too: a simple-profile receiver takes both."""
    while True:
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe, contextlib.suppress(OSError):
            if port % 2 == 0:
                probe.bind(("0.0.0.0", port + 1))
                return port


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def end(process, timeout):
    """SIGTERM to a process we started, SIGKILL when it does not end in time: its exit
    status, None when it had to be killed."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return None
    return process.returncode


def read_text(path):
    with open(path, "rb") as file:
        return file.read().decode("utf-8", "replace")


def sanitizer_env():
    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:exitcode=66")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:exitcode=66")
    suppressions = os.path.join(SOURCE_DIR, "tests", "tsan.supp")
    env.setdefault("TSAN_OPTIONS", f"exitcode=66:second_deadlock_stack=1:suppressions={suppressions}")
    return env


class Gateway:
    """The sluice binary in a temporary directory of its own; command_prefix runs it through
    a program that execs it (e.g. "ip netns exec NAME"), so the process stays ours."""

    def __init__(self, config_text=None, with_web=True, command_prefix=()):
        if not SLUICE_BIN:
            raise unittest.SkipTest("SLUICE_BIN is not set")
        self.binary = SLUICE_BIN
        self.command_prefix = list(command_prefix)
        self.dir = tempfile.mkdtemp(prefix="sluice-e2e-")
        self.srt_port = free_port(socket.SOCK_DGRAM)
        self.web_port = free_port(socket.SOCK_STREAM)
        if config_text != "":
            self.write_config(self.default_config() if config_text is None else config_text)
        if with_web:
            shutil.copytree(os.path.join(SOURCE_DIR, "web"), os.path.join(self.dir, "web"))
        self.log_path = os.path.join(self.dir, "sluice.log")
        self.err_path = os.path.join(self.dir, "sluice.err")
        self.process = None

    def default_config(self, extra=""):
        return f"srt_port={self.srt_port}\nweb_port={self.web_port}\n{extra}"

    def write_config(self, text):
        with open(os.path.join(self.dir, "config.ini"), "w", newline="") as file:
            file.write(text)

    def start(self, wait_for="START WEB SERVER: "):
        with open(self.log_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [*self.command_prefix, self.binary], cwd=self.dir, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                env=sanitizer_env())
        if wait_for and not wait_until(lambda: wait_for in self.log(), 20):
            raise AssertionError("sluice did not log " + wait_for + "\n" + self.log())
        if wait_for == "START WEB SERVER: " and not wait_until(self.answers, 10):
            raise AssertionError("the HTTP port does not answer\n" + self.log())
        return self

    def answers(self):
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.web_port), timeout=0.5):
            return True
        return False

    def log(self):
        return read_text(self.log_path)

    def errors(self):
        return read_text(self.err_path)

    def wait_for_log(self, text, timeout=10, count=1):
        if not wait_until(lambda: self.log().count(text) >= count, timeout * (3 if SLOW else 1)):
            raise AssertionError(f"log never showed {text!r} x{count}\n" + self.log()[-4000:])

    def stop(self, timeout=15):
        return end(self.process, timeout) if self.process else None

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def assert_clean_exit(self, test, expected_status=0):
        status = self.stop()
        test.assertEqual(status, expected_status, "sluice did not exit as expected\n" + self.log()[-3000:]
                         + self.errors()[-6000:])
        for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer", "runtime error:"):
            test.assertNotIn(marker, self.errors(), self.errors()[-6000:])


Answer = collections.namedtuple("Answer", "status content_type body headers")


def request(gateway, method, path, data=None, headers=None):
    """One HTTP request to the gateway's web port; HTTP errors are answers too."""
    url = f"http://127.0.0.1:{gateway.web_port}{path}"
    req = urllib.request.Request(url, data=data, method=method, headers=headers or {})
    try:
        with OPENER.open(req, timeout=20) as answer:
            return Answer(answer.status, answer.headers.get("Content-Type", ""), answer.read(), answer.headers)
    except urllib.error.HTTPError as error:
        return Answer(error.code, error.headers.get("Content-Type", ""), error.read(), error.headers)


def post_form(gateway, pairs, path="/api/config", headers=None):
    body = urllib.parse.urlencode(pairs).encode()
    return request(gateway, "POST", path, body,
                   {"Content-Type": "application/x-www-form-urlencoded", **(headers or {})})


def config_on_disk(gateway):
    with open(os.path.join(gateway.dir, "config.ini"), "rb") as file:
        return file.read()


def streams(gateway):
    return json.loads(request(gateway, "GET", "/api/streams").body)["streams"]


def metrics(gateway):
    lines = request(gateway, "GET", "/metrics").body.decode().splitlines()
    return {name: float(value) for name, value in (line.rsplit(" ", 1) for line in lines if line[:1] != "#")}


def resources(pid):
    """(threads, descriptors, resident KiB) of a process."""
    with open(f"/proc/{pid}/status") as status:
        rss = int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd")), rss


class Peer:
    """A program beside the gateway, its output kept in a file."""

    def __init__(self, args, stdin=subprocess.DEVNULL, pass_fds=()):
        self.log_file = tempfile.NamedTemporaryFile()
        self.process = subprocess.Popen(args, stdin=stdin, stdout=self.log_file, stderr=subprocess.STDOUT,
                                        pass_fds=pass_fds)

    def output(self):
        return read_text(self.log_file.name)

    def running(self):
        return self.process.poll() is None

    def stop(self, timeout=5):
        end(self.process, timeout)
        self.log_file.close()


class Sink(Peer):
    """The bench's sink on a free port of 127.0.0.1 checking `streams` streams of `packets`
    packets; ends once all arrived, `idle` s after the last datagram, or at `deadline`."""

    def __init__(self, streams, packets, deadline=120, idle=15):
        self.port, self.streams, self.packets = free_port(), streams, packets
        super().__init__([os.path.join(BUILD_DIR, "bench", "sink"), *map(str, (self.port, streams, packets, deadline,
                                                                                 idle))])
        if not wait_until(lambda: "ready" in self.output(), 10):
            raise AssertionError("the sink did not start: " + self.output())

    def report(self):
        self.process.wait(200)
        return json.loads(self.output().strip().splitlines()[-1])

    def assert_whole(self, test):
        """Every packet of every stream arrived once and intact, in 1316-byte datagrams."""
        report = self.report()
        test.assertEqual(report["delivered"], [self.packets] * self.streams, report)
        test.assertEqual((report["corrupt"], sum(report["duplicates"]), report["bytes"]),
                         (0, 0, UNIT * report["datagrams"]), report)


class MediaCase(unittest.TestCase):
    """A test with gateways, peers, sinks and pacers, all ended with it."""

    def gateway(self, destinations=(), extra="", command_prefix=()):
        """A started gateway forwarding to the RIST destinations ("host:port", or a port of 127.0.0.1)."""
        gateway = Gateway(command_prefix=command_prefix)
        self.addCleanup(gateway.close)
        targets = ",".join(d if isinstance(d, str) else f"127.0.0.1:{d}" for d in destinations)
        gateway.write_config(gateway.default_config((f"rist_endpoint={targets}\n" if targets else "") + extra))
        return gateway.start()

    def peer(self, args, **options):
        return self.ended(Peer(args, **options))

    def sink(self, streams, packets, **options):
        return self.ended(Sink(streams, packets, **options))

    def ended(self, peer):
        self.addCleanup(peer.stop)
        return peer

    def pacer(self, streams, rate_bps, seconds, hold=2.0):
        """The bench's pacer: `streams` streams at rate_bps for `seconds` into pipes whose
        `readers` feed the callers; `start` it once they are connected."""
        readers, writers = zip(*(os.pipe() for _ in range(streams)))
        pacer = types.SimpleNamespace(readers=readers, packets=7 * int(rate_bps * seconds / (8 * UNIT)))

        def start():
            pacer.peer = self.peer([os.path.join(BUILD_DIR, "bench", "pacer"),
                                    *map(str, (rate_bps, seconds, hold, *writers))], pass_fds=writers)
            for fd in writers:
                os.close(fd)
        pacer.start = start
        return pacer

    def destination(self, streams, packets, address="127.0.0.1", port=None, receiver="ristreceiver", profile=1,
                    options=(), **sink_options):
        """A ristreceiver (profile 1: main, 0: simple, with more `options`) on address writing to
        a sink of its own: (its RIST port, the sink)."""
        sink, port = self.sink(streams, packets, **sink_options), port or free_port()
        self.receiver = self.peer([receiver, "-p", str(profile), "-S", "0", *options, "-i", f"rist://@{address}:{port}",
                                   "-o", f"udp://127.0.0.1:{sink.port}"])
        return port, sink

    def drain(self):
        """A RIST destination on 127.0.0.1 that reads nothing: its peers never connect."""
        drain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        drain.bind(("127.0.0.1", 0))
        self.addCleanup(drain.close)
        return drain.getsockname()[1]

    def feeder(self, url, reader):
        """srt-live-transmit sending the pipe to url; connected on return (it drops what it reads before)."""
        peer = self.peer(["srt-live-transmit", "-a:no", "-v", "-c:1316", "file://con", url], stdin=reader)
        os.close(reader)
        self.assertTrue(wait_until(lambda: "connected" in peer.output(), 30), peer.output())
        return peer

    def talkback_source(self, reader=None, size=UNIT, passphrase="", host="127.0.0.1"):
        """An SRT listener on host whose first caller gets the pipe `reader` (if any) in size-byte
        messages, the others one null unit; all stay. Gives the port and the callers served."""
        port, served, listener = free_port(), [], srt_socket(size, passphrase.encode())
        address, length = srt_address(port, host), ctypes.c_int(28)
        if LIBSRT.srt_bind(listener, address, len(address)) != 0 or LIBSRT.srt_listen(listener, 8) != 0:
            raise OSError("SRT listen failed: " + LIBSRT.srt_getlasterror_str().decode())

        def serve():
            while (sock := LIBSRT.srt_accept(listener, ctypes.create_string_buffer(28), ctypes.byref(length))) >= 0:
                served.append(sock)
                if reader is not None and len(served) == 1:
                    srt_sender(sock, reader, size)
                else:
                    LIBSRT.srt_sendmsg2(sock, b"\x47\x1f\xff\x10" + bytes(UNIT - 4), UNIT, None)
        thread = threading.Thread(target=serve, daemon=True)
        thread.start()

        def close():
            LIBSRT.srt_close(listener)
            thread.join(5)
            for sock in served:
                LIBSRT.srt_close(sock)
        self.addCleanup(close)
        return port, served

    def srt_receiver(self, gateway, stream_id, sink):
        """srt-live-transmit calling the gateway and writing what it gets to the sink."""
        return self.peer(["srt-live-transmit", "-a:no", "-v",
                          f"srt://127.0.0.1:{gateway.srt_port}?streamid={stream_id}", f"udp://127.0.0.1:{sink.port}"])


# --- libsrt through ctypes: any stream id bytes, any source address, any message size, the reject reason. ---

SRTO_SENDER, SRTO_LATENCY, SRTO_PASSPHRASE, SRTO_PBKEYLEN, SRTO_CONNTIMEO, SRTO_STREAMID, SRTO_PAYLOADSIZE = (
    21, 23, 26, 27, 36, 46, 49)
LIBSRT = ctypes.CDLL("libsrt.so.1.5")
LIBSRT.srt_startup()
LIBSRT.srt_setloglevel(2)  # critical only: refusals are what the tests provoke
LIBSRT.srt_getlasterror_str.restype = ctypes.c_char_p
LIBSRT.srt_sendmsg2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]


def srt_address(port, host="127.0.0.1"):
    """A sockaddr_in, or for an IPv6 host a sockaddr_in6 (flow info and scope 0)."""
    if ":" in host:
        return (socket.AF_INET6.to_bytes(2, "little") + port.to_bytes(2, "big") + bytes(4)
                + socket.inet_pton(socket.AF_INET6, host) + bytes(4))
    return bytes([2, 0]) + port.to_bytes(2, "big") + socket.inet_aton(host) + bytes(8)


def srt_socket(size=UNIT, passphrase=b"", key_length=0, latency=0):
    sock = LIBSRT.srt_create_socket()
    for option, value in ((SRTO_SENDER, 1), (SRTO_CONNTIMEO, 3000), (SRTO_PAYLOADSIZE, size),
                          (SRTO_PBKEYLEN, key_length), (SRTO_LATENCY, latency)):
        if value:
            number = ctypes.c_int(value)
            LIBSRT.srt_setsockflag(sock, option, ctypes.byref(number), ctypes.sizeof(number))
    if passphrase:
        LIBSRT.srt_setsockflag(sock, SRTO_PASSPHRASE, passphrase, len(passphrase))
    return sock


def srt_call(port, stream_id, passphrase=b"", source="127.0.0.1", key_length=0, size=UNIT, latency=0):
    """A caller from source to 127.0.0.1:port, or [::1]:port from an IPv6 source (latency in ms, 0:
    libsrt's 120): (socket, 0), or (None, the reject reason)."""
    sock = srt_socket(size, passphrase, key_length, latency)
    LIBSRT.srt_setsockflag(sock, SRTO_STREAMID, stream_id, len(stream_id))
    local, target = srt_address(0, source), srt_address(port, "::1" if ":" in source else "127.0.0.1")
    if LIBSRT.srt_bind(sock, local, len(local)) != 0 or LIBSRT.srt_connect(sock, target, len(target)) != 0:
        reason = LIBSRT.srt_getrejectreason(sock)
        LIBSRT.srt_close(sock)
        return None, reason
    return sock, 0


def srt_sender(sock, reader, size):
    """Sends what the pipe carries in size-byte messages on a thread of its own, closing both at its end."""
    def send():
        pending = b""
        with os.fdopen(reader, "rb", buffering=0) as pipe:
            while chunk := pipe.read(65536):
                pending += chunk
                while len(pending) >= size:
                    LIBSRT.srt_sendmsg2(sock, pending[:size], size, None)
                    pending = pending[size:]
        LIBSRT.srt_close(sock)
    threading.Thread(target=send, daemon=True).start()


def call_once(gateway, stream_id, taken="streamid:"):
    """A libsrt caller that sends one unit and hangs up once the gateway logged `taken`
    once more (a caller gone before the listener took it is never seen): None, or why not."""
    before = gateway.log().count(taken)
    sock, reason = srt_call(gateway.srt_port, stream_id)
    if sock is None:
        return f"refused: {reason}"
    LIBSRT.srt_sendmsg2(sock, bytes(UNIT), UNIT, None)
    seen = wait_until(lambda: gateway.log().count(taken) > before, 10)
    LIBSRT.srt_close(sock)
    return None if seen else "not taken in 10 s"
