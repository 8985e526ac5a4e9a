#!/usr/bin/env python3
"""What install/tolvex.inf installs, read from the INF itself, and the check
that it registers what "tolvexctl install" registers: the same Drivers32 key
and midiN value pattern, the same file name and description, the same
system directories (the 32-bit DLL in the 32-bit directory and registry view
on 64-bit Windows).

    ctl_inf.py INF INSTALL_CPP    check the INF against tolvexctl's names

The Wine suite (ctl_suite.py) also compares it with the registry and files
that tolvexctl install really leaves in a prefix.
"""
import re
import sys

ALIAS = re.compile(r"^midi[2-9]$", re.I)  # never midi or midi1: Windows' own (its synthesizer, MIDI Services)
DRIVERS32 = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32"
DESC = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc"
FLG_NOCLOBBER = 0x2  # FLG_ADDREG_NOCLOBBER: never over a value that is there
FLG_32BITKEY = 0x4000
DIRID_SYSTEM = "11"
DIRID_WINDOWS = "10"


def fields(line):
    """Comma-separated fields, quotes removed, commas inside quotes kept."""
    out, cur, quoted = [], "", False
    for c in line:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            out.append(cur.strip())
            cur = ""
        else:
            cur += c
    out.append(cur.strip())
    return out


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def parse(path):
    sections, cur = {}, None
    with open(path, encoding="utf-8-sig") as f:
        for raw in f:
            line = strip_comment(raw).strip()
            if not line:
                continue
            m = re.match(r"^\[(.+)\]$", line)
            if m:
                cur = sections.setdefault(m.group(1).strip().lower(), [])
            elif cur is not None:
                cur.append(line)
    strings = {}
    for line in sections.get("strings", []):
        k, _, v = line.partition("=")
        strings[k.strip().lower()] = v.strip().strip('"')

    def subst(s):
        return re.sub(r"%([^%]+)%", lambda m: strings.get(m.group(1).lower(), m.group(0)), s)

    return {name: [subst(l) for l in lines] for name, lines in sections.items()}


def directives(inf, section):
    out = {}
    for line in inf.get(section.lower(), []):
        k, _, v = line.partition("=")
        out.setdefault(k.strip().lower(), []).extend(x.strip() for x in v.split(",") if x.strip())
    return out


def install_effect(inf, section):
    """Files as (directory, name, source) and values as (view, key, name, data)
    that an install section leaves, or raises ValueError naming what is missing."""
    d = directives(inf, section)
    if section.lower() not in inf:
        raise ValueError("no section [%s]" % section)
    dest = {}
    for line in inf.get("destinationdirs", []):
        k, _, v = line.partition("=")
        dest[k.strip().lower()] = [x.strip() for x in v.split(",")]
    sources = {l.partition("=")[0].strip().lower() for l in inf.get("sourcedisksfiles", [])}
    files = []
    for fs in d.get("copyfiles", []):
        if fs.lower() not in inf:
            raise ValueError("[%s] copies [%s], which is missing" % (section, fs))
        where = dest.get(fs.lower(), dest.get("defaultdestdir"))
        if where == [DIRID_SYSTEM]:
            directory = "system32"
        elif where and where[0] == DIRID_WINDOWS and len(where) > 1:
            directory = where[1].lower()
        else:
            raise ValueError("[%s] goes to %s" % (fs, where))
        for line in inf[fs.lower()]:
            f = fields(line)
            target, source = f[0].lower(), (f[1] if len(f) > 1 and f[1] else f[0]).lower()
            if source not in sources:
                raise ValueError("%s is not in [SourceDisksFiles]" % source)
            files.append((directory, target, source))
    values = []
    for ar in d.get("addreg", []):
        if ar.lower() not in inf:
            raise ValueError("[%s] adds [%s], which is missing" % (section, ar))
        for line in inf[ar.lower()]:
            f = fields(line) + [""] * 5
            flags = int(f[3], 0) if f[3] else 0
            values.append((32 if flags & FLG_32BITKEY else 64, f[0].upper(), f[1], f[2], f[4]))
    return files, values


