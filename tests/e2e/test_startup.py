"""Start-up of the real binary: the log format, the start-up lines, the reading of
numbers, a port in use, the orderly stop, and log lines that outside text cannot forge."""

import re
import socket
import unittest

from harness import LIBSRT, LOG_LINE, Gateway, SrtLibrary, post_form, udp_drain


class StartupTest(unittest.TestCase):
    def test_empty_directory_logs_the_start_up_lines_and_keeps_running(self):
        gateway = Gateway(config_text="", with_web=False)
        self.addCleanup(gateway.close)
        gateway.web_port = 8081
        gateway.start(wait_for="START WEB SERVER: ")
        log = gateway.log()
        framed = [line for line in log.splitlines() if not line.startswith(("networks: ", "rist_endpoint: "))]
        for line in framed:
            self.assertRegex(line, LOG_LINE)
        messages = [LOG_LINE.match(line).group(1) for line in framed]
        self.assertRegex(messages[0], r"^SRT STARTUP SUCCESS [01]$")
        self.assertRegex(messages[1], r"^BUILD DATE: [A-Z][a-z]{2} [ 1-3]\d \d{4}$")
        self.assertRegex(messages[2], r"^SRT VERSION:\d+\.\d+\.\d+$")
        self.assertRegex(messages[3], r"^-- CONFIG PATH: .*/config\.ini$")
        self.assertEqual(messages[4], "BAD CONFIG FORMAT. ")
        self.assertIn("LISTENER PORT:9001", messages)
        self.assertTrue(any(re.match(r"^START WEB SERVER: 8081  web folder: .*/web$", m) for m in messages))
        self.assertIsNone(gateway.process.poll())
        gateway.assert_clean_exit(self)

    def test_numbers_are_read_from_the_start_of_a_value_and_bad_ones_named(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(f"srt_port = {gateway.srt_port} // main\nweb_port={gateway.web_port}\n"
                             "srt_latency=-5ms\n")
        gateway.start()
        gateway.wait_for_log(f"SRT START LISTEN {gateway.srt_port}")
        log = gateway.log()
        self.assertIn(f'-- IGNORED TEXT IN srt_port={gateway.srt_port} // main: " // main", '
                      f"using {gateway.srt_port}", log)
        self.assertIn("-- BAD VALUE srt_latency=-5ms (expected a whole number from 0 to", log)
        gateway.assert_clean_exit(self)

    def test_a_port_in_use_ends_the_process_with_a_failure_status_after_the_orderly_stop(self):
        cases = [(socket.SOCK_STREAM, "web_port", "*** WEB SERVER CANNOT LISTEN ON PORT", "the web port"),
                 (socket.SOCK_DGRAM, "srt_port", "*** SRT LISTENER CANNOT BIND PORT", "the SRT port")]
        for kind, key, failure, summary in cases:
            with self.subTest(key):
                gateway = Gateway()
                self.addCleanup(gateway.close)
                port = getattr(gateway, key)
                blocker = socket.socket(socket.AF_INET, kind)
                self.addCleanup(blocker.close)
                blocker.bind(("0.0.0.0", port))
                if kind == socket.SOCK_STREAM:
                    blocker.listen(1)
                gateway.start(wait_for="LISTENER PORT:")
                self.assertEqual(gateway.process.wait(15), 1, gateway.log())
                messages = [LOG_LINE.match(line).group(1) for line in gateway.log().splitlines()]
                failed_at = next(i for i, m in enumerate(messages) if m.startswith(f"{failure} {port}: "))
                self.assertIn("STOP SRT SERVER", messages[failed_at:])
                self.assertEqual(messages[-1],
                                 f"*** START-UP FAILED: {summary} {port} cannot be used, EXIT STATUS 1")
                for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer"):
                    self.assertNotIn(marker, gateway.errors())

    @unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
    def test_text_from_outside_cannot_write_a_line_of_its_own_into_the_log(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(gateway.default_config(f"rist_endpoint=127.0.0.1:{udp_drain(self)}\n"))
        gateway.start()
        forged = "[2026-01-01.00:00:00]  {}  src/app/stop_signals.cpp  40"
        stream_id = ("cam\n" + forged.format("STOP SIGNAL 15") + "\r\x1b[2J").encode()
        library = SrtLibrary()
        self.addCleanup(library.close)
        self.assertIsNone(library.call(gateway.srt_port, stream_id, bytes(1316),
                                       lambda: "rist worker start" in gateway.log()))
        rejected = "no entry\n" + forged.format("-- CONFIG SAVED--")
        self.assertEqual(post_form(gateway, [("config", rejected)]).status, 400)
        accepted = gateway.default_config("note = \x1b]0;owned\x07 red\n")
        self.assertEqual(post_form(gateway, [("config", accepted)]).status, 200)
        gateway.wait_for_log("-- CONFIG SAVED--")
        gateway.assert_clean_exit(self)

        log = gateway.log()
        for line in log.splitlines():
            if not line.startswith(("networks: ", "rist_endpoint: ")):
                self.assertRegex(line, LOG_LINE)
        messages = [LOG_LINE.match(line).group(1) for line in log.splitlines() if LOG_LINE.match(line)]
        self.assertIn("streamid:cam\\n" + forged.format("STOP SIGNAL 15") + "\\r\\x1b[2J", messages)
        self.assertIn("BAD CONFIG FORMAT. no entry\\n" + forged.format("-- CONFIG SAVED--"), messages)
        self.assertIn("[map] note=\\x1b]0;owned\\x07 red", messages)
        self.assertEqual(messages.count("-- CONFIG SAVED--"), 1)
        self.assertEqual(messages.count("STOP SIGNAL 15"), 1, "only the test's own SIGTERM")
        self.assertNotIn("\x1b", log)


if __name__ == "__main__":
    unittest.main()
