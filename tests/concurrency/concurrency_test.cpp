/*
 * Both devices under load from several threads at once, with the poll on its
 * own thread (lifetime_test.cpp: the poll's lifetime against closes and
 * unloads): run under ThreadSanitizer (preset host-tsan) it also shows that
 * no word is shared without ordering.
 */
#include "../serial/serial_fixture.h"
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_thread.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace
{
using namespace serial_test;
using Clock = std::chrono::steady_clock;

constexpr auto kRunFor = std::chrono::milliseconds(1500);
constexpr int kInputBuffers = 6;
constexpr DWORD kInputBufferSize = 48;
constexpr size_t kShortLong = 100; /* a long message that fits one write */
constexpr size_t kLongLong = 5000; /* one that goes in two pieces */
constexpr DWORD_PTR kOutCallback = 0x0D;
constexpr DWORD_PTR kInCallback = 0x1D;

/* One sender's messages: a short word and two long buffers, all its own. */
struct Sender {
    DWORD word;
    std::vector<BYTE> shortBytes;
    std::vector<BYTE> small;
    std::vector<BYTE> large;
    int shortsAccepted = 0;
    int smallAccepted = 0;
    int largeAccepted = 0;
    int refused = 0;
};

std::vector<BYTE> SysEx(size_t n, BYTE id)
{
    std::vector<BYTE> v(n, id);
    v.front() = 0xF0;
    v.back() = 0xF7;
    return v;
}

struct InputBuffer {
    MIDIHDR hdr;
    char data[kInputBufferSize];
    std::atomic<int> queued{0}; /* 1 from a successful add to its return */
    std::atomic<int> added{0};
    std::atomic<int> returned{0};
};

class Concurrency : public PortTest
{
  protected:
    InputBuffer buffers[kInputBuffers];
    std::atomic<int> returnedUnqueued{0};
    std::atomic<int> foreignReturns{0};

    void Send(Sender &s)
    {
        MIDIHDR small{}, large{};
        small.lpData = reinterpret_cast<LPSTR>(s.small.data());
        small.dwBufferLength = (DWORD)s.small.size();
        large.lpData = reinterpret_cast<LPSTR>(s.large.data());
        large.dwBufferLength = (DWORD)s.large.size();
        for (int k = 0; Clock::now() < deadline; k++) {
            DWORD r;
            if (k % 10 == 3) {
                small.dwFlags = MHDR_PREPARED;
                r = modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&small, 0);
                s.smallAccepted += r == MMSYSERR_NOERROR;
            } else if (k % 50 == 7) {
                large.dwFlags = MHDR_PREPARED;
                r = modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&large, 0);
                s.largeAccepted += r == MMSYSERR_NOERROR;
            } else {
                r = modMessage(0, MODM_DATA, 0, s.word, 0);
                s.shortsAccepted += r == MMSYSERR_NOERROR;
            }
            if (r == MIDIERR_NOTREADY)
                s.refused++;
            else
                ASSERT_EQ((DWORD)MMSYSERR_NOERROR, r);
            std::this_thread::yield();
        }
    }

    void OnInputReturn(const sim::Notification &n)
    {
        for (InputBuffer &b : buffers) {
            if ((DWORD_PTR)&b.hdr != n.dwParam1)
                continue;
            if (b.queued.exchange(0) != 1)
                returnedUnqueued++;
            b.returned++;
            return;
        }
        foreignReturns++;
    }

    void AddBuffers()
    {
        while (Clock::now() < deadline) {
            for (InputBuffer &b : buffers) {
                if (b.queued.exchange(1) != 0)
                    continue; /* still in the driver's queue */
                b.hdr = MIDIHDR{};
                b.hdr.lpData = b.data;
                b.hdr.dwBufferLength = kInputBufferSize;
                b.hdr.dwFlags = MHDR_PREPARED;
                if (midMessage(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&b.hdr, sizeof b.hdr) == MMSYSERR_NOERROR)
                    b.added++;
                else
                    b.queued = 0;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    void ResetAndRestart()
    {
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
            ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_RESET, 0, 0, 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_START, 0, 0, 0));
        }
    }

    /* The module: system exclusive and channel messages, about line speed. */
    void Module()
    {
        std::vector<BYTE> chunk = SysEx(20, 0x11);
        for (BYTE b : {0x90, 0x3C, 0x40, 0xF8, 0x3E, 0x40})
            chunk.push_back(b);
        while (Clock::now() < deadline) {
            sim::FeedPort(kPortName, chunk);
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
        }
    }

    Clock::time_point deadline;
};

