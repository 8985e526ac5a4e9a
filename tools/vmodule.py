#!/usr/bin/env python3
"""A virtual General MIDI sound module on a pseudo-terminal.

It grows out of the module simulator (modsim.py: the pty, its link, the
control channel, scripted input) and acts on what it receives: the bytes are
parsed into MIDI messages, timed as a 38400 bit/s line delivers them, and
rendered to a WAV file with FluidSynth; the identity request is answered.

    vmodule.py --link build/demo/com1 --wav out.wav [--control PORT] [--send DELAY_MS:HEX ...]

Besides modsim's commands, the control channel takes
    STATS     -> STATS messages=N bytes=N identity=N
    FINISH    render the release tail and close the WAV
              -> WAV <path> seconds=S peak=DB rms=DB
"""
import argparse
import array
import ctypes
import ctypes.util
import math
import os
import signal
import sys
import threading
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import modsim  # noqa: E402

BAUD = 38400
BYTE_TIME = 10.0 / BAUD  # s: start bit, 8 data bits, stop bit
SAMPLE_RATE = 44100
CHUNK_FRAMES = 4096  # frames rendered per FluidSynth call
TAIL_SECONDS = 2.0  # release and reverb after the last message
SYNTH_GAIN = 0.6  # FluidSynth's 0.2 leaves a GM file some 10 dB down
SYSEX_MAX = 4096  # longest system-exclusive message kept; longer ones are dropped
SOUNDFONTS = ["/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2"]

# Universal non-real-time identity request and our reply. 0x7D is the
# manufacturer id set aside for non-commercial use.
DEVICE_ID = 0x7F
IDENTITY_REQUEST = bytes([0xF0, 0x7E, DEVICE_ID, 0x06, 0x01, 0xF7])
MANUFACTURER = 0x7D
FAMILY = (0x01, 0x00)  # LSB, MSB
MODEL = (0x01, 0x00)
VERSION = (0x01, 0x00, 0x00, 0x00)
IDENTITY_REPLY = bytes([0xF0, 0x7E, DEVICE_ID, 0x06, 0x02, MANUFACTURER, *FAMILY, *MODEL, *VERSION, 0xF7])
REPLY_DELAY_MS = 5  # a module takes a moment to answer

CHANNEL_LENGTH = {0x8: 3, 0x9: 3, 0xA: 3, 0xB: 3, 0xC: 2, 0xD: 2, 0xE: 3}  # with the status byte
COMMON_LENGTH = {0xF1: 2, 0xF2: 3, 0xF3: 2, 0xF6: 1}  # 0xF4 and 0xF5 are undefined: ignored


class MidiStream:
    """Rebuilds whole messages from a MIDI byte stream, as a receiver does:
    running status, real-time bytes anywhere, system exclusive up to F7."""

    def __init__(self):
        self.running = 0  # channel status that data bytes run under, 0 for none
        self.pending = []  # bytes of the message being assembled
        self.need = 0  # its length
        self.sysex = None  # bytes of an open system-exclusive message

    def feed(self, b):
        """The messages that byte b completes (a list, mostly empty)."""
        if b >= 0xF8:
            return [bytes([b])]  # real time: between any two bytes, state untouched
        if b == 0xF7:
            done, self.sysex = self.sysex, None
            self.running = 0
            return [bytes(done + [b])] if done is not None else []
        if b >= 0x80:
            # Any other status ends an open system exclusive: it is incomplete
            # and dropped, as a module cannot act on half a message.
            self.sysex = None
            self.pending = []
            if b == 0xF0:
                self.running = 0
                self.sysex = [b]
                return []
            if b >= 0xF0:
                self.running = 0
                self.need = COMMON_LENGTH.get(b, 0)
                if self.need == 0:
                    return []
                self.pending = [b]
            else:
                self.running = b
                self.need = CHANNEL_LENGTH[b >> 4]
                self.pending = [b]
        elif self.sysex is not None:
            if len(self.sysex) >= SYSEX_MAX:
                self.sysex = None  # too long for our buffer: lost, as on a module
                return []
            self.sysex.append(b)
            return []
        elif self.pending:
            self.pending.append(b)
        elif self.running:
            self.pending = [self.running, b]
            self.need = CHANNEL_LENGTH[self.running >> 4]
        else:
            return []  # a data byte with no status: nothing to run under
        if len(self.pending) < self.need:
            return []
        done, self.pending = bytes(self.pending), []
        return [done]


