"""The Debian package made by `cpack -G DEB`: its file list and dependencies, a unit that
systemd accepts, and a gateway that runs from the files and the working directory that
the unit prepares."""

import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, SANITIZER, SLUICE_BIN, SOURCE_DIR, Gateway, request

SHARE = "/usr/share/sluice"
UNIT = "/lib/systemd/system/sluice.service"


def unit_settings(path):
    """Key → list of values of a systemd unit file (keys may repeat)."""
    settings = {}
    with open(path) as file:
        for key, value in re.findall(r"^\s*([A-Za-z]+)\s*=\s*(.*?)\s*$", file.read(), re.M):
            settings.setdefault(key, []).append(value)
    return settings


@unittest.skipIf(SANITIZER, "the package is made from the plain build")
class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not SLUICE_BIN:
            raise unittest.SkipTest("SLUICE_BIN is not set")
        cls.work = tempfile.mkdtemp(prefix="sluice-package-")
        subprocess.run(["cpack", "-G", "DEB", "-B", cls.work], cwd=BUILD_DIR, check=True,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        debs = [name for name in os.listdir(cls.work) if name.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.work, debs[0])
        cls.root = os.path.join(cls.work, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def dpkg_deb(self, option, *fields):
        return subprocess.run(["dpkg-deb", option, self.deb, *fields], check=True, capture_output=True,
                              text=True).stdout

    def test_files_and_dependencies(self):
        listing = {}
        for line in self.dpkg_deb("-c").splitlines():
            mode, _, _, _, _, path = line.split(None, 5)
            listing[path.removeprefix(".")] = mode
        web_files = [f"{SHARE}/web/{name}" for name in os.listdir(os.path.join(SOURCE_DIR, "web"))]
        for path in ["/usr/bin/sluice", UNIT, f"{SHARE}/config.ini.example", *web_files]:
            self.assertIn(path, listing)
        self.assertIn("x", listing["/usr/bin/sluice"][1:4], "the binary is executable")
        for path in listing:
            self.assertTrue(path.startswith(("/usr/bin/", "/usr/share/", "/lib/systemd/")) or path.endswith("/"),
                            path)
        depends = [entry.split()[0] for entry in self.dpkg_deb("-f", "Depends").split(",")]
        for package in ("libsrt1.5-openssl", "libcjson1", "libmbedcrypto7", "libcpp-httplib0.11"):
            self.assertIn(package, depends)
        self.assertIn("postinst", self.dpkg_deb("-I"))

    def test_systemd_accepts_the_unit(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        result = subprocess.run(["systemd-analyze", "verify", os.path.join(self.root, UNIT.lstrip("/"))],
                                capture_output=True, text=True, timeout=60)
        complaints = [line for line in (result.stdout + result.stderr).splitlines()
                      if "/usr/bin/sluice is not executable" not in line]
        self.assertEqual(complaints, [])

    def test_the_unit_prepares_a_working_directory_the_gateway_runs_from(self):
        settings = unit_settings(os.path.join(self.root, UNIT.lstrip("/")))
        self.assertEqual(settings["ExecStart"], ["/usr/bin/sluice"])
        self.assertEqual(settings["WorkingDirectory"], ["/var/lib/" + settings["StateDirectory"][0]])
        self.assertEqual(settings["KillSignal"], ["SIGTERM"])
        self.assertEqual(settings["Restart"], ["on-failure"])
        prepare = [arg.replace(SHARE, self.root + SHARE) for arg in shlex.split(settings["ExecStartPre"][0])]

        gateway = Gateway(config_text="", with_web=False)
        self.addCleanup(gateway.close)
        gateway.binary = os.path.join(self.root, "usr/bin/sluice")
        subprocess.run(prepare, cwd=gateway.dir, check=True, timeout=30)
        with open(os.path.join(self.root, SHARE.lstrip("/"), "config.ini.example")) as example:
            self.assertEqual(open(os.path.join(gateway.dir, "config.ini")).read(), example.read())
        self.assertTrue(stat.S_ISDIR(os.stat(os.path.join(gateway.dir, "web")).st_mode))

        gateway.write_config(gateway.default_config("// the operator's own\n"))
        subprocess.run(prepare, cwd=gateway.dir, check=True, timeout=30)
        self.assertEqual(open(os.path.join(gateway.dir, "config.ini")).read(),
                         gateway.default_config("// the operator's own\n"), "a second start keeps config.ini")

        gateway.start()
        with open(os.path.join(SOURCE_DIR, "web", "index.html"), "rb") as page:
            self.assertEqual(request(gateway, "GET", "/").body, page.read())
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
