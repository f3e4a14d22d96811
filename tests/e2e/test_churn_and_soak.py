"""Churn and soak. While one long stream is forwarded, SRT callers connect and hang up
over and over (libsrt callers through ctypes, fast enough for a thousand cycles) and
talkback callers come and go: the long stream loses nothing, and the gateway's threads,
descriptors and resident memory come back to what they were after a warm-up. The soak
forwards one fast stream and samples the resident memory.

Counts and lengths (CI defaults in brackets, smaller under a sanitizer):
  SLUICE_CHURN_CYCLES     SRT connect/hang-up cycles   [200; 50]   full: 1000
  SLUICE_TALKBACK_CYCLES  talkback cycles              [50; 20]    full: 200
  SLUICE_SOAK_SECONDS     soak length                  [20; 10]    full: 600 (scripts/soak.sh)
  SLUICE_SOAK_MBITS       soak rate in Mbit/s          [50; 10]"""

import os
import struct
import threading
import time
import unittest

from harness import (LIBSRT, NULL_PID, SANITIZER, SLOW, Gateway, SrtLibrary, UdpSink, fd_count, free_port, post_form,
                     rist_receiver, rss_kib, srt_caller, thread_count, ts_payload, udp_drain, wait_until)

CHURN_CYCLES = int(os.environ.get("SLUICE_CHURN_CYCLES", "50" if SLOW else "200"))
TALKBACK_CYCLES = int(os.environ.get("SLUICE_TALKBACK_CYCLES", "20" if SLOW else "50"))
SOAK_SECONDS = float(os.environ.get("SLUICE_SOAK_SECONDS", "10" if SLOW else "20"))
SOAK_MBITS = float(os.environ.get("SLUICE_SOAK_MBITS", "10" if SLOW else "50"))
# Resident memory may move by allocator caches and libsrt's buffer pools after the warm-up.
RSS_TOLERANCE_KIB = 8 * 1024
UNIT = 1316
FILLER = bytes(range(180))


def numbered_packet(pid, index):
    """A 188-byte packet cheap enough to make at 50 Mbit/s: header, index, fixed filler."""
    return bytes([0x47, pid >> 8, pid & 0xFF, 0x10 | (index & 0x0F)]) + struct.pack(">I", index) + FILLER


class CountingSink(UdpSink):
    """Checks each packet of one PID on the fly instead of keeping it (the soak is too
    long to keep): counts packets, gaps (lost) and altered or out-of-order ones."""

    def __init__(self, pid):
        self.pid = pid
        self.received = self.lost = self.bad = 0
        self.gaps = []  # the first few (first missing index, packets missing)
        self.next_index = 0
        super().__init__(receive_buffer=16 * 1024 * 1024)

    def take(self, datagram):
        for offset in range(0, len(datagram) - 187, 188):
            self._check(datagram[offset:offset + 188])

    def _check(self, packet):
        if ((packet[1] & 0x1F) << 8 | packet[2]) != self.pid:
            return
        index = struct.unpack_from(">I", packet, 4)[0]
        if index < self.next_index or packet != numbered_packet(self.pid, index):
            self.bad += 1
            return
        if index > self.next_index and len(self.gaps) < 5:
            self.gaps.append((self.next_index, index - self.next_index))
        self.lost += index - self.next_index
        self.next_index = index + 1
        self.received += 1


class PacedSender:
    """Feeds an srt-live-transmit caller numbered packets at a steady rate on a thread
    of its own until stopped; `sent` counts the packets written."""

    def __init__(self, caller, pid, bytes_per_second):
        self.caller, self.pid, self.rate = caller, pid, bytes_per_second
        self.sent = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        block_units = max(1, int(self.rate / UNIT / 200))  # about 200 writes per second
        started = time.monotonic()
        while not self.stopping.is_set():
            block = b"".join(numbered_packet(self.pid, self.sent + i) for i in range(7 * block_units))
            self.caller.process.stdin.write(block)
            self.caller.process.stdin.flush()
            self.sent += 7 * block_units
            ahead = self.sent * 188 / self.rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)

    def stop(self):
        self.stopping.set()
        self.thread.join(10)


