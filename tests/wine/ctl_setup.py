"""The tolvexctl checks of what it stores and installs: port and latency
(and stored values that are no port), the ports added, changed and removed,
a port above COM9 and a second port's devices, install and uninstall against
the INF's names, and the setup dialog through config.
"""
import os
import re
import subprocess
import sys

import ctl_inf
from ctl_lab import KEY_DESC, KEY_DEVICE0, KEY_DRIVERS32, KEY_PARAMS, RESET, Sim
from winelab import run, stop, winpath


class SetupChecks:
    """Mixed into CtlSuite: uses its registry and run helpers (ctl_lab.CtlLab)."""

    def port(self):
        r = self.ctl("port", "3", driver=False)
        value = self.reg(KEY_DEVICE0, "COMID")
        self.check(r.returncode == 0 and value == ("REG_DWORD", "0x3"), "port-stores-comid",
                   "expected exit 0 and COMID REG_DWORD 0x3, got %d and %s" % (r.returncode, value))
        r = self.ctl("port", driver=False)
        row = re.findall(r"^0 .*$", r.stdout, re.M)
        self.check(r.returncode == 0 and row and row[0].split()[:4] == ["0", "COM3", "38400", "standard"],
                   "port-shows-comid", "expected port 0 on COM3 at 38400, standard, got %r" % r.stdout)
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

    def ports(self):
        """port add, port N --speed/--name/--latency and port remove: the keys
        they leave behind; a refusal leaves them as they were and says why.
        The names port shows are those the driver gives its devices."""
        board, module = {"COMID": 9, "Baud": 115200, "Name": "Synth board"}, {"COMID": 11, "Baud": 31250}
        moved = dict(module, Baud=57600, LowLatency=1)
        base = {"Device0": {"COMID": 1}}
        steps = [  # (port's arguments, exit, what it says, the device keys afterwards; None: as they were)
            (("add", "COM9", "--speed", "115200", "--name", "Synth board"), 0, "added port 1",
             dict(base, Device1=board)),
            (("add", "COM11", "--speed", "31250"), 0, "added port 2", dict(base, Device1=board, Device2=module)),
            (("2", "--speed", "57600", "--latency", "low"), 0, "changed port 2",
             dict(base, Device1=board, Device2=moved)),
            (("add", "COM11", "--speed", "0"), 2, "0 bit/s is no speed", None),
            (("add", "COM11", "--speed", "96"), 2, "reads 96 as 9600 bit/s", None),
            (("add", "COM11", "--speed", "3000000000"), 2, "more than the 2147483647 bit/s", None),
            (("1", "--name", "x" * 32), 2, "at most 31 characters", None),
            (("7", "--speed", "31250"), 1, "no port 7: there are ports 0 to 2", None),
            (("remove", "7"), 1, "no port 7", None),
            ("names", 0, "", None),
            (("remove", "1"), 0, "port 2 is now port 1", dict(base, Device1=moved)),
            (("remove", "0"), 0, "port 1 is now port 0", {"Device0": moved}),
        ]
        self.clear_ports()
        want, ok, why = base, True, ""
        try:
            for args, code, says, keys in steps:
                if args == "names":
                    ok, why = self.port_names()
                else:
                    r = self.ctl("port", *args, driver=False)
                    want = keys or want
                    got = {k: v for k, v in self.reg_tree(KEY_PARAMS, 64).items() if k}
                    ok = r.returncode == code and says in r.stdout + r.stderr and got == want
                    why = "port %s: expected exit %d, %r and %s; got %d, %s: %s" % (
                        " ".join(args)[:60], code, says, want, r.returncode, got, (r.stdout + r.stderr)[-300:])
                if not ok:
                    break
            self.check(ok, "port-add-change-remove", why)
        finally:
            self.clear_ports()

    def port_names(self):
        """port's rows (number, COM, speed, input mode, names) against the devices the driver shows."""
        r = self.ctl("port", driver=False)
        rows = [(l.split()[:4], re.findall(r'"([^"]*)"', l)) for l in r.stdout.splitlines() if re.match(r"\d+ ", l)]
        shown = {k: dict(re.findall(r"^  %s (\d+): (.*?)  \[TOLVEX port" % k, self.ctl("list").stdout, re.M))
                 for k in ("out", "in")}
        driver = [[shown["out"].get(str(n)), shown["in"].get(str(n))] for n in range(len(rows))]
        want = [["0", "COM1", "38400", "standard"], ["1", "COM9", "115200", "standard"], ["2", "COM11", "57600", "low"]]
        names = [n * 2 if len(n) == 1 else n for _, n in rows]  # one name stands for both
        ok = [c for c, _ in rows] == want and names == driver and driver[1] == ["Synth board"] * 2 and \
            driver[2] == ["VeldorNT MIDI Out 3", "VeldorNT MIDI In 3"]
        return ok, "rows %s, names %s, the driver's %s" % ([c for c, _ in rows], names, driver)

    def port_bad_values(self):
        """Stored values the driver cannot use, written by hand: port, doctor
        and the devices of those ports say so and do not crash."""
        keys = {1: [("COMID", "REG_DWORD", "0"), ("Baud", "REG_DWORD", "0")],
                2: [("COMID", "REG_DWORD", "9"), ("Name", "REG_SZ", "x" * 300), ("Baud", "REG_SZ", "9600")],
                3: [("COMID", "REG_SZ", "11")], 4: [("COMID", "REG_DWORD", "11")]}
        self.clear_ports()
        try:
            for n, values in keys.items():
                for name, kind, data in values:
                    self.reg_set("%s\\Device%d" % (KEY_PARAMS, n), name, data, kind=kind)
            p, d = self.ctl("port", driver=False), self.ctl("doctor", driver=False)
            l, s1, s3 = self.ctl("list"), self.ctl("send", "--port", "1", "90 3c 40"), \
                self.ctl("send", "--port", "3", "90 3c 40")
            said = {"port": p.stdout, "doctor": d.stdout, "send --port 1": s1.stderr, "send --port 3": s3.stderr}
            words = {"port": ["port 1: the stored value 0 is not a port", "port 1: a stored speed of 0 is none",
                              "port 2: Baud is not a REG_DWORD", "port 2: the stored name is too long",
                              "Device3, Device4 are not read", '"VeldorNT MIDI Out 3", "VeldorNT MIDI In 3"'],
                     "doctor": ["problem  port 1: the stored value 0 is not a port", "port 2: COM9 opens but answers as no serial port",
                                "note     port 2: the stored name is too long"],
                     "send --port 1": ["cannot open the MIDI output"], "send --port 3": ["no port 3: the driver "
                                                                                          "serves 3 ports"]}
            missing = [w for k, ws in words.items() for w in ws if w not in said[k]]
            codes = [p.returncode, d.returncode, l.returncode, s1.returncode, s3.returncode]
            self.check(codes == [1, 1, 0, 1, 1] and "out 2: VeldorNT MIDI Out 3" in l.stdout and not missing,
                       "port-stored-values-the-driver-cannot-use",
                       "expected exits [1, 1, 0, 1, 1], the driver's third device by its default name and %s; got %s: "
                       "%s %s" % (missing, codes, p.stdout[-600:], d.stdout[-600:]))
        finally:
            self.clear_ports()

    def clear_ports(self):
        """Port 0 on COM1 again, and nothing else."""
        run(["timeout", "30", self.loader, "reg", "delete", KEY_PARAMS, "/f"], 40, self.env)
        self.ctl("port", "1", driver=False)

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
            self.second_port(sim1, sim12)
            sim12.close()
        finally:
            if os.path.islink(dos):
                os.unlink(dos)
            self.ctl("port", "1", driver=False)
            stop(proc)

    def second_port(self, sim1, sim12):
        """COM12 as port 1 beside COM1: --port 1 reaches device 1 in both
        directions (send, and selftest with the second simulator echoing),
        and port 0's devices stay on COM1."""
        self.ctl("port", "1", driver=False)
        try:
            a = self.ctl("port", "add", "COM12", "--speed", "115200", driver=False)
            sim1.ask("CLEAR")
            sim12.ask("CLEAR")
            s1, s0 = self.ctl("send", "--port", "1", "90", "3c", "40"), None
            wire12, wire1 = sim12.wire(), sim1.wire()
            s0 = self.ctl("send", "80", "3c", "00")
            wire1b, wire12b = sim1.wire(), sim12.wire()
            sim12.ask("ECHO ON")
            t = self.ctl("selftest", "--port", "1")
            sim12.ask("ECHO OFF")
            got = (a.returncode, s1.returncode, wire12, wire1, s0.returncode, wire1b, wire12b, t.returncode)
            want = (0, 0, "903c40" + RESET, "", 0, "803c00" + RESET, "903c40" + RESET, 0)
            self.check(got == want and "COM12 takes 115200 bit/s" in a.stdout and "selftest passed" in t.stdout,
                       "port-1-devices", "expected (exits, COM12, COM1, ...) %s and selftest passed, got %s: %s %s" %
                       (want, got, a.stdout[-200:], (s1.stderr + t.stdout)[-300:]))
        finally:
            self.ctl("port", "remove", "1", driver=False)

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

            self.ctl("port", "add", "COM9", driver=False)  # a second port, whose key uninstall takes too
            u = self.ctl("uninstall", driver=False)
            u32 = self.ctl("uninstall", "32", driver=False) if have_other and not on32 else None
            left = {"midi2": self.reg(KEY_DRIVERS32, "midi2"), "midi": self.reg(KEY_DRIVERS32, "midi"),
                    "desc": self.reg(KEY_DESC, "tolvex.dll")}
            want = {"midi2": None, "midi": ("REG_SZ", "other.dll"), "desc": None, "ports": {}}
            left["ports"] = self.reg_tree(KEY_PARAMS, 64)
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
