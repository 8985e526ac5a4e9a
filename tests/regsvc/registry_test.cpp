/* Registry helpers: the Parameters key and its path limit, device keys by
   position, counting and making device keys, and the device values. */
#include "regsvc_test.h"

#include <vector>

namespace
{
using namespace regsvc_test;

using RegOpenKey = Registry;
using DeviceKeys = Registry;
using DeviceValues = Registry;

/* The name of the key behind a handle, found by writing a marker through it. */
std::string KeyBehind(HKEY hKey, const std::vector<std::u16string> &candidates)
{
    DWORD marker = 0x5A5A;
    if (RegSetValueExW(hKey, u"marker", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&marker), 4) != 0)
        return "(cannot write)";
    for (const std::u16string &c : candidates)
        if (sim::ValueOf(c, u"marker").present)
            return sim::Utf8(c);
    return "(none of the candidates)";
}

TEST_F(RegOpenKey, NullOrEmptySubKeyOpensTheParametersKeyItself)
{
    for (const WCHAR *subKey : {(const WCHAR *)nullptr, u""}) {
        sim::ResetAll();
        HKEY hKey = DrvOpenRegKey(kDriver, subKey);
        ASSERT_NE(nullptr, hKey) << "sub-key " << sim::Utf8(subKey);
        EXPECT_EQ(sim::Utf8(kParameters), KeyBehind(hKey, {kParameters}));
        EXPECT_TRUE(sim::SubKeys(kParameters).empty()) << "no device key is made";
        RegCloseKey(hKey);
    }
}

TEST_F(RegOpenKey, SubKeyIsCreatedWithEveryMissingKeyOnItsPath)
{
    HKEY hKey = DrvOpenRegKey(kDriver, u"Device0");
    ASSERT_NE(nullptr, hKey);
    EXPECT_EQ(sim::Utf8(Under(u"Device0")), KeyBehind(hKey, {Under(u"Device0"), kParameters}));
    RegCloseKey(hKey);
}

TEST_F(RegOpenKey, ExistingKeyIsOpenedWhateverTheCaseOfItsName)
{
    sim::SeedKey(u"SYSTEM\\CurrentControlSet\\Services\\TOLVEX MIDI DRIVER\\parameters\\DEVICE0");
    HKEY hKey = DrvOpenRegKey(kDriver, u"device0");
    ASSERT_NE(nullptr, hKey);
    RegCloseKey(hKey);
    EXPECT_EQ(std::vector<std::string>{"DEVICE0"}, sim::SubKeys(kParameters));
}

/* The path buffer holds 260 characters with the NUL; the fixed parts take 45. */
TEST_F(RegOpenKey, PathLongerThanItsBufferGivesNullWithoutTouchingTheRegistry)
{
    struct Row {
        size_t driverLen;
        int subKeyLen; /* -1: no sub-key */
        bool fits;
    } rows[] = {
        {214, -1, true}, {215, -1, false}, {200, 13, true},   {200, 14, false},
        {10, 203, true}, {10, 204, false}, {1000, -1, false},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        std::u16string driver = NameOf(r.driverLen, u'd');
        std::u16string subKey = r.subKeyLen < 0 ? u"" : NameOf((size_t)r.subKeyLen, u's');
        HKEY hKey = DrvOpenRegKey(driver.c_str(), r.subKeyLen < 0 ? nullptr : subKey.c_str());
        SCOPED_TRACE("driver name " + std::to_string(r.driverLen) + ", sub-key " + std::to_string(r.subKeyLen));
        if (r.fits) {
            EXPECT_NE(nullptr, hKey) << "a path of exactly 259 characters fits";
            if (hKey)
                RegCloseKey(hKey);
        } else {
            EXPECT_EQ(nullptr, hKey);
            EXPECT_TRUE(sim::RegCalls().empty()) << "first call: " << sim::RegCalls().front();
        }
    }
}

