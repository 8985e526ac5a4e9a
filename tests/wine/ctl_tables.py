"""The Drivers32 tables of real machines (issue 19) and the check that runs
install, install --reclaim, doctor and uninstall against each of them in
both registry views (the rows table-NAME-STEP of the tolvexctl group).
"""
import os
import shutil

from ctl_lab import CTL_TIMEOUT, DESCRIPTION, KEY_DESC, KEY_DRIVERS32, KEY_SERVICE
from winelab import run

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


class TableChecks:
    """Mixed into CtlSuite: uses its registry and run helpers (ctl_lab.CtlLab)."""

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
                    # COM9 leads nowhere in the suite's prefix: Wine opens a
                    # placeholder for it, which answers as no serial port.
                    ctl("port", "9")
                    d = ctl("doctor")
                    words = strays + ["port: COM9 opens but answers as no serial port"]
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
