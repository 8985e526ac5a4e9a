/* Client notification: what reaches DriverCallback, and when nothing does. */
#include "driver/midiclient.h"
#include "platform/host/sim.h"

#include <gtest/gtest.h>

namespace
{

class MidiCallback : public ::testing::Test
{
  protected:
    void SetUp() override { sim::ResetAll(); }

    static MIDICLIENT Client(DWORD_PTR callback, DWORD flags) { return MIDICLIENT{callback, 0x1234, 0xCAFE, flags}; }
};

TEST_F(MidiCallback, PassesTheSevenWordsInPlatformOrder)
{
    MIDICLIENT c = Client(0xABCDEF, CALLBACK_FUNCTION);
    midiCallback(&c, MIM_DATA, 0x403C90, 77);

    auto n = sim::Notifications();
    ASSERT_EQ(1u, n.size());
    EXPECT_EQ(0xABCDEFu, n[0].dwCallback);
    EXPECT_EQ((HDRVR)0xCAFE, n[0].hDevice);
    EXPECT_EQ(0x1234u, n[0].dwUser);
    EXPECT_EQ(0x403C90u, n[0].dwParam1);
    EXPECT_EQ(77u, n[0].dwParam2);
}

TEST_F(MidiCallback, FlagsAreTheCallbackTypeWithNoSwitch)
{
    MIDICLIENT window = Client(1, CALLBACK_WINDOW);
    MIDICLIENT function = Client(1, CALLBACK_FUNCTION | 0x0000FFFF); /* low word is not the type */
    midiCallback(&window, MOM_OPEN, 0, 0);
    midiCallback(&function, MOM_OPEN, 0, 0);

    auto n = sim::Notifications();
    ASSERT_EQ(2u, n.size());
    EXPECT_EQ(0x0009u, n[0].dwFlags);
    EXPECT_EQ(0x000Bu, n[1].dwFlags);
}

TEST_F(MidiCallback, CodeArrivesZeroExtended)
{
    MIDICLIENT c = Client(1, CALLBACK_FUNCTION);
    midiCallback(&c, MIM_DATA, 0, 0);
    midiCallback(&c, MOM_DONE, 0, 0);

    auto n = sim::Notifications();
    ASSERT_EQ(2u, n.size());
    EXPECT_EQ(0x3C3u, n[0].dwMsg);
    EXPECT_EQ(0x3C9u, n[1].dwMsg);
}

TEST_F(MidiCallback, NoCallbackTargetNotifiesNobody)
{
    MIDICLIENT c = Client(0, CALLBACK_FUNCTION);
    midiCallback(&c, MIM_OPEN, 0, 0);
    EXPECT_TRUE(sim::Notifications().empty());
}

} // namespace
