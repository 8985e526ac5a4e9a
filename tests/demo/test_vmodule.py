"""The virtual sound module: how it rebuilds messages from the line, answers
the identity request over its pty, and renders what it hears."""
import array
import os
import select
import sys
import tempfile
import time
import threading
import unittest
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import vmodule  # noqa: E402

H = bytes.fromhex

# Bytes in, messages out.
STREAM_CASES = [
    ("NoteOnIsOneMessage", "903c40", ["903c40"]),
    ("RunningStatusRepeatsTheLastChannelStatus", "903c40 3e40 4040", ["903c40", "903e40", "904040"]),
    ("ProgramChangeTakesOneDataByte", "c005 c106", ["c005", "c106"]),
    ("RunningStatusAppliesToTwoByteMessages", "c005 06 07", ["c005", "c006", "c007"]),
    ("RealTimeByteInsideNoteOnIsDeliveredFirst", "90 f8 3c 40", ["f8", "903c40"]),
    ("RealTimeByteKeepsRunningStatus", "903c40 fe 3e40", ["903c40", "fe", "903e40"]),
    ("DataWithoutStatusIsIgnored", "3c40 903c40", ["903c40"]),
    ("SystemCommonClearsRunningStatus", "903c40 f30a 3e40", ["903c40", "f30a"]),
    ("SongPositionTakesTwoDataBytes", "f20102", ["f20102"]),
    ("TuneRequestStandsAlone", "f6", ["f6"]),
    ("UndefinedSystemCommonIsIgnored", "f4 f5 903c40", ["903c40"]),
    ("StatusCutsAMessageShort", "903c 803c40", ["803c40"]),
    ("SystemExclusiveEndsWithF7", "f07e7f0601f7", ["f07e7f0601f7"]),
    ("RealTimeInsideSystemExclusiveLeavesItWhole", "f07e f8 7f0601f7", ["f8", "f07e7f0601f7"]),
    ("SystemExclusiveCutByStatusIsDropped", "f07e7f 903c40 f7", ["903c40"]),
    ("SystemExclusiveClearsRunningStatus", "903c40 f07df7 3e40", ["903c40", "f07df7"]),
    ("StrayEndOfExclusiveIsIgnored", "f7 903c40", ["903c40"]),
]


class MidiStreamTest(unittest.TestCase):
    def test_cases(self):
        for name, hexin, want in STREAM_CASES:
            with self.subTest(name):
                stream = vmodule.MidiStream()
                got = [m.hex() for b in H(hexin.replace(" ", "")) for m in stream.feed(b)]
                self.assertEqual(got, want, "bytes %s: expected %s, got %s" % (hexin, want, got))

    def test_overlong_system_exclusive_is_dropped_and_the_next_message_kept(self):
        stream = vmodule.MidiStream()
        data = b"\xf0" + b"\x01" * (vmodule.SYSEX_MAX + 10) + b"\xf7\x90\x3c\x40"
        got = [m.hex() for b in data for m in stream.feed(b)]
        self.assertEqual(got, ["903c40"], "expected only the note after an overlong message, got %s" % got[:3])


class Line:
    """A virtual module on a fresh pty, with our end of the line opened."""

    def __init__(self, wav=None):
        self.dir = tempfile.TemporaryDirectory()
        self.module = vmodule.VirtualModule(os.path.join(self.dir.name, "com1"), wav)
        threading.Thread(target=self.module.reader, daemon=True).start()
        self.fd = os.open(self.module.link, os.O_RDWR | os.O_NOCTTY)

    def write(self, data):
        os.write(self.fd, data)

    def read(self, count, timeout=2.0):
        out, deadline = b"", time.monotonic() + timeout
        while len(out) < count and time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if ready:
                out += os.read(self.fd, 256)
        return out

    def wait_bytes(self, count, timeout=2.0):
        deadline = time.monotonic() + timeout
        while self.module.stats()["bytes"] < count and time.monotonic() < deadline:
            time.sleep(0.01)

    def close(self):
        self.module.running = False
        os.close(self.fd)
        self.module.close()
        self.dir.cleanup()


