"""Hostile callers: what anyone who reaches the SRT port can do. Real libsrt callers
(srt_test_peer, built with the tests) announce any stream id bytes up to SRT's 512,
send messages of SRT's live maximum, come a hundred at once, or hang up over and over
while their RIST destination does not answer. The gateway forwards or refuses each
caller, never crashes, and keeps forwarding afterwards.

Counts (smaller under a sanitizer, where every worker is slow):
  SLUICE_CHURN_ROUNDS  rounds of 50 callers of 2 s on a dead destination  [3]"""

import json
import os
import random
import subprocess
import time
import unittest

from harness import (NULL_PID, SLOW, SRT_TEST_PEER, MediaTestCase, UdpSink, free_port, post_form, request,
                     rist_receiver, srt_caller, srt_test_peer, ts_payload, udp_drain, wait_until)

MAX_STREAM_ID = 512
LIVE_MAX_PAYLOAD = 1456
CHURN_ROUNDS = int(os.environ.get("SLUICE_CHURN_ROUNDS", "3"))
CHURN_CALLERS = 50
BURST_CALLERS = 100
# librist's cname holds at most this many bytes of a stream id (see peer_cname).
MAX_CNAME = 125


def odd_stream_ids():
    """(label, id) for every length 0..512, every byte value 1..255, ids that a URL
    parser would read as options, and random binary ones (NUL bytes included); fewer
    lengths under a sanitizer."""
    alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789-_"
    lengths = range(MAX_STREAM_ID + 1) if not SLOW else sorted({*range(0, MAX_STREAM_ID + 1, 9), 511, 512})
    for length in lengths:
        yield f"length {length}", bytes(alphabet[i % len(alphabet)] for i in range(length))
    for value in range(1, 256):
        yield f"byte {value}", b"id" + bytes([value]) * 3 + b"x"
    for option in (b"x&buffer=0", b"x?buffer-min=0&buffer-max=0", b"x&rtt-min=0&rtt-max=0", b"x&weight=0",
                   b"&miface=nonexistent0", b"x&secret=0123456789&aes-type=256", b"x&cname=" + b"c" * 400):
        yield f"option {option[:20]!r}", option
    generator = random.Random(9)
    for number in range(8):
        length = generator.choice([1, 16, 200, MAX_STREAM_ID])
        yield f"random {number}", bytes(generator.randrange(256) for _ in range(length))


