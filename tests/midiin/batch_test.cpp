/*
 * A read's notifications, gathered under the input lock and made in batches
 * with it released: one clock reading stamps the read, the order is that of
 * the bytes, and a callback still acts on the bytes that follow in the read
 * where it could before (a buffer queued, the gate closed).
 */
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "platform/host/sim.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

constexpr DWORD_PTR kCallback = 0xBA7C4;
constexpr DWORD kStartTime = 1000; /* clock when input started */

/* "DATA 403C90", "ERROR 0000F8", "LONGDATA [ F0 01 ]" */
std::string Describe(const sim::Notification &n)
{
    char s[96];
    if (n.dwMsg == MIM_LONGDATA) {
        const MIDIHDR *h = (const MIDIHDR *)n.dwParam1;
        std::string bytes;
        for (DWORD i = 0; i < h->dwBytesRecorded; i++)
            bytes += (snprintf(s, sizeof s, " %02X", (BYTE)h->lpData[i]), s);
        return "LONGDATA [" + bytes + " ]";
    }
    snprintf(s, sizeof s, "%s %06lX", n.dwMsg == MIM_DATA ? "DATA" : "ERROR", (unsigned long)n.dwParam1);
    return s;
}

class Batch : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        midCritInit();
        gaMidiIn[0].gMIMC = MIDIINCONTROL{};
        gaMidiIn[0].gMidiInClient = MIDICLIENT{kCallback, 0, 0, CALLBACK_FUNCTION};
        gaMidiIn[0].gfMidiInOpen = 1;
        sim::SetTime(kStartTime);
        gaMidiIn[0].gMIMC.dwStartTime = kStartTime;
        EnableCommIn(0);
        /* Contents are read as the callback sees them: a re-queued buffer
           is overwritten later in the same read. */
        sim::OnNotification([this](const sim::Notification &n) {
            heard.push_back(Describe(n));
            locksHeld.push_back(sim::HeldCriticalSections());
            if (hook)
                hook(n);
        });
    }

    void TearDown() override
    {
        DisableCommIn(0);
        gaMidiIn[0].gfMidiInOpen = 0;
        midCritDelete();
    }

    void Queue(MIDIHDR *h, char *data, DWORD cb)
    {
        *h = MIDIHDR{};
        h->lpData = data;
        h->dwBufferLength = cb;
        h->dwFlags = MHDR_PREPARED;
        ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midAddBuffer(0, h));
    }

    /* One poll's read, handed on as the poll does. */
    static UINT Read(const std::vector<BYTE> &b)
    {
        UINT i = 0;
        while (i < b.size() && gaCommPort[0].fCommIn == 0)
            i += midBytesRec(0, b.data() + i, (UINT)(b.size() - i));
        return i;
    }

    std::vector<std::string> heard;
    std::vector<int> locksHeld;
    std::function<void(const sim::Notification &)> hook;
};

TEST_F(Batch, AllMessagesOfOneReadCarryOneStampWhileByteCallsReadTheClockEach)
{
    sim::SetClockStep(1); /* every clock read moves the clock on by 1 ms */
    const std::vector<BYTE> bytes = {0x90, 0x3C, 0x40, 0xF8, 0x3E, 0x40, 0xC0, 0x05, 0xFE};
    DWORD before = sim::ClockReads();
    Read(bytes);
    EXPECT_EQ(1u, sim::ClockReads() - before) << "clock reads for one read";
    auto notes = sim::Notifications();
    ASSERT_EQ(5u, notes.size()) << "messages delivered";
    for (const auto &n : notes)
        EXPECT_EQ(notes[0].dwParam2, n.dwParam2) << Describe(n) << ": stamp differs within one read";

    sim::ClearNotifications();
    before = sim::ClockReads();
    for (BYTE b : bytes)
        midByteRec(0, b);
    notes = sim::Notifications();
    ASSERT_EQ(5u, notes.size()) << "messages delivered a byte at a time";
    for (size_t i = 1; i < notes.size(); i++)
        EXPECT_LT(notes[i - 1].dwParam2, notes[i].dwParam2)
            << Describe(notes[i]) << ": a byte at a time, each message reads the clock anew";
}

TEST_F(Batch, BufferRequeuedFromItsCallbackTakesTheRestOfTheExclusiveInTheSameRead)
{
    MIDIHDR hdr;
    char data[4];
    Queue(&hdr, data, sizeof data);
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_LONGDATA) {
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midAddBuffer(0, &hdr)) << "re-queue from the callback";
        }
    };
    Read({0x90, 0x3C, 0x40, 0xF8, 0xF0, 1, 2, 3, 4, 5, 6, 0xF7, 0xF8});

    EXPECT_EQ((std::vector<std::string>{"DATA 403C90", "DATA 0000F8", "LONGDATA [ F0 01 02 03 ]",
                                        "LONGDATA [ 04 05 06 F7 ]", "DATA 0000F8"}),
              heard);
    EXPECT_EQ(std::vector<int>(heard.size(), 0), locksHeld) << "locks held during each callback";
}

