"""The demo's MIDI files: what tools/mkdemo.py writes, read back by a
separate reader, and the committed copies in media/ up to date."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
import smfread  # noqa: E402

FILES = {"demo.mid": (14.0, 20.0), "demo-short.mid": (3.0, 6.0)}  # playing time bounds, s


class DemoFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "mkdemo.py"), "--out", cls.tmp.name], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        cls.data = {}
        for name in FILES:
            with open(os.path.join(cls.tmp.name, name), "rb") as f:
                cls.data[name] = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_committed_files_match_the_script(self):
        for name, data in self.data.items():
            with self.subTest(name), open(os.path.join(ROOT, "media", name), "rb") as f:
                self.assertTrue(f.read() == data, "media/%s differs from what tools/mkdemo.py writes now" % name)

    def test_several_instruments_each_with_program_and_controllers(self):
        for name, data in self.data.items():
            with self.subTest(name):
                fmt, _, tracks = smfread.read(data)
                events = [e for tr in tracks for _, e, _ in tr]
                notes = {e[0] & 15 for e in events if e[0] >> 4 == 0x9}
                programs = {e[0] & 15 for e in events if e[0] >> 4 == 0xC}
                controlled = {e[0] & 15 for e in events if e[0] >> 4 == 0xB}
                self.assertEqual(fmt, 1, "expected format 1, got %d" % fmt)
                self.assertGreaterEqual(len(notes), 4, "expected notes on 4 channels, got %s" % sorted(notes))
                self.assertGreaterEqual(len(programs), 3, "expected 3 program changes, got %s" % sorted(programs))
                self.assertEqual(controlled, notes, "expected controllers on every playing channel")
                self.assertIn(bytes.fromhex("f07e7f0901f7"), events, "expected GM System On")

    def test_running_status_and_a_tempo_change_are_used(self):
        for name, data in self.data.items():
            with self.subTest(name):
                _, _, tracks = smfread.read(data)
                ran = sum(1 for tr in tracks for _, _, r in tr if r)
                tempos = [e for _, e, _ in tracks[0] if e[:2] == b"\xff\x51"]
                self.assertGreater(ran, 10, "expected events under running status, got %d" % ran)
                self.assertEqual(len(tempos), 2, "expected a tempo and its change, got %d" % len(tempos))

    def test_every_note_ends_and_the_file_plays_for_its_length(self):
        for name, data in self.data.items():
            with self.subTest(name):
                sounding = set()
                timed = smfread.timed(data)
                for _, e in timed:
                    key = (e[0] & 15, e[1]) if e[0] >> 4 in (8, 9) else None
                    if e[0] >> 4 == 9 and e[2]:
                        sounding.add(key)
                    elif key:
                        sounding.discard(key)
                low, high = FILES[name]
                self.assertEqual(sounding, set(), "expected no hanging notes, got %s" % sorted(sounding))
                self.assertTrue(low <= timed[-1][0] <= high,
                                "expected %s to play %g to %g s, got %.2f s" % (name, low, high, timed[-1][0]))


if __name__ == "__main__":
    unittest.main()
