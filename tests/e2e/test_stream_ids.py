"""Stream ids the gateway cannot choose: real SRT callers (libsrt through ctypes, since
srt-live-transmit cannot announce arbitrary bytes) announce ids of every length up to
libsrt's limit of 512 bytes, with every byte value 1..255, and a few random binary ones.
Each is refused or served, the gateway never crashes, and afterwards it still forwards
a stream complete."""

import random
import unittest

from harness import (LIBSRT, SANITIZER, SLOW, Gateway, SrtLibrary, UdpSink, free_port, post_form, rist_receiver, srt_caller,
                     ts_payload, udp_drain)

MAX_STREAM_ID = 512


def stream_ids():
    """(label, id) for every length 0..512, every byte value 1..255 and random binary ids
    (NUL bytes included); fewer lengths under a sanitizer, where each worker is slow."""
    alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789-_"
    lengths = range(MAX_STREAM_ID + 1) if not SLOW else sorted({*range(0, MAX_STREAM_ID + 1, 9), 511, 512})
    for length in lengths:
        yield f"length {length}", bytes(alphabet[i % len(alphabet)] for i in range(length))
    for value in range(1, 256):
        yield f"byte {value}", b"id" + bytes([value]) * 3 + b"x"
    generator = random.Random(9)
    for number in range(8):
        length = generator.choice([1, 16, 200, MAX_STREAM_ID])
        yield f"random {number}", bytes(generator.randrange(256) for _ in range(length))


@unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
class StreamIdTest(unittest.TestCase):
    def test_every_length_and_byte_value_is_refused_or_served_and_the_gateway_keeps_serving(self):
        sink = UdpSink()
        self.addCleanup(sink.close)
        rist_port = free_port()
        receiver = rist_receiver(rist_port, sink.port)
        self.addCleanup(receiver.stop)
        # The odd callers' units go to a drain; only the last stream is checked.
        gateway = Gateway()
        gateway.write_config(gateway.default_config(f"rist_endpoint=127.0.0.1:{udp_drain(self)}\n"))
        self.addCleanup(gateway.close)
        gateway.start()
        library = SrtLibrary()
        self.addCleanup(library.close)

        message = ts_payload(0x400, 7)
        served, refused = 0, {}
        for label, stream_id in stream_ids():
            accepted = gateway.log().count("streamid:")
            # One caller at a time: each stays until the gateway took it.
            reason = library.call(gateway.srt_port, stream_id, message,
                                  lambda: gateway.log().count("streamid:") > accepted)
            if reason is None:
                served += 1
            else:
                refused[label] = reason
            self.assertIsNone(gateway.process.poll(), f"sluice ended after the stream id of {label}")
        print(f"\nstream ids served: {served}, refused: {len(refused)} {sorted(refused.items())[:5]}")
        self.assertEqual(refused, {}, "libsrt or the gateway refused stream ids")

        config = gateway.default_config(f"rist_endpoint=127.0.0.1:{rist_port}\n")
        self.assertEqual(post_form(gateway, {"config": config}).status, 200)
        caller = srt_caller(gateway.srt_port, "after-odd-ids")
        self.addCleanup(caller.stop)
        count = 7 * 200
        caller.send(ts_payload(0x401, count), 1_000_000)
        caller.push_through()
        sink.wait_for_packets(0x401, count, 60 if SANITIZER else 20)
        sink.check_stream(self, 0x401, count)
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
