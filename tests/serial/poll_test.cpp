/* The 10 ms input poll: what it reads and what it hands to the parser, and
   a port whose device goes away and comes back. Each received byte shows as
   the parser's notification of it. */
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_thread.h"
#include "serial_fixture.h"

#include <chrono>
#include <thread>

namespace
{
using namespace serial_test;

constexpr DWORD_PTR kInputCallback = 0x1234;
constexpr DWORD kErrorNotReady = 21;   /* what every call on a vanished pty gives under Wine */
constexpr DWORD kErrorBadCommand = 22; /* what an unplugged USB-serial adapter's calls give */

class Poll : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        midCritInit();
        gaMidiIn[0].gMIMC = MIDIINCONTROL{};
        gaMidiIn[0].gMidiInClient = MIDICLIENT{kInputCallback, 0, 0, CALLBACK_FUNCTION};
        sim::SeedDword(kDevice0Key, u"LowLatency", LowLatency());
        ASSERT_EQ(0, OpenPortNumber(kPort));
        gaMidiIn[0].gfMidiInOpen = 1;
        EnableCommIn(0);
    }

    void TearDown() override
    {
        PortTest::TearDown();
        gaMidiIn[0].gfMidiInOpen = 0;
    }

    virtual DWORD LowLatency() const { return 0; }

    /* Polls for the given time, one poll every 10 ms. */
    static void PollFor(DWORD ms)
    {
        for (DWORD t = 0; t < ms; t += 10) {
            sim::AdvanceTime(10);
            sim::FireTimers();
        }
    }

    /* "DATA F8", "ERROR 00": what the input client heard, in order. */
    static std::vector<std::string> Heard()
    {
        std::vector<std::string> out;
        char buf[32];
        for (const auto &n : sim::Notifications()) {
            const char *kind = n.dwMsg == MIM_DATA ? "DATA" : n.dwMsg == MIM_ERROR ? "ERROR" : "OTHER";
            snprintf(buf, sizeof buf, "%s %02X", kind, (unsigned)n.dwParam1);
            out.push_back(buf);
        }
        return out;
    }

    static std::vector<std::string> Repeat(const char *s, int n) { return std::vector<std::string>(n, s); }
};

TEST_F(Poll, NothingArrivedHandsNothingOn)
{
    sim::FireTimers();
    EXPECT_EQ(std::vector<std::string>{}, Heard());
}

TEST_F(Poll, FortyBytesArrivedBetweenPollsAreHandedOnInOnePoll)
{
    sim::FeedPort(kPortName, std::vector<BYTE>(40, 0xF8));
    sim::FireTimers();

    EXPECT_EQ(Repeat("DATA F8", 40), Heard());
    EXPECT_EQ(0u, sim::PortPending(kPortName));
}

TEST_F(Poll, OnePollTakesAtMostTheReceiveBuffer)
{
    sim::FeedPort(kPortName, std::vector<BYTE>(kRecDataSize + 10, 0xF8));
    sim::FireTimers();
    EXPECT_EQ(kRecDataSize, Heard().size());
    EXPECT_EQ(10u, sim::PortPending(kPortName));
}

TEST_F(Poll, PortErrorIsOneErrorAfterTheBytesRead)
{
    sim::FeedPort(kPortName, Bytes({0xF2, 0x10, 0x20, 0xF8}));
    sim::SetPortErrors(kPortName, CE_OVERRUN);
    sim::FireTimers();

    EXPECT_EQ((std::vector<std::string>{"DATA 2010F2", "DATA F8", "ERROR 00"}), Heard());

    sim::ClearNotifications();
    sim::FireTimers();
    EXPECT_EQ(std::vector<std::string>{}, Heard()) << "the error bits were cleared by the first poll";
}

