#!/usr/bin/env python3
"""The module's end of the line for the soak and the benchmarks.

Like tools/modsim.py it owns a raw pseudo-terminal and points a symlink at it
(a Wine prefix maps that link as COM1), but it streams: bytes handed to it go
out paced at the line rate, since a pty passes bytes on as fast as they are
written, and everything that arrives is kept with a running CRC-32.

    linemod.py --link WORK/com1 [--rate 3840]

Prints "linemod: control 127.0.0.1:PORT" once listening. Commands, one line
each, one line answered:
    CLEAR                 forget what arrived, and the arrival times    -> OK
    FEED HEX              append bytes to the paced outgoing stream     -> OK
    RATE N                pace at N bytes/s from now on                 -> OK
    PENDING               bytes fed and not yet written                 -> PENDING n sent
    RECV                  count and CRC-32 of all that arrived          -> RECV n crc
    CRCAT N MS            wait up to MS ms for N bytes; CRC of the first N
                                                                        -> CRCAT n crc | SHORT n
    DUMP OFF N            hex of arrived bytes OFF..OFF+N               -> DUMP hex
    NOW                   CLOCK_MONOTONIC_RAW now, ns                   -> NOW ns
    SPEED                 the speed the other side set on the line      -> SPEED bit/s|?
    TIMES                 arrival of each byte since CLEAR, ns          -> TIMES ns,...
    PROBE N GAP_MS        send N note-ons (note i%128, velocity 1+i//128) one write each,
                          GAP_MS plus 0..GAP_MS/2 random apart          -> OK
    PROBETIMES            CLOCK_MONOTONIC_RAW just before each probe's write, ns
                                                                        -> PROBETIMES ns,...
    GRID N PERIOD_NS      send N MIDI clock bytes (F8) on an exact grid, one write each, beside
                          the paced stream                              -> OK
    GRIDTIMES             CLOCK_MONOTONIC_RAW of each clock byte's write, ns
                                                                        -> GRIDTIMES ns,...
    QUIT                                                                -> OK
"""
import argparse
import os
import random
import select
import signal
import socket
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from ptyline import close_line, line_speed, open_line, read_chunks  # noqa: E402

CLOCK = time.CLOCK_MONOTONIC_RAW
TICK = 0.001  # s between looks at the outgoing stream


def now_ns():
    return time.clock_gettime_ns(CLOCK)