class HostileCallerTest(MediaTestCase):
    def setUp(self):
        if not SRT_TEST_PEER:
            self.skipTest("SLUICE_SRT_TEST_PEER is not set")

    def gateway_to(self, rist_port):
        return self.start_gateway([rist_port])

    def assert_alive(self, gateway):
        self.assertIsNone(gateway.process.poll(), "sluice ended\n" + gateway.log()[-3000:] + gateway.errors()[-3000:])

    def send(self, gateway, stream_id, payload, size=1316, rate=1_000_000, hold=1.5):
        """One srt_test_peer caller that sends payload in size-byte messages and stays
        hold seconds after the end."""
        caller = srt_test_peer("send", gateway.srt_port, size, stream_id, rate, hold, stdin=subprocess.PIPE)
        self.addCleanup(caller.stop)
        caller.process.stdin.write(payload)
        caller.process.stdin.close()
        return caller

    def forward_and_check(self, gateway, sink, stream_id, pid, size=1316, count=7 * 150, hold=1.5):
        """Forwards count packets of pid from a caller announcing stream_id, which stays
        hold seconds after the end; asserts that all of them arrived intact and in order.
        Gives the caller."""
        caller = self.send(gateway, stream_id, ts_payload(pid, count) + ts_payload(NULL_PID, 7 * 12), size, hold=hold)
        arrived = sink.wait_for_packets(pid, count, 60 if SLOW else 20)
        self.assertTrue(arrived, f"{len(sink.packets(pid))} of {count} packets of {stream_id[:40]!r} arrived\n"
                        + gateway.log()[-3000:])
        sink.check_stream(self, pid, count)
        return caller

    def test_a_stream_id_reaches_the_receiver_as_its_cname_and_sets_no_option(self):
        sink = UdpSink()
        self.addCleanup(sink.close)
        rist_port = free_port()
        receiver = rist_receiver(rist_port, sink.port, verbosity=6)
        self.addCleanup(receiver.stop)
        gateway = self.gateway_to(rist_port)
        cases = [  # id, cname the receiver must see
            (b"x&buffer=0", b"x&buffer=0"),  # librist divided by the buffer: SIGFPE
            (b"x?buffer-min=0&buffer-max=0", b"x?buffer-min=0&buffer-max=0"),
            (b"x&secret=0123456789&aes-type=128", b"x&secret=0123456789&aes-type=128"),  # encrypted: nothing arrived
            (b"cam&weight=0&cname=other", b"cam&weight=0&cname=other"),
            (b"n\0ul", b"n"),
            (b"L" * MAX_STREAM_ID, b"L" * MAX_CNAME),
        ]
        for number, (stream_id, cname) in enumerate(cases):
            with self.subTest(stream_id=stream_id[:40]):
                caller = self.forward_and_check(gateway, sink, stream_id, 0x600 + number, hold=30)
                seen = f"receiver name is now: {cname.decode()}\n"
                self.assertTrue(wait_until(lambda: seen in receiver.output(), 5), receiver.output()[-2000:])
                if b"\0" not in stream_id:  # the URL as shown keeps the id as it came
                    shown = f"rist://127.0.0.1:{rist_port}?cname={stream_id.decode()}"
                    self.assertIn(" create peer: " + shown, gateway.log())
                    self.assertTrue(wait_until(lambda: shown in self.peer_urls(gateway), 10),
                                    self.peer_urls(gateway))
                caller.terminate()
            self.assert_alive(gateway)
        gateway.assert_clean_exit(self)

    def peer_urls(self, gateway):
        streams = json.loads(request(gateway, "GET", "/api/streams").body)["streams"]
        return [peer["url"] for stream in streams for peer in stream["rist"]]

    def test_any_stream_id_bytes_are_served_and_the_gateway_keeps_forwarding(self):
        rist_port, sink = self.receiver()
        gateway = self.gateway_to(udp_drain(self))  # the odd callers' units go nowhere
        callers = subprocess.Popen([SRT_TEST_PEER, "ids", str(gateway.srt_port), "1316"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(callers.wait, 10)
        self.addCleanup(callers.stdout.close)
        self.addCleanup(callers.stdin.close)
        served, refused = 0, {}
        for label, stream_id in odd_stream_ids():
            accepted = gateway.log().count("streamid:")
            callers.stdin.write(stream_id.hex() + "\n")
            callers.stdin.flush()
            result = callers.stdout.readline().strip()
            # Each caller stays until the gateway took it; the next line closes it.
            if result == "ok" and wait_until(lambda: gateway.log().count("streamid:") > accepted, 10):
                served += 1
            else:
                refused[label] = result or "not taken by the listener in 10 s"
            self.assertIsNone(gateway.process.poll(), f"sluice ended after the stream id of {label}")
        print(f"\nstream ids served: {served}, refused: {len(refused)} {sorted(refused.items())[:5]}")
        self.assertEqual(refused, {}, "libsrt or the gateway refused stream ids")

        config = gateway.default_config(f"rist_endpoint=127.0.0.1:{rist_port}\n")
        self.assertEqual(post_form(gateway, {"config": config}).status, 200)
        caller = srt_caller(gateway.srt_port, "after-odd-ids")
        self.addCleanup(caller.stop)
        count = 7 * 200
        caller.send(ts_payload(0x401, count), 1_000_000)
        caller.push_through()
        sink.wait_for_packets(0x401, count, 60 if SLOW else 20)
        sink.check_stream(self, 0x401, count)
        gateway.assert_clean_exit(self)

    def test_messages_of_the_live_maximum_arrive_byte_exact(self):
        rist_port, sink = self.receiver()
        gateway = self.gateway_to(rist_port)
        self.forward_and_check(gateway, sink, b"payload-1456", 0x700, size=LIVE_MAX_PAYLOAD, count=7 * 400)
        self.assertEqual(set(sink.sizes()), {1316})
        gateway.assert_clean_exit(self)

    def burst(self, gateway, prefix, callers, seconds, spread):
        """callers srt_test_peer callers of seconds each, starting together or spread over
        spread seconds; gives how many connected."""
        burst = srt_test_peer("burst", gateway.srt_port, 1316, prefix, callers, seconds, 30_000, spread)
        self.addCleanup(burst.stop)
        self.assertTrue(wait_until(lambda: not burst.running(), seconds + spread + 60, 0.2), "the burst never ended")
        result = [line for line in burst.output().splitlines() if line.startswith("connected ")]
        self.assertEqual(len(result), 1, burst.output())
        return int(result[0].split()[1]), burst.output()

    def test_a_hundred_callers_at_once_are_all_accepted(self):
        gateway = self.gateway_to(udp_drain(self))
        connected, output = self.burst(gateway, b"burst-", BURST_CALLERS, seconds=3, spread=0)
        accepted = gateway.log().count("streamid:burst-")
        print(f"\n{BURST_CALLERS} callers at once: {connected} connected, {accepted} accepted")
        self.assertEqual(connected, BURST_CALLERS, output)
        self.assertTrue(wait_until(lambda: gateway.log().count("streamid:burst-") == BURST_CALLERS, 30))
        gateway.assert_clean_exit(self)

    def test_callers_hanging_up_on_a_destination_that_does_not_answer_never_crash_it(self):
        # Nothing listens on the destination's port: librist's peers never connect.
        gateway = self.gateway_to(free_port())
        started = time.monotonic()
        for round_number in range(CHURN_ROUNDS):
            connected, output = self.burst(gateway, f"churn{round_number}-".encode(), CHURN_CALLERS, seconds=2,
                                           spread=1)
            self.assertEqual(connected, CHURN_CALLERS, output)
            workers = (round_number + 1) * CHURN_CALLERS
            ended = wait_until(lambda: gateway.log().count("end process_data need stop") >= workers, 60, 0.2)
            self.assertTrue(ended, f"round {round_number}: workers still running\n" + gateway.log()[-3000:])
            self.assert_alive(gateway)
        print(f"\n{CHURN_ROUNDS} rounds of {CHURN_CALLERS} callers on a dead destination survived "
              f"in {time.monotonic() - started:.0f} s")
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