def clobbering(inf, section):
    """The Drivers32 values that an install section would write over another driver's entry."""
    out = []
    for ar in directives(inf, section).get("addreg", []):
        for line in inf.get(ar.lower(), []):
            f = fields(line) + [""] * 5
            if f[1].lower() == DRIVERS32.lower() and not (int(f[3], 0) if f[3] else 0) & FLG_NOCLOBBER:
                out.append("[%s] %s" % (ar, f[2]))
    return out


def tolvexctl_names(install_cpp):
    """The file name, description and keys that tolvexctl's install uses."""
    src = open(install_cpp, encoding="utf-8").read()

    def const(name):
        m = re.search(r"%s\[\]\s*=\s*L\"((?:[^\"\\]|\\.)*)\"" % name, src)
        if not m:
            raise ValueError("no %s in %s" % (name, install_cpp))
        return m.group(1).replace("\\\\", "\\")

    return {"file": const("kDriverFile"), "description": const("kDriverDescription"),
            "drivers32": const("kDrivers32"), "desc": const("kDriversDesc")}


def expected_by_arch(inf):
    """For each platform, what the INF's right-click install registers:
    {"x86": {"values": {(view, key, name): data}, "files": {(dir, name)}}, ...}."""
    out = {}
    for arch in ("x86", "amd64"):
        files, values = install_effect(inf, "DefaultInstall.NT" + arch)
        out[arch] = {"files": {(d, n) for d, n, _ in files},
                     "values": {(view, key.lower(), name.lower()): data for view, _, key, name, data in values}}
    return out


def check(inf_path, install_cpp):
    """A list of faults, empty when the INF registers what tolvexctl does."""
    faults = []
    try:
        inf = parse(inf_path)
        names = tolvexctl_names(install_cpp)
        exp = expected_by_arch(inf)
    except (OSError, ValueError) as e:
        return [str(e)]
    dll, desc = names["file"].lower(), names["description"]
    if names["drivers32"].lower() != DRIVERS32.lower() or names["desc"].lower() != DESC.lower():
        faults.append("tolvexctl uses the keys %s and %s" % (names["drivers32"], names["desc"]))
    views = {"x86": [64], "amd64": [64, 32]}  # a 32-bit Windows has one view, which the INF calls the native one
    dirs = {"x86": {("system32", dll)}, "amd64": {("system32", dll), ("syswow64", dll)}}
    for arch, e in exp.items():
        if e["files"] != dirs[arch]:
            faults.append("%s: files %s, tolvexctl installs %s" % (arch, sorted(e["files"]), sorted(dirs[arch])))
        for view in views[arch]:
            aliases = [(n, d) for (v, k, n), d in e["values"].items() if v == view and k == DRIVERS32.lower()]
            if len(aliases) != 1 or not ALIAS.match(aliases[0][0]) or aliases[0][1].lower() != dll:
                faults.append("%s, %d-bit view: Drivers32 entries %s, expected one of midi2 ... midi9 = %s" %
                              (arch, view, aliases, dll))
            got = e["values"].get((view, DESC.lower(), dll))
            if got != desc:
                faults.append("%s, %d-bit view: drivers.desc %s = %r, tolvexctl writes %r" % (arch, view, dll, got,
                                                                                           desc))
        for value in clobbering(inf, "DefaultInstall.NT" + arch):
            faults.append("%s: %s is written over an entry that is there (no flag 0x2)" % (arch, value))
    # Add Hardware: the class installer's input names the same file and description.
    for arch in ("x86", "amd64"):
        try:
            files, values = install_effect(inf, "Tolvex.Media.NT" + arch)
        except ValueError as e:
            faults.append(str(e))
            continue
        if {(d, n) for d, n, _ in files} != dirs[arch]:
            faults.append("Add Hardware, %s: files %s" % (arch, sorted(files)))
        got = {(k.lower(), n.lower()): d for _, root, k, n, d in values if root == "HKR"}
        want = {("drivers\\midi\\" + dll, "driver"): dll, ("drivers\\midi\\" + dll, "description"): desc}
        for k, v in want.items():
            if got.get(k) != v:
                faults.append("Add Hardware, %s: HKR %s = %r, expected %r" % (arch, "\\".join(k), got.get(k), v))
    return faults


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    problems = check(sys.argv[1], sys.argv[2])
    for p in problems:
        print("FAIL " + p)
    print("inf: %s" % ("registers what tolvexctl install registers" if not problems else "%d faults" % len(problems)))
    sys.exit(1 if problems else 0)
