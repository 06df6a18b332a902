#!/usr/bin/env python3
"""Figures of the event stream (GET /events) of the real talvex-server
--headless over 127.0.0.1, against talvex-reader-sim at --baud 115200 and the
stand-in decoder.

  placement   from SIGUSR1 putting the card on the reader to the card event
              at the client: median, p99 and max over --placements
  cpu         utime + stime of the server over --cpu-seconds with one open
              stream and no card, and the same with no reader at all
  readcard    /readCard latency with no card, with 10 open streams and with
              none: median and p99 over --requests

  bench/events_driver.py [--build DIR] [--placements N] [--cpu-seconds S]
                         [--requests N] [--poll-ms N]
Every loop is bounded in count; the run stops by itself.
"""

import argparse
import os
import random
import signal
import statistics
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(here, "..", "build"))
    ap.add_argument("--placements", type=int, default=40)
    ap.add_argument("--cpu-seconds", type=float, default=60)
    ap.add_argument("--requests", type=int, default=40)
    ap.add_argument("--poll-ms", type=int, default=250)
    args = ap.parse_args()
    os.environ.setdefault("TALVEX_BIN_DIR", os.path.join(os.path.abspath(args.build), "bin"))
    import harness  # noqa: E402
    from test_events import EventStream  # noqa: E402

    poll = ("--poll-ms", str(args.poll_ms))
    print(f"poll-ms {args.poll_ms}, simulator at 115200 baud")

    # Placement to event.
    ws = harness.Workspace()
    try:
        sim = ws.start_sim("--baud", "115200", "--no-card")
        ws.start_server(args=poll)
        stream = EventStream(ws.port)
        stream.head()
        ms = []
        for _ in range(args.placements):
            placed = time.monotonic()
            sim.send_signal(signal.SIGUSR1)
            event = stream.next_event(10)
            if not event or event[0] != "card":
                raise SystemExit(f"no card event: {event}")
            ms.append((time.monotonic() - placed) * 1000)
            sim.send_signal(signal.SIGUSR1)
            # Lifted for a while at a random phase of the probe interval.
            time.sleep(2 * args.poll_ms / 1000 + random.uniform(0, args.poll_ms / 1000))
        stream.close()
        print(f"placement to card event: median {statistics.median(ms):.1f} ms, "
              f"p99 {percentile(ms, 99):.1f} ms, max {max(ms):.1f} ms (n={len(ms)})")
    finally:
        ws.close()

    # CPU with one stream, no card; and with no reader at all.
    for label, with_sim in (("one stream, no card", True), ("one stream, no reader", False)):
        ws = harness.Workspace()
        try:
            if with_sim:
                ws.start_sim("--baud", "115200", "--no-card")
            server = ws.start_server(args=poll)
            stream = EventStream(ws.port)
            stream.head()
            time.sleep(1)
            before = cpu_seconds(server.pid)
            started = time.monotonic()
            time.sleep(args.cpu_seconds)
            used = cpu_seconds(server.pid) - before
            wall = time.monotonic() - started
            stream.close()
            print(f"server CPU, {label}: {used:.2f} s over {wall:.0f} s = "
                  f"{100 * used / wall:.2f} % of a core")
        finally:
            ws.close()

    # /readCard beside 10 streams and beside none, no card.
    ws = harness.Workspace()
    try:
        ws.start_sim("--baud", "115200", "--no-card")
        ws.start_server(args=poll)
        for streams in (0, 10):
            opened = [EventStream(ws.port) for _ in range(streams)]
            for s in opened:
                s.head()
            ms = []
            with ws.connect() as c:
                for _ in range(args.requests):
                    started = time.monotonic()
                    c.sendall(harness.CARD_REQUEST)
                    r = harness.read_response(c)
                    ms.append((time.monotonic() - started) * 1000)
                    if not r.text().startswith("128|"):
                        raise SystemExit(r.text()[:40])
                    time.sleep(random.uniform(0, args.poll_ms / 1000))
            for s in opened:
                s.close()
            print(f"/readCard, no card, {streams} open streams: median "
                  f"{statistics.median(ms):.1f} ms, p99 {percentile(ms, 99):.1f} ms "
                  f"(n={len(ms)})")
    finally:
        ws.close()


if __name__ == "__main__":
    main()
