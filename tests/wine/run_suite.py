#!/usr/bin/env python3
"""The real-platform suite: TOLVEX.dll as built, checked statically (exports,
imports, entry point, versions, resources) and run under Wine against the
module simulator on pseudo-terminals mapped as COM1 to COM4 (COM2 to COM4
only for the groups of several ports).

    run_suite.py --root SRC --win64 BUILD64 --win32 BUILD32 --work WORKDIR

Prints one "PASS name", "FAIL name: why" or "SKIP name: why" line per check
and ends with "wine: N passed, N failed, N skipped". Every Wine command and
every wait has a time limit, so a hang fails a check instead of the run.
After each group of the test host the module simulator's lines are restored
(RESTORE), whatever the group left them in.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import winelab  # noqa: E402
import ctl_mapper  # noqa: E402
import ctl_suite  # noqa: E402
import image_checks  # noqa: E402
from winelab import run, start_xvfb, wine_env, winpath  # noqa: E402

WINE_TIMEOUT = 60  # s for one group of the test host
GROUP_TIMEOUTS = {"unloadrounds": 90, "unloadatonce": 120, "closerounds": 90, "sharing": 150}  # s for the groups of many rounds
GROUPS = ["load", "resources", "noport", "attachport", "driverproc", "output", "input", "inputmode", "shared", "unload", "unwind",
          "unloadrounds", "unloadatonce", "closerounds", "lostport", "ports", "twoports",
          "sharing"]
GUI_GROUPS = ["configure", "wrongversion"]
CTL_GROUPS = ["tolvexctl", "mapper"]  # tolvexctl's commands (ctl_suite.py), and on the winmm road (ctl_mapper.py)
CTL_SUITES = {"tolvexctl": ctl_suite.CtlSuite, "mapper": ctl_mapper.MapperSuite}
WIN98_HOST = "tolvex_wine_host_win98.exe"  # the prefix reports Windows 98 to this name

counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}


def report(kind, name, why=""):
    counts[kind] += 1
    print("%s %s%s" % (kind, name, (": " + why) if why else ""), flush=True)


def check(ok, name, why):
    report("PASS" if ok else "FAIL", name, "" if ok else why)


# ---------------------------------------------------------------- Wine

def make_prefix(loader, prefix, work):
    """Once per build tree: a prefix whose COM1 to COM4 are the simulator's
    links, so that no test reaches a real port (COM2 to COM4 lead nowhere
    while their lines are unplugged)."""
    ports = {"COM%d" % n: os.path.join(work, "com%d" % n) for n in range(1, 5)}
    return winelab.make_prefix(loader, prefix, ports, [
        ("HKCU\\Software\\Wine\\X11 Driver", "Managed", "N"),
        ("HKCU\\Software\\Wine\\AppDefaults\\" + WIN98_HOST, "Version", "win98")])


def start_modsim(root, work, prefix):
    """The simulator on COM1, and on COM2 to COM4 unplugged: a group that
    needs more ports plugs them, RESTORE unplugs them."""
    proc = subprocess.Popen([sys.executable, os.path.join(root, "tools", "modsim.py"), "--link",
                             os.path.join(work, "com1"), "--control", "0", "--dosdevice",
                             os.path.join(prefix, "dosdevices", "com1"), "--lines", "4"], stdout=subprocess.PIPE,
                            text=True)
    deadline = time.time() + 15
    while time.time() < deadline:
        line = proc.stdout.readline()
        m = re.search(r"control (127\.0\.0\.1:\d+)", line or "")
        if m:
            proc.stdout.readline()  # the port line
            return proc, m.group(1)
        if proc.poll() is not None:
            break
    proc.kill()
    return None, None


def run_group(tag, loader, env, host, dll, group):
    started = time.time()
    limit = GROUP_TIMEOUTS.get(group, WINE_TIMEOUT)
    r = run(["timeout", str(limit), loader, host, group, winpath(dll)], limit + 10, env)
    print("INFO %s.%s took %.1f s" % (tag, group, time.time() - started), flush=True)
    lines = r.stdout.splitlines()
    seen_end = False
    for line in lines:
        m = re.match(r"(PASS|FAIL|SKIP) (\S+)(?:: (.*))?$", line)
        if m:
            report(m.group(1), "%s.%s" % (tag, m.group(2)), m.group(3) or "")
        elif line.startswith("INFO "):
            print("INFO %s.%s" % (tag, line[5:]), flush=True)
        elif line == "END " + group:
            seen_end = True
    if not seen_end or r.returncode not in (0, 1):
        report("FAIL", "%s.%s.completed" % (tag, group),
               "exit %d without finishing (crash or hang): %s" % (r.returncode, (r.stderr or "")[-300:]))


def restore_line(tag, group, address):
    """The module's line as at the start, whatever the group left behind (a
    stream, an unplugged line, unread bytes): later groups depend on it."""
    try:
        sim = ctl_suite.Sim(address)
        answer = sim.ask("RESTORE")
        sim.close()
    except OSError as e:
        answer = str(e)
    if answer != "OK":
        report("FAIL", "%s.%s.line-restored" % (tag, group), "expected RESTORE to answer OK, got %s" % answer)


def wine_suite(tag, arch, loader, dll, host, root, work):
    r = run([loader, "--version"], 20)
    if r.returncode != 0:
        why = "%s cannot run here: %s" % (loader, (r.stderr.strip() or "exit %d" % r.returncode)[-200:])
        for g in GROUPS + GUI_GROUPS + CTL_GROUPS:
            report("SKIP", "%s.%s" % (tag, g), why)
        return
    prefix = os.path.join(work, "prefix" + ("64" if arch == "x86_64" else "32"))
    started = time.time()
    ok, how = make_prefix(loader, prefix, work)
    print("INFO %s prefix %s in %.0f s" % (tag, how if ok else "failed", time.time() - started), flush=True)
    check(ok, tag + ".prefix", how)
    if not ok:
        return
    modsim, address = start_modsim(root, work, prefix)
    check(modsim is not None, tag + ".modsim", "the module simulator did not start")
    if not modsim:
        return
    base_env = wine_env(prefix, {"TOLVEX_MODSIM": address})
    xvfb = None
    try:
        # Dialogs need an X server; Wine's desktop process, started below,
        # takes the display it finds then, so every group runs with it.
        xvfb, display = start_xvfb()
        if xvfb:
            base_env["DISPLAY"] = display
        # One server and one set of Wine's own processes for the whole run,
        # started with no pipes of ours: each group's output then ends when
        # its process does.
        server = subprocess.Popen(["wineserver", "-p"], env=base_env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            server.wait(10)  # it leaves a daemon behind
        except subprocess.TimeoutExpired:
            pass
        subprocess.run(["timeout", "60", loader, "cmd", "/c", "exit"], env=base_env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=70)
        for g in GROUPS:
            run_group(tag, loader, base_env, host, dll, g)
            restore_line(tag, g, address)
        for g in GUI_GROUPS:
            if not xvfb:
                report("FAIL", "%s.%s" % (tag, g), "no X server (Xvfb) for the dialogs")
            elif g == "wrongversion":
                win98 = os.path.join(os.path.dirname(host), WIN98_HOST)
                shutil.copyfile(host, win98)
                run_group(tag, loader, base_env, win98, dll, g)
            else:
                run_group(tag, loader, base_env, host, dll, g)
        for g in CTL_GROUPS:
            ctl_suite.run_ctl(tag, loader, base_env, os.path.dirname(os.path.dirname(dll)), root, work, address,
                              report, CTL_SUITES[g])
    finally:
        run(["timeout", "30", "wineserver", "-k"], 40, base_env)
        if xvfb:
            winelab.stop(xvfb)
        winelab.stop(modsim)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--win64", required=True)
    ap.add_argument("--win32", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--groups", help="comma-separated groups of the test host to run (default: all)")
    args = ap.parse_args()
    if args.groups:
        wanted = args.groups.split(",")
        GROUPS[:] = [g for g in GROUPS if g in wanted]
        GUI_GROUPS[:] = [g for g in GUI_GROUPS if g in wanted]
        CTL_GROUPS[:] = [g for g in CTL_GROUPS if g in wanted]
    root, work = os.path.abspath(args.root), os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    started = time.time()
    # The sharing group's programs are of both builds where both run: named only then,
    # so that a program of the other build that fails to start is a failure.
    for bits, build, loader in (("64", args.win64, "/usr/lib/wine/wine64"), ("32", args.win32, "/usr/lib/wine/wine")):
        if run([loader, "--version"], 20).returncode != 0:
            continue
        os.environ["TOLVEX_HOST" + bits] = winpath(os.path.join(build, "tests", "wine", "tolvex_wine_host.exe"))
        os.environ["TOLVEX_DLL" + bits] = winpath(os.path.join(build, "driver", "TOLVEX.dll"))
    for tag, arch, build, loader in [("wine64", "x86_64", args.win64, "/usr/lib/wine/wine64"),
                                     ("wine32", "i686", args.win32, "/usr/lib/wine/wine")]:
        built = image_checks.static_checks(tag, arch, os.path.abspath(build), root, report, check)
        if built:
            wine_suite(tag, arch, loader, built[0], built[1], root, work)
    print("wine: took %.0f s" % (time.time() - started))
    print("wine: %d passed, %d failed, %d skipped" % (counts["PASS"], counts["FAIL"], counts["SKIP"]))
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
