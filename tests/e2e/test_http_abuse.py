"""Hostile and broken clients on the HTTP port of the real binary: raw garbage, request
lines and headers far beyond the library's limits, thousands of headers, an endless
header line, half-sent requests, requests of other sites, huge bodies, Range headers
that multiply a file, slow clients and a second gateway on the same port. Each is
refused or served, never a crash; "/hi" and "/api/state" keep answering correctly
during and after, the configuration stays as it was, and the gateway stops cleanly."""

import os
import random
import select
import socket
import threading
import time
import unittest
import urllib.parse

from harness import SANITIZER, SOURCE_DIR, STATE_LAYOUT, Gateway, config_on_disk, request, wait_until

FORM = b"Content-Type: application/x-www-form-urlencoded\r\n"
FORM_TYPE = FORM.rstrip()
SEEDED = random.Random(20240609)


def garbage(length):
    return bytes(SEEDED.randrange(256) for _ in range(length))


def connect(gateway, timeout=10):
    return socket.create_connection(("127.0.0.1", gateway.web_port), timeout=timeout)


def read_until_closed(sock, limit=1 << 20):
    """What the server sends until it closes; a reset counts as closed."""
    answer = b""
    try:
        while len(answer) < limit:
            chunk = sock.recv(65536)
            if not chunk:
                break
            answer += chunk
    except ConnectionResetError:
        pass
    return answer


def exchange(gateway, data):
    """Sends data, ends the sending side and gives the server's whole answer."""
    with connect(gateway) as sock:
        try:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            return b""
        return read_until_closed(sock)


def ask(gateway, data, source="127.0.0.1"):
    """Sends a whole request from the source address and gives (status, head, body) of
    the answer, read until the server closes; status 0 when none came."""
    with socket.socket() as sock:
        sock.settimeout(20)
        sock.bind((source, 0))
        sock.connect(("127.0.0.1", gateway.web_port))
        try:
            sock.sendall(data)
        except OSError:
            pass
        answer = read_until_closed(sock, limit=64 << 20)
    head, _, body = answer.partition(b"\r\n\r\n")
    return (int(head[9:12]) if head.startswith(b"HTTP/1.1 ") else 0), head, body


def get(path, *headers):
    return b"GET %s HTTP/1.1\r\nConnection: close\r\n%s\r\n" % (path.encode(), b"".join(h + b"\r\n" for h in headers))


def post(path, body, *headers):
    return (b"POST %s HTTP/1.1\r\nConnection: close\r\n%sContent-Length: %d\r\n\r\n" %
            (path.encode(), b"".join(h + b"\r\n" for h in headers), len(body)) + body)


def form(text):
    return urllib.parse.urlencode({"config": text}).encode()


def chunked(body, size=4096):
    return b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + size]), body[i:i + size])
                    for i in range(0, len(body), size)) + b"0\r\n\r\n"