TEST_F(RegOpenKey, FailedCreationGivesNull)
{
    sim::FailRegCall(sim::RegCall::CreateKey, ERROR_ACCESS_DENIED);
    EXPECT_EQ(nullptr, DrvOpenRegKey(kDriver, u"Device0"));
    EXPECT_FALSE(sim::KeyExists(kParameters));
}

TEST_F(DeviceKeys, DeviceIndexIsThePositionInEnumerationOrderWhateverTheName)
{
    /* The registry enumerates by name, case-insensitively: device10 before Device2. */
    const std::vector<std::u16string> seeded = {u"Device2", u"device10", u"Audio", u"Device0"};
    for (DWORD tag = 0; tag < seeded.size(); tag++)
        sim::SeedDword(Under(seeded[tag]), u"tag", tag);
    const std::vector<std::string> expected = {"Audio", "Device0", "device10", "Device2"};
    for (DWORD i = 0; i < expected.size(); i++) {
        HKEY hKey = DrvOpenDeviceKey(kDriver, i);
        ASSERT_NE(nullptr, hKey) << "device " << i;
        DWORD tag = 0, cb = sizeof(tag);
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(hKey, u"tag", nullptr, nullptr, (LPBYTE)&tag, &cb));
        EXPECT_EQ(expected[i], sim::Utf8(seeded[tag])) << "device " << i;
        RegCloseKey(hKey);
    }
}

TEST_F(DeviceKeys, PositionPastTheLastKeyGivesNullAndCreatesOnlyTheParametersKey)
{
    EXPECT_EQ(nullptr, DrvOpenDeviceKey(kDriver, 0));
    EXPECT_TRUE(sim::KeyExists(kParameters));
    EXPECT_TRUE(sim::SubKeys(kParameters).empty());

    sim::SeedKey(Under(u"Device0"));
    EXPECT_EQ(nullptr, DrvOpenDeviceKey(kDriver, 1));
    EXPECT_EQ(std::vector<std::string>{"Device0"}, sim::SubKeys(kParameters));
}

TEST_F(DeviceKeys, KeyThatCannotBeOpenedGivesNull)
{
    sim::SeedKey(Under(u"Device0"));
    sim::FailRegCall(sim::RegCall::OpenKey, ERROR_ACCESS_DENIED);
    EXPECT_EQ(nullptr, DrvOpenDeviceKey(kDriver, 0));
}

/* The new key's number is how many keys open one after another from position 0. */
TEST_F(DeviceKeys, CreateDeviceKeyNumbersByCountOfKeysFound)
{
    struct Row {
        std::vector<std::u16string> present;
        std::vector<std::string> after;
    } rows[] = {
        {{}, {"Device0"}},
        {{u"Device0", u"Device1", u"Device2"}, {"Device0", "Device1", "Device2", "Device3"}},
        {{u"Device5"}, {"Device1", "Device5"}},
        {{u"Device1"}, {"Device1"}}, /* exists already: opened, not made */
        {{u"Device0", u"Device1", u"Device2", u"Device3", u"Device4", u"Device5", u"Device6", u"Device7", u"Device8",
          u"Device9", u"Device10"},
         {"Device0", "Device1", "Device10", "Device11", "Device2", "Device3", "Device4", "Device5", "Device6",
          "Device7", "Device8", "Device9"}},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        for (const std::u16string &k : r.present)
            sim::SeedKey(Under(k));
        HKEY hKey = DrvCreateDeviceKey(kDriver);
        EXPECT_NE(nullptr, hKey) << ::testing::PrintToString(r.after);
        if (hKey)
            RegCloseKey(hKey);
        EXPECT_EQ(r.after, sim::SubKeys(kParameters));
    }
}

TEST_F(DeviceKeys, CreateDeviceKeyWhoseNameDoesNotFitThePathGivesNull)
{
    /* 45 + 206 + "\Device0" = 259 characters fit; one more does not. */
    std::u16string fits = NameOf(206), tooLong = NameOf(207);
    HKEY hKey = DrvCreateDeviceKey(fits.c_str());
    EXPECT_NE(nullptr, hKey);
    if (hKey)
        RegCloseKey(hKey);

    EXPECT_EQ(nullptr, DrvCreateDeviceKey(tooLong.c_str()));
    const std::u16string params = u"SYSTEM\\CurrentControlSet\\Services\\" + tooLong + u"\\Parameters";
    EXPECT_TRUE(sim::KeyExists(params)) << "the Parameters key itself fits";
    EXPECT_TRUE(sim::SubKeys(params).empty());
}

