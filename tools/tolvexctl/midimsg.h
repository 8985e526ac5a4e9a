/*
 * MIDI byte handling shared by tolvexctl's commands: hex text to bytes, a
 * byte stream cut into whole messages (sysex apart, running status
 * expanded), a message put out in pieces that a stop can come between,
 * packing for short messages, and one-line descriptions for dump.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

/* How Put ended. */
enum class Outcome { kSent, kStopped, kFailed };

/* Sends size bytes out: (bytes, count, long message); false when the device refused them. */
using Out = std::function<bool(const uint8_t *, size_t, bool)>;

/* Puts one message out: a short one whole, a long one in pieces of at most
   pieceBytes, so that a long send can be stopped between them. stop() is
   asked before the message and before each piece. A long message cut short
   after its first piece (stopped, or a piece refused) is ended with a lone
   F7, so that the receiver does not stay inside system exclusive. *sent
   counts the message's bytes that went out, the added F7 not included. */
Outcome Put(const uint8_t *data, size_t size, bool sysex, size_t pieceBytes, const Out &out,
            const std::function<bool()> &stop, size_t *sent);

/* A short message packed low byte first, as midiOutShortMsg takes it. */
uint32_t Pack(const std::vector<uint8_t> &bytes);

/* Bytes of a packed short message as the input device reported it. */
std::vector<uint8_t> Unpack(uint32_t packed);

std::string Hex(const uint8_t *data, size_t size);

/* "note-on ch 1 note 60 vel 64"; empty for bytes it has no name for. */
std::string Describe(const std::vector<uint8_t> &bytes);

} // namespace midimsg
