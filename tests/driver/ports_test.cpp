/* Several ports: which device keys are ports, what their devices are called,
   the line speed each is opened at, and that each port stands alone. */
#include "driver/driver.h"
#include "midiin/midiin.h"
#include "midiout/midiout.h"
#include "platform/host/sim.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_timer.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{
const std::u16string kParameters = u"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters";
using Clock = std::chrono::steady_clock;

/* Device n's key; n up to 19. */
std::u16string DeviceKey(int n)
{
    std::u16string name = u"Device";
    if (n >= 10)
        name += u'1';
    name += (char16_t)(u'0' + n % 10);
    return kParameters + u"\\" + name;
}

void StoreName(int n, const std::u16string &name)
{
    std::vector<BYTE> data;
    for (char16_t c : name + u'\0') {
        data.push_back((BYTE)c);
        data.push_back((BYTE)(c >> 8));
    }
    sim::SeedValue(DeviceKey(n), u"Name", REG_SZ, data);
}

class Ports : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        sim::SetClockStep(1);
    }
    void TearDown() override
    {
        ReleaseMIDICOM();
        DllInstanceInit(sim::kModule, DLL_PROCESS_DETACH, nullptr);
        for (UINT u = 0; u < kMaxPorts; u++) {
            gaMidiIn[u].gfMidiInOpen = 0;
            gaMidiOut[u].gfMidiOutOpen = 0;
            DisableCommIn(u);
            DisableCommOut(u);
        }
    }
    static void Attach() { ASSERT_EQ(TRUE, DllInstanceInit(sim::kModule, DLL_PROCESS_ATTACH, nullptr)); }

    static std::string OutName(UINT id)
    {
        MIDIOUTCAPSW caps = {};
        EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(id, MODM_GETDEVCAPS, 0, (DWORD_PTR)&caps, sizeof caps));
        return sim::Utf8(caps.szPname);
    }
    static std::string InName(UINT id)
    {
        MIDIINCAPSW caps = {};
        EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(id, MIDM_GETDEVCAPS, 0, (DWORD_PTR)&caps, sizeof caps));
        return sim::Utf8(caps.szPname);
    }
    static DWORD OpenOut(UINT id, DWORD_PTR callback = 0)
    {
        MIDIOPENDESC desc = {};
        desc.dwCallback = callback;
        return modMessage(id, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    }
    static DWORD OpenIn(UINT id, DWORD_PTR callback)
    {
        MIDIOPENDESC desc = {};
        desc.dwCallback = callback;
        return midMessage(id, MIDM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    }
};

/* What the keys hold, and the ports and speeds the devices get. */
TEST_F(Ports, ThePortsAreTheKeysUpToTheFirstWithoutAPortNumber)
{
    struct Row {
        const char *what;
        void (*seed)();
        UINT ports;
        LONG com[3];
        DWORD baud[3];
    } rows[] = {
        {"nothing stored", [] {}, 1, {-1}, {38400}},
        {"one port, as always", [] { sim::SeedDword(DeviceKey(0), u"COMID", 1); }, 1, {1}, {38400}},
        {"three ports, speeds of their own",
         [] {
             sim::SeedDword(DeviceKey(0), u"COMID", 1);
             sim::SeedDword(DeviceKey(1), u"COMID", 2);
             sim::SeedDword(DeviceKey(1), u"Baud", 31250);
             sim::SeedDword(DeviceKey(2), u"COMID", 7);
             sim::SeedDword(DeviceKey(2), u"Baud", 115200);
         },
         3,
         {1, 2, 7},
         {38400, 31250, 115200}},
        {"Device1 missing ends the list",
         [] {
             sim::SeedDword(DeviceKey(0), u"COMID", 1);
             sim::SeedDword(DeviceKey(2), u"COMID", 3);
         },
         1,
         {1},
         {38400}},
        {"Device1 without a port number ends the list",
         [] {
             sim::SeedDword(DeviceKey(0), u"COMID", 1);
             sim::SeedDword(DeviceKey(1), u"Baud", 57600);
             sim::SeedDword(DeviceKey(2), u"COMID", 3);
         },
         1,
         {1},
         {38400}},
        {"a port number of the wrong type is none",
         [] {
             sim::SeedDword(DeviceKey(0), u"COMID", 1);
             sim::SeedValue(DeviceKey(1), u"COMID", REG_SZ, {'2', 0, 0, 0});
         },
         1,
         {1},
         {38400}},
        {"no Device0: port 0 is the first key, as always, and no port follows",
         [] { sim::SeedDword(DeviceKey(1), u"COMID", 2); },
         1,
         {2},
         {38400}},
        {"a speed of 0 or of the wrong type is the default",
         [] {
             sim::SeedDword(DeviceKey(0), u"COMID", 1);
             sim::SeedDword(DeviceKey(0), u"Baud", 0);
             sim::SeedDword(DeviceKey(1), u"COMID", 0); /* a port number of 0: its opens fail */
             sim::SeedValue(DeviceKey(1), u"Baud", REG_SZ, {'9', 0, 0, 0});
         },
         2,
         {1, 0},
         {38400, 38400}},
        {"at most 16",
         [] {
             for (int n = 0; n < 20; n++)
                 sim::SeedDword(DeviceKey(n), u"COMID", (DWORD)n + 1);
         },
         16,
         {1, 2, 3},
         {38400, 38400, 38400}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        sim::ResetAll();
        r.seed();
        auto keys = sim::SubKeys(kParameters);
        Attach();
        EXPECT_EQ(r.ports, modMessage(0, MODM_GETNUMDEVS, 0, 0, 0));
        EXPECT_EQ(r.ports, midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0));
        EXPECT_EQ((DWORD)MMSYSERR_BADDEVICEID, modMessage(r.ports, MODM_GETNUMDEVS, 0, 0, 0));
        EXPECT_EQ((DWORD)MMSYSERR_BADDEVICEID, midMessage(r.ports, MIDM_OPEN, 0, 0, 0));
        for (UINT u = 0; u < r.ports && u < 3; u++) {
            EXPECT_EQ(r.com[u], gaPortSetting[u].RSPort) << "port " << u;
            EXPECT_EQ(r.baud[u], gaPortSetting[u].dwBaud) << "port " << u;
        }
        EXPECT_EQ(0, sim::OpenKeyCount());
        EXPECT_EQ(keys, sim::SubKeys(kParameters)) << "reading made a key";
    }
}

TEST_F(Ports, EachDeviceHasANameOfItsOwnThatFitsItsRecord)
{
    struct Row {
        const char *what;
        std::vector<std::u16string> stored; /* per port; empty: none */
        std::vector<std::string> out, in;
    } rows[] = {
        {"the defaults, numbered by the port",
         {u"", u"", u""},
         {"VeldorNT MIDI Out", "VeldorNT MIDI Out 2", "VeldorNT MIDI Out 3"},
         {"VeldorNT MIDI In", "VeldorNT MIDI In 2", "VeldorNT MIDI In 3"}},
        {"a stored name replaces the default",
         {u"", u"Synth board"},
         {"VeldorNT MIDI Out", "Synth board"},
         {"VeldorNT MIDI In", "Synth board"}},
        {"a name too long is cut to the record",
         {std::u16string(40, u'x')},
         {std::string(31, 'x')},
         {std::string(31, 'x')}},
        {"one far too long to read is none", {std::u16string(300, u'x')}, {"VeldorNT MIDI Out"}, {"VeldorNT MIDI In"}},
        {"a name another port has gets a number",
         {u"Synth", u"Synth", std::u16string(31, u'y'), std::u16string(31, u'y')},
         {"Synth", "Synth 2", std::string(31, 'y'), std::string(29, 'y') + " 4"},
         {"Synth", "Synth 2", std::string(31, 'y'), std::string(29, 'y') + " 4"}},
        {"a stored name that is another port's default",
         {u"VeldorNT MIDI Out 2", u""},
         {"VeldorNT MIDI Out 2", "VeldorNT MIDI Out 2 2"},
         {"VeldorNT MIDI Out 2", "VeldorNT MIDI In 2"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        sim::ResetAll();
        for (size_t n = 0; n < r.stored.size(); n++) {
            sim::SeedDword(DeviceKey((int)n), u"COMID", (DWORD)n + 1);
            if (!r.stored[n].empty())
                StoreName((int)n, r.stored[n]);
        }
        Attach();
        for (UINT u = 0; u < r.out.size(); u++) {
            EXPECT_EQ(r.out[u], OutName(u)) << "output " << u;
            EXPECT_EQ(r.in[u], InName(u)) << "input " << u;
        }
    }
    /* A name of the wrong type is none. */
    sim::ResetAll();
    sim::SeedDword(DeviceKey(0), u"COMID", 1);
    sim::SeedDword(DeviceKey(0), u"Name", 5);
    Attach();
    EXPECT_EQ("VeldorNT MIDI Out", OutName(0));
}

/* Each port opens at its own speed; one the port refuses fails the open as
   any other failed open does. */
TEST_F(Ports, EachPortOpensAtItsOwnSpeed)
{
    sim::SeedDword(DeviceKey(0), u"COMID", 1);
    sim::SeedDword(DeviceKey(1), u"COMID", 2);
    sim::SeedDword(DeviceKey(1), u"Baud", 115200);
    sim::SeedDword(DeviceKey(2), u"COMID", 3);
    sim::SeedDword(DeviceKey(2), u"Baud", 31250);
    Attach();
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenOut(1));
    EXPECT_EQ("com2:115200,n,8,1", sim::Utf8(sim::CommDescriptions().back()));
    EXPECT_EQ(115200u, sim::PortState("com2").BaudRate);
    EXPECT_FALSE(sim::PortIsOpen("com1")) << "port 0 opened with port 1";
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenOut(0));
    EXPECT_EQ(38400u, sim::PortState("com1").BaudRate);

    sim::RefuseState("com3", true);
    EXPECT_EQ((DWORD)MMSYSERR_ALLOCATED, OpenOut(2));
    EXPECT_EQ("com3:31250,n,8,1", sim::Utf8(sim::CommDescriptions().back()));
    EXPECT_FALSE(sim::PortIsOpen("com3"));
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_CLOSE, 0, 0, 0));
    EXPECT_TRUE(sim::PortIsOpen("com2")) << "closing port 0 closed port 1";
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(1, MODM_CLOSE, 0, 0, 0));
}

