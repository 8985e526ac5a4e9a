#!/usr/bin/env python3
"""Writes the demo's Standard MIDI Files: media/demo.mid (eight bars) and
media/demo-short.mid (a two-bar cadence, for the test command).

    mkdemo.py [--out DIR]

Format 1 at 480 ticks a quarter: a conductor track (GM System On, tempo,
metre, a slower last bar) and four instruments on channels 1, 2, 3 and 10,
each with its program change and controllers. Channel events are written
under running status, as sequencers write them, so that a reader must
follow it. The output depends on nothing but this script.
"""
import argparse
import os
import struct
import sys

PPQ = 480  # ticks per quarter note
BAR = 4 * PPQ
TEMPO_US = 500000  # 120 quarter notes a minute
LAST_BAR_TEMPO_US = 600000  # 100 a minute: the last bar slows down
GM_SYSTEM_ON = bytes([0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7])

PIANO, BASS, FLUTE, DRUMS = 0, 1, 2, 9  # channels (0-based)
PROGRAMS = {PIANO: 4, BASS: 33, FLUTE: 73}  # electric piano 1, fingered bass, flute
MIX = {PIANO: (90, 48, 40), BASS: (100, 64, 10), FLUTE: (96, 80, 60), DRUMS: (85, 64, 30)}  # volume, pan, reverb
CC_VOLUME, CC_PAN, CC_REVERB, CC_SUSTAIN = 7, 10, 91, 64
KICK, SNARE, HAT, CRASH = 36, 38, 42, 49

CHORDS = {  # (piano voicing, bass root)
    "C": ((60, 64, 67), 36),
    "Am": ((57, 60, 64), 45),
    "F": ((57, 60, 65), 41),
    "G": ((55, 59, 62), 43),
    "Dm": ((57, 62, 65), 38),
}

# Bars: chords with their length in beats, and the tune as (beat, beats, note).
SONG = [
    ([("C", 4)], [(0, 1, 72), (1, 1, 76), (2, 2, 79)]),
    ([("Am", 4)], [(0, 1, 81), (1, 0.5, 79), (1.5, 0.5, 76), (2, 2, 72)]),
    ([("F", 4)], [(0, 1, 77), (1, 1, 81), (2, 1, 79), (3, 1, 77)]),
    ([("G", 4)], [(0, 1, 76), (1, 1, 74), (2, 2, 71)]),
    ([("C", 4)], [(0, 0.5, 72), (0.5, 0.5, 74), (1, 1, 76), (2, 1, 79), (3, 1, 84)]),
    ([("Am", 4)], [(0, 2, 81), (2, 2, 76)]),
    ([("Dm", 2), ("G", 2)], [(0, 1, 77), (1, 1, 74), (2, 1, 79), (3, 1, 74)]),
    ([("C", 4)], [(0, 4, 72)]),
]
SHORT = [SONG[3], SONG[7]]  # the closing cadence: G, then C


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.insert(0, 0x80 | (n & 0x7F))
        n >>= 7
    return bytes(out)


def track_chunk(events):
    """events: (tick, order, bytes); channel events under running status,
    which meta and system-exclusive events cancel."""
    body, last_tick, status = bytearray(), 0, 0
    for tick, _, data in sorted(events, key=lambda e: (e[0], e[1])):
        body += vlq(tick - last_tick)
        last_tick = tick
        if data[0] == 0xFF:
            body += data
            status = 0
        elif data[0] == 0xF0:
            body += bytes([0xF0]) + vlq(len(data) - 1) + data[1:]
            status = 0
        else:
            body += data[1:] if data[0] == status else data
            status = data[0]
    body += vlq(0) + bytes([0xFF, 0x2F, 0x00])
    return b"MTrk" + struct.pack(">I", len(body)) + bytes(body)


def meta(kind, data):
    return bytes([0xFF, kind]) + vlq(len(data)) + data


