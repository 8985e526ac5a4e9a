/* Driver lifetime: attach and detach through the entry point, and DriverProc's answers. */
#include "config/config.h"
#include "driver/driver.h"
#include "midiin/midiin.h"
#include "midiout/midiout.h"
#include "platform/host/sim.h"
#include "platform/host/sim_dialog.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_timer.h"
#include "res/resource.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

namespace
{

const std::u16string kDevice0 = u"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";
constexpr DWORD kOtherFamily = 0xC0000A04; /* top bit set: not the NT family */
constexpr LONG kUntouched = 12345;         /* gaPortSetting[0].RSPort before an attach that must not write it */

class DriverLifetime : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        sim::SetClockStep(1); /* the output close's 30 ms wait ends */
        gaPortSetting[0].RSPort = kUntouched;
        DrvCont = 0;
        ghModule = nullptr;
        RegAccess.lpDriverName = nullptr;
    }
    void TearDown() override
    {
        /* Leave no device open for the next test. */
        ReleaseMIDICOM();
        DisableCommIn(0);
        DisableCommOut(0);
        gaMidiIn[0].gfMidiInOpen = 0;
    }

    static BOOL Attach() { return DllInstanceInit(sim::kModule, DLL_PROCESS_ATTACH, nullptr); }
};

TEST_F(DriverLifetime, WrongPlatformShowsTheWarningAndRefusesTheAttach)
{
    sim::SetVersion(kOtherFamily);
    EXPECT_EQ(FALSE, Attach());

    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_EQ("使用しているＷＩＮＤＯＷＳバージョンが違います。", sim::Utf8(boxes[0].text));
    EXPECT_EQ("Tolvex MIDI  Driver", sim::Utf8(boxes[0].caption));
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes[0].style);
    EXPECT_EQ(kUntouched, gaPortSetting[0].RSPort) << "the port must not be read on the wrong platform";
    EXPECT_TRUE(sim::RegCalls().empty()) << "registry touched: " << sim::RegCalls()[0];
}

TEST_F(DriverLifetime, WinVerTellsTheFamilyByTheTopBit)
{
    sim::SetVersion(0x0A280105);
    EXPECT_EQ(1, WinVer());
    sim::SetVersion(0x80000000);
    EXPECT_EQ(0, WinVer());
    sim::SetVersion(0x7FFFFFFF);
    EXPECT_EQ(1, WinVer());
}

TEST_F(DriverLifetime, AttachTakesTheStoredPortUnchecked)
{
    struct Row {
        const char *stored;
        bool present;
        DWORD value;
        LONG port;
    } rows[] = {
        {"nothing", false, 0, -1},
        {"2", true, 2, 2},
        {"7", true, 7, 7},
        {"0xFFFFFFFF", true, 0xFFFFFFFF, -1},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        gaPortSetting[0].RSPort = kUntouched;
        DrvCont = 0;
        if (r.present)
            sim::SeedDword(kDevice0, u"COMID", r.value);

        EXPECT_EQ(TRUE, Attach()) << "stored " << r.stored;
        EXPECT_EQ(r.port, gaPortSetting[0].RSPort) << "stored " << r.stored;
        EXPECT_EQ(10u, DrvCont) << "stored " << r.stored;
        EXPECT_EQ(sim::kModule, ghModule) << "stored " << r.stored;
        EXPECT_EQ("tolvex midi driver", sim::Utf8(RegAccess.lpDriverName)) << "stored " << r.stored;
        EXPECT_EQ(0, sim::OpenKeyCount()) << "stored " << r.stored;
        EXPECT_TRUE(sim::MessageBoxes().empty()) << "stored " << r.stored;
    }
}

TEST_F(DriverLifetime, ThreadAttachAndDetachAnswerOneAndChangeNothing)
{
    sim::SeedDword(kDevice0, u"COMID", 3);
    EXPECT_EQ(TRUE, DllInstanceInit(sim::kModule, DLL_THREAD_ATTACH, nullptr));
    EXPECT_EQ(TRUE, DllInstanceInit(sim::kModule, DLL_THREAD_DETACH, nullptr));
    EXPECT_EQ(kUntouched, gaPortSetting[0].RSPort);
    EXPECT_EQ(nullptr, ghModule);
    EXPECT_TRUE(sim::RegCalls().empty());
}

/* Opens both devices on COM1, as an application would before the library goes. */
void OpenBothDevices()
{
    MIDIOPENDESC desc = {};
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_NULL));
    ASSERT_EQ((DWORD)MMSYSERR_NOERROR, midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_NULL));
    ASSERT_TRUE(sim::PortIsOpen("com1"));
    ASSERT_EQ(1, sim::LiveTimers());
}