/* Two ports streaming at once, each with its own poll: a loss on one is
   reported there only, and a client's callback that keeps one port's poll
   neither holds the other's input nor blocks an open of it. */
TEST_F(Ports, EachPortStandsAlone)
{
    constexpr DWORD_PTR kCallbackA = 0xA, kCallbackB = 0xB;
    sim::SeedDword(DeviceKey(0), u"COMID", 1);
    sim::SeedDword(DeviceKey(1), u"COMID", 2);
    Attach();
    sim::UseRealClock(true);
    sim::RunTimersOnThreads(true);

    std::atomic<int> dataA{0}, dataB{0}, errorsA{0}, errorsB{0}, dataBWhileHeld{0};
    std::atomic<bool> hold{false}, held{false};
    sim::OnNotification([&](const sim::Notification &n) {
        bool a = n.dwCallback == kCallbackA;
        if (n.dwMsg == MIM_ERROR)
            (a ? errorsA : errorsB)++;
        if (n.dwMsg != MIM_DATA)
            return;
        (a ? dataA : dataB)++;
        if (!a && held)
            dataBWhileHeld++;
        if (a && hold.exchange(false)) {
            held = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            held = false;
        }
    });
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenIn(0, kCallbackA));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, OpenIn(1, kCallbackB));
    std::atomic<bool> streaming{true};
    std::thread module([&] {
        while (streaming) {
            sim::FeedPort("com1", {0xF8});
            sim::FeedPort("com2", {0xF8});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto waitFor = [](std::atomic<int> &count, int atLeast) {
        for (auto until = Clock::now() + std::chrono::seconds(2); count < atLeast && Clock::now() < until;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return count >= atLeast;
    };
    EXPECT_TRUE(waitFor(dataA, 10) && waitFor(dataB, 10)) << "both ports deliver";

    hold = true;
    for (auto until = Clock::now() + std::chrono::seconds(2); !held && Clock::now() < until;)
        std::this_thread::yield();
    auto t0 = Clock::now();
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, OpenOut(1)) << "an open of port 1 while port 0's callback runs";
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(40)) << "the open waited for port 0's callback";
    for (auto until = Clock::now() + std::chrono::seconds(1); held && Clock::now() < until;)
        std::this_thread::yield();
    EXPECT_GT(dataBWhileHeld.load(), 5) << "port 1's input stopped while port 0's callback ran";

    sim::LosePort("com1", 22);
    EXPECT_TRUE(waitFor(errorsA, 1)) << "the loss is reported on port 0";
    int before = dataB;
    EXPECT_TRUE(waitFor(dataB, before + 20)) << "port 1 goes on";
    EXPECT_EQ(0, errorsB.load()) << "port 1 heard of port 0's loss";
    streaming = false;
    module.join();
    sim::OnNotification(nullptr);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(1, MODM_CLOSE, 0, 0, 0));
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(1, MIDM_CLOSE, 0, 0, 0));
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_CLOSE, 0, 0, 0));
    EXPECT_EQ(0, sim::OpenPortHandles());
    EXPECT_EQ(0, sim::CallsOnClosedHandles());
}

} // namespace
