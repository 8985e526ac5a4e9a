/*
 * The poll's lifetime against closes, resets and unloads, with the poll on
 * its own thread: whatever ends the connection returns only when no poll
 * runs and none can start, and no notification comes after a close or a
 * reset. Under ThreadSanitizer (preset host-tsan) too.
 */
#include "../serial/serial_fixture.h"
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_thread.h"

#include <chrono>
#include <functional>
#include <thread>

namespace
{
using namespace serial_test;
using Clock = std::chrono::steady_clock;

constexpr DWORD_PTR kOutCallback = 0x0D;
constexpr DWORD_PTR kInCallback = 0x1D;
} // namespace

/* The poll's lifetime: whatever ends the connection (the last close, the
   library's detach) returns only when no poll runs and none can start, so
   that no call reaches the closed port handle; a client closing from its
   callback, on the poll's own thread, does not wait for itself. */
class PollLifetime : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        sim::UseRealClock(true);
        sim::RunTimersOnThreads(true);
        DrvCont = 2;           /* a timer wakes the poll every 2 ms: closes land inside polls */
        sim::SetReadTime(200); /* and inside reads */
        midCritInit();
        CommCritInit();
        sim::OnNotification([this](const sim::Notification &n) {
            if (n.dwMsg == MIM_DATA)
                data++;
            if (hook)
                hook(n);
        });
        module = std::thread([this] {
            while (streaming) {
                if (sim::PortPending(kPortName) < 4096)
                    sim::FeedPort(kPortName, Bytes({0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00}));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }

    void TearDown() override
    {
        streaming = false;
        module.join();
        PortTest::TearDown();
    }

    static DWORD OpenInput()
    {
        MIDIOPENDESC in{};
        in.dwCallback = kInCallback;
        DWORD r = midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&in, CALLBACK_FUNCTION);
        return r != MMSYSERR_NOERROR ? r : midMessage(0, MIDM_START, 0, 0, 0);
    }

    /* Until a message arrives; false after two seconds without one. */
    bool AwaitData()
    {
        int before = data;
        for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
            if (data > before)
                return true;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return false;
    }

    std::atomic<int> data{0};
    std::atomic<bool> streaming{true};
    std::thread module;
    std::function<void(const sim::Notification &)> hook;
};

TEST_F(PollLifetime, CloseAndDetachWhileThePollReadsNeverReachAClosedHandle)
{
    constexpr int kRounds = 500;
    constexpr int kDetachEvery = 25; /* FreeLibrary with the input open, instead of a close */
    Clock::duration worst{};
    for (int round = 0; round < kRounds; round++) {
        /* Every other round in the low-latency mode, whose poll keeps its own 1 ms period. */
        sim::SeedDword(serial_test::kDevice0Key, u"LowLatency", round % 2);
        ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenInput()) << "open, round " << round;
        ASSERT_TRUE(AwaitData()) << "nothing arrived, round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(round * 7919 % 1000)); /* anywhere in a period */
        auto t0 = Clock::now();
        if (round % kDetachEvery == kDetachEvery - 1) {
            DllInstanceInit(sim::kModule, DLL_PROCESS_DETACH, nullptr);
            ASSERT_EQ(0, gaCommPort[0].UseComCount) << "the detach gave the port back, round " << round;
            DllInstanceInit(sim::kModule, DLL_PROCESS_ATTACH, nullptr);
            gaPortSetting[0] = PORTSETTING{kPort, kDefaultBaud, {0}};
            gaMidiIn[0].gfMidiInOpen = 0; /* a new load of the library starts closed */
        } else {
            ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_CLOSE, 0, 0, 0)) << "close, round " << round;
        }
        worst = std::max(worst, Clock::now() - t0);
        ASSERT_EQ(0, sim::CallsOnClosedHandles()) << "a call reached a closed handle, round " << round;
    }
    ExpectAllGivenBack();
    RecordProperty("worst close us", (int)std::chrono::duration_cast<std::chrono::microseconds>(worst).count());
}

TEST_F(PollLifetime, CloseFromACallbackOnThePollsThreadDoesNotWaitForItself)
{
    std::atomic<int> closes{0};
    std::atomic<DWORD> result{0xFFFF};
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg == MIM_DATA && closes.exchange(1) == 0)
            result = midMessage(0, MIDM_CLOSE, 0, 0, 0);
    };
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenInput());
    for (auto until = Clock::now() + std::chrono::seconds(5); result == 0xFFFF && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, result.load()) << "the close made from the callback";
    EXPECT_EQ(0, gaCommPort[0].UseComCount);

    hook = nullptr;
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenInput()) << "open again from another thread";
    EXPECT_TRUE(AwaitData());
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_CLOSE, 0, 0, 0));
    ExpectAllGivenBack();
    EXPECT_TRUE(sim::ThreadsEnd()) << "the poll's thread ended";
    EXPECT_EQ(0, sim::CallsOnClosedHandles());
}

