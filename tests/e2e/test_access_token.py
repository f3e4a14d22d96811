"""The web_token key over real HTTP: without it every route is open as before; with it
every request under "/api" needs "Authorization: Bearer <token>" or gets 401, while
"/hi" and the page's files stay open. A posted token counts from the next request, and
no token ever reaches the log or the error stream."""

import secrets
import unittest

from harness import STATE_LAYOUT, Gateway, config_on_disk, post_form, request


def bearer(token):
    return {"Authorization": "Bearer " + token}


class AccessTokenTest(unittest.TestCase):
    def start_gateway(self, extra_config=""):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.write_config(gateway.default_config(extra_config))
        return gateway.start()

    def assert_refused(self, answer, what):
        self.assertEqual(answer.status, 401, what)
        self.assertEqual(answer.headers.get("WWW-Authenticate"), "Bearer", what)
        self.assertTrue(answer.content_type.startswith("text/plain"), what)
        self.assertGreater(len(answer.body.strip()), 0, "a 401 names its reason")

    def assert_no_secret_logged(self, gateway, *tokens):
        for token in tokens:
            self.assertNotIn(token, gateway.log())
            self.assertNotIn(token, gateway.errors())

    def test_without_a_token_the_api_stays_open(self):
        gateway = self.start_gateway()
        for headers in ({}, bearer("anything"), {"Authorization": "Basic eDp5"}):
            with self.subTest(headers=headers):
                answer = request(gateway, "GET", "/api/state", headers=headers)
                self.assertEqual(answer.status, 200)
                self.assertRegex(answer.body.decode("latin-1"), STATE_LAYOUT)
                self.assertEqual(request(gateway, "GET", "/api/config", headers=headers).status, 200)
        text = gateway.default_config("ignore = x\n")
        self.assertEqual(post_form(gateway, [("config", text)]).status, 200)
        self.assertEqual(config_on_disk(gateway), text.encode())
        gateway.assert_clean_exit(self)

    def test_api_requests_need_the_token_and_the_rest_stays_open(self):
        token = "tok-" + secrets.token_hex(16)
        gateway = self.start_gateway(f"web_token = {token}\n")
        before = config_on_disk(gateway)
        refused = [
            ("GET", "/api/state", {}),
            ("GET", "/api/state", bearer("wrong")),
            ("GET", "/api/state", bearer(token[:-1])),
            ("GET", "/api/state", bearer(token + "x")),
            ("GET", "/api/state", bearer(token.upper())),
            ("GET", "/api/state", {"Authorization": token}),
            ("GET", "/api/state", {"Authorization": "Basic " + token}),
            ("GET", "/api/state", {"Authorization": "Bearer"}),
            ("HEAD", "/api/state", {}),
            ("GET", "/%61pi/state", {}),
            ("GET", "/api/config", {}),
            ("POST", "/api/config", {}),
            ("POST", "/api/config", bearer("wrong")),
            ("GET", "/api/not-yet-a-route", {}),
            ("GET", "/api", {}),
        ]
        for method, path, headers in refused:
            with self.subTest(method=method, path=path, headers=headers):
                if method == "POST":
                    answer = post_form(gateway, [("config", gateway.default_config())], path, headers)
                else:
                    answer = request(gateway, method, path, headers=headers)
                self.assertEqual(answer.status, 401)
                if method != "HEAD":
                    self.assert_refused(answer, (method, path))
                    self.assertNotIn(token.encode(), answer.body)
        self.assertEqual(config_on_disk(gateway), before)

        served = [
            ("/api/state", bearer(token), 200),
            ("/api/state", {"Authorization": "bearer  " + token}, 200),
            ("/api/config", bearer(token), 200),
            ("/api/not-yet-a-route", bearer(token), 404),
            ("/hi", {}, 200),
            ("/hi", bearer("wrong"), 200),
            ("/", {}, 200),
            ("/app.js", {}, 200),
        ]
        for path, headers, status in served:
            with self.subTest(path=path, headers=headers):
                self.assertEqual(request(gateway, "GET", path, headers=headers).status, status)
        self.assertRegex(request(gateway, "GET", "/api/state", headers=bearer(token)).body.decode("latin-1"),
                         STATE_LAYOUT)
        self.assertEqual(request(gateway, "GET", "/api/config", headers=bearer(token)).body, before)
        gateway.assert_clean_exit(self)
        self.assert_no_secret_logged(gateway, token)

    def test_a_posted_token_counts_from_the_next_request(self):
        first = "first-" + secrets.token_hex(12)
        second = "second-" + secrets.token_hex(12)
        gateway = self.start_gateway()

        steps = [
            # (token presented by the POST, web_token in the posted text, POST status)
            (None, first, 200),
            (None, second, 401),
            ("wrong", second, 401),
            (first, second, 200),
            (first, first, 401),
            (second, None, 200),
        ]
        current = None
        for presented, posted, status in steps:
            with self.subTest(presented=presented, posted=posted):
                text = gateway.default_config(f"web_token = {posted}\n" if posted else "")
                headers = bearer(presented) if presented else {}
                answer = post_form(gateway, [("config", text)], headers=headers)
                self.assertEqual(answer.status, status)
                if status == 200:
                    current = posted
                    self.assertEqual(config_on_disk(gateway), text.encode())
                for token in (None, first, second):
                    expected = 200 if current is None or token == current else 401
                    headers = bearer(token) if token else {}
                    self.assertEqual(request(gateway, "GET", "/api/state", headers=headers).status, expected,
                                     f"token {token} while {current} is set")
        self.assertEqual(gateway.log().count("[map] web_token=***"), 2)
        gateway.assert_clean_exit(self)
        self.assert_no_secret_logged(gateway, first, second)

    def test_token_in_the_file_at_start_is_masked_in_the_log(self):
        token = "start-" + secrets.token_hex(12)
        gateway = self.start_gateway(f"WEB_TOKEN = {token}\ntb_endpoint = srt://127.0.0.1:9?passphrase={token}\n")
        gateway.wait_for_log("[map] web_token=***")
        gateway.wait_for_log("[map] tb_endpoint=srt://127.0.0.1:9?passphrase=***")
        self.assertEqual(request(gateway, "GET", "/api/state", headers=bearer(token)).status, 200)
        gateway.assert_clean_exit(self)
        self.assert_no_secret_logged(gateway, token)


if __name__ == "__main__":
    unittest.main()
