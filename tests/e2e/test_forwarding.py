"""The media path end to end: real SRT callers (srt-live-transmit) send a TS-like
payload to sluice, which forwards it over RIST to real receivers (ristreceiver) that
write to UDP sinks; the sinks check every packet."""

import time
import unittest

from harness import (SANITIZER, SLOW, MediaTestCase, fd_count, srt_caller, thread_count,
                     ts_payload, wait_until)

RATE = 500_000 if SLOW else 2_000_000
ARRIVAL_TIMEOUT = 60 if SLOW else 20


class ForwardingTest(MediaTestCase):
    def assert_arrives(self, sink, pid, count):
        arrived = sink.wait_for_packets(pid, count, ARRIVAL_TIMEOUT)
        self.assertTrue(arrived, f"pid {pid}: {len(sink.packets(pid))} of {count} packets arrived")
        sink.check_stream(self, pid, count)

    def test_a_few_megabytes_arrive_complete_and_in_order(self):
        rist_port, sink = self.receiver()
        gateway = self.start_gateway([rist_port])
        count = 7 * (1600 if SLOW else 2300)  # about 2 MB (3 MB), whole 1316-byte units
        caller = self.caller(gateway, "cam1")
        caller.send(ts_payload(0x100, count), RATE)
        caller.push_through()
        self.assert_arrives(sink, 0x100, count)
        caller.hang_up()
        self.assertEqual(set(sink.sizes()), {1316})
        log = gateway.log()
        self.assertIn("rist worker start 0 cam1", log)
        self.assertIn(f" create peer: rist://127.0.0.1:{rist_port}?cname=cam1", log)
        self.assertIn("CONNECT: SUCCESS", log)
        gateway.wait_for_log("SRT Error: ")
        gateway.wait_for_log("RistWorker end STOPed")
        gateway.assert_clean_exit(self)

    def test_two_destinations_each_get_the_whole_stream(self):
        first_port, first_sink = self.receiver()
        second_port, second_sink = self.receiver()
        gateway = self.start_gateway([first_port, second_port])
        count = 7 * 500
        caller = self.caller(gateway, "cam2")
        caller.send(ts_payload(0x101, count), RATE)
        caller.push_through()
        self.assert_arrives(first_sink, 0x101, count)
        self.assert_arrives(second_sink, 0x101, count)
        gateway.assert_clean_exit(self)

    def test_188_byte_messages_are_gathered_into_1316_byte_units(self):
        rist_port, sink = self.receiver()
        gateway = self.start_gateway([rist_port])
        count = 7 * 300
        caller = self.caller(gateway, "cam3", chunk=188)
        caller.send(ts_payload(0x102, count), RATE // 4)
        caller.push_through()
        self.assert_arrives(sink, 0x102, count)
        self.assertEqual(set(sink.sizes()), {1316})
        gateway.assert_clean_exit(self)

    def test_after_a_hang_up_the_next_caller_is_forwarded_and_the_old_worker_swept(self):
        rist_port, sink = self.receiver()
        gateway = self.start_gateway([rist_port])
        first = self.caller(gateway, "first")
        first.send(ts_payload(0x103, 7 * 100), RATE)
        first.push_through()
        self.assert_arrives(sink, 0x103, 7 * 100)
        first.hang_up()
        gateway.wait_for_log("SRT Error: ")
        gateway.wait_for_log("RistWorker end STOPed")
        # The periodic sweep frees a finished worker without waiting for the next caller.
        gateway.wait_for_log("~RistWorker", timeout=15)

        second = self.caller(gateway, "second")
        second.send(ts_payload(0x104, 7 * 100), RATE)
        second.push_through()
        self.assert_arrives(sink, 0x104, 7 * 100)
        self.assertIn("rist worker start 0 second", gateway.log())
        gateway.assert_clean_exit(self)

    def test_two_callers_at_once_are_both_forwarded(self):
        rist_port, sink = self.receiver()
        gateway = self.start_gateway([rist_port])
        count = 7 * 400
        left = self.caller(gateway, "left")
        right = self.caller(gateway, "right")
        gateway.wait_for_log("streamid:left  ")
        gateway.wait_for_log("streamid:right  ")
        left_payload, right_payload = ts_payload(0x105, count), ts_payload(0x106, count)
        step = 7 * 188 * 20
        for offset in range(0, len(left_payload), step):
            left.send(left_payload[offset:offset + step], RATE)
            right.send(right_payload[offset:offset + step], RATE)
        left.push_through()
        right.push_through()
        self.assert_arrives(sink, 0x105, count)
        self.assert_arrives(sink, 0x106, count)
        log = gateway.log()
        self.assertIn("rist worker start 0 left", log)
        self.assertIn("rist worker start 0 right", log)
        gateway.assert_clean_exit(self)

    def test_quick_connect_and_hang_up_cycles_leak_no_thread_and_no_descriptor(self):
        rist_port, sink = self.receiver()
        gateway = self.start_gateway([rist_port])
        self.forward_one_stream(gateway, sink, "warm-up", 0x107)
        pid = gateway.process.pid
        threads_before, fds_before = thread_count(pid), fd_count(pid)
        cycles = 60 if SANITIZER else 300
        deadline = time.monotonic() + 300
        for cycle in range(cycles):
            self.assertLess(time.monotonic(), deadline, f"only {cycle} cycles in time")
            caller = srt_caller(gateway.srt_port, f"churn{cycle}")
            caller.send(ts_payload(0x108, 7))
            gateway.wait_for_log(f"streamid:churn{cycle}  ")
            caller.stop()
        self.forward_one_stream(gateway, sink, "survivor", 0x109)
        self.assertEqual(gateway.log().count("end process_data need stop"), cycles + 2)
        # The baseline may still hold the warm-up worker's last thread on its way out, so a
        # leak shows as more than the baseline, never as less.
        settled = wait_until(lambda: thread_count(pid) <= threads_before and fd_count(pid) <= fds_before, 30, 0.5)
        self.assertTrue(settled, f"threads {threads_before} -> {thread_count(pid)}, "
                                 f"descriptors {fds_before} -> {fd_count(pid)}")
        every_worker_freed = wait_until(lambda: gateway.log().count("~RistWorker") == cycles + 2, 15)
        self.assertTrue(every_worker_freed, f"{gateway.log().count('~RistWorker')} of {cycles + 2} workers freed")
        gateway.assert_clean_exit(self)

    def forward_one_stream(self, gateway, sink, stream_id, pid):
        """A whole stream forwarded and ended; returns when its worker has stopped."""
        stopped = gateway.log().count("end process_data need stop")
        caller = self.caller(gateway, stream_id)
        caller.send(ts_payload(pid, 7 * 50), RATE)
        caller.push_through()
        self.assert_arrives(sink, pid, 7 * 50)
        caller.hang_up()
        gateway.wait_for_log("end process_data need stop", timeout=30, count=stopped + 1)

if __name__ == "__main__":
    unittest.main()
