#!/usr/bin/env python3
"""The release zip as a Windows user gets it. Two parts:

- reproducible: tools/release run in two clones of HEAD at different paths;
  the two zips must be the same bytes, hold no build path, and hold what
  the README and the INF promise, in their order, under the one version;
- installable: under Wine, in a fresh 64-bit prefix whose COM1 is the
  module simulator, the unpacked zip's tolvexctl.exe installs both DLLs,
  a note played through each installed DLL reaches the wire, and uninstall
  leaves no trace of the driver in the prefix's files or registry.

    run.py --root SRC --work DIR [--jobs N] [--zip ZIP]

--zip skips the builds and tests that zip's install. Prints "PASS name",
"FAIL name: why" or "SKIP name: why" lines and ends with "release: N
passed, N failed, N skipped". Every command has a time limit.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import ctl_inf  # noqa: E402
import ctl_suite  # noqa: E402
import run_suite  # noqa: E402
import winelab  # noqa: E402
from winelab import run, wine_env, winpath  # noqa: E402

RELEASE_TIMEOUT = 900  # s for one tools/release run (two presets from nothing: about a minute)
CTL_TIMEOUT = 60  # s for one tolvexctl run
ENTRIES = ["TOLVEX.dll", "TOLVEX32.dll", "tolvexctl.exe", "tolvexctl32.exe", "tolvex.inf", "README.txt", "SHA256SUMS"]
CLONES = ["clone-1", "clone-number-two"]  # different lengths too: a leaked path moves what follows it
NOTE_FILE = ctl_suite.smf(0, 96, [[(0, b"\x90\x3c\x40"), (96, b"\x80\x3c\x00")]])
NOTE_WIRE = "903c40803c00" + ctl_suite.RESET
DESCRIPTION = "Tolvex serial MIDI driver"

counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}


def report(kind, name, why=""):
    counts[kind] += 1
    print("%s release.%s%s" % (kind, name, (": " + why) if why else ""), flush=True)


def check(ok, name, why):
    report("PASS" if ok else "FAIL", name, "" if ok else why)


def project_version(root):
    m = re.search(r"^project\(tolvex VERSION (\S+?)[ )]", open(os.path.join(root, "CMakeLists.txt")).read(), re.M)
    return m.group(1) if m else None


# ---------------------------------------------------------------- reproducible

def build_in_clone(root, sha, clone, jobs):
    """(zip path or None, why)."""
    shutil.rmtree(clone, ignore_errors=True)
    r = run(["git", "clone", "-q", "--no-local", "--no-checkout", root, clone], 300)
    if r.returncode == 0:
        r = run(["git", "-C", clone, "checkout", "-q", "--detach", sha], 120)
    if r.returncode != 0:
        return None, "cannot clone %s at %s: %s" % (root, sha[:12], r.stderr[-300:])
    started = time.time()
    r = run([sys.executable, os.path.join(clone, "tools", "release"), "--jobs", str(jobs)], RELEASE_TIMEOUT)
    print("INFO release build in %s took %.0f s" % (os.path.basename(clone), time.time() - started), flush=True)
    m = re.search(r"^release: (\S+\.zip), ", r.stdout, re.M)
    if r.returncode != 0 or not m:
        return None, "tools/release failed (%d): %s" % (r.returncode, (r.stdout + r.stderr)[-600:])
    return m.group(1), ""


def entries(path):
    with zipfile.ZipFile(path) as z:
        return [(i.filename, z.read(i)) for i in z.infolist()]


def differences(a, b):
    """Where two zips differ: per entry, the first differing byte."""
    ea, eb = dict(entries(a)), dict(entries(b))
    out = []
    for name in sorted(set(ea) | set(eb)):
        x, y = ea.get(name), eb.get(name)
        if x is None or y is None:
            out.append("%s only in one" % name)
        elif x != y:
            first = next((i for i in range(min(len(x), len(y))) if x[i] != y[i]), min(len(x), len(y)))
            out.append("%s from byte %#x (%d and %d bytes)" % (name, first, len(x), len(y)))
    return out or ["the entries are the same; the zip's own fields differ"]


def reproducible(root, work, jobs):
    """Both clones' zips compared; the first one's path, or None."""
    sha = run(["git", "-C", root, "rev-parse", "HEAD"], 30).stdout.strip()
    if not sha:
        check(False, "built-twice", "%s is not a git checkout" % root)
        return None
    if run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no"], 30).stdout.strip():
        print("INFO the release builds are of HEAD %s; uncommitted changes are not in them" % sha[:12], flush=True)
    clones = [os.path.join(work, c) for c in CLONES]
    built = [build_in_clone(root, sha, c, jobs) for c in clones]
    zips = [z for z, _ in built]
    check(all(zips), "built-twice", "; ".join(why for _, why in built if why))
    if not all(zips):
        return zips[0]
    a, b = (open(z, "rb").read() for z in zips)
    print("INFO release zip %s: %d bytes, sha256 %s" % (os.path.basename(zips[0]), len(a),
                                                         hashlib.sha256(a).hexdigest()), flush=True)
    check(a == b, "reproducible", "the two zips differ: %s" % "; ".join(differences(*zips)))
    leaks = []
    for clone, z in zip(clones, zips):
        for form in (clone.encode(), clone.encode("utf-16-le")):
            leaks += ["%s holds %s" % (n, clone) for n, data in entries(z) if form in data]
    check(not leaks, "no-build-paths", "; ".join(sorted(set(leaks))))
    return zips[0]


def contents(root, path):
    """What the zip holds: the entries in order, their sums, the README for
    Windows in CRLF, and the one version in the zip's name, the README and
    the INF."""
    v = project_version(root)
    got = entries(path)
    names = [n for n, _ in got]
    data = dict(got)
    sums = {n: h for h, n in (line.split("  ", 1) for line in data.get("SHA256SUMS", b"").decode().splitlines())}
    wrong = [n for n in ENTRIES[:-1] if sums.get(n) != hashlib.sha256(data.get(n, b"")).hexdigest()]
    check(names == ENTRIES and not wrong and set(sums) == set(ENTRIES[:-1]), "contents",
          "expected %s with SHA256SUMS naming the others; got %s, sums wrong or missing for %s" %
          (ENTRIES, names, wrong))
    text = data.get("README.txt", b"")
    bare_lf = text.replace(b"\r\n", b"").count(b"\n")
    needs = [s for s in ("TOLVEX.DLL %s" % v, "tolvexctl install", "tolvexctl port", "tolvexctl uninstall",
                         '"VeldorNT MIDI Out"', '"VeldorNT MIDI In"', '"%s"' % DESCRIPTION) + tuple(ENTRIES)
             if s.encode() not in text]
    check(text.endswith(b"\r\n") and not bare_lf and not needs, "readme-txt",
          "expected CRLF line ends only and %s; %d bare LF, missing %s" % (v, bare_lf, needs))
    inf = data.get("tolvex.inf", b"").decode("utf-8", "replace")
    driver_ver = re.search(r"^DriverVer=[\d/]+,(\S+)", inf, re.M)
    readme = open(os.path.join(root, "README.md")).read()
    shown = {"zip name": os.path.basename(path) == "tolvex-%s-windows.zip" % v,
             "README.md": "tolvex-%s-windows.zip" % v in readme,
             "INF DriverVer": bool(driver_ver) and driver_ver.group(1) == v + ".0"}
    check(v and all(shown.values()), "one-version", "version %s not shown by %s" %
          (v, [k for k, ok in shown.items() if not ok]))


# ---------------------------------------------------------------- installable

def reg_values(env, key, view):
    r = run(["timeout", "30", winelab.WINE64, "reg", "query", key, "/reg:%d" % view], 40, env)
    return {m.group(1).lower(): m.group(3).strip() for m in
            re.finditer(r"^\s+(\S+)\s+(REG_\w+)\s+(.*)$", r.stdout, re.M)}


def traces(prefix):
    """Every file of the prefix and every line of its registry that names
    the driver (registry key times left out)."""
    files = sorted(os.path.relpath(os.path.join(d, f), prefix) for d, _, fs in os.walk(prefix) for f in fs
                   if "tolvex" in f.lower())
    lines = []
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(prefix, name)
        if os.path.exists(path):
            lines += [re.sub(r"\] \d+$", "]", l.rstrip("\n")) for l in open(path, encoding="utf-8", errors="replace")
                      if "tolvex" in l.lower()]
    return files, sorted(lines)


def stop_server(env):
    """The registry reaches its files when the prefix's server ends."""
    run(["timeout", "30", "wineserver", "-k"], 40, env)
    run(["timeout", "30", "wineserver", "-w"], 40, env)


