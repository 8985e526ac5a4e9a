/*
 * Hex parsing, message splitting and naming for tolvexctl. The length rules
 * are the MIDI 1.0 ones, so that a message typed by hand leaves the driver
 * whole or not at all.
 */
#include "midimsg.h"

#include <cstdio>

namespace midimsg
{
namespace
{
constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kEox = 0xF7;
constexpr uint8_t kRealTimeFirst = 0xF8;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Bytes of a message by its status, the status included. */
int Length(uint8_t status)
{
    if (status < 0xF0)
        return (status & 0xE0) == 0xC0 ? 2 : 3; /* Cx and Dx carry one data byte */
    switch (status) {
    case 0xF1: /* time code quarter frame */
    case 0xF3: /* song select */
        return 2;
    case 0xF2: /* song position */
        return 3;
    default: /* tune request, undefined F4 F5, real-time */
        return 1;
    }
}

std::string At(size_t i, uint8_t b, const char *what)
{
    char t[128];
    snprintf(t, sizeof t, "byte %zu (0x%02x): %s", i + 1, b, what);
    return t;
}

const char *const kNoteNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
} // namespace

std::string ParseHex(const std::vector<std::string> &words, std::vector<uint8_t> *out)
{
    out->clear();
    for (const std::string &word : words) {
        size_t i = 0;
        while (i < word.size()) {
            char c = word[i];
            if (c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r') {
                i++;
                continue;
            }
            if (c == '0' && i + 1 < word.size() && (word[i + 1] == 'x' || word[i + 1] == 'X')) {
                i += 2;
                continue;
            }
            size_t start = i;
            while (i < word.size() && HexDigit(word[i]) >= 0)
                i++;
            bool endsClean = i == word.size() || word[i] == ' ' || word[i] == ',' || word[i] == '\t' ||
                             word[i] == '\n' || word[i] == '\r';
            if (i == start || !endsClean)
                return "\"" + word + "\" is not hexadecimal";
            if ((i - start) % 2 != 0)
                return "\"" + word.substr(start, i - start) + "\" has an odd number of hex digits";
            for (size_t k = start; k < i; k += 2)
                out->push_back((uint8_t)(HexDigit(word[k]) << 4 | HexDigit(word[k + 1])));
        }
    }
    return std::string();
}

std::string Split(const std::vector<uint8_t> &bytes, std::vector<Message> *out)
{
    out->clear();
    uint8_t running = 0;
    size_t i = 0;
    while (i < bytes.size()) {
        uint8_t b = bytes[i];
        if (b == kSysEx) {
            /* Real-time bytes may stand inside system exclusive: they go out where they stand. */
            size_t end = i + 1;
            while (end < bytes.size() && (bytes[end] < 0x80 || bytes[end] >= kRealTimeFirst))
                end++;
            if (end == bytes.size() || bytes[end] != kEox)
                return At(end < bytes.size() ? end : i, end < bytes.size() ? bytes[end] : b,
                          end < bytes.size() ? "system exclusive cut off by another status"
                                             : "system exclusive without its closing F7");
            out->push_back({std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + end + 1), true});
            running = 0;
            i = end + 1;
            continue;
        }
        if (b == kEox)
            return At(i, b, "end of system exclusive with no F0 before it");
        if (b >= kRealTimeFirst) {
            out->push_back({{b}, false}); /* real-time leaves the running status alone */
            i++;
            continue;
        }
        Message m{{}, false};
        if (b & 0x80) {
            m.bytes.push_back(b);
            running = b < 0xF0 ? b : 0;
            i++;
        } else if (running != 0) {
            m.bytes.push_back(running);
        } else {
            return At(i, b, "data byte with no status before it");
        }
        int need = Length(m.bytes[0]);
        while ((int)m.bytes.size() < need) {
            if (i >= bytes.size())
                return At(i - 1, bytes[i - 1], "message cut short at the end");
            if (bytes[i] & 0x80)
                return At(i, bytes[i], "status where a data byte was expected");
            m.bytes.push_back(bytes[i++]);
        }
        out->push_back(std::move(m));
    }
    return std::string();
}

