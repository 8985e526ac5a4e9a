/*
 * MIDI byte handling shared by tolvexctl's commands: hex text to bytes, a
 * byte stream cut into whole messages (sysex apart, running status
 * expanded), packing for short messages, and one-line descriptions for dump.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace midimsg
{

struct Message {
    std::vector<uint8_t> bytes; /* complete, status byte first */
    bool sysex;                 /* F0 ... F7: goes out as a long message */
};

/* "90 3c 40", "903c40", "0x90,0x3C" and the like, any number of arguments.
   Empty string on success, else which piece is not hexadecimal. */
std::string ParseHex(const std::vector<std::string> &words, std::vector<uint8_t> *out);

/* Cuts bytes into messages. Empty string on success, else the first byte
   that does not fit ("byte 3 (0x3c): data byte with no status before it"). */
std::string Split(const std::vector<uint8_t> &bytes, std::vector<Message> *out);

/* A short message packed low byte first, as midiOutShortMsg takes it. */
uint32_t Pack(const std::vector<uint8_t> &bytes);

/* Bytes of a packed short message as the input device reported it. */
std::vector<uint8_t> Unpack(uint32_t packed);

std::string Hex(const uint8_t *data, size_t size);

/* "note-on ch 1 note 60 vel 64"; empty for bytes it has no name for. */
std::string Describe(const std::vector<uint8_t> &bytes);

} // namespace midimsg
