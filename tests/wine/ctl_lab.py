"""What the tolvexctl checks under Wine stand on: the module simulator's
control channel, MIDI files made up on the spot, and CtlLab, which runs
tolvexctl (and reg, regedit) in the suite's prefix with a time limit on
every run and reads the registry back. The checks are ctl_suite.py's,
ctl_setup.py's and ctl_tables.py's.
"""
import os
import re
import socket
import subprocess
import sys
import time

import ctl_inf

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from winelab import run, winpath  # noqa: E402

CTL_TIMEOUT = 30  # s for one tolvexctl run
KEY_DEVICE0 = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0"
KEY_DRIVERS32 = "HKLM\\" + ctl_inf.DRIVERS32
KEY_DESC = "HKLM\\" + ctl_inf.DESC
KEY_SERVICE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver"
KEY_PARAMS = KEY_SERVICE + "\\Parameters"  # the ports' keys, Device0 ...
RESET = "".join("b%x4000b%x7b00" % (c, c) for c in range(16))  # what the output close sends
DESCRIPTION = "Tolvex serial MIDI driver"  # drivers.desc


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


class CtlLab:
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