TEST_F(Batch, BufferQueuedFromAClockCallbackInsideExclusiveTakesTheDataThatFollows)
{
    /* No buffer when the exclusive starts; the clock inside it queues one. */
    MIDIHDR hdr;
    char data[8];
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_DATA && n.dwParam1 == 0xF8 && !(hdr.dwFlags & MHDR_INQUEUE)) {
            hdr = MIDIHDR{};
            hdr.lpData = data;
            hdr.dwBufferLength = sizeof data;
            hdr.dwFlags = MHDR_PREPARED;
            midAddBuffer(0, &hdr);
        }
    };
    hdr.dwFlags = 0;
    Read({0x90, 0x3C, 0x40, 0xF0, 1, 0xF8, 2, 3, 0xF7});

    EXPECT_EQ((std::vector<std::string>{"DATA 403C90", "DATA 0000F8", "LONGDATA [ 02 03 F7 ]"}), heard);
}

TEST_F(Batch, GateClosedBeforeExclusiveLeavesItsBufferQueued)
{
    MIDIHDR hdr;
    char data[3];
    Queue(&hdr, data, sizeof data);
    hook = [](const sim::Notification &n) {
        if (n.dwMsg == MIM_DATA)
            DisableCommIn(0); /* a reset on another thread */
    };
    EXPECT_EQ(1u, Read({0xF8, 0xF0, 1, 2, 3})) << "bytes taken";
    EXPECT_EQ(std::vector<std::string>{"DATA 0000F8"}, heard);
    EXPECT_EQ(&hdr, gaMidiIn[0].gMIMC.lpQueue) << "the buffer is still the client's to reset";
}

TEST_F(Batch, ResetFromACallbackReturnsBuffersInTheOrderTheyWereQueued)
{
    /* The read fills the first buffer after the message whose callback
       resets: the reset must come first, or the first buffer, already off
       the queue, would reach the client after the second. */
    MIDIHDR hdr[2];
    char data[2][3];
    Queue(&hdr[0], data[0], sizeof data[0]);
    Queue(&hdr[1], data[1], sizeof data[1]);
    std::vector<MIDIHDR *> returned;
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_LONGDATA) {
            returned.push_back((MIDIHDR *)n.dwParam1);
        } else if (n.dwParam1 == 0x403C90) {
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_RESET, 0, 0, 0)) << "reset from the callback";
        }
    };
    Read({0x90, 0x3C, 0x40, 0xF0, 1, 2, 0xF7, 0xF8});
    EXPECT_EQ((std::vector<MIDIHDR *>{&hdr[0], &hdr[1]}), returned) << "buffers in the order they were returned";
    EXPECT_EQ((std::vector<std::string>{"DATA 403C90", "LONGDATA [ ]", "LONGDATA [ ]"}), heard);
}

TEST_F(Batch, ResetFromTheCallbackOfAMessageAnF0CutsShortReturnsTheBufferTheF0WouldFill)
{
    /* The F0 would fill the one-byte buffer: taken off the queue before the
       reset ran, the buffer would come back only after the reset returned. */
    MIDIHDR hdr;
    char data[1];
    Queue(&hdr, data, sizeof data);
    bool fReturnedByReset = false;
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_ERROR) {
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_RESET, 0, 0, 0)) << "reset from the callback";
            fReturnedByReset = (hdr.dwFlags & MHDR_DONE) != 0;
        }
    };
    Read({0x90, 0x3C, 0xF0, 0x01});
    EXPECT_TRUE(fReturnedByReset) << "the buffer was back when the reset returned";
    EXPECT_EQ((std::vector<std::string>{"ERROR 003C90", "LONGDATA [ ]"}), heard);
}

TEST_F(Batch, MessageCutShortByAnF0ThatTheGateThenStopsLeavesNoneUnderWay)
{
    hook = [](const sim::Notification &n) {
        if (n.dwMsg == MIM_ERROR)
            DisableCommIn(0); /* a reset */
    };
    EXPECT_EQ(2u, Read({0xB2, 0x53, 0xF0, 0x01})) << "bytes taken";
    EnableCommIn(0); /* passing again, without a start: the parser keeps its state */
    midPortError(0);
    EXPECT_EQ((std::vector<std::string>{"ERROR 0053B2", "ERROR 000000"}), heard)
        << "the port error finds no message under way, not the one given up";
}

TEST_F(Batch, GateClosedDropsTheMessageAnF0CutsShortLaterInTheRead)
{
    hook = [](const sim::Notification &n) {
        if (n.dwMsg == MIM_ERROR)
            DisableCommIn(0); /* a reset */
    };
    /* F6 cuts 8B short and is complete itself; F0 cuts 8A 13 short. */
    Read({0x8B, 0xF6, 0x8A, 0x13, 0xF0, 0x01});
    EXPECT_EQ((std::vector<std::string>{"ERROR 00008B"}), heard) << "nothing once the reset has returned";
}

