/*
 * Fault injection: every platform call the driver makes is failed once, one
 * row per failure. Each row checks the driver's answer, that nothing is left
 * held (port handles, timers, resolution requests, keys, locks), and that the
 * next open, send, receive, configure and close work as if nothing happened.
 */
#include "../hex.h"
#include "config/config.h"
#include "driver/driver.h"
#include "midiin/midiin.h"
#include "midiout/midiout.h"
#include "platform/host/sim.h"
#include "platform/host/sim_dialog.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_services.h"
#include "platform/host/sim_thread.h"
#include "platform/host/sim_timer.h"
#include "res/resource.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace
{

const std::u16string kDevice0 = u"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";
constexpr const char *kPortName = "com1";
constexpr DWORD kStoredPort = 1;
constexpr DWORD_PTR kInCallback = 0x1111;
constexpr DWORD_PTR kOutCallback = 0x2222;

using test_hex::Bytes;
using test_hex::Hex;

DWORD OpenOut()
{
    MIDIOPENDESC desc{};
    desc.dwCallback = kOutCallback;
    return modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
}

DWORD OpenIn()
{
    MIDIOPENDESC desc{};
    desc.dwCallback = kInCallback;
    return midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
}

DWORD CloseOut() { return modMessage(0, MODM_CLOSE, 0, 0, 0); }
DWORD CloseIn() { return midMessage(0, MIDM_CLOSE, 0, 0, 0); }

/* The input client's data and error notifications since the last clear, as text. */
std::string InputSeen()
{
    std::string s;
    char part[32];
    for (const sim::Notification &n : sim::Notifications()) {
        if (n.dwCallback != kInCallback || (n.dwMsg != MIM_DATA && n.dwMsg != MIM_ERROR && n.dwMsg != MIM_LONGDATA))
            continue;
        if (n.dwMsg == MIM_LONGDATA) {
            const MIDIHDR *h = reinterpret_cast<const MIDIHDR *>(n.dwParam1);
            std::vector<BYTE> b(h->lpData, h->lpData + h->dwBytesRecorded);
            s += (s.empty() ? "" : ", ") + std::string("LONGDATA [") + Hex(b) + "]";
            continue;
        }
        snprintf(part, sizeof part, "%s %06X", n.dwMsg == MIM_DATA ? "DATA" : "ERROR", (unsigned)n.dwParam1);
        s += (s.empty() ? "" : ", ") + std::string(part);
    }
    return s;
}

BOOL Attach() { return DllInstanceInit(sim::kModule, DLL_PROCESS_ATTACH, nullptr); }
void Detach() { DllInstanceInit(sim::kModule, DLL_PROCESS_DETACH, nullptr); }

/* The user picks COM2 and confirms; the answer and the port then stored. */
std::string Configure()
{
    sim::ScriptDialog({sim::ClickOn(IDC_COM2), sim::PressEnter()});
    LRESULT answer = DriverProc(1, nullptr, DRV_CONFIGURE, 0, 0);
    DWORD stored = 0;
    bool present = sim::DwordOf(kDevice0, u"COMID", &stored);
    return "configure " + std::to_string(answer) + " stored " + (present ? std::to_string(stored) : "none");
}

struct Fault {
    const char *name;
    std::function<void()> inject;     /* fails one call of the platform */
    std::function<std::string()> act; /* what the application does; ends with every device closed */
    std::string expected;             /* the driver's answer to it */
    bool newAttach;                   /* a failure at attach is cured only by the next attach */
    std::function<void()> heal;       /* takes back a failure the simulation keeps */
};

void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

std::string OpenOutAnswer()
{
    DWORD r = OpenOut();
    std::string s = "open " + std::to_string(r);
    if (r == MMSYSERR_NOERROR)
        s += " close " + std::to_string(CloseOut());
    return s;
}

std::string OpenInAnswer()
{
    DWORD r = OpenIn();
    std::string s = "open " + std::to_string(r) + " gate " + std::to_string(gaCommPort[0].fCommIn.load());
    if (r == MMSYSERR_NOERROR)
        s += " close " + std::to_string(CloseIn());
    return s;
}

/* Opens input, lets bytes arrive, polls once with the fault in place and
   once more without; both polls' notifications, split by "|". */
std::function<std::string()> PollWith(const char *arrived)
{
    return [arrived] {
        if (OpenIn() != MMSYSERR_NOERROR || midMessage(0, MIDM_START, 0, 0, 0) != MMSYSERR_NOERROR)
            return std::string("input did not open");
        sim::FeedPort(kPortName, Bytes(arrived));
        sim::ClearNotifications();
        sim::FireTimers();
        std::string seen = InputSeen() + " |";
        sim::ClearNotifications();
        sim::FireTimers();
        seen += " " + InputSeen();
        CloseIn();
        return seen;
    };
}

std::string AttachAnswer()
{
    Detach();
    BOOL ok = Attach();
    return "attach " + std::to_string(ok) + " port " + std::to_string(gaPortSetting[0].RSPort);
}

void FailReg(sim::RegCall call, int after = 0) { sim::FailRegCall(call, ERROR_ACCESS_DENIED, 1, after); }

const Fault kFaults[] = {
    /* Opening the port connection: the device open answers MMSYSERR_ALLOCATED. */
    {"CreateFileOutput", [] { sim::SetPortPresent(kPortName, false); }, OpenOutAnswer, "open 4", false,
     [] { sim::SetPortPresent(kPortName, true); }},
    {"CreateFileInput", [] { sim::SetPortPresent(kPortName, false); }, OpenInAnswer, "open 4 gate 1", false,
     [] { sim::SetPortPresent(kPortName, true); }},
    {"SetCommTimeouts", [] { sim::RefuseTimeouts(kPortName, true); }, OpenOutAnswer, "open 4", false,
     [] { sim::RefuseTimeouts(kPortName, false); }},
    {"GetCommState", [] { sim::FailNextGetState(); }, OpenOutAnswer, "open 0 close 0", false, nullptr},
    {"BuildCommDCB", [] { sim::FailNextBuildDcb(); }, OpenInAnswer, "open 4 gate 1", false, nullptr},
    {"SetCommState", [] { sim::RefuseState(kPortName, true); }, OpenOutAnswer, "open 4", false,
     [] { sim::RefuseState(kPortName, false); }},
    /* The timer is asked for twice: with the synchronous kill, which winmm
       before XP may refuse, and without it. */
    {"TimeSetEventOutput", [] { sim::FailNextTimeSetEvent(2); }, OpenOutAnswer, "open 4", false, nullptr},
    {"TimeSetEventInput", [] { sim::FailNextTimeSetEvent(2); }, OpenInAnswer, "open 4 gate 1", false, nullptr},
    {"TimeSetEventSynchronousKill", [] { sim::FailNextTimeSetEvent(1); }, OpenOutAnswer, "open 0 close 0", false,
     nullptr},
    {"CreateEventWake", [] { sim::FailNextCreateEvent(); }, OpenOutAnswer, "open 4", false, nullptr},
    {"CreateThread", [] { sim::FailNextCreateThread(); }, OpenInAnswer, "open 4 gate 1", false, nullptr},

    /* The poll: what did arrive is handed on; an error query that fails
       means the port is gone, which is reported once. */
    {"ReadFilePartial", [] { sim::FailNextRead(4); }, PollWith("90 3C 40 80 3C 00"), "DATA 403C90 | DATA 003C80", false,
     nullptr},
    {"ReadFileNothing", [] { sim::FailNextRead(0); }, PollWith("90 3C 40"), " | DATA 403C90", false, nullptr},
    {"ClearCommErrorInPoll", [] { sim::FailErrorQuery(kPortName, true); }, PollWith("F6"),
     "DATA 0000F6, ERROR 000000 | ", false, [] { sim::FailErrorQuery(kPortName, false); }},
    {"ClearCommErrorAtClose", nullptr,
     [] {
         std::string s = "open " + std::to_string(OpenOut());
         sim::FailErrorQuery(kPortName, true);
         s += " close " + std::to_string(CloseOut());
         return s + (sim::PortIsOpen(kPortName) ? " port open" : "");
     },
     "open 0 close 0", false, [] { sim::FailErrorQuery(kPortName, false); }},

    /* Writing: a failed write is reported to nobody; the next message goes whole. */
    {"WriteFilePartial", [] { sim::FailNextWrite(1); },
     [] {
         OpenOut();
         DWORD r = modMessage(0, MODM_DATA, 0, 0x403C90, 0);
         std::string wire = Hex(sim::PortWire(kPortName));
         CloseOut();
         return "data " + std::to_string(r) + " wire " + wire;
     },
     "data 0 wire 90", false, nullptr},

    /* The stored port at attach: any failure leaves no port configured. */
    {"RegCreateKeyAtAttach", [] { FailReg(sim::RegCall::CreateKey); }, AttachAnswer, "attach 1 port -1", true, nullptr},
    {"RegEnumKeyExAtAttach", [] { FailReg(sim::RegCall::EnumKey); }, AttachAnswer, "attach 1 port -1", true, nullptr},
    {"RegOpenKeyAtAttach", [] { FailReg(sim::RegCall::OpenKey); }, AttachAnswer, "attach 1 port -1", true, nullptr},
    {"RegQueryValueExAtAttach", [] { FailReg(sim::RegCall::QueryValue); }, AttachAnswer, "attach 1 port -1", true,
     nullptr},

    /* Configuration: the dialog is still shown, and a store that fails is not reported. */
    {"RegCreateKeyInConfigure", [] { FailReg(sim::RegCall::CreateKey); }, Configure, "configure 2 stored 2", false,
     nullptr},
    {"RegQueryInfoKeyInConfigure", [] { FailReg(sim::RegCall::QueryInfoKey); }, Configure, "configure 2 stored 2",
     false, nullptr},
    {"RegEnumKeyExInDialog", [] { FailReg(sim::RegCall::EnumKey); }, Configure, "configure 2 stored 2", false, nullptr},
    {"RegOpenKeyInDialog", [] { FailReg(sim::RegCall::OpenKey); }, Configure, "configure 2 stored 2", false, nullptr},
    {"RegQueryValueExInDialog", [] { FailReg(sim::RegCall::QueryValue); }, Configure, "configure 2 stored 2", false,
     nullptr},
    {"RegSetValueExInDialog", [] { FailReg(sim::RegCall::SetValue); }, Configure, "configure 2 stored 1", false,
     nullptr},
    {"DialogBoxParam", [] { sim::FailNextDialog(); }, Configure, "configure 0 stored 1", false, nullptr},
};

class FaultInjection : public ::testing::TestWithParam<Fault>
{
  protected:
    void SetUp() override
    {
        ReleaseMIDICOM();
        sim::ResetAll();
        sim::SetClockStep(1); /* the output close's wait on the clock ends */
        sim::SeedDword(kDevice0, u"COMID", kStoredPort);
        ASSERT_EQ(TRUE, Attach());
        ASSERT_EQ((LONG)kStoredPort, gaPortSetting[0].RSPort);
    }

    void TearDown() override { Detach(); }

    static void ExpectNothingHeld(const char *when)
    {
        EXPECT_EQ(0, gaCommPort[0].UseComCount) << when << ": port connection use count";
        EXPECT_EQ(0, sim::OpenPortHandles()) << when << ": port handles open";
        EXPECT_EQ(0, sim::LiveTimers()) << when << ": poll timers running";
        EXPECT_TRUE(sim::ThreadsEnd()) << when << ": poll threads running";
        EXPECT_EQ(0, sim::TimerResolutionDepth()) << when << ": 1 ms resolution requests not ended";
        EXPECT_EQ(0, sim::OpenKeyCount()) << when << ": keys open " << ::testing::PrintToString(sim::OpenKeyPaths());
        EXPECT_EQ(0, sim::OpenServiceCount()) << when << ": service handles open";
        EXPECT_EQ(0, sim::HeldLockCount()) << when << ": service database locks held";
        EXPECT_EQ(0, sim::HeldCriticalSections()) << when << ": driver locks held";
        EXPECT_EQ(0u, gaMidiIn[0].gfMidiInOpen.load()) << when << ": input device left open";
        EXPECT_EQ(1u, gaCommPort[0].fCommIn.load()) << when << ": input gate left open";
        EXPECT_EQ(1u, gaCommPort[0].fCommOut.load()) << when << ": output gate left open";
    }
};

TEST_P(FaultInjection, AnswersAsDesignedLeavesNothingHeldAndTheNextTryWorks)
{
    const Fault &f = GetParam();
    if (f.inject)
        f.inject();
    EXPECT_EQ(f.expected, f.act());
    if (f.heal)
        f.heal();
    ExpectNothingHeld("after the failure");

    if (f.newAttach) {
        Detach();
        ASSERT_EQ(TRUE, Attach());
        EXPECT_EQ((LONG)kStoredPort, gaPortSetting[0].RSPort) << "the next attach reads the stored port";
    }

    /* Both devices: open, play, receive a message and a system exclusive, close. */
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenOut()) << "output open after the failure";
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenIn()) << "input open after the failure";
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_START, 0, 0, 0));
    EXPECT_EQ(1, sim::LiveTimers());
    sim::ClearPortWrites(kPortName);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_DATA, 0, 0x403C90, 0));
    EXPECT_EQ("90 3C 40", Hex(sim::PortWire(kPortName))) << "bytes on the wire";

    char data[8] = {};
    MIDIHDR hdr{};
    hdr.lpData = data;
    hdr.dwBufferLength = sizeof data;
    hdr.dwFlags = MHDR_PREPARED;
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&hdr, 0));
    sim::ClearNotifications();
    sim::FeedPort(kPortName, Bytes("80 3C 00 F0 7E F7"));
    sim::FireTimers();
    EXPECT_EQ("DATA 003C80, LONGDATA [F0 7E F7]", InputSeen());

    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, CloseIn());
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, CloseOut());
    EXPECT_EQ(std::string("configure 2 stored 2"), Configure());
    ExpectNothingHeld("after the next try");
}

INSTANTIATE_TEST_SUITE_P(EachPlatformCall, FaultInjection, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault> &info) { return std::string(info.param.name); });

} // namespace