class IdentityTest(unittest.TestCase):
    def setUp(self):
        self.line = Line()

    def tearDown(self):
        self.line.close()

    def test_identity_request_gets_our_reply(self):
        self.line.write(H("f07e7f0601f7"))
        got = self.line.read(len(vmodule.IDENTITY_REPLY))
        self.assertEqual(got.hex(), "f07e7f06027d01000100" "01000000f7", "expected the identity reply, got %s" % got.hex())

    def test_request_split_across_writes_and_after_notes_is_answered(self):
        for part in ("903c40 3c00 f07e", "7f06", "01f7"):
            self.line.write(H(part.replace(" ", "")))
            time.sleep(0.02)
        got = self.line.read(len(vmodule.IDENTITY_REPLY))
        self.assertEqual(got, vmodule.IDENTITY_REPLY, "expected the identity reply, got %s" % got.hex())

    def test_other_system_exclusive_is_not_answered(self):
        for request in ("f07e7f0901f7", "f07e100601f7", "f07e7f0602f7"):  # GM on; another device; a reply
            with self.subTest(request):
                self.line.write(H(request))
                got = self.line.read(1, timeout=0.3)
                self.assertEqual(got, b"", "expected no answer to %s, got %s" % (request, got.hex()))

    def test_counts_messages_and_bytes_but_not_clock_ticks(self):
        self.line.write(H("c000 903c40 3e40 f8 f8 f07e7f0901f7"))
        self.line.wait_bytes(15)
        got = self.line.module.stats()
        self.assertEqual(got, {"messages": 4, "bytes": 15, "identity": 0}, "expected 4 messages in 15 bytes, got %s" % got)


class RenderTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.sf = vmodule.find_soundfont()

    def tearDown(self):
        self.dir.cleanup()

    def render(self, name, events, tail=0.5):
        path = os.path.join(self.dir.name, name)
        r = vmodule.Renderer(path, self.sf)
        for t, msg in events:
            r.at(t, H(msg))
        r.finish(tail)
        return path

    def test_chord_is_audible_and_nothing_is_silent(self):
        chord = [(0.0, "c000"), (0.0, "903c64"), (0.0, "904064"), (0.0, "904364"), (0.8, "b07b00")]
        seconds, peak, rms = vmodule.levels(self.render("chord.wav", chord))
        self.assertAlmostEqual(seconds, 1.3, places=2, msg="expected 0.8 s and a 0.5 s tail, got %.3f s" % seconds)
        self.assertGreater(peak, -30.0, "expected a chord to peak above -30 dBFS, got %.1f" % peak)
        seconds, peak, rms = vmodule.levels(self.render("quiet.wav", [(0.0, "c000"), (1.0, "b07b00")]))
        self.assertEqual(peak, float("-inf"), "expected silence without notes, got a peak of %.1f dBFS" % peak)

    def test_sound_starts_at_the_note_on_arrival(self):
        path = self.render("late.wav", [(0.5, "903c7f"), (1.0, "803c00")])
        with wave.open(path) as w:
            data = array.array("h", w.readframes(w.getnframes()))
        first = next(i for i, x in enumerate(data) if abs(x) > 30) // 2
        self.assertTrue(22050 <= first < 22050 + 441, "expected sound from frame 22050 (0.5 s), got %d" % first)

    def test_same_arrivals_give_the_same_file(self):
        events = [(0.0, "c018"), (0.0, "903c60"), (0.3, "e00050"), (0.6, "803c00")]
        with open(self.render("a.wav", events), "rb") as fa, open(self.render("b.wav", events), "rb") as fb:
            a, b = fa.read(), fb.read()
        self.assertTrue(a == b, "expected two renderings of the same arrivals to be equal")


class WireTimeTest(unittest.TestCase):
    def test_burst_is_spaced_as_the_line_carries_it(self):
        # 30 bytes written at once reach the module over 30 byte times:
        # the last note starts no earlier than 29 byte times after the first.
        line = Line()
        try:
            seen = []
            line.module.act = lambda msg: seen.append((line.module.clock, msg))
            line.write(H("903c40" * 10))
            line.wait_bytes(30)
            span = seen[-1][0] - seen[0][0]
            self.assertEqual(len(seen), 10, "expected 10 notes, got %d" % len(seen))
            self.assertGreaterEqual(span, 27 * vmodule.BYTE_TIME - 1e-9,
                                    "expected at least 27 byte times (%.2f ms), got %.2f ms" %
                                    (27 * vmodule.BYTE_TIME * 1000, span * 1000))
        finally:
            line.close()


if __name__ == "__main__":
    unittest.main()
