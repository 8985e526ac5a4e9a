/*
 * Input buffer queue: what queueing accepts and refuses, how buffers come
 * back (filled, or empty on reset), and that the lock keeps buffers from being
 * lost or returned twice while the poll and the application race.
 */
#include "input_fixture.h"

#include <atomic>
#include <thread>

namespace
{
using namespace input_test;

class InputQueue : public InputTest
{
};

TEST_F(InputQueue, RefusesWhatItCannotQueueAndTouchesNothing)
{
    MIDIHDR *unprepared = Buffer(16);
    unprepared->dwFlags = 0;
    unprepared->dwBytesRecorded = 7;
    MIDIHDR *empty = Buffer(0);
    MIDIHDR *queued = Queue(16);

    EXPECT_EQ((DWORD)MIDIERR_UNPREPARED, midAddBuffer(0, unprepared));
    EXPECT_EQ(0u, unprepared->dwFlags) << "flags of the refused header";
    EXPECT_EQ(7u, unprepared->dwBytesRecorded) << "bytes recorded of the refused header";
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, midAddBuffer(0, nullptr)) << "null header";
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, midAddBuffer(0, empty)) << "buffer of capacity 0";
    EXPECT_EQ((DWORD)MHDR_PREPARED, empty->dwFlags) << "flags of the buffer of capacity 0";
    EXPECT_EQ((DWORD)MIDIERR_STILLPLAYING, midAddBuffer(0, queued)) << "the same header a second time";
    EXPECT_EQ(nullptr, queued->lpNext) << "a header queued twice would link to itself";

    gaMidiIn[0].gfMidiInOpen = 0;
    MIDIHDR *late = Buffer(16);
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, midAddBuffer(0, late)) << "device not open";
    EXPECT_EQ((DWORD)MHDR_PREPARED, late->dwFlags) << "flags of the header refused while closed";

    EXPECT_EQ(queued, gaMidiIn[0].gMIMC.lpQueue) << "the queue holds only the one accepted header";
}

TEST_F(InputQueue, QueueingMarksTheHeaderAndReturningMarksItDone)
{
    MIDIHDR *h = Buffer(16);
    h->dwFlags = MHDR_PREPARED | MHDR_DONE;
    h->dwBytesRecorded = 99;
    h->lpNext = h;
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midAddBuffer(0, h));
    EXPECT_EQ((DWORD)(MHDR_PREPARED | MHDR_INQUEUE), h->dwFlags);
    EXPECT_EQ(0u, h->dwBytesRecorded);
    EXPECT_EQ(nullptr, h->lpNext);

    Feed("F0 01 F7");
    EXPECT_EQ((DWORD)(MHDR_PREPARED | MHDR_DONE), h->dwFlags);
    EXPECT_EQ(3u, h->dwBytesRecorded);
    EXPECT_EQ(nullptr, gaMidiIn[0].gMIMC.lpQueue);
}

TEST_F(InputQueue, ResetReturnsEveryBufferInOrderEmptyWithOneStamp)
{
    Queue(8);
    Queue(8);
    Queue(8);
    gaMidiIn[0].gMIMC.dwStartTime = 100;
    sim::SetTime(100);
    Feed("F0 01 02 03"); /* the head is half filled */
    sim::SetTime(500);
    midFreeQ(0);
    EXPECT_EQ(Join({"LONGDATA #0 [] @400", "LONGDATA #1 [] @400", "LONGDATA #2 [] @400"}), Join(Seen()));
    EXPECT_EQ(nullptr, gaMidiIn[0].gMIMC.lpQueue);

    /* The next buffer is filled from its beginning; the message under way
       still carries the stamp of its F0. */
    Queue(8);
    Feed("F7");
    EXPECT_EQ("LONGDATA #3 [F7] @10", Seen().back());
}

TEST_F(InputQueue, ResetWithNothingQueuedNotifiesNothing)
{
    midFreeQ(0);
    EXPECT_TRUE(Seen().empty()) << Join(Seen());
}

TEST_F(InputQueue, ClientMayQueueAgainFromItsCallback)
{
    MIDIHDR *h = Queue(4);
    std::atomic<DWORD> requeued{~0u};
    sim::OnNotification([&](const sim::Notification &n) {
        if (n.dwMsg == MIM_LONGDATA && requeued == ~0u)
            requeued = midAddBuffer(0, reinterpret_cast<LPMIDIHDR>(n.dwParam1));
    });

    Feed("F0 01 F7");
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, requeued.load()) << "queueing from inside the callback";
    EXPECT_EQ(h, gaMidiIn[0].gMIMC.lpQueue);

    requeued = ~0u;
    midFreeQ(0);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, requeued.load()) << "queueing from inside a reset's callback";
    EXPECT_EQ(h, gaMidiIn[0].gMIMC.lpQueue);
    EXPECT_EQ((DWORD)(MHDR_PREPARED | MHDR_INQUEUE), h->dwFlags);
}

TEST_F(InputQueue, RacingPollAndApplicationLoseNoBufferAndReturnNoneTwice)
{
    constexpr int kBuffers = 2000;
    std::vector<MIDIHDR *> headers;
    for (int i = 0; i < kBuffers; i++)
        headers.push_back(Buffer(2));

    std::vector<std::atomic<int>> returned(kBuffers);
    sim::OnNotification([&](const sim::Notification &n) {
        if (n.dwMsg == MIM_LONGDATA) {
            int k = IndexOf(reinterpret_cast<const MIDIHDR *>(n.dwParam1));
            if (k >= 0)
                returned[k]++;
        }
    });

    std::atomic<bool> done{false};
    std::thread poll([&] {
        midByteRec(0, 0xF0);
        while (!done)
            midByteRec(0, 0x01);
    });
    for (MIDIHDR *h : headers)
        ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midAddBuffer(0, h));
    done = true;
    poll.join();
    midFreeQ(0);

    int lost = 0, twice = 0;
    for (int i = 0; i < kBuffers; i++) {
        lost += returned[i] == 0;
        twice += returned[i] > 1;
    }
    EXPECT_EQ(0, lost) << "buffers never returned";
    EXPECT_EQ(0, twice) << "buffers returned more than once";
}

} // namespace
