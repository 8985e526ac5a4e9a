/* The output device's message procedure, as the multimedia system uses it. */
#include "../serial/serial_fixture.h"
#include "driver/midiclient.h"

#include <cstring>
#include <thread>

namespace
{
using namespace serial_test;

constexpr DWORD_PTR kCallback = 0xC0FFEE;
constexpr DWORD_PTR kInstance = 0x1234;
const HMIDI kHandle = reinterpret_cast<HMIDI>(0xBEEF);

class OutputDevice : public PortTest
{
  protected:
    static DWORD Send(UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0, UINT device = 0)
    {
        return modMessage(device, msg, 0, p1, p2);
    }

    DWORD Open(DWORD_PTR callback = kCallback)
    {
        desc = MIDIOPENDESC{};
        desc.hMidi = kHandle;
        desc.dwCallback = callback;
        desc.dwInstance = kInstance;
        return Send(MODM_OPEN, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    }

    static std::vector<DWORD> Codes()
    {
        std::vector<DWORD> out;
        for (const auto &n : sim::Notifications())
            out.push_back(n.dwMsg);
        return out;
    }

    MIDIOPENDESC desc;
};

TEST_F(OutputDevice, AnswersTheMessageTable)
{
    EXPECT_EQ(1u, Send(MODM_GETNUMDEVS));
    EXPECT_EQ((DWORD)MMSYSERR_NOTSUPPORTED, Send(MODM_PREPARE));
    EXPECT_EQ((DWORD)MMSYSERR_NOTSUPPORTED, Send(MODM_UNPREPARE));
    EXPECT_EQ((DWORD)MMSYSERR_NOTSUPPORTED, Send(99));
}

TEST_F(OutputDevice, OnlyTheLowWordOfTheDeviceIndexCounts)
{
    for (UINT msg : {MODM_GETNUMDEVS, MODM_OPEN, MODM_CLOSE, MODM_DATA, MODM_RESET})
        EXPECT_EQ((DWORD)MMSYSERR_BADDEVICEID, Send(msg, 0, 0, 1)) << "message " << msg;
    EXPECT_EQ(1u, Send(MODM_GETNUMDEVS, 0, 0, 0x00010000));
}

TEST_F(OutputDevice, CapabilitiesAreCopiedUpToTheirSize)
{
    BYTE buf[200];
    memset(buf, 0xAA, sizeof buf);
    ASSERT_EQ(0u, Send(MODM_GETDEVCAPS, (DWORD_PTR)buf, sizeof buf));

    MIDIOUTCAPSW caps;
    memcpy(&caps, buf, sizeof caps);
    EXPECT_EQ(0, caps.wMid);
    EXPECT_EQ(0, caps.wPid);
    EXPECT_EQ(0x0100u, caps.vDriverVersion);
    EXPECT_EQ("VeldorNT MIDI Out", sim::Utf8(caps.szPname));
    EXPECT_EQ(MOD_MIDIPORT, caps.wTechnology);
    EXPECT_EQ(0, caps.wVoices);
    EXPECT_EQ(0, caps.wNotes);
    EXPECT_EQ(0xFFFF, caps.wChannelMask);
    EXPECT_EQ(0u, caps.dwSupport);
    EXPECT_EQ(0xAA, buf[84]) << "copied beyond the 84-byte record";
}

TEST_F(OutputDevice, ShortCapabilitySizeCopiesOnlyThatMany)
{
    BYTE full[84], part[100];
    Send(MODM_GETDEVCAPS, (DWORD_PTR)full, sizeof full);
    memset(part, 0xAA, sizeof part);

    ASSERT_EQ(0u, Send(MODM_GETDEVCAPS, (DWORD_PTR)part, 0x10000 | 40)); /* the size's high word is not read */

    EXPECT_EQ(0, memcmp(full, part, 40));
    EXPECT_EQ(0xAA, part[40]) << "copied beyond the 40 bytes asked for";
}

TEST_F(OutputDevice, NullPointersAreInvalidParametersAndTouchNothing)
{
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, Send(MODM_GETDEVCAPS, 0, 84));
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, Send(MODM_OPEN, 0, CALLBACK_FUNCTION));
    EXPECT_EQ(0u, sim::CreateFileCalls().size()) << "the open went as far as the port";
    EXPECT_EQ(1u, gaCommPort[0].fCommOut.load());