class Synth:
    """FluidSynth through its C library, rendering on demand (no audio driver)."""

    def __init__(self, soundfont, rate=SAMPLE_RATE, gain=SYNTH_GAIN):
        name = ctypes.util.find_library("fluidsynth") or "libfluidsynth.so.3"
        lib = self.lib = ctypes.CDLL(name)
        lib.new_fluid_settings.restype = ctypes.c_void_p
        lib.new_fluid_synth.restype = ctypes.c_void_p
        lib.new_fluid_synth.argtypes = [ctypes.c_void_p]
        lib.fluid_settings_setnum.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_double]
        lib.fluid_synth_sfload.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.fluid_synth_write_float.argtypes = [ctypes.c_void_p, ctypes.c_int] + [ctypes.c_void_p, ctypes.c_int,
                                                                                  ctypes.c_int] * 2
        lib.fluid_synth_sysex.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p,
                                          ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
        lib.fluid_set_log_function.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
        for level in range(5):  # panic .. debug: the library's chatter is not ours to print
            lib.fluid_set_log_function(level, None, None)
        self.settings = lib.new_fluid_settings()
        lib.fluid_settings_setnum(self.settings, b"synth.sample-rate", float(rate))
        lib.fluid_settings_setnum(self.settings, b"synth.gain", gain)
        self.synth = ctypes.c_void_p(lib.new_fluid_synth(self.settings))
        if lib.fluid_synth_sfload(self.synth, soundfont.encode(), 1) < 0:
            raise RuntimeError("FluidSynth cannot load the soundfont %s" % soundfont)
        self.buf = (ctypes.c_float * (2 * CHUNK_FRAMES))()

    def play(self, msg):
        lib, s = self.lib, self.synth
        status = msg[0]
        kind, ch = status >> 4, status & 0x0F
        if kind == 0x8:
            lib.fluid_synth_noteoff(s, ch, msg[1])
        elif kind == 0x9:
            lib.fluid_synth_noteon(s, ch, msg[1], msg[2])  # velocity 0 is a note off
        elif kind == 0xA:
            lib.fluid_synth_key_pressure(s, ch, msg[1], msg[2])
        elif kind == 0xB:
            lib.fluid_synth_cc(s, ch, msg[1], msg[2])
        elif kind == 0xC:
            lib.fluid_synth_program_change(s, ch, msg[1])
        elif kind == 0xD:
            lib.fluid_synth_channel_pressure(s, ch, msg[1])
        elif kind == 0xE:
            lib.fluid_synth_pitch_bend(s, ch, msg[1] | (msg[2] << 7))
        elif status == 0xF0 and len(msg) > 2:
            body = bytes(msg[1:-1])
            lib.fluid_synth_sysex(s, body, len(body), None, None, None, 0)
        elif status == 0xFF:
            lib.fluid_synth_system_reset(s)

    def render(self, frames):
        """frames of interleaved stereo as 16-bit samples (bytes, little-endian)."""
        out = array.array("h")
        while frames > 0:
            n = min(frames, CHUNK_FRAMES)
            buf = self.buf
            self.lib.fluid_synth_write_float(self.synth, n, buf, 0, 2, buf, 1, 2)
            # Our own rounding, not FluidSynth's dithered 16-bit output: the
            # same arrivals must give the same file.
            out.extend(max(-32768, min(32767, round(x * 32767.0))) for x in buf[:2 * n])
            frames -= n
        if sys.byteorder != "little":
            out.byteswap()
        return out.tobytes()

    def close(self):
        self.lib.delete_fluid_synth(self.synth)
        self.lib.delete_fluid_settings(ctypes.c_void_p(self.settings))