TEST_F(Batch, StartFromACallbackMidReadStampsTheRestFromTheNewStart)
{
    MIDIHDR hdr;
    char data[8];
    Queue(&hdr, data, sizeof data);
    constexpr DWORD kReadTime = kStartTime + 4000;
    constexpr DWORD kRestartTime = kReadTime + 1000;
    sim::SetTime(kReadTime);
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_LONGDATA) {
            sim::SetTime(kRestartTime);
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_START, 0, 0, 0)) << "start from the callback";
        }
    };
    Read({0xF8, 0xF0, 1, 0xF7, 0xF8});
    auto notes = sim::Notifications();
    ASSERT_EQ(3u, notes.size()) << "notifications";
    EXPECT_EQ(kReadTime - kStartTime, (DWORD)notes[0].dwParam2) << "stamp before the restart";
    EXPECT_EQ(0u, (DWORD)notes[2].dwParam2) << "stamp after the restart";
}

/* The platform forbids multimedia calls from these callbacks, but a client
   that restarts input from one still gets what a byte at a time gives: the
   bytes after are parsed from the new start, in the new time base. */
TEST_F(Batch, RestartFromACallbackMidBatchGivesWhatAByteAtATimeGives)
{
    constexpr DWORD kReadTime = kStartTime + 100;
    constexpr DWORD kRestartTime = kReadTime + 500;
    const std::vector<BYTE> bytes = {0x90, 0x3C, 0x40, 0x3E, 0x40};
    std::vector<DWORD> stamps;
    hook = [&](const sim::Notification &n) {
        stamps.push_back((DWORD)n.dwParam2);
        if (n.dwParam1 == 0x403C90) {
            sim::SetTime(kRestartTime);
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_RESET, 0, 0, 0));
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_START, 0, 0, 0));
        }
    };
    /* Stray data carries the stamp of the last message, which a start sets to 0. */
    const std::vector<std::string> expected = {"DATA 403C90", "ERROR 00003E", "ERROR 000040"};
    const std::vector<DWORD> expectedStamps = {kReadTime - kStartTime, 0, 0};

    sim::SetTime(kReadTime);
    EXPECT_EQ(bytes.size(), (size_t)Read(bytes)) << "bytes taken";
    EXPECT_EQ(expected, heard) << "in one read";
    EXPECT_EQ(expectedStamps, stamps) << "stamps in one read";

    gaMidiIn[0].gMIMC = MIDIINCONTROL{};
    gaMidiIn[0].gMIMC.dwStartTime = kStartTime;
    sim::SetTime(kReadTime);
    heard.clear();
    stamps.clear();
    for (BYTE b : bytes)
        midByteRec(0, b);
    EXPECT_EQ(expected, heard) << "a byte at a time";
    EXPECT_EQ(expectedStamps, stamps) << "stamps a byte at a time";
}

TEST_F(Batch, ReadOfManyMoreMessagesThanOneBatchArrivesWholeAndInOrder)
{
    std::vector<BYTE> bytes = {0x90};
    std::vector<std::string> expected;
    char s[32];
    for (int i = 0; i < (int)kMaxPending * 3; i++) {
        BYTE note = (BYTE)(i % 0x80);
        if (i % 7 == 3) {
            bytes.push_back(0xF8); /* real time between messages */
            expected.push_back("DATA 0000F8");
        }
        if (i % 11 == 5) {
            bytes.push_back(0xF7); /* stray end of exclusive */
            expected.push_back("ERROR 0000F7");
            bytes.push_back(0x90); /* running status again */
        }
        bytes.push_back(note);
        bytes.push_back(0x40);
        snprintf(s, sizeof s, "DATA %06lX", (unsigned long)(0x400090 | (DWORD)note << 8));
        expected.push_back(s);
    }
    EXPECT_EQ(bytes.size(), (size_t)Read(bytes)) << "bytes taken";
    ASSERT_EQ(expected.size(), heard.size()) << "notifications";
    for (size_t i = 0; i < expected.size(); i++)
        ASSERT_EQ(expected[i], heard[i]) << "notification " << i;
    EXPECT_EQ(std::vector<int>(heard.size(), 0), locksHeld) << "locks held during each callback";
}

TEST_F(Batch, GateClosedFromACallbackDropsLaterBytesAndTheRestOfTheSameByte)
{
    MIDIHDR hdr;
    char data[8];
    Queue(&hdr, data, sizeof data);
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_LONGDATA)
            DisableCommIn(0); /* a reset */
    };
    /* F6 cuts the exclusive short: its buffer, then its own message. */
    EXPECT_EQ(4u, Read({0xF8, 0xF0, 1, 0xF6, 0xF8, 0x90, 0x3C, 0x40}));
    EXPECT_EQ((std::vector<std::string>{"DATA 0000F8", "LONGDATA [ F0 01 ]"}), heard)
        << "the F6 that ended the buffer is not made known once the reset has returned";
}

TEST_F(Batch, GateClosedByTheFirstOfABatchDropsTheRestOfTheRead)
{
    hook = [](const sim::Notification &) { DisableCommIn(0); };
    Read({0x90, 0x3C, 0x40, 0x3E, 0x40, 0xF8, 0xFE});
    EXPECT_EQ(std::vector<std::string>{"DATA 403C90"}, heard);
}

} // namespace
