#!/usr/bin/env python3
"""Compiles res/dialog.rc with windres and checks the bytes of the dialog
template "MIDIRS_NT": language, styles, rectangle, caption, font, and each
control's id, class ordinal, text, style and rectangle, in order.

Usage: check_dialog.py WINDRES DIALOG_RC"""
import os
import struct
import subprocess
import sys
import tempfile

RT_DIALOG = 5
BUTTON, STATIC = 0x0080, 0x0082

EXPECTED_DIALOG = dict(
    language=0x0409, style=0x80C800C0, exstyle=0, rect=(0, 0, 270, 76), menu="",  # no menu, the standard dialog class
    window_class="", caption="ORBEL Veldor Driver Setup", point_size=9,
    face="\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF")  # "ＭＳ Ｐゴシック"

EXPECTED_CONTROLS = [
    (1, BUTTON, "OK", 0x50010001, (212, 49, 50, 14)),
    (2, BUTTON, "\uFF77\uFF6C\uFF9D\uFF7E\uFF99", 0x40010000, (206, 5, 50, 14)),  # "ｷｬﾝｾﾙ"
    (1000, BUTTON, "COM1", 0x50000009, (60, 47, 36, 10)),
    (1001, BUTTON, "COM2", 0x50000009, (135, 47, 36, 10)),
    (1002, BUTTON, "COM3", 0x40000009, (92, 53, 36, 10)),
    (1003, BUTTON, "COM4", 0x40000009, (168, 53, 36, 10)),
    (1025, STATIC, "MIDI driver TOLVEX.DLL(Ver1.0)", 0x50020001, (49, 13, 157, 9)),
    (1026, STATIC, None, 0x5002000C, (21, 28, 214, 12)),  # our own notice
]


class Reader:
    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos

    def word(self):
        (v,) = struct.unpack_from("<H", self.data, self.pos)
        self.pos += 2
        return v

    def dword(self):
        (v,) = struct.unpack_from("<I", self.data, self.pos)
        self.pos += 4
        return v

    def short(self):
        (v,) = struct.unpack_from("<h", self.data, self.pos)
        self.pos += 2
        return v

    def sz(self):
        chars = []
        while True:
            c = self.word()
            if c == 0:
                return struct.pack("<%dH" % len(chars), *chars).decode("utf-16-le")
            chars.append(c)

    def sz_or_ord(self):
        first = self.word()
        if first == 0xFFFF:
            return self.word()
        if first == 0:
            return ""
        self.pos -= 2
        return self.sz()

    def align(self, n):
        self.pos = (self.pos + n - 1) // n * n


def resources(data):
    """(type, name, language, bytes) of each entry of a .res file."""
    r = Reader(data)
    while r.pos < len(data):
        start = r.pos
        size, header = r.dword(), r.dword()
        rtype, name = r.sz_or_ord(), r.sz_or_ord()
        r.align(4)
        r.dword()  # data version
        r.word()  # memory flags
        language = r.word()
        body = data[start + header:start + header + size]
        yield rtype, name, language, body
        r.pos = start + header + size
        r.align(4)


def parse_dialog(body):
    r = Reader(body)
    d = {}
    d["style"], d["exstyle"] = r.dword(), r.dword()
    count = r.word()
    d["rect"] = (r.short(), r.short(), r.short(), r.short())
    d["menu"], d["window_class"], d["caption"] = r.sz_or_ord(), r.sz_or_ord(), r.sz()
    if d["style"] & 0x40:  # DS_SETFONT
        d["point_size"], d["face"] = r.word(), r.sz()
    controls = []
    for _ in range(count):
        r.align(4)
        style, exstyle = r.dword(), r.dword()
        rect = (r.short(), r.short(), r.short(), r.short())
        cid = r.word()
        cls, text = r.sz_or_ord(), r.sz_or_ord()
        extra = r.word()
        r.pos += extra
        controls.append(dict(id=cid, cls=cls, text=text, style=style, exstyle=exstyle, rect=rect, extra=extra))
    return d, controls


def main():
    windres, rc = sys.argv[1], os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "dialog.res")
        subprocess.run([windres, "-i", rc, "-O", "res", "-o", out], check=True,
                       cwd=os.path.dirname(os.path.abspath(rc)))
        data = open(out, "rb").read()

    faults = []

    def expect(what, want, got):
        if want != got:
            faults.append("%s: expected %r, got %r" % (what, want, got))

    dialogs = [(n, lang, b) for t, n, lang, b in resources(data) if t == RT_DIALOG]
    expect("dialog resources", ["MIDIRS_NT"], [n for n, _, _ in dialogs])
    if dialogs:
        _, language, body = dialogs[0]
        expect("language", EXPECTED_DIALOG["language"], language)
        expect("template form (0xFFFF 0x0001 starts an extended one)", False,
               struct.unpack_from("<HH", body) == (1, 0xFFFF))
        d, controls = parse_dialog(body)
        for key, want in EXPECTED_DIALOG.items():
            if key != "language":
                expect("dialog " + key, want, d.get(key))
        expect("control count", len(EXPECTED_CONTROLS), len(controls))
        for i, (want, got) in enumerate(zip(EXPECTED_CONTROLS, controls), 1):
            cid, cls, text, style, rect = want
            where = "control %d (id %d)" % (i, cid)
            expect(where + " id", cid, got["id"])
            expect(where + " class ordinal", cls, got["cls"])
            if text is not None:
                expect(where + " text", text, got["text"])
            else:
                expect(where + " has a one-line text", True, isinstance(got["text"], str) and got["text"] != "")
            expect(where + " style", hex(style), hex(got["style"]))
            expect(where + " extended style", 0, got["exstyle"])
            expect(where + " rectangle", rect, got["rect"])
            expect(where + " creation data", 0, got["extra"])

    for f in faults:
        print(f)
    print("dialog template: %d fault(s)" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
