"""tolvexctl under Wine: each command run as a person would run it (with
--driver, since Wine's winmm loads no third-party driver), against the module
simulator, checked by what reaches the wire, the registry and the files.
ctl_mapper.py runs the same commands on the winmm road.
Called by run_suite.py inside its prefix, simulator and X server; reports
"PASS/FAIL wine64.ctl.<check>" through the suite's report().

Every wait has a time limit: a hung tolvexctl fails its check.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import ctl_inf

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from winelab import run, stop, winpath  # noqa: E402

CTL_TIMEOUT = 30  # s for one tolvexctl run
KEY_DEVICE0 = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0"
KEY_DRIVERS32 = "HKLM\\" + ctl_inf.DRIVERS32
KEY_DESC = "HKLM\\" + ctl_inf.DESC
KEY_SERVICE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver"
RESET = "".join("b%x4000b%x7b00" % (c, c) for c in range(16))  # what the output close sends
DESCRIPTION = "Tolvex serial MIDI driver"  # drivers.desc
TIMING_TOLERANCE_MS = 40  # the machine is shared with builds; the schedule is absolute, so errors do not add up


class Sim:
    """The module simulator's control channel."""

    def __init__(self, address):
        host, port = address.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=15)
        self.f = self.sock.makefile("rw", newline="\n")

    def ask(self, cmd):
        self.f.write(cmd + "\n")
        self.f.flush()
        return self.f.readline().strip()

    def wire(self, settle=100):
        a = self.ask("WIRE %d" % settle)
        return a[5:] if a.startswith("WIRE") else "?" + a

    def times(self):
        a = self.ask("TIMES")
        return [float(t) for t in a[6:].split(",") if t] if a.startswith("TIMES") else []

    def close(self):
        self.sock.close()


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def smf(fmt, division, tracks):
    def chunk(kind, body):
        return kind + len(body).to_bytes(4, "big") + body

    head = chunk(b"MThd", fmt.to_bytes(2, "big") + len(tracks).to_bytes(2, "big") + division.to_bytes(2, "big"))
    return head + b"".join(chunk(b"MTrk", b"".join(vlq(d) + e for d, e in t) + b"\x00\xff\x2f\x00") for t in tracks)


# Format 1 at 96 ticks a quarter: 500 ms quarters, then 250 ms from tick 192;
# running status, a meta event and a system exclusive message in the notes.
PLAY_FILE = smf(1, 96, [
    [(0, b"\xff\x51\x03\x07\xa1\x20"), (192, b"\xff\x51\x03\x03\xd0\x90")],
    [(0, b"\x90\x3c\x40"), (96, b"\x3c\x00"), (0, b"\xff\x01\x02hi"), (96, b"\x3e\x40"),
     (96, b"\xf0\x05\x7e\x7f\x09\x01\xf7"), (96, b"\x80\x3e\x00")]])
PLAY_WIRE = "903c40" "903c00" "903e40" "f07e7f0901f7" "803e00"
PLAY_STARTS_MS = [0, 500, 1000, 1250, 1500]  # when each message starts
PLAY_FIRST_BYTES = [0, 3, 6, 9, 15]  # where each message starts on the wire
# A sample dump of 64 KiB: 17 s of the line; sent in pieces of 256 bytes.
LONG_SYX = bytes([0xF0, 0x7D]) + bytes(k % 128 for k in range(65536 - 3)) + b"\xf7"
PIECE = 256
# Ten seconds of notes, one every 100 ms at 96 ticks and 500 ms a quarter.
LONG_PLAY_FILE = smf(0, 96, [[(0 if k == 0 else 19, bytes([0x90 if k % 2 == 0 else 0x80, 0x3c, 0x40 if k % 2 == 0 else 0]))
                              for k in range(100)]])


# Drivers32 as real machines hold it (issue 19), each table written whole into
# a registry view. What every machine has beside the MIDI slots:
W, OURS = "wdmaud.drv", "tolvex.dll"
BASE = {"wave": W, "aux": W, "mixer": W, "wavemapper": "msacm32.drv", "midimapper": "midimap.dll",
        "msacm.imaadpcm": "imaadp32.acm"}
DESC_BASE = {W: "WDM Audio driver mapper", "othersynth.dll": "Another maker's synthesizer"}
CLEAN = dict(BASE, midi=W)  # a clean Windows 10
DUMP1 = dict(CLEAN, **{"midi%d" % k: W for k in range(2, 9)})  # the first dump users posted
DUMP2 = dict(CLEAN, midi1="wdmaud2.drv", midi8=W, midi9=W, MidiSrvTransferComplete=1)  # Windows MIDI Services
FULL = dict(CLEAN, **{"midi%d" % k: W for k in range(1, 10)})  # every slot full of repeats
VENDOR = dict(CLEAN, midi2="othersynth.dll")  # another vendor's driver in midi2
OTHERS = dict(DUMP2, **{"midi%d" % k: n for k, n in zip(range(2, 10), [
    "othersynth.dll", "synth2.dll", "synth3.dll", "synth4.dll", "synth5.drv", "synth6.dll", "synth7.dll",
    "usbmidi.dll"])})  # eight drivers, no repeat: nothing to reclaim
