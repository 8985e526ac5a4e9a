"""tolvexctl under Wine: each command run as a person would run it (with
--driver, since Wine's winmm loads no third-party driver), against the module
simulator, checked by what reaches the wire, the registry and the files.
The checks of what it stores and installs are ctl_setup.py's and
ctl_tables.py's, those of share and status ctl_share.py's, on ctl_lab.py's
helpers. ctl_mapper.py runs the device commands again on the winmm road.
Called by run_suite.py inside its prefix, simulator and X server; reports
"PASS/FAIL wine64.ctl.<check>" through the suite's report().

Every wait has a time limit: a hung tolvexctl fails its check.
"""
import os
import re
import signal
import subprocess
import time

from ctl_lab import RESET, CtlLab, Sim, smf  # noqa: F401 (Sim: for ctl_mapper.py and the release check)
from ctl_setup import SetupChecks
from ctl_share import ShareChecks
from ctl_tables import TableChecks

TIMING_TOLERANCE_MS = 40  # the machine is shared with builds; the schedule is absolute, so errors do not add up

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
PROGRESS_WAIT = 45  # s for a held send's progress line; the process itself has 60
# Ten seconds of notes, one every 100 ms at 96 ticks and 500 ms a quarter.
LONG_PLAY_FILE = smf(0, 96, [[(0 if k == 0 else 19, bytes([0x90 if k % 2 == 0 else 0x80, 0x3c, 0x40 if k % 2 == 0 else 0]))
                              for k in range(100)]])


class CtlSuite(CtlLab, SetupChecks, TableChecks, ShareChecks):
    def list_devices(self):
        r = self.ctl("list")
        self.check(r.returncode == 0 and "out 0: VeldorNT MIDI Out" in r.stdout and "in 0: VeldorNT MIDI In" in
                   r.stdout, "list", "expected exit 0 and both devices, got %d: %s %s" % (r.returncode, r.stdout[-300:],
                                                                                         r.stderr[-200:]))

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
        started = time.time()
        try:
            # Room for a slow start of the Wine process: once, in a fresh root, nothing came before this wait ended.
            progress = self.until(proc, "/ %d bytes" % total, PROGRESS_WAIT)
            waited = "progress after %.1f s" % (time.time() - started) if progress else \
                "no progress, %s after %.1f s" % ("ended" if proc.poll() is not None else "running",
                                                  time.time() - started)
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
                   "expected progress, exit 130, the dump cut after whole pieces, F7, two resets; got %s, "
                   "exit %s, %d bytes ending %s, %r %s" % (waited, code, len(wire) // 2, wire[-80:], out[-300:],
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
            self.share(sim)
            self.ports()
            self.port_bad_values()
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
