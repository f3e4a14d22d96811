"""Start-up of the real binary: the log format, the start-up lines and the orderly stop."""

import re
import unittest

from harness import Gateway, LOG_LINE


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

    def test_bad_ports_are_named_and_replaced_by_defaults(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(f"srt_port=70000\nweb_port={gateway.web_port}\nsrt_latency=abc\n")
        gateway.start()
        gateway.wait_for_log("LISTENER PORT:9001")
        self.assertIn("-- BAD VALUE srt_port=70000", gateway.log())
        gateway.assert_clean_exit(self)

    def test_web_port_in_use_ends_the_process_with_status_zero(self):
        import socket
        gateway = Gateway()
        self.addCleanup(gateway.close)
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        blocker.bind(("0.0.0.0", gateway.web_port))
        blocker.listen(1)
        self.addCleanup(blocker.close)
        gateway.start(wait_for="START WEB SERVER: ")
        self.assertEqual(gateway.process.wait(15), 0)
        self.assertIn("LISTENER PORT:", gateway.log())


if __name__ == "__main__":
    unittest.main()
