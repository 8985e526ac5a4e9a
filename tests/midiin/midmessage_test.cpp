/*
 * The input device's message procedure, with received bytes entering through
 * the simulated port and the poll, as they do in the driver.
 */
#include "driver/driver.h"
#include "input_fixture.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_timer.h"
#include "serial/serial.h"

#include <cstring>

namespace
{
using namespace input_test;

constexpr LONG kPort = 2;
constexpr const char *kPortName = "com2";

class InputDevice : public InputTest
{
  protected:
    void SetUp() override
    {
        InputTest::SetUp();
        CommCritInit();
        ReleaseMIDICOM();
        gaMidiIn[0].gfMidiInOpen = 0;
        DisableCommIn(0);
        ghModule = sim::kModule;
        gaPortSetting[0] = PORTSETTING{kPort, kDefaultBaud, {0}};
        sim::SetTime(1000);
    }

    void TearDown() override
    {
        ReleaseMIDICOM(); /* whatever a test left open */
        CommCritDelete();
        InputTest::TearDown();
    }

    DWORD Send(UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0) { return midMessage(0, msg, 0, p1, p2); }

    DWORD Open(DWORD_PTR callback = kCallback)
    {
        MIDIOPENDESC desc = {};
        desc.hMidi = (HMIDI)kHandle;
        desc.dwCallback = callback;
        desc.dwInstance = kInstance;
        return Send(MIDM_OPEN, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    }

    /* Bytes arrive at the port; the next poll hands them on. */
    static void Arrive(const char *hex) { sim::FeedPort(kPortName, Bytes(hex)); }
    static void Poll() { sim::FireTimers(); }
};

TEST_F(InputDevice, OneDeviceWhoseIndexIsTheLowWord)
{
    EXPECT_EQ(1u, Send(MIDM_GETNUMDEVS));
    EXPECT_EQ(1u, midMessage(0x10000, MIDM_GETNUMDEVS, 0, 0, 0)) << "index 0x10000 is device 0";
    EXPECT_EQ((DWORD)MMSYSERR_BADDEVICEID, midMessage(1, MIDM_GETNUMDEVS, 0, 0, 0));
    EXPECT_EQ((DWORD)MMSYSERR_BADDEVICEID, midMessage(1, MIDM_OPEN, 0, 0, 0));
    EXPECT_EQ((DWORD)MMSYSERR_NOTSUPPORTED, Send(MIDM_PREPARE));
    EXPECT_EQ((DWORD)MMSYSERR_NOTSUPPORTED, Send(MIDM_UNPREPARE));
    EXPECT_EQ((DWORD)MMSYSERR_NOTSUPPORTED, Send(MODM_DATA));
}

TEST_F(InputDevice, CapabilitiesAreCopiedUpToTheSmallerSize)
{
    BYTE dest[200];
    memset(dest, 0xCC, sizeof dest);
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_GETDEVCAPS, (DWORD_PTR)dest, sizeof dest));
    MIDIINCAPSW caps;
    memcpy(&caps, dest, sizeof caps);
    EXPECT_EQ(0, caps.wMid);
    EXPECT_EQ(0, caps.wPid);
    EXPECT_EQ(0x0100u, caps.vDriverVersion);
    EXPECT_EQ("VeldorNT MIDI In", sim::Utf8(caps.szPname));
    EXPECT_EQ(0u, caps.dwSupport);
    EXPECT_EQ(0xCC, dest[76]) << "a byte beyond the 76 of the record was written";

    memset(dest, 0xCC, sizeof dest);
    Send(MIDM_GETDEVCAPS, (DWORD_PTR)dest, 0x10000 + 6); /* only the low word of the size counts */
    EXPECT_EQ(0x01, dest[5]) << "last byte of the six asked for: the version's high byte";
    EXPECT_EQ(0xCC, dest[6]) << "first byte beyond the six asked for";
}

TEST_F(InputDevice, BytesBeforeAStartAreStampedFromTheOpen)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    sim::AdvanceTime(30);
    Arrive("90 3C 40");
    Poll();
    EXPECT_EQ(Join({"OPEN", "DATA 90 3C 40 @30"}), Join(Seen()));
}

TEST_F(InputDevice, AReopenStampsWhatTheLastUseLeftInTheNewTimeBase)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    sim::AdvanceTime(5000);
    Arrive("F6 90 3C");
    Poll();
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_CLOSE));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    sim::AdvanceTime(20);
    Arrive("B0");
    Poll();
    EXPECT_EQ(Join({"OPEN", "DATA F6 @5000", "CLOSE", "OPEN", "ERROR 90 3C 00 @0"}), Join(Seen()))
        << "a message cut short after the reopen is stamped in the reopen's time base";
}

TEST_F(InputDevice, StartMovesTheTimeBaseAndRestartsTheParser)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    Arrive("90 3C");
    Poll();
    sim::AdvanceTime(5000);
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_START));
    sim::AdvanceTime(20);
    Arrive("40 90 3C 40");
    Poll();
    EXPECT_EQ(Join({"OPEN", "ERROR 40 @0", "DATA 90 3C 40 @20"}), Join(Seen()));
}

TEST_F(InputDevice, StartDropsASystemExclusiveUnderWay)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    Send(MIDM_ADDBUFFER, (DWORD_PTR)Buffer(8));
    Arrive("F0 01 02");
    Poll();
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_START));
    Arrive("03 F0 04 F7");
    Poll();
    EXPECT_EQ(Join({"OPEN", "ERROR 03 @0", "LONGDATA #0 [F0 04 F7] @0"}), Join(Seen()));
}

