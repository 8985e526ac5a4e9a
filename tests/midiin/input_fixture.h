/*
 * Shared by the input tests: an input client whose notifications are recorded
 * as text at the moment they are made (buffers with the bytes they hold
 * then), and application buffers that the tests own.
 */
#pragma once

#include "../hex.h"
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "midiout/msglen.h"
#include "platform/host/sim.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace input_test
{

constexpr DWORD_PTR kCallback = 0xC0FFEE;
constexpr DWORD_PTR kInstance = 0x1234;
constexpr DWORD_PTR kHandle = 0xBEEF;

using test_hex::Bytes;
using test_hex::Hex;

/* A packed message as the bytes its status says it has, or more where more
   are not zero. */
inline std::string Packed(DWORD_PTR word)
{
    BYTE b[sizeof word];
    size_t len = 1;
    for (size_t i = 0; i < sizeof word; i++)
        if ((b[i] = (BYTE)(word >> (8 * i))) != 0 && i >= len)
            len = i + 1;
    size_t statusLen = b[0] < 0x80 ? 1 : b[0] < 0xF0 ? gabMsgLenChannel[(b[0] >> 4) - 8] : gabMsgLenSystem[b[0] - 0xF0];
    return Hex(b, len > statusLen ? len : statusLen);
}

class InputTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        midCritInit();
        gaMidiIn[0].gMIMC = MIDIINCONTROL{};
        gaMidiIn[0].gMidiInClient = MIDICLIENT{kCallback, kInstance, kHandle, CALLBACK_FUNCTION};
        gaMidiIn[0].gfMidiInOpen = 1;
        EnableCommIn(0); /* notifications are made only while input passes */
        sim::OnNotification([this](const sim::Notification &n) { Record(n); });
    }

    void TearDown() override
    {
        sim::OnNotification(nullptr);
        gaMidiIn[0].gfMidiInOpen = 0;
        DisableCommIn(0);
        midCritDelete();
    }

    /* A prepared buffer of the given capacity, owned by the test. */
    MIDIHDR *Buffer(DWORD capacity)
    {
        std::lock_guard<std::mutex> g(lock_);
        data_.emplace_back(capacity ? capacity : 1, (char)0xAA);
        headers_.emplace_back();
        MIDIHDR *h = &headers_.back();
        h->lpData = data_.back().data();
        h->dwBufferLength = capacity;
        h->dwFlags = MHDR_PREPARED;
        return h;
    }

    MIDIHDR *Queue(DWORD capacity)
    {
        MIDIHDR *h = Buffer(capacity);
        EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midAddBuffer(0, h)) << "queueing a prepared " << capacity << "-byte buffer";
        return h;
    }

    /* Each byte arrives stepMs after the one before; "!!" is a port error
       reported after the bytes before it, taking no time. */
    void Feed(const char *hex, DWORD stepMs = 10)
    {
        std::string all = hex;
        for (size_t at = 0; at < all.size();) {
            size_t end = all.find(' ', at);
            std::string token = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? all.size() : end + 1;
            if (token == "!!") {
                midPortError(0);
                continue;
            }
            sim::AdvanceTime(stepMs);
            midByteRec(0, Bytes(token.c_str()).at(0));
        }
    }

    std::vector<std::string> Seen()
    {
        std::lock_guard<std::mutex> g(lock_);
        return seen_;
    }

    static std::string Join(const std::vector<std::string> &v)
    {
        std::string s;
        for (const std::string &e : v)
            s += (s.empty() ? "" : ", ") + e;
        return "[" + s + "]";
    }

    int IndexOf(const MIDIHDR *h)
    {
        for (size_t i = 0; i < headers_.size(); i++)
            if (&headers_[i] == h)
                return (int)i;
        return -1;
    }

  private:
    void Record(const sim::Notification &n)
    {
        std::lock_guard<std::mutex> g(lock_);
        std::string s;
        switch (n.dwMsg) {
        case MIM_OPEN:
            s = "OPEN";
            break;
        case MIM_CLOSE:
            s = "CLOSE";
            break;
        case MIM_DATA:
            s = "DATA " + Packed(n.dwParam1);
            break;
        case MIM_ERROR:
            s = "ERROR " + Packed(n.dwParam1);
            break;
        case MIM_LONGDATA:
        case MIM_LONGERROR: {
            const MIDIHDR *h = reinterpret_cast<const MIDIHDR *>(n.dwParam1);
            s = std::string(n.dwMsg == MIM_LONGDATA ? "LONGDATA #" : "LONGERROR #") + std::to_string(IndexOf(h)) +
                " [" + Hex(reinterpret_cast<const BYTE *>(h->lpData), h->dwBytesRecorded) + "]";
            if ((h->dwFlags & (MHDR_DONE | MHDR_INQUEUE)) != MHDR_DONE)
                s += " flags " + std::to_string(h->dwFlags);
            break;
        }
        default:
            s = "code " + std::to_string(n.dwMsg);
        }
        if (n.dwMsg == MIM_DATA || n.dwMsg == MIM_ERROR || n.dwMsg == MIM_LONGDATA || n.dwMsg == MIM_LONGERROR)
            s += " @" + std::to_string(n.dwParam2);
        if (n.dwCallback != kCallback || n.dwUser != kInstance || n.hDevice != (HDRVR)kHandle)
            s += " (not for the input client)";
        seen_.push_back(s);
    }

    std::mutex lock_;
    std::deque<std::vector<char>> data_;
    std::deque<MIDIHDR> headers_;
    std::vector<std::string> seen_;
};

} // namespace input_test
