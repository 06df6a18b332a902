#!/usr/bin/env python3
"""Figures of the service under hostile clients, against the real server.

The honest client's answers and their p50 / p99, alone and beside two
trickling clients, a pipelining client that never reads, five idle holders
and a client that sends garbage and resets; the time one honest client
takes (connect to whole card) beside 62 connections that each hold a slot:
idle ones, unanswered requests, WebSocket handshakes, tricklers; then the
time from SIGTERM to the server's exit while a client trickles and another's
answer is blocked.

    TALVEX_BIN_DIR=build/bin bench/hostile_bench.py [--requests 20] [--holder-runs 3]
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "hostile"))
import hostile_clients as hc  # noqa: E402
from hostile_clients import harness  # noqa: E402


def run(requests, hostile):
    ws = harness.Workspace()
    try:
        ws.start_sim()
        _, port = hc.start_server(ws)
        hostiles = hc.Hostiles(port) if hostile else None
        try:
            texts, times = hc.honest_run(port, requests)
        finally:
            if hostiles:
                hostiles.stop()
        good = sum(1 for t in texts if t.startswith("0|1|"))
        return good, times
    finally:
        ws.close()


def beside_holders(kind):
    """Seconds until the honest client has its card beside 62 holders."""
    ws = harness.Workspace()
    try:
        ws.start_sim()
        _, port = hc.start_server(ws)
        holders = hc.Holders(port, kind)
        try:
            if kind == "trickle":
                time.sleep(2.0)  # the server has read every trickler's first bytes
            text, seconds = hc.honest_card(port, timeout=60)
        finally:
            holders.stop()
        return text.startswith("0|1|"), seconds
    finally:
        ws.close()


def stop_time():
    ws = harness.Workspace()
    try:
        ws.start_sim()
        server, port = hc.start_server(ws)
        ws.request()
        return hc.stop_under_trickle(ws, port, server)
    finally:
        ws.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--requests", type=int, default=20)
    ap.add_argument("--holder-runs", type=int, default=3)
    args = ap.parse_args()
    for hostile in (False, True):
        good, times = run(args.requests, hostile)
        ms = [t * 1000 for t in times]
        print(f"{'with' if hostile else 'without'} hostile clients: {good}/{args.requests} "
              f"answered, p50 {hc.percentile(ms, 50):.1f} ms, p99 {hc.percentile(ms, 99):.1f} ms, "
              f"max {max(ms):.1f} ms")
    for kind in hc.HOLD_KINDS:
        runs = [beside_holders(kind) for _ in range(args.holder_runs)]
        ms = [seconds * 1000 for _, seconds in runs]
        print(f"beside 62 {kind} holders: {sum(ok for ok, _ in runs)}/{len(runs)} cards, "
              f"min {min(ms):.0f} ms, max {max(ms):.0f} ms")
    code, seconds, left = stop_time()
    print(f"SIGTERM under a trickle: exit {code} after {seconds * 1000:.0f} ms, "
          f"photo files left: {len(left)}")


if __name__ == "__main__":
    main()
