"""The binary on its own: the start-up lines and the log format; a port in use ends the
process after the orderly stop with exit status 1. The Debian package made by `cpack -G
DEB`: its files and dependencies, a unit that systemd accepts, and a gateway that runs
from the files and the directory the unit prepares."""

import glob
import os
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, LOG_LINE, SANITIZER, SANITIZER_REPORTS, SOURCE_DIR, Gateway, request

SHARE, UNIT = "/usr/share/sluice", "lib/systemd/system/sluice.service"


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


@unittest.skipIf(SANITIZER, "the package is made from the plain build")
class DebianPackageTest(unittest.TestCase):
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
        for path in listing:
            self.assertTrue(path.startswith(("/usr/bin/", "/usr/share/", "/lib/systemd/")) or path.endswith("/"), path)
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
        self.assertTrue(os.path.isdir(os.path.join(gateway.dir, "web")))
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
