"""The HTTP server under load: wrk reads "/api/state" for 20 seconds (less under the
sanitizers) while two clients post new configurations. No request may fail, every post
is applied, and config.ini, sampled all the while, always holds exactly one whole posted
text. The throughput and latency are printed."""

import os
import re
import shutil
import subprocess
import threading
import time
import unittest

from harness import SANITIZER, Gateway, config_on_disk, post_form, request

SECONDS = 8 if SANITIZER else 20
CONNECTIONS = 16
POSTS_PER_CLIENT = 500


def wrk_figures(output):
    """The counts and latencies of a wrk report; missing error lines count as zero."""
    def number(pattern, default=None):
        found = re.search(pattern, output)
        return found.group(1) if found else default
    socket_errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output)
    return {
        "requests": int(number(r"(\d+) requests in", "0")),
        "per_second": float(number(r"Requests/sec:\s+([\d.]+)", "0")),
        "average": number(r"Latency\s+(\S+)"),
        "max": number(r"Latency\s+\S+\s+\S+\s+(\S+)"),
        "p50": number(r"50%\s+(\S+)"),
        "p99": number(r"99%\s+(\S+)"),
        "non_2xx": int(number(r"Non-2xx or 3xx responses: (\d+)", "0")),
        "socket_errors": sum(map(int, socket_errors.groups())) if socket_errors else 0,
    }


@unittest.skipIf(shutil.which("wrk") is None, "wrk is not installed (scripts/install_deps.sh --test)")
class HttpLoadTest(unittest.TestCase):
    def test_state_under_load_with_concurrent_config_posts(self):
        gateway = Gateway()
        self.addCleanup(gateway.close)
        gateway.start()
        offered = {config_on_disk(gateway)}
        offered_lock = threading.Lock()
        failures = []
        posted = []
        samples = {"count": 0, "distinct": set()}

        wrk = subprocess.Popen(
            ["wrk", "-t2", f"-c{CONNECTIONS}", f"-d{SECONDS}s", "--latency", "--timeout", "10s",
             f"http://127.0.0.1:{gateway.web_port}/api/state"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(lambda: wrk.poll() is None and wrk.kill())
        deadline = time.monotonic() + SECONDS + 60

        def loading():
            return wrk.poll() is None and time.monotonic() < deadline

        def poster(client):
            for index in range(POSTS_PER_CLIENT):
                if not loading():
                    return
                # Texts of different lengths, so that a torn or mixed file would show.
                text = gateway.default_config(f"// client {client} post {index}\n// {'x' * (index % 7 * 700)}\n"
                                              f"ignore = c{client}p{index}\n")
                with offered_lock:
                    offered.add(text.encode())
                answer = post_form(gateway, [("config", text)])
                if answer.status != 200:
                    failures.append(f"post {client}/{index}: {answer.status} {answer.body[:100]!r}")
                posted.append(text)
                time.sleep(0.02)

        def sampler():
            while loading() and samples["count"] < 200000:
                content = config_on_disk(gateway)
                with offered_lock:
                    whole = content in offered
                if not whole:
                    failures.append(f"config.ini held a text never posted: {content[:200]!r}")
                    return
                samples["count"] += 1
                samples["distinct"].add(content)
                time.sleep(0.001)

        threads = [threading.Thread(target=poster, args=(client,)) for client in (1, 2)]
        threads.append(threading.Thread(target=sampler))
        for thread in threads:
            thread.start()
        output, _ = wrk.communicate(timeout=SECONDS + 60)
        for thread in threads:
            thread.join(timeout=60)
        self.assertEqual(wrk.returncode, 0, output)

        figures = wrk_figures(output)
        print(f"\nwrk GET /api/state for {SECONDS} s over {CONNECTIONS} connections"
              f"{' (' + SANITIZER + ' sanitizer)' if SANITIZER else ''}: {figures['requests']} requests, "
              f"{figures['per_second']:.0f} requests/s, latency average {figures['average']}, "
              f"median {figures['p50']}, 99% {figures['p99']}, max {figures['max']}; "
              f"{len(posted)} config posts, {samples['count']} samples of config.ini "
              f"({len(samples['distinct'])} different texts seen)")
        self.assertEqual(failures, [])
        self.assertGreater(figures["requests"], 0, output)
        self.assertEqual((figures["non_2xx"], figures["socket_errors"]), (0, 0), output)
        self.assertGreater(len(posted), 10)
        self.assertGreater(len(samples["distinct"]), 1, "the samples never saw a posted text")
        final = config_on_disk(gateway)
        self.assertIn(final.decode(), posted)
        self.assertEqual(request(gateway, "GET", "/api/config").body, final)
        self.assertEqual(gateway.log().count("-- CONFIG SAVED--"), len(posted))
        self.assertNotIn("config.ini.tmp", os.listdir(gateway.dir))
        gateway.assert_clean_exit(self)


if __name__ == "__main__":
    unittest.main()