/* With the output open the poll goes on past the input's close: a close or
   reset returns only once the input's callback under way is done, and no
   notification of the input comes after; the client hears of the open
   before any input. Each in turn, while the callback of a note or of a
   returned buffer keeps the poll. */
TEST_F(PollLifetime, CloseAndResetReturnOnlyOnceTheCallbackUnderWayIsDone)
{
    constexpr int kRounds = 10;
    constexpr auto kHold = std::chrono::milliseconds(20);
    MIDIOPENDESC out{};
    out.dwCallback = kOutCallback;
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&out, CALLBACK_FUNCTION));

    std::atomic<DWORD> holdMsg{0}; /* the next such notification keeps the poll kHold */
    std::atomic<int> held{0};      /* 1 while it does */
    std::atomic<bool> opening{false}, returned{false};
    std::atomic<int> early{0}, late{0}, overlapped{0};
    hook = [&](const sim::Notification &n) {
        if (n.dwCallback != kInCallback)
            return;
        if (n.dwMsg == MIM_OPEN || n.dwMsg == MIM_CLOSE) {
            overlapped += held.load();
            opening = n.dwMsg == MIM_OPEN;
            if (opening)
                std::this_thread::sleep_for(kHold); /* input that passes now comes before MIM_OPEN */
            opening = false;
            return;
        }
        early += opening.load();
        late += returned.load();
        DWORD want = n.dwMsg;
        if (holdMsg.compare_exchange_strong(want, 0)) {
            held = 1;
            std::this_thread::sleep_for(kHold);
            held = 0;
        }
    };

    MIDIHDR hdr{};
    char data[16];
    for (int round = 0; round < 2 * kRounds; round++) {
        bool reset = round % 2 == 1;
        returned = false;
        ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenInput()) << "round " << round;
        if (reset) {
            hdr = MIDIHDR{};
            hdr.lpData = data;
            hdr.dwBufferLength = sizeof data;
            hdr.dwFlags = MHDR_PREPARED;
            ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&hdr, 0));
            sim::FeedPort(kPortName, Bytes({0xF0, 0x01, 0xF7}));
        }
        holdMsg = reset ? MIM_LONGDATA : MIM_DATA;
        for (auto until = Clock::now() + std::chrono::seconds(2); !held && Clock::now() < until;)
            std::this_thread::yield();
        ASSERT_TRUE(held) << "no callback kept the poll, round " << round;
        ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, reset ? MIDM_RESET : MIDM_CLOSE, 0, 0, 0));
        returned = true;
        EXPECT_EQ(0, held.load()) << (reset ? "reset" : "close") << " returned during the callback, round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); /* polls go on: nothing more may come */
        returned = false;
        if (reset) {
            ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_CLOSE, 0, 0, 0));
        }
    }
    EXPECT_EQ(0, late.load()) << "notifications after the close or reset returned";
    EXPECT_EQ(0, overlapped.load()) << "MIM_OPEN or MIM_CLOSE made during a callback of the poll";
    EXPECT_EQ(0, early.load()) << "input before MIM_OPEN";
    hook = nullptr;
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_CLOSE, 0, 0, 0));
    ExpectAllGivenBack();
}

/* An unload while a client's callback keeps the poll past the limit gives
   up waiting once, not once for the stop and again for the thread. */
TEST_F(PollLifetime, ReleaseWhileACallbackHoldsThePollWaitsOnce)
{
    std::atomic<bool> holding{false}, letGo{false};
    hook = [&](const sim::Notification &n) {
        if (n.dwMsg != MIM_DATA || holding.exchange(true))
            return;
        for (auto until = Clock::now() + std::chrono::seconds(15); !letGo && Clock::now() < until;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenInput());
    for (auto until = Clock::now() + std::chrono::seconds(2); !holding && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(holding);
    auto t0 = Clock::now();
    ReleaseMIDICOM();
    auto waited = Clock::now() - t0;
    letGo = true;
    EXPECT_LT(waited, std::chrono::seconds(7)) << "one wait of 5 s";
    EXPECT_EQ(0, gaCommPort[0].UseComCount);
    hook = nullptr;
    ReleaseMIDICOM(); /* the poll, let go, parks */
    gaMidiIn[0].gfMidiInOpen = 0;
    ExpectAllGivenBack();
}