TEST_F(DeviceKeys, CreateDeviceKeyThatCannotBeCreatedGivesNull)
{
    /* The first RegCreateKeyW reaches the Parameters key; the second makes Device0. */
    sim::FailRegCall(sim::RegCall::CreateKey, ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_EQ(nullptr, DrvCreateDeviceKey(kDriver));
    EXPECT_TRUE(sim::SubKeys(kParameters).empty());
}

TEST_F(DeviceKeys, NumberOfDevicesCountsDirectSubKeysAndCreatesTheParametersKey)
{
    DWORD count = 77;
    EXPECT_EQ(ERROR_SUCCESS, DrvNumberOfDevices(&access, &count));
    EXPECT_EQ(0u, count);
    EXPECT_TRUE(sim::KeyExists(kParameters));

    sim::SeedKey(Under(u"Device0"));
    sim::SeedKey(Under(u"Other\\Nested"));
    EXPECT_EQ(ERROR_SUCCESS, DrvNumberOfDevices(&access, &count));
    EXPECT_EQ(2u, count);
}

TEST_F(DeviceKeys, NumberOfDevicesPassesOnTheFailureOfAClassNameOf100Characters)
{
    sim::SeedKey(kParameters, NameOf(99, u'c'));
    sim::SeedKey(Under(u"Device0"));
    DWORD count = 77;
    EXPECT_EQ(ERROR_SUCCESS, DrvNumberOfDevices(&access, &count)) << "99 characters and the NUL fit";
    EXPECT_EQ(1u, count);

    sim::SeedKey(kParameters, NameOf(100, u'c'));
    count = 77;
    EXPECT_EQ(sim::kErrorInsufficientBuffer, DrvNumberOfDevices(&access, &count));
    EXPECT_EQ(1u, count) << "the platform fills the count all the same";
}

TEST_F(DeviceKeys, NumberOfDevicesIsZeroWhenTheParametersKeyCannotBeReached)
{
    sim::FailRegCall(sim::RegCall::CreateKey, ERROR_ACCESS_DENIED);
    DWORD count = 77;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DrvNumberOfDevices(&access, &count));
    EXPECT_EQ(0u, count);
}

TEST_F(DeviceValues, SetDevice0CreatesTheKeyNamedDevice0AndWritesADword)
{
    EXPECT_EQ(ERROR_SUCCESS, DrvSetDeviceIdParameter(&access, 0, u"COMID", 0x12345678));
    sim::RegValue v = sim::ValueOf(Under(u"Device0"), u"COMID");
    ASSERT_TRUE(v.present);
    EXPECT_EQ((DWORD)REG_DWORD, v.type);
    EXPECT_EQ((std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}), v.data);
}

TEST_F(DeviceValues, SetOtherDeviceWritesTheKeyAtThatPositionAndNeverCreatesOne)
{
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DrvSetDeviceIdParameter(&access, 1, u"COMID", 2));
    EXPECT_TRUE(sim::SubKeys(kParameters).empty());

    sim::SeedKey(Under(u"Alpha"));
    sim::SeedKey(Under(u"Beta"));
    EXPECT_EQ(ERROR_SUCCESS, DrvSetDeviceIdParameter(&access, 1, u"COMID", 2));
    DWORD word = 0;
    EXPECT_TRUE(sim::DwordOf(Under(u"Beta"), u"COMID", &word));
    EXPECT_EQ(2u, word);
}

TEST_F(DeviceValues, QueryWithoutDeviceKeyGives2LeavesTheWordAndCreatesOnlyTheParametersKey)
{
    DWORD word = 0xCAFE;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word));
    EXPECT_EQ(0xCAFEu, word);
    EXPECT_TRUE(sim::KeyExists(kParameters));
    EXPECT_TRUE(sim::SubKeys(kParameters).empty());
}

