"""The gateway's doors: who may send (settings posted while libsrt callers arrive, from
127.0.0.1, 127.0.0.2 or ::1), talkback by the matched name, a config.ini with bad values,
start-up failures, signals, and the Debian package."""

import glob
import os
import re
import secrets
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

from harness import (BUILD_DIR, LIBSRT, LOG_LINE, SANITIZER, SLOW, SOURCE_DIR, Gateway,
                     MediaCase, call_once, config_on_disk, metrics, post_form, request, srt_call, wait_until)

SHARE, UNIT = "/usr/share/sluice", "lib/systemd/system/sluice.service"
PASS = "listener-" + secrets.token_hex(6)
CAM1 = "cam1-own-" + secrets.token_hex(6)
LIST = f"cam1:{CAM1}, cam2"
SETTLE, CALLERS = (60, 10) if SLOW else (20, 30)  # CALLERS arrive while the settings are replaced

SERVED, CLOSED, LATE = "served", "closed after the handshake: forbidden", "closed after the handshake: latency"
BADSECRET, UNSECURE = 10, 11  # libsrt's own refusals: the gateway never sees these callers
FORBIDDEN, NOT_FOUND, OVERLOAD, MISCONFIGURED, NO_ROUTE = 1403, 1404, 1402, 1500, 1502
REASONS = {FORBIDDEN: "forbidden", NOT_FOUND: "not_found", OVERLOAD: "overload", MISCONFIGURED: "misconfigured",
           CLOSED: "forbidden", LATE: "latency", NO_ROUTE: "no_route"}

P, A = {"srt_passphrase": PASS}, {"allowed_streams": LIST}
# (case, settings, stream id, passphrase, outcome[, caller's address[, key length[, latency]]])
CASES = [
    ("nothing set: anyone", {}, "anything", "", SERVED, "127.0.0.2"),
    ("listener passphrase, none sent", P, "cam1", "", UNSECURE),
    ("allow-list, unlisted id", A, "cam3", "", NOT_FOUND),
    ("allow-list, listed id without its passphrase", A, "cam1", "", UNSECURE),
    ("allow-list, listed id with its passphrase", A, "cam1", CAM1, SERVED),
    ("allow-list, #!::r= form", A, "#!::r=cam1,m=publish", CAM1, SERVED),
    ("allow-list, a forged log line in the id", A, "cam9\n[x]  STOP SIGNAL 15", "", NOT_FOUND),
    ("own passphrase beats the listener's", {**P, **A}, "cam1", PASS, BADSECRET),
    ("listener's passphrase for the others", {**P, **A}, "cam2", PASS, SERVED),
    ("allow_from, another address", {"allow_from": "127.0.0.1"}, "cam1", "", FORBIDDEN, "127.0.0.2"),
    ("allow_from, an IPv4 caller beside IPv6 blocks", {"allow_from": "::1, 127.0.0.1"}, "cam1", "", SERVED),
    ("allow_from, an IPv6 caller in its block", {"allow_from": "10.0.0.0/8, ::1/128"}, "cam1", "", SERVED, "::1"),
    ("allow_from, an IPv6 caller outside the block", {"allow_from": "2001:db8::/32"}, "cam1", "", FORBIDDEN, "::1"),
    ("max_streams reached (one caller held)", {"max_streams": "1"}, "cam1", "", OVERLOAD),
    ("key length set after start, caller agrees", {**P, "srt_pbkeylen": "32"}, "cam1", PASS, SERVED, "127.0.0.1", 32),
    ("key length set after start, caller differs", {**P, "srt_pbkeylen": "32"}, "cam1", PASS, CLOSED, "127.0.0.1", 16),
    ("latency above srt_max_latency (5000)", {}, "cam1", "", LATE, "127.0.0.1", 0, 60000),
    ("latency at srt_max_latency", {}, "cam1", "", SERVED, "127.0.0.1", 0, 5000),
    ("srt_max_latency raised", {"srt_max_latency": "60000"}, "cam1", "", SERVED, "127.0.0.1", 0, 60000),
]
# (stream id, served as talkback) with allowed_streams set or not: the name the check matched decides
TALKBACK_IDS = [("#!::r=cam1,u=talkback", False), ("#!::r=cam2,feedbackplay", False),
                ("#!::r=cam2,x=feedbackplay", False), ("studio-talkback", True), ("#!::r=studio-talkback", True)]

REFUSED_LINE = re.compile(r"-- CALLER REFUSED: (\w+) \(.*\) caller:\[?([\da-f.:]+?)\]?:\d+ stream:(.*?)  src/")


