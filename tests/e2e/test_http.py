"""The HTTP control interface of the real binary over real HTTP: "/hi", the state
document's byte layout, reading and replacing config.ini, static files, unmatched
routes, concurrent use, and the orderly stop on SIGTERM or SIGINT."""

import concurrent.futures
import http.client
import json
import os
import re
import signal
import unittest
import urllib.parse

from harness import STATE_LAYOUT, Gateway, config_on_disk, post_form, request

RATE = re.compile(r"^\d+\.\d\d (?:G|M|K)?bps$")


class HttpTestCase(unittest.TestCase):
    def start_gateway(self, extra_config=""):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(gateway.default_config(extra_config))
        return gateway.start()

    def assert_config_is(self, gateway, text):
        self.assertEqual(config_on_disk(gateway), text)
        answer = request(gateway, "GET", "/api/config")
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.body, text)


class ReadOnlyRoutesTest(HttpTestCase):
    def test_hi_answers_the_greeting_exactly(self):
        gateway = self.start_gateway()
        answer = request(gateway, "GET", "/hi")
        self.assertEqual((answer.status, answer.body), (200, b"Hello from server"))
        self.assertTrue(answer.content_type.startswith("text/plain"), answer.content_type)

    def test_state_document_has_the_exact_layout_with_all_last(self):
        gateway = self.start_gateway()
        answer = request(gateway, "GET", "/api/state")
        self.assertEqual(answer.status, 200)
        self.assertTrue(answer.content_type.startswith("application/json"), answer.content_type)
        self.assertRegex(answer.body.decode("latin-1"), STATE_LAYOUT)
        ifaces = json.loads(answer.body.decode("utf-8", "replace"))["ifaces"]
        for iface in ifaces:
            self.assertEqual(list(iface), ["title", "ip", "output", "input"])
            self.assertRegex(iface["output"], RATE)
            self.assertRegex(iface["input"], RATE)
        self.assertEqual(ifaces[-1]["title"], "All")
        self.assertEqual(ifaces[-1]["ip"], "")
        self.assertNotIn("All", [iface["title"] for iface in ifaces[:-1]])

    def test_config_get_is_the_file_byte_for_byte(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        text = gateway.default_config().encode() + (
            b"// caf\xc3\xa9 and a raw \xff byte\r\nrist_endpoint = 127.0.0.1:5000 , a=b\r\n\r\n[map]\n")
        with open(os.path.join(gateway.dir, "config.ini"), "wb") as file:
            file.write(text)
        gateway.start()
        answer = request(gateway, "GET", "/api/config")
        self.assertEqual(answer.status, 200)
        self.assertTrue(answer.content_type.startswith("text/plain"), answer.content_type)
        self.assertEqual(answer.body, text)

    def test_files_of_the_web_folder_are_served(self):
        gateway = self.start_gateway()
        probe = b"probe \x00\xff bytes\n" * 100
        with open(os.path.join(gateway.dir, "web", "probe.bin"), "wb") as file:
            file.write(probe)
        with open(os.path.join(gateway.dir, "web", "index.html"), "rb") as file:
            index = file.read()
        self.assertEqual(request(gateway, "GET", "/probe.bin").body, probe)
        for path in ("/", "/index.html"):
            answer = request(gateway, "GET", path)
            self.assertEqual((answer.status, answer.body), (200, index), path)
            self.assertTrue(answer.content_type.startswith("text/html"), answer.content_type)

    def test_unmatched_requests_get_404(self):
        gateway = self.start_gateway()
        cases = [
            ("GET", "/nothing-here", None),
            ("GET", "/api/nothing", None),
            ("GET", "/../config.ini", None),
            ("GET", "/%2e%2e/config.ini", None),
            ("POST", "/nothing-here", b"config=a%3Db"),
            ("POST", "/api/state", b""),
            ("POST", "/hi", b""),
            ("PUT", "/api/config", b"config=a%3Db"),
        ]
        for method, path, data in cases:
            with self.subTest(method=method, path=path):
                headers = {"Content-Type": "application/x-www-form-urlencoded"} if data is not None else {}
                answer = request(gateway, method, path, data, headers)
                self.assertEqual(answer.status, 404)
                self.assertNotIn(b"web_port", answer.body)
        self.assertEqual(config_on_disk(gateway), gateway.default_config().encode())


class ConfigPostTest(HttpTestCase):
    def test_posted_text_is_saved_verbatim_and_read_back(self):
        gateway = self.start_gateway()
        text = (f"// operator's text, CR-LF line ends\r\nsrt_port = {gateway.srt_port}\r\n"
                f"web_port = {gateway.web_port}\r\n\r\n[map]\r\n"
                "tb_endpoint = srt://127.0.0.1:9100?streamid=a=b&latency=120 // not a comment\r\n"
                "rist_endpoint = 127.0.0.1:5000,127.0.0.1:5002\r\n")
        answer = post_form(gateway, [("config", text)])
        self.assertEqual((answer.status, answer.body), (200, b""))
        self.assert_config_is(gateway, text.encode())
        gateway.wait_for_log("-- CONFIG SAVED--")
        self.assertIn("[map] tb_endpoint=srt://127.0.0.1:9100?streamid=a=b&latency=120 // not a comment",
                      gateway.log())

    def test_config_in_the_query_string_is_applied(self):
        gateway = self.start_gateway()
        text = gateway.default_config("ignore = lo\n")
        query = urllib.parse.urlencode({"config": text})
        answer = request(gateway, "POST", "/api/config?" + query, b"", {"Content-Type": "text/plain"})
        self.assertEqual(answer.status, 200)
        self.assert_config_is(gateway, text.encode())

    def test_first_of_two_config_values_wins(self):
        gateway = self.start_gateway()
        first = gateway.default_config("ignore = first\n")
        second = gateway.default_config("ignore = second\n")
        answer = post_form(gateway, [("config", first), ("config", second)])
        self.assertEqual(answer.status, 200)
        self.assert_config_is(gateway, first.encode())

    def test_rejected_or_missing_config_answers_400_and_changes_nothing(self):
        gateway = self.start_gateway()
        before = config_on_disk(gateway)
        multipart = (b"--XyZ\r\nContent-Disposition: form-data; name=\"config\"\r\n\r\n"
                     b"srt_port=1\r\n--XyZ--\r\n")
        cases = [
            ("comments only", urllib.parse.urlencode({"config": "// a\r\n[map]\r\n=x\r\nkey=\r\n"}).encode(),
             "application/x-www-form-urlencoded", True),
            ("empty text", b"config=", "application/x-www-form-urlencoded", True),
            ("no config field", b"other=srt_port%3D1", "application/x-www-form-urlencoded", False),
            ("raw body", b"srt_port=1\n", "text/plain", False),
            ("multipart field", multipart, "multipart/form-data; boundary=XyZ", False),
        ]
        for name, body, content_type, is_rejection in cases:
            with self.subTest(name):
                rejections = gateway.log().count("fail apply config")
                answer = request(gateway, "POST", "/api/config", body, {"Content-Type": content_type})
                self.assertEqual(answer.status, 400)
                self.assertTrue(answer.content_type.startswith("text/plain"), answer.content_type)
                self.assertGreater(len(answer.body.strip()), 0, "a 400 names its reason")
                self.assert_config_is(gateway, before)
                expected = rejections + (1 if is_rejection else 0)
                if is_rejection:
                    gateway.wait_for_log("fail apply config", count=expected)
                self.assertEqual(gateway.log().count("fail apply config"), expected)
        self.assertNotIn("-- CONFIG SAVED--", gateway.log())

    def test_failed_save_answers_500_and_changes_nothing(self):
        # Root ignores directory permissions, so each case puts a directory where the
        # save has to write a file.
        cases = ["temporary file is a directory", "config.ini is a directory"]
        for case in cases:
            with self.subTest(case):
                gateway = self.start_gateway()
                path = os.path.join(gateway.dir, "config.ini")
                if case == "config.ini is a directory":
                    os.remove(path)
                    os.mkdir(path)
                    blocker = os.path.join(path, "inside")
                    with open(blocker, "w") as file:
                        file.write("kept")
                else:
                    os.mkdir(path + ".tmp")
                    before = config_on_disk(gateway)
                answer = post_form(gateway, [("config", gateway.default_config("ignore = x\n"))])
                self.assertEqual(answer.status, 500)
                self.assertGreater(len(answer.body.strip()), 0, "a 500 names its reason")
                gateway.wait_for_log("fail apply config")
                self.assertNotIn("-- CONFIG SAVED--", gateway.log())
                if case == "config.ini is a directory":
                    self.assertEqual(os.listdir(path), ["inside"])
                else:
                    self.assert_config_is(gateway, before)
                    self.assertEqual(os.listdir(path + ".tmp"), [])
                gateway.assert_clean_exit(self)

    def test_save_writes_through_a_symlink_and_keeps_mode_and_owner(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        link = os.path.join(gateway.dir, "config.ini")
        os.mkdir(os.path.join(gateway.dir, "kept"))
        target = os.path.join(gateway.dir, "kept", "gateway.ini")
        os.rename(link, target)
        os.symlink("kept/gateway.ini", link)
        os.chmod(target, 0o600)
        owner = (4242, 4343) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(target, *owner)
        # The temporary file goes beside the target: one beside the link could not be made.
        os.mkdir(link + ".tmp")
        gateway.start()
        text = gateway.default_config("ignore = saved\n")
        self.assertEqual(post_form(gateway, [("config", text)]).status, 200)
        self.assertEqual(os.readlink(link), "kept/gateway.ini")
        self.assert_config_is(gateway, text.encode())
        saved = os.stat(target)
        self.assertEqual((oct(saved.st_mode & 0o7777), saved.st_uid, saved.st_gid), (oct(0o600), *owner))
        self.assertEqual(os.listdir(os.path.dirname(target)), ["gateway.ini"])
        gateway.assert_clean_exit(self)

    def test_concurrent_state_reads_and_config_writes_all_succeed(self):
        gateway = self.start_gateway()
        texts = [gateway.default_config(f"ignore = writer{index}\n// {'x' * index}\n") for index in range(25)]

        def work(index):
            if index % 2:
                return ("state", request(gateway, "GET", "/api/state"))
            return ("config", post_form(gateway, [("config", texts[index // 2])]))

        with concurrent.futures.ThreadPoolExecutor(max_workers=10) as pool:
            results = list(pool.map(work, range(50)))
        for kind, answer in results:
            self.assertEqual(answer.status, 200, kind)
            if kind == "state":
                self.assertRegex(answer.body.decode("latin-1"), STATE_LAYOUT)
        final = config_on_disk(gateway)
        self.assertIn(final.decode(), texts)
        self.assert_config_is(gateway, final)
        self.assertEqual(gateway.log().count("-- CONFIG SAVED--"), 25)
        self.assertEqual(os.listdir(gateway.dir).count("config.ini.tmp"), 0)
        gateway.assert_clean_exit(self)


class OrderlyStopTest(HttpTestCase):
    def test_stop_signal_ends_the_process_with_status_zero(self):
        for stop_signal in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=stop_signal.name):
                gateway = self.start_gateway()
                idle = http.client.HTTPConnection("127.0.0.1", gateway.web_port, timeout=10)
                self.addCleanup(idle.close)
                idle.request("GET", "/api/state")
                self.assertEqual(idle.getresponse().read()[:10], b'{"ifaces":')
                gateway.process.send_signal(stop_signal)
                self.assertEqual(gateway.process.wait(timeout=5), 0, gateway.log()[-3000:])
                gateway.wait_for_log(f"STOP SIGNAL {int(stop_signal)}")
                gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