TEST_F(DeviceValues, Device0IsTheKeyNamedDevice0ForSettingButTheFirstKeyForQuerying)
{
    sim::SeedKey(Under(u"Audio")); /* enumerates ahead of Device0 */
    EXPECT_EQ(ERROR_SUCCESS, DrvSetDeviceIdParameter(&access, 0, u"COMID", 3));
    DWORD stored = 0;
    EXPECT_TRUE(sim::DwordOf(Under(u"Device0"), u"COMID", &stored));
    EXPECT_EQ(3u, stored);

    DWORD word = 0xCAFE;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word));
    EXPECT_EQ(0xCAFEu, word) << "Audio has no COMID";

    sim::SeedDword(Under(u"Audio"), u"COMID", 5);
    EXPECT_EQ(ERROR_SUCCESS, DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word));
    EXPECT_EQ(5u, word);
}

/* Stored value, as type and bytes, in; status and word out. */
TEST_F(DeviceValues, QueryAcceptsOnlyADwordAndReportsWhatItFound)
{
    constexpr DWORD kUntouched = 0xCAFE;
    struct Row {
        const char *what;
        DWORD type;
        std::vector<BYTE> data;
        LONG status;
        DWORD word;
    } rows[] = {
        {"dword", REG_DWORD, {0x03, 0x00, 0x00, 0x00}, ERROR_SUCCESS, 3},
        {"dword all ones", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, ERROR_SUCCESS, 0xFFFFFFFF},
        {"dword of 2 bytes, zero-extended", REG_DWORD, {0x02, 0x01}, ERROR_SUCCESS, 0x0102},
        {"dword of 1 byte, zero-extended", REG_DWORD, {0x04}, ERROR_SUCCESS, 4},
        {"dword of no bytes", REG_DWORD, {}, ERROR_SUCCESS, 0},
        {"dword of 8 bytes", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, ERROR_MORE_DATA, kUntouched},
        {"text that fits 4 bytes", REG_SZ, {'1', 0, 0, 0}, ERROR_FILE_NOT_FOUND, kUntouched},
        {"longer text", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '1', 0, 0, 0}, ERROR_MORE_DATA, kUntouched},
        {"binary of 4 bytes", REG_BINARY, {1, 0, 0, 0}, ERROR_FILE_NOT_FOUND, kUntouched},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        sim::SeedValue(Under(u"Device0"), u"COMID", r.type, r.data);
        /* A query just before, at the same depth, leaves all ones where the
           next one's local word lies: short data must not let them through. */
        sim::SeedDword(Under(u"Device0"), u"Ones", 0xFFFFFFFF);
        DWORD word = 0;
        DrvQueryDeviceIdParameter(&access, 0, u"Ones", &word);
        word = kUntouched;
        LONG status = DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word);
        EXPECT_EQ(r.status, status) << r.what;
        EXPECT_EQ(r.word, word) << r.what << std::hex << ": word 0x" << word;
    }
}

TEST_F(DeviceValues, AbsentValueAndRegistryFailuresLeaveTheWordAndPassTheStatusOn)
{
    sim::SeedDword(Under(u"Device0"), u"Other", 1);
    DWORD word = 0xCAFE;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word));
    EXPECT_EQ(0xCAFEu, word);

    sim::SeedDword(Under(u"Device0"), u"COMID", 1);
    sim::FailRegCall(sim::RegCall::QueryValue, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ERROR_ACCESS_DENIED, DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word));
    EXPECT_EQ(0xCAFEu, word);

    sim::FailRegCall(sim::RegCall::SetValue, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ERROR_ACCESS_DENIED, DrvSetDeviceIdParameter(&access, 0, u"COMID", 4));
    DWORD stored = 0;
    EXPECT_TRUE(sim::DwordOf(Under(u"Device0"), u"COMID", &stored));
    EXPECT_EQ(1u, stored);
}

} // namespace