TEST_F(Poll, LostPortIsReportedOnceThenOpenedAgainByItsNameAboutOnceASecond)
{
    for (DWORD lastError : {kErrorNotReady, kErrorBadCommand}) {
        SCOPED_TRACE(lastError);
        sim::ClearNotifications();
        sim::FeedPort(kPortName, Bytes({0x90, 0x3C}));
        sim::FireTimers();
        sim::LosePort(kPortName, lastError);
        size_t opensBefore = sim::CreateFileCalls().size();
        PollFor(5000);
        EXPECT_EQ(std::vector<std::string>{"ERROR 3C90"}, Heard()) << "the note under way, given up once";
        EXPECT_EQ(0, sim::OpenPortHandles()) << "the lost port's handle is closed";
        size_t tries = sim::CreateFileCalls().size() - opensBefore;
        EXPECT_TRUE(tries >= 4 && tries <= 5) << tries << " tries to open the port again in 5 s";

        sim::SetPortPresent(kPortName, true);
        PollFor(1000);
        ASSERT_EQ(1, sim::OpenPortHandles()) << "opened again";
        EXPECT_EQ(u"com1", sim::CreateFileCalls().back().name);
        EXPECT_EQ(38400u, sim::PortState(kPortName).BaudRate) << "with the line's settings";
        EXPECT_EQ(0xFFFFFFFFu, sim::PortTimeouts(kPortName).ReadIntervalTimeout);

        sim::ClearNotifications();
        sim::FeedPort(kPortName, Bytes({0x3E, 0x90, 0x3E, 0x40}));
        sim::FireTimers();
        EXPECT_EQ((std::vector<std::string>{"ERROR 3E", "DATA 403E90"}), Heard())
            << "no running status survives the loss";
    }
    EXPECT_EQ(0, sim::CallsOnClosedHandles());
}

TEST_F(Poll, OutputWhileThePortIsLostIsDroppedAndAfterwardsNeedsAStatus)
{
    DisableCommIn(0); /* only the output open: a failed write finds the loss */
    EnableCommOut(0);
    modSendShortMsg(0, 0x403C90);
    sim::LosePort(kPortName, kErrorBadCommand);
    modSendShortMsg(0, 0x403E90);
    PollFor(100);
    EXPECT_EQ(0, sim::OpenPortHandles()) << "the lost port's handle is closed";
    modSendShortMsg(0, 0x4040); /* running status */

    sim::SetPortPresent(kPortName, true);
    PollFor(1000);
    ASSERT_EQ(1, sim::OpenPortHandles()) << "opened again";
    modSendShortMsg(0, 0x4041); /* running status from before the loss */
    modSendShortMsg(0, 0x404290);
    const BYTE kDataOnly[] = {0x43, 0x40};
    PortWrite(0, kDataOnly, 2, gaCommPort[0].gdwPortEpoch - 1); /* framed for the port before it was opened again */
    EXPECT_EQ((std::vector<std::string>{"90 3C 40", "90 42 40"}), Writes()) << "writes on either handle";
    EXPECT_EQ(std::vector<std::string>{}, Heard()) << "input was not open";
    EXPECT_EQ(0, sim::CallsOnClosedHandles());
}

/* A client that meets the loss by closing its input and opening a device
   again, from the loss's own callback, keeps the port it opened: the poll
   does not take it for the lost one. */
TEST_F(Poll, DeviceOpenedFromTheLossCallbackKeepsItsPort)
{
    MIDIOPENDESC desc{};
    desc.dwCallback = kInputCallback;
    for (UINT reopen : {MIDM_OPEN, MODM_OPEN}) {
        SCOPED_TRACE(reopen == MIDM_OPEN ? "the input opened again" : "the output opened");
        ReleaseMIDICOM();
        ASSERT_EQ(0, OpenPortNumber(kPort));
        gaMidiIn[0].gfMidiInOpen = 1;
        gaMidiOut[0].gfMidiOutOpen = 0;
        EnableCommIn(0);
        sim::ClearNotifications();
        sim::OnNotification([&](const sim::Notification &n) {
            if (n.dwMsg != MIM_ERROR)
                return;
            EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_CLOSE, 0, 0, 0));
            if (reopen == MIDM_OPEN)
                EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION));
            else
                EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION));
        });
        sim::LosePort(kPortName, kErrorBadCommand);
        sim::SetPortPresent(kPortName, true); /* back under its name by the time the client opens it */
        PollFor(30);
        sim::OnNotification(nullptr);
        EXPECT_EQ(1, sim::OpenPortHandles()) << "the port the client opened";
        /* The loss once, then the client's close and open. */
        std::vector<std::string> heard{"ERROR 00", "OTHER 00", "OTHER 00"};
        EXPECT_EQ(heard, Heard());
        if (reopen == MODM_OPEN) {
            modMessage(0, MODM_DATA, 0, 0x403C90, 0);
            EXPECT_EQ(std::vector<std::string>{"90 3C 40"}, Writes()) << "the output writes to it";
            modMessage(0, MODM_CLOSE, 0, 0, 0);
        } else {
            sim::FeedPort(kPortName, Bytes({0xF8}));
            PollFor(10);
            heard.push_back("DATA F8");
            EXPECT_EQ(heard, Heard()) << "the input reads from it";
            midMessage(0, MIDM_CLOSE, 0, 0, 0);
        }
        sim::ClearPortWrites(kPortName);
    }
    EXPECT_EQ(0, sim::CallsOnClosedHandles());
}

