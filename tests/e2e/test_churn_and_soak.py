"""Churn and soak. Beside one long stream, fifty libsrt callers arrive at once, then SRT
and talkback callers connect and hang up over and over (to a RIST destination that never
answers): threads, descriptors and resident memory come back to their figures after a
warm-up. Then the stream runs on while the resident memory is sampled; the sink checks
every packet of it. Lengths (plain; sanitizer), scripts/soak.sh sets long ones:
  SLUICE_SOAK_SECONDS  length of the long stream  [40; 15]
  SLUICE_SOAK_MBITS    its rate in Mbit/s         [20; 4]
  SLUICE_CHURN_CYCLES  SRT cycles, a quarter of them talkback cycles too  [200; 30]"""

import os
import threading
import time
import unittest

from harness import (LIBSRT, SANITIZER, SLOW, MediaCase, SrtListener, call_once, post_form, resources, srt_call,
                     wait_until)

SECONDS = float(os.environ.get("SLUICE_SOAK_SECONDS", "15" if SLOW else "40"))
MBITS = float(os.environ.get("SLUICE_SOAK_MBITS", "4" if SLOW else "20"))
CYCLES = int(os.environ.get("SLUICE_CHURN_CYCLES", "30" if SLOW else "200"))
BURST = 50
# Resident memory may move by allocator caches and libsrt's buffer pools after the warm-up.
RSS_TOLERANCE_KIB = 8 * 1024


@unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
class ChurnAndSoakTest(MediaCase):
    def cycle(self, gateway, stream_id, taken="streamid:"):
        self.assertIsNone(call_once(gateway, stream_id, taken), stream_id)

    def burst(self, gateway):
        def call(number):
            sock, _ = srt_call(gateway.srt_port, f"burst{number}".encode())
            if sock is not None:
                time.sleep(1)
                LIBSRT.srt_close(sock)
        callers = [threading.Thread(target=call, args=(number,)) for number in range(BURST)]
        for thread in callers:
            thread.start()
        for thread in callers:
            thread.join(30)
        self.assertTrue(wait_until(lambda: gateway.log().count("streamid:burst") == BURST, 30),
                        f"{gateway.log().count('streamid:burst')} of {BURST} callers at once accepted")

    def settled(self, gateway, workers, baseline=None):
        """(threads, descriptors, RSS KiB) once the finished workers ended and, given a
        baseline, once all three came back to it (libsrt reaps closed sockets' threads later)."""
        pid = gateway.process.pid
        gateway.wait_for_log("RistWorker end STOPed", count=workers, timeout=30)
        if baseline:
            wait_until(lambda: all(now <= then for now, then in zip(resources(pid)[:2], baseline))
                       and (SANITIZER or resources(pid)[2] - baseline[2] < RSS_TOLERANCE_KIB), 30, 0.5)
        else:
            time.sleep(2)
        return resources(pid)

    def test_churn_leaves_nothing_behind_and_the_long_stream_loses_nothing(self):
        source = SrtListener()
        self.addCleanup(source.close)
        pacer = self.pacer(1, MBITS * 1_000_000, SECONDS)
        port, sink = self.destination(1, pacer.packets, idle=10, deadline=SECONDS + 120)
        gateway = self.gateway([port])
        self.feeder(f"srt://127.0.0.1:{gateway.srt_port}?streamid=long-stream", pacer.readers[0])
        gateway.wait_for_log("CONNECT: SUCCESS")
        pacer.start()
        started = time.monotonic()
        later = f"rist_endpoint=127.0.0.1:{self.drain()}\ntb_endpoint=srt://127.0.0.1:{source.port}\n"
        self.assertEqual(post_form(gateway, {"config": gateway.default_config(later)}).status, 200)

        self.burst(gateway)
        for number in range(5):  # warm-up: libsrt and librist pools, allocator caches
            self.cycle(gateway, f"w{number}".encode())
            self.cycle(gateway, f"w{number}-talkback".encode(), "run process_talkback_srt2srt")
        before = self.settled(gateway, BURST + 10)
        cycles = talkback = 0
        while cycles < CYCLES and time.monotonic() - started < SECONDS * 0.6:
            self.cycle(gateway, f"churn{cycles}".encode())
            if cycles % 4 == 0:
                self.cycle(gateway, f"tb{cycles}-talkback".encode(), "run process_talkback_srt2srt")
                talkback += 1
            cycles += 1
        after = self.settled(gateway, BURST + 10 + cycles + talkback, before)
        samples = [after[2]]
        while pacer.peer.running():
            time.sleep(2)
            samples.append(resources(gateway.process.pid)[2])
        report = sink.report()
        print(f"\n{cycles} SRT and {talkback} talkback cycles: threads {before[0]} -> {after[0]}, descriptors "
              f"{before[1]} -> {after[1]}, RSS {before[2]} -> {after[2]} KiB; soak at {MBITS:g} Mbit/s, RSS every "
              f"2 s: {samples}; delivered {report['delivered']} of {sink.packets}")
        self.assertGreater(cycles, CYCLES // 4, "too few cycles in time")
        self.assertTrue(after[0] <= before[0] and after[1] <= before[1], "threads or descriptors left behind")
        if not SANITIZER:  # a sanitizer's allocator has resident figures of its own
            self.assertLess(max(samples) - before[2], RSS_TOLERANCE_KIB, "resident memory grew")
        if not SLOW:  # a sanitizer build on 2 busy cores may stall past SRT's latency: printed above
            sink.assert_whole(self)
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
