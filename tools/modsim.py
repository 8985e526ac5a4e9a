#!/usr/bin/env python3
"""A stand-in for the MIDI sound module on the Linux side of a serial line.

It owns a pseudo-terminal in raw mode and points a symlink at its slave side,
so that a Wine prefix can map a COM port to it (HKLM\\Software\\Wine\\Ports,
value COM1 = the symlink's path). Every byte that arrives is recorded with its
time; scripted bytes go out with scripted delays.

    modsim.py --link build/wine/com1 [--control PORT] [--dosdevice PREFIX/dosdevices/com1]
              [--lines N] [--send DELAY_MS:HEX ...] [--log]

--log prints every byte that arrives ("+12.345 ms 90 3c 40"); --send queues
bytes to send after a delay (e.g. --send 500:903c40), for use by hand.

--lines N serves lines 2 to N beside the first, each on a pty of its own,
their link and dosdevice named as --link's and --dosdevice's with the line's
number in place of the 1 they end in (com2, com3, ...). They start
unplugged, so that their COM ports lead nowhere until a PLUG, and RESTORE
unplugs them again.

--control opens a line-based control channel on 127.0.0.1 (0 picks a free
port; the first line on stdout says which: "modsim: control 127.0.0.1:PORT").
Commands, one per line, each answered by one line; a command goes to line 1
unless its first word names another, as in "@2 STREAM ON":
    CLEAR                 forget what was received          -> OK
    WIRE [SETTLE_MS]      wait until nothing has arrived for SETTLE_MS (default
                          50, at most 2000), then the bytes since CLEAR
                                                            -> WIRE <hex>
    TIMES                 arrival of each byte since CLEAR, ms since CLEAR
                                                            -> TIMES <ms,...>
    CRC COUNT             wait until COUNT bytes have arrived since CLEAR (at
                          most 2000 ms), then their count and CRC-32
                                                            -> CRC <n> <crc, 8 hex digits>
    SPEED                 the speed set on the line by the other side, from
                          the pty's terminal settings; "?" for a speed that
                          has no standard setting (Wine sets those as 38400
                          on a pty)                         -> SPEED <bit/s>|?
    SEND DELAY_MS HEX     send the bytes after the delay; with no delay,
                          before the answer                 -> OK
    ECHO ON|OFF           send back every byte that arrives, as a loop-back
                          plug (TX wired to RX) does       -> OK
    HOLD ON|OFF           stop and start taking bytes off the line, as a
                          module that holds the line up: once the pty's
                          buffer is full, the other side's writes wait
                                                            -> OK
    STREAM ON|OFF         a continuous stream of note-on/note-off pairs on
                          channel 1 (90 nn 40, then 80 nn 00, nn counting up),
                          paced at the line rate of the speed set when it
                          starts (38400 bit/s: 3840 bytes/s)
                                                            -> OK
    STREAMED              bytes the stream has written since it started, and
                          bytes it dropped for want of room -> STREAMED <n> <dropped>
    UNPLUG                the line goes away, as when a USB-serial adapter is
                          pulled: the pty is closed, so that a handle open on
                          its slave side fails from then on; the link goes, and
                          --dosdevice is pointed at the (absent) link
                                                            -> OK
    PLUG                  the line comes back on a new pty, with --dosdevice
                          pointed straight at its slave side
                                                            -> OK /dev/pts/N
    RESTORE               back as at the start, for whatever runs next: stream,
                          echo and hold off, the line plugged, the link at its pty
                          and --dosdevice at the link, bytes that the other side
                          has not read dropped; lines 2 to N unplugged. Every
                          line, unless the command names one -> OK
    QUIT                  end the simulator                 -> OK

--dosdevice names the Wine prefix's dosdevices/comN link that leads to this
line (PLUG and RESTORE point it, UNPLUG leads it nowhere); Wine follows that
link at each open, so no wineserver restart is needed.
"""
import argparse
import os
import select
import signal
import socket
import sys
import termios
import threading
import time
import zlib

