"""Shared pieces of the end-to-end tests: a run directory with its own config.ini and
free ports, the real sluice binary, processes ended by the PID we started, and the
deterministic TS-like payload with its checker."""

import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import struct
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

SLUICE_BIN = os.environ.get("SLUICE_BIN", "")
SOURCE_DIR = os.environ.get(
    "SLUICE_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
SANITIZER = os.environ.get("SLUICE_SANITIZER", "")
# Requests go straight to loopback, whatever proxy the environment names.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))
# The state document byte by byte: one object per interface, JSON string values.
_VALUE = r'"(?:[^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*"'
_OBJECT = r'\{ "title": %s,"ip": %s,"output": %s,"input": %s\}' % (_VALUE, _VALUE, _VALUE, _VALUE)
STATE_LAYOUT = re.compile(r'^\{"ifaces":\[(?:%s,)*%s\]\}$' % (_OBJECT, _OBJECT))
LOG_LINE = re.compile(r"^\[\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2}\]  (.*)  (src/[\w/]+\.cpp)  (-?\d+)$")


def free_port(kind=socket.SOCK_DGRAM):
    """A port that is free on 127.0.0.1 for both UDP and TCP at the moment of asking."""
    while True:
        with socket.socket(socket.AF_INET, kind) as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        other = socket.SOCK_STREAM if kind == socket.SOCK_DGRAM else socket.SOCK_DGRAM
        try:
            with socket.socket(socket.AF_INET, other) as check:
                check.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def sanitizer_env():
    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:exitcode=66")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:exitcode=66")
    suppressions = os.path.join(SOURCE_DIR, "tests", "tsan.supp")
    env.setdefault("TSAN_OPTIONS", f"exitcode=66:second_deadlock_stack=1:suppressions={suppressions}")
    return env


class Gateway:
    """The sluice binary running in a temporary directory of its own; command_prefix
    runs it through another program (e.g. "ip netns exec NAME", which execs it, so the
    process stays the one we started)."""

    def __init__(self, config_text=None, with_web=True, command_prefix=()):
        if not SLUICE_BIN:
            raise unittest.SkipTest("SLUICE_BIN is not set")
        self.binary = SLUICE_BIN
        self.command_prefix = list(command_prefix)
        self.dir = tempfile.mkdtemp(prefix="sluice-e2e-")
        self.srt_port = free_port(socket.SOCK_DGRAM)
        self.web_port = free_port(socket.SOCK_STREAM)
        if config_text is None:
            config_text = self.default_config()
        if config_text != "":
            self.write_config(config_text)
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
        if wait_for == "START WEB SERVER: ":
            self.wait_for_http()
        return self

    def wait_for_http(self, timeout=10):
        def listening():
            try:
                with socket.create_connection(("127.0.0.1", self.web_port), timeout=0.5):
                    return True
            except OSError:
                return False
        if not wait_until(listening, timeout):
            raise AssertionError("the HTTP port does not answer\n" + self.log())

    def log(self):
        with open(self.log_path, "rb") as file:
            return file.read().decode("utf-8", "replace")

    def errors(self):
        with open(self.err_path, "rb") as file:
            return file.read().decode("utf-8", "replace")

    def wait_for_log(self, text, timeout=10, count=1):
        if not wait_until(lambda: self.log().count(text) >= count, timeout):
            raise AssertionError(f"log never showed {text!r} x{count}\n" + self.log()[-4000:])

    def stop(self, timeout=15):
        """SIGTERM, then the exit status (None when it had to be killed)."""
        if self.process is None or self.process.poll() is not None:
            return self.process.returncode if self.process else None
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def assert_clean_exit(self, test):
        status = self.stop()
        test.assertEqual(status, 0, "sluice did not exit cleanly\n" + self.log()[-3000:] + self.errors()[-6000:])
        for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                       "runtime error:"):
            test.assertNotIn(marker, self.errors(), self.errors()[-6000:])


class Answer:
    def __init__(self, status, content_type, body, headers=None):
        self.status = status
        self.content_type = content_type
        self.body = body
        self.headers = headers


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


# --- Media: a deterministic TS-like payload, a UDP sink that checks it, real peers. ---

TS_PACKET = 188
UNIT = 1316
NULL_PID = 0x1FFF
SLOW = SANITIZER != ""  # sanitizer builds run several times slower