class Renderer:
    """Turns timed messages into a WAV file: between two messages it
    synthesizes exactly the time that passed, so that the arrival times and
    nothing else decide the file's contents."""

    def __init__(self, path, soundfont, rate=SAMPLE_RATE):
        self.path, self.rate = path, rate
        self.synth = Synth(soundfont, rate)
        self.wav = wave.open(path, "wb")
        self.wav.setnchannels(2)
        self.wav.setsampwidth(2)
        self.wav.setframerate(rate)
        self.frames = 0  # written so far

    def at(self, seconds, msg):
        due = round(seconds * self.rate)
        if due > self.frames:
            self.wav.writeframes(self.synth.render(due - self.frames))
            self.frames = due
        self.synth.play(msg)

    def finish(self, tail=TAIL_SECONDS):
        self.wav.writeframes(self.synth.render(round(tail * self.rate)))
        self.frames += round(tail * self.rate)
        self.wav.close()
        self.synth.close()


def levels(path):
    """(seconds, peak dBFS, RMS dBFS) of a 16-bit WAV file; silence is -inf."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError("%s: not 16-bit" % path)
        frames, rate = w.getnframes(), w.getframerate()
        data = array.array("h", w.readframes(frames))
    if sys.byteorder != "little":
        data.byteswap()
    peak = max((abs(x) for x in data), default=0)
    power = sum(x * x for x in data) / len(data) if data else 0.0

    def db(v):
        return 20 * math.log10(v / 32768.0) if v > 0 else float("-inf")

    return frames / float(rate), db(peak), db(math.sqrt(power))


class VirtualModule(modsim.Module):
    """The simulator's pty, with a receiver that parses, answers and renders."""

    def __init__(self, link, wav=None, soundfont=None):
        super().__init__(link)
        self.stream = MidiStream()
        self.renderer = Renderer(wav, soundfont or find_soundfont()) if wav else None
        self.render_lock = threading.Lock()
        self.start = None  # arrival of the first byte: time 0 of the WAV
        self.clock = 0.0  # s since start when the last byte was through the line
        self.messages = 0
        self.bytes = 0
        self.identity_requests = 0
        self.finished = None
        self.on_bytes = self.receive

    def receive(self, now, data):
        with self.render_lock:
            if self.start is None:
                self.start = now
            for b in data:
                # The pty hands over a burst at once; on the line each byte
                # takes its 10 bits, and the module hears it only then.
                self.clock = max(now - self.start, self.clock + BYTE_TIME)
                self.bytes += 1
                for msg in self.stream.feed(b):
                    self.act(msg)

    def act(self, msg):
        if msg[0] < 0xF8 or msg[0] == 0xFF:  # clock and sensing are not counted as messages
            self.messages += 1
        if msg == IDENTITY_REQUEST:
            self.identity_requests += 1
            self.send_later(REPLY_DELAY_MS, IDENTITY_REPLY)
        if self.renderer and not self.finished:
            self.renderer.at(self.clock, msg)

    def stats(self):
        with self.render_lock:
            return {"messages": self.messages, "bytes": self.bytes, "identity": self.identity_requests}

    def finish(self):
        """Closes the WAV (once); (path, seconds, peak dB, RMS dB) or None without one."""
        with self.render_lock:
            if self.renderer and not self.finished:
                self.renderer.finish()
                self.finished = (self.renderer.path,) + levels(self.renderer.path)
            return self.finished

    def command(self, words):
        cmd = words[0].upper()
        if cmd == "STATS":
            return "STATS " + " ".join("%s=%d" % kv for kv in self.stats().items())
        if cmd == "FINISH":
            done = self.finish()
            if not done:
                return "ERROR no WAV file"
            return "WAV %s seconds=%.3f peak=%.1f rms=%.1f" % done
        return super().command(words)


def find_soundfont():
    for path in SOUNDFONTS:
        if os.path.exists(path):
            return path
    raise RuntimeError("no General MIDI soundfont (tools/install-deps installs timgm6mb-soundfont)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    modsim.add_line_args(ap)
    ap.add_argument("--wav", help="render what arrives to this WAV file")
    ap.add_argument("--soundfont", help="General MIDI soundfont (default: the system's)")
    args = ap.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    module = VirtualModule(args.link, args.wav, args.soundfont)
    try:
        modsim.run(module, args, "vmodule")
    finally:
        done = module.finish()
        if done:
            print("vmodule: %s, %.1f s, peak %.1f dBFS, RMS %.1f dBFS" % done, flush=True)
        module.close()


if __name__ == "__main__":
    sys.exit(main())
