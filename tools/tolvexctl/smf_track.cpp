/*
 * One track of a Standard MIDI File, event by event. Every length in the
 * track is checked against what is really there before it is used, so that
 * a truncated or damaged file ends in an error naming the place rather than
 * a read past the end.
 */
#include "smf_track.h"

#include <cstdio>

namespace smf
{
namespace
{
constexpr int kVlqMaxBytes = 4; /* a delta time or length never needs more */
constexpr uint8_t kMeta = 0xFF;
constexpr uint8_t kEscape = 0xF7; /* sysex continuation or raw bytes */
constexpr uint8_t kMetaEndOfTrack = 0x2F;
constexpr uint8_t kMetaTempo = 0x51;
constexpr uint32_t kTempoBytes = 3;

std::string Where(const Cursor &c, size_t at)
{
    char b[64];
    snprintf(b, sizeof b, "track %d, byte 0x%zx: ", c.track + 1, at);
    return b;
}

bool ReadVlq(Cursor &c, uint32_t *value, const char *what, std::string *error)
{
    size_t at = c.pos;
    uint32_t v = 0;
    for (int n = 0; n < kVlqMaxBytes; n++) {
        if (c.pos >= c.end) {
            *error = Where(c, at) + "the track ends inside a " + what;
            return false;
        }
        uint8_t b = c.data[c.pos++];
        v = v << 7 | (b & 0x7F);
        if ((b & 0x80) == 0) {
            *value = v;
            return true;
        }
    }
    *error = Where(c, at) + "a " + what + " longer than 4 bytes";
    return false;
}
} // namespace

int ChannelLength(uint8_t status)
{
    switch (status & 0xF0) {
    case 0xC0: /* program change */
    case 0xD0: /* channel pressure */
        return 2;
    default:
        return 3;
    }
}

bool TrackReader::Next(Item *item, std::string *error)
{
    while (!ended_ && c_.pos < c_.end) {
        uint32_t delta;
        if (!ReadVlq(c_, &delta, "delta time", error))
            return false;
        tick_ += delta;
        size_t at = c_.pos;
        if (c_.pos >= c_.end) {
            *error = Where(c_, at) + "the track ends after a delta time, without its event";
            return false;
        }
        *item = Item{Item::kShort, tick_, 0, false, nullptr, 0};
        uint8_t b = c_.data[c_.pos];
        if (b == kMeta) {
            c_.pos++;
            if (c_.pos >= c_.end) {
                *error = Where(c_, at) + "the track ends inside a meta event";
                return false;
            }
            uint8_t type = c_.data[c_.pos++];
            uint32_t len;
            if (!ReadVlq(c_, &len, "meta event length", error))
                return false;
            if (len > c_.end - c_.pos) {
                *error = Where(c_, at) + "a meta event of " + std::to_string(len) + " bytes runs past the track's end";
                return false;
            }
            if (type == kMetaEndOfTrack) {
                ended_ = true; /* anything after it is not part of the track */
                break;
            }
            const uint8_t *p = c_.data + c_.pos;
            c_.pos += len;
            if (type == kMetaTempo) {
                if (len != kTempoBytes) {
                    *error = Where(c_, at) + "a set-tempo event of " + std::to_string(len) + " bytes (3 expected)";
                    return false;
                }
                item->kind = Item::kTempo;
                item->value = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
                if (item->value == 0) {
                    *error = Where(c_, at) + "a set-tempo event of 0 us per quarter note";
                    return false;
                }
                return true;
            }
            continue;
        }
        if (b == kSysEx || b == kEscape) {
            c_.pos++;
            uint32_t len;
            if (!ReadVlq(c_, &len, "system exclusive length", error))
                return false;
            if (len > c_.end - c_.pos) {
                *error = Where(c_, at) + "a system exclusive event of " + std::to_string(len) +
                         " bytes runs past the track's end";
                return false;
            }
            item->kind = Item::kLong;
            item->withF0 = b == kSysEx;
            item->data = c_.data + c_.pos;
            item->size = len;
            c_.pos += len;
            if (item->withF0 || len > 0) /* an empty escape sends nothing */
                return true;
            continue;
        }
        if (b >= 0xF0) {
            char t[80];
            snprintf(t, sizeof t, "status 0x%02x cannot stand in a file (only in a system exclusive escape)", b);
            *error = Where(c_, at) + t;
            return false;
        }
        if (b & 0x80) {
            status_ = b;
            c_.pos++;
        } else if (status_ == 0) {
            char t[64];
            snprintf(t, sizeof t, "data byte 0x%02x with no status byte before it", b);
            *error = Where(c_, at) + t;
            return false;
        }
        item->value = status_;
        for (int k = 1; k < ChannelLength(status_); k++) {
            if (c_.pos >= c_.end) {
                *error = Where(c_, at) + "the track ends inside a channel message";
                return false;
            }
            uint8_t d = c_.data[c_.pos];
            if (d & 0x80) {
                char t[80];
                snprintf(t, sizeof t, "status 0x%02x where message 0x%02x needs a data byte", d, status_);
                *error = Where(c_, c_.pos) + t;
                return false;
            }
            item->value |= (uint32_t)d << (8 * k);
            c_.pos++;
        }
        return true;
    }
    ended_ = true; /* without an end-of-track event the last event ends it */
    *item = Item{Item::kEnd, tick_, 0, false, nullptr, 0};
    return true;
}

} // namespace smf
