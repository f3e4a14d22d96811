"""Network namespaces for the end-to-end tests: one per role, veth pairs between them,
nftables drops on a device. Needs root, ip and nft. Names start with the given prefix;
deleting a namespace removes its veths and nft tables with it."""

import contextlib
import ctypes
import json
import os
import shutil
import subprocess
import time

LIBC = ctypes.CDLL(None, use_errno=True)


def available():
    return os.geteuid() == 0 and shutil.which("ip") and shutil.which("nft")


def run(*args, stdin=None):
    return subprocess.run(args, check=True, capture_output=True, text=True, input=stdin, timeout=60).stdout


class Namespaces:
    """One namespace per role, named prefix + role, with its loopback up; `links` are
    veth pairs (left role, device, CIDR, right role, device, CIDR), each end up; then
    `commands` (role, ip arguments...). Close it (a failed set-up closes itself) to delete
    them all."""

    def __init__(self, prefix, roles, links=(), commands=()):
        self.names = {role: f"{prefix}{role}" for role in roles}
        self.created = []
        try:
            for name in self.names.values():
                run("ip", "netns", "add", name)
                self.created.append(name)
                run("ip", "-n", name, "link", "set", "lo", "up")
            for left, left_device, left_cidr, right, right_device, right_cidr in links:
                run("ip", "link", "add", "name", left_device, "netns", self.names[left], "type", "veth",
                    "peer", "name", right_device, "netns", self.names[right])
                for role, device, cidr in ((left, left_device, left_cidr), (right, right_device, right_cidr)):
                    if cidr:
                        self.ip(role, "addr", "add", cidr, "dev", device)
                    self.ip(role, "link", "set", device, "up")
            for role, *args in commands:
                self.ip(role, *args)
            self.wait_for_carrier([(left, ld) for left, ld, *_ in links] + [(right, rd) for *_, right, rd, _ in links])
        except BaseException:
            self.close()
            raise

    def wait_for_carrier(self, devices, seconds=10):
        """Waits until every (role, device) is up with a carrier: a gateway started before
        would leave a device without one out of its interface list."""
        deadline = time.monotonic() + seconds
        while any(json.loads(self.ip(role, "-j", "link", "show", "dev", device))[0]["operstate"] != "UP"
                  for role, device in devices):
            if time.monotonic() > deadline:
                raise RuntimeError(f"no carrier on {devices} after {seconds} s")
            time.sleep(0.05)

    def ip(self, role, *args):
        return run("ip", "-n", self.names[role], *args)

    def run_in(self, role, *command, stdin=None):
        """A command's output, run in the role's namespace (with its own /sys)."""
        return run("ip", "netns", "exec", self.names[role], *command, stdin=stdin)

    @contextlib.contextmanager
    def entered(self, role):
        """Runs the block in the role's namespace: sockets made and programs started there stay in it."""
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(f"/run/netns/{self.names[role]}", os.O_RDONLY)
        try:
            if LIBC.setns(target, 0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "setns failed")
            yield
        finally:
            LIBC.setns(home, 0x40000000)
            os.close(target)
            os.close(home)

    def tx_bytes(self, role, device):
        return json.loads(self.ip(role, "-j", "-s", "link", "show", "dev", device))[0]["stats64"]["tx"]["bytes"]

    def socket_overflows(self, role):
        """UDP datagrams the role's namespace dropped so far because a socket's buffer was full."""
        rows = [line.split() for line in self.run_in(role, "cat", "/proc/net/snmp").splitlines()
                if line.startswith("Udp:")]
        return int(rows[1][rows[0].index("RcvbufErrors")])

    def set_drop(self, role, device, percent):
        """Drops percent % of the UDP packets entering and leaving device (netdev ingress
        and egress: silent, like a loss on the wire); 0 lifts it."""
        table = f"{device}_drop"
        if f"netdev {table}" in self.run_in(role, "nft", "list", "tables"):
            self.run_in(role, "nft", "delete", "table", "netdev", table)
        if percent:
            drop = "counter drop" if percent >= 100 else f"numgen random mod 100 < {percent} counter drop"
            chains = "".join(f' chain {hook} {{ type filter hook {hook} device "{device}" priority 0;'
                             f" meta l4proto udp {drop}; }}\n" for hook in ("ingress", "egress"))
            self.run_in(role, "nft", "-f", "-", stdin=f"table netdev {table} {{\n{chains}}}\n")

    def drop_first_datagram(self, role, device, least_bytes=1000):
        """Drops the first UDP datagram of at least least_bytes entering device."""
        table = f"{device}_drop"
        self.run_in(role, "nft", "-f", "-", stdin=f'table netdev {table} {{\n chain ingress {{ type filter hook '
                    f'ingress device "{device}" priority 0; meta l4proto udp udp length >= {least_bytes} '
                    f'quota until {2 * least_bytes - 1} bytes counter drop; }}\n}}\n')

    def lift_drop(self, role, device):
        """Lifts the drop on device; gives the UDP packets it dropped."""
        listing = json.loads(self.run_in(role, "nft", "-j", "list", "ruleset"))["nftables"]
        self.set_drop(role, device, 0)
        return sum(expr["counter"]["packets"] for item in listing
                   if item.get("rule", {}).get("table") == f"{device}_drop"
                   for expr in item["rule"]["expr"] if "counter" in expr)

    def close(self):
        for name in reversed(self.created):
            subprocess.run(["ip", "netns", "delete", name], stderr=subprocess.DEVNULL)
        self.created = []


def chain(prefix):
    """caller [lc] 10.213.1.1 --- 10.213.1.2 [gc] gateway [gr] 10.213.2.1 --- 10.213.2.2 [rr] receiver"""
    return Namespaces(prefix, ("caller", "gateway", "receiver"),
                      [("caller", "lc", "10.213.1.1/30", "gateway", "gc", "10.213.1.2/30"),
                       ("gateway", "gr", "10.213.2.1/30", "receiver", "rr", "10.213.2.2/30")])


UPLINKS = {"a": ("upa", "10.214.1.2", "10.214.1.1", 101), "b": ("upb", "10.214.2.2", "10.214.2.1", 102)}
UPLINK_RECEIVER = "10.214.9.1"


def uplinks(prefix):
    """A gateway with two uplinks to a receiver (10.214.9.1 on its lo), each address routed
    out by its own link (`ip rule from ADDRESS table N`), the main default route by upa:

        gateway [upa] 10.214.1.2 --- 10.214.1.1 [upar] receiver
        gateway [upb] 10.214.2.2 --- 10.214.2.1 [upbr] receiver"""
    routes = [("receiver", "addr", "add", f"{UPLINK_RECEIVER}/32", "dev", "lo"),
              ("gateway", "route", "add", "default", "via", UPLINKS["a"][2], "dev", "upa")]
    for device, address, far, table in UPLINKS.values():
        routes += [("gateway", "route", "add", "default", "via", far, "dev", device, "table", str(table)),
                   ("gateway", "rule", "add", "from", address, "table", str(table))]
    return Namespaces(prefix, ("gateway", "receiver"), [
        ("gateway", device, f"{address}/30", "receiver", device + "r", f"{far}/30")
        for device, address, far, _ in UPLINKS.values()], routes)
