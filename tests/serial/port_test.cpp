/* The shared port connection: one port for both devices, and what each kind
   of failure gives back. */
#include "platform/host/sim_registry.h"
#include "platform/host/sim_thread.h"
#include "serial_fixture.h"

#include <chrono>
#include <functional>
#include <thread>

namespace
{
using namespace serial_test;

class PortConnection : public PortTest
{
};

TEST_F(PortConnection, BothDevicesShareOnePortTimerAndResolution)
{
    ASSERT_EQ(0, OpenPortNumber(kPort));
    ASSERT_EQ(0, OpenPortNumber(kPort));

    EXPECT_EQ(2, gaCommPort[0].UseComCount);
    EXPECT_EQ(1u, sim::CreateFileCalls().size()) << "the port is opened once";
    EXPECT_EQ(1, sim::LiveTimers());
    EXPECT_EQ(1, sim::TimerResolutionDepth());

    CloseMIDICOM(0);
    EXPECT_EQ(1, gaCommPort[0].UseComCount);
    EXPECT_TRUE(sim::PortIsOpen(kPortName)) << "the other device still uses the port";
    EXPECT_EQ(1, sim::LiveTimers());

    CloseMIDICOM(0);
    ExpectAllGivenBack();
    EXPECT_FALSE(sim::PortIsOpen(kPortName));
}

/* The input mode is the stored LowLatency of the first device key, read
   each time the connection opens: the standard poll is woken by a timer
   every 10 ms, the low-latency one keeps its own 1 ms period. */
TEST_F(PortConnection, LowLatencyModeIsReadEachTimeTheConnectionOpens)
{
    struct Step {
        long stored; /* -1 leaves the value absent */
        int timers;
    };
    for (Step step : {Step{-1, 1}, Step{1, 0}, Step{0, 1}, Step{2, 0}}) {
        SCOPED_TRACE(step.stored);
        if (step.stored >= 0)
            sim::SeedDword(kDevice0Key, u"LowLatency", (DWORD)step.stored);
        ASSERT_EQ(0, OpenPortNumber(kPort));
        sim::SeedDword(kDevice0Key, u"LowLatency", 0); /* changed while open: not read until the next open */
        ASSERT_EQ(0, OpenPortNumber(kPort));
        EXPECT_EQ(step.timers, sim::TimersStarted()) << "one poll for both devices";
        if (step.timers) {
            EXPECT_EQ(10u, sim::LastTimerPeriod());
        }
        EXPECT_EQ(1, sim::TimerResolutionDepth()) << "stamps to the millisecond in either mode";
        CloseMIDICOM(0);
        CloseMIDICOM(0);
        ExpectAllGivenBack();
        sim::ResetAll();
        DrvCont = 10;
    }
}

TEST_F(PortConnection, Port3IsOpenedAsCom3At38400N81)
{
    ASSERT_EQ(0, OpenPortNumber(3));

    auto calls = sim::CreateFileCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("com3", sim::Utf8(calls[0].name));
    EXPECT_EQ(GENERIC_READ | GENERIC_WRITE, calls[0].access);
    EXPECT_EQ(0u, calls[0].share) << "exclusive use";
    EXPECT_EQ((DWORD)OPEN_EXISTING, calls[0].disposition);
    EXPECT_EQ(FILE_FLAG_WRITE_THROUGH, calls[0].flags);

    auto descriptions = sim::CommDescriptions();
    ASSERT_EQ(1u, descriptions.size());
    EXPECT_EQ("com3:38400,n,8,1", sim::Utf8(descriptions[0]));

    DCB state = sim::PortState("com3");
    EXPECT_EQ(38400u, state.BaudRate);
    EXPECT_EQ(8, state.ByteSize);
    EXPECT_EQ(NOPARITY, state.Parity);
    EXPECT_EQ(ONESTOPBIT, state.StopBits);
    EXPECT_EQ(1u, state.fBinary);

    COMMTIMEOUTS to = sim::PortTimeouts("com3");
    EXPECT_EQ(0xFFFFFFFFu, to.ReadIntervalTimeout) << "reads return at once";
    EXPECT_EQ(0u, to.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(0u, to.ReadTotalTimeoutConstant);

    EXPECT_EQ(10u, sim::LastTimerPeriod());
    EXPECT_EQ((UINT)(TIME_PERIODIC | TIME_CALLBACK_EVENT_SET | TIME_KILL_SYNCHRONOUS), sim::LastTimerFlags())
        << "the timer wakes the poll's thread: it never calls into the library, nor sets the event once killed";
}

TEST_F(PortConnection, SettingsTheDescriptionLeavesOutAreNotTakenFromThePort)
{
    DCB found = sim::PortState("com2");
    found.fOutxCtsFlow = 1; /* hardware flow control left on by another program */
    found.XonLim = 77;
    sim::SetPortState("com2", found);

    ASSERT_EQ(0, OpenPortNumber(2));

    DCB state = sim::PortState("com2");
    EXPECT_EQ(0u, state.fOutxCtsFlow);
    EXPECT_EQ(0, state.XonLim);
}

struct Failure {
    const char *name;
    LONG port;
    std::function<void()> arrange;
};

void PrintTo(const Failure &f, std::ostream *os) { *os << f.name; }

class PortConnectionFailure : public PortTest, public ::testing::WithParamInterface<Failure>
{
};

TEST_P(PortConnectionFailure, GivesEverythingBack)
{
    GetParam().arrange();
    int handlesBefore = sim::OpenPortHandles(); /* the other program's */

    EXPECT_EQ(1, OpenPortNumber(GetParam().port));

    EXPECT_EQ(0, gaCommPort[0].UseComCount);
    EXPECT_EQ(0, sim::LiveTimers()) << "poll timer left running";
    EXPECT_EQ(0, sim::TimerResolutionDepth()) << "1 ms resolution not ended";
    EXPECT_EQ(handlesBefore, sim::OpenPortHandles()) << "port handle left open";
}

const Failure kFailures[] = {
    {"MissingPort", 2, [] { sim::SetPortPresent("com2", false); }},
    {"PortHeldByAnotherProgram", 2,
     [] {
         HANDLE h = CreateFileW(u"COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         ASSERT_NE(INVALID_HANDLE_VALUE, h);
     }},
    {"FileThatIsNoSerialPort", 2, [] { sim::RefuseTimeouts("com2", true); }},
    {"SettingsRefused", 2, [] { sim::RefuseState("com2", true); }},
    {"PollTimerNotStarted", 2, [] { sim::FailNextTimeSetEvent(2); }},
    {"NoPortConfigured", -1, [] {}},
    {"PortNumberTooLongForTheTexts", 123456789, [] {}},
    {"PortNumberOfFiveDigits", 12345, [] {}},
};
INSTANTIATE_TEST_SUITE_P(EachKind, PortConnectionFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });

TEST_F(PortConnection, NoPortConfiguredTriesCom1Minus)
{
    EXPECT_EQ(1, OpenPortNumber(-1));
    auto calls = sim::CreateFileCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("com-1", sim::Utf8(calls[0].name));
}

TEST_F(PortConnection, PortNumberTooLongForTheTextsTouchesNoPort)
{
    EXPECT_EQ(1, OpenPortNumber(123456789));
    EXPECT_EQ(0u, sim::CreateFileCalls().size());
    EXPECT_EQ(0, sim::TimersStarted());
}

TEST_F(PortConnection, RefusedSettingsLeaveThePortFreeForALaterOpen)
{
    sim::RefuseState(kPortName, true);
    ASSERT_EQ(1, OpenPortNumber(kPort));
    sim::RefuseState(kPortName, false);

    EXPECT_EQ(0, OpenPortNumber(kPort));
    EXPECT_EQ(1, gaCommPort[0].UseComCount);
}

TEST_F(PortConnection, CloseOfAClosedConnectionKeepsTheCountAtZero)
{
    CloseMIDICOM(0);
    EXPECT_EQ(0, gaCommPort[0].UseComCount);

    ASSERT_EQ(0, OpenPortNumber(kPort));
    EXPECT_TRUE(sim::PortIsOpen(kPortName)) << "the next open must open the port";
}

TEST_F(PortConnection, ReleaseGivesBackTheConnectionWhateverTheCount)
{
    ASSERT_EQ(0, OpenPortNumber(kPort));
    ASSERT_EQ(0, OpenPortNumber(kPort));
    EnableCommIn(0);
    EnableCommOut(0);

    ReleaseMIDICOM();

    ExpectAllGivenBack();
    EXPECT_EQ(1u, gaCommPort[0].fCommIn.load()) << "input gate";
    EXPECT_EQ(1u, gaCommPort[0].fCommOut.load()) << "output gate";

    ReleaseMIDICOM(); /* nothing left to give back */
    ExpectAllGivenBack();
    EXPECT_EQ(0, OpenPortNumber(kPort)) << "the port opens again after a release";
}

TEST_F(PortConnection, TwoDevicesOpeningAtOnceOpenThePortOnce)
{
    for (int round = 0; round < 50; round++) {
        std::atomic<int> ready{0};
        auto open = [&] {
            ready++;
            while (ready < 2) {
            }
            OpenMIDICOM(0); /* the fixture stored kPort */
        };
        std::thread a(open), b(open);
        a.join();
        b.join();

        ASSERT_EQ(2, gaCommPort[0].UseComCount) << "round " << round;
        ASSERT_EQ(1, sim::OpenPortHandles()) << "round " << round;
        ReleaseMIDICOM();
    }
    EXPECT_EQ(50u, sim::CreateFileCalls().size());
}

/* A new thread runs its routine only once the loader lock is free, and an
   unload holds that lock: the open returns once the poll's thread runs its
   own code, so that an unload can wait for it. One held past any start goes
   on, and the library stays mapped for the code that thread will run. */
TEST_F(PortConnection, OpenReturnsOnceThePollsThreadRunsItsOwnCode)
{
    sim::HoldThreadStarts(true);
    std::atomic<bool> opened{false};
    std::thread open([&] {
        EXPECT_EQ(0, OpenPortNumber(kPort));
        opened = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(opened) << "the open returned before the poll's thread ran";
    sim::HoldThreadStarts(false);
    open.join();
    EXPECT_EQ(0, sim::LibraryLoads());
    ReleaseMIDICOM();
    ExpectAllGivenBack();

    sim::HoldThreadStarts(true);
    EXPECT_EQ(0, OpenPortNumber(kPort)) << "held past any start";
    EXPECT_EQ(1, sim::LibraryLoads()) << "the library was not kept mapped";
    sim::HoldThreadStarts(false);
    ReleaseMIDICOM();
    ExpectAllGivenBack();
}

/* Ports above COM9 exist only in the device namespace; the settings
   description keeps the plain form, which the platform parses for any number. */
struct PortName {
    LONG port;
    const char *fileName;
    const char *description;
};

void PrintTo(const PortName &p, std::ostream *os) { *os << "COM" << p.port; }

class PortNames : public PortTest, public ::testing::WithParamInterface<PortName>
{
};

TEST_P(PortNames, FileNameAndDescription)
{
    sim::SetPortPresent(("com" + std::to_string(GetParam().port)).c_str(), true);
    EXPECT_EQ(0, OpenPortNumber(GetParam().port));

    auto calls = sim::CreateFileCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(GetParam().fileName, sim::Utf8(calls[0].name));
    auto descriptions = sim::CommDescriptions();
    ASSERT_EQ(1u, descriptions.size());
    EXPECT_EQ(GetParam().description, sim::Utf8(descriptions[0]));
}

const PortName kPortNames[] = {
    {4, "com4", "com4:38400,n,8,1"},           {9, "com9", "com9:38400,n,8,1"},
    {10, "\\\\.\\COM10", "com10:38400,n,8,1"}, {12, "\\\\.\\COM12", "com12:38400,n,8,1"},
    {16, "\\\\.\\COM16", "com16:38400,n,8,1"},
};
INSTANTIATE_TEST_SUITE_P(AtTheNineTenBoundary, PortNames, ::testing::ValuesIn(kPortNames),
                         [](const ::testing::TestParamInfo<PortName> &info) {
                             return "Com" + std::to_string(info.param.port);
                         });

TEST_F(PortConnection, Com12OpensAndCarriesBytesLikeCom1)
{
    sim::SetPortPresent("com9", true);
    sim::SetPortPresent("com12", true);

    ASSERT_EQ(0, OpenPortNumber(12));

    EXPECT_TRUE(sim::PortIsOpen("com12"));
    EXPECT_FALSE(sim::PortIsOpen("com1")) << "the name must not fall back to another port";
    EXPECT_EQ(38400u, sim::PortState("com12").BaudRate);
    CloseMIDICOM(0);
    ExpectAllGivenBack();
}

TEST_F(PortConnection, PlainNameAboveCom9NamesNoDevice)
{
    /* What the device-namespace name works around: the platform (Wine
       included) answers "file not found" to a plain com12. */
    sim::SetPortPresent("com12", true);
    HANDLE h = CreateFileW(u"com12", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

} // namespace
