#!/usr/bin/env python3
"""A stand-in for the MIDI sound module on the Linux side of a serial line.

It owns a pseudo-terminal in raw mode and points a symlink at its slave side,
so that a Wine prefix can map a COM port to it (HKLM\\Software\\Wine\\Ports,
value COM1 = the symlink's path). Every byte that arrives is recorded with its
time; scripted bytes go out with scripted delays.

    modsim.py --link build/wine/com1 [--control PORT] [--dosdevice PREFIX/dosdevices/com1]
              [--send DELAY_MS:HEX ...] [--log]

--log prints every byte that arrives ("+12.345 ms 90 3c 40"); --send queues
bytes to send after a delay (e.g. --send 500:903c40), for use by hand.

--control opens a line-based control channel on 127.0.0.1 (0 picks a free
port; the first line on stdout says which: "modsim: control 127.0.0.1:PORT").
Commands, one per line, each answered by one line:
    CLEAR                 forget what was received          -> OK
    WIRE [SETTLE_MS]      wait until nothing has arrived for SETTLE_MS (default
                          50, at most 2000), then the bytes since CLEAR
                                                            -> WIRE <hex>
    TIMES                 arrival of each byte since CLEAR, ms since CLEAR
                                                            -> TIMES <ms,...>
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
                          paced at the line rate, 3840 bytes/s
                                                            -> OK
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
                          has not read dropped               -> OK
    QUIT                  end the simulator                 -> OK

--dosdevice names the Wine prefix's dosdevices/comN link that leads to this
line (PLUG and RESTORE point it, UNPLUG leads it nowhere); Wine follows that
link at each open, so no wineserver restart is needed.
"""
import argparse
import os
import pty
import select
import signal
import socket
import sys
import termios
import threading
import time
import tty

from winelab import point_link

MAX_SETTLE_MS = 2000
LINE_RATE = 3840.0  # bytes/s: 38400 bit/s, 8N1
MAX_BURST = 4  # messages written at once when the stream runs late (3 ms of line time)
MAX_LAG = 0.005  # s the stream may fall behind before it gives up catching up


def new_pty():
    """A pty in raw mode at 38400 bit/s: (master fd, slave fd)."""
    master, slave = pty.openpty()
    # Raw on both sides: no echo, no line editing, no CR/LF mapping; a MIDI
    # byte stream must pass through unchanged.
    tty.setraw(master)
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B38400
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave


def open_line(link):
    """A pty in raw mode at 38400 bit/s with link pointing at its slave side:
    (master fd, slave fd, absolute link path)."""
    master, slave = new_pty()
    link = os.path.abspath(link)
    point_link(link, os.ttyname(slave))
    return master, slave, link