# name: (64-bit view, 32-bit view, the slot plain install takes in each, the slot install --reclaim then takes).
# A WINEARCH=win32 prefix is 32-bit Windows: one view, which gets the 32-bit table.
TABLES = [
    ("clean-win10", CLEAN, CLEAN, {64: "midi2", 32: "midi2"}, None),
    ("dump1", DUMP1, dict(DUMP1, MidiSrvTransferComplete=0), {64: "midi9", 32: "midi9"}, None),
    ("dump2", DUMP2, DUMP2, {64: "midi2", 32: "midi2"}, None),
    ("full-of-repeats", FULL, FULL, {}, {64: "midi2", 32: "midi2"}),
    # midi0 and midi10: entries of ours that winmm never reads; doctor says so, install moves them.
    ("stray-midi0", dict(CLEAN, midi0=OURS), dict(CLEAN, midi10=OURS), {64: "midi2", 32: "midi2"}, None),
    # The 32-bit view also as an earlier tolvexctl left it: ours in midi1, which install moves.
    ("vendor-midi2", VENDOR, dict(VENDOR, midi1=OURS), {64: "midi3", 32: "midi3"}, None),
    # One view with room, the other without anything to reclaim: the 64-bit driver alone, no 32-bit file.
    ("others-full", DUMP2, OTHERS, {64: "midi2"}, {64: "midi2"}),
]


SLOTS = ["midi"] + ["midi%d" % k for k in range(1, 10)]  # the ten that winmm reads


def repeat(table):
    """The slot that install --reclaim takes: the first of midi2 ... midi9 whose wdmaud.drv repeats another."""
    many = sum(table.get(a) == W for a in SLOTS) >= 2
    return next((a for a in SLOTS[2:] if many and table.get(a) == W), None)


