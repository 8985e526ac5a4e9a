"""tolvexctl share and status under Wine: the setting stored and listed,
and two programs (two tolvexctl dumps) on port 0 at once, each taking what
the module sends, as status shows them beside the owner process.
"""
import re
import time

from ctl_lab import KEY_DEVICE0

STATUS_WAIT = 15  # s for both dumps to be listed with the module's note taken


class ShareChecks:
    """Mixed into CtlSuite: uses its registry and run helpers (ctl_lab.CtlLab)."""

    def share(self, sim):
        on = self.ctl("share", "on", driver=False)
        stored = self.reg(KEY_DEVICE0, "Shared")
        row = re.findall(r"^0 .*$", self.ctl("port", driver=False).stdout, re.M)
        self.check(on.returncode == 0 and stored == ("REG_DWORD", "0x1") and "port 0 (COM1): shared" in on.stdout and
                   row and row[0].split()[4] == "yes", "share-on-stored-and-listed",
                   "expected exit 0, Shared REG_DWORD 0x1 and port's row saying yes, got %d, %s, %r %r" %
                   (on.returncode, stored, on.stdout, row))
        dumps = [self.start("dump", "--time", "8") for _ in range(2)]
        status, listed = "", False
        try:
            deadline, sent = time.time() + STATUS_WAIT, False
            while time.time() < deadline and not listed:
                status = self.ctl("status", driver=False).stdout
                programs = re.findall(r"^  \d+ +tolvexctl\.exe +- +(\d+)$", status, re.M)
                if len(programs) == 2 and not sent:
                    sim.ask("SEND 0 903c40")
                    sent = True
                listed = sent and programs == ["3", "3"]
                time.sleep(0.3)
        finally:
            results = [self.finish(d) for d in dumps]
        self.check(listed and "port 0 (COM1): shared" in status and re.search(r"owner: process \d+, rundll32\.exe",
                                                                               status),
                   "status-lists-owner-and-programs",
                   "expected port 0 shared, its rundll32.exe owner and both dumps with 3 bytes in, got %r" % status)
        got = [out for code, out, _ in results if code == 0 and re.search(r"\b90 3c 40\b", out)]
        self.check(len(got) == 2, "two-programs-take-the-note",
                   "expected both dumps to exit 0 with 90 3c 40, got %s" % [(c, o[-200:]) for c, o, _ in results])
        off = self.ctl("share", "off", driver=False)
        status = self.ctl("status", driver=False).stdout
        self.check(off.returncode == 0 and self.reg(KEY_DEVICE0, "Shared") == ("REG_DWORD", "0x0") and
                   "port 0 (COM1): not shared" in status, "share-off",
                   "expected exit 0, Shared 0x0 and status saying not shared, got %d, %r" % (off.returncode, status))
