#!/usr/bin/env python3
"""The latency benchmark's own instrument, without Wine or the driver: a
Linux process writes 1000 three-byte messages into the pty that linemod.py
owns (as the driver's WriteFile does) and linemod stamps their arrival. Run
it as tools/soak runs the latency mode, to see what the pty and the
scheduler add by themselves.

    pty_baseline.py --link WORK/com1 --control 127.0.0.1:PORT
"""
import argparse
import os
import socket
import sys
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--link", required=True)
    ap.add_argument("--control", required=True)
    ap.add_argument("--count", type=int, default=1000)
    args = ap.parse_args()
    host, port = args.control.rsplit(":", 1)
    ctl = socket.create_connection((host, int(port)))
    f = ctl.makefile("rw", newline="\n")

    def ask(cmd):
        f.write(cmd + "\n")
        f.flush()
        return f.readline().strip()

    fd = os.open(args.link, os.O_WRONLY | os.O_NOCTTY)
    time.sleep(0.05)
    ask("CLEAR")
    sent = []
    for i in range(args.count):
        msg = bytes([0x90, i % 128, 1 + i // 128])
        sent.append(time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW))
        os.write(fd, msg)
        time.sleep(0.002)
    time.sleep(0.2)
    times = [int(t) for t in ask("TIMES").split(" ", 1)[1].split(",")]
    os.close(fd)
    if len(times) < 3 * args.count:
        print("pty baseline: %d bytes arrived of %d" % (len(times), 3 * args.count))
        return 1
    ms = sorted((times[3 * i + 2] - sent[i]) / 1e6 for i in range(args.count))
    print("pty baseline over %d messages: median %.3f ms, 99th percentile %.3f ms, max %.3f ms" %
          (args.count, ms[len(ms) // 2], ms[len(ms) * 99 // 100], ms[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