    ASSERT_EQ(0u, Open());
    sim::ClearNotifications();
    EXPECT_EQ((DWORD)MMSYSERR_INVALPARAM, Send(MODM_LONGDATA, 0));
    EXPECT_EQ(0u, sim::Notifications().size());
}

TEST_F(OutputDevice, OpenFillsTheClientAndNotifiesOpen)
{
    ASSERT_EQ(0u, Open());

    EXPECT_EQ(0u, gaCommPort[0].fCommOut.load()) << "output gate";
    EXPECT_EQ(1, gaCommPort[0].UseComCount);
    auto n = sim::Notifications();
    ASSERT_EQ(1u, n.size());
    EXPECT_EQ((DWORD)MOM_OPEN, n[0].dwMsg);
    EXPECT_EQ(kCallback, n[0].dwCallback);
    EXPECT_EQ(kInstance, n[0].dwUser);
    EXPECT_EQ((HDRVR)kHandle, n[0].hDevice);
    EXPECT_EQ((DWORD)(DCB_FUNCTION | DCB_NOSWITCH), n[0].dwFlags);
}

TEST_F(OutputDevice, SecondOpenIsRefusedAndTheFirstClientKeepsTheDevice)
{
    ASSERT_EQ(0u, Open());
    EXPECT_EQ((DWORD)MMSYSERR_ALLOCATED, Open(0x999));
    EXPECT_EQ(kCallback, gaMidiOut[0].gMidiOutClient.dwCallback);
    EXPECT_EQ(1, gaCommPort[0].UseComCount);
}

TEST_F(OutputDevice, OfTwoOpensAtOnceOneIsRefusedAndOneCloseGivesThePortBack)
{
    for (int round = 0; round < 50; round++) {
        std::atomic<int> ready{0}, opened{0};
        auto open = [&] {
            MIDIOPENDESC d{};
            ready++;
            while (ready < 2) {
            }
            opened += modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&d, CALLBACK_FUNCTION) == MMSYSERR_NOERROR;
        };
        std::thread a(open), b(open);
        a.join();
        b.join();
        ASSERT_EQ(1, opened.load()) << "round " << round;
        ASSERT_EQ(1, gaCommPort[0].UseComCount) << "round " << round;
        ASSERT_EQ((DWORD)MMSYSERR_NOERROR, Send(MODM_CLOSE)) << "round " << round;
        ASSERT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MODM_CLOSE)) << "round " << round;
        ASSERT_EQ(0, gaCommPort[0].UseComCount) << "round " << round;
    }
}