def ts_packet(pid, index):
    """188 bytes: sync byte, PID, continuity counter, the packet index, then filler that
    depends on PID and index, so any lost, repeated, reordered or altered packet shows."""
    header = bytes([0x47, 0x40 | (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | (index & 0x0F)])
    body = struct.pack(">I", index) + bytes((index * 7 + pid + i) & 0xFF for i in range(TS_PACKET - 8))
    return header + body


def ts_payload(pid, count):
    return b"".join(ts_packet(pid, index) for index in range(count))


# What SrtFeeder.push_through sends behind a payload.
PUSH_THROUGH = ts_payload(NULL_PID, 7 * 12)


class UdpSink:
    """Collects every datagram sent to 127.0.0.1:port on a thread of its own; a
    subclass that checks on the fly overrides `take`."""

    def __init__(self, receive_buffer=8 * 1024 * 1024):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.2)
        self.port = self.socket.getsockname()[1]
        self.datagrams = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._receive, daemon=True)
        self.thread.start()

    def _receive(self):
        while self.running:
            try:
                data = self.socket.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.take(data)

    def take(self, datagram):
        with self.lock:
            self.datagrams.append(datagram)

    def data(self):
        with self.lock:
            return b"".join(self.datagrams)

    def sizes(self):
        with self.lock:
            return [len(d) for d in self.datagrams]

    def packets(self, pid):
        """The TS-like packets of one PID, in arrival order."""
        data = self.data()
        return [data[i:i + TS_PACKET] for i in range(0, len(data) - TS_PACKET + 1, TS_PACKET)
                if ((data[i + 1] & 0x1F) << 8 | data[i + 2]) == pid]

    def wait_for_packets(self, pid, count, timeout):
        return wait_until(lambda: len(self.packets(pid)) >= count, timeout, 0.2)

    def check_stream(self, test, pid, count):
        """Asserts that exactly packets 0..count-1 of pid arrived, intact and in order."""
        packets = self.packets(pid)
        indices = [struct.unpack(">I", p[4:8])[0] for p in packets]
        test.assertEqual(len(self.data()) % TS_PACKET, 0, "a datagram was not made of whole packets")
        test.assertEqual(indices, list(range(count)), f"pid {pid}: lost, repeated or reordered packets")
        for index, packet in enumerate(packets):
            if packet != ts_packet(pid, index):
                test.fail(f"pid {pid}: packet {index} altered")

    def close(self):
        self.running = False
        self.thread.join(2)
        self.socket.close()


def udp_drain(test):
    """The port of a UDP socket on 127.0.0.1 that reads nothing, closed with the test:
    a RIST destination for throw-away streams. ristreceiver 0.2.7 slows down with every
    flow it has seen (two cores busy after a few hundred)."""
    drain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    drain.bind(("127.0.0.1", 0))
    test.addCleanup(drain.close)
    return drain.getsockname()[1]


class Peer:
    """A helper program (srt-live-transmit, ristreceiver) ended by the PID we started."""

    def __init__(self, args, stdin=subprocess.DEVNULL):
        self.args = args
        self.log_file = tempfile.TemporaryFile()
        self.process = subprocess.Popen(args, stdin=stdin, stdout=self.log_file, stderr=subprocess.STDOUT)

    def output(self):
        self.log_file.seek(0)
        return self.log_file.read().decode("utf-8", "replace")

    def running(self):
        return self.process.poll() is None

    def stop(self, timeout=5):
        if self.process.stdin:
            try:
                self.process.stdin.close()
            except OSError:
                pass
        self.terminate(timeout)
        self.log_file.close()

    def terminate(self, timeout=5):
        """SIGTERM to the PID we started, SIGKILL when it does not end in time."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def rist_receiver(rist_port, sink_port, address="127.0.0.1", with_stats=False, verbosity=4):
    """librist's receiver, main profile, listening on address:rist_port and writing to
    the sink on 127.0.0.1; with_stats makes it report each flow's totals every second
    (read them with rist_flow_reports); at verbosity 6 its output shows each sender's
    cname ("receiver name is now: ...")."""
    stats = ["-S", "1000", "-v", "6"] if with_stats else ["-S", "0", "-v", str(verbosity)]
    return Peer(["ristreceiver", "-p", "1", *stats,
                 "-i", f"rist://@{address}:{rist_port}", "-o", f"udp://127.0.0.1:{sink_port}"])


FLOW_TOTALS = re.compile(r'"flow_cumulative_stats":\{"flow_id":(\d+),"received":(\d+),"recovered":(\d+),"lost":(\d+)')


def rist_flow_reports(receiver_output):
    """The receiver's flow reports in order, each (flow id, received, recovered, lost)."""
    return [tuple(int(value) for value in report) for report in FLOW_TOTALS.findall(receiver_output)]