from ptyline import close_line, line_speed, new_pty, numbered, open_line, read_chunks
from winelab import point_link

MAX_SETTLE_MS = 2000
LINE_SPEED = 38400  # bit/s when the other side has set none
BITS_PER_BYTE = 10  # 8N1: start bit, 8 data bits, stop bit
MAX_BURST = 0.003  # s of line time written at once when the stream runs late
MAX_LAG = 0.005  # s the stream may fall behind before it gives up catching up


class Module:
    def __init__(self, link):
        self.master, self.slave, self.link = open_line(link)
        self.slave_name = os.ttyname(self.slave)
        self.lock = threading.Condition()
        self.received = []  # (monotonic seconds, byte)
        self.epoch = time.monotonic()
        self.last_arrival = self.epoch
        self.running = True
        self.log = False
        self.echo = False
        self.held = False  # HOLD ON: nothing is read off the line
        self.dosdevice = None  # the prefix's dosdevices/comN that leads here, if we may point it
        self.line_lock = threading.Lock()  # serializes UNPLUG, PLUG and RESTORE
        self.unplugged = False
        self.streaming = None  # the note stream's thread while it runs
        self.stream_on = False
        self.streamed = self.dropped = 0  # bytes the stream wrote and dropped since it started
        self.home_plugged = True  # RESTORE plugs the line in; lines 2 to N it unplugs
        # Called with (arrival time, bytes) by the reader, outside the lock;
        # a module that acts on what it receives hooks in here.
        self.on_bytes = None

    def reader(self):
        for data in read_chunks(self, 4096):
            now = time.monotonic()
            if self.echo:
                os.write(self.master, data)
            with self.lock:
                for b in data:
                    self.received.append((now, b))
                self.last_arrival = now
                self.lock.notify_all()
            if self.log:
                print("+%.3f ms %s" % ((now - self.epoch) * 1000, data.hex(" ")), flush=True)
            if self.on_bytes:
                self.on_bytes(now, data)

    def command(self, words):
        """Answers a control command that the simulator itself does not know."""
        return "ERROR unknown command"

    def send_later(self, delay_ms, data):
        if delay_ms == 0:
            os.write(self.master, data)
            return

        def go():
            time.sleep(delay_ms / 1000.0)
            os.write(self.master, data)

        threading.Thread(target=go, daemon=True).start()

    def clear(self):
        with self.lock:
            self.received = []
            self.epoch = time.monotonic()

    def wire(self, settle_ms):
        settle = min(settle_ms, MAX_SETTLE_MS) / 1000.0
        deadline = time.monotonic() + MAX_SETTLE_MS / 1000.0 + settle
        with self.lock:
            while True:
                quiet = time.monotonic() - max(self.last_arrival, self.epoch)
                if quiet >= settle or time.monotonic() >= deadline:
                    break
                self.lock.wait(settle - quiet)
            return bytes(b for _, b in self.received), [t - self.epoch for t, _ in self.received]

    def wait_for(self, count):
        """The bytes since CLEAR once there are count of them, or the time is up."""
        deadline = time.monotonic() + MAX_SETTLE_MS / 1000.0
        with self.lock:
            while len(self.received) < count and time.monotonic() < deadline:
                self.lock.wait(deadline - time.monotonic())
            return bytes(b for _, b in self.received)

    def stream_notes(self, rate):
        """Whole messages, no faster than the line carries them: a pty
        passes bytes on as fast as they are written."""
        next_at, note = time.monotonic(), 0
        burst = max(1, int(MAX_BURST * rate / 3 + 0.5))
        while self.stream_on and self.running:
            now = time.monotonic()
            if now < next_at:
                time.sleep(min(next_at - now, 0.002))
                continue
            count = min(1 + int((now - next_at) * rate / 3), burst)
            out = bytearray()
            for _ in range(count):
                out += bytes([0x90, note // 2, 0x40]) if note % 2 == 0 else bytes([0x80, note // 2, 0x00])
                note = (note + 1) % 256
            _, room, _ = select.select([], [self.master], [], 0.05)
            if room:  # a full queue on the other side drops them, as an unread UART does: the line never stalls
                self.streamed += os.write(self.master, out)
            else:
                self.dropped += len(out)
            next_at = max(next_at + len(out) / rate, time.monotonic() - MAX_LAG)

    def set_stream(self, on):
        if on and not self.streaming:
            self.stream_on = True
            self.streamed = self.dropped = 0
            rate = (line_speed(self.slave) or LINE_SPEED) / BITS_PER_BYTE
            self.streaming = threading.Thread(target=self.stream_notes, args=(rate,), daemon=True)
            self.streaming.start()
        elif not on and self.streaming:
            self.stream_on = False
            self.streaming.join(2)
            self.streaming = None

    def swap_line(self, master, slave):
        """Puts master and slave under our descriptors' numbers. Threads that
        read or write them meanwhile meet the old file or the new one, never
        a file of someone else's that took a freed number."""
        os.dup2(master, self.master)
        os.dup2(slave, self.slave)
        os.close(master)
        os.close(slave)

    def unplug(self):
        with self.line_lock:
            if self.unplugged:
                return "ERROR the line is unplugged already"
            null = os.open(os.devnull, os.O_RDWR)
            # The pty's last descriptors close here: its slave side hangs up
            # for every handle open on it, and its number is free again.
            self.swap_line(os.dup(null), null)
            self.unplugged = True
            close_line(self.link, self.slave_name)
            if self.dosdevice:
                point_link(self.dosdevice, self.link)
            return "OK"

    def plug(self, point_dosdevice=True):
        with self.line_lock:
            if not self.unplugged:
                return "ERROR the line is plugged"
            if point_dosdevice and not self.dosdevice:
                return "ERROR no --dosdevice to point at the new line"
            self.swap_line(*new_pty())
            self.slave_name = os.ttyname(self.slave)
            self.unplugged = False
            if point_dosdevice:
                point_link(self.dosdevice, self.slave_name)
            return "OK " + self.slave_name

    def restore(self):
        self.set_stream(False)
        self.echo = False
        self.held = False
        if not self.home_plugged:
            if not self.unplugged:
                self.unplug()
            return "OK"
        if self.unplugged:
            self.plug(point_dosdevice=False)
        with self.line_lock:
            point_link(self.link, self.slave_name)
            if self.dosdevice:
                point_link(self.dosdevice, self.link)
            termios.tcflush(self.slave, termios.TCIFLUSH)
        return "OK"

    def close(self):
        self.running = False
        close_line(self.link, self.slave_name)
        if self.dosdevice and os.path.islink(self.dosdevice) and os.readlink(self.dosdevice) == self.slave_name:
            point_link(self.dosdevice, self.link)  # never left leading to a pty number that someone may reuse


def serve(lines, port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)
    print("modsim: control 127.0.0.1:%d" % server.getsockname()[1], flush=True)
    print("modsim: port %s -> %s" % (lines[0].link, lines[0].slave_name), flush=True)
    while lines[0].running:
        ready, _, _ = select.select([server], [], [], 0.2)
        if ready:
            conn, _ = server.accept()
            threading.Thread(target=session, args=(lines, conn), daemon=True).start()


def answer(lines, words):
    """One command's answer; "@N" before it picks line N."""
    chosen = lines
    if words[0].startswith("@"):
        n = int(words[0][1:])
        if not 1 <= n <= len(lines):
            return "ERROR no line %d" % n
        chosen, words = [lines[n - 1]], words[1:]
    module = chosen[0]
    cmd = words[0].upper()
    if cmd == "CLEAR":
        module.clear()
        return "OK"
    if cmd == "WIRE":
        data, _ = module.wire(int(words[1]) if len(words) > 1 else 50)
        return "WIRE " + data.hex()
    if cmd == "CRC":
        data = module.wait_for(int(words[1]))
        return "CRC %d %08x" % (len(data), zlib.crc32(data))
    if cmd == "TIMES":
        _, times = module.wire(0)
        return "TIMES " + ",".join("%.1f" % (t * 1000) for t in times)
    if cmd == "SEND":
        module.send_later(int(words[1]), bytes.fromhex("".join(words[2:])))
        return "OK"
    if cmd == "ECHO" and len(words) == 2 and words[1].upper() in ("ON", "OFF"):
        module.echo = words[1].upper() == "ON"
        return "OK"
    if cmd == "HOLD" and len(words) == 2 and words[1].upper() in ("ON", "OFF"):
        module.held = words[1].upper() == "ON"
        return "OK"
    if cmd == "STREAM" and len(words) == 2 and words[1].upper() in ("ON", "OFF"):
        module.set_stream(words[1].upper() == "ON")
        return "OK"
    if cmd == "STREAMED":
        return "STREAMED %d %d" % (module.streamed, module.dropped)
    if cmd == "SPEED":
        if module.unplugged:
            return "ERROR the line is unplugged"
        speed = line_speed(module.slave)
        return "SPEED %s" % (speed or "?")
    if cmd == "UNPLUG":
        return module.unplug()
    if cmd == "PLUG":
        return module.plug()
    if cmd == "RESTORE":
        answers = [m.restore() for m in chosen]
        return next((a for a in answers if a != "OK"), "OK")
    if cmd == "QUIT":
        for m in lines:
            m.running = False
        return "OK"
    return module.command(words)


def session(lines, conn):
    with conn, conn.makefile("rw", newline="\n") as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            try:
                reply = answer(lines, words)
            except (ValueError, IndexError, OSError, termios.error) as e:
                reply = "ERROR %s" % e
            f.write(reply + "\n")
            f.flush()


def add_line_args(ap):
    """The options every module simulator takes."""
    ap.add_argument("--link", required=True, help="symlink to create, pointing at the pty's slave side")
    ap.add_argument("--control", type=int, help="TCP control port on 127.0.0.1 (0: any free port)")
    ap.add_argument("--send", action="append", default=[], metavar="DELAY_MS:HEX", help="bytes to send after a delay")
    ap.add_argument("--log", action="store_true", help="print every byte that arrives")
    ap.add_argument("--dosdevice", help="the Wine prefix's dosdevices/comN link that UNPLUG and PLUG may point")


def run(module, args, name, more=()):
    """Runs module, and the further lines in more, as add_line_args'
    options say, until it is stopped or interrupted; the caller closes them."""
    lines = [module] + list(more)
    module.log = args.log
    module.dosdevice = os.path.abspath(args.dosdevice) if args.dosdevice else None
    for n, line in enumerate(more, 2):
        line.dosdevice = numbered(module.dosdevice, n) if module.dosdevice else None
        line.home_plugged = False
        line.unplug()
    for line in lines:
        threading.Thread(target=line.reader, daemon=True).start()
    for item in args.send:
        delay, data = item.split(":", 1)
        module.send_later(int(delay), bytes.fromhex(data))
    try:
        if args.control is not None:
            serve(lines, args.control)
        else:
            print("%s: port %s -> %s" % (name, module.link, module.slave_name), flush=True)
            while module.running:
                time.sleep(0.2)
    except KeyboardInterrupt:
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_line_args(ap)
    ap.add_argument("--lines", type=int, default=1, help="lines served: COM1 to COMN")
    args = ap.parse_args()

    # A terminated simulator takes its links along: a stale link could later
    # lead to whatever terminal gets that pty number next.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    module = Module(args.link)
    more = []
    try:
        more = [Module(numbered(args.link, n)) for n in range(2, args.lines + 1)]
        run(module, args, "modsim", more)
    finally:
        for line in [module] + more:
            line.close()


if __name__ == "__main__":
    sys.exit(main())
