"""Talkback end to end: a caller whose stream id contains "talkback" is served, through
sluice, the stream of a real SRT talkback source (srt-live-transmit in listener mode, or
srt_test_peer for messages of other sizes); the caller (srt-live-transmit in caller
mode) writes what it receives to a UDP sink."""

import subprocess
import time
import unittest

from harness import (NULL_PID, SLOW, Gateway, UdpSink, free_port, srt_receiving_caller, srt_test_peer,
                     talkback_source, ts_payload, wait_until)

SECRET = "tb-secret-7f3a9c"
CONNECT_TIMEOUT = 30 if SLOW else 10


class TalkbackTest(unittest.TestCase):
    def start_gateway(self, tb_endpoint):
        gateway = Gateway()
        gateway.write_config(gateway.default_config(f"tb_endpoint={tb_endpoint}\n"))
        self.addCleanup(gateway.close)
        return gateway.start()

    def sink(self):
        sink = UdpSink()
        self.addCleanup(sink.close)
        return sink

    def source(self, port, chunk=1316, options=""):
        source = talkback_source(port, chunk, options)
        self.addCleanup(source.stop)
        return source

    def caller(self, gateway, sink, stream_id="studio-talkback"):
        caller = srt_receiving_caller(gateway.srt_port, stream_id, sink.port)
        self.addCleanup(caller.stop)
        return caller

    def relay(self, chunk, count, rate, source_options="", endpoint_options=""):
        """Talkback source -> sluice -> caller -> sink; gives the gateway."""
        tb_port = free_port()
        source = self.source(tb_port, chunk, source_options)
        gateway = self.start_gateway(f"srt://127.0.0.1:{tb_port}?streamid=from-studio{endpoint_options}")
        sink = self.sink()
        self.caller(gateway, sink)
        connected = wait_until(lambda: "Accepted SRT target connection" in source.output(), CONNECT_TIMEOUT)
        self.assertTrue(connected, gateway.log()[-3000:] + source.output())
        source.send(ts_payload(0x200, count), rate)
        source.push_through(rate)
        return self.check_arrival(gateway, sink, count)

    def check_arrival(self, gateway, sink, count):
        """Packets 0..count-1 of PID 0x200 arrived whole, in order, in 1316-byte messages."""
        arrived = sink.wait_for_packets(0x200, count, CONNECT_TIMEOUT)
        self.assertTrue(arrived, f"{len(sink.packets(0x200))} of {count} packets arrived")
        sink.check_stream(self, 0x200, count)
        self.assertEqual(set(sink.sizes()), {1316})
        return gateway

    def assert_caller_closed(self, gateway, within):
        started = time.monotonic()
        gateway.wait_for_log("FAIL srt connect", timeout=within)
        gateway.wait_for_log("RistWorker end STOPed", timeout=within)
        self.assertLess(time.monotonic() - started, within)

    def test_caller_receives_the_talkback_source_in_1316_byte_messages(self):
        gateway = self.relay(chunk=1316, count=7 * 600, rate=300_000 if SLOW else 1_000_000)
        log = gateway.log()
        self.assertIn("rist worker start 1 studio-talkback", log)
        self.assertIn("run process_talkback_srt2srt", log)
        self.assertIn("  streamid from-studio", log)
        gateway.assert_clean_exit(self)

    def test_source_messages_of_any_size_up_to_the_live_maximum_arrive_whole_at_2_mbits(self):
        # srt_test_peer sends exact message sizes at an exact pace, which srt-live-transmit
        # cannot above 1316 bytes.
        count = 7 * 600
        for size in (188, 1000, 1456):
            with self.subTest(size=size):
                tb_port = free_port()
                source = srt_test_peer("listen", tb_port, size, 250_000, 3, stdin=subprocess.PIPE)
                self.addCleanup(source.stop)
                self.assertTrue(wait_until(lambda: "listening" in source.output(), 5), source.output())
                gateway = self.start_gateway(f"srt://127.0.0.1:{tb_port}")
                sink = self.sink()
                self.caller(gateway, sink)
                connected = wait_until(lambda: "accepted" in source.output(), CONNECT_TIMEOUT)
                self.assertTrue(connected, gateway.log()[-3000:] + source.output())
                source.process.stdin.write(ts_payload(0x200, count) + ts_payload(NULL_PID, 7 * 12))
                source.process.stdin.close()
                self.check_arrival(gateway, sink, count)
                gateway.assert_clean_exit(self)

    def test_a_security_option_that_cannot_be_applied_ends_the_connection(self):
        # Neither may fall back: a refused passphrase would connect in clear text, a
        # refused key length with the source's own.
        for source_options, endpoint_options, failed_option in (
                ("", "?passphrase=short", "SRTO_PASSPHRASE"),
                (f"&passphrase={SECRET}&pbkeylen=16", f"?passphrase={SECRET}&pbkeylen=17", "SRTO_PBKEYLEN")):
            with self.subTest(option=failed_option):
                tb_port = free_port()
                source = self.source(tb_port, options=source_options)
                gateway = self.start_gateway(f"srt://127.0.0.1:{tb_port}{endpoint_options}")
                caller = self.caller(gateway, self.sink())
                self.assert_caller_closed(gateway, within=CONNECT_TIMEOUT)
                self.assertIn(f"-- failed to set option {failed_option} on socket:", gateway.log())
                self.assertTrue(wait_until(lambda: not caller.running(), CONNECT_TIMEOUT), "the caller still runs")
                self.assertNotIn("Accepted SRT target connection", source.output())
                gateway.assert_clean_exit(self)

    def test_encrypted_talkback_works_and_the_secret_stays_out_of_the_log(self):
        options = f"&passphrase={SECRET}&pbkeylen=16"
        gateway = self.relay(chunk=1316, count=7 * 200, rate=500_000, source_options=options,
                             endpoint_options=options)
        self.assertIn("set passphrase:*** pbkey:16", gateway.log())
        gateway.assert_clean_exit(self)
        self.assertNotIn(SECRET, gateway.log() + gateway.errors())

    def test_wrong_passphrase_fails_cleanly_and_closes_the_caller(self):
        tb_port = free_port()
        self.source(tb_port, options="&passphrase=the-studio-one-42&pbkeylen=16")
        gateway = self.start_gateway(f"srt://127.0.0.1:{tb_port}?passphrase={SECRET}&pbkeylen=16")
        caller = self.caller(gateway, self.sink())
        self.assert_caller_closed(gateway, within=CONNECT_TIMEOUT)
        self.assertIn("srt_connect error: ", gateway.log())
        self.assertTrue(wait_until(lambda: not caller.running(), CONNECT_TIMEOUT), "the caller still runs")
        gateway.assert_clean_exit(self)
        self.assertNotIn(SECRET, gateway.log() + gateway.errors())

    def test_unreachable_empty_or_invalid_endpoint_closes_the_caller_within_seconds(self):
        port_range = "the port must be a number from 1 to 65535"
        for endpoint, reason in ((f"srt://127.0.0.1:{free_port()}", "srt_connect error: "),
                                 ("", "Invalid target IP address :0"),
                                 ("srt://127.0.0.1:86636", f"Invalid talkback endpoint 127.0.0.1:86636: {port_range}"),
                                 ("srt://[::1]:9000", "Invalid talkback endpoint [::1]:9000: IPv6 is not supported")):
            with self.subTest(endpoint=endpoint):
                gateway = self.start_gateway(endpoint) if endpoint else self.start_gateway_without_talkback()
                caller = self.caller(gateway, self.sink())
                self.assert_caller_closed(gateway, within=CONNECT_TIMEOUT)
                self.assertIn(reason, gateway.log())
                self.assertTrue(wait_until(lambda: not caller.running(), CONNECT_TIMEOUT), "the caller still runs")
                gateway.assert_clean_exit(self)

    def start_gateway_without_talkback(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        return gateway.start()

    def test_caller_hanging_up_while_the_source_is_silent_ends_the_worker(self):
        tb_port = free_port()
        source = self.source(tb_port)
        gateway = self.start_gateway(f"srt://127.0.0.1:{tb_port}")
        caller = self.caller(gateway, self.sink())
        connected = wait_until(lambda: "Accepted SRT target connection" in source.output(), CONNECT_TIMEOUT)
        self.assertTrue(connected, gateway.log()[-3000:])
        time.sleep(2.5)  # a silent source outlasts several receive timeouts
        self.assertNotIn("RistWorker try STOP", gateway.log())
        caller.stop()
        gateway.wait_for_log("RistWorker end STOPed", timeout=CONNECT_TIMEOUT)
        self.assertNotIn("SRT Error: ", gateway.log())
        gateway.assert_clean_exit(self)

    def test_shutdown_ends_a_talkback_loop_waiting_on_a_silent_source(self):
        tb_port = free_port()
        source = self.source(tb_port)
        gateway = self.start_gateway(f"srt://127.0.0.1:{tb_port}")
        self.caller(gateway, self.sink())
        connected = wait_until(lambda: "Accepted SRT target connection" in source.output(), CONNECT_TIMEOUT)
        self.assertTrue(connected, gateway.log()[-3000:])
        started = time.monotonic()
        gateway.assert_clean_exit(self)
        self.assertLess(time.monotonic() - started, 10)
        self.assertIn("RistWorker end STOPed", gateway.log())


if __name__ == "__main__":
    unittest.main()
