"""tools/soak's runs of several programs on COM1 shared, each a process of
the soak host: latency beside the exclusive port's, a soak of n programs at
the line rate both ways with each program's stream found on the line, open
and close rounds, and the CPU time a minute of every process involved
(hosts, the owner, the Wine server), read from /proc.
"""
import os
import re
import subprocess
import threading
import time
import zlib

LOADER = "/usr/lib/wine/wine64"
BARRIERS = ("READY", "WARM", "DONE")  # a host says one and waits; all are told to go once all have said it
TICK = os.sysconf("SC_CLK_TCK")
OWN_MAKER = 0x70  # program k's exclusive messages start F0 70+k (shared.cpp)


def prefix_pids(prefix, pattern):
    """Processes of this prefix whose command line matches pattern."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("WINEPREFIX=" + prefix).encode() not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if re.search(pattern, cmd):
            found.append(int(pid))
    return found


def wait_owner_gone(prefix, timeout=10):
    """A shared run's owner ends about 2 s after its last program: under Wine it would
    otherwise go on reading the port beside the next run's program."""
    deadline = time.monotonic() + timeout
    while prefix_pids(prefix, r"rundll32\.exe.*PortOwner") and time.monotonic() < deadline:
        time.sleep(0.2)


def cpu_ms(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000.0 / TICK
    except OSError:
        return None


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            m = re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M)
        return int(m.group(1)) if m else None
    except OSError:
        return None


class Watch:
    """CPU time of the hosts, the owner and the server over a window, and the owner's memory."""

    def __init__(self, prefix, server):
        self.prefix, self.server = prefix, server
        self.start, self.rss = {}, []

    def pids(self):
        return {"hosts": prefix_pids(self.prefix, r"tolvex_soak_host\.exe"),
                "owner": prefix_pids(self.prefix, r"rundll32\.exe.*PortOwner"),
                "server": [int(self.server)] if self.server else []}

    def begin(self):
        self.t0 = time.monotonic()
        self.start = {k: {p: cpu_ms(p) for p in v} for k, v in self.pids().items()}

    def sample_owner(self):
        for p in self.pids()["owner"]:
            self.rss.append((time.monotonic(), p, rss_kb(p)))

    def end(self):
        """CPU ms a minute of each kind over the window: only processes that lived through it."""
        minutes = (time.monotonic() - self.t0) / 60
        out = {}
        for kind, pids in self.pids().items():
            total = 0.0
            for p in pids:
                a, b = self.start.get(kind, {}).get(p), cpu_ms(p)
                if a is not None and b is not None:
                    total += b - a
            out[kind] = total / minutes
        return out


class Programs:
    """n hosts in one mode, started together and held at each barrier until all reach it."""

    def __init__(self, env, host, dll, mode, seconds, n, winpath, extra=None, rt=(), before_go=None):
        self.procs, self.lines, self.said = [], [[] for _ in range(n)], [[] for _ in range(n)]
        self.before_go = before_go  # called with the barrier's word once all have said it
        self.lock = threading.Condition()
        for k in range(n):
            e = dict(env, TOLVEX_PROGRAM=str(k), TOLVEX_PROGRAMS=str(n), **(extra or {}))
            p = subprocess.Popen(list(rt) + ["timeout", str(int(seconds) + 300), LOADER, host, mode, str(seconds),
                                             winpath(dll)], env=e, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True)
            self.procs.append(p)
            threading.Thread(target=self.read, args=(k,), daemon=True).start()

    def read(self, k):
        for line in self.procs[k].stdout:
            line = line.rstrip("\r\n")
            with self.lock:
                self.lines[k].append(line)
                if line in BARRIERS:
                    self.said[k].append(line)
                    if all(len(s) == len(self.said[k]) for s in self.said):
                        if self.before_go:
                            self.before_go(line)
                        for p in self.procs:
                            p.stdin.write("go\n")
                            p.stdin.flush()
                self.lock.notify_all()

    def all_said(self, word, timeout):
        deadline = time.monotonic() + timeout
        with self.lock:
            while not all(word in s for s in self.lines) and time.monotonic() < deadline:
                self.lock.wait(0.5)
            return all(word in s for s in self.lines)

    def wait(self, timeout):
        for p in self.procs:
            try:
                p.wait(max(1, timeout))
            except subprocess.TimeoutExpired:
                p.kill()
        time.sleep(0.2)
        return self.lines


