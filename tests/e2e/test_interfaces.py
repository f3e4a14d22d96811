"""The interface list against the machine: the gateway lists exactly the operational
interfaces with an IPv4 address, and traffic through a veth pair between two network
namespaces that the test creates shows up as a rate at the next enumeration."""

import json
import os
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

import topology
from harness import Gateway, sanitizer_env, wait_until

PROBE = os.environ.get("SLUICE_INTERFACE_PROBE", "")
EXCLUDED_WORDS = ("Hyper-V", "Loopback", "VirtualBox", "VMware", "TAP-Windows", "WAN Miniport")
EXCLUDED_PREFIXES = ("docker", "br-", "virbr", "veth", "vmnet", "vboxnet")
UNITS = {"bps": 1.0, "Kbps": 1e3, "Mbps": 1e6, "Gbps": 1e9}
ZERO = "0.00 bps"
DATAGRAMS = 4000
DATAGRAM_SIZE = 1316
PROBE_TIME_LIMIT = 120


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True, timeout=30).stdout


def in_namespace(namespace, *command):
    return run("ip", "netns", "exec", namespace, *command) if namespace else run(*command)


def operational_ipv4_interfaces(namespace=None):
    """[(name, first IPv4 address)] in byte order, as `ip -4 -o addr` and /sys tell."""
    first_address = {}
    for line in in_namespace(namespace, "ip", "-4", "-o", "addr", "show").splitlines():
        fields = line.split()
        first_address.setdefault(fields[1].split("@")[0], fields[3].split("/")[0])
    listed = [(name, address) for name, address in first_address.items()
              if operstate(namespace, name) == "up" and not any(word in name for word in EXCLUDED_WORDS)
              and not name.startswith(EXCLUDED_PREFIXES)]
    return sorted(listed, key=lambda entry: entry[0].encode())


def operstate(namespace, name):
    return in_namespace(namespace, "cat", f"/sys/class/net/{name}/operstate").strip()


def listed_by(gateway):
    url = f"http://127.0.0.1:{gateway.web_port}/api/state"
    with urllib.request.urlopen(url, timeout=10) as answer:
        return json.loads(answer.read())["ifaces"]


def bits_per_second(rate_text):
    number, unit = rate_text.split(" ")
    return float(number) * UNITS[unit]


def read_list(stream):
    """One list printed by the probe: entries up to the empty line, by title."""
    entries = {}
    for line in iter(stream.readline, ""):
        if line == "\n":
            return entries
        title, ip, output, input_ = line.rstrip("\n").split("\t")
        entries[title] = {"ip": ip, "output": output, "input": input_}
    raise AssertionError("the probe ended before finishing its list")


