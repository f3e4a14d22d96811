"""Live stream figures over real HTTP: a real SRT caller forwarded to a real RIST
receiver shows up in "/api/streams" with both legs' figures and in "/metrics", which a
strict parser of the Prometheus text format reads; the stream leaves both once the
caller hangs up. Both routes need the web_token when one is set, and reading them
while callers come and go leaves the sanitizers silent."""

import json
import math
import re
import threading
import time
import unittest

from harness import SLOW, MediaTestCase, free_port, request, srt_caller, ts_payload, wait_until

RATE = 500_000 if SLOW else 2_000_000
SETTLE = 60 if SLOW else 20

METRIC_NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"')
SAMPLE = re.compile(r"^(%s)(?:\{(.*)\})? (\S+)$" % METRIC_NAME)
HELP = re.compile(r"^# HELP (%s) \S.*$" % METRIC_NAME)
TYPE = re.compile(r"^# TYPE (%s) (counter|gauge)$" % METRIC_NAME)


def parse_labels(text):
    """name="value" pairs separated by commas, nothing else; values unescaped."""
    labels, position = {}, 0
    while position < len(text):
        match = LABEL.match(text, position)
        if not match:
            raise ValueError(f"bad label at {text[position:]!r}")
        value = re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), match.group(2))
        if match.group(1) in labels:
            raise ValueError(f"label {match.group(1)} twice")
        labels[match.group(1)] = value
        position = match.end()
        if position < len(text):
            if text[position] != "," or position + 1 == len(text):
                raise ValueError(f"expected a comma and a label at {text[position:]!r}")
            position += 1
    return labels


def parse_prometheus(text):
    """Strict reading of the text format: every line is a HELP, a TYPE or a sample; every
    sample's name was declared by a TYPE before it; counters end in _total and never go
    below zero. Gives {(name, sorted label items): value} and {name: type}."""
    if not text.endswith("\n"):
        raise ValueError("the text does not end with a line feed")
    types, samples = {}, {}
    for line in text[:-1].split("\n"):
        if line.startswith("# HELP "):
            if not HELP.match(line):
                raise ValueError(f"bad HELP line {line!r}")
        elif line.startswith("# TYPE "):
            match = TYPE.match(line)
            if not match or match.group(1) in types:
                raise ValueError(f"bad or repeated TYPE line {line!r}")
            types[match.group(1)] = match.group(2)
        else:
            match = SAMPLE.match(line)
            if not match:
                raise ValueError(f"bad sample line {line!r}")
            name = match.group(1)
            if name not in types:
                raise ValueError(f"{name} has no TYPE before its sample")
            value = float(match.group(3))
            if types[name] == "counter" and (not name.endswith("_total") or value < 0 or math.isnan(value)):
                raise ValueError(f"bad counter {line!r}")
            key = (name, tuple(sorted(parse_labels(match.group(2) or "").items())))
            if key in samples:
                raise ValueError(f"sample {key} twice")
            samples[key] = value
    return samples, types


def bearer(token):
    return {"Authorization": "Bearer " + token} if token else {}


def streams(gateway, token=None):
    answer = request(gateway, "GET", "/api/streams", headers=bearer(token))
    assert answer.status == 200, answer.status
    assert answer.content_type.startswith("application/json"), answer.content_type
    return json.loads(answer.body)["streams"]


def metrics(gateway, token=None):
    answer = request(gateway, "GET", "/metrics", headers=bearer(token))
    assert answer.status == 200, answer.status
    assert answer.content_type.startswith("text/plain"), answer.content_type
    return parse_prometheus(answer.body.decode("utf-8"))


def stream_sample(samples, name, stream):
    """The value of name for the stream (found by stream id and caller)."""
    for (sample_name, labels), value in samples.items():
        labels = dict(labels)
        if sample_name == name and labels.get("stream_id") == stream["stream_id"] \
                and labels.get("caller") == stream["caller"] and "peer" not in labels:
            return value
    raise AssertionError(f"no {name} for {stream['stream_id']}")