/* Every write must be one whole message of one sender, and a long one's
   pieces must follow one another. Counts each message found. */
std::map<std::string, int> ReadWire(const std::vector<std::vector<BYTE>> &writes, const std::vector<Sender *> &senders,
                                    std::string *fault)
{
    std::map<std::string, int> found;
    for (size_t k = 0; k < writes.size(); k++) {
        bool matched = false;
        for (size_t s = 0; s < senders.size() && !matched; s++) {
            const Sender &x = *senders[s];
            std::string who = "sender " + std::to_string(s);
            if (writes[k] == x.shortBytes) {
                found[who + " short"]++;
                matched = true;
            } else if (writes[k] == x.small) {
                found[who + " small"]++;
                matched = true;
            } else if (writes[k].size() == kStagingSize &&
                       std::equal(writes[k].begin(), writes[k].end(), x.large.begin())) {
                std::vector<BYTE> rest(x.large.begin() + kStagingSize, x.large.end());
                if (k + 1 < writes.size() && writes[k + 1] == rest) {
                    found[who + " large"]++;
                    k++;
                    matched = true;
                }
            }
        }
        if (!matched) {
            *fault = "write " + std::to_string(k) + " is no whole message: " + Hex(writes[k]).substr(0, 60);
            return found;
        }
    }
    return found;
}

TEST_F(Concurrency, SendersPollAddersAndResetsShareTheDriverSafely)
{
    sim::UseRealClock(true);
    sim::RunTimersOnThreads(true);
    midCritInit();
    sim::OnNotification([this](const sim::Notification &n) {
        if (n.dwCallback == kInCallback && n.dwMsg == MIM_LONGDATA)
            OnInputReturn(n);
    });

    MIDIOPENDESC out{}, in{};
    out.dwCallback = kOutCallback;
    in.dwCallback = kInCallback;
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&out, CALLBACK_FUNCTION));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&in, CALLBACK_FUNCTION));
    ASSERT_EQ(1, sim::LiveTimers());
    sim::ClearPortWrites(kPortName);

    Sender a{0x403C90, Bytes({0x90, 0x3C, 0x40}), SysEx(kShortLong, 0x0A), SysEx(kLongLong, 0x1A)};
    Sender b{0x413E91, Bytes({0x91, 0x3E, 0x41}), SysEx(kShortLong, 0x0B), SysEx(kLongLong, 0x1B)};

    deadline = Clock::now() + kRunFor;
    std::thread t1([&] { Send(a); });
    std::thread t2([&] { Send(b); });
    std::thread t3([&] { AddBuffers(); });
    std::thread t4([&] { ResetAndRestart(); });
    std::thread module([&] { Module(); });
    t1.join();
    t2.join();
    t3.join();
    t4.join();
    module.join();

    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_RESET, 0, 0, 0)) << "returns what is still queued";
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_CLOSE, 0, 0, 0));
    auto writes = sim::PortWrites(kPortName); /* before the close adds its reset bytes */
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_CLOSE, 0, 0, 0));
    ExpectAllGivenBack();

    std::string fault;
    auto found = ReadWire(writes, {&a, &b}, &fault);
    EXPECT_EQ("", fault);
    EXPECT_EQ(a.shortsAccepted, found["sender 0 short"]);
    EXPECT_EQ(a.smallAccepted, found["sender 0 small"]);
    EXPECT_EQ(a.largeAccepted, found["sender 0 large"]);
    EXPECT_EQ(b.shortsAccepted, found["sender 1 short"]);
    EXPECT_EQ(b.smallAccepted, found["sender 1 small"]);
    EXPECT_EQ(b.largeAccepted, found["sender 1 large"]);
    EXPECT_GT(a.largeAccepted + b.largeAccepted, 0) << "no long buffer above the staging size got through";

    int added = 0, returned = 0;
    for (InputBuffer &buf : buffers) {
        EXPECT_EQ(buf.added.load(), buf.returned.load()) << "a buffer was lost or returned twice";
        added += buf.added;
        returned += buf.returned;
    }
    EXPECT_EQ(0, returnedUnqueued.load()) << "a buffer came back that was not in the queue";
    EXPECT_EQ(0, foreignReturns.load());
    EXPECT_GT(added, kInputBuffers) << "buffers were not reused";

    RecordProperty("shorts", a.shortsAccepted + b.shortsAccepted);
    RecordProperty("refused", a.refused + b.refused);
    RecordProperty("input buffers returned", returned);
}

} // namespace
