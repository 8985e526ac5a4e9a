/* Shared by the port setting and setup dialog tests: paths, and a fixture
   that starts from an empty registry with the access record as at load. */
#pragma once

#include "config/config.h"
#include "platform/host/sim.h"
#include "platform/host/sim_dialog.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_services.h"

#include <gtest/gtest.h>

#include <string>

namespace config_test
{

inline const std::u16string kParameters = u"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters";
inline const std::u16string kDevice0 = kParameters + u"\\Device0";

inline std::u16string Under(const std::u16string &key) { return kParameters + u"\\" + key; }

class Configuration : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        RegAccess = RegAccessBlock{};
    }

    void TearDown() override
    {
        EXPECT_EQ(0, sim::OpenKeyCount()) << "keys left open: " << ::testing::PrintToString(sim::OpenKeyPaths());
        EXPECT_EQ(0, sim::OpenServiceCount()) << "service handles left open";
    }

    /* What process attach does before it reads the setting. */
    static void AsAtAttach() { RegAccess.lpDriverName = aszDriverName; }

    static bool StoredPort(DWORD *port) { return sim::DwordOf(kDevice0, u"COMID", port); }
};

} // namespace config_test