def read_chunks(line, size):
    """Yields what arrives at line.master, up to size bytes at a time, while
    line.running holds; nothing is taken off the line while line.held does."""
    while line.running:
        if getattr(line, "held", False):
            time.sleep(0.01)
            continue
        ready, _, _ = select.select([line.master], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(line.master, size)
        except OSError:
            # No slave side open at the moment: wait for the next opener.
            time.sleep(0.01)
            continue
        if not data:
            time.sleep(0.01)  # an unplugged line: its descriptor reads /dev/null
            continue
        yield data


def close_line(link, slave_name):
    """Removes link if it still points at this line's pty: a stale link could
    later lead to whatever terminal gets that pty number next."""
    try:
        if os.path.islink(link) and os.readlink(link) == slave_name:
            os.unlink(link)
    except OSError:
        pass


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

    def stream_notes(self):
        """Whole messages, no faster than the line carries them: a pty
        passes bytes on as fast as they are written."""
        next_at, note = time.monotonic(), 0
        while self.stream_on and self.running:
            now = time.monotonic()
            if now < next_at:
                time.sleep(min(next_at - now, 0.002))
                continue
            count = min(1 + int((now - next_at) * LINE_RATE / 3), MAX_BURST)
            out = bytearray()
            for _ in range(count):
                out += bytes([0x90, note // 2, 0x40]) if note % 2 == 0 else bytes([0x80, note // 2, 0x00])
                note = (note + 1) % 256
            _, room, _ = select.select([], [self.master], [], 0.05)
            if room:  # a full queue on the other side drops them, as an unread UART does: the line never stalls
                os.write(self.master, out)
            next_at = max(next_at + len(out) / LINE_RATE, time.monotonic() - MAX_LAG)

    def set_stream(self, on):
        if on and not self.streaming:
            self.stream_on = True
            self.streaming = threading.Thread(target=self.stream_notes, daemon=True)
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


def serve(module, port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)
    print("modsim: control 127.0.0.1:%d" % server.getsockname()[1], flush=True)
    print("modsim: port %s -> %s" % (module.link, module.slave_name), flush=True)
    while module.running:
        ready, _, _ = select.select([server], [], [], 0.2)
        if ready:
            conn, _ = server.accept()
            threading.Thread(target=session, args=(module, conn), daemon=True).start()


def session(module, conn):
    with conn, conn.makefile("rw", newline="\n") as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            cmd = words[0].upper()
            try:
                if cmd == "CLEAR":
                    module.clear()
                    answer = "OK"
                elif cmd == "WIRE":
                    data, _ = module.wire(int(words[1]) if len(words) > 1 else 50)
                    answer = "WIRE " + data.hex()
                elif cmd == "TIMES":
                    _, times = module.wire(0)
                    answer = "TIMES " + ",".join("%.1f" % (t * 1000) for t in times)
                elif cmd == "SEND":
                    module.send_later(int(words[1]), bytes.fromhex("".join(words[2:])))
                    answer = "OK"
                elif cmd == "ECHO" and len(words) == 2 and words[1].upper() in ("ON", "OFF"):
                    module.echo = words[1].upper() == "ON"
                    answer = "OK"
                elif cmd == "HOLD" and len(words) == 2 and words[1].upper() in ("ON", "OFF"):
                    module.held = words[1].upper() == "ON"
                    answer = "OK"
                elif cmd == "STREAM" and len(words) == 2 and words[1].upper() in ("ON", "OFF"):
                    module.set_stream(words[1].upper() == "ON")
                    answer = "OK"
                elif cmd == "UNPLUG":
                    answer = module.unplug()
                elif cmd == "PLUG":
                    answer = module.plug()
                elif cmd == "RESTORE":
                    answer = module.restore()
                elif cmd == "QUIT":
                    module.running = False
                    answer = "OK"
                else:
                    answer = module.command(words)
            except (ValueError, IndexError, OSError) as e:
                answer = "ERROR %s" % e
            f.write(answer + "\n")
            f.flush()


def add_line_args(ap):
    """The options every module simulator takes."""
    ap.add_argument("--link", required=True, help="symlink to create, pointing at the pty's slave side")
    ap.add_argument("--control", type=int, help="TCP control port on 127.0.0.1 (0: any free port)")
    ap.add_argument("--send", action="append", default=[], metavar="DELAY_MS:HEX", help="bytes to send after a delay")
    ap.add_argument("--log", action="store_true", help="print every byte that arrives")
    ap.add_argument("--dosdevice", help="the Wine prefix's dosdevices/comN link that UNPLUG and PLUG may point")


def run(module, args, name):
    """Runs module as add_line_args' options say, until it is stopped or
    interrupted; the caller closes it."""
    module.log = args.log
    module.dosdevice = os.path.abspath(args.dosdevice) if args.dosdevice else None
    threading.Thread(target=module.reader, daemon=True).start()
    for item in args.send:
        delay, data = item.split(":", 1)
        module.send_later(int(delay), bytes.fromhex(data))
    try:
        if args.control is not None:
            serve(module, args.control)
        else:
            print("%s: port %s -> %s" % (name, module.link, module.slave_name), flush=True)
            while module.running:
                time.sleep(0.2)
    except KeyboardInterrupt:
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_line_args(ap)
    args = ap.parse_args()

    # A terminated simulator takes its link along: a stale link could later
    # lead to whatever terminal gets that pty number next.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    module = Module(args.link)
    try:
        run(module, args, "modsim")
    finally:
        module.close()


if __name__ == "__main__":
    sys.exit(main())