TEST_F(InputDevice, StopChangesNothing)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_START));
    Arrive("90 3C");
    Poll();
    sim::AdvanceTime(40);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_STOP));
    Arrive("40");
    Poll();
    EXPECT_EQ(Join({"OPEN", "DATA 90 3C 40 @0"}), Join(Seen()));
}

TEST_F(InputDevice, ResetReturnsTheBuffersAndHoldsInputUntilAStart)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    MIDIHDR *a = Buffer(8), *b = Buffer(8);
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_ADDBUFFER, (DWORD_PTR)a));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_ADDBUFFER, (DWORD_PTR)b));
    sim::AdvanceTime(70);
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_RESET));

    Arrive("F8");
    Poll();
    EXPECT_EQ(Join({"OPEN", "LONGDATA #0 [] @70", "LONGDATA #1 [] @70"}), Join(Seen()));
    EXPECT_EQ(1u, sim::PortPending(kPortName)) << "bytes left waiting at the port while input is held";

    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_START));
    Poll();
    EXPECT_EQ("DATA F8 @0", Seen().back()) << "after the start";
}

TEST_F(InputDevice, CloseIsRefusedWhileBuffersAreQueued)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    Send(MIDM_ADDBUFFER, (DWORD_PTR)Buffer(8));
    EXPECT_EQ((DWORD)MIDIERR_STILLPLAYING, Send(MIDM_CLOSE));
    EXPECT_TRUE(sim::PortIsOpen(kPortName)) << "the refused close released the port";

    Send(MIDM_RESET);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_CLOSE));
    EXPECT_EQ("CLOSE", Seen().back());
    EXPECT_FALSE(sim::PortIsOpen(kPortName));
    EXPECT_EQ(0, sim::LiveTimers());
}

TEST_F(InputDevice, OneClientAtATimeAlsoAfterAReset)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open());
    EXPECT_EQ((DWORD)MMSYSERR_ALLOCATED, Open()) << "while passing input";
    Send(MIDM_RESET);
    EXPECT_EQ((DWORD)MMSYSERR_ALLOCATED, Open()) << "while input is held";
    EXPECT_EQ(1, gaCommPort[0].UseComCount);

    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_CLOSE));
    EXPECT_FALSE(sim::PortIsOpen(kPortName)) << "one close gives the port back";
    EXPECT_EQ(0, sim::LiveTimers());
    EXPECT_EQ(Join({"OPEN", "CLOSE"}), Join(Seen()));
}

TEST_F(InputDevice, PortThatCannotBeOpenedLeavesTheDeviceClosed)
{
    sim::SetPortPresent(kPortName, false);
    EXPECT_EQ((DWORD)MMSYSERR_ALLOCATED, Open());
    EXPECT_EQ(1u, gaCommPort[0].fCommIn.load()) << "input gate after a failed open";
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MIDM_START));
    EXPECT_TRUE(Seen().empty()) << Join(Seen());

    sim::SetPortPresent(kPortName, true);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Open()) << "once the port is there";
}

TEST_F(InputDevice, RequestsToAClosedDeviceChangeNothing)
{
    MIDIHDR *h = Buffer(8);
    gaMidiIn[0].gMIMC.dwStartTime = 77;
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MIDM_CLOSE));
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MIDM_START));
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MIDM_STOP));
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MIDM_RESET));
    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MIDM_ADDBUFFER, (DWORD_PTR)h));
    EXPECT_EQ((DWORD)MHDR_PREPARED, h->dwFlags);
    EXPECT_EQ(nullptr, gaMidiIn[0].gMIMC.lpQueue);
    EXPECT_EQ(77u, gaMidiIn[0].gMIMC.dwStartTime) << "start time touched by a start while closed";
    EXPECT_EQ(1u, gaCommPort[0].fCommIn.load()) << "input gate";
    EXPECT_EQ(0, gaCommPort[0].UseComCount) << "port use count";
    EXPECT_TRUE(Seen().empty()) << Join(Seen());
}

TEST_F(InputDevice, NullPointersFromTheHostAreInvalidParameters)
{
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, Send(MIDM_OPEN, 0, CALLBACK_FUNCTION));
    EXPECT_EQ(0, gaCommPort[0].UseComCount) << "an open without a description took the port";
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, Send(MIDM_GETDEVCAPS, 0, sizeof(MIDIINCAPSW)));

    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open()) << "the refused open left the device closed";
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, Send(MIDM_ADDBUFFER, 0));
    EXPECT_EQ(nullptr, gaMidiIn[0].gMIMC.lpQueue);
}

TEST_F(InputDevice, ClientWithoutCallbackGetsNothingYetEverythingCompletes)
{
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Open(0));
    MIDIHDR *a = Buffer(8), *b = Buffer(8);
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_ADDBUFFER, (DWORD_PTR)a));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_ADDBUFFER, (DWORD_PTR)b));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_START));
    Arrive("90 3C 40 3C F0 01 F7 F0 02");
    Poll();
    EXPECT_EQ((DWORD)(MHDR_PREPARED | MHDR_DONE), a->dwFlags) << "buffer filled by the poll";
    EXPECT_EQ(3u, a->dwBytesRecorded);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_STOP));
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_RESET));
    EXPECT_EQ((DWORD)(MHDR_PREPARED | MHDR_DONE), b->dwFlags) << "buffer returned by the reset";
    EXPECT_EQ(0u, b->dwBytesRecorded);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, Send(MIDM_CLOSE));
    EXPECT_FALSE(sim::PortIsOpen(kPortName));
    EXPECT_TRUE(Seen().empty()) << Join(Seen());
}

} // namespace
