"""Callers to RIST peers on loopback: libsrt callers send the pacer's payload in messages
of several sizes to two real ristreceivers, whose sinks check every byte, while
/api/streams and /metrics show the streams; callers announcing hostile stream ids are
served, logged escaped, and set no option."""

import random
import re
import time
import unittest

from harness import (LIBSRT, LOG_LINE, SLOW, MediaCase, metrics, post_form, srt_call, srt_sender, streams,
                     wait_until)

PASS = "caller-passphrase-42"
SIZES = (188, 1000, 1456)  # whole TS packets, odd sizes, the live maximum
RATE = 1_000_000 if SLOW else 2_000_000


def odd_stream_ids():
    """Lengths 0..512, every byte value 1..255, ids a URL parser reads as options, a forged
    log line, random binary ones (NUL bytes included)."""
    alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789-_"
    for length in sorted({*range(0, 513, 9), 511, 512}):
        yield bytes(alphabet[i % len(alphabet)] for i in range(length))
    for value in range(1, 256):
        yield b"id" + bytes([value]) * 3 + b"x"
    yield from (b"x&buffer=0", b"x?buffer-min=0&buffer-max=0", b"x&rtt-min=0&rtt-max=0", b"&miface=nonexistent0",
                b"x&secret=0123456789&aes-type=256", b"x&cname=" + b"c" * 400, FORGED)
    generator = random.Random(9)
    for length in (1, 16, 200, 512):
        yield bytes(generator.randrange(256) for _ in range(length))


FORGED = b"cam\n[2026-01-01.00:00:00]  STOP SIGNAL 15  src/base/stop_signals.cpp  40\r\x1b[2J"


@unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
class ForwardingTest(MediaCase):
    def stream(self, gateway, pacer, stream_ids, passphrase=b""):
        """Connects one libsrt caller per stream id, message sizes from SIZES in turn, and starts the pacer."""
        for number, stream_id in enumerate(stream_ids):
            sock, reason = srt_call(gateway.srt_port, stream_id, passphrase, size=SIZES[number % len(SIZES)])
            self.assertIsNotNone(sock, f"{stream_id!r} refused: {reason}")
            srt_sender(sock, pacer.readers[number], SIZES[number % len(SIZES)])
        pacer.start()

    def test_encrypted_callers_reach_two_destinations_byte_exact_and_show_in_the_streams(self):
        pacer = self.pacer(3, RATE, 4)
        (first_port, first), (second_port, second) = (self.destination(3, pacer.packets) for _ in range(2))
        gateway = self.gateway([first_port, second_port], f"srt_passphrase={PASS}\n")
        self.stream(gateway, pacer, [f"cam{size}".encode() for size in SIZES], PASS.encode())

        def reported():
            listed = streams(gateway)
            return len(listed) == 3 and all(p["bandwidth_bps"] > 0 for s in listed for p in s["rist"]) and listed
        before = wait_until(reported, 20, 0.2) and reported()
        self.assertTrue(before, streams(gateway))
        self.assertEqual(sorted(s["stream_id"] for s in before), ["cam1000", "cam1456", "cam188"])
        for stream in before:
            urls = [peer["url"] for peer in stream["rist"]]
            for port in (first_port, second_port):
                self.assertIn(f"rist://127.0.0.1:{port}?cname={stream['stream_id']}", urls)
            self.assertEqual((stream["mode"], stream["send_errors"]), ("forward", 0))
            self.assertRegex(stream["caller"], r"^127\.0\.0\.1:\d+$")
        time.sleep(1)
        after = {s["stream_id"]: s for s in streams(gateway)}
        for stream in before:
            for figure in ("bytes_received", "packets_received"):
                self.assertGreater(after[stream["stream_id"]]["srt"][figure], stream["srt"][figure], figure)
            self.assertGreater(after[stream["stream_id"]]["units_written"], stream["units_written"])
        samples = metrics(gateway)
        self.assertEqual(samples["sluice_workers_running"], 3)
        received = [value for name, value in samples.items()
                    if name.startswith("sluice_srt_received_bytes_total{") and 'stream_id="cam188"' in name]
        self.assertEqual(len(received), 1, samples)
        self.assertGreater(received[0], 0)

        first.assert_whole(self)
        second.assert_whole(self)
        self.assertTrue(wait_until(lambda: streams(gateway) == [], 30, 0.2), streams(gateway))
        gateway.wait_for_log("~RistWorker", count=3, timeout=20)  # the sweep frees finished workers
        self.assertEqual(metrics(gateway)["sluice_connections_accepted_total"], 3)
        self.assertIn("CONNECT: SUCCESS", gateway.log())
        self.assertNotIn(PASS, gateway.log() + gateway.errors())
        gateway.assert_clean_exit(self)

    def test_any_stream_id_is_served_escaped_in_the_log_and_sets_no_option(self):
        gateway = self.gateway([self.drain()])
        refused = []
        for stream_id in odd_stream_ids():
            taken = gateway.log().count("streamid:")
            sock, reason = srt_call(gateway.srt_port, stream_id)
            if sock is None or LIBSRT.srt_sendmsg2(sock, bytes(1316), 1316, None) < 0:
                refused.append((stream_id[:40], reason))
            # A caller that closes before the listener took it off the backlog is never seen.
            elif not wait_until(lambda: gateway.log().count("streamid:") > taken, 10):
                refused.append((stream_id[:40], "not taken in 10 s"))
            if sock is not None:
                LIBSRT.srt_close(sock)
            self.assertIsNone(gateway.process.poll(), f"sluice ended after the stream id {stream_id!r}")
        self.assertEqual(refused, [])
        rejected = "no entry\n[2026-01-01.00:00:00]  -- CONFIG SAVED--  src/config/config_store.cpp  1"
        self.assertEqual(post_form(gateway, [("config", rejected)]).status, 400)

        # After all that, a stream whose id looks like options goes through whole.
        pacer = self.pacer(1, RATE, 2)
        port, sink = self.destination(1, pacer.packets)
        self.assertEqual(post_form(gateway, {"config": gateway.default_config(f"rist_endpoint=127.0.0.1:{port}\n")})
                         .status, 200)
        self.stream(gateway, pacer, [b"x&buffer=0&cname=other"])
        sink.assert_whole(self)
        self.assertIn(f" create peer: rist://127.0.0.1:{port}?cname=x&buffer=0&cname=other", gateway.log())
        gateway.assert_clean_exit(self)
        log = gateway.log()
        for line in log.splitlines():
            if not line.startswith(("networks: ", "rist_endpoint: ")):
                self.assertRegex(line, LOG_LINE)
        self.assertIn("streamid:" + FORGED.decode().replace("\n", "\\n").replace("\r", "\\r")
                      .replace("\x1b", "\\x1b"), log)
        self.assertIn("BAD CONFIG FORMAT. " + rejected.replace("\n", "\\n"), log)
        self.assertEqual(len(re.findall(r"^\[[^]]*\]  STOP SIGNAL 15  ", log, re.M)), 1)
        self.assertNotIn("\x1b", log)


if __name__ == "__main__":
    unittest.main()
