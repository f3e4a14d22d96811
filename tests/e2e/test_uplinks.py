"""Streams over two uplinks. The gateway runs in a namespace with two uplinks and source
routing per address (topology.Uplinks), the RIST receiver in another namespace that
both reach; the SRT caller feeds the gateway over its loopback, so the uplinks carry
RIST alone. Each case streams 8 Mbit/s for 6.5 s and may cut one uplink for 4 s of it
(nftables drops every UDP packet on it, both ways); the receiver's sink checks every
188-byte packet. Needs root, ip and nft; skipped otherwise."""

import os
import time
import unittest

import topology
from harness import Gateway, SrtFeeder, UdpSink, rist_flow_reports, rist_receiver, ts_payload, wait_until

RATE = 1_000_000  # bytes per second: 8 Mbit/s
UNIT_PACKETS = 7
RIST_PORT = 7000
BEFORE_CUT, CUT, AFTER_CUT = 1.0, 4.0, 1.5  # seconds
# uplink_mode: the uplink cut in each of its cases (None: none). Uplink a is the default route.
CASES = {
    "balance": (None, "a"),
    "duplicate": ("a", "b"),
}


def stream_packets(seconds):
    return UNIT_PACKETS * int(RATE * seconds / (188 * UNIT_PACKETS))


def bound_addresses(ss_output, pid):
    """The local addresses of the UDP sockets that process pid holds."""
    return {line.split()[3].rsplit(":", 1)[0] for line in ss_output.splitlines() if f"pid={pid}," in line}


def recovered_by_flow(receiver_output):
    """Packets the receiver recovered by retransmission, per flow (its last report)."""
    return {flow: recovered for flow, _, recovered, _ in rist_flow_reports(receiver_output)}


@unittest.skipUnless(topology.available(), "needs root, ip and nft")
class UplinksTest(unittest.TestCase):
    def setUp(self):
        self.net = topology.Uplinks(f"up{os.getpid()}")
        self.addCleanup(self.net.close)
        self.uplinks = {uplink.name: uplink for uplink in (self.net.A, self.net.B)}
        with self.net.entered("receiver"):
            self.sink = UdpSink()
            self.addCleanup(self.sink.close)
            self.receiver = rist_receiver(RIST_PORT, self.sink.port, self.net.RECEIVER_IP, with_stats=True)
            self.addCleanup(self.receiver.stop)

    def start_gateway(self, mode):
        with self.net.entered("gateway"):
            gateway = Gateway(command_prefix=("ip", "netns", "exec", self.net.names["gateway"]))
            self.addCleanup(gateway.close)
            mode_line = "" if mode == "balance" else f"uplink_mode={mode}\n"  # balance is the default
            destination = f"rist_endpoint={self.net.RECEIVER_IP}:{RIST_PORT}\n"
            gateway.write_config(gateway.default_config(destination + mode_line))
            return gateway.start()

    def tx_counters(self):
        return {name: self.net.tx_bytes("gateway", uplink.device) for name, uplink in self.uplinks.items()}

    def stream(self, gateway, stream_id, pid, cut):
        """Streams BEFORE_CUT + CUT + AFTER_CUT seconds, the named uplink (if any) cut in
        the middle; gives what the case measured."""
        with self.net.entered("gateway"):
            caller = SrtFeeder(f"srt://127.0.0.1:{gateway.srt_port}?streamid={stream_id}")
        self.addCleanup(caller.stop)
        count = stream_packets(BEFORE_CUT + CUT + AFTER_CUT)
        payload = ts_payload(pid, count)
        first, second = (188 * stream_packets(seconds) for seconds in (BEFORE_CUT, BEFORE_CUT + CUT))
        flows_before = set(recovered_by_flow(self.receiver.output()))
        before = self.tx_counters()
        caller.send(payload[:first], RATE)
        addresses = bound_addresses(self.net.run_in("gateway", "ss", "-uanp"), gateway.process.pid)
        if cut:
            self.net.set_drop("gateway", self.uplinks[cut].device, 100)
        caller.send(payload[first:second], RATE)
        if cut:
            self.net.set_drop("gateway", self.uplinks[cut].device, 0)
        caller.send(payload[second:], RATE)
        caller.push_through(RATE)
        self.sink.wait_for_packets(pid, count, 10)
        after = self.tx_counters()
        time.sleep(1.2)  # the receiver's next report
        recovered = sum(value for flow, value in recovered_by_flow(self.receiver.output()).items()
                        if flow not in flows_before)
        caller.hang_up()
        return {"count": count, "carried": {name: after[name] - before[name] for name in after},
                "addresses": addresses, "recovered": recovered, "lost": count - len(self.sink.packets(pid))}

    def test_each_uplink_carries_its_part_and_duplicate_mode_survives_a_cut_of_either(self):
        print(f"\n8 Mbit/s for {BEFORE_CUT + CUT + AFTER_CUT:g} s per case, a cut lasts {CUT:g} s")
        print("mode       cut   stream MB  uplink a MB  uplink b MB  recovered  lost")
        pids = iter(range(0x400, 0x500))
        for mode, cuts in CASES.items():
            gateway = self.start_gateway(mode)
            for cut in cuts:
                with self.subTest(mode=mode, cut=cut):
                    self.check_case(gateway, mode, cut, next(pids))
            self.assertTrue(wait_until(lambda: gateway.log().count("RistWorker end STOPed") >= len(cuts), 10))
            gateway.assert_clean_exit(self)

    def check_case(self, gateway, mode, cut, pid):
        result = self.stream(gateway, f"{mode}-{cut}", pid, cut)
        count, carried = result["count"], result["carried"]
        stream_bytes = count * 188
        print(f"{mode:9}  {cut or '-':3}  {stream_bytes / 1e6:9.1f}  {carried['a'] / 1e6:11.1f}"
              f"  {carried['b'] / 1e6:11.1f}  {result['recovered']:9}  {result['lost']:4}")
        self.assertTrue({self.net.A.address, self.net.B.address} <= result["addresses"],
                        f"an interface peer is not bound to its address: {result['addresses']}")
        if mode == "duplicate":
            kept = "b" if cut == "a" else "a"
            self.assertGreater(carried[kept], stream_bytes, f"uplink {kept} did not carry every packet")
            self.sink.check_stream(self, pid, count)
        elif cut is None:
            self.assertGreater(carried["a"], stream_bytes, "no copy of the stream by the default route")
            self.assertGreater(carried["b"], 0.3 * stream_bytes, "uplink b did not carry its share")
            self.sink.check_stream(self, pid, count)
        else:
            # What librist dealt to the dead uplink before it noticed comes back only if the
            # receiver asks for it in time (the loss is printed above): the stream must go on.
            indices = [int.from_bytes(packet[4:8], "big") for packet in self.sink.packets(pid)]
            self.assertEqual(indices, sorted(set(indices)), "repeated or reordered packets")
            tail = stream_packets(AFTER_CUT) // 2
            self.assertEqual(indices[-tail:], list(range(count - tail, count)), "the stream did not resume")


if __name__ == "__main__":
    unittest.main()
