/* The 10 ms input poll: what it reads and what it hands to the parser. Each
   received byte shows as the parser's notification of it. */
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "serial_fixture.h"

namespace
{
using namespace serial_test;

constexpr DWORD_PTR kInputCallback = 0x1234;

class Poll : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        midCritInit();
        gMIMC = MIDIINCONTROL{};
        gMidiInClient = MIDICLIENT{kInputCallback, 0, 0, CALLBACK_FUNCTION};
        ASSERT_EQ(0, OpenMIDICOM(kPort));
        EnableCommIn();
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

TEST_F(Poll, PortErrorAddsOneZeroByteAfterTheBytesRead)
{
    sim::FeedPort(kPortName, Bytes({0xF2, 0x10, 0x20, 0xF8}));
    sim::SetPortErrors(kPortName, CE_OVERRUN);
    sim::FireTimers();

    EXPECT_EQ((std::vector<std::string>{"DATA 2010F2", "DATA F8", "ERROR 00"}), Heard());

    sim::ClearNotifications();
    sim::FireTimers();
    EXPECT_EQ(std::vector<std::string>{}, Heard()) << "the error bits were cleared by the first poll";
}

TEST_F(Poll, FailedErrorQueryCountsAsAPortError)
{
    sim::FailErrorQuery(kPortName, true);
    sim::FireTimers();
    EXPECT_EQ(std::vector<std::string>{"ERROR 00"}, Heard());
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
    DisableCommIn();
    sim::FeedPort(kPortName, Bytes({0xF8, 0xF8}));
    sim::SetPortErrors(kPortName, CE_FRAME);
    sim::FireTimers();

    EXPECT_EQ(std::vector<std::string>{}, Heard());
    EXPECT_EQ(2u, sim::PortPending(kPortName));
}

TEST_F(Poll, GateClosedDuringAPollDropsTheRestButNotTheErrorByte)
{
    sim::FeedPort(kPortName, std::vector<BYTE>(5, 0xF8));
    sim::SetPortErrors(kPortName, CE_FRAME);
    sim::OnNotification([](const sim::Notification &) { DisableCommIn(); }); /* a reset on another thread */
    sim::FireTimers();

    EXPECT_EQ((std::vector<std::string>{"DATA F8", "ERROR 00"}), Heard());
    EXPECT_EQ(0u, sim::PortPending(kPortName)) << "the dropped bytes were read all the same";
}

/* One read holds a short message and then system exclusive: the message's
   callback, made without the input lock, queues the buffer that the
   exclusive bytes of the same read then fill. */
TEST_F(Poll, BufferQueuedFromACallbackTakesTheSysExLaterInTheSameRead)
{
    gfMidiInOpen = 1;
    char data[8] = {};
    MIDIHDR hdr = {};
    hdr.lpData = data;
    hdr.dwBufferLength = sizeof data;
    hdr.dwFlags = MHDR_PREPARED;
    std::vector<int> locksHeld;
    sim::OnNotification([&](const sim::Notification &n) {
        locksHeld.push_back(sim::HeldCriticalSections());
        if (n.dwMsg == MIM_DATA)
            midAddBuffer(&hdr);
    });
    sim::FeedPort(kPortName, Bytes({0x90, 0x3C, 0x40, 0xF0, 0x7D, 0x01, 0xF7}));
    sim::FireTimers();
    gfMidiInOpen = 0;

    auto heard = sim::Notifications();
    ASSERT_EQ(2u, heard.size()) << "expected MIM_DATA then MIM_LONGDATA";
    EXPECT_EQ((DWORD)MIM_LONGDATA, heard[1].dwMsg);
    EXPECT_EQ("F0 7D 01 F7", Hex(std::vector<BYTE>(data, data + hdr.dwBytesRecorded)));
    EXPECT_EQ((std::vector<int>{0, 0}), locksHeld) << "locks held during each callback";
}

} // namespace
