"""The real-platform suite's static checks of TOLVEX.dll as built: exports,
imports, entry point, versions, sections, the 32-bit code's instruction set,
and the resources, read from the image itself.
"""
import os
import re
import struct

from winelab import run

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "winmm.dll"}
ALLOWED_SECTIONS = {".text", ".data", ".rdata", ".bss", ".edata", ".idata", ".rsrc", ".reloc", ".pdata", ".xdata"}


def objdump_p(tool, dll):
    return run([tool, "-p", dll], 30).stdout


def parse_imports(text):
    imports, dll = set(), None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            continue
        m = re.match(r"\s+[0-9a-f]+\s+[0-9]+\s+(\S+)$", line)
        if dll and m:
            imports.add((dll, m.group(1)))
    return imports


def parse_exports(text):
    m = re.search(r"^Name\s+[0-9a-f]+\s+(\S+)", text, re.M)
    name = m.group(1) if m else None
    m = re.search(r"Ordinal Base (\d+)", text)
    base = int(m.group(1)) if m else None
    table = {}
    m = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s+\[\s*\d+\] \S+\n)+)", text)
    if m:
        for idx, sym in re.findall(r"\[\s*(\d+)\] (\S+)", m.group(1)):
            table[sym] = int(idx) + (base or 0)
    return name, base, table


def read_allowed(path):
    allowed = set()
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if len(line) >= 2:
                allowed.add((line[0].lower(), line[1]))
    return allowed


def parse_res(data):
    """Entries of a .res file: (type, name, language, bytes)."""
    out, pos = [], 0

    def ident(p):
        if struct.unpack_from("<H", data, p)[0] == 0xFFFF:
            return struct.unpack_from("<H", data, p + 2)[0], p + 4
        end = p
        while struct.unpack_from("<H", data, end)[0]:
            end += 2
        return data[p:end].decode("utf-16-le"), end + 2

    while pos + 32 <= len(data):
        size, header = struct.unpack_from("<II", data, pos)
        rtype, p = ident(pos + 8)
        rname, p = ident(p)
        p = (p + 3) & ~3
        lang = struct.unpack_from("<H", data, p + 6)[0]
        body = data[pos + header:pos + header + size]
        if size or rtype:
            out.append((rtype, rname, lang, body))
        pos = (pos + header + size + 3) & ~3
    return [e for e in out if not (e[0] == 0 and e[1] == 0)]


def resource_directory(text):
    """(type, name, language) of every resource, from objdump's listing of
    the image's resource directory (three levels, by indentation)."""
    out, level = [], [None, None]
    for indent, what in re.findall(r"^[0-9a-f]+( +)Entry: (.*?), Value:", text, re.M):
        m = re.match(r"ID: 0x([0-9a-f]+)|name: \[.*\]: (\S+)", what)
        key = str(int(m.group(1), 16)) if m.group(1) else m.group(2)
        depth = (len(indent) - 3) // 2
        if depth < 2:
            level[depth] = key
        else:
            out.append((level[0], level[1], int(key)))
    return out


def expected_dialog():
    """The setup dialog's template, the notice text left out (the maker's own)."""
    v = bytearray()

    def w(x):
        v.extend(struct.pack("<H", x))

    def d(x):
        v.extend(struct.pack("<I", x))

    def text(s):
        v.extend(s.encode("utf-16-le") + b"\0\0")

    d(0x80C800C0), d(0), w(8), w(0), w(0), w(270), w(76), w(0), w(0)
    text("ORBEL Veldor Driver Setup")
    w(9), text("ＭＳ Ｐゴシック")
    items = [
        (1, 0x80, "OK", 0x50010001, 212, 49, 50, 14),
        (2, 0x80, "ｷｬﾝｾﾙ", 0x40010000, 206, 5, 50, 14),
        (1000, 0x80, "COM1", 0x50000009, 60, 47, 36, 10),
        (1001, 0x80, "COM2", 0x50000009, 135, 47, 36, 10),
        (1002, 0x80, "COM3", 0x40000009, 92, 53, 36, 10),
        (1003, 0x80, "COM4", 0x40000009, 168, 53, 36, 10),
        (1025, 0x82, "MIDI driver TOLVEX.DLL(Ver1.0)", 0x50020001, 49, 13, 157, 9),
        (1026, 0x82, None, 0x5002000C, 21, 28, 214, 12),
    ]
    for ident, cls, label, style, x, y, cx, cy in items:
        while len(v) % 4:
            v.append(0)
        d(style), d(0), w(x), w(y), w(cx), w(cy), w(ident), w(0xFFFF), w(cls)
        if label is not None:
            text(label)
            w(0)
    return bytes(v)


