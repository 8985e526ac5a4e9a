"""tolvexctl's winmm road under Wine: the commands that reach the devices
(list, send, play, dump, identity, and a long send and a play stopped with
Ctrl-C) run with --device mapper, so that winmm's own midiOut*/midiIn* calls
carry them. Wine's winmm loads no driver from
Drivers32, only its MIDI mapper; the stand-in mapper (tests/wine/midimap.cpp)
takes its place in the prefix's system32 for this group and hands every call
to TOLVEX.dll's device 0. The checks and their expectations are the --driver
group's (ctl_suite.py): the same wire bytes, timing, input and reply.
"""
import os
import shutil

from ctl_lab import KEY_DEVICE0
from ctl_suite import CtlSuite, Sim
from winelab import run, winpath

KEY_DEVICE1 = KEY_DEVICE0[:-1] + "1"


class MapperSuite(CtlSuite):
    GROUP = "mapper"

    def __init__(self, tag, loader, env, build, root, work, address, report):
        super().__init__(tag, loader, env, build, root, work, address, report)
        self.mapper = os.path.join(build, "tests", "wine", "midimap.dll")
        self.system_mapper = os.path.join(self.prefix, "drive_c", "windows", "system32", "midimap.dll")
        self.env = dict(env, WINEDLLOVERRIDES=env.get("WINEDLLOVERRIDES", "") + ";midimap=n",
                        TOLVEX_MAPPER_DLL=winpath(self.dll))

    def road(self):
        return ["--device", "mapper"]

    def ctl(self, *args, **kw):
        r = super().ctl(*args, **kw)
        # Wine's ALSA driver loads with winmm and complains of the missing sound card.
        r.stderr = "".join(l for l in r.stderr.splitlines(True) if not l.startswith("ALSA lib"))
        return r

    def list_devices(self):
        r = self.ctl("list")
        self.check(r.returncode == 0 and "out mapper: VeldorNT MIDI Out" in r.stdout and
                   "in mapper: VeldorNT MIDI In" in r.stdout, "list",
                   "expected exit 0 and both devices as winmm's mapper, got %d: %s %s" %
                   (r.returncode, r.stdout[-300:], r.stderr[-200:]))

    def list_ports(self):
        """Two ports, port 0 named: winmm still takes the mapper whose count
        is 2, and names device 0 by the stored name."""
        self.reg_set(KEY_DEVICE1, "COMID", "2", kind="REG_DWORD")
        self.reg_set(KEY_DEVICE0, "Name", "Desk module")
        try:
            r = self.ctl("list")
        finally:
            run(["timeout", "30", self.loader, "reg", "delete", KEY_DEVICE1, "/f"], 40, self.env)
            self.reg_delete(KEY_DEVICE0, "Name")
        self.check(r.returncode == 0 and "out mapper: Desk module" in r.stdout and "in mapper: Desk module" in r.stdout,
                   "list-ports", "expected exit 0 and device 0 of two ports by its stored name, \"Desk module\", "
                   "as winmm's mapper, got %d: %s %s" % (r.returncode, r.stdout[-300:], r.stderr[-200:]))

    def all(self):
        if not os.path.exists(self.exe) or not os.path.exists(self.mapper):
            self.check(False, "built", "missing %s or %s" % (self.exe, self.mapper))
            return
        # It can stay there: without the override Wine loads its builtin mapper.
        shutil.copyfile(self.mapper, self.system_mapper)
        sim = Sim(self.address)
        try:
            self.list_devices()
            self.list_ports()
            self.send(sim)
            self.send_long(sim)
            self.play(sim)
            self.play_stopped(sim)
            self.dump(sim)
            self.identity(sim)
        finally:
            sim.close()