class TalkbackSource:
    """An SRT listener that greets every caller the gateway connects with one unit and
    keeps it until the end; runs its accept loop on a thread of its own."""

    def __init__(self, library):
        self.library = library
        self.port = free_port()
        self.listener = library.listen(self.port)
        self.accepted = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while (sock := self.library.accept(self.listener)) is not None:
            self.accepted.append(sock)
            self.library.send(sock, ts_payload(NULL_PID, 7))

    def close(self):
        LIBSRT.srt_close(self.listener)
        self.thread.join(5)
        for sock in self.accepted:
            LIBSRT.srt_close(sock)


@unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
class ChurnAndSoakTest(unittest.TestCase):
    def start(self, pid, extra_config=""):
        self.library = SrtLibrary()
        self.addCleanup(self.library.close)
        self.sink = CountingSink(pid)
        self.addCleanup(self.sink.close)
        rist_port = free_port()
        receiver = rist_receiver(rist_port, self.sink.port)
        self.addCleanup(receiver.stop)
        gateway = Gateway()
        gateway.write_config(gateway.default_config(f"rist_endpoint=127.0.0.1:{rist_port}\n{extra_config}"))
        self.addCleanup(gateway.close)
        return gateway.start()

    def long_stream(self, gateway, pid, mbits):
        caller = srt_caller(gateway.srt_port, "long-stream")
        self.addCleanup(caller.stop)
        gateway.wait_for_log("CONNECT: SUCCESS")  # its worker has its route
        sender = PacedSender(caller, pid, mbits * 125_000)
        self.addCleanup(sender.stop)
        return caller, sender

    def finish(self, caller, sender):
        """Stops the stream and waits until everything sent arrived or stopped coming."""
        sender.stop()
        caller.push_through()
        wait_until(lambda: self.sink.next_index >= sender.sent, 20, 0.2)
        caller.hang_up()

    def assert_whole(self, sender):
        """Every packet sent arrived, intact and in order. A sanitizer build on a busy
        2-core machine can stall the forwarding thread past SRT's 120 ms latency, which
        drops packets by design: there losses are printed, not failed."""
        sink = self.sink
        self.assertEqual(sink.bad, 0, "altered or reordered packets")
        self.assertEqual(sink.next_index, sender.sent, "the end of the stream did not arrive")
        if not SLOW:
            self.assertEqual(sink.lost, 0, f"lost packets (first index, count): {sink.gaps}")

    def srt_cycle(self, gateway, number):
        accepted = gateway.log().count("streamid:churn")
        self.assertIsNone(self.library.call(gateway.srt_port, f"churn{number}".encode(), ts_payload(0x501, 7),
                                            lambda: gateway.log().count("streamid:churn") > accepted))

    def talkback_cycle(self, gateway, number):
        relays = gateway.log().count("run process_talkback_srt2srt")
        self.assertIsNone(self.library.call(gateway.srt_port, f"tb{number}-talkback".encode(), b"\0",
                                            lambda: gateway.log().count("run process_talkback_srt2srt") > relays))

    def resources(self, gateway, workers_done, settled_at=None):
        """(threads, descriptors, RSS KiB) once every finished worker has ended and, given
        earlier figures, once all three came back to them (libsrt reaps the threads of
        closed sockets a while later; the gateway gives memory back within seconds)."""
        pid = gateway.process.pid
        wait_until(lambda: gateway.log().count("RistWorker end STOPed") >= workers_done, 30, 0.2)
        if settled_at:
            wait_until(lambda: thread_count(pid) <= settled_at[0] and fd_count(pid) <= settled_at[1]
                       and (SANITIZER or rss_kib(pid) - settled_at[2] < RSS_TOLERANCE_KIB), 30, 0.5)
        else:
            time.sleep(2)
        return thread_count(pid), fd_count(pid), rss_kib(pid)

    def send_later_callers_to_a_drain(self, gateway, source):
        """Points the RIST destination of every caller from now on to a drain; the long
        stream keeps its receiver, which the churn's flows would otherwise starve."""
        config = (f"rist_endpoint=127.0.0.1:{udp_drain(self)}\n"
                  f"tb_endpoint=srt://127.0.0.1:{source.port}\n")
        self.assertEqual(post_form(gateway, {"config": gateway.default_config(config)}).status, 200)

    def churn(self):
        """Runs the cycles beside a long stream; gives the stream's sender and the
        (threads, descriptors, RSS KiB) after the warm-up and after the cycles."""
        source = TalkbackSource(SrtLibrary())
        self.addCleanup(source.close)
        gateway = self.start(0x500, f"tb_endpoint=srt://127.0.0.1:{source.port}\n")
        caller, sender = self.long_stream(gateway, 0x500, 4 if SLOW else 10)
        self.send_later_callers_to_a_drain(gateway, source)
        for number in range(5):  # warm-up: libsrt and librist pools, allocator caches
            self.srt_cycle(gateway, f"w{number}")
            self.talkback_cycle(gateway, f"w{number}")
        before = self.resources(gateway, 10)
        deadline = time.monotonic() + 600
        for number in range(max(CHURN_CYCLES, TALKBACK_CYCLES)):
            self.assertLess(time.monotonic(), deadline, f"only {number} cycles in time")
            if number < CHURN_CYCLES:
                self.srt_cycle(gateway, number)
            if number < TALKBACK_CYCLES:
                self.talkback_cycle(gateway, number)
        after = self.resources(gateway, 10 + CHURN_CYCLES + TALKBACK_CYCLES, before)
        self.finish(caller, sender)
        print(f"\n{CHURN_CYCLES} SRT and {TALKBACK_CYCLES} talkback cycles beside a stream of "
              f"{sender.sent} packets: threads {before[0]} -> {after[0]}, descriptors {before[1]} -> {after[1]}, "
              f"RSS {before[2]} -> {after[2]} KiB; lost {self.sink.lost} {self.sink.gaps}, altered or reordered {self.sink.bad}")
        gateway.assert_clean_exit(self)
        return sender, before, after

    def test_churn_leaves_no_thread_or_descriptor_behind_and_alters_nothing(self):
        sender, before, after = self.churn()
        self.assertLessEqual(after[0], before[0], "threads left behind")
        self.assertLessEqual(after[1], before[1], "descriptors left behind")
        self.assert_whole(sender)

    @unittest.skipIf(SANITIZER, "a sanitizer's allocator has resident figures of its own")
    def test_churn_leaves_the_memory_flat(self):
        _, before, after = self.churn()
        self.assertLess(after[2] - before[2], RSS_TOLERANCE_KIB, "resident memory grew")

    def test_soak_loses_nothing(self):
        sender, _ = self.soak()
        self.assert_whole(sender)

    @unittest.skipIf(SANITIZER, "a sanitizer's allocator has resident figures of its own")
    def test_soak_keeps_resident_memory_flat(self):
        _, samples = self.soak()
        self.assertLess(max(samples) - samples[0], RSS_TOLERANCE_KIB, f"resident memory grew: {samples} KiB")

    def soak(self):
        gateway = self.start(0x510)
        caller, sender = self.long_stream(gateway, 0x510, SOAK_MBITS)
        warm_up = min(10.0, SOAK_SECONDS / 4)
        time.sleep(warm_up)
        samples = [rss_kib(gateway.process.pid)]
        end = time.monotonic() + SOAK_SECONDS - warm_up
        while time.monotonic() < end:
            time.sleep(min(5.0, max(0.0, end - time.monotonic())))
            samples.append(rss_kib(gateway.process.pid))
        self.finish(caller, sender)
        print(f"\nsoak {SOAK_SECONDS:g} s at {SOAK_MBITS:g} Mbit/s: {sender.sent} packets, lost {self.sink.lost} {self.sink.gaps}; "
              f"RSS after {warm_up:g} s warm-up {samples[0]} KiB, min {min(samples)}, max {max(samples)}, "
              f"last {samples[-1]} KiB; every 5 s: {samples}")
        gateway.assert_clean_exit(self)
        return sender, samples


if __name__ == "__main__":
    unittest.main()
