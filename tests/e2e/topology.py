"""The network namespaces of the end-to-end tests: namespaces by role, veth pairs
between them, programs and sockets placed in a role's namespace, nftables drops on a
device, and the topologies the tests build from them. Needs root, ip and nft
(`available`). Every namespace name starts with the given prefix; deleting a namespace
removes its veths and nft tables with it."""

import collections
import contextlib
import ctypes
import json
import os
import shutil
import subprocess

CLONE_NEWNET = 0x40000000
LIBC = ctypes.CDLL(None, use_errno=True)


def available():
    return os.geteuid() == 0 and bool(shutil.which("ip")) and bool(shutil.which("nft"))


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def set_netns(fd):
    if LIBC.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns failed")


class Namespaces:
    """One namespace per role, named prefix + role, each with its loopback up. Close
    it (also after a failed set-up, which closes itself) to delete them all."""

    def __init__(self, prefix, roles):
        self.names = {role: f"{prefix}{role}" for role in roles}
        self.created = []
        try:
            for name in self.names.values():
                run("ip", "netns", "add", name)
                self.created.append(name)
                run("ip", "-n", name, "link", "set", "lo", "up")
        except BaseException:
            self.close()
            raise

    def ip(self, role, *args):
        return run("ip", "-n", self.names[role], *args)

    def run_in(self, role, *command):
        """A command's output, run in the role's namespace (with its own /sys)."""
        return run("ip", "netns", "exec", self.names[role], *command)

    def link(self, left, left_device, left_cidr, right, right_device, right_cidr):
        """A veth pair from left to right, each end with its address and up."""
        run("ip", "link", "add", "name", left_device, "netns", self.names[left], "type", "veth",
            "peer", "name", right_device, "netns", self.names[right])
        for role, device, cidr in ((left, left_device, left_cidr), (right, right_device, right_cidr)):
            self.ip(role, "addr", "add", cidr, "dev", device)
            self.ip(role, "link", "set", device, "up")

    @contextlib.contextmanager
    def entered(self, role):
        """Runs the block in the role's namespace: sockets made and programs started
        there stay in it."""
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(f"/run/netns/{self.names[role]}", os.O_RDONLY)
        try:
            set_netns(target)
            yield
        finally:
            set_netns(home)
            os.close(target)
            os.close(home)

    def tx_bytes(self, role, device):
        stats = json.loads(self.ip(role, "-j", "-s", "link", "show", "dev", device))[0]["stats64"]
        return stats["tx"]["bytes"]

    def set_drop(self, role, device, percent):
        """Drops percent % of the UDP packets entering and leaving device (netdev
        ingress and egress: silent, like a loss on the wire); 0 lifts it."""
        table = self._drop_table(device)
        if self._has_table(role, table):
            self._nft(role, f"delete table netdev {table}")
        if percent == 0:
            return
        drop = "counter drop" if percent >= 100 else f"numgen random mod 100 < {percent} counter drop"
        rules = "\n".join(
            f"  chain {hook} {{ type filter hook {hook} device \"{device}\" priority 0; policy accept;"
            f" meta l4proto udp counter {drop}; }}" for hook in ("ingress", "egress"))
        self._nft(role, f"table netdev {table} {{\n{rules}\n}}")

    def drop_counters(self, role, device):
        """(UDP packets seen, packets dropped) on device since its drop was set."""
        table = self._drop_table(device)
        if not self._has_table(role, table):
            return 0, 0
        listing = self.run_in(role, "nft", "-j", "list", "table", "netdev", table)
        seen = dropped = 0
        for item in json.loads(listing)["nftables"]:
            counts = [e["counter"]["packets"] for e in item.get("rule", {}).get("expr", []) if "counter" in e]
            seen += counts[0] if counts else 0
            dropped += counts[1] if len(counts) > 1 else 0
        return seen, dropped

    @staticmethod
    def _drop_table(device):
        return f"{device}_drop"

    def _has_table(self, role, table):
        return f"netdev {table}" in self.run_in(role, "nft", "list", "tables")

    def _nft(self, role, script):
        subprocess.run(["ip", "netns", "exec", self.names[role], "nft", "-f", "-"], input=script,
                       text=True, check=True)

    def close(self):
        for name in reversed(self.created):
            subprocess.run(["ip", "netns", "delete", name], stderr=subprocess.DEVNULL)
        self.created = []


class Chain(Namespaces):
    """Three namespaces joined by two veth pairs whose /30 addresses exist only between
    their ends:

        caller [lc] 10.213.1.1 --- 10.213.1.2 [gc] gateway [gr] 10.213.2.1 --- 10.213.2.2 [rr] receiver
    """

    CALLER_IP, GATEWAY_SRT_IP = "10.213.1.1", "10.213.1.2"
    GATEWAY_RIST_IP, RECEIVER_IP = "10.213.2.1", "10.213.2.2"

    def __init__(self, prefix):
        super().__init__(prefix, ("caller", "gateway", "receiver"))
        try:
            self.link("caller", "lc", f"{self.CALLER_IP}/30", "gateway", "gc", f"{self.GATEWAY_SRT_IP}/30")
            self.link("gateway", "gr", f"{self.GATEWAY_RIST_IP}/30", "receiver", "rr", f"{self.RECEIVER_IP}/30")
        except BaseException:
            self.close()
            raise


# One uplink of the gateway: its device and address, the far end's, and its routing table.
Uplink = collections.namedtuple("Uplink", "name device address far_device far_address table")


class Uplinks(Namespaces):
    """A gateway host with two uplinks and a receiver that both reach, routed the way
    a multi-homed host must be for each address to leave by its own link:

        gateway [upa] 10.214.1.2 --- 10.214.1.1 [upar] receiver (10.214.9.1 on lo)
        gateway [upb] 10.214.2.2 --- 10.214.2.1 [upbr] receiver

    In the gateway: `ip rule from 10.214.1.2 table 101` and `from 10.214.2.2 table 102`,
    each table with a default route by its own uplink, and the main default route by
    uplink a. Device names start with the prefix's letters "up"."""

    RECEIVER_IP = "10.214.9.1"
    A = Uplink("a", "upa", "10.214.1.2", "upar", "10.214.1.1", 101)
    B = Uplink("b", "upb", "10.214.2.2", "upbr", "10.214.2.1", 102)

    def __init__(self, prefix):
        super().__init__(prefix, ("gateway", "receiver"))
        try:
            self.ip("receiver", "addr", "add", f"{self.RECEIVER_IP}/32", "dev", "lo")
            for uplink in (self.A, self.B):
                self.link("gateway", uplink.device, f"{uplink.address}/30",
                          "receiver", uplink.far_device, f"{uplink.far_address}/30")
                self.ip("gateway", "route", "add", "default", "via", uplink.far_address, "dev", uplink.device,
                        "table", str(uplink.table))
                self.ip("gateway", "rule", "add", "from", uplink.address, "table", str(uplink.table))
            self.ip("gateway", "route", "add", "default", "via", self.A.far_address, "dev", self.A.device)
        except BaseException:
            self.close()
            raise
