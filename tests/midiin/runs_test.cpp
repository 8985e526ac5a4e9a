/*
 * The poll's road through the parser (midBytesRec, a read at a time, with
 * exclusive data stored a run at a time) against the byte-at-a-time road
 * (midByteRec): the same bytes and buffers must give the same notifications
 * and the same buffer contents, whole or cut into reads of any size.
 */
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "platform/host/sim.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

constexpr DWORD_PTR kCallback = 0xC0FFEE;
constexpr int kMaxBuffers = 4;

struct Row {
    const char *name;
    std::vector<DWORD> buffers; /* capacities queued before the first byte */
    std::vector<BYTE> bytes;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

MIDIHDR gHdr[kMaxBuffers];
char gData[kMaxBuffers][16];
std::vector<std::string> gSeen;

void Record(const sim::Notification &n)
{
    char s[96];
    if (n.dwMsg == MIM_LONGDATA) {
        const MIDIHDR *h = (const MIDIHDR *)n.dwParam1;
        std::string bytes;
        for (DWORD i = 0; i < h->dwBytesRecorded; i++)
            bytes += (snprintf(s, sizeof s, " %02X", (BYTE)h->lpData[i]), s);
        snprintf(s, sizeof s, "LONGDATA #%d [%s ] flags %lu", (int)(h - gHdr), bytes.c_str(),
                 (unsigned long)h->dwFlags);
    } else {
        snprintf(s, sizeof s, "%s %06lX", n.dwMsg == MIM_DATA ? "DATA" : "ERROR", (unsigned long)n.dwParam1);
    }
    gSeen.push_back(s);
}

class Runs : public ::testing::TestWithParam<Row>
{
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        midCritInit();
        gaMidiIn[0].gMidiInClient = MIDICLIENT{kCallback, 0, 0, CALLBACK_FUNCTION};
        gaMidiIn[0].gfMidiInOpen = 1;
        EnableCommIn(0);
        sim::SetNotificationSink(&Record);
    }

    void TearDown() override
    {
        sim::SetNotificationSink(nullptr);
        DisableCommIn(0);
        gaMidiIn[0].gfMidiInOpen = 0;
        midCritDelete();
    }

    /* Fresh state and buffers; readSize 0 feeds one byte at a time through midByteRec. */
    static std::vector<std::string> Pass(const Row &row, size_t readSize, bool thenReset = true)
    {
        gaMidiIn[0].gMIMC = MIDIINCONTROL{};
        gSeen.clear();
        for (size_t i = 0; i < row.buffers.size() && i < kMaxBuffers; i++) {
            gHdr[i] = MIDIHDR{};
            gHdr[i].lpData = gData[i];
            gHdr[i].dwBufferLength = row.buffers[i];
            gHdr[i].dwFlags = MHDR_PREPARED;
            midAddBuffer(0, &gHdr[i]);
        }
        const std::vector<BYTE> &b = row.bytes;
        if (readSize == 0) {
            for (BYTE x : b)
                midByteRec(0, x);
        } else {
            for (size_t at = 0; at < b.size(); at += readSize) {
                UINT cb = (UINT)std::min(readSize, b.size() - at);
                for (UINT i = 0; i < cb;)
                    i += midBytesRec(0, &b[at + i], cb - i);
            }
        }
        if (thenReset)
            midFreeQ(0); /* what a reset would return, so that partial buffers show too */
        return gSeen;
    }
};

std::string Join(const std::vector<std::string> &v)
{
    std::string s;
    for (const std::string &e : v)
        s += (s.empty() ? "" : "\n") + e;
    return s;
}

TEST_P(Runs, GiveWhatBytesOneAtATimeGive)
{
    const Row &row = GetParam();
    std::string byByte = Join(Pass(row, 0));
    for (size_t readSize : {(size_t)1, (size_t)3, row.bytes.size()})
        EXPECT_EQ(byByte, Join(Pass(row, readSize))) << "reads of " << readSize << " bytes";
}

/* The client owns its headers: one that shortens a queued buffer below what
   it already holds gets it back at the next byte, never a byte written past
   the new end. */
TEST_F(Runs, ShortenedBufferIsReturnedAndNotOverrun)
{
    for (bool byRuns : {false, true}) {
        Row row = {"", {8}, {0xF0, 1, 2, 3}};
        Pass(row, 0, false);
        gSeen.clear();
        gHdr[0].dwBufferLength = 2;
        gData[0][4] = 0x55;
        const BYTE more[] = {4, 5, 6};
        if (byRuns)
            midBytesRec(0, more, sizeof more);
        else
            midByteRec(0, more[0]);
        EXPECT_EQ("LONGDATA #0 [ F0 01 02 03 ] flags 3", Join(gSeen)) << (byRuns ? "by runs" : "byte at a time");
        EXPECT_EQ(0x55, gData[0][4]) << "a byte was written beyond the buffer";
    }
}

std::string RowName(const ::testing::TestParamInfo<Row> &info) { return info.param.name; }

const Row kRows[] = {
    {"SysExAcrossThreeBuffers", {4, 4, 4}, {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xF7}},
    {"SysExEndFillsItsBufferExactly", {4, 4}, {0xF0, 1, 2, 0xF7, 0x90, 0x3C, 0x40}},
    {"DataFillsTheBufferJustBeforeTheEnd", {3, 4}, {0xF0, 1, 2, 0xF7, 0xF8}},
    {"SysExWithNoBufferQueuedIsDropped", {}, {0xF0, 1, 2, 3, 0xF7, 0x90, 0x3C, 0x40}},
    {"SysExOutlastsTheQueue", {2}, {0xF0, 1, 2, 3, 4, 0xF7, 0xF8}},
    {"ClockInsideSysExComesFirst", {8}, {0xF0, 1, 0xF8, 2, 3, 0xF7}},
    {"ChannelStatusCutsSysEx", {8}, {0xF0, 1, 2, 0x90, 0x3C, 0x40, 0x3E}},
    {"SysExFollowsSysEx", {3, 3, 3}, {0xF0, 1, 0xF7, 0xF0, 2, 3, 4, 0xF7}},
    {"DataAfterTheEndIsStray", {8}, {0xF0, 1, 0xF7, 5, 6}},
    {"RunningStatusBetweenExclusives", {4, 4}, {0x90, 0x3C, 0x40, 0xF0, 1, 0xF7, 0x3E, 0x40}},
};

INSTANTIATE_TEST_SUITE_P(PollReads, Runs, ::testing::ValuesIn(kRows), RowName);

} // namespace