class CtlSuite:
    GROUP = "ctl"  # the checks' middle name

    def __init__(self, tag, loader, env, build, root, work, address, report):
        self.tag, self.loader, self.env, self.report = tag, loader, env, report
        self.exe = os.path.join(build, "tools", "tolvexctl", "tolvexctl.exe")
        self.dll = os.path.join(build, "driver", "TOLVEX.dll")
        sibling = os.path.join(os.path.dirname(build), "%s", "driver", "TOLVEX.dll")
        self.dll32 = sibling % re.sub(r"64$", "32", os.path.basename(build))
        self.dll64 = sibling % re.sub(r"32$", "64", os.path.basename(build))
        self.root, self.work, self.address = root, os.path.join(work, "ctl"), address
        self.prefix = env["WINEPREFIX"]
        os.makedirs(self.work, exist_ok=True)

    def check(self, ok, name, why):
        self.report("PASS" if ok else "FAIL", "%s.%s.%s" % (self.tag, self.GROUP, name), "" if ok else why)

    def road(self):
        """The options that lead tolvexctl to the driver: the DLL loaded itself."""
        return ["--driver", winpath(self.dll)]

    def cmd(self, *args, driver=True):
        return [self.loader, self.exe] + (self.road() if driver else []) + list(args)

    def ctl(self, *args, timeout=CTL_TIMEOUT, driver=True):
        return run(["timeout", str(timeout)] + self.cmd(*args, driver=driver), timeout + 10, self.env)

    def file(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return winpath(path)

    def reg(self, key, name, view=64):
        r = run(["timeout", "30", self.loader, "reg", "query", key, "/v", name, "/reg:%d" % view], 40, self.env)
        m = re.search(r"^\s+%s\s+(REG_\w+)\s+(.*)$" % re.escape(name), r.stdout, re.M | re.I)
        return (m.group(1), m.group(2).strip()) if m else None

    def reg_set(self, key, name, data, view=64, kind="REG_SZ"):
        run(["timeout", "30", self.loader, "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f",
             "/reg:%d" % view], 40, self.env)

    def reg_import(self, name, lines):
        """Values that reg add cannot make (a REG_DWORD of 5 bytes), from a .reg file."""
        text = "Windows Registry Editor Version 5.00\r\n\r\n" + "".join(l + "\r\n" for l in lines)
        return run(["timeout", "30", self.loader, "reg", "import", self.file(name, text.encode())], 40, self.env)

    def start(self, *args):
        """tolvexctl running while the check acts: stdout read as it comes (see until)."""
        proc = subprocess.Popen(["timeout", "60"] + self.cmd(*args), env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        os.set_blocking(proc.stdout.fileno(), False)
        proc.seen = b""
        return proc

    def until(self, proc, text, seconds=20):
        """Waits until text has come on proc's stdout; whether it came."""
        deadline = time.time() + seconds
        while text.encode() not in proc.seen and time.time() < deadline and proc.poll() is None:
            time.sleep(0.05)
            proc.seen += proc.stdout.read() or b""
        proc.seen += proc.stdout.read() or b""
        return text.encode() in proc.seen

    def finish(self, proc):
        """(exit code, stdout, stderr) once proc has ended."""
        os.set_blocking(proc.stdout.fileno(), True)
        try:
            out, err = proc.communicate(timeout=40)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        return proc.returncode, (proc.seen + out).decode(errors="replace"), err.decode(errors="replace")

    def reg_delete(self, key, name, view=64):
        run(["timeout", "30", self.loader, "reg", "delete", key, "/v", name, "/f", "/reg:%d" % view], 40, self.env)

    def reg_tree(self, key, view):
        """{subkey below key ("" for key itself): {name: text, or int for a DWORD}}; {} when key is absent."""
        for _ in range(3):  # 0 read, 1 no such key; anything else (a time-out on a busy machine) is tried again
            r = run(["timeout", "30", self.loader, "reg", "query", key, "/s", "/reg:%d" % view], 40, self.env)
            if r.returncode in (0, 1):
                break
        tree, cur = {}, None
        for line in r.stdout.splitlines():
            if line.upper().startswith("HKEY_LOCAL_MACHINE"):
                cur = tree.setdefault(line.strip()[len("HKEY_LOCAL_MACHINE") + len(key) - 4:].lstrip("\\"), {})
                continue
            m = re.match(r"^    (.+?)    (REG_\w+)    ?(.*)$", line)
            if m and cur is not None:
                cur[m.group(1)] = int(m.group(3), 16) if m.group(2) == "REG_DWORD" else m.group(3)
        return tree

    def views(self):
        return [32] if self.env.get("WINEARCH") == "win32" else [64, 32]

    def write_tables(self, drivers32, desc):
        """Drivers32 and drivers.desc of each view ({view: {name: value}}) replaced whole, with regedit:
        a 64-bit prefix keeps its 32-bit view of SOFTWARE under Wow6432Node."""
        lines = ["Windows Registry Editor Version 5.00", ""]
        for view in self.views():
            node = "SOFTWARE\\Wow6432Node" if view == 32 and len(self.views()) == 2 else "SOFTWARE"
            for key, table in ((ctl_inf.DRIVERS32, drivers32[view]), (ctl_inf.DESC, desc[view])):
                path = "HKEY_LOCAL_MACHINE\\" + key.replace("SOFTWARE", node, 1)
                lines += ["[-%s]" % path, "", "[%s]" % path]
                lines += ['"%s"=%s' % (n, "dword:%08x" % v if isinstance(v, int) else '"%s"' % v)
                          for n, v in sorted(table.items())]
                lines.append("")
        with open(os.path.join(self.work, "tables.reg"), "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        run(["timeout", "30", self.loader, "regedit", "/s", winpath(os.path.join(self.work, "tables.reg"))], 40,
            self.env)

    # ------------------------------------------------------------ checks

    def list_devices(self):
        r = self.ctl("list")
        self.check(r.returncode == 0 and "out 0: VeldorNT MIDI Out" in r.stdout and "in 0: VeldorNT MIDI In" in
                   r.stdout, "list", "expected exit 0 and both devices, got %d: %s %s" % (r.returncode, r.stdout[-300:],
                                                                                         r.stderr[-200:]))

    def port(self):
        r = self.ctl("port", "3", driver=False)
        value = self.reg(KEY_DEVICE0, "COMID")
        self.check(r.returncode == 0 and value == ("REG_DWORD", "0x3"), "port-stores-comid",
                   "expected exit 0 and COMID REG_DWORD 0x3, got %d and %s" % (r.returncode, value))
        r = self.ctl("port", driver=False)
        self.check(r.stdout.strip() == "COM3", "port-shows-comid", "expected COM3, got %r" % r.stdout)
        r = self.ctl("port", "0", driver=False)
        value = self.reg(KEY_DEVICE0, "COMID")
        self.check(r.returncode == 2 and value == ("REG_DWORD", "0x3"), "port-refuses-0",
                   "expected exit 2 and COMID still 0x3, got %d and %s" % (r.returncode, value))
        self.ctl("port", "1", driver=False)
        self.port_not_a_port()
        # The input mode beside it: stored, shown, a wrong word refused.
        seen = []
        for args, code, stored, shown in [(("low",), 0, "0x1", "low"), (("fast",), 2, "0x1", ""),
                                          ((), 0, "0x1", "low"), (("standard",), 0, "0x0", "standard")]:
            r = self.ctl("latency", *args, driver=False)
            value = self.reg(KEY_DEVICE0, "LowLatency")
            seen.append((args, r.returncode, value, r.stdout.split(":")[0].strip()))
            if (r.returncode, value, seen[-1][3]) != (code, ("REG_DWORD", stored), shown):
                break
        self.check(len(seen) == 4 and seen[-1][1:] == (0, ("REG_DWORD", "0x0"), "standard"), "latency-stored-and-shown",
                   "expected low, a refusal, low shown, standard; got %s" % seen)

    def port_not_a_port(self):
        """A stored value that is no port is said to be none, with exit 1, by
        port and by list: 0 and 99999, and a REG_DWORD of 5 bytes, which the
        driver reads as no port at all."""
        seen = []
        try:
            for label, want in [("0", "the stored value 0 is not a port"),
                                ("99999", "the stored value 99999 is not a port"),
                                ("5 bytes", "a REG_DWORD of 5 bytes, not 4")]:
                if label == "5 bytes":
                    self.reg_import("five-bytes.reg", ["[%s]" % KEY_DEVICE0.replace("HKLM", "HKEY_LOCAL_MACHINE"),
                                                       '"COMID"=hex(4):03,00,00,00,00'])
                else:
                    self.reg_set(KEY_DEVICE0, "COMID", label, kind="REG_DWORD")
                r = self.ctl("port", driver=False)
                listed = [l for l in self.ctl("list").stdout.splitlines() if l.startswith("port:")]
                seen.append((label, r.returncode, r.stdout.strip(), listed))
                self.check(r.returncode == 1 and want in r.stdout and "COM%s" % label not in r.stdout and
                           len(listed) == 1 and want in listed[0], "port-stored-%s-is-no-port" % label.replace(" ", "-"),
                           "expected exit 1 and %r from port and list, got %s" % (want, seen[-1]))
        finally:
            self.ctl("port", "1", driver=False)

    def send(self, sim):
        sim.ask("CLEAR")
        r = self.ctl("send", "90 3c 40 3e 40", "f0,7e,7f,09,01,f7", "c0", "05")
        wire = sim.wire()
        want = "903c40903e40f07e7f0901f7c005" + RESET
        self.check(r.returncode == 0 and wire == want, "send-hex-wire",
                   "expected exit 0 and %s, got %d and %s %s" % (want, r.returncode, wire, r.stderr[-200:]))
        self.check(" bytes  [" not in r.stdout, "send-short-shows-no-progress",
                   "expected no progress for 14 bytes, got %r" % r.stdout)

        sim.ask("CLEAR")
        r = self.ctl("send", "f0 7e f8 7f f7")
        wire = sim.wire()
        self.check(r.returncode == 0 and wire == "f07ef87ff7" + RESET, "send-real-time-inside-sysex",
                   "expected exit 0 and the clock byte passed through where it stands, got %d and %s %s" %
                   (r.returncode, wire, r.stderr[-200:]))

        syx = bytes.fromhex("f04110421240007f0041f7" "f043104c00007e00f7")
        sim.ask("CLEAR")
        r = self.ctl("send", self.file("two.syx", syx))
        wire = sim.wire()
        self.check(r.returncode == 0 and wire == syx.hex() + RESET, "send-syx-wire",
                   "expected exit 0 and %s, got %d and %s %s" % (syx.hex() + RESET, r.returncode, wire,
                                                                 r.stderr[-200:]))


    def play(self, sim):
        sim.ask("CLEAR")
        path = self.file("play.mid", PLAY_FILE)
        r = self.ctl("play", path)
        wire, times = sim.wire(150), sim.times()
        ok = r.returncode == 0 and wire == PLAY_WIRE + RESET
        self.check(ok, "play-wire", "expected exit 0 and %s, got %d and %s %s" % (PLAY_WIRE + RESET, r.returncode,
                                                                                  wire, r.stderr[-300:]))
        self.check("sent 5 messages, 18 bytes" in r.stdout and "5/5 events" in r.stdout, "play-progress",
                   "expected the progress line and the count, got %r" % r.stdout[-300:])
        if ok and len(times) >= PLAY_FIRST_BYTES[-1]:
            starts = [times[i] - times[0] for i in PLAY_FIRST_BYTES]
            off = max(abs(a - b) for a, b in zip(starts, PLAY_STARTS_MS))
            print("INFO %s.%s.play-timing worst %.1f ms off (%s)" % (self.tag, self.GROUP, off,
                                                                      ", ".join("%.1f" % s for s in starts)))
            self.check(off <= TIMING_TOLERANCE_MS, "play-timing",
                       "expected messages at %s ms (within %d), got %s" % (PLAY_STARTS_MS, TIMING_TOLERANCE_MS,
                                                                          ["%.1f" % s for s in starts]))
        else:
            self.check(False, "play-timing", "no times to compare")


    def send_long(self, sim):
        """A send that the line takes 17 s over shows bytes sent and time left;
        Ctrl-C stops it inside its message. The line is held up (HOLD) while
        SIGINT comes, which Wine hands to the console handler as Ctrl-C: the
        piece under way finishes when the line comes back, then the message
        is ended with F7 before the reset, and the exit is 130."""
        sim.ask("CLEAR")
        path = self.file("long.syx", LONG_SYX)
        r = self.ctl("send", path)
        wire = sim.wire(200)
        total = len(LONG_SYX)
        self.check(r.returncode == 0 and wire == LONG_SYX.hex() + RESET and
                   "%d / %d bytes" % (total, total) in r.stdout and " left" in r.stdout, "send-long-progress",
                   "expected exit 0, the whole dump and the progress line ending at %d bytes, got %d, %d bytes, %r %s"
                   % (total, r.returncode, len(wire) // 2, r.stdout[-300:], r.stderr[-200:]))

        sim.ask("CLEAR")
        sim.ask("HOLD ON")
        proc = self.start("send", path)
        try:
            progress = self.until(proc, "/ %d bytes" % total)
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)  # timeout hands it on to Wine's process
            time.sleep(0.5)
        finally:
            sim.ask("HOLD OFF")
        code, out, err = self.finish(proc)
        wire = sim.wire(200)
        m = re.fullmatch("(.*)f7" + RESET + RESET, wire)
        cut = len(m.group(1)) // 2 if m else -1
        self.check(progress and code == 130 and m is not None and 0 < cut < total and cut % PIECE == 0 and
                   LONG_SYX.hex().startswith(m.group(1)) and "stopped" in out, "send-stopped-inside-sysex",
                   "expected progress, exit 130, the dump cut after whole pieces, F7, two resets; got progress %s, "
                   "exit %s, %d bytes ending %s, %r %s" % (progress, code, len(wire) // 2, wire[-80:], out[-300:],
                                                           err[-200:]))

    def play_stopped(self, sim):
        """Ctrl-C in the middle of a 10 s file: the reset, "stopped", exit 130."""
        sim.ask("CLEAR")
        proc = self.start("play", self.file("long.mid", LONG_PLAY_FILE))
        progress = self.until(proc, "/100 events")
        time.sleep(1)
        proc.send_signal(signal.SIGINT)
        started = time.time()
        code, out, err = self.finish(proc)
        took = time.time() - started
        wire = sim.wire(200)
        notes = wire[:-2 * len(RESET)] if wire.endswith(RESET + RESET) else ""
        self.check(progress and code == 130 and "stopped" in out and 0 < len(notes) < 100 * 6 and took < 5,
                   "play-stopped", "expected progress, exit 130, some notes and two resets within 5 s; got progress "
                   "%s, exit %s after %.1f s, %d bytes ending %s, %r %s" % (progress, code, took, len(wire) // 2,
                                                                         wire[-60:], out[-300:], err[-200:]))

    def refusals(self, sim):
        """Input that tolvexctl refuses before it opens a device: nothing is sent."""
        sim.ask("CLEAR")
        r = self.ctl("send", "3c", "40")
        wire = sim.wire()
        self.check(r.returncode == 1 and "data byte with no status" in r.stderr and wire == "", "send-refuses-stray-data",
                   "expected exit 1, the reason and nothing sent, got %d, %r, %s" % (r.returncode, r.stderr, wire))
        sim.ask("CLEAR")
        r = self.ctl("play", self.file("cut.mid", PLAY_FILE[:40]))
        wire = sim.wire()
        self.check(r.returncode == 1 and "claims" in r.stderr and wire == "", "play-refuses-truncated-file",
                   "expected exit 1, a reason naming the short track and nothing sent, got %d, %r, %s" %
                   (r.returncode, r.stderr, wire))

    def dump(self, sim):
        big = "f07d" + "".join("%02x" % (i % 128) for i in range(2998)) + "f7"  # 3000 bytes, over three buffers
        self.ctl("dump", "--time", "1")  # takes what earlier checks left in the port's queue
        cmd = ["timeout", "30"] + self.cmd("dump", "--time", "4")
        proc = subprocess.Popen(cmd, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            started = "-"
            while started and "waiting" not in started:  # "waiting for data ..." once the input runs
                started = proc.stderr.readline()  # (Wine's own complaints may come first)
            if started:
                sim.ask("SEND 0 903c40")
                sim.ask("SEND 200 3c00f8")
                sim.ask("SEND 400 " + big)
                sim.ask("SEND 700 c005")
            out, err = proc.communicate(timeout=40)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        lines = [l.split(None, 1) for l in out.splitlines() if l.strip()]
        got = [(float(t), re.split(r"\s{2,}", rest)[0].replace(" ", "")) for t, rest in lines if
               re.match(r"^\d+\.\d+$", t)]
        want = ["903c40", "903c00", "f8", big, "c005"]
        self.check(proc.returncode == 0 and [h for _, h in got] == want, "dump-messages",
                   "expected exit 0 and %s, got %s and %s %s" % ([w[:16] for w in want], proc.returncode,
                                                                  [h[:16] for _, h in got], err[-200:]))
        stamps = [t for t, _ in got]
        span = (stamps[-1] - stamps[0]) * 1000 if len(stamps) == 5 else -1
        self.check(stamps == sorted(stamps) and abs(span - 700) <= 60, "dump-timestamps",
                   "expected rising stamps spanning 700 ms, got %s" % stamps)

    def selftest(self, sim):
        sim.ask("ECHO ON")
        r = self.ctl("selftest")
        sim.ask("ECHO OFF")
        self.check(r.returncode == 0 and "selftest passed" in r.stdout, "selftest-with-echo",
                   "expected exit 0 and passed, got %d: %s %s" % (r.returncode, r.stdout, r.stderr[-200:]))
        r = self.ctl("selftest")
        self.check(r.returncode == 1 and "nothing came back" in r.stdout, "selftest-without-echo-fails",
                   "expected exit 1 and nothing came back, got %d: %s" % (r.returncode, r.stdout))

    def identity(self, sim):
        sim.ask("CLEAR")
        reply = "f07e100602412b020000000100f7"
        cmd = ["timeout", "30"] + self.cmd("identity", "--time", "8")
        proc = subprocess.Popen(cmd, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 15
        asked = False
        while time.time() < deadline and proc.poll() is None:
            if "f07e7f0601f7" in sim.wire(0):
                sim.ask("SEND 0 " + reply)
                asked = True
                break
            time.sleep(0.05)
        try:
            out, err = proc.communicate(timeout=40)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        self.check(asked and proc.returncode == 0 and "identity reply: f0 7e 10 06 02 41 2b 02 00 00 00 01 00 f7" in
                   out, "identity", "expected the request on the wire and the reply printed, got asked=%s, %s: %s %s" %
                   (asked, proc.returncode, out, err[-200:]))

    def com12(self, sim1):
        """A port above COM9, as a USB-serial adapter gets: the driver must open
        it as \\\\.\\COM12. Wine ignores long names under Ports, so the prefix's
        dosdevices/com12 is linked to a second simulator by hand."""
        link = os.path.join(self.work, "com12")
        proc = subprocess.Popen([sys.executable, os.path.join(self.root, "tools", "modsim.py"), "--link", link,
                                 "--control", "0"], stdout=subprocess.PIPE, text=True)
        dos = os.path.join(self.prefix, "dosdevices", "com12")
        try:
            m = re.search(r"control (127\.0\.0\.1:\d+)", proc.stdout.readline() or "")
            if not m:
                self.check(False, "com12", "the second simulator did not start")
                return
            sim12 = Sim(m.group(1))
            if os.path.lexists(dos):
                os.unlink(dos)
            os.symlink(link, dos)
            r = self.ctl("port", "12", driver=False)
            stored = self.reg(KEY_DEVICE0, "COMID")
            sim1.ask("CLEAR")
            sim12.ask("CLEAR")
            s = self.ctl("send", "90", "3c", "40")
            wire12, wire1 = sim12.wire(), sim1.wire()
            self.check(r.returncode == 0 and stored == ("REG_DWORD", "0xc") and s.returncode == 0 and
                       wire12 == "903c40" + RESET and wire1 == "", "com12",
                       "expected COMID 0xc and 903c40 on COM12 only, got %s, exit %d, COM12 %s, COM1 %s %s" %
                       (stored, s.returncode, wire12[:40], wire1[:40], s.stderr[-200:]))
            sim12.close()
        finally:
            if os.path.islink(dos):
                os.unlink(dos)
            self.ctl("port", "1", driver=False)
            stop(proc)

    def install(self):
        """tolvexctl install and uninstall: the first free midiN, the file in
        the system directory and registry view of the DLL's own architecture,
        the same names as the INF.
        A 32-bit prefix (WINEARCH=win32) is 32-bit Windows: one system32, one
        registry view, no WoW64. There the 32-bit DLL is the native one, and
        the 64-bit DLL must be refused without touching it; the 32-bit DLL
        beside the 64-bit one can only be checked in the 64-bit prefix."""
        on32 = self.env.get("WINEARCH") == "win32"
        bits, other = (32, self.dll64) if on32 else (64, self.dll32)
        have_other = os.path.exists(other)
        system = {"system32": os.path.join(self.prefix, "drive_c", "windows", "system32", "tolvex.dll"),
                  "syswow64": os.path.join(self.prefix, "drive_c", "windows", "syswow64", "tolvex.dll")}

        def files():
            return sorted(d for d, p in system.items() if os.path.exists(p))

        inf = ctl_inf.expected_by_arch(ctl_inf.parse(os.path.join(self.root, "install", "tolvex.inf")))
        inf = inf["x86" if on32 else "amd64"]
        inf_desc = {v: d for (v, k, n), d in inf["values"].items() if k == ctl_inf.DESC.lower()}
        inf_file = {d for (v, k, n), d in inf["values"].items() if k == ctl_inf.DRIVERS32.lower()}
        self.reg_set(KEY_DRIVERS32, "midi", "other.dll")  # another driver's: install takes midi2, uninstall keeps it
        try:
            r = self.ctl("install", winpath(self.dll), driver=False)
            got, desc, placed = self.reg(KEY_DRIVERS32, "midi2"), self.reg(KEY_DESC, "tolvex.dll"), files()
            ok = r.returncode == 0 and got == ("REG_SZ", "tolvex.dll") and desc == ("REG_SZ", inf_desc[64])
            ok = ok and {("system32", "tolvex.dll")} <= inf["files"] and placed == ["system32"]
            self.check(ok and inf_file == {"tolvex.dll"}, "install-%d" % bits,
                       "expected Drivers32 midi2 = tolvex.dll, drivers.desc = %r and only system32\\tolvex.dll as the "
                       "INF has; got exit %d, %s, %s, files %s: %s" % (inf_desc[64], r.returncode, got, desc, placed,
                                                                      r.stderr[-200:]))
            if have_other and on32:
                r64 = self.ctl("install", winpath(other), driver=False)
                u64 = self.ctl("uninstall", "64", driver=False)
                kept = (self.reg(KEY_DRIVERS32, "midi2"), self.reg(KEY_DRIVERS32, "midi3"),
                        self.reg(KEY_DESC, "tolvex.dll"), files())
                want = (("REG_SZ", "tolvex.dll"), None, ("REG_SZ", inf_desc[64]), ["system32"])
                self.check(r64.returncode == 1 and u64.returncode == 1 and "no 64-bit driver" in r64.stderr and
                           kept == want, "64-refused-on-32",
                           "expected install and uninstall of the 64-bit DLL refused and the 32-bit install left as "
                           "%s; got exit %d, %d, %s: %s" % (want, r64.returncode, u64.returncode, kept,
                                                            (r64.stderr + u64.stderr)[-300:]))
            elif have_other:
                r32 = self.ctl("install", winpath(other), driver=False)
                got32, desc32 = self.reg(KEY_DRIVERS32, "midi2", 32), self.reg(KEY_DESC, "tolvex.dll", 32)
                ok32 = r32.returncode == 0 and got32 == ("REG_SZ", "tolvex.dll") and \
                    desc32 == ("REG_SZ", inf_desc[32]) and "syswow64" in files()
                self.check(ok32, "install-32-on-64",
                           "expected the 32-bit view's midi2 = tolvex.dll and syswow64\\tolvex.dll, got exit %d, %s, "
                           "%s, files %s: %s" % (r32.returncode, got32, desc32, files(), r32.stderr[-200:]))
            again = self.ctl("install", winpath(self.dll), driver=False)
            self.check(again.returncode == 0 and "already registered as midi2" in again.stdout and
                       self.reg(KEY_DRIVERS32, "midi3") is None, "install-twice-registers-once",
                       "expected one entry, got %s and midi3 %s" % (again.stdout, self.reg(KEY_DRIVERS32, "midi3")))

            u = self.ctl("uninstall", driver=False)
            u32 = self.ctl("uninstall", "32", driver=False) if have_other and not on32 else None
            left = {"midi2": self.reg(KEY_DRIVERS32, "midi2"), "midi": self.reg(KEY_DRIVERS32, "midi"),
                    "desc": self.reg(KEY_DESC, "tolvex.dll")}
            want = {"midi2": None, "midi": ("REG_SZ", "other.dll"), "desc": None}
            if not on32:  # a second view to look at
                left.update({"midi2/32": self.reg(KEY_DRIVERS32, "midi2", 32),
                             "desc/32": self.reg(KEY_DESC, "tolvex.dll", 32)})
                want.update({"midi2/32": None, "desc/32": None})
            self.check(u.returncode == 0 and (u32 is None or u32.returncode == 0) and left == want and not files(),
                       "uninstall-removes-exactly-that", "expected %s and no files, got %s and %s" %
                       (want, left, files()))
        finally:
            self.reg_delete(KEY_DRIVERS32, "midi")
            self.ctl("port", "1", driver=False)  # the last uninstall took the stored port with it

    def tables(self):
        """The Drivers32 tables of real machines (TABLES), each in both registry views: what install (from a
        folder laid out as the release zip), install --reclaim, doctor and uninstall leave and say."""
        folder = os.path.join(self.work, "zip")
        os.makedirs(folder, exist_ok=True)
        exe = os.path.join(folder, "tolvexctl.exe")
        shutil.copyfile(self.exe, exe)
        views = self.views()
        archs = []  # what install takes, in its order: tolvexctl's own architecture first
        for name, dll, bits in (("TOLVEX.dll", self.dll64, 64), ("TOLVEX32.dll", self.dll32, 32)):
            if os.path.exists(dll):
                shutil.copyfile(dll, os.path.join(folder, name))
                archs += [bits] if bits in views else []
        archs.sort(reverse=views == [64, 32])
        system = {64: "system32", 32: "syswow64"} if views == [64, 32] else {32: "system32"}
        label = {v: " (the %d-bit view)" % v if len(views) == 2 else "" for v in views}

        def ctl(*args):
            return run(["timeout", str(CTL_TIMEOUT), self.loader, exe] + list(args), CTL_TIMEOUT + 10, self.env)

        def state():
            regs = {v: (self.reg_tree(KEY_DRIVERS32, v).get("", {}), self.reg_tree(KEY_DESC, v).get("", {}))
                    for v in views}
            files = sorted(b for b, d in system.items() if os.path.exists(
                os.path.join(self.prefix, "drive_c", "windows", d, "tolvex.dll")))
            return regs, self.reg_tree(KEY_SERVICE, views[0]), files

        original = state()[0]
        try:
            for name, t64, t32, plain, reclaim in TABLES:
                tables = {v: {64: t64, 32: t32}[v] for v in views}
                kept = {v: {n: d for n, d in t.items() if d != OURS} for v, t in tables.items()}
                self.write_tables(tables, {v: DESC_BASE for v in views})
                strays = ["Drivers32 %s%s names it, but winmm reads only midi, midi1 ... midi9" % (n, label[v])
                          for v, t in tables.items() for n, d in t.items() if d == OURS and n not in SLOTS]
                if strays:
                    ctl("port", "9")  # no such port in the prefix
                    d = ctl("doctor")
                    words = strays + ["port: COM9 does not exist"]
                    self.check(d.returncode == 1 and all(w in d.stdout for w in words),
                               "table-%s-doctor-before" % name, "expected exit 1 and %s, got %d: %s" %
                               ([w for w in words if w not in d.stdout], d.returncode, d.stdout[-900:]))
                ctl("port", "1")
                steps = [("install", (), plain)] + ([("reclaim", ("--reclaim",), reclaim)] if reclaim else [])
                for step, extra, slots in steps:
                    slots = {b: a for b, a in slots.items() if b in archs}
                    r = ctl("install", *extra)
                    regs, service, files = state()
                    want = {v: (dict(kept[v], **{slots[v]: OURS}), dict(DESC_BASE, **{OURS: DESCRIPTION}))
                            if v in slots else (tables[v], DESC_BASE) for v in views}
                    took = {"Parameters\\Reclaimed%d" % v: {a: tables[v][a]} for v, a in slots.items()
                            if tables[v].get(a, OURS) != OURS}  # a slot that held something: reclaimed
                    done, failed = [b for b in archs if b in slots], [b for b in archs if b not in slots]
                    bits = lambda v: " and ".join("%d-bit" % b for b in v)  # noqa: E731
                    words = ["installed for %s programs%s" % (bits(done), ": programs started" if not failed else
                                                              " only, not for %s programs" % bits(failed))
                             if done else "nothing installed"]
                    for b in failed:  # what holds each slot, and what to do
                        words += ["no free slot for the %d-bit driver" % b] + \
                            ["  midi%d  %s" % (k, tables[b]["midi%d" % k]) for k in range(2, 10)] + \
                            ['--reclaim" takes ' + repeat(tables[b]) if repeat(tables[b]) else "nothing to reclaim"]
                    said = r.stdout + r.stderr
                    got = (r.returncode, regs, {k: v for k, v in service.items() if "Reclaimed" in k}, files)
                    expected = (1 if failed else 0, want, took, sorted(slots))
                    self.check(got == expected and all(w in said for w in words), "table-%s-%s" % (name, step),
                               "expected (exit, views, records, files) %s and %s; got %s: %s" %
                               (expected, [w for w in words if w not in said], got, said[-900:]))
                words = ["%d-bit driver: Drivers32 %s%s names it" % (v, a, label[v]) for v, a in slots.items()]
                for v, t in tables.items():
                    on = t.get("MidiSrvTransferComplete") == 1
                    words.append("Windows MIDI Services%s: %s" % (label[v], "off" if not on else "on, and its entries"
                                                                  if t.get("midi1") == "wdmaud2.drv" else "on, but"))
                words += ["port: COM1 opens"] + ([] if slots else ["the driver is not installed"])
                d = ctl("doctor")
                self.check(d.returncode == (0 if slots else 1) and all(w in d.stdout for w in words),
                           "table-%s-doctor" % name, "expected exit %d and %s, got %d: %s" %
                           (0 if slots else 1, [w for w in words if w not in d.stdout], d.returncode, d.stdout[-900:]))
                u = ctl("uninstall")
                got = (u.returncode,) + state()
                expected = (0, {v: (kept[v], DESC_BASE) for v in views}, {}, [])
                self.check(got == expected, "table-%s-uninstall" % name,
                           "expected the table as before without entries of ours, no record, no stored settings, "
                           "no file: %s; got %s: %s" % (expected, got, (u.stdout + u.stderr)[-600:]))
        finally:
            self.write_tables({v: original[v][0] for v in views}, {v: original[v][1] for v in views})
            self.ctl("port", "1", driver=False)

    def config(self):
        """The driver's own setup dialog through tolvexctl config: a choice
        confirmed is stored, a cancel changes nothing."""
        if not self.env.get("DISPLAY"):
            self.check(False, "config", "no X server (Xvfb) for the dialog")
            return
        press = os.path.join(os.path.dirname(self.exe), "..", "..", "tests", "wine", "ctl_press.exe")
        self.ctl("port", "1", driver=False)
        for action, answer, comid in [("com2", "port stored", "0x2"), ("cancel", "cancelled", "0x2")]:
            cmd = ["timeout", "30"] + self.cmd("config")
            proc = subprocess.Popen(cmd, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            p = run(["timeout", "30", self.loader, press, "ORBEL Veldor Driver Setup", action], 40, self.env)
            try:
                out, err = proc.communicate(timeout=40)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
            stored = self.reg(KEY_DEVICE0, "COMID")
            self.check(p.returncode == 0 and proc.returncode == 0 and answer in out and stored == ("REG_DWORD", comid),
                       "config-" + action, "expected the dialog, %r and COMID %s; got %s, exit %s %r, COMID %s %s" %
                       (answer, comid, p.stdout.strip(), proc.returncode, out, stored, err[-200:]))
        self.ctl("port", "1", driver=False)

    def all(self):
        if not os.path.exists(self.exe):
            self.check(False, "built", "missing %s" % self.exe)
            return
        sim = Sim(self.address)
        try:
            self.list_devices()
            self.port()
            self.send(sim)
            self.send_long(sim)
            self.play(sim)
            self.play_stopped(sim)
            self.refusals(sim)
            self.dump(sim)
            self.selftest(sim)
            self.identity(sim)
            self.com12(sim)
            self.install()
            self.tables()
            self.config()
        finally:
            sim.ask("ECHO OFF")
            sim.close()


def run_ctl(tag, loader, env, build, root, work, address, report, suite=CtlSuite):
    started = time.time()
    try:
        suite(tag, loader, env, build, root, work, address, report).all()
    except Exception as e:  # a broken check must not take the suite's count down with it
        report("FAIL", "%s.%s.completed" % (tag, suite.GROUP), "%s: %s" % (type(e).__name__, e))
    print("INFO %s.%s took %.1f s" % (tag, suite.GROUP, time.time() - started), flush=True)