def resident_kilobytes(gateway, field="VmRSS"):
    """The resident memory now, or its peak so far with field "VmHWM"."""
    with open(f"/proc/{gateway.process.pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class HttpAbuseTest(unittest.TestCase):
    def setUp(self):
        self.gateway = Gateway()
        self.addCleanup(self.gateway.close)
        self.gateway.start()
        self.config = config_on_disk(self.gateway)

    def assert_serving(self):
        hi = request(self.gateway, "GET", "/hi")
        self.assertEqual((hi.status, hi.body), (200, b"Hello from server"))
        state = request(self.gateway, "GET", "/api/state")
        self.assertEqual(state.status, 200)
        self.assertRegex(state.body.decode("latin-1"), STATE_LAYOUT)

    def assert_refused(self, answer, what):
        """No answer at all, or a 4xx: never served, never a server error."""
        if answer:
            self.assertRegex(answer[:12], rb"^HTTP/1\.1 4\d\d", what)

    def finish(self):
        self.assert_serving()
        self.assertEqual(config_on_disk(self.gateway), self.config)
        self.gateway.assert_clean_exit(self)

    def test_garbage_and_oversized_requests_are_refused(self):
        headers_2000 = b"".join(b"X-Filler-%d: value\r\n" % i for i in range(2000))
        cases = [
            ("random bytes", garbage(4096)),
            ("random bytes then a blank line", garbage(1000) + b"\r\n\r\n"),
            ("printable junk lines", b"\r\n".join(bytes(SEEDED.randrange(32, 127) for _ in range(60))
                                                  for _ in range(50)) + b"\r\n\r\n"),
            ("TLS client hello", bytes.fromhex("16030100a5010000a10303") + garbage(160)),
            ("NUL inside the request line", b"GET /api/state\x00 HTTP/1.1\r\n\r\n"),
            ("HTTP/0.9 request", b"GET /api/state\r\n\r\n"),
            ("unknown protocol version", b"GET /api/state HTTP/9.9\r\n\r\n"),
            ("request line of 1 MB", b"GET /" + b"a" * (1 << 20) + b" HTTP/1.1\r\n\r\n"),
            ("header of 1 MB", b"GET /api/state HTTP/1.1\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n"),
            ("2000 headers", b"GET /api/state HTTP/1.1\r\n" + headers_2000 + b"\r\n"),
            ("20000 headers", b"GET /api/state HTTP/1.1\r\n" + headers_2000 * 10 + b"\r\n"),
            ("negative Content-Length", b"POST /api/config HTTP/1.1\r\nContent-Length: -5\r\n" + FORM +
             b"\r\nconfig=srt_port%3D1"),
            ("Content-Length beyond 64 bits", b"POST /api/config HTTP/1.1\r\n" + FORM +
             b"Content-Length: 18446744073709551616\r\n\r\nconfig=srt_port%3D1"),
            ("broken chunked body", b"POST /api/config HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + FORM +
             b"\r\nzz\r\nconfig=srt_port%3D1\r\n0\r\n\r\n"),
            ("2000 byte ranges of a file", b"GET /app.js HTTP/1.1\r\nRange: bytes=" +
             b",".join([b"99999999-", b"5-1"] * 1000) + b"\r\n\r\n"),
        ]
        for name, data in cases:
            with self.subTest(name):
                self.assert_refused(exchange(self.gateway, data), name)
                self.assert_serving()
        self.finish()

    def test_endless_header_line_is_survived(self):
        sent, limit, chunk = 0, 8 << 20, b"a" * 65536
        before = resident_kilobytes(self.gateway)
        with connect(self.gateway) as sock:
            try:
                sock.sendall(b"GET /api/state HTTP/1.1\r\nX-Endless: ")
                while sent < limit:
                    sock.sendall(chunk)
                    sent += len(chunk)
                    if sent % (1 << 20) == 0:
                        self.assert_serving()
                sock.sendall(b"\r\n\r\n")
                answer = read_until_closed(sock)
            except (BrokenPipeError, ConnectionResetError):
                answer = b""
        self.assert_refused(answer, "endless header line")
        print(f"endless header line: {sent >> 20} MiB sent before the end or the cut, resident memory "
              f"{before} kB before, {resident_kilobytes(self.gateway)} kB after")
        self.finish()

    def test_requests_are_judged_before_their_body(self):
        """Who may change the configuration, and how large a body may be."""
        gateway = self.gateway
        host = b"Host: 127.0.0.1:%d" % gateway.web_port
        own_page = b"Origin: http://127.0.0.1:%d" % gateway.web_port
        foreign = gateway.default_config("rist_endpoint = 192.0.2.1:5000\n")
        above_8192 = gateway.default_config("// " + "x" * 60000 + "\n")
        too_long = gateway.default_config("// " + "x" * 65536 + "\n")
        query = "/api/config?" + urllib.parse.urlencode({"config": gateway.default_config("// query\n")})
        cases = [
            # name, request, status, the configuration saved by it (None: nothing changes)
            ("curl, which sends no Origin", post("/api/config", form(gateway.default_config("// curl\n")), FORM_TYPE),
             200, gateway.default_config("// curl\n")),
            ("the gateway's own page", post("/api/config", form(gateway.default_config("// page\n")), FORM_TYPE,
                                            host, own_page, b"Sec-Fetch-Site: same-origin"),
             200, gateway.default_config("// page\n")),
            ("the own page in an older browser", post("/api/config", form(gateway.default_config("// old\n")), FORM_TYPE,
                                                      host, own_page), 200, gateway.default_config("// old\n")),
            ("a configuration above 8192 bytes", post("/api/config", form(above_8192), FORM_TYPE), 200, above_8192),
            ("the configuration in the query string, no body", b"POST %s HTTP/1.1\r\nConnection: close\r\n\r\n" %
             query.encode(), 200, gateway.default_config("// query\n")),
            ("a form of another site", post("/api/config", form(foreign), FORM_TYPE, b"Origin: http://evil.example",
                                             b"Sec-Fetch-Site: cross-site"), 403, None),
            ("a page of the same site on another port", post("/api/config", form(foreign), FORM_TYPE,
                                                             b"Origin: http://127.0.0.1:1", b"Sec-Fetch-Site: same-site"),
             403, None),
            ("another site in an older browser", post("/api/config", form(foreign), FORM_TYPE, host,
                                                      b"Origin: http://evil.example"), 403, None),
            ("a sandboxed page", post("/api/config", form(foreign), FORM_TYPE, b"Origin: null"), 403, None),
            ("another site posting anywhere", post("/hi", b"x=1", FORM_TYPE, b"Sec-Fetch-Site: cross-site"), 403, None),
            ("a compressed body", post("/api/config", form(foreign), FORM_TYPE, b"Content-Encoding: gzip"), 415, None),
            ("a configuration above the limit", post("/api/config", form(too_long), FORM_TYPE), 413, None),
            ("a chunked configuration above the limit", b"POST /api/config HTTP/1.1\r\nConnection: close\r\n" + FORM +
             b"Transfer-Encoding: chunked\r\n\r\n" + chunked(form(too_long)), 413, None),
            ("200 MB announced, never sent", b"POST /hi HTTP/1.1\r\nContent-Length: 209715200\r\n\r\n", 413, None),
        ]
        for name, data, status, saved in cases:
            with self.subTest(name):
                before = config_on_disk(gateway)
                answer = ask(gateway, data)
                self.assertEqual(answer[0], status, answer[1] + answer[2][:200])
                self.assertEqual(config_on_disk(gateway), saved.encode() if saved else before)
        self.config = config_on_disk(gateway)
        self.finish()

    def test_huge_bodies_leave_the_memory_flat(self):
        chunk, limit = b"a" * 65536, 64 << 20
        cases = [
            ("Content-Length of 64 MiB", b"POST /hi HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % limit, lambda data: data),
            ("chunked body of 64 MiB", b"POST /hi HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
             lambda data: b"%x\r\n%s\r\n" % (len(data), data)),
        ]
        before = resident_kilobytes(self.gateway, "VmHWM")
        for name, head, frame in cases:
            with self.subTest(name):
                sent = 0
                with connect(self.gateway) as sock:
                    try:
                        sock.sendall(head)
                        while sent < limit:
                            sock.sendall(frame(chunk))
                            sent += len(chunk)
                    except OSError:
                        pass
                    self.assert_refused(read_until_closed(sock), name)
                print(f"{name}: {sent >> 10} KiB sent before the gateway closed")
        after = resident_kilobytes(self.gateway, "VmHWM")
        print(f"huge bodies: peak resident memory {before} kB before, {after} kB after")
        # ThreadSanitizer's own memory grows by tens of MB as the threads first run.
        if SANITIZER != "thread":
            self.assertLess(after - before, 16 << 10)
        self.finish()

    def test_ranges_never_multiply_an_answer(self):
        with open(os.path.join(SOURCE_DIR, "web", "app.js"), "rb") as file:
            whole = file.read()
        many = ",".join(["0-"] * 1500)
        cases = [
            # name, path, ranges, status, body (None: checked below)
            ("1500 times the whole file", "/app.js", many, 200, whole),
            ("overlapping ranges", "/app.js", "0-99,50-149", 200, whole),
            ("a suffix beside another range", "/app.js", "0-9,-10", 200, whole),
            ("nine ranges", "/app.js", ",".join(f"{i * 10}-{i * 10 + 4}" for i in range(9)), 200, whole),
            ("1500 times the state document", "/api/state", many, 200, None),
            ("one range", "/app.js", "5-9", 206, whole[5:10]),
            ("two ranges apart", "/app.js", "0-9,20-29", 206, None),
        ]
        for name, path, ranges, status, body in cases:
            with self.subTest(name):
                answer = ask(self.gateway, get(path, b"Range: bytes=" + ranges.encode()))
                self.assertEqual(answer[0], status, answer[1])
                self.assertLess(len(answer[2]), len(whole) + 1024)
                if body is not None:
                    self.assertEqual(answer[2], body)
        state = ask(self.gateway, get("/api/state", b"Range: bytes=" + many.encode()))[2].decode("latin-1")
        self.assertTrue(STATE_LAYOUT.match(state), state[:300])
        parts = ask(self.gateway, get("/app.js", b"Range: bytes=0-9,20-29"))[2]
        self.assertIn(whole[0:10], parts)
        self.assertIn(whole[20:30], parts)
        self.finish()

    def test_slow_clients_neither_lock_out_the_operator_nor_delay_a_stop(self):
        # Slow clients send a request one byte per half second, which would take a
        # minute; one address may hold 32 connections at a time.
        slow_request = b"GET /api/state HTTP/1.1\r\nX-Slow: " + b"a" * 100 + b"\r\n\r\n"
        stop = threading.Event()
        outcomes = []

        def slow_client():
            started = time.monotonic()
            with connect(self.gateway, timeout=20) as sock:
                for byte in slow_request:
                    if stop.is_set():
                        return
                    try:
                        sock.sendall(bytes([byte]))
                        if not select.select([sock], [], [], 0.5)[0]:
                            continue
                        answer = sock.recv(4096)
                    except OSError:
                        answer = b""
                    outcomes.append(("refused" if answer.startswith(b"HTTP/1.1 503") else "cut" if not answer
                                     else "answered", time.monotonic() - started))
                    return

        def trickle(count):
            clients = [threading.Thread(target=slow_client) for _ in range(count)]
            for client in clients:
                client.start()
            return clients

        def slow_but_in_time():
            # A byte per 50 ms: whole after 2 s, within the 5 s a request may take.
            with socket.socket() as sock:
                sock.settimeout(20)
                sock.bind(("127.0.0.3", 0))
                sock.connect(("127.0.0.1", self.gateway.web_port))
                for byte in b"GET /hi HTTP/1.1\r\nConnection: close\r\n\r\n":
                    sock.sendall(bytes([byte]))
                    time.sleep(0.05)
                outcomes.append(("in time", read_until_closed(sock)))

        clients = trickle(36) + [threading.Thread(target=slow_but_in_time)]
        clients[-1].start()
        started, slowest = time.monotonic(), 0.0
        while time.monotonic() - started < 3:
            for path in ("/hi", "/api/state"):
                asked = time.monotonic()
                self.assertEqual(ask(self.gateway, get(path), source="127.0.0.2")[0], 200, path)
                slowest = max(slowest, time.monotonic() - asked)
            time.sleep(0.1)
        for client in clients:
            client.join(timeout=30)
        kinds = [kind for kind, _ in outcomes]
        self.assertEqual((kinds.count("refused"), kinds.count("cut")), (4, 32), outcomes)
        self.assertTrue(dict(outcomes)["in time"].startswith(b"HTTP/1.1 200 OK"), outcomes)
        cut_after = [seconds for kind, seconds in outcomes if kind == "cut"]
        print(f"slow clients: 32 held, 4 refused; the held ones cut after {min(cut_after):.1f}-{max(cut_after):.1f} s; "
              f"the operator's slowest answer meanwhile {slowest * 1000:.0f} ms")

        clients = trickle(8)
        time.sleep(1)
        signalled = time.monotonic()
        self.assertEqual(self.gateway.stop(), 0)
        stopped_after = time.monotonic() - signalled
        stop.set()
        for client in clients:
            client.join(timeout=30)
        print(f"stop with 8 slow clients: {stopped_after * 1000:.0f} ms")
        # Before their request time ran out (5 s from their first byte, 1 s ago).
        self.assertLess(stopped_after, 4)
        self.gateway.assert_clean_exit(self)

    def test_a_second_gateway_cannot_share_the_port(self):
        second = Gateway()
        self.addCleanup(second.close)
        second.web_port = self.gateway.web_port
        second.write_config(second.default_config())
        second.start()
        self.assertTrue(wait_until(lambda: second.process.poll() is not None, 20), "the second gateway listens too")
        for _ in range(12):
            self.assertEqual(request(self.gateway, "GET", "/api/config").body, self.config)
        self.finish()

    def test_half_sent_requests_change_nothing(self):
        body = b"config=srt_port%3D1%0Aweb_port%3D2%0A"
        cases = [
            ("part of the request line", b"GET /api/sta"),
            ("headers without the blank line", b"GET /api/state HTTP/1.1\r\nHost: x\r\n"),
            ("POST cut in its headers", b"POST /api/config HTTP/1.1\r\nContent-Length: 36\r\n"),
            ("POST body shorter than its Content-Length", b"POST /api/config HTTP/1.1\r\n" + FORM +
             b"Content-Length: 1000\r\n\r\n" + body),
            ("POST body cut in a key", b"POST /api/config HTTP/1.1\r\n" + FORM +
             b"Content-Length: %d\r\n\r\n" % len(body) + body[:20]),
        ]
        for name, data in cases:
            with self.subTest(name, ends="closed"):
                with connect(self.gateway) as sock:
                    sock.sendall(data)
                self.assert_serving()
            with self.subTest(name, ends="write side shut"):
                self.assert_refused(exchange(self.gateway, data), name)
        # Held open without another byte: the server gives up on its read timeout.
        with connect(self.gateway, timeout=20) as sock:
            sock.sendall(b"GET /api/state HTTP/1.1\r\nHost: x\r\n")
            held = time.monotonic()
            self.assert_refused(read_until_closed(sock), "held open")
            self.assertLess(time.monotonic() - held, 20)
        self.finish()


if __name__ == "__main__":
    unittest.main()