TEST_F(DriverLifetime, UnloadWithDevicesOpenGivesThePortBack)
{
    sim::SeedDword(kDevice0, u"COMID", 1);
    ASSERT_EQ(TRUE, Attach());
    OpenBothDevices();

    EXPECT_EQ(TRUE, DllInstanceInit(sim::kModule, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(0, sim::LiveTimers()) << "the poll timer would call into unloaded code";
    EXPECT_EQ(0, sim::TimerResolutionDepth());
    EXPECT_EQ(0, sim::OpenPortHandles());
}

TEST_F(DriverLifetime, ProcessExitLeavesEverythingAsItIs)
{
    sim::SeedDword(kDevice0, u"COMID", 1);
    ASSERT_EQ(TRUE, Attach());
    OpenBothDevices();

    int exiting = 0;
    EXPECT_EQ(TRUE, DllInstanceInit(sim::kModule, DLL_PROCESS_DETACH, &exiting));
    EXPECT_EQ(1, sim::LiveTimers());
    EXPECT_EQ(1, sim::OpenPortHandles());
}

TEST_F(DriverLifetime, UnloadWithNothingOpenTouchesNothing)
{
    ASSERT_EQ(TRUE, Attach());
    EXPECT_EQ(TRUE, DllInstanceInit(sim::kModule, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(0, sim::TimerResolutionDepth()) << "a resolution ended that was never begun";
    EXPECT_EQ(0, sim::TimersStarted());
}

class DriverMessages : public DriverLifetime
{
  protected:
    void SetUp() override
    {
        DriverLifetime::SetUp();
        ghModule = sim::kModule;
        RegAccess.lpDriverName = aszDriverName;
    }
    static LRESULT Send(UINT msg, LPARAM p1 = 0, LPARAM p2 = 0) { return DriverProc(0x77, (HDRVR)0x88, msg, p1, p2); }
};

TEST_F(DriverMessages, StandardMessagesAnswerByTheTable)
{
    struct Row {
        UINT msg;
        LRESULT result;
    } rows[] = {
        {DRV_LOAD, 1},    {DRV_ENABLE, 1}, {DRV_OPEN, 1},    {DRV_CLOSE, 1},
        {DRV_DISABLE, 1}, {DRV_FREE, 1},   {DRV_INSTALL, 2}, {DRV_QUERYCONFIGURE, 1},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.result, Send(r.msg, 5, 6)) << "message " << r.msg;
    EXPECT_TRUE(sim::DefDriverCalls().empty());
    EXPECT_TRUE(sim::RegCalls().empty()) << "a message with no action touched the registry";
    EXPECT_EQ(0, sim::LastDialog().runs);
}

TEST_F(DriverMessages, OtherMessagesReachTheDefaultProcedureUnchanged)
{
    sim::SetDefDriverResult(0x5A5A);
    /* The whole 32-bit number counts: 0x10001 is not DRV_LOAD. */
    const UINT msgs[] = {0, DRV_EXITSESSION, DRV_POWER, 0x4000, 0x10001};
    for (UINT msg : msgs) {
        sim::ResetAll();
        sim::SetDefDriverResult(0x5A5A);
        EXPECT_EQ(0x5A5A, DriverProc(0x1234, (HDRVR)0x5678, msg, -7, 0x7FFF0000)) << "message " << msg;
        auto calls = sim::DefDriverCalls();
        ASSERT_EQ(1u, calls.size()) << "message " << msg;
        EXPECT_EQ(0x1234u, calls[0].dwDriverIdentifier);
        EXPECT_EQ((HDRVR)0x5678, calls[0].hdrvr);
        EXPECT_EQ(msg, calls[0].uMsg);
        EXPECT_EQ(-7, calls[0].lParam1);
        EXPECT_EQ(0x7FFF0000, calls[0].lParam2);
    }
}

TEST_F(DriverMessages, ConfigureAnswersRestartOnlyWhenAPortWasConfirmed)
{
    struct Row {
        const char *what;
        std::vector<sim::DialogAction> script;
        LRESULT result;
        DWORD stored;
    } rows[] = {
        {"COM2 then Enter", {sim::ClickOn(IDC_COM2), sim::PressEnter()}, DRVCNF_RESTART, 2},
        {"OK on the stored port", {sim::ClickOn(IDOK)}, DRVCNF_RESTART, 1},
        {"Escape", {sim::ClickOn(IDC_COM2), sim::PressEscape()}, DRVCNF_CANCEL, 1},
        {"close box", {sim::PressCloseBox()}, DRVCNF_CANCEL, 1},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        sim::SeedDword(kDevice0, u"COMID", 1);
        sim::ScriptDialog(r.script);
        EXPECT_EQ(r.result, Send(DRV_CONFIGURE)) << r.what;
        DWORD stored = 0;
        EXPECT_TRUE(sim::DwordOf(kDevice0, u"COMID", &stored)) << r.what;
        EXPECT_EQ(r.stored, stored) << r.what;
    }
}

TEST_F(DriverMessages, ConfigureOwnsTheDialogByTheFirstParameter)
{
    sim::ScriptDialog({sim::PressEscape()});
    Send(DRV_CONFIGURE, (LPARAM)0x12345678, 0);
    EXPECT_EQ((HWND)0x12345678, sim::LastDialog().parent);
}

TEST_F(DriverMessages, ConfigureAnswersCancelWhenTheDialogCannotBeShown)
{
    ghModule = (HINSTANCE)0x4242; /* a module without the template */
    sim::ScriptDialog({sim::PressEnter()});
    EXPECT_EQ(DRVCNF_CANCEL, Send(DRV_CONFIGURE));
}

TEST_F(DriverMessages, RemoveAnswersRestartAndLeavesTheSettingAlone)
{
    sim::SeedDword(kDevice0, u"COMID", 3);
    EXPECT_EQ(DRVCNF_RESTART, Send(DRV_REMOVE));
    DWORD stored = 0;
    EXPECT_TRUE(sim::DwordOf(kDevice0, u"COMID", &stored));
    EXPECT_EQ(3u, stored);
    EXPECT_EQ(0, sim::OpenKeyCount());
}

} // namespace