def play_note(env, loader, ctl, dll, sim, work):
    note = os.path.join(work, "note.mid")
    with open(note, "wb") as f:
        f.write(NOTE_FILE)
    sim.ask("CLEAR")
    r = run(["timeout", str(CTL_TIMEOUT), loader, ctl, "--driver", dll, "play", winpath(note)], CTL_TIMEOUT + 10,
            env)
    return r, sim.wire(150)


def installable(root, work, path):
    r = run([winelab.WINE64, "--version"], 20)
    if r.returncode != 0:
        for name in ("prefix", "version-printed", "install", "play-64", "play-32", "uninstall"):
            report("SKIP", name, "64-bit Wine cannot run here: %s" % (r.stderr.strip() or r.returncode))
        return
    prefix = os.path.join(work, "prefix64")
    shutil.rmtree(prefix, ignore_errors=True)
    started = time.time()
    ports = {"COM%d" % n: os.path.join(work, "com%d" % n) for n in range(1, 5)}  # COM2 to COM4 lead nowhere
    ok, how = winelab.make_prefix(winelab.WINE64, prefix, ports)
    print("INFO fresh prefix %s in %.0f s" % (how if ok else "failed", time.time() - started), flush=True)
    check(ok and how == "made", "prefix", how)
    if not ok:
        return
    modsim, address = run_suite.start_modsim(root, work, prefix)
    env = wine_env(prefix)
    try:
        if not modsim:
            check(False, "modsim", "the module simulator did not start")
            return
        stop_server(env)
        before = traces(prefix)
        folder = os.path.join(work, "unpacked")
        shutil.rmtree(folder, ignore_errors=True)
        with zipfile.ZipFile(path) as z:
            z.extractall(folder)
        ctl, ctl32 = os.path.join(folder, "tolvexctl.exe"), os.path.join(folder, "tolvexctl32.exe")
        v = project_version(root)
        r = run(["timeout", str(CTL_TIMEOUT), winelab.WINE64, ctl, "--version"], CTL_TIMEOUT + 10, env)
        check(r.stdout.strip() == "tolvexctl %s (64-bit)" % v, "version-printed",
              "expected tolvexctl %s (64-bit), got %r %s" % (v, r.stdout, r.stderr[-200:]))

        r = run(["timeout", str(CTL_TIMEOUT), winelab.WINE64, ctl, "install"], CTL_TIMEOUT + 10, env, cwd=folder)
        windows = os.path.join(prefix, "drive_c", "windows")
        placed = {d: open(os.path.join(windows, d, "tolvex.dll"), "rb").read()
                  for d in ("system32", "syswow64") if os.path.exists(os.path.join(windows, d, "tolvex.dll"))}
        zipped = dict(entries(path))
        same = placed == {"system32": zipped["TOLVEX.dll"], "syswow64": zipped["TOLVEX32.dll"]}
        views = {}
        for view in (64, 32):
            aliases = {k: d for k, d in reg_values(env, "HKLM\\" + ctl_inf.DRIVERS32, view).items()
                       if re.match(r"^midi\d?$", k)}
            desc = reg_values(env, "HKLM\\" + ctl_inf.DESC, view).get("tolvex.dll")
            views[view] = (list(aliases.values()).count("tolvex.dll"), desc)
        want = {64: (1, DESCRIPTION), 32: (1, DESCRIPTION)}
        check(r.returncode == 0 and same and views == want, "install",
              "expected exit 0, TOLVEX.dll in system32 and TOLVEX32.dll in syswow64 as tolvex.dll, one midiN "
              "entry and the description in each view; got exit %d, files %s (as zipped: %s), views %s: %s %s" %
              (r.returncode, sorted(placed), same, views, r.stdout[-300:], r.stderr[-300:]))

        sim = ctl_suite.Sim(address)
        try:
            r = run(["timeout", str(CTL_TIMEOUT), winelab.WINE64, ctl, "port", "1"], CTL_TIMEOUT + 10, env)
            p, wire = play_note(env, winelab.WINE64, ctl, "C:\\windows\\system32\\tolvex.dll", sim, work)
            check(r.returncode == 0 and p.returncode == 0 and wire == NOTE_WIRE, "play-64",
                  "expected port 1 stored and %s on the wire, got exit %d and %d, %s: %s" %
                  (NOTE_WIRE[:12], r.returncode, p.returncode, wire[:40], (r.stderr + p.stderr)[-300:]))
            if run([winelab.WINE32, "--version"], 20).returncode != 0:
                report("SKIP", "play-32", "32-bit programs cannot run here")
            else:
                p, wire = play_note(env, winelab.WINE32, ctl32, "C:\\windows\\syswow64\\tolvex.dll", sim, work)
                check(p.returncode == 0 and wire == NOTE_WIRE, "play-32",
                      "expected %s on the wire from tolvexctl32 and the installed 32-bit DLL, got exit %d, %s: %s" %
                      (NOTE_WIRE[:12], p.returncode, wire[:40], p.stderr[-300:]))
        finally:
            sim.close()

        r = run(["timeout", str(CTL_TIMEOUT), winelab.WINE64, ctl, "uninstall"], CTL_TIMEOUT + 10, env)
        stop_server(env)
        after = traces(prefix)
        check(r.returncode == 0 and after == before, "uninstall",
              "expected exit 0 and the prefix as before the install; got exit %d, files %s, registry lines %s "
              "(before: %s, %s): %s" % (r.returncode, after[0], after[1], before[0], before[1], r.stderr[-300:]))
    finally:
        stop_server(env)
        if modsim:
            winelab.stop(modsim)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--zip", help="test this zip's install; no builds")
    args = ap.parse_args()
    root, work = os.path.abspath(args.root), os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    started = time.time()
    path = os.path.abspath(args.zip) if args.zip else reproducible(root, work, args.jobs)
    if path:
        contents(root, path)
        installable(root, work, path)
    print("release: took %.0f s" % (time.time() - started))
    print("release: %d passed, %d failed, %d skipped" % (counts["PASS"], counts["FAIL"], counts["SKIP"]))
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