def demux(wire, n):
    """Each program's messages on the line, status written out, real time left out:
    (bytes, CRC-32) per program, and the bytes that no program's message holds."""
    per, crc = [0] * n, [0] * n
    stray, running, i, size = 0, 0, 0, len(wire)
    lengths = {0xC0: 2, 0xD0: 2}
    while i < size:
        b = wire[i]
        if b >= 0xF8:
            i += 1
            continue
        if b == 0xF0:
            j = i + 1
            body = bytearray([b])
            while j < size and (wire[j] < 0x80 or wire[j] >= 0xF8):
                if wire[j] < 0x80:
                    body.append(wire[j])
                j += 1
            k = body[1] - OWN_MAKER if len(body) > 1 else -1
            if j < size and wire[j] == 0xF7 and 0 <= k < n:
                body.append(0xF7)
                crc[k] = zlib.crc32(bytes(body), crc[k])
                per[k] += len(body)
                i = j + 1
            else:
                stray += j - i
                i = j
            running = 0
            continue
        if b >= 0x80:
            running = b if b < 0xF0 else 0
            i += 1
            continue
        need = lengths.get(running & 0xF0, 3) - 1
        data = []
        while i < size and len(data) < need and (wire[i] < 0x80 or wire[i] >= 0xF8):
            if wire[i] < 0x80:
                data.append(wire[i])
            i += 1
        k = running & 0x0F
        if running and len(data) == need and k < n:
            msg = bytes([running] + data)
            crc[k] = zlib.crc32(msg, crc[k])
            per[k] += len(msg)
        else:
            stray += len(data)
    return [(per[k], crc[k]) for k in range(n)], stray


def fetch_wire(ask):
    """Everything the module received since CLEAR, in pieces the control line carries."""
    total = int(ask("RECV").split()[1])
    wire, piece = bytearray(), 65536
    for off in range(0, total, piece):
        wire += bytes.fromhex(ask("DUMP %d %d" % (off, min(piece, total - off)))[5:])
    return bytes(wire)


LATENCY_FIGURES = [("output", r"output latency over \d+ messages: median ([\d.]+) ms, 99th percentile ([\d.]+) ms, "
                              r"max ([\d.]+) ms"),
                   ("input", r"input latency over \d+ messages: min [\d.]+ ms, median ([\d.]+) ms, 99th percentile "
                             r"([\d.]+) ms, max ([\d.]+) ms")]


def latency_figures(lines):
    """{"output": (p50, p99, max), "input": (...)} from a latency run's INFO lines."""
    out = {}
    for line in lines:
        for name, pattern in LATENCY_FIGURES:
            m = re.search(pattern, line)
            if m:
                out[name] = tuple(float(x) for x in m.groups())
    return out


def report_lines(report, label, lines, mode):
    """A host's PASS/FAIL lines counted under label, its INFO lines shown; whether it ended."""
    ended = False
    for line in lines:
        m = re.match(r"(PASS|FAIL) (\S+)(?:: (.*))?$", line)
        if m:
            report(m.group(1), label + m.group(2)[len(mode):], m.group(3) or "")
        elif line.startswith("INFO "):
            print("INFO %s %s" % (label, line[5:]), flush=True)
        ended = ended or line == "END " + mode
    if not ended:
        report("FAIL", label + ".completed", "no END %s: %s" % (mode, " | ".join(lines[-3:])))
    return ended


