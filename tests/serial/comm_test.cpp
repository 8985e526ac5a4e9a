/* The port wrappers: results and failures in the 16-bit calling style. */
#include "serial/wformat.h"
#include "serial_fixture.h"

namespace
{
using namespace serial_test;

class Comm : public PortTest
{
  protected:
    void TearDown() override
    {
        if (h != 0)
            CloseHandle(h);
        PortTest::TearDown();
    }
    HANDLE h = 0;
};

TEST_F(Comm, FailedReadAndWriteGiveTheNegatedCount)
{
    h = OpenComm(u"com1", 4096, 4096);
    ASSERT_NE((HANDLE)0, h);
    sim::FeedPort(kPortName, Bytes({1, 2, 3, 4, 5}));
    BYTE buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};

    sim::FailNextRead(3);
    EXPECT_EQ(-3, ReadComm(h, buf, sizeof buf));
    sim::FailNextWrite(2);
    EXPECT_EQ(-2, WriteComm(h, buf, 6));
    EXPECT_EQ(6, WriteComm(h, buf, 6));
}

TEST_F(Comm, ErrorBitsAreReportedOnceAndAFailedQueryIsAnIoError)
{
    h = OpenComm(u"com1", 4096, 4096);
    ASSERT_NE((HANDLE)0, h);
    COMSTAT stat;

    sim::SetPortErrors(kPortName, CE_OVERRUN | CE_FRAME);
    EXPECT_EQ((DWORD)(CE_OVERRUN | CE_FRAME), GetCommError(h, &stat));
    EXPECT_EQ(0u, GetCommError(h, &stat)) << "the query clears them";

    sim::FailErrorQuery(kPortName, true);
    EXPECT_EQ((DWORD)CE_IOE, GetCommError(h, &stat));
}

TEST_F(Comm, MissingPortOrNoSerialPortGivesNoHandle)
{
    EXPECT_EQ((HANDLE)0, OpenComm(u"com9", 4096, 4096));
    sim::RefuseTimeouts("com2", true);
    EXPECT_EQ((HANDLE)0, OpenComm(u"com2", 4096, 4096));
    EXPECT_EQ(0, sim::OpenPortHandles()) << "the file that was no serial port is closed again";
}

TEST_F(Comm, PortOpensForExclusiveUse)
{
    h = OpenComm(u"com1", 4096, 4096);
    ASSERT_NE((HANDLE)0, h);
    EXPECT_EQ((HANDLE)0, OpenComm(u"com1", 4096, 4096));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

/* The bounded formatter that forms the port's texts. */
struct FormatRow {
    const char *name;
    int cch;
    const char16_t *format;
    int number;
    int expectedResult;
    const char *expectedText;
};

void PrintTo(const FormatRow &row, std::ostream *os) { *os << row.name; }

class BoundedFormat : public ::testing::TestWithParam<FormatRow>
{
};

TEST_P(BoundedFormat, FormatsWithinTheBuffer)
{
    const FormatRow &row = GetParam();
    constexpr int kGuard = 8;
    constexpr WCHAR kCanary = 0x7E7E;
    WCHAR buf[64];
    for (WCHAR &c : buf)
        c = kCanary;

    int result = FormatW(buf, row.cch, row.format, u"com", row.number, 38400);

    EXPECT_EQ(row.expectedResult, result);
    EXPECT_EQ(row.expectedText, sim::Utf8(buf));
    for (int k = row.cch; k < row.cch + kGuard; k++)
        ASSERT_EQ(kCanary, buf[k]) << "written past the buffer at " << k;
}

const FormatRow kFormats[] = {
    {"PortName", 20, u"%s%1d", 3, 4, "com3"},
    {"SettingsDescription", 20, u"%s%1d:%d,n,8,1", 2, 16, "com2:38400,n,8,1"},
    {"NegativePort", 20, u"%s%1d", -1, 5, "com-1"},
    {"FourDigitPortStillFits", 20, u"%s%1d:%d,n,8,1", 1234, 19, "com1234:38400,n,8,1"},
    {"FiveDigitPortDoesNotFit", 20, u"%s%1d:%d,n,8,1", 12345, -1, ""},
    {"RegistryGarbageDoesNotFit", 20, u"%s%1d:%d,n,8,1", 123456789, -1, ""},
    {"SmallestIntFitsWhenRoomAllows", 20, u"%s%d", -2147483647 - 1, 14, "com-2147483648"},
    {"ExactFitLeavesRoomForTheTerminator", 5, u"%s%1d", 3, 4, "com3"},
    {"OneShortFails", 4, u"%s%1d", 3, -1, ""},
    {"WidthPadsWithSpaces", 20, u"%s[%4d]", 7, 9, "com[   7]"},
    {"UnknownConversionFails", 20, u"%s%x", 5, -1, ""},
};
INSTANTIATE_TEST_SUITE_P(Texts, BoundedFormat, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<FormatRow> &info) { return std::string(info.param.name); });

} // namespace
