/* The stored port setting: reading and writing "COMID" of device 0, what is
   read when nothing usable is stored, and removal under the empty manager. */
#include "config_test.h"

#include <vector>

namespace
{
using namespace config_test;

using PortSetting = Configuration;
using Removal = Configuration;

constexpr DWORD kNothing = 0xFFFFFFFF;

TEST_F(PortSetting, NothingStoredReads2AndMinusOneAndMakesNoDeviceKey)
{
    AsAtAttach();
    DWORD port = 42;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDriverConfig(0, &port));
    EXPECT_EQ(kNothing, port);
    EXPECT_TRUE(sim::KeyExists(kParameters));
    EXPECT_FALSE(sim::KeyExists(kDevice0));
}

TEST_F(PortSetting, WrittenPortIsReadBack)
{
    AsAtAttach();
    for (DWORD written : {3u, 1u, 7u, 0x00010002u}) {
        DWORD port = written;
        EXPECT_EQ(ERROR_SUCCESS, SetDriverConfig(0, &port));
        DWORD stored = 0;
        EXPECT_TRUE(StoredPort(&stored));
        EXPECT_EQ(written, stored) << "in the registry";

        port = 0;
        EXPECT_EQ(ERROR_SUCCESS, GetDriverConfig(0, &port));
        EXPECT_EQ(written, port) << "read back unchanged";
    }
}

TEST_F(PortSetting, StoredAllOnesReadsAsMinusOneWithStatus0)
{
    AsAtAttach();
    sim::SeedDword(kDevice0, u"COMID", 0xFFFFFFFF);
    DWORD port = 0;
    EXPECT_EQ(ERROR_SUCCESS, GetDriverConfig(0, &port));
    EXPECT_EQ(kNothing, port);
}

TEST_F(PortSetting, TextValueReadsAsMinusOne)
{
    AsAtAttach();
    struct Row {
        std::vector<BYTE> text;
        LONG status;
    } rows[] = {
        {{'3', 0, 0, 0}, ERROR_FILE_NOT_FOUND},
        {{'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0}, ERROR_MORE_DATA},
    };
    for (const Row &r : rows) {
        sim::SeedValue(kDevice0, u"COMID", REG_SZ, r.text);
        DWORD port = 3;
        EXPECT_EQ(r.status, GetDriverConfig(0, &port)) << r.text.size() << " bytes of text";
        EXPECT_EQ(kNothing, port) << r.text.size() << " bytes of text";
    }
}

TEST_F(PortSetting, KeyAheadOfDevice0IsReadWhileDevice0IsWritten)
{
    AsAtAttach();
    sim::SeedKey(Under(u"Audio"));
    DWORD port = 2;
    EXPECT_EQ(ERROR_SUCCESS, SetDriverConfig(0, &port));
    DWORD stored = 0;
    EXPECT_TRUE(StoredPort(&stored));
    EXPECT_EQ(2u, stored);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDriverConfig(0, &port));
    EXPECT_EQ(kNothing, port) << "the first key enumerated, Audio, has no COMID";
}

TEST_F(PortSetting, FailedWriteIsReportedOnlyByItsStatus)
{
    AsAtAttach();
    sim::FailRegCall(sim::RegCall::SetValue, ERROR_ACCESS_DENIED);
    DWORD port = 2;
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetDriverConfig(0, &port));
    EXPECT_FALSE(sim::ValueOf(kDevice0, u"COMID").present);
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST_F(Removal, AnswersCancelAndLeavesRegistryAndServiceAsTheyWere)
{
    sim::SeedDword(kDevice0, u"COMID", 2);
    sim::AddService(u"tolvex midi driver", SERVICE_KERNEL_DRIVER, SERVICE_RUNNING, SERVICE_DEMAND_START);

    EXPECT_EQ((DWORD)DRVCNF_CANCEL, ConfigRemove());

    EXPECT_EQ(sim::Utf8(aszDriverName), sim::Utf8(RegAccess.lpDriverName)) << "the name is set first";
    EXPECT_EQ(nullptr, RegAccess.hServiceManager);
    EXPECT_EQ(std::vector<std::string>{}, sim::ServiceLog());
    EXPECT_TRUE(sim::ServiceOf(u"tolvex midi driver").present);
    DWORD stored = 0;
    EXPECT_TRUE(StoredPort(&stored));
    EXPECT_EQ(2u, stored);
}

} // namespace
