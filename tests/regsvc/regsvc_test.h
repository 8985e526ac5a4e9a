/* Shared by the registry and service helper tests: names, paths and a fixture
   that starts each test from an empty registry and service database. */
#pragma once

#include "platform/host/sim.h"
#include "platform/host/sim_registry.h"
#include "platform/host/sim_services.h"
#include "regsvc/regsvc.h"

#include <gtest/gtest.h>

#include <string>

namespace regsvc_test
{

inline const WCHAR *const kDriver = u"tolvex midi driver";
inline const std::u16string kParameters = u"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters";

inline std::u16string Under(const std::u16string &key) { return kParameters + u"\\" + key; }

/* A name of n characters, for paths at the edge of the buffer. */
inline std::u16string NameOf(size_t n, char16_t c = u'x') { return std::u16string(n, c); }

class Registry : public ::testing::Test
{
  protected:
    void SetUp() override { sim::ResetAll(); }

    /* Every routine under test closes what it opens; a returned handle is
       closed by the test itself before it ends. */
    void TearDown() override
    {
        EXPECT_EQ(0, sim::OpenKeyCount()) << "keys left open: " << ::testing::PrintToString(sim::OpenKeyPaths());
        EXPECT_EQ(0, sim::OpenServiceCount()) << "service handles left open";
        EXPECT_EQ(0, sim::HeldLockCount()) << "service database left locked";
    }

    RegAccessBlock access{nullptr, kDriver};
};

} // namespace regsvc_test