class Line:
    def __init__(self, link, rate):
        self.master, self.slave, self.link = open_line(link)
        self.slave_name = os.ttyname(self.slave)
        self.cond = threading.Condition()
        self.received = bytearray()
        self.crc = 0
        self.times = []
        self.outgoing = bytearray()
        self.sent = 0
        self.rate = rate
        self.probe_times = []
        self.grid_times = []
        self.running = True
        self.write_lock = threading.Lock()

    def reader(self):
        for data in read_chunks(self, 65536):
            t = now_ns()
            with self.cond:
                self.received += data
                self.crc = zlib.crc32(data, self.crc)
                self.times.extend([t] * len(data))
                self.cond.notify_all()

    def writer(self):
        """Each byte leaves no earlier than 1/rate after the one before."""
        next_at = time.monotonic()
        while self.running:
            with self.cond:
                if not self.outgoing:
                    self.cond.wait(0.1)
                    next_at = max(next_at, time.monotonic())
                    continue
                now = time.monotonic()
                due = int((now - next_at) * self.rate) + 1 if now >= next_at else 0
                chunk = bytes(self.outgoing[:due])
                del self.outgoing[:len(chunk)]
            if chunk:
                with self.write_lock:
                    os.write(self.master, chunk)
                next_at += len(chunk) / self.rate
                with self.cond:
                    self.sent += len(chunk)
            time.sleep(TICK)

    def probe(self, count, gap_ms):
        def go():
            rnd = random.Random(count)
            for i in range(count):
                time.sleep((gap_ms + rnd.uniform(0, gap_ms / 2)) / 1000.0)
                msg = bytes([0x90, i % 128, 1 + i // 128])
                with self.write_lock:
                    t = now_ns()  # the write hands all three bytes to the pty at once
                    os.write(self.master, msg)
                self.probe_times.append(t)

        self.probe_times = []
        threading.Thread(target=go, daemon=True).start()

    def grid(self, count, period_ns):
        def go():
            start = now_ns() + 50_000_000
            for i in range(count):
                due = start + i * period_ns
                ahead = (due - now_ns()) / 1e9 - 0.001
                if ahead > 0:
                    time.sleep(ahead)
                while now_ns() < due:  # the last millisecond spun: a sleep overshoots
                    pass
                with self.write_lock:
                    t = now_ns()
                    os.write(self.master, b"\xf8")
                self.grid_times.append(t)

        self.grid_times = []
        threading.Thread(target=go, daemon=True).start()

    def close(self):
        self.running = False
        close_line(self.link, self.slave_name)


def answer(line, words):
    cmd = words[0].upper()
    if cmd == "CLEAR":
        with line.cond:
            line.received = bytearray()
            line.crc = 0
            line.times = []
        return "OK"
    if cmd == "FEED":
        data = bytes.fromhex("".join(words[1:]))
        with line.cond:
            line.outgoing += data
            line.cond.notify_all()
        return "OK"
    if cmd == "RATE":
        line.rate = float(words[1])
        return "OK"
    if cmd == "PENDING":
        with line.cond:
            return "PENDING %d %d" % (len(line.outgoing), line.sent)
    if cmd == "RECV":
        with line.cond:
            return "RECV %d %08x" % (len(line.received), line.crc)
    if cmd == "CRCAT":
        n, deadline = int(words[1]), time.monotonic() + int(words[2]) / 1000.0
        with line.cond:
            while len(line.received) < n and time.monotonic() < deadline:
                line.cond.wait(deadline - time.monotonic())
            if len(line.received) < n:
                return "SHORT %d" % len(line.received)
            return "CRCAT %d %08x" % (n, zlib.crc32(line.received[:n]))
    if cmd == "DUMP":
        off, n = int(words[1]), int(words[2])
        with line.cond:
            return "DUMP " + line.received[off:off + n].hex()
    if cmd == "NOW":
        return "NOW %d" % now_ns()
    if cmd == "SPEED":
        return "SPEED %s" % (line_speed(line.slave) or "?")
    if cmd == "TIMES":
        with line.cond:
            return "TIMES " + ",".join(str(t) for t in line.times)
    if cmd == "PROBE":
        line.probe(int(words[1]), float(words[2]))
        return "OK"
    if cmd == "PROBETIMES":
        return "PROBETIMES " + ",".join(str(t) for t in line.probe_times)
    if cmd == "GRID":
        line.grid(int(words[1]), int(words[2]))
        return "OK"
    if cmd == "GRIDTIMES":
        return "GRIDTIMES " + ",".join(str(t) for t in line.grid_times)
    if cmd == "QUIT":
        line.running = False
        return "OK"
    return "ERROR unknown command"


def session(line, conn):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    with conn, conn.makefile("rw", newline="\n") as f:
        for text in f:
            words = text.split()
            if not words:
                continue
            try:
                reply = answer(line, words)
            except (ValueError, IndexError) as e:
                reply = "ERROR %s" % e
            f.write(reply + "\n")
            f.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--link", required=True)
    ap.add_argument("--rate", type=float, default=3840.0, help="bytes/s of the outgoing stream (38400 bit/s, 8N1)")
    ap.add_argument("--control", type=int, default=0)
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sys.setswitchinterval(0.0002)  # the grid's thread gets the interpreter back within its spin
    line = Line(args.link, args.rate)
    threading.Thread(target=line.reader, daemon=True).start()
    threading.Thread(target=line.writer, daemon=True).start()
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.control))
    server.listen(4)
    print("linemod: control 127.0.0.1:%d" % server.getsockname()[1], flush=True)
    try:
        while line.running:
            ready, _, _ = select.select([server], [], [], 0.2)
            if ready:
                conn, _ = server.accept()
                threading.Thread(target=session, args=(line, conn), daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        line.close()


if __name__ == "__main__":
    sys.exit(main())
