"""Who may send, with libsrt callers from 127.0.0.1 or 127.0.0.2: each case posts its
settings over HTTP, so each shows that a new setting reaches the next caller; callers
keep arriving while HTTP clients replace the settings. Refusals are logged and counted
in /metrics; no passphrase reaches the log."""

import re
import secrets
import threading
import time
import unittest

from harness import LIBSRT, SLOW, MediaCase, metrics, post_form, srt_call, wait_until

PASS = "listener-" + secrets.token_hex(6)
CAM1 = "cam1-own-" + secrets.token_hex(6)
LIST = f"cam1:{CAM1}, cam2"
SETTLE = 60 if SLOW else 20
CALLERS = 10 if SLOW else 30  # while the settings are replaced

SERVED, CLOSED = "served", "closed after the handshake"
BADSECRET, UNSECURE = 10, 11  # libsrt's own refusals: the gateway never sees these callers
FORBIDDEN, NOT_FOUND, OVERLOAD, MISCONFIGURED = 1403, 1404, 1402, 1500
REASONS = {FORBIDDEN: "forbidden", NOT_FOUND: "not_found", OVERLOAD: "overload", MISCONFIGURED: "misconfigured"}

P, A = {"srt_passphrase": PASS}, {"allowed_streams": LIST}
# (case, settings, stream id, passphrase, outcome[, caller's address[, key length]])
CASES = [
    ("nothing set: anyone", {}, "anything", "", SERVED, "127.0.0.2"),
    ("listener passphrase, none sent", P, "cam1", "", UNSECURE),
    ("listener passphrase, a wrong one", P, "cam1", "wrong-passphrase", BADSECRET),
    ("listener passphrase, the right one", P, "cam1", PASS, SERVED),
    ("allow-list, unlisted id", A, "cam3", "", NOT_FOUND),
    ("allow-list, a prefix of a listed id", A, "cam", "", NOT_FOUND),
    ("allow-list, listed id without its passphrase", A, "cam1", "", UNSECURE),
    ("allow-list, listed id with its passphrase", A, "cam1", CAM1, SERVED),
    ("allow-list, id listed without a passphrase", A, "cam2", "", SERVED),
    ("allow-list, #!::r= form", A, "#!::r=cam1,m=publish", CAM1, SERVED),
    ("allow-list, #!::r= form of an unlisted id", A, "#!::r=cam3", "", NOT_FOUND),
    ("allow-list, a forged log line in the id", A, "cam9\n[x]  STOP SIGNAL 15", "", NOT_FOUND),
    ("allow-list, talkback checked too", A, "studio-talkback", "", NOT_FOUND),
    ("own passphrase beats the listener's", {**P, **A}, "cam1", PASS, BADSECRET),
    ("listener's passphrase for the others", {**P, **A}, "cam2", PASS, SERVED),
    ("allow_from, another address", {"allow_from": "127.0.0.1"}, "cam1", "", FORBIDDEN, "127.0.0.2"),
    ("allow_from, the allowed address", {"allow_from": "127.0.0.1"}, "cam1", "", SERVED),
    ("allow_from, a CIDR block", {"allow_from": "10.0.0.0/8, 127.0.0.0/30"}, "cam1", "", SERVED, "127.0.0.2"),
    ("a passphrase libsrt refuses shuts everyone out", {"srt_passphrase": "short"}, "cam2", "", MISCONFIGURED),
    ("... also a stream with its own", {"srt_passphrase": "short", **A}, "cam1", CAM1, MISCONFIGURED),
    ("a stream passphrase libsrt refuses", {"allowed_streams": "cam1:short,cam2"}, "cam1", "", MISCONFIGURED),
    ("an unreadable allow_from", {"allow_from": "127.0.0.300"}, "cam1", "", MISCONFIGURED),
    ("max_streams reached (one caller held)", {"max_streams": "1"}, "cam1", "", OVERLOAD),
    ("key length asked after start, caller agrees", {**P, "srt_pbkeylen": "32"}, "cam1", PASS, SERVED, "127.0.0.1", 32),
    ("key length asked after start, caller differs", {**P, "srt_pbkeylen": "32"}, "cam1", PASS, CLOSED, "127.0.0.1", 16),
]

REFUSED_LINE = re.compile(r"-- CALLER REFUSED: (\w+) \(.*\) caller:([\d.]+):\d+ stream:(.*?)  src/")


def settings_text(gateway, settings, extra=""):
    return gateway.default_config(extra + "".join(f"{key} = {value}\n" for key, value in settings.items()))