class InterfaceListTest(unittest.TestCase):
    def test_gateway_lists_the_operational_interfaces_with_an_ipv4_address(self):
        # Other work on this machine may add or remove interfaces: take a list that was
        # stable from before the gateway started until after it answered.
        for _ in range(3):
            expected = operational_ipv4_interfaces()
            gateway = Gateway()
            self.addCleanup(gateway.close)
            gateway.start()
            ifaces = listed_by(gateway)
            gateway.assert_clean_exit(self)
            if operational_ipv4_interfaces() == expected:
                break
        else:
            self.fail("the machine's interfaces kept changing")
        self.assertEqual([(entry["title"], entry["ip"]) for entry in ifaces], expected + [("All", "")])
        self.assertNotIn("lo", [entry["title"] for entry in ifaces])
        for entry in ifaces:
            self.assertEqual((entry["output"], entry["input"]), (ZERO, ZERO), entry)

    @unittest.skipUnless(os.geteuid() == 0, "creating network namespaces needs root")
    def test_traffic_through_a_veth_pair_shows_as_its_rate(self):
        if not PROBE:
            self.skipTest("SLUICE_INTERFACE_PROBE is not set")
        net = topology.Namespaces(f"sluice-{os.getpid()}-", ("near", "far"))
        self.addCleanup(net.close)
        near, far = net.names["near"], net.names["far"]
        self.build_links(near, far)
        self.assertEqual(operational_ipv4_interfaces(near), [("sv1a", "10.254.254.1")])
        self.check_rate_after_traffic(near, far)

    def build_links(self, near, far):
        """sv1: addressed and up; sv2: up without IPv4; sv3: IPv4 but its peer is down;
        lo (up since the namespace was made): its operstate is "unknown"."""
        for pair in ("sv1", "sv2", "sv3"):
            run("ip", "-n", near, "link", "add", pair + "a", "type", "veth",
                "peer", "name", pair + "b", "netns", far)
        run("ip", "-n", near, "addr", "add", "10.254.254.1/30", "dev", "sv1a")
        run("ip", "-n", far, "addr", "add", "10.254.254.2/30", "dev", "sv1b")
        run("ip", "-n", near, "addr", "add", "10.254.254.5/30", "dev", "sv3a")
        for namespace, links in ((near, ("sv1a", "sv2a", "sv3a")), (far, ("sv1b", "sv2b"))):
            for link in links:
                run("ip", "-n", namespace, "link", "set", link, "up")
        for namespace, link in ((near, "sv1a"), (near, "sv2a"), (far, "sv1b")):
            self.assertTrue(wait_until(lambda: operstate(namespace, link) == "up", 10), link)

    def check_rate_after_traffic(self, near, far):
        started = time.monotonic()
        before_first = self.octets(near)
        command = ["ip", "netns", "exec", near, PROBE]
        with tempfile.TemporaryFile() as errors, subprocess.Popen(
                command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors, text=True,
                env=sanitizer_env()) as probe:
            watchdog = threading.Timer(PROBE_TIME_LIMIT, probe.kill)
            watchdog.start()
            try:
                first = read_list(probe.stdout)
                first_read = time.monotonic()
                after_first = self.octets(near)
                self.send(near, "10.254.254.2")
                self.send(far, "10.254.254.1")
                before_second = self.octets(near)
                second_asked = time.monotonic()
                probe.stdin.write("\n")
                probe.stdin.flush()
                second = read_list(probe.stdout)
                second_read = time.monotonic()
                after_second = self.octets(near)
                status = probe.wait(PROBE_TIME_LIMIT)
            finally:
                watchdog.cancel()
                if probe.poll() is None:
                    probe.kill()
            errors.seek(0)
            self.assertEqual(status, 0, errors.read().decode("utf-8", "replace"))
        self.assertEqual(first, {"sv1a": {"ip": "10.254.254.1", "output": ZERO, "input": ZERO},
                                 "All": {"ip": "", "output": ZERO, "input": ZERO}})
        self.assertEqual(list(second), ["sv1a", "All"])
        self.assertEqual(second["All"], dict(second["sv1a"], ip=""))
        # The two enumerations lie inside [started, second_read] and around
        # [first_read, second_asked]; so do the counter readings. That bounds the rate.
        for direction in (0, 1):
            rate = bits_per_second(second["sv1a"][("output", "input")[direction]])
            lowest = (before_second[direction] - after_first[direction]) * 8 / (second_read - started)
            highest = (after_second[direction] - before_first[direction]) * 8 / (second_asked - first_read)
            self.assertGreater(lowest, 0)
            self.assertTrue(lowest * 0.99 <= rate <= highest * 1.01, (lowest, rate, highest, second))

    def octets(self, namespace):
        """sv1a's (transmitted, received) octets."""
        return tuple(int(in_namespace(namespace, "cat", f"/sys/class/net/sv1a/statistics/{name}"))
                     for name in ("tx_bytes", "rx_bytes"))

    def send(self, namespace, address):
        """A few MB of UDP to the other veth end; nobody listens there, the far kernel drops it."""
        code = ("import socket\n"
                "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                f"for _ in range({DATAGRAMS}): s.sendto(bytes({DATAGRAM_SIZE}), ('{address}', 9))\n")
        subprocess.run(["ip", "netns", "exec", namespace, "python3", "-c", code], check=True, timeout=60)


if __name__ == "__main__":
    unittest.main()