def log_message(line):
    match = LOG_LINE.match(line)
    return match.group(1) if match else ""


def settings_text(gateway, settings, extra=""):
    return gateway.default_config(extra + "".join(f"{key} = {value}\n" for key, value in settings.items()))


def refused_counts(gateway):
    return {name[len('sluice_callers_refused_total{reason="'):-2]: int(value)
            for name, value in metrics(gateway).items() if name.startswith("sluice_callers_refused_total{")}


class GatewayTest(MediaCase):
    def try_caller(self, gateway, stream_id, passphrase="", source="127.0.0.1", key_length=0, latency=0):
        """SERVED, CLOSED, LATE or the reject reason; a caller is taken once the accept loop waits again."""
        waits = gateway.log().count("WAIT NEW SRT CONNECTION")
        refusals = gateway.log().count("-- CALLER REFUSED: ")
        sock, reason = srt_call(gateway.srt_port, stream_id.encode(), passphrase.encode(), source, key_length,
                                latency=latency)
        if sock is None:
            return reason
        try:
            if not wait_until(lambda: gateway.log().count("WAIT NEW SRT CONNECTION") > waits, SETTLE):
                return "connected but never taken"
            if gateway.log().count("-- CALLER REFUSED: ") == refusals:
                return SERVED
            return "closed after the handshake: " + REFUSED_LINE.findall(gateway.log())[-1][0]
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
                if outcome in REASONS:
                    counts[REASONS[outcome]] += 1
                    gateway.wait_for_log("-- CALLER REFUSED: ", count=sum(counts.values()))
                    escaped = stream_id.replace("\\", "\\\\").replace("\n", "\\n")
                    self.assertEqual(REFUSED_LINE.findall(gateway.log())[-1],
                                     (REASONS[outcome], (caller or ["127.0.0.1"])[0], escaped))
                self.assertEqual(refused_counts(gateway), counts)
        for secret in (PASS, CAM1):
            self.assertNotIn(secret, gateway.log() + gateway.errors())
        gateway.assert_clean_exit(self)

    def test_a_file_with_bad_values_starts_logs_each_once_and_serves_with_the_rest(self):
        drain = self.drain()
        bad = {"srt_latency": "soon", "uplink_mode": "sideways", "allowed_streams": "cam1:short, cam2, cam3",
               "rist_endpoint": f"127.0.0.1:{drain}, 10.0.0.5, 10.0.0.6:5000?secret={PASS}&profile=simple",
               "route.CAM3": "10.0.0.5"}
        gateway = Gateway()
        self.addCleanup(gateway.close)
        text = settings_text(gateway, bad)
        gateway.write_config(text)
        gateway.start()
        logged = [f"-- BAD VALUE srt_latency, line 3: \"soon\" is not a whole number from 0 up; using the default 120",
                  "-- BAD VALUE uplink_mode, line 4: \"sideways\" is not balance or duplicate; using balance",
                  "-- BAD VALUE allowed_streams, line 5: the passphrase of \"cam1\" has 5 characters; libsrt takes a "
                  "passphrase of 10 to 79; that stream's callers are refused as misconfigured",
                  "-- BAD VALUE rist_endpoint, line 6: \"10.0.0.5\": no port; left out",
                  "-- BAD VALUE rist_endpoint, line 6: \"10.0.0.6:5000?secret=***&profile=simple\": the simple profile "
                  "takes no secret; left out",
                  "-- BAD VALUE route.cam3, line 7: \"10.0.0.5\": no port; left out, the route has no destination "
                  "left: its callers are refused as no_route"]
        self.assertEqual(self.try_caller(gateway, "cam2"), SERVED)
        self.assertEqual(self.try_caller(gateway, "cam1"), MISCONFIGURED)
        self.assertEqual(self.try_caller(gateway, "cam3"), NO_ROUTE)  # not sent to rist_endpoint instead
        self.assertEqual(refused_counts(gateway)["no_route"], 1)
        self.assertIn(f"rist_endpoint: 127.0.0.1:{drain}\n", gateway.log())
        answer = post_form(gateway, {"config": text})
        self.assertEqual((answer.status, answer.body.decode().splitlines()), (400, [m[13:m.rindex(";")] for m in logged]))
        self.assertEqual(config_on_disk(gateway), text.encode())
        self.assertEqual([m for m in map(log_message, gateway.log().splitlines()) if m.startswith("-- BAD VALUE")],
                         logged)
        self.assertNotIn("short", gateway.log())
        self.assertNotIn(PASS, gateway.log() + answer.body.decode())
        gateway.assert_clean_exit(self)

        closed = Gateway()  # a listener passphrase libsrt refuses shuts out every caller
        self.addCleanup(closed.close)
        closed.write_config(settings_text(closed, {"srt_passphrase": "short"}))
        closed.start()
        self.assertEqual(self.try_caller(closed, "cam2"), MISCONFIGURED)
        closed.assert_clean_exit(self)

    def test_talkback_is_decided_by_the_name_the_access_check_matched(self):
        source = f"tb_endpoint=srt://127.0.0.1:{self.talkback_source()[0]}\n"
        gateway = self.gateway(extra=source)
        for allowed in ("cam1, cam2, studio-talkback", ""):
            self.assertEqual(post_form(gateway, {"config": settings_text(gateway, {"allowed_streams": allowed}, source)})
                             .status, 200)
            for stream_id, talkback in TALKBACK_IDS:
                with self.subTest(allowed=allowed, stream_id=stream_id):
                    self.assertIsNone(call_once(gateway, stream_id.encode(), "rist worker start "))
                    self.assertEqual(re.findall(r"rist worker start (\d) (.*?)  src/", gateway.log())[-1],
                                     ("1" if talkback else "0", stream_id))
        gateway.assert_clean_exit(self)

    def test_settings_replaced_while_callers_arrive(self):
        # libsrt's receiver thread decides while HTTP threads replace the settings; a stream
        # admitted before keeps its route and arrives whole.
        pacer = self.pacer(1, 2_000_000, 4)
        port, sink = self.destination(1, pacer.packets)
        drain, gateway = f"rist_endpoint=127.0.0.1:{self.drain()}\n", self.gateway([port])
        self.feeder(f"srt://127.0.0.1:{gateway.srt_port}?streamid=running", pacer.readers[0])
        pacer.start()
        texts = [settings_text(gateway, A, drain), settings_text(gateway, {"allow_from": "127.0.0.2"}, drain)]
        done, posts = threading.Event(), []

        def poster():
            while not done.is_set() and len(posts) < 2000:
                posts.append(post_form(gateway, {"config": texts[len(posts) % 2]}).status)
        thread = threading.Thread(target=poster)
        thread.start()
        outcomes = [self.try_caller(gateway, "cam2") for _ in range(CALLERS)]
        done.set()
        thread.join(30)
        print(f"\nwhile {len(posts)} settings were posted: {outcomes.count(SERVED)} callers served, "
              f"{outcomes.count(FORBIDDEN)} refused")
        self.assertLessEqual(set(outcomes), {SERVED, FORBIDDEN})
        self.assertEqual((set(posts), len(posts) > 1), ({200}, True))
        sink.assert_whole(self)
        gateway.assert_clean_exit(self)

    def test_a_start_up_failure_ends_the_process_with_status_1_after_the_orderly_stop(self):
        def take_port(kind, key):
            def block(gateway):
                blocker = socket.socket(socket.AF_INET, kind)
                self.addCleanup(blocker.close)
                blocker.bind(("0.0.0.0", getattr(gateway, key)))
                if kind == socket.SOCK_STREAM:
                    blocker.listen(1)
                return getattr(gateway, key)
            return block

        def replace_config(make):
            def replace(gateway):
                path = os.path.join(gateway.dir, "config.ini")
                os.remove(path)
                make(path)
                return path
            return replace

        not_mounted = replace_config(lambda path: os.symlink("/nonexistent-volume/config.ini", path))
        cases = [  # (case, what makes the start fail: gives the port or path, failure line, summary)
            ("web port taken", take_port(socket.SOCK_STREAM, "web_port"), "*** WEB SERVER CANNOT LISTEN ON PORT",
             "the web port {} cannot be used"),
            ("SRT port taken", take_port(socket.SOCK_DGRAM, "srt_port"), "*** SRT LISTENER CANNOT BIND PORT",
             "the SRT port {} cannot be used"),
            ("config.ini a directory", replace_config(os.mkdir), "*** CONFIG FILE CANNOT BE READ:",
             "config.ini cannot be read"),
            ("config.ini a link to a volume not mounted", not_mounted, "*** CONFIG FILE CANNOT BE READ:",
             "config.ini cannot be read")]
        for case, make_fail, failure, summary in cases:
            with self.subTest(case):
                gateway = Gateway()
                self.addCleanup(gateway.close)
                named = make_fail(gateway)
                gateway.start(wait_for="-- CONFIG PATH: ")
                gateway.process.wait(15)
                gateway.assert_clean_exit(self, expected_status=1)
                messages = [LOG_LINE.match(line).group(1) for line in gateway.log().splitlines()]
                failed_at = next(i for i, m in enumerate(messages) if m.startswith(f"{failure} {named}: "))
                self.assertIn("STOP SRT SERVER", messages[failed_at:])
                self.assertEqual(messages[-1], f"*** START-UP FAILED: {summary.format(named)}, EXIT STATUS 1")
                if "config.ini" in case:
                    self.assertFalse([m for m in messages if m.startswith(("LISTENER PORT:", "START WEB SERVER"))])

    def test_sighup_and_sigterm_stop_in_order_and_sigusr1_and_sigusr2_change_nothing(self):
        for stop_signal in (signal.SIGHUP, signal.SIGTERM):
            with self.subTest(stop_signal.name):
                gateway = Gateway().start()
                self.addCleanup(gateway.close)
                for ignored in (signal.SIGUSR2, signal.SIGUSR1):  # SIGUSR2 once ended the stop watcher
                    gateway.process.send_signal(ignored)
                    self.assertEqual(request(gateway, "GET", "/hi").status, 200, ignored.name)
                gateway.process.send_signal(stop_signal)
                self.assertEqual(gateway.process.wait(15), 0, gateway.log()[-2000:])
                self.assertIn(f"STOP SIGNAL {stop_signal.value}", gateway.log())
                self.assertIn("STOP SRT SERVER", gateway.log())
                gateway.assert_clean_exit(self)

    @unittest.skipIf(SANITIZER, "the package is made from the plain build")
    def test_the_package_installs_a_gateway_that_runs(self):
        work = tempfile.mkdtemp(prefix="sluice-package-")
        self.addCleanup(shutil.rmtree, work, True)
        subprocess.run(["cpack", "-G", "DEB", "-B", work], cwd=BUILD_DIR, check=True, capture_output=True, timeout=600)
        deb, = glob.glob(os.path.join(work, "*.deb"))
        root = os.path.join(work, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)

        def dpkg_deb(*args):
            return subprocess.run(["dpkg-deb", *args, deb], check=True, capture_output=True, text=True).stdout
        listing = {line.split(None, 5)[5].removeprefix("."): line[:10] for line in dpkg_deb("-c").splitlines()}
        for path in ["/usr/bin/sluice", "/" + UNIT, f"{SHARE}/config.ini.example",
                     *(f"{SHARE}/web/{name}" for name in os.listdir(os.path.join(SOURCE_DIR, "web")))]:
            self.assertIn(path, listing)
        self.assertIn("x", listing["/usr/bin/sluice"][1:4], "the binary is executable")
        depends = [entry.split()[0] for entry in dpkg_deb("-f").split("Depends: ")[1].split("\n")[0].split(",")]
        self.assertLessEqual({"libsrt1.5-openssl", "libcjson1", "libmbedcrypto7", "libcpp-httplib0.11"}, set(depends))
        self.assertIn("postinst", dpkg_deb("-I"))
        if shutil.which("systemd-analyze"):
            verify = subprocess.run(["systemd-analyze", "verify", os.path.join(root, UNIT)], capture_output=True,
                                    text=True, timeout=60)
            self.assertEqual([line for line in (verify.stdout + verify.stderr).splitlines()
                              if "/usr/bin/sluice is not executable" not in line], [])

        with open(os.path.join(root, UNIT)) as unit:
            settings = dict(re.findall(r"^(\w+)=(.*)$", unit.read(), re.M))
        self.assertEqual([settings[key] for key in ("ExecStart", "KillSignal", "Restart", "WorkingDirectory")],
                         ["/usr/bin/sluice", "SIGTERM", "on-failure", "/var/lib/" + settings["StateDirectory"]])
        prepare = [arg.replace(SHARE, root + SHARE) for arg in shlex.split(settings["ExecStartPre"])]
        gateway = Gateway(config_text="", with_web=False)
        self.addCleanup(gateway.close)
        gateway.binary = os.path.join(root, "usr/bin/sluice")
        subprocess.run(prepare, cwd=gateway.dir, check=True, timeout=30)
        with open(os.path.join(root, SHARE[1:], "config.ini.example")) as example:
            self.assertEqual(example.read(), open(os.path.join(gateway.dir, "config.ini")).read())
        gateway.write_config(gateway.default_config("// the operator's own\n"))
        subprocess.run(prepare, cwd=gateway.dir, check=True, timeout=30)  # a second start keeps config.ini
        self.assertEqual(open(os.path.join(gateway.dir, "config.ini")).read(),
                         gateway.default_config("// the operator's own\n"))
        gateway.start()
        with open(os.path.join(SOURCE_DIR, "web", "index.html"), "rb") as page:
            self.assertEqual(request(gateway, "GET", "/").body, page.read())
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
