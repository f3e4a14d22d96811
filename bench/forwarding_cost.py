"""CPU cost of forwarding: one real SRT caller sends a TS-like stream at a fixed rate
through the sluice binary named by SLUICE_BIN to a real RIST receiver on loopback; the
gateway's CPU time (user + system, from /proc) over the transfer is divided by the
megabytes forwarded. With --scrape, "/api/streams" and "/metrics" are read once a second
meanwhile, as a monitoring system would. Prints one line of figures.

    SLUICE_BIN=build/sluice python3 bench/forwarding_cost.py [--seconds 20] [--mbps 20] [--scrape]
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import (Gateway, UdpSink, free_port, request, rist_receiver, srt_caller,  # noqa: E402
                     ts_payload, wait_until)

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def scrape(gateway, stop):
    while not stop.wait(1.0):
        request(gateway, "GET", "/api/streams")
        request(gateway, "GET", "/metrics")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--mbps", type=float, default=20)
    parser.add_argument("--scrape", action="store_true")
    args = parser.parse_args()

    sink = UdpSink()
    rist_port = free_port()
    receiver = rist_receiver(rist_port, sink.port)
    gateway = Gateway()
    gateway.write_config(gateway.default_config(f"rist_endpoint=127.0.0.1:{rist_port}\n"))
    gateway.start()
    caller = srt_caller(gateway.srt_port, "bench")
    stop = threading.Event()
    scraper = threading.Thread(target=scrape, args=(gateway, stop))
    try:
        rate = args.mbps * 1e6 / 8
        units = int(rate * args.seconds / 1316)
        payload = ts_payload(0x100, units * 7)
        caller.send(payload[:1316 * 100], rate)
        if args.scrape:
            scraper.start()
        before = cpu_seconds(gateway.process.pid)
        started = time.monotonic()
        caller.send(payload[1316 * 100:], rate)
        elapsed = time.monotonic() - started
        used = cpu_seconds(gateway.process.pid) - before
        megabytes = (len(payload) - 1316 * 100) / 1e6
        caller.push_through()
        wait_until(lambda: len(sink.packets(0x100)) >= units * 7, 10, 0.2)
        arrived = len(sink.packets(0x100)) / 7
        print(f"{os.path.basename(os.path.dirname(os.path.abspath(gateway.binary)))}: "
              f"{megabytes:.1f} MB in {elapsed:.1f} s, CPU {used:.2f} s = {1000 * used / megabytes:.1f} ms/MB, "
              f"units arrived {arrived:.0f} of {units}, scrape {'on' if args.scrape else 'off'}")
    finally:
        stop.set()
        if scraper.is_alive():
            scraper.join()
        caller.stop()
        gateway.close()
        receiver.stop()
        sink.close()


if __name__ == "__main__":
    main()