TEST_F(OutputDevice, PortHeldElsewhereRefusesTheOpenAndLeavesNothingRunning)
{
    HANDLE other = CreateFileW(u"com1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);

    EXPECT_EQ((DWORD)MMSYSERR_ALLOCATED, Open());
    EXPECT_EQ(1u, gaCommPort[0].fCommOut.load());
    EXPECT_EQ(0, sim::LiveTimers());
    EXPECT_EQ(0, sim::TimerResolutionDepth());
    EXPECT_EQ(0u, sim::Notifications().size());
    CloseHandle(other);
}

TEST_F(OutputDevice, CloseNotifiesBeforeTheResetBytesAreWritten)
{
    size_t writesAtClose = 99;
    sim::OnNotification([&](const sim::Notification &n) {
        if (n.dwMsg == MOM_CLOSE)
            writesAtClose = sim::PortWrites(kPortName).size();
    });
    ASSERT_EQ(0u, Open());
    ASSERT_EQ(0u, Send(MODM_DATA, 0x403C90));
    ASSERT_EQ(0u, Send(MODM_CLOSE));

    std::vector<std::string> expected{"90 3C 40"};
    for (int ch = 0; ch < 16; ch++) {
        char buf[16];
        snprintf(buf, sizeof buf, "%02X 40 00", 0xB0 + ch);
        expected.push_back(buf);
        snprintf(buf, sizeof buf, "%02X 7B 00", 0xB0 + ch);
        expected.push_back(buf);
    }
    EXPECT_EQ(expected, Writes());
    EXPECT_EQ((std::vector<DWORD>{MOM_OPEN, MOM_CLOSE}), Codes());
    EXPECT_EQ(1u, writesAtClose) << "writes on the wire when MOM_CLOSE arrived";
    ExpectAllGivenBack();
    EXPECT_EQ(1u, gaCommPort[0].fCommOut.load());
}

TEST_F(OutputDevice, CloseOfAClosedDeviceIsAnInvalidHandleAndChangesNothing)
{
    ASSERT_EQ(0, OpenPortNumber(kPort)); /* the input device holds the port */

    EXPECT_EQ((DWORD)MMSYSERR_INVALHANDLE, Send(MODM_CLOSE));
    EXPECT_EQ(1, gaCommPort[0].UseComCount);
    EXPECT_TRUE(sim::PortIsOpen(kPortName));
    EXPECT_EQ(0u, sim::PortWrites(kPortName).size());
    EXPECT_EQ(0u, sim::Notifications().size());
}

TEST_F(OutputDevice, SendsWhileClosedAnswerAsUsualUnwritten)
{
    ASSERT_EQ(0, OpenPortNumber(kPort)); /* the port is open for input */
    std::vector<BYTE> data = Bytes({0xF0, 0x01, 0xF7});
    MIDIHDR h{};
    h.lpData = reinterpret_cast<LPSTR>(data.data());
    h.dwBufferLength = 3;
    h.dwFlags = MHDR_PREPARED;

    EXPECT_EQ(0u, Send(MODM_DATA, 0x403C90));
    EXPECT_EQ(0u, Send(MODM_LONGDATA, (DWORD_PTR)&h));
    EXPECT_EQ(0u, Send(MODM_RESET));
    EXPECT_EQ(0u, sim::PortWrites(kPortName).size());
}

TEST_F(OutputDevice, OpenWithoutCallbackWorksSilently)
{
    ASSERT_EQ(0u, Open(0));
    EXPECT_EQ(0u, Send(MODM_DATA, 0x403C90));
    EXPECT_EQ(0u, Send(MODM_CLOSE));
    EXPECT_EQ(0u, sim::Notifications().size());
    EXPECT_EQ(33u, sim::PortWrites(kPortName).size());
}

TEST_F(OutputDevice, OpenClearsTheRunningStatus)
{
    ASSERT_EQ(0u, Open());
    Send(MODM_DATA, 0x403C90);
    Send(MODM_CLOSE);
    gaMidiOut[0].gbMidiOutCurrentStatus = 0x90; /* as if left by sends while closed */
    ASSERT_EQ(0u, Open());
    sim::ClearPortWrites(kPortName);

    Send(MODM_DATA, 0x00403C);
    EXPECT_EQ(std::vector<std::string>{}, Writes());
}

TEST_F(OutputDevice, SendFromInsideTheDoneCallbackIsNotReady)
{
    DWORD inner = 0xFFFF;
    sim::OnNotification([&](const sim::Notification &n) {
        if (n.dwMsg == MOM_DONE)
            inner = Send(MODM_DATA, 0x403C90);
    });
    ASSERT_EQ(0u, Open());
    std::vector<BYTE> data = Bytes({0xF0, 0x01, 0xF7});
    MIDIHDR h{};
    h.lpData = reinterpret_cast<LPSTR>(data.data());
    h.dwBufferLength = 3;
    h.dwFlags = MHDR_PREPARED;

    EXPECT_EQ(0u, Send(MODM_LONGDATA, (DWORD_PTR)&h));
    EXPECT_EQ((DWORD)MIDIERR_NOTREADY, inner);
    EXPECT_EQ(std::vector<std::string>{"F0 01 F7"}, Writes()) << "the refused message was written";

    EXPECT_EQ(0u, Send(MODM_DATA, 0x403C90)) << "the guard was released";
}

TEST_F(OutputDevice, LongDataAnswersTheFramingResult)
{
    ASSERT_EQ(0u, Open());
    std::vector<BYTE> data = Bytes({0xF0, 0xF7});
    MIDIHDR h{};
    h.lpData = reinterpret_cast<LPSTR>(data.data());
    h.dwBufferLength = 2;
    EXPECT_EQ((DWORD)MIDIERR_UNPREPARED, Send(MODM_LONGDATA, (DWORD_PTR)&h));
}

} // namespace