def shared_latency(run_mode, env, host, dll, winpath, rounds, rt, report, prefix):
    """Exclusive, shared by one program, shared by four (three others holding both devices, their inputs
    taking every byte, their outputs quiet), alternating, rounds times; a table of the medians of the rounds."""
    rows = {}
    for _ in range(rounds):
        for label, shared, others in (("exclusive", "0", 0), ("shared-1", "1", 0), ("shared-4", "1", 3)):
            e = dict(env, TOLVEX_SHARED=shared)
            holders = Programs(e, host, dll, "hold", 0, others, winpath, rt=rt) if others else None
            if holders and not holders.all_said("HOLDING", 60):
                report("FAIL", "sharedlatency.%s.holders" % label, "the other programs did not open")
            lines = run_mode(e, host, dll, "latency", 0, rt, "sharedlatency.%s" % label)
            if holders:
                for p in holders.procs:
                    p.stdin.write("go\n")
                    p.stdin.flush()
                for k, hl in enumerate(holders.wait(30)):
                    report_lines(report, "sharedlatency.%s.holder%d" % (label, k), hl, "hold")
            for name, v in latency_figures(lines).items():
                rows.setdefault((label, name), []).append(v)
            wait_owner_gone(prefix)
    print("INFO sharedlatency over %d round(s), each figure the median of the rounds' own, in ms" % rounds, flush=True)
    print("INFO | latency | exclusive p50 / p99 / max | shared, 1 program | shared, 4 programs |", flush=True)
    for name in ("output", "input"):
        cells = []
        for label in ("exclusive", "shared-1", "shared-4"):
            v = rows.get((label, name), [])
            cells.append(" / ".join("%.2f" % sorted(x[i] for x in v)[len(v) // 2] for i in range(3)) if v else "-")
        print("INFO | %s | %s |" % (name, " | ".join(cells)), flush=True)


def shared_soak(env, host, dll, winpath, seconds, n, prefix, server, ask, report, rt=(), label="sharedsoak"):
    """n programs at the line rate both ways between them; each program's output found whole on the line,
    every input checked by the program; CPU time a minute and the owner's memory. Returns the CPU figures."""
    ask("CLEAR")
    watch, wire = Watch(prefix, server), []

    def before_go(word):
        if word == "DONE":  # every program's output is in, and no close has put its reset on the line yet
            time.sleep(0.5)
            wire.append(fetch_wire(ask))

    progs = Programs(dict(env, TOLVEX_SHARED="1"), host, dll, "soak", seconds, n, winpath, rt=rt, before_go=before_go)
    if not progs.all_said("READY", 120):
        report("FAIL", label + ".ready", "not every program opened")
    time.sleep(min(10, seconds / 5))
    watch.begin()
    deadline = time.monotonic() + seconds * 0.8
    while time.monotonic() < deadline:
        watch.sample_owner()
        time.sleep(min(10, seconds / 10))
    cpu = watch.end()
    outputs = {}
    for k, lines in enumerate(progs.wait(seconds + 120)):
        report_lines(report, "%s.p%d" % (label, k), lines, "soak")
        for line in lines:
            m = re.match(r"OUTPUT (\d+) (\d+) ([0-9a-f]+)$", line)
            if m:
                outputs[int(m.group(1))] = (int(m.group(2)), int(m.group(3), 16))
    found, stray = demux(wire[0] if wire else b"", n)
    print("INFO %s output found on the line, bytes of each program: %s" %
          (label, ", ".join(str(b) for b, _ in found)), flush=True)
    for k in range(n):
        sent = outputs.get(k)
        report("PASS" if sent == found[k] else "FAIL", "%s.p%d.output-whole-on-the-line" % (label, k),
               "" if sent == found[k] else "sent %s (bytes, CRC), found %s" % (sent, found[k]))
    report("PASS" if stray == 0 else "FAIL", label + ".nothing-stray", "%d bytes on the line in no message" % stray)
    rss = [r for _, _, r in watch.rss if r]
    print("INFO %s the owner's resident memory: %s KB" % (label, " ".join(str(r) for r in rss)), flush=True)
    print("INFO %s CPU ms a minute: hosts %.0f, owner %.0f, wineserver %.0f" %
          (label, cpu["hosts"], cpu["owner"], cpu["server"]), flush=True)
    return cpu


def shared_rounds(env, host, dll, winpath, total, n, report, rt=()):
    """total open and close rounds of both devices, spread over n programs at once."""
    progs = Programs(dict(env, TOLVEX_SHARED="1"), host, dll, "rounds", total // n, n, winpath, rt=rt)
    for k, lines in enumerate(progs.wait(600)):
        report_lines(report, "sharedrounds.p%d" % k, lines, "rounds")