Outcome Put(const uint8_t *data, size_t size, bool sysex, size_t pieceBytes, const Out &out,
            const std::function<bool()> &stop, size_t *sent)
{
    *sent = 0;
    if (!sysex) {
        if (stop())
            return Outcome::kStopped;
        if (!out(data, size, false))
            return Outcome::kFailed;
        *sent = size;
        return Outcome::kSent;
    }
    Outcome outcome = Outcome::kSent;
    while (*sent < size) {
        if (stop()) {
            outcome = Outcome::kStopped;
            break;
        }
        size_t n = size - *sent < pieceBytes ? size - *sent : pieceBytes;
        if (!out(data + *sent, n, true)) {
            outcome = Outcome::kFailed;
            break;
        }
        *sent += n;
    }
    if (*sent > 0 && *sent < size) {
        const uint8_t eox = kEox;
        out(&eox, 1, true);
    }
    return outcome;
}

uint32_t Pack(const std::vector<uint8_t> &bytes)
{
    uint32_t v = 0;
    for (size_t k = 0; k < bytes.size() && k < 4; k++)
        v |= (uint32_t)bytes[k] << (8 * k);
    return v;
}

std::vector<uint8_t> Unpack(uint32_t packed)
{
    uint8_t status = (uint8_t)packed;
    int n = status & 0x80 ? Length(status) : 3;
    std::vector<uint8_t> v;
    for (int k = 0; k < n; k++)
        v.push_back((uint8_t)(packed >> (8 * k)));
    return v;
}

std::string Hex(const uint8_t *data, size_t size)
{
    std::string s;
    char b[4];
    for (size_t k = 0; k < size; k++) {
        snprintf(b, sizeof b, k ? " %02x" : "%02x", data[k]);
        s += b;
    }
    return s;
}

std::string Describe(const std::vector<uint8_t> &m)
{
    if (m.empty())
        return std::string();
    char t[96] = "";
    uint8_t s = m[0];
    int ch = (s & 0x0F) + 1;
    auto d = [&](size_t k) { return k < m.size() ? m[k] : 0; };
    switch (s >= 0xF0 ? s : s & 0xF0) {
    case 0x80:
    case 0x90:
        snprintf(t, sizeof t, "%s ch %d note %d (%s%d) vel %d",
                 (s & 0xF0) == 0x80 || d(2) == 0 ? "note-off" : "note-on", ch, d(1), kNoteNames[d(1) % 12],
                 d(1) / 12 - 1, d(2));
        break;
    case 0xA0:
        snprintf(t, sizeof t, "poly-pressure ch %d note %d value %d", ch, d(1), d(2));
        break;
    case 0xB0:
        snprintf(t, sizeof t, "control ch %d controller %d value %d", ch, d(1), d(2));
        break;
    case 0xC0:
        snprintf(t, sizeof t, "program ch %d program %d", ch, d(1) + 1);
        break;
    case 0xD0:
        snprintf(t, sizeof t, "pressure ch %d value %d", ch, d(1));
        break;
    case 0xE0:
        snprintf(t, sizeof t, "pitch-bend ch %d value %d", ch, (d(2) << 7 | d(1)) - 8192);
        break;
    case 0xF0:
        snprintf(t, sizeof t, "sysex %zu bytes", m.size());
        break;
    case 0xF1:
        snprintf(t, sizeof t, "time-code %d", d(1));
        break;
    case 0xF2:
        snprintf(t, sizeof t, "song-position %d", d(2) << 7 | d(1));
        break;
    case 0xF3:
        snprintf(t, sizeof t, "song-select %d", d(1));
        break;
    case 0xF6:
        return "tune-request";
    case 0xF8:
        return "clock";
    case 0xFA:
        return "start";
    case 0xFB:
        return "continue";
    case 0xFC:
        return "stop";
    case 0xFE:
        return "active-sensing";
    case 0xFF:
        return "system-reset";
    }
    return t;
}

} // namespace midimsg
