/* Output framing: packed words and long buffers in, writes on the wire out. */
#include "../serial/serial_fixture.h"
#include "driver/midiclient.h"

namespace
{
using namespace serial_test;

constexpr DWORD_PTR kOutputCallback = 0x4321;

class Framing : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        gaMidiOut[0].gMidiOutClient = MIDICLIENT{kOutputCallback, 0, 0, CALLBACK_FUNCTION};
        ASSERT_EQ(0, OpenPortNumber(kPort));
        EnableCommOut(0);
    }

    MIDIHDR Header(std::vector<BYTE> &data, DWORD flags = MHDR_PREPARED)
    {
        MIDIHDR h{};
        h.lpData = reinterpret_cast<LPSTR>(data.data());
        h.dwBufferLength = (DWORD)data.size();
        h.dwFlags = flags;
        return h;
    }
};

/* Words are written low byte first: 0x403C90 is 90 3C 40. */
struct ShortRow {
    const char *name;
    std::vector<DWORD> words;
    std::vector<int> lengths;
    std::vector<std::string> writes;
};

void PrintTo(const ShortRow &row, std::ostream *os) { *os << row.name; }

class ShortMessages : public Framing, public ::testing::WithParamInterface<ShortRow>
{
};

TEST_P(ShortMessages, AreFramedOneWriteEach)
{
    const ShortRow &row = GetParam();
    std::vector<int> lengths;
    for (DWORD w : row.words)
        lengths.push_back(modSendShortMsg(0, w));

    EXPECT_EQ(row.lengths, lengths) << "lengths returned";
    EXPECT_EQ(row.writes, Writes());
}

const ShortRow kLengths[] = {
    {"NoteOffNoteOnPolyPressureControlTakeThree",
     {0x403C80, 0x403C91, 0x103CA2, 0x6407B3},
     {3, 3, 3, 3},
     {"80 3C 40", "91 3C 40", "A2 3C 10", "B3 07 64"}},
    {"ProgramAndChannelPressureTakeTwo", {0x0005C1, 0x007FDF}, {2, 2}, {"C1 05", "DF 7F"}},
    {"PitchBendTakesThree", {0x4000E5}, {3}, {"E5 00 40"}},
    {"SystemExclusiveStatusIsSentAlone", {0x0201F0}, {1}, {"F0"}},
    {"QuarterFrameSongPositionSongSelect", {0x0023F1, 0x2010F2, 0x0005F3}, {2, 3, 2}, {"F1 23", "F2 10 20", "F3 05"}},
    {"SingleByteSystemMessages",
     {0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xFE, 0xFF},
     {1, 1, 1, 1, 1, 1, 1},
     {"F4", "F5", "F6", "F7", "F8", "FE", "FF"}},
    {"BytesBeyondTheLengthAreIgnored", {0xFF0005C1}, {2}, {"C1 05"}},
};
INSTANTIATE_TEST_SUITE_P(Lengths, ShortMessages, ::testing::ValuesIn(kLengths),
                         [](const ::testing::TestParamInfo<ShortRow> &i) { return std::string(i.param.name); });

const ShortRow kRunningStatus[] = {
    {"DataWordRunsUnderTheLastStatus", {0x643C90, 0x00453C}, {3, 2}, {"90 3C 64", "3C 45"}},
    {"TwoByteStatusRunsWithOneDataByte", {0x0005C0, 0x000007}, {2, 1}, {"C0 05", "07"}},
    {"DataWordWithNoStatusSendsNothing", {0x00453C}, {0}, {}},
    {"RealTimeKeepsTheRunningStatus", {0x403C90, 0x0000FE, 0x00403E}, {3, 1, 2}, {"90 3C 40", "FE", "3E 40"}},
    {"SystemCommonClearsTheRunningStatus", {0x403C90, 0x0001F3, 0x00403C}, {3, 2, 0}, {"90 3C 40", "F3 01"}},
    {"EndOfExclusiveClearsTheRunningStatus", {0x403C90, 0x0000F7, 0x00403C}, {3, 1, 0}, {"90 3C 40", "F7"}},
};
INSTANTIATE_TEST_SUITE_P(RunningStatus, ShortMessages, ::testing::ValuesIn(kRunningStatus),
                         [](const ::testing::TestParamInfo<ShortRow> &i) { return std::string(i.param.name); });

