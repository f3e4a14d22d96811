"""The real binary on its own: the start-up lines and log format, a port in use (the
orderly stop, then exit status 1), and the interface list against what `ip` and /sys tell."""

import json
import pathlib
import re
import socket
import subprocess
import unittest

from harness import LOG_LINE, SANITIZER_REPORTS, Gateway, request

EXCLUDED_WORDS = ("Hyper-V", "Loopback", "VirtualBox", "VMware", "TAP-Windows", "WAN Miniport")
EXCLUDED_PREFIXES = ("docker", "br-", "virbr", "veth", "vmnet", "vboxnet")


def operational_ipv4_interfaces():
    """[(name, first IPv4 address)] of the interfaces that are up, in byte order, as `ip` and /sys tell."""
    first_address = {}
    for line in subprocess.run(["ip", "-4", "-o", "addr", "show"], capture_output=True, text=True).stdout.splitlines():
        fields = line.split()
        first_address.setdefault(fields[1].split("@")[0], fields[3].split("/")[0])
    listed = [(name, address) for name, address in first_address.items()
              if pathlib.Path(f"/sys/class/net/{name}/operstate").read_text().strip() == "up"
              and not any(word in name for word in EXCLUDED_WORDS) and not name.startswith(EXCLUDED_PREFIXES)]
    return sorted(listed, key=lambda entry: entry[0].encode())


class GatewayTest(unittest.TestCase):
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
                for marker in SANITIZER_REPORTS:
                    self.assertNotIn(marker, gateway.errors())

    def test_lists_the_operational_interfaces_with_an_ipv4_address(self):
        # Other work on this machine may add or remove interfaces: take a list that was
        # stable from before the gateway started until after it answered.
        for _ in range(3):
            expected = operational_ipv4_interfaces()
            gateway = Gateway()
            self.addCleanup(gateway.close)
            gateway.start()
            ifaces = json.loads(request(gateway, "GET", "/api/state").body)["ifaces"]
            gateway.assert_clean_exit(self)
            if operational_ipv4_interfaces() == expected:
                break
        else:
            self.fail("the machine's interfaces kept changing")
        self.assertEqual([(entry["title"], entry["ip"]) for entry in ifaces], expected + [("All", "")])
        for entry in ifaces:
            self.assertEqual((entry["output"], entry["input"]), ("0.00 bps", "0.00 bps"), entry)


if __name__ == "__main__":
    unittest.main()
