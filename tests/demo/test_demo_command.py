"""The README's main command, end to end with the short file: TOLVEX.dll
under Wine plays to the virtual module, the identity reply comes back
through the input device, and the WAV is music, not silence."""
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [HERE, os.path.join(ROOT, "tools")]
import smfread  # noqa: E402
import vmodule  # noqa: E402

SHORT = os.path.join(ROOT, "media", "demo-short.mid")
TIMEOUT = 900  # s: packages checked, the build brought up to date, a prefix made, the file played
RESET_MESSAGES = 32  # damper off and all notes off on 16 channels, sent at close


class DemoCommandTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.wav = os.path.join(cls.tmp.name, "short.wav")
        build = os.environ.get("TOLVEX_DEMO_BUILD", os.path.join(ROOT, "build", "win64"))
        cmd = [os.path.join(ROOT, "tools", "demo"), "--file", SHORT, "--wav", cls.wav, "--build", build]
        try:
            r = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               timeout=TIMEOUT)
            cls.code, cls.out = r.returncode, r.stdout
        except subprocess.TimeoutExpired as e:
            cls.code, cls.out = None, (e.stdout or b"").decode(errors="replace")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_finishes_in_time_and_succeeds(self):
        self.assertEqual(self.code, 0, "expected exit 0 within %d s, got %s; its output ends:\n%s" %
                         (TIMEOUT, self.code, self.out[-2000:]))

    def test_reports_the_identity_reply(self):
        want = vmodule.IDENTITY_REPLY.hex(" ")
        self.assertIn("identity  " + want, self.out, "expected the reply %s in the report:\n%s" %
                      (want, self.out[-1500:]))

    def test_the_module_received_every_message_of_the_file(self):
        with open(SHORT, "rb") as f:
            events = len(smfread.timed(f.read()))
        m = re.search(r"received\s+(\d+) messages", self.out)
        self.assertIsNotNone(m, "expected the module's count in the report:\n%s" % self.out[-1500:])
        want = events + 1 + RESET_MESSAGES  # and the identity request
        self.assertGreaterEqual(int(m.group(1)), want, "expected at least %d messages at the module (%d in the "
                                "file), got %s" % (want, events, m.group(1)))

    def test_writes_an_audible_wav_of_the_file_s_length(self):
        self.assertTrue(os.path.exists(self.wav), "expected %s to be written" % self.wav)
        seconds, peak, rms = vmodule.levels(self.wav)
        with open(SHORT, "rb") as f:
            length = smfread.timed(f.read())[-1][0]
        self.assertGreater(peak, -20.0, "expected a peak above -20 dBFS, got %.1f" % peak)
        self.assertGreater(rms, -45.0, "expected an RMS level above -45 dBFS, got %.1f" % rms)
        # The file's own length and the release tail; the player's timer may
        # run a little early, the close may come a little late.
        low, high = length + vmodule.TAIL_SECONDS - 0.5, length + vmodule.TAIL_SECONDS + 3.0
        self.assertTrue(low <= seconds <= high, "expected %.1f to %.1f s, got %.1f s" % (low, high, seconds))


if __name__ == "__main__":
    unittest.main()


class DemoRealPortTest(unittest.TestCase):
    """--port: COM1 leads to the named device and nothing is rendered. The
    device here is another pty with a module behind it that renders nothing."""

    def test_plays_to_the_named_device_and_reports_its_reply(self):
        with tempfile.TemporaryDirectory() as tmp:
            device = vmodule.VirtualModule(os.path.join(tmp, "ttyUSB0"))
            threading.Thread(target=device.reader, daemon=True).start()
            wav = os.path.join(tmp, "none.wav")
            build = os.environ.get("TOLVEX_DEMO_BUILD", os.path.join(ROOT, "build", "win64"))
            try:
                r = subprocess.run([os.path.join(ROOT, "tools", "demo"), "--file", SHORT, "--port", device.link,
                                    "--wav", wav, "--build", build], cwd=ROOT, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT)
            finally:
                device.running = False
                device.close()
            with open(SHORT, "rb") as f:
                events = len(smfread.timed(f.read()))
            got = device.stats()
            self.assertEqual(r.returncode, 0, "expected exit 0, got %d:\n%s" % (r.returncode, r.stdout[-1500:]))
            self.assertIn("identity  " + vmodule.IDENTITY_REPLY.hex(" "), r.stdout, "expected the device's reply")
            self.assertGreaterEqual(got["messages"], events + 1, "expected the file's %d messages and the request "
                                    "at the device, got %d" % (events, got["messages"]))
            self.assertFalse(os.path.exists(wav), "expected no rendering with --port")