TEST_F(Framing, ClosedGateReturnsTheLengthWritesNothingAndKeepsTheStatus)
{
    DisableCommOut(0);
    EXPECT_EQ(3, modSendShortMsg(0, 0x403C91));
    EXPECT_EQ(std::vector<std::string>{}, Writes());

    EnableCommOut(0);
    EXPECT_EQ(2, modSendShortMsg(0, 0x00403C));
    EXPECT_EQ(std::vector<std::string>{"3C 40"}, Writes()) << "running status 91 was kept while closed";
}

TEST_F(Framing, FailedWriteIsNotReportedAndOutputGoesOn)
{
    sim::FailNextWrite(1);
    EXPECT_EQ(3, modSendShortMsg(0, 0x403C90));
    EXPECT_EQ(3, modSendShortMsg(0, 0x403E90));
    EXPECT_EQ((std::vector<std::string>{"90", "90 3E 40"}), Writes());
}

std::vector<std::string> ResetWrites()
{
    std::vector<std::string> out;
    char buf[16];
    for (int ch = 0; ch < 16; ch++) {
        snprintf(buf, sizeof buf, "%02X 40 00", 0xB0 + ch);
        out.push_back(buf);
        snprintf(buf, sizeof buf, "%02X 7B 00", 0xB0 + ch);
        out.push_back(buf);
    }
    return out;
}

TEST_F(Framing, ResetSendsDamperOffAndAllNotesOffPerChannelInOrder)
{
    modReset(0);
    EXPECT_EQ(ResetWrites(), Writes());
}

TEST_F(Framing, ResetWaitsAtLeast30MsWhileAGateIsOpen)
{
    sim::SetTime(1000);
    modReset(0);
    DWORD elapsed = timeGetTime() - 1000;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 200u) << "the wait is about 30 ms, not more";
}

TEST_F(Framing, ResetWaitsAcrossTheClockWrapping)
{
    sim::SetTime(0xFFFFFFF0u);
    modReset(0);
    EXPECT_GE((DWORD)(timeGetTime() - 0xFFFFFFF0u), 30u);
}

TEST_F(Framing, ResetWithOnlyTheInputGateOpenStillWaits)
{
    DisableCommOut(0);
    EnableCommIn(0);
    sim::SetTime(0);
    modReset(0);
    EXPECT_EQ(std::vector<std::string>{}, Writes());
    EXPECT_GE(timeGetTime(), 30u);
}

TEST_F(Framing, ResetWithBothGatesClosedSendsNothingAndDoesNotWait)
{
    DisableCommOut(0);
    DWORD readsBefore = sim::ClockReads();
    modReset(0);
    EXPECT_EQ(std::vector<std::string>{}, Writes());
    EXPECT_EQ(readsBefore, sim::ClockReads()) << "the clock was read: a wait took place";
}

TEST_F(Framing, ResetClearsTheRunningStatus)
{
    modSendShortMsg(0, 0x403C90);
    modReset(0);
    sim::ClearPortWrites(kPortName);
    EXPECT_EQ(0, modSendShortMsg(0, 0x00403C));
    EXPECT_EQ(std::vector<std::string>{}, Writes());
}

TEST_F(Framing, UnpreparedLongBufferIsRefusedUnsent)
{
    std::vector<BYTE> data = Bytes({0xF0, 0x01, 0xF7});
    MIDIHDR h = Header(data, 0);
    EXPECT_EQ((DWORD)MIDIERR_UNPREPARED, modSendLongData(0, &h));
    EXPECT_EQ(std::vector<std::string>{}, Writes());
    EXPECT_EQ(0u, h.dwFlags & MHDR_DONE);
    EXPECT_EQ(0u, sim::Notifications().size());
}