def refused_counts(gateway):
    return {name[len('sluice_callers_refused_total{reason="'):-2]: int(value)
            for name, value in metrics(gateway).items() if name.startswith("sluice_callers_refused_total{")}


@unittest.skipIf(LIBSRT is None, "libsrt.so.1.5 is not installed")
class AccessControlTest(MediaCase):
    def try_caller(self, gateway, stream_id, passphrase="", source="127.0.0.1", key_length=0):
        """The outcome for one libsrt caller: SERVED, CLOSED or the reject reason code.
        A caller that connected is done with once the accept loop waits again."""
        waits = gateway.log().count("WAIT NEW SRT CONNECTION")
        refusals = gateway.log().count("-- CALLER REFUSED: ")
        sock, reason = srt_call(gateway.srt_port, stream_id.encode(), passphrase.encode(), source, key_length)
        if sock is None:
            return reason
        try:
            if not wait_until(lambda: gateway.log().count("WAIT NEW SRT CONNECTION") > waits, SETTLE):
                return "connected but never taken"
            return CLOSED if gateway.log().count("-- CALLER REFUSED: ") > refusals else SERVED
        finally:
            LIBSRT.srt_close(sock)

    def test_each_setting_admits_or_refuses_the_next_caller(self):
        drain = f"rist_endpoint=127.0.0.1:{self.drain()}\n"
        gateway = self.gateway(extra=drain)
        counts = {name: 0 for name in REASONS.values()}
        for case, settings, stream_id, passphrase, outcome, *caller in CASES:
            with self.subTest(case):
                self.assertEqual(post_form(gateway, {"config": settings_text(gateway, settings, drain)}).status, 200)
                holder = srt_call(gateway.srt_port, b"holder")[0] if "max_streams" in settings else None
                self.assertTrue(holder is None or wait_until(lambda: "streamid:holder" in gateway.log(), SETTLE))
                self.assertEqual(self.try_caller(gateway, stream_id, passphrase, *caller), outcome)
                if holder is not None:
                    LIBSRT.srt_close(holder)
                if outcome in REASONS or outcome == CLOSED:
                    counts[REASONS.get(outcome, "forbidden")] += 1
                    gateway.wait_for_log("-- CALLER REFUSED: ", count=sum(counts.values()))
                    escaped = stream_id.replace("\\", "\\\\").replace("\n", "\\n")
                    self.assertEqual(REFUSED_LINE.findall(gateway.log())[-1],
                                     (REASONS.get(outcome, "forbidden"), (caller or ["127.0.0.1"])[0], escaped))
                self.assertEqual(refused_counts(gateway), counts)
        log = gateway.log()
        self.assertIn("[map] srt_passphrase=***", log)
        self.assertIn("[map] allowed_streams=cam1:***, cam2", log)
        self.assertNotIn("\n[x]  STOP SIGNAL", log)
        for secret in (PASS, CAM1):
            self.assertNotIn(secret, log + gateway.errors())
        gateway.assert_clean_exit(self)

    def test_settings_replaced_while_callers_arrive(self):
        """libsrt's receiver thread decides while HTTP threads replace the settings."""
        drain = f"rist_endpoint=127.0.0.1:{self.drain()}\n"
        gateway = self.gateway(extra=drain)
        texts = [settings_text(gateway, {"allowed_streams": LIST}, drain),
                 settings_text(gateway, {"allow_from": "127.0.0.2"}, drain)]
        done, posts = threading.Event(), [0]

        def poster():
            while not done.is_set() and posts[0] < 2000:
                post_form(gateway, {"config": texts[posts[0] % 2]})
                posts[0] += 1

        thread = threading.Thread(target=poster)
        thread.start()
        outcomes, deadline = [], time.monotonic() + SETTLE
        try:
            # Saving fsyncs config.ini, so posts come at the pace of the disk.
            while len(outcomes) < CALLERS or (posts[0] < 20 and len(outcomes) < 200 and time.monotonic() < deadline):
                outcomes.append(self.try_caller(gateway, "cam2"))
        finally:
            done.set()
            thread.join(30)
        print(f"\nwhile {posts[0]} settings were posted: {outcomes.count(SERVED)} callers served, "
              f"{outcomes.count(FORBIDDEN)} refused")
        self.assertLessEqual(set(outcomes), {SERVED, FORBIDDEN})
        self.assertGreater(posts[0], 1)
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