def rist_destination(test):
    """A RIST receiver on a free port writing to a UDP sink of its own, both ended with
    the test; gives the receiver's RIST port and the sink."""
    sink = UdpSink()
    test.addCleanup(sink.close)
    rist_port = free_port()
    receiver = rist_receiver(rist_port, sink.port)
    test.addCleanup(receiver.stop)
    return rist_port, sink


class SrtFeeder(Peer):
    """srt-live-transmit sending what the test writes to its stdin to an SRT URL; each
    read of `chunk` bytes becomes one SRT message. It holds back the last few kilobytes
    of its input: push_through before expecting all of it, and hang up only after it
    arrived (a live-mode SRT close drops what the far end has not read yet)."""

    def __init__(self, url, chunk=UNIT, options=()):
        super().__init__(["srt-live-transmit", "-a:no", "-v", f"-c:{chunk}", *options, "file://con", url],
                         stdin=subprocess.PIPE)
        self.chunk = chunk

    def send(self, data, rate=2_000_000):
        """Writes data in chunks, paced at about rate bytes per second."""
        started = time.monotonic()
        for offset in range(0, len(data), self.chunk):
            self.process.stdin.write(data[offset:offset + self.chunk])
            self.process.stdin.flush()
            ahead = (offset + self.chunk) / rate - (time.monotonic() - started)
            if ahead > 0.002:
                time.sleep(ahead)

    def wait_connected(self, timeout=20):
        """True once the SRT connection is up: srt-live-transmit drops what it reads before."""
        return wait_until(lambda: "SRT target connected" in self.output(), timeout)

    def push_through(self, rate=2_000_000):
        """Null packets behind the payload, so that none of it stays held back."""
        self.send(PUSH_THROUGH, rate)

    def hang_up(self, timeout=5):
        """Ends the input, then the program: it closes its SRT connection on the way out."""
        self.push_through()
        self.process.stdin.close()
        time.sleep(0.5)
        self.terminate(timeout)


def srt_caller(srt_port, stream_id, chunk=UNIT):
    """A real SRT caller of the gateway, announcing stream_id, fed by the test."""
    return SrtFeeder(f"srt://127.0.0.1:{srt_port}?streamid={stream_id}", chunk)


def talkback_source(port, chunk=UNIT, options=""):
    """An SRT listener on port that sends what the test feeds to whoever connects."""
    return SrtFeeder(f"srt://127.0.0.1:{port}?mode=listener{options}", chunk)


def srt_receiving_caller(srt_port, stream_id, sink_port, options=""):
    """A real SRT caller of the gateway that writes what it receives to a UDP sink."""
    return Peer(["srt-live-transmit", "-a:no", "-v",
                 f"srt://127.0.0.1:{srt_port}?streamid={stream_id}{options}", f"udp://127.0.0.1:{sink_port}"])


# --- srt_test_peer (tests/tools): callers and a source that srt-live-transmit cannot be. ---

SRT_TEST_PEER = os.environ.get("SLUICE_SRT_TEST_PEER", "")


def srt_test_peer(*args, stdin=subprocess.DEVNULL):
    """srt_test_peer with the given arguments (see the head of its source) as a Peer;
    bytes arguments (stream ids) are passed as hex."""
    if not SRT_TEST_PEER:
        raise unittest.SkipTest("SLUICE_SRT_TEST_PEER is not set")
    words = [arg.hex() if isinstance(arg, bytes) else str(arg) for arg in args]
    return Peer([SRT_TEST_PEER, *words], stdin=stdin)


# --- libsrt through ctypes. ---

SRTO_SENDER, SRTO_PASSPHRASE, SRTO_PBKEYLEN, SRTO_CONNTIMEO, SRTO_STREAMID = 21, 26, 27, 36, 46
try:
    LIBSRT = ctypes.CDLL("libsrt.so.1.5")
except OSError:
    LIBSRT = None