class PrometheusParserTest(unittest.TestCase):
    """The parser itself must refuse what Prometheus refuses, or the checks below prove nothing."""

    def test_malformed_texts_are_refused(self):
        declared = "# TYPE a gauge\n"
        bad = [
            "a 1\n",                                   # no TYPE
            declared + "a{x=\"1\"} 1",                 # no final line feed
            declared + "a{x=1} 1\n",                   # unquoted label value
            declared + "a{x=\"1\",} 1\n",              # trailing comma
            declared + "a{x=\"a\"b\"} 1\n",            # unescaped quote
            declared + "a 1 2 3\n",                    # extra fields
            declared + "a one\n",                      # not a number
            declared + "a 1\na 2\n",                   # the same series twice
            "# TYPE b_total counter\nb_total -1\n",    # negative counter
            "# TYPE b counter\nb 1\n",                 # counter without _total
            declared + declared,                       # repeated TYPE
        ]
        for text in bad:
            with self.subTest(text=text):
                with self.assertRaises(ValueError):
                    parse_prometheus(text)
        samples, _ = parse_prometheus(declared + 'a{x="q\\"\\\\\\n"} +Inf\n')
        self.assertEqual(samples, {("a", (("x", 'q"\\\n'),)): math.inf})


class StreamsTest(MediaTestCase):
    def test_a_forwarded_stream_shows_both_legs_and_leaves_after_the_hang_up(self):
        rist_port, sink = self.receiver()
        gateway = self.start_gateway([rist_port])
        self.assertEqual(streams(gateway), [])
        caller = self.caller(gateway, "cam-stats")
        caller.send(ts_payload(0x110, 7 * 300), RATE)
        self.assertTrue(wait_until(lambda: streams(gateway) and streams(gateway)[0]["srt"]["bytes_received"] > 0,
                                   SETTLE, 0.2))
        first = streams(gateway)[0]
        self.assertEqual((first["stream_id"], first["mode"]), ("cam-stats", "forward"))
        self.assertRegex(first["caller"], r"^127\.0\.0\.1:\d+$")

        # While media flows: the counters grow, and the receive rate is measured.
        caller.send(ts_payload(0x111, 7 * 600), RATE)
        during = streams(gateway)[0]
        self.assertGreater(during["srt"]["bytes_received"], first["srt"]["bytes_received"])
        self.assertGreater(during["srt"]["packets_received"], first["srt"]["packets_received"])
        self.assertGreater(during["srt"]["receive_rate_mbps"], 0)
        self.assertGreater(during["srt"]["latency_ms"], 0)
        self.assertGreater(during["units_written"], 0)
        self.assertEqual(during["send_errors"], 0)
        self.assertGreaterEqual(during["seconds"], 0)

        # One peer per sending interface, each named by its URL; librist reports every peer
        # once a second.
        base_url = f"rist://127.0.0.1:{rist_port}?cname=cam-stats"
        urls = [peer["url"] for peer in during["rist"]]
        self.assertIn(base_url, urls, "the peer of the aggregate entry, without miface")
        for url in urls:
            self.assertTrue(url == base_url or url.startswith(base_url + "&miface="), url)

        def reported_peer():
            for peer in streams(gateway)[0]["rist"]:
                if peer["url"] == base_url and peer["bandwidth_bps"] > 0 and peer["quality"] > 0:
                    return peer
            return None

        self.assertTrue(wait_until(reported_peer, SETTLE, 0.3), streams(gateway))
        peer = reported_peer()

        # Once the payload has passed, the figures stand still: JSON and metrics agree.
        caller.push_through()
        self.assertTrue(sink.wait_for_packets(0x111, 7 * 600, SETTLE))
        settled = wait_until(lambda: streams(gateway)[0]["units_written"] * 1316 >= len(sink.data()), SETTLE, 0.2)
        self.assertTrue(settled)
        time.sleep(0.5)
        stream = streams(gateway)[0]
        samples, _ = metrics(gateway)
        counters = [("sluice_srt_received_bytes_total", stream["srt"]["bytes_received"]),
                    ("sluice_srt_received_packets_total", stream["srt"]["packets_received"]),
                    ("sluice_srt_lost_packets_total", stream["srt"]["packets_lost"]),
                    ("sluice_srt_dropped_packets_total", stream["srt"]["packets_dropped"]),
                    ("sluice_stream_units_written_total", stream["units_written"]),
                    ("sluice_stream_send_errors_total", stream["send_errors"])]
        for name, value in counters:
            self.assertEqual(stream_sample(samples, name, stream), value, name)
        self.assertEqual(samples[("sluice_workers_running", ())], 1)
        self.assertEqual(samples[("sluice_connections_accepted_total", ())], 1)
        peer_labels = (("caller", stream["caller"]), ("mode", "forward"), ("peer", peer["url"]),
                       ("stream_id", "cam-stats"))
        self.assertGreater(samples[("sluice_rist_peer_quality_percent", peer_labels)], 0)
        self.assertIn(("sluice_rist_peer_retransmitted_packets_total", peer_labels), samples)

        caller.hang_up()
        self.assertTrue(wait_until(lambda: streams(gateway) == [], 10 if SLOW else 5, 0.2), streams(gateway))
        samples, _ = metrics(gateway)
        self.assertEqual(samples[("sluice_workers_running", ())], 0)
        self.assertEqual(samples[("sluice_connections_accepted_total", ())], 1)
        self.assertFalse([key for key in samples if key[0] == "sluice_srt_received_bytes_total"])
        gateway.assert_clean_exit(self)

    def test_both_routes_need_the_token_when_one_is_set(self):
        gateway = self.start_gateway([free_port()], "web_token = s3cret-token\n")
        for path in ("/api/streams", "/metrics"):
            for headers in ({}, bearer("wrong")):
                with self.subTest(path=path, headers=headers):
                    self.assertEqual(request(gateway, "GET", path, headers=headers).status, 401)
        self.assertEqual(streams(gateway, "s3cret-token"), [])
        samples, types = metrics(gateway, "s3cret-token")
        self.assertEqual(types["sluice_connections_accepted_total"], "counter")
        self.assertEqual(samples[("sluice_workers_running", ())], 0)
        gateway.assert_clean_exit(self)

    def test_reading_the_routes_while_callers_come_and_go(self):
        rist_port, _ = self.receiver()
        gateway = self.start_gateway([rist_port])
        done = threading.Event()
        failures, reads = [], [0]

        def reader():
            deadline = time.monotonic() + 240
            while not done.is_set() and time.monotonic() < deadline:
                try:
                    for stream in streams(gateway):
                        assert stream["mode"] == "forward" and stream["stream_id"].startswith("churn")
                    metrics(gateway)
                    reads[0] += 1
                except Exception as error:  # reported after the join
                    failures.append(repr(error))
                    return

        readers = [threading.Thread(target=reader) for _ in range(3)]
        for thread in readers:
            thread.start()
        try:
            cycles = 8 if SLOW else 20
            for cycle in range(cycles):
                caller = srt_caller(gateway.srt_port, f"churn{cycle}")
                caller.send(ts_payload(0x112, 7 * 20))
                gateway.wait_for_log(f"streamid:churn{cycle}  ")
                if cycle % 2:
                    time.sleep(0.3)
                caller.stop()
        finally:
            done.set()
            for thread in readers:
                thread.join(30)
        self.assertEqual(failures, [])
        self.assertGreater(reads[0], 0)
        self.assertTrue(wait_until(lambda: streams(gateway) == [], 15, 0.2), streams(gateway))
        samples, _ = metrics(gateway)
        self.assertEqual(samples[("sluice_connections_accepted_total", ())], cycles)
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
