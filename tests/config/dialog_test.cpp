/* The setup dialog: the device key Config makes, the starting check, the
   warning when OK finds no port, and how each way out ends and stores. */
#include "config_test.h"
#include "res/resource.h"

#include <vector>

namespace
{
using namespace config_test;
using sim::ClickOn;
using sim::PressCloseBox;
using sim::PressEnter;
using sim::PressEscape;

using Ids = std::vector<int>;

const HWND kParent = reinterpret_cast<HWND>(0x4242);

class SetupDialog : public Configuration
{
  protected:
    /* Runs Config as the configure message does, with the user's actions. */
    static LONG Run(const std::vector<sim::DialogAction> &actions)
    {
        sim::ScriptDialog(actions);
        return Config(kParent, sim::kModule);
    }
    static void Store(DWORD port) { sim::SeedDword(kDevice0, u"COMID", port); }
};

TEST_F(SetupDialog, ConfigMakesDevice0OnlyWhenNoDeviceKeyExists)
{
    struct Row {
        std::vector<std::u16string> present;
        std::vector<std::string> after;
    } rows[] = {
        {{}, {"Device0"}},
        {{u"Device3"}, {"Device3"}},
        {{u"Device0", u"Device1"}, {"Device0", "Device1"}},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        for (const std::u16string &k : r.present)
            sim::SeedKey(Under(k));
        EXPECT_EQ(0, Run({PressEscape()})) << "cancelled";
        EXPECT_EQ(r.after, sim::SubKeys(kParameters));
        EXPECT_EQ(1, sim::LastDialog().runs) << "the dialog is shown";
        EXPECT_EQ((DWORD)r.present.size(), NumberOfCards);
    }
}

TEST_F(SetupDialog, DialogRunsOverTheCallersWindowAndDevice0StaysWhenItCannotBeShown)
{
    EXPECT_EQ(0, Run({PressEscape()}));
    EXPECT_EQ(kParent, sim::LastDialog().parent);
    EXPECT_EQ(0, sim::LastDialog().initParam);

    sim::ResetAll();
    sim::ScriptDialog({PressEscape()});
    EXPECT_EQ(-1, Config(kParent, reinterpret_cast<HINSTANCE>(0x1234))) << "a module without the template";
    EXPECT_EQ(0, sim::LastDialog().runs);
    EXPECT_EQ(std::vector<std::string>{"Device0"}, sim::SubKeys(kParameters));
}

TEST_F(SetupDialog, FailureToMakeTheDeviceKeyStillShowsTheDialog)
{
    /* The count and the search reach the Parameters key; making Device0 fails. */
    sim::FailRegCall(sim::RegCall::CreateKey, ERROR_ACCESS_DENIED, 1, 2);
    EXPECT_EQ(0, Run({PressEscape()}));
    EXPECT_EQ(1, sim::LastDialog().runs);
    EXPECT_FALSE(sim::KeyExists(kDevice0));
}

TEST_F(SetupDialog, OpensWithTheStoredPortsButtonCheckedEvenWhenHidden)
{
    struct Row {
        const char *stored;
        bool present;
        DWORD port;
        Ids checked;
    } rows[] = {
        {"nothing", false, 0, {}},  {"1", true, 1, {IDC_COM1}}, {"2", true, 2, {IDC_COM2}},
        {"3", true, 3, {IDC_COM3}}, {"4", true, 4, {IDC_COM4}}, {"0x00010002", true, 0x00010002, {IDC_COM2}},
        {"0", true, 0, {}},         {"5", true, 5, {}},         {"0xFFFFFFFF", true, 0xFFFFFFFF, {}},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        if (r.present)
            Store(r.port);
        Run({PressEscape()});
        EXPECT_EQ(r.checked, sim::LastDialog().checkedAfterInit) << "stored " << r.stored;
    }
}

TEST_F(SetupDialog, OkWithoutAPortWarnsAndKeepsTheDialogOpen)
{
    EXPECT_EQ(sim::kScriptRanOut, Run({PressEnter()})) << "still open when the user stops";

    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_EQ("ＣＯＭポートが選択されていません", sim::Utf8(boxes[0].text));
    EXPECT_EQ("ORBEL TOLVEX MIDI Driver", sim::Utf8(boxes[0].caption));
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes[0].style);
    EXPECT_FALSE(sim::ValueOf(kDevice0, u"COMID").present) << "nothing stored";
}

TEST_F(SetupDialog, ChoosingAPortAfterTheWarningStoresItAndEndsWith1)
{
    EXPECT_EQ(1, Run({ClickOn(IDOK), ClickOn(IDC_COM2), PressEnter()}));
    EXPECT_EQ(1u, sim::MessageBoxes().size());
    DWORD stored = 0;
    EXPECT_TRUE(StoredPort(&stored));
    EXPECT_EQ(2u, stored);
}

TEST_F(SetupDialog, OkStoresTheCheckedPortAgainHiddenOnesIncluded)
{
    for (DWORD port : {1u, 3u, 4u, 0x00010002u}) {
        sim::ResetAll();
        Store(port);
        EXPECT_EQ(1, Run({PressEnter()})) << "stored " << port;
        DWORD stored = 0;
        EXPECT_TRUE(StoredPort(&stored));
        EXPECT_EQ(port & 0xFFFF, stored) << "stored " << port << ": the port of the checked button";
        EXPECT_TRUE(sim::MessageBoxes().empty());
    }
}

TEST_F(SetupDialog, ClickingCom1ThenCom2LeavesOnlyCom2Checked)
{
    EXPECT_EQ(1, Run({ClickOn(IDC_COM1), ClickOn(IDC_COM2), ClickOn(IDOK)}));
    EXPECT_EQ(Ids{IDC_COM2}, sim::LastDialog().checked);
    DWORD stored = 0;
    EXPECT_TRUE(StoredPort(&stored));
    EXPECT_EQ(2u, stored);
}

TEST_F(SetupDialog, EscapeAndTheCloseBoxEndWith0AndStoreNothing)
{
    for (sim::DialogAction out : {PressEscape(), PressCloseBox()}) {
        sim::ResetAll();
        Store(1);
        EXPECT_EQ(0, Run({ClickOn(IDC_COM2), out})) << (out.kind == sim::DialogAction::Escape ? "Escape" : "close box");
        DWORD stored = 0;
        EXPECT_TRUE(StoredPort(&stored));
        EXPECT_EQ(1u, stored) << "the stored port is unchanged";
        EXPECT_TRUE(sim::LastDialog().problems.empty()) << sim::LastDialog().problems.front();
    }
}

TEST_F(SetupDialog, FailedStoreIsNotReportedAndTheDialogStillEndsWith1)
{
    sim::FailRegCall(sim::RegCall::SetValue, ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, Run({ClickOn(IDC_COM1), PressEnter()}));
    EXPECT_FALSE(sim::ValueOf(kDevice0, u"COMID").present);
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

} // namespace
