"""The HTTP control meeting the media path: a configuration posted over HTTP reaches the
next SRT caller, and SIGTERM during live forwarding stops everything in order."""

import time
import unittest

from harness import SLOW, Gateway, MediaTestCase, post_form, ts_payload, wait_until

RATE = 500_000 if SLOW else 2_000_000
ARRIVAL_TIMEOUT = 60 if SLOW else 20


class HttpMediaTest(MediaTestCase):
    def test_posted_rist_endpoint_reaches_the_next_caller(self):
        old_port, old_sink = self.receiver()
        new_port, new_sink = self.receiver()
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(gateway.default_config(f"rist_endpoint=127.0.0.1:{old_port}\n"))
        gateway.start()
        answer = post_form(gateway, {"config": gateway.default_config(f"rist_endpoint=127.0.0.1:{new_port}\n")})
        self.assertEqual(answer.status, 200)
        count = 7 * 400
        caller = self.caller(gateway, "after-post")
        caller.send(ts_payload(0x110, count), RATE)
        caller.push_through()
        self.assertTrue(new_sink.wait_for_packets(0x110, count, ARRIVAL_TIMEOUT))
        new_sink.check_stream(self, 0x110, count)
        self.assertEqual(old_sink.packets(0x110), [])
        self.assertIn(f" create peer: rist://127.0.0.1:{new_port}?cname=after-post", gateway.log())
        gateway.assert_clean_exit(self)

    def test_sigterm_during_live_forwarding_exits_cleanly_and_closes_the_caller(self):
        rist_port, sink = self.receiver()
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(gateway.default_config(f"rist_endpoint=127.0.0.1:{rist_port}\n"))
        gateway.start()
        caller = self.caller(gateway, "live")
        caller.send(ts_payload(0x111, 7 * 200), RATE)
        self.assertTrue(sink.wait_for_packets(0x111, 7 * 100, ARRIVAL_TIMEOUT))
        started = time.monotonic()
        gateway.assert_clean_exit(self)
        self.assertLess(time.monotonic() - started, 5 * (3 if SLOW else 1))
        log = gateway.log()
        self.assertIn("STOP SRT SERVER", log)
        self.assertIn("RistWorker end STOPed", log)
        # The caller notices the closed connection: srt-live-transmit ends without auto-reconnect.
        try:
            caller.send(ts_payload(0x111, 7 * 50), RATE)
        except (BrokenPipeError, OSError):
            pass
        self.assertTrue(wait_until(lambda: not caller.running(), 15), caller.output()[-2000:])


if __name__ == "__main__":
    unittest.main()