/* The connection ends while the poll is inside a slow open of the lost
   port (a close that gave up waiting for it): the handle that open gives
   is not kept, and the port opens again afterwards. */
TEST_F(Poll, ConnectionEndedDuringTheReopenOfALostPortLeavesNoHandle)
{
    sim::LosePort(kPortName, kErrorBadCommand);
    PollFor(100);
    sim::SetPortPresent(kPortName, true);
    sim::DuringNextOpen([] { CloseMIDICOM(0); });
    PollFor(1000);
    EXPECT_EQ(0, gaCommPort[0].UseComCount);
    EXPECT_EQ(0, sim::OpenPortHandles()) << "the reopened port outlived its connection";
    EXPECT_EQ(0, OpenPortNumber(kPort)) << "a later open finds the port free";
}

TEST_F(Poll, ReadFailingAfterSomeBytesStillHandsThemOn)
{
    sim::FeedPort(kPortName, std::vector<BYTE>(10, 0xFE));
    sim::FailNextRead(4);
    sim::FireTimers();

    EXPECT_EQ(Repeat("DATA FE", 4), Heard());
    EXPECT_EQ(6u, sim::PortPending(kPortName)) << "the rest waits for the next poll";
}

TEST_F(Poll, ClosedGateLeavesThePortUnread)
{
    DisableCommIn(0);
    sim::FeedPort(kPortName, Bytes({0xF8, 0xF8}));
    sim::SetPortErrors(kPortName, CE_FRAME);
    sim::FireTimers();

    EXPECT_EQ(std::vector<std::string>{}, Heard());
    EXPECT_EQ(2u, sim::PortPending(kPortName));
}

TEST_F(Poll, GateClosedDuringAPollDropsTheRestAndTheReadsError)
{
    sim::FeedPort(kPortName, std::vector<BYTE>(5, 0xF8));
    sim::SetPortErrors(kPortName, CE_FRAME);
    sim::OnNotification([](const sim::Notification &) { DisableCommIn(0); }); /* a reset on another thread */
    sim::FireTimers();

    EXPECT_EQ((std::vector<std::string>{"DATA F8"}), Heard()) << "nothing once the reset has returned";
    EXPECT_EQ(0u, sim::PortPending(kPortName)) << "the dropped bytes were read all the same";
}

/* One read holds a short message and then system exclusive: the message's
   callback, made without the input lock, queues the buffer that the
   exclusive bytes of the same read then fill. */
TEST_F(Poll, BufferQueuedFromACallbackTakesTheSysExLaterInTheSameRead)
{
    gaMidiIn[0].gfMidiInOpen = 1;
    char data[8] = {};
    MIDIHDR hdr = {};
    hdr.lpData = data;
    hdr.dwBufferLength = sizeof data;
    hdr.dwFlags = MHDR_PREPARED;
    std::vector<int> locksHeld;
    sim::OnNotification([&](const sim::Notification &n) {
        locksHeld.push_back(sim::HeldCriticalSections());
        if (n.dwMsg == MIM_DATA)
            midAddBuffer(0, &hdr);
    });
    sim::FeedPort(kPortName, Bytes({0x90, 0x3C, 0x40, 0xF0, 0x7D, 0x01, 0xF7}));
    sim::FireTimers();
    gaMidiIn[0].gfMidiInOpen = 0;

    auto heard = sim::Notifications();
    ASSERT_EQ(2u, heard.size()) << "expected MIM_DATA then MIM_LONGDATA";
    EXPECT_EQ((DWORD)MIM_LONGDATA, heard[1].dwMsg);
    EXPECT_EQ("F0 7D 01 F7", Hex(std::vector<BYTE>(data, data + hdr.dwBytesRecorded)));
    EXPECT_EQ((std::vector<int>{0, 0}), locksHeld) << "locks held during each callback";
}

/* Low latency: no timer; the poll's thread reads every millisecond by itself. */
class LowLatencyPoll : public Poll
{
  protected:
    DWORD LowLatency() const override { return 1; }
};

TEST_F(LowLatencyPoll, ReadsByItselfWithoutATimerUntilClosed)
{
    EXPECT_EQ(0, sim::TimersStarted());
    sim::FeedPort(kPortName, Bytes({0x90, 0x3C, 0x40, 0xF8}));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Heard().size() < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ((std::vector<std::string>{"DATA 403C90", "DATA F8"}), Heard());

    EXPECT_EQ(0, CloseMIDICOM(0));
    ExpectAllGivenBack();
    EXPECT_TRUE(sim::ThreadsEnd()) << "the poll's thread ended";
    EXPECT_EQ(0, sim::CallsOnClosedHandles());
}

} // namespace
