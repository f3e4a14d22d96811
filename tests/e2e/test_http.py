"""The HTTP server of the real binary, for what only the running process shows: saves
under load (atomic, through a symlink, keeping mode and owner), slow clients against the
per-address limit and the stop, and the exclusive port."""

import concurrent.futures
import contextlib
import http.client
import os
import select
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import Gateway, config_on_disk, post_form, request, wait_until

LOAD_SECONDS = 5
READERS = 16


def start(test, extra=""):
    gateway = Gateway()
    test.addCleanup(gateway.close)
    gateway.write_config(gateway.default_config(extra))
    return gateway.start()


def unaccepted(gateway):
    """Connections to the web port that the kernel completed and the gateway has not accepted yet."""
    listening = subprocess.run(["ss", "-Hltn", f"sport = :{gateway.web_port}"], capture_output=True, text=True,
                               check=True).stdout
    return int(listening.split()[1])


def get(gateway, path, headers=None, source="127.0.0.1"):
    """(status, body) of one GET sent from the source address."""
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", gateway.web_port, timeout=20,
                                                       source_address=(source, 0))) as connection:
        connection.request("GET", path, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, answer.read()


class HttpTest(unittest.TestCase):
    def test_saves_keep_link_mode_and_owner_and_stay_whole_under_load(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        link, target = os.path.join(gateway.dir, "config.ini"), os.path.join(gateway.dir, "kept", "gateway.ini")
        os.mkdir(os.path.dirname(target))
        os.rename(link, target)
        os.symlink("kept/gateway.ini", link)
        os.chmod(target, 0o600)
        owner = (4242, 4343) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(target, *owner)
        os.mkdir(link + ".tmp")  # the temporary file goes beside the target, not the link
        gateway.start()
        offered, posted, seen, reads = {config_on_disk(gateway)}, [], set(), []
        deadline = time.monotonic() + LOAD_SECONDS

        def reader():
            connection = http.client.HTTPConnection("127.0.0.1", gateway.web_port, timeout=20)
            while time.monotonic() < deadline:
                connection.request("GET", "/api/state")
                answer = connection.getresponse()
                self.assertEqual((answer.status, answer.read()[:11]), (200, b'{"ifaces":['))
                reads.append(1)
            connection.close()

        def poster(client):
            for index in range(10000):
                if time.monotonic() > deadline:
                    return
                # Texts of different lengths, so that a torn or mixed file would show.
                text = gateway.default_config(f"// {client} {index} {'x' * (index % 7 * 700)}\nignore = p{index}\n")
                offered.add(text.encode())
                self.assertEqual(post_form(gateway, [("config", text)]).status, 200)
                posted.append(text)
                time.sleep(0.02)

        def sampler():
            while time.monotonic() < deadline:
                seen.add(config_on_disk(gateway))
                self.assertLessEqual(seen, offered, "config.ini held a text never posted")
                time.sleep(0.001)

        with concurrent.futures.ThreadPoolExecutor(READERS + 3) as pool:
            work = [pool.submit(reader) for _ in range(READERS)] + [pool.submit(sampler)]
            for future in work + [pool.submit(poster, client) for client in (1, 2)]:
                future.result(timeout=LOAD_SECONDS + 60)
        print(f"\n{len(reads)} reads over {READERS} connections in {LOAD_SECONDS} s, {len(posted)} posts, "
              f"{len(seen)} texts seen in config.ini")
        self.assertGreater(len(posted), 10)
        self.assertGreater(len(seen), 1, "the samples never saw a posted text")
        final = config_on_disk(gateway)
        self.assertIn(final.decode(), posted)
        self.assertEqual(request(gateway, "GET", "/api/config").body, final)
        self.assertEqual(gateway.log().count("-- CONFIG SAVED--"), len(posted))
        self.assertEqual(os.readlink(link), "kept/gateway.ini")
        saved = os.stat(target)
        self.assertEqual((oct(saved.st_mode & 0o7777), saved.st_uid, saved.st_gid), (oct(0o600), *owner))
        self.assertEqual(os.listdir(os.path.dirname(target)), ["gateway.ini"])
        gateway.assert_clean_exit(self)

    def test_slow_clients_neither_lock_out_the_operator_nor_delay_a_stop(self):
        gateway = start(self)
        stop, outcomes, connected = threading.Event(), [], []

        def client(source, pause, data):
            """Sends data a byte per pause, until the server answers or closes."""
            started = time.monotonic()
            with socket.socket() as sock:
                sock.settimeout(20)
                sock.bind((source, 0))
                sock.connect(("127.0.0.1", gateway.web_port))
                connected.append(source)
                answer = b""
                with contextlib.suppress(OSError):
                    for byte in data:
                        sock.sendall(bytes([byte]))
                        if stop.is_set() or select.select([sock], [], [], pause)[0]:
                            break
                    answer = b"" if stop.is_set() else sock.recv(4096)
                outcomes.append((source, answer[:12], time.monotonic() - started))

        def trickle(count, source="127.0.0.1", pause=0.5, data=b"GET /hi HTTP/1.1\r\nX-Slow: " + b"a" * 99 + b"\n\n"):
            clients = [threading.Thread(target=client, args=(source, pause, data)) for _ in range(count)]
            for thread in clients:
                thread.start()
            return clients

        # One address alone may hold 56 of the 64 workers: of 60 connections that would
        # take a minute each, 4 are refused and 56 cut after 5 s. The 8 workers kept free
        # serve the other addresses meanwhile: one whole in 2 s, and the operator's.
        clients = trickle(60)
        self.assertTrue(wait_until(lambda: len(outcomes) >= 4, 20), outcomes)
        clients += trickle(1, "127.0.0.3", 0.05, b"GET /hi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        started, slowest = time.monotonic(), 0.0
        while time.monotonic() - started < 3:
            for path in ("/hi", "/api/state"):
                asked = time.monotonic()
                self.assertEqual(get(gateway, path, source="127.0.0.2")[0], 200, path)
                slowest = max(slowest, time.monotonic() - asked)
            time.sleep(0.1)
        for thread in clients:
            thread.join(timeout=30)
        answers = sorted(answer for _, answer, _ in outcomes)
        self.assertEqual(answers, [b""] * 56 + [b"HTTP/1.1 200"] + [b"HTTP/1.1 503"] * 4, outcomes)
        cut_after = [seconds for _, answer, seconds in outcomes if not answer]
        print(f"\nslow clients: 56 cut after {min(cut_after):.1f}-{max(cut_after):.1f} s, 4 refused; "
              f"the operator's slowest answer meanwhile {slowest * 1000:.0f} ms")

        taken = len(connected)
        clients = trickle(8)
        self.assertTrue(wait_until(lambda: len(connected) == taken + 8 and unaccepted(gateway) == 0, 10),
                        "the gateway did not take the slow clients")
        signalled = time.monotonic()
        gateway.process.send_signal(signal.SIGINT)
        self.assertEqual(gateway.process.wait(timeout=15), 0)
        stopped_after = time.monotonic() - signalled
        stop.set()
        for thread in clients:
            thread.join(timeout=30)
        print(f"stop with 8 slow clients: {stopped_after * 1000:.0f} ms")
        self.assertLess(stopped_after, 4, "the stop waited for the slow clients' 5 s")
        self.assertIn("STOP SIGNAL 2", gateway.log())
        gateway.assert_clean_exit(self)

    def test_a_second_gateway_cannot_share_the_port(self):
        gateway = start(self)
        second = Gateway()
        self.addCleanup(second.close)
        second.web_port = gateway.web_port
        second.write_config(second.default_config())
        second.start()
        self.assertTrue(wait_until(lambda: second.process.poll() not in (None, 0), 20), "the second one listens too")
        self.assertEqual(request(gateway, "GET", "/api/config").body, config_on_disk(gateway))
        gateway.assert_clean_exit(self)



if __name__ == "__main__":
    unittest.main()
