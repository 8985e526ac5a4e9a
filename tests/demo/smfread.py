"""A small, separate reader of Standard MIDI Files for the demo's tests: it
checks what tools/mkdemo.py writes without sharing its code."""
import struct


def read_vlq(data, pos):
    n = 0
    while True:
        b = data[pos]
        pos += 1
        n = (n << 7) | (b & 0x7F)
        if not b & 0x80:
            return n, pos


def read(data):
    """(format, division, tracks); a track is a list of (tick, event bytes,
    ran) where ran says the event's status byte was left out in the file.
    Meta events come as FF type data; system exclusive as F0 ... F7."""
    assert data[:4] == b"MThd", "no MThd"
    length, fmt, ntracks, division = struct.unpack(">IHHH", data[4:14])
    pos = 8 + length
    tracks = []
    for _ in range(ntracks):
        assert data[pos:pos + 4] == b"MTrk", "no MTrk at %d" % pos
        (size,) = struct.unpack(">I", data[pos + 4:pos + 8])
        p, end, tick, status, events = pos + 8, pos + 8 + size, 0, 0, []
        while p < end:
            delta, p = read_vlq(data, p)
            tick += delta
            b = data[p]
            if b == 0xFF:
                n, q = read_vlq(data, p + 2)
                events.append((tick, bytes([0xFF, data[p + 1]]) + data[q:q + n], False))
                p, status = q + n, 0
            elif b == 0xF0:
                n, q = read_vlq(data, p + 1)
                events.append((tick, b"\xf0" + data[q:q + n], False))
                p, status = q + n, 0
            else:
                ran = b < 0x80
                if not ran:
                    status, p = b, p + 1
                n = 1 if status >> 4 in (0xC, 0xD) else 2
                events.append((tick, bytes([status]) + data[p:p + n], ran))
                p += n
        tracks.append(events)
        pos = end
    return fmt, division, tracks


def timed(data):
    """Every non-meta event in playing order as (seconds, bytes), through the
    tempo map of the first track."""
    _, division, tracks = read(data)
    tempos = sorted((t, int.from_bytes(e[2:], "big")) for t, e, _ in tracks[0] if e[:2] == b"\xff\x51")
    merged = sorted(((t, e) for tr in tracks for t, e, _ in tr if e[0] != 0xFF), key=lambda x: x[0])

    def seconds(tick):
        s, last_tick, us = 0.0, 0, 500000
        for t, tempo in tempos:
            if t >= tick:
                break
            s += (t - last_tick) * us / 1e6 / division
            last_tick, us = t, tempo
        return s + (tick - last_tick) * us / 1e6 / division

    return [(seconds(t), e) for t, e in merged]