class SrtLibrary:
    """libsrt's C calls through ctypes, for callers that announce any stream id (which
    srt-live-transmit cannot) and for a listener that serves every caller. A socket
    belongs to the thread that made it; `close` of a listener unblocks its accept."""

    def __init__(self):
        LIBSRT.srt_startup()
        LIBSRT.srt_getlasterror_str.restype = ctypes.c_char_p
        LIBSRT.srt_sendmsg2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]

    def call(self, port, stream_id, message, keep_open_until=lambda: True):
        """Connects to 127.0.0.1:port announcing stream_id, sends message, waits (up to
        10 s) for keep_open_until, closes; gives None when served or the library's
        reason when refused. A caller that closes before the listener took it off the
        backlog is never seen by the gateway at all."""
        sock = LIBSRT.srt_create_socket()
        try:
            self.set_int(sock, SRTO_SENDER, 1)
            self.set_int(sock, SRTO_CONNTIMEO, 3000)
            if LIBSRT.srt_setsockflag(sock, SRTO_STREAMID, stream_id, len(stream_id)) != 0:
                return "stream id not accepted by libsrt: " + self.error()
            address = loopback_address(port)
            if LIBSRT.srt_connect(sock, address, len(address)) != 0:
                return self.error()
            if not self.send(sock, message):
                return self.error()
            return None if wait_until(keep_open_until, 10) else "not taken by the listener in 10 s"
        finally:
            LIBSRT.srt_close(sock)

    def connect(self, port, stream_id, passphrase=b"", source="127.0.0.1", key_length=0):
        """A caller socket from source connected to 127.0.0.1:port, and 0; or None and
        libsrt's reject reason code when the connection was refused."""
        sock = LIBSRT.srt_create_socket()
        self.set_int(sock, SRTO_SENDER, 1)
        self.set_int(sock, SRTO_CONNTIMEO, 3000)
        LIBSRT.srt_setsockflag(sock, SRTO_STREAMID, stream_id, len(stream_id))
        if passphrase:
            LIBSRT.srt_setsockflag(sock, SRTO_PASSPHRASE, passphrase, len(passphrase))
        if key_length:
            self.set_int(sock, SRTO_PBKEYLEN, key_length)
        local = loopback_address(0, source)
        target = loopback_address(port)
        if LIBSRT.srt_bind(sock, local, len(local)) != 0 or LIBSRT.srt_connect(sock, target, len(target)) != 0:
            reason = LIBSRT.srt_getrejectreason(sock)
            LIBSRT.srt_close(sock)
            return None, reason
        return sock, 0

    def listen(self, port):
        sock = LIBSRT.srt_create_socket()
        address = loopback_address(port)
        if LIBSRT.srt_bind(sock, address, len(address)) != 0 or LIBSRT.srt_listen(sock, 8) != 0:
            raise OSError("SRT listen failed: " + self.error())
        return sock

    def accept(self, listener):
        """The accepted socket, or None once the listener was closed."""
        address, length = ctypes.create_string_buffer(128), ctypes.c_int(128)
        sock = LIBSRT.srt_accept(listener, address, ctypes.byref(length))
        return None if sock < 0 else sock

    def send(self, sock, message):
        return LIBSRT.srt_sendmsg2(sock, message, len(message), None) >= 0

    def set_int(self, sock, option, value):
        number = ctypes.c_int(value)
        LIBSRT.srt_setsockflag(sock, option, ctypes.byref(number), ctypes.sizeof(number))

    def error(self):
        return LIBSRT.srt_getlasterror_str().decode("utf-8", "replace")

    def close(self):
        LIBSRT.srt_cleanup()


def loopback_address(port, host="127.0.0.1"):
    """A sockaddr_in for host:port."""
    return bytes([2, 0]) + port.to_bytes(2, "big") + socket.inet_aton(host) + bytes(8)


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


class MediaTestCase(unittest.TestCase):
    """A test with one gateway between real SRT callers and real RIST receivers, all
    ended with the test."""

    def start_gateway(self, rist_ports, extra=""):
        gateway = Gateway()
        destinations = ",".join(f"127.0.0.1:{port}" for port in rist_ports)
        gateway.write_config(gateway.default_config(f"rist_endpoint={destinations}\n{extra}"))
        self.addCleanup(gateway.close)
        return gateway.start()

    def receiver(self):
        return rist_destination(self)

    def caller(self, gateway, stream_id, chunk=UNIT):
        caller = srt_caller(gateway.srt_port, stream_id, chunk)
        self.addCleanup(caller.stop)
        return caller