# Mnemonics (AT&T, as objdump prints them) that the 486 and the Pentium lack:
# P6 moves and compares, long nops, and what came with or after them.
LATER_MNEMONIC = re.compile(r"^(cmov|fcmov|fu?comip?$|nop[wlq]$|rdtsc|rdpmc|rdmsr|wrmsr|cmpxchg8b|cpuid|sys(enter|exit|call|ret)"
                            r"|ud2|pause|prefetch|emms|[lms]fence|movnt|clflush|[a-z]*xmm|[a-z]*ymm)")
LATER_OPERAND = re.compile(r"%[xy]?mm\d")


def p6_instructions(disassembly):
    """The instructions of an objdump -d listing that a 486 cannot run."""
    found = []
    for line in disassembly.splitlines():
        m = re.match(r"^\s*[0-9a-f]+:\t(\S+)\s*(.*)$", line)
        if m and (LATER_MNEMONIC.match(m.group(1)) or LATER_OPERAND.search(m.group(2))):
            found.append(line.strip())
    return found


def static_checks(tag, arch, build, root, report, check):
    """The checks of one build's image, reported through report and check; (dll, host) when both were built."""
    dll = os.path.join(build, "driver", "TOLVEX.dll")
    host = os.path.join(build, "tests", "wine", "tolvex_wine_host.exe")
    tool = "%s-w64-mingw32-objdump" % arch
    windres = "%s-w64-mingw32-windres" % arch
    if not (os.path.exists(dll) and os.path.exists(host)):
        report("FAIL", tag + ".static.built", "missing %s or %s" % (dll, host))
        return None
    report("PASS", tag + ".static.built")
    print("INFO %s TOLVEX.dll size %d bytes" % (tag, os.path.getsize(dll)), flush=True)
    text = objdump_p(tool, dll)

    name, base, table = parse_exports(text)
    want = {"DriverProc": 1, "midMessage": 2, "modMessage": 3, "PortOwner": 4}
    check(name == "TOLVEX.dll" and base == 1 and table == want, tag + ".static.exports",
          "expected TOLVEX.dll %s, got %s base %s %s" % (want, name, base, table))

    imports = parse_imports(text)
    allowed = read_allowed(os.path.join(root, "driver", "imports.txt"))
    unlisted = sorted("%s!%s" % i for i in imports - allowed)
    dlls = {d for d, _ in imports}
    check(imports and not unlisted and dlls <= SYSTEM_DLLS, tag + ".static.imports",
          "imports not in driver/imports.txt: %s; DLLs %s" % (", ".join(unlisted) or "none", sorted(dlls)))

    major, minor = (4, 0) if arch == "i686" else (5, 2)
    fields = dict(re.findall(r"^(M\w+Version)\s+(\d+)", text, re.M))
    got = tuple(int(fields.get(k, -1)) for k in ("MajorSubsystemVersion", "MinorSubsystemVersion",
                                                 "MajorOSystemVersion", "MinorOSystemVersion"))
    check(got == (major, minor, major, minor), tag + ".static.versions",
          "expected subsystem and OS %d.%d, got %s" % (major, minor, got))

    # The entry point is DllInstanceInit itself, not a runtime's start-up.
    entry = int(re.search(r"AddressOfEntryPoint\s+([0-9a-f]+)", text).group(1), 16)
    image_base = int(re.search(r"ImageBase\s+([0-9a-f]+)", text).group(1), 16)
    symbol = "DllInstanceInit@12" if arch == "i686" else "DllInstanceInit"
    mapped = None
    mapfile = os.path.join(build, "driver", "TOLVEX.map")
    if os.path.exists(mapfile):
        m = re.search(r"^\s+0x([0-9a-f]+)\s+_?%s$" % re.escape(symbol), open(mapfile).read(), re.M)
        mapped = int(m.group(1), 16) if m else None
    check(mapped is not None and mapped == image_base + entry, tag + ".static.entry-point",
          "expected the entry at %s, got %#x" % (hex(mapped) if mapped else symbol + " (not in map)",
                                                 image_base + entry))

    # Nothing that would need a runtime to start it: no constructors, no TLS.
    sections = set(re.findall(r"^\s+\d+ (\S+)\s", run([tool, "-h", dll], 30).stdout, re.M))
    core = os.path.join(build, "libtolvex_core.a")
    core_sections = set(re.findall(r"^\s+\d+ (\S+)\s", run([tool, "-h", core], 30).stdout, re.M))
    ctors = sorted(s for s in core_sections if s.startswith((".ctors", ".init_array", ".CRT", ".tls")))
    check(sections <= ALLOWED_SECTIONS and not ctors, tag + ".static.no-runtime",
          "unexpected sections %s; constructor sections in the code %s" % (sorted(sections - ALLOWED_SECTIONS),
                                                                            ctors))

    # The 32-bit DLL runs on the processors NT 4.0 ran on, the 486 and the
    # Pentium: none of the instructions that came later.
    if arch == "i686":
        later = p6_instructions(run([tool, "-d", "--no-show-raw-insn", dll], 60).stdout)
        check(not later, tag + ".static.i486", "instructions the 486 or Pentium lack: %s" % ", ".join(later[:8]))

    # Resources, from the image itself.
    res_path = os.path.join(build, "TOLVEX.res.check")
    r = run([windres, "-i", dll, "-O", "res", "-o", res_path], 30)
    entries = parse_res(open(res_path, "rb").read()) if r.returncode == 0 else []
    inventory = sorted(resource_directory(text))
    want_inv = sorted([("3", "1", 0x409), ("5", "MIDIRS_NT", 0x409), ("6", "1", 0x409), ("14", "107", 0x409),
                       ("16", "1", 0x409)])
    check(inventory == want_inv, tag + ".static.resource-inventory",
          "expected %s, got %s" % (want_inv, inventory))
    by = {(t, n): b for t, n, _, b in entries}

    block = by.get((6, 1), b"")
    strings, p = {}, 0
    for i in range(16):
        if p + 2 > len(block):
            break
        n = struct.unpack_from("<H", block, p)[0]
        if n:
            strings[i] = block[p + 2:p + 2 + 2 * n].decode("utf-16-le")
        p += 2 + 2 * n
    want_str = {2: "VeldorNTDriver", 6: "VeldorNT MIDI In", 7: "VeldorNT MIDI Out"}
    check(strings == want_str, tag + ".static.string-table", "expected %s, got %s" % (want_str, strings))

    ver = by.get((16, 1), b"")
    k = ver.find(struct.pack("<I", 0xFEEF04BD))
    fixed = struct.unpack_from("<13I", ver, k) if k >= 0 else None
    want_fixed = (0xFEEF04BD, 0x10000, 0x30005, 0, 0x30005, 0, 0x30003F, 0, 0x10001, 3, 8, 0, 0)
    check(fixed == want_fixed, tag + ".static.version-fixed",
          "expected %s, got %s" % ([hex(x) for x in want_fixed], fixed and [hex(x) for x in fixed]))
    strings_ok = all(("%s\0" % s).encode("utf-16-le") in ver for s in
                     ["040904E4", "FileDescription", "1.0", "FileVersion", "1.00", "InternalName", "TOLVEX.DLL",
                      "OriginalFilename", "ProductVersion", "CompanyName", "LegalCopyright", "ProductName"])
    check(strings_ok and struct.pack("<HH", 0x409, 0x4E4) in ver, tag + ".static.version-strings",
          "the 040904E4 block or its entries or the translation are missing")

    group = by.get((14, 107), b"")
    icon = by.get((3, 1), b"")
    ok = len(group) == 20 and struct.unpack_from("<HHH", group) == (0, 1, 1) and \
        struct.unpack_from("<BBBBHHIH", group, 6) == (32, 32, 16, 0, 1, 4, len(icon), 1) and \
        struct.unpack_from("<Iii", icon)[:3] == (40, 32, 64) and struct.unpack_from("<H", icon, 14)[0] == 4
    check(ok, tag + ".static.icon", "expected one 32x32 16-colour image id 1, got group %s" % group.hex())

    dialog = by.get((5, "MIDIRS_NT"), b"")
    want_dlg = expected_dialog()
    same = dialog[:len(want_dlg)] == want_dlg
    first = next((i for i in range(min(len(dialog), len(want_dlg))) if dialog[i] != want_dlg[i]), None)
    check(same, tag + ".static.dialog-template",
          "first difference at byte %s of %d" % (first, len(dialog)))
    return dll, host
