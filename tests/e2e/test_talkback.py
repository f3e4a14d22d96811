"""Talkback: a caller whose stream id holds "talkback" (srt-live-transmit writing to a
sink) is served, through sluice, what a libsrt talkback source sends in messages of any
size; a security option that cannot be applied or a source that cannot be reached
closes the caller; a silent source holds nothing up."""

import unittest

from harness import LIBSRT, SLOW, MediaCase, SrtListener, free_port, wait_until

SECRET = "tb-secret-7f3a9c"
WAIT = 30 if SLOW else 10
PORT_RANGE = "the port must be a number from 1 to 65535"


@unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
class TalkbackTest(MediaCase):
    def source(self, reader=None, size=1316, passphrase=""):
        source = SrtListener(reader, size, passphrase.encode())
        self.addCleanup(source.close)
        return source

    def test_the_source_is_relayed_whole_in_1316_byte_messages(self):
        # (source message size, passphrase on both sides)
        for size, passphrase in ((188, ""), (1316, SECRET), (1456, "")):
            with self.subTest(size=size):
                pacer = self.pacer(1, 250_000 if SLOW else 1_000_000, 3)
                source = self.source(pacer.readers[0], size, passphrase)
                secret = f"&passphrase={passphrase}&pbkeylen=16" if passphrase else ""
                gateway = self.gateway(extra=f"tb_endpoint=srt://127.0.0.1:{source.port}?streamid=from-studio{secret}\n")
                sink = self.sink(1, pacer.packets)
                self.srt_receiver(gateway, "studio-talkback", sink)
                gateway.wait_for_log("run process_talkback_srt2srt")
                self.assertTrue(wait_until(lambda: source.reader is None, WAIT), "the gateway never called the source")
                pacer.start()
                sink.assert_whole(self)
                log = gateway.log()
                self.assertIn("rist worker start 1 studio-talkback", log)
                self.assertIn("  streamid from-studio", log)
                if passphrase:
                    self.assertIn("set passphrase:*** pbkey:16", log)
                gateway.assert_clean_exit(self)
                self.assertNotIn(SECRET, gateway.log() + gateway.errors())

    def test_what_cannot_be_applied_or_reached_closes_the_caller(self):
        # Neither option may fall back: a refused passphrase would connect in clear text,
        # a refused key length with the source's own.
        cases = [  # (source passphrase, tb_endpoint after srt://127.0.0.1:PORT or whole, log line)
            ("", "?passphrase=short", "-- failed to set option SRTO_PASSPHRASE on socket:"),
            (SECRET, f"?passphrase={SECRET}&pbkeylen=17", "-- failed to set option SRTO_PBKEYLEN on socket:"),
            ("the-studio-one-42", f"?passphrase={SECRET}&pbkeylen=16", "srt_connect error: "),
            (None, f"srt://127.0.0.1:{free_port()}", "srt_connect error: "),
            (None, None, "Invalid target IP address :0"),
            (None, "srt://127.0.0.1:86636", f"Invalid talkback endpoint 127.0.0.1:86636: {PORT_RANGE}"),
            (None, "srt://[::1]:9000", "Invalid talkback endpoint [::1]:9000: IPv6 is not supported")]
        for passphrase, endpoint, reason in cases:
            with self.subTest(endpoint=endpoint):
                if passphrase is not None:
                    endpoint = f"srt://127.0.0.1:{self.source(passphrase=passphrase).port}{endpoint}"
                gateway = self.gateway(extra=f"tb_endpoint={endpoint}\n" if endpoint else "")
                caller = self.srt_receiver(gateway, "studio-talkback", self.sink(1, 1))
                gateway.wait_for_log("FAIL srt connect", timeout=WAIT)
                gateway.wait_for_log("RistWorker end STOPed", timeout=WAIT)
                self.assertIn(reason, gateway.log())
                self.assertTrue(wait_until(lambda: not caller.running(), WAIT), "the caller still runs")
                gateway.assert_clean_exit(self)
                self.assertNotIn(SECRET, gateway.log() + gateway.errors())

    def test_a_silent_source_holds_up_neither_a_hang_up_nor_the_shutdown(self):
        source = self.source()
        gateway = self.gateway(extra=f"tb_endpoint=srt://127.0.0.1:{source.port}\n")
        sink = self.sink(1, 1)
        first = self.srt_receiver(gateway, "first-talkback", sink)
        gateway.wait_for_log("run process_talkback_srt2srt")
        self.assertFalse(wait_until(lambda: "RistWorker try STOP" in gateway.log(), 2.5))
        first.stop()
        gateway.wait_for_log("RistWorker end STOPed", timeout=WAIT)
        self.srt_receiver(gateway, "second-talkback", sink)
        gateway.wait_for_log("run process_talkback_srt2srt", count=2)
        self.assertNotIn("SRT Error: ", gateway.log())
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