def note(events, channel, tick, length, key, velocity, off_as_note_on):
    # Order: offs before ons at the same tick, so a repeated key restarts.
    events.append((tick, 2, bytes([0x90 | channel, key, velocity])))
    off = bytes([0x90 | channel, key, 0]) if off_as_note_on else bytes([0x80 | channel, key, 0x40])
    events.append((tick + length, 1, off))


def setup(events, channel, name):
    events.append((0, 0, meta(0x03, name.encode())))
    if channel in PROGRAMS:
        events.append((0, 0, bytes([0xC0 | channel, PROGRAMS[channel]])))
    volume, pan, reverb = MIX[channel]
    for cc, value in ((CC_VOLUME, volume), (CC_PAN, pan), (CC_REVERB, reverb)):
        events.append((0, 0, bytes([0xB0 | channel, cc, value])))


def song_tracks(bars):
    conductor, piano, bass, flute, drums = [], [], [], [], []
    conductor += [(0, 0, meta(0x03, b"TOLVEX demo")), (0, 0, GM_SYSTEM_ON),
                  (0, 0, meta(0x58, bytes([4, 2, 24, 8]))), (0, 0, meta(0x51, TEMPO_US.to_bytes(3, "big"))),
                  (BAR * (len(bars) - 1), 0, meta(0x51, LAST_BAR_TEMPO_US.to_bytes(3, "big")))]
    setup(piano, PIANO, "Electric piano")
    setup(bass, BASS, "Bass")
    setup(flute, FLUTE, "Flute")
    setup(drums, DRUMS, "Drums")
    beat = PPQ
    for i, (chords, tune) in enumerate(bars):
        start = i * BAR
        last = i == len(bars) - 1
        at = start
        piano.append((start, 1, bytes([0xB0 | PIANO, CC_SUSTAIN, 127])))
        for name, beats in chords:
            voicing, root = CHORDS[name]
            for hit in [0] if last else range(0, beats, 2):
                length = beats * beat if last else 2 * beat - beat // 4
                for key in voicing:
                    note(piano, PIANO, at + hit * beat, length, key, 72 if hit else 84, True)
            if last:
                note(bass, BASS, at, 4 * beat, root, 100, False)
            else:
                pattern = [(0, 1.5, root, 100), (1.5, 0.5, root, 80), (2, 1, root + 7, 90), (3, 1, root + 12, 85)]
                for b, n, key, vel in pattern:
                    if b < beats:
                        note(bass, BASS, at + int(b * beat), int(min(n, beats - b) * beat) - 20, key, vel, False)
            at += beats * beat
        piano.append((start + BAR - beat // 8, 0, bytes([0xB0 | PIANO, CC_SUSTAIN, 0])))
        for b, n, key in tune:
            note(flute, FLUTE, start + int(b * beat), int(n * beat) - 10, key, 96, True)
        if last:
            note(drums, DRUMS, start, beat, CRASH, 110, True)
            note(drums, DRUMS, start, beat // 2, KICK, 110, True)
        else:
            for eighth in range(8):
                t = start + eighth * beat // 2
                note(drums, DRUMS, t, beat // 4, HAT, 70 if eighth % 2 else 90, True)
                if eighth in (0, 4):
                    note(drums, DRUMS, t, beat // 4, KICK, 105, True)
                if eighth in (2, 6):
                    note(drums, DRUMS, t, beat // 4, SNARE, 95, True)
    return [conductor, piano, bass, flute, drums]


def smf(bars):
    tracks = song_tracks(bars)
    head = b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), PPQ)
    return head + b"".join(track_chunk(t) for t in tracks)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "media"))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for name, bars in (("demo.mid", SONG), ("demo-short.mid", SHORT)):
        path = os.path.join(args.out, name)
        with open(path, "wb") as f:
            f.write(smf(bars))
        print("mkdemo: %s (%d bytes)" % (os.path.normpath(path), os.path.getsize(path)))


if __name__ == "__main__":
    sys.exit(main())