TEST_F(Framing, EmptyLongBufferIsOneEmptyWriteAndIsDone)
{
    std::vector<BYTE> data;
    MIDIHDR h = Header(data, MHDR_PREPARED | MHDR_INQUEUE);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modSendLongData(0, &h));

    EXPECT_EQ(std::vector<std::string>{""}, Writes());
    EXPECT_EQ((DWORD)(MHDR_PREPARED | MHDR_INQUEUE | MHDR_DONE), h.dwFlags) << "only MHDR_DONE is added";
    auto n = sim::Notifications();
    ASSERT_EQ(1u, n.size());
    EXPECT_EQ((DWORD)MOM_DONE, n[0].dwMsg);
    EXPECT_EQ((DWORD_PTR)&h, n[0].dwParam1);
    EXPECT_EQ(0u, n[0].dwParam2);
}

std::vector<BYTE> Pattern(size_t n)
{
    std::vector<BYTE> v(n);
    for (size_t k = 0; k < n; k++)
        v[k] = (BYTE)(k % 0x80); /* data bytes: the running status stays as it was */
    return v;
}

struct LongRow {
    size_t size;
    std::vector<size_t> pieces;
};

void PrintTo(const LongRow &row, std::ostream *os) { *os << row.size << " bytes"; }

class LongBuffers : public Framing, public ::testing::WithParamInterface<LongRow>
{
};

TEST_P(LongBuffers, AreSentWholeInPiecesOfAtMostTheStagingSize)
{
    std::vector<BYTE> data = Pattern(GetParam().size);
    MIDIHDR h = Header(data);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modSendLongData(0, &h));

    std::vector<size_t> pieces;
    for (const auto &w : sim::PortWrites(kPortName))
        pieces.push_back(w.size());
    EXPECT_EQ(GetParam().pieces, pieces);
    EXPECT_TRUE(data == sim::PortWire(kPortName)) << "the bytes on the wire differ from the buffer";
    EXPECT_EQ((DWORD)MHDR_DONE, h.dwFlags & MHDR_DONE);
    EXPECT_EQ(1u, sim::Notifications().size()) << "one MOM_DONE";
}

INSTANTIATE_TEST_SUITE_P(Sizes, LongBuffers,
                         ::testing::Values(LongRow{4096, {4096}}, LongRow{4097, {4096, 1}},
                                           LongRow{10000, {4096, 4096, 1808}}, LongRow{8192, {4096, 4096}}),
                         [](const ::testing::TestParamInfo<LongRow> &i) { return std::to_string(i.param.size); });

TEST_F(Framing, OutputWorksNormallyAfterAVeryLongBuffer)
{
    std::vector<BYTE> data = Pattern(5000);
    MIDIHDR h = Header(data);
    modSendLongData(0, &h);
    sim::ClearPortWrites(kPortName);

    EXPECT_EQ(3, modSendShortMsg(0, 0x403C90));
    EXPECT_EQ(std::vector<std::string>{"90 3C 40"}, Writes());
}

TEST_F(Framing, LongBufferSetsTheRunningStatus)
{
    std::vector<BYTE> data = Bytes({0xF0, 0x7E, 0xF7, 0x91, 0x3C, 0x40});
    MIDIHDR h = Header(data);
    modSendLongData(0, &h);
    sim::ClearPortWrites(kPortName);

    EXPECT_EQ(2, modSendShortMsg(0, 0x00403C));
    EXPECT_EQ(std::vector<std::string>{"3C 40"}, Writes());
}

TEST_F(Framing, RunningStatusFollowsEveryPieceOfALongBuffer)
{
    std::vector<BYTE> data = Pattern(kStagingSize + 3);
    data[kStagingSize] = 0x92; /* first byte of the second piece */
    MIDIHDR h = Header(data);
    modSendLongData(0, &h);
    EXPECT_EQ(0x92, gaMidiOut[0].gbMidiOutCurrentStatus);
}

TEST_F(Framing, LongBufferWithTheGateClosedIsDoneUnwritten)
{
    DisableCommOut(0);
    std::vector<BYTE> data = Bytes({0xF0, 0x01, 0xF7});
    MIDIHDR h = Header(data);
    EXPECT_EQ((DWORD)MMSYSERR_NOERROR, modSendLongData(0, &h));
    EXPECT_EQ(0u, sim::PortWrites(kPortName).size());
    EXPECT_EQ((DWORD)MHDR_DONE, h.dwFlags & MHDR_DONE);
}

} // namespace
