"""Hostile and broken clients on the HTTP port of the real binary: raw garbage, request
lines and headers far beyond the library's limits, thousands of headers, an endless
header line, slow clients and half-sent requests. Each is refused or served, never a
crash; "/hi" and "/api/state" keep answering correctly during and after, the
configuration stays as it was, and the gateway stops cleanly."""

import random
import socket
import threading
import time
import unittest

from harness import STATE_LAYOUT, Gateway, config_on_disk, request

FORM = b"Content-Type: application/x-www-form-urlencoded\r\n"
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
        except (BrokenPipeError, ConnectionResetError):
            return b""
        return read_until_closed(sock)


def resident_kilobytes(gateway):
    with open(f"/proc/{gateway.process.pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
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
            ("gzip body that is not gzip", b"POST /api/config HTTP/1.1\r\nContent-Encoding: gzip\r\n" + FORM +
             b"Content-Length: 19\r\n\r\nconfig=srt_port%3D1"),
            ("brotli body that is not brotli", b"POST /api/config HTTP/1.1\r\nContent-Encoding: br\r\n" + FORM +
             b"Content-Length: 19\r\n\r\nconfig=srt_port%3D1"),
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

    def test_slow_clients_do_not_hold_up_the_others(self):
        # Four clients each send a whole request one byte per 100 ms (about 3.5 s); the
        # library serves each connection on one of its 8 workers, so the others stay free.
        slow_request = b"GET /api/state HTTP/1.1\r\nA: b\r\n\r\n"
        answers = []

        def slow_client():
            with connect(self.gateway, timeout=20) as sock:
                for index in range(len(slow_request)):
                    sock.sendall(slow_request[index:index + 1])
                    time.sleep(0.1)
                answers.append(read_until_closed(sock, limit=1 << 16))

        clients = [threading.Thread(target=slow_client) for _ in range(4)]
        for client in clients:
            client.start()
        started, checks, slowest = time.monotonic(), 0, 0.0
        while any(client.is_alive() for client in clients) and time.monotonic() - started < 30:
            asked = time.monotonic()
            self.assert_serving()
            slowest = max(slowest, time.monotonic() - asked)
            checks += 1
            time.sleep(0.1)
        for client in clients:
            client.join(timeout=30)
        self.assertFalse(any(client.is_alive() for client in clients))
        self.assertEqual(len(answers), 4)
        for answer in answers:
            self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"), answer[:100])
            self.assertRegex(answer.split(b"\r\n\r\n", 1)[1].decode("latin-1"), STATE_LAYOUT)
        print(f"slow clients: {checks} checks of /hi and /api/state meanwhile, slowest {slowest * 1000:.0f} ms")
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
