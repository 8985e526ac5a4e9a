/*
 * Input byte parser: bytes in, notifications out. Byte n of a row arrives
 * 10*n ms after input was started (the first at 10 ms); "!!" is a port error
 * found after the bytes before it; "@t" is the stamp a notification carries,
 * "#k" the k-th buffer queued for the row.
 */
#include "input_fixture.h"

namespace
{
using namespace input_test;

struct Row {
    const char *name;
    std::vector<DWORD> buffers; /* capacities queued before the first byte */
    const char *bytes;
    std::vector<std::string> expected;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.bytes; }

class Parser : public InputTest, public ::testing::WithParamInterface<Row>
{
};

TEST_P(Parser, Delivers)
{
    const Row &row = GetParam();
    for (DWORD capacity : row.buffers)
        Queue(capacity);
    Feed(row.bytes);
    EXPECT_EQ(Join(row.expected), Join(Seen())) << "bytes " << row.bytes;
}

std::string RowName(const ::testing::TestParamInfo<Row> &info) { return info.param.name; }

const Row kRunningStatus[] = {
    {"NoteOnIsStampedWithItsFirstDataByte", {}, "90 3C 40", {"DATA 90 3C 40 @20"}},
    {"RunningStatusRepeatsTheNoteOn", {}, "90 3C 40 3E 40", {"DATA 90 3C 40 @20", "DATA 90 3E 40 @40"}},
    {"RunningStatusForTwoByteMessages", {}, "C0 05 06", {"DATA C0 05 @20", "DATA C0 06 @30"}},
    {"EachChannelMessageTakesItsOwnLength",
     {},
     "A0 3C 10 B1 07 64 D2 7F E3 00 40 80 3C 00",
     {"DATA A0 3C 10 @20", "DATA B1 07 64 @50", "DATA D2 7F @80", "DATA E3 00 40 @100", "DATA 80 3C 00 @130"}},
    {"NewChannelStatusReplacesRunningStatus",
     {},
     "90 3C 40 80 3C 00 3E 00",
     {"DATA 90 3C 40 @20", "DATA 80 3C 00 @50", "DATA 80 3E 00 @70"}},
    {"SystemCommonEndsRunningStatus", {}, "90 3C 40 F3 01 3C", {"DATA 90 3C 40 @20", "DATA F3 01 @40", "ERROR 3C @40"}},
    {"SystemExclusiveEndsRunningStatus",
     {16},
     "90 3C 40 F0 01 F7 3C",
     {"DATA 90 3C 40 @20", "LONGDATA #0 [F0 01 F7] @40", "ERROR 3C @40"}},
};
INSTANTIATE_TEST_SUITE_P(RunningStatus, Parser, ::testing::ValuesIn(kRunningStatus), RowName);

const Row kRealTime[] = {
    {"RealTimeByteInsideNoteOnIsDeliveredFirst", {}, "90 3C F8 40", {"DATA F8 @30", "DATA 90 3C 40 @20"}},
    {"RunningStatusSurvivesRealTime",
     {},
     "90 3C 40 F8 3E 41",
     {"DATA 90 3C 40 @20", "DATA F8 @40", "DATA 90 3E 41 @50"}},
    {"EveryRealTimeByteIsDeliveredAlone",
     {},
     "F8 F9 FA FB FC FD FE FF",
     {"DATA F8 @10", "DATA F9 @20", "DATA FA @30", "DATA FB @40", "DATA FC @50", "DATA FD @60", "DATA FE @70",
      "DATA FF @80"}},
    {"RealTimeDoesNotMoveTheStampOfStrayData", {}, "F6 F8 3C", {"DATA F6 @10", "DATA F8 @20", "ERROR 3C @10"}},
    {"RealTimeInsideSystemExclusiveIsNotStored",
     {16},
     "F0 01 F8 02 F7",
     {"DATA F8 @30", "LONGDATA #0 [F0 01 02 F7] @10"}},
};
INSTANTIATE_TEST_SUITE_P(RealTimeInsideMessages, Parser, ::testing::ValuesIn(kRealTime), RowName);

const Row kSystemCommon[] = {
    {"SongPositionIsStampedWithItsStatus", {}, "F2 10 20", {"DATA F2 10 20 @10"}},
    {"QuarterFrameAndSongSelectTakeOneDataByte", {}, "F1 23 F3 05", {"DATA F1 23 @10", "DATA F3 05 @30"}},
    {"NoRunningStatusAfterSystemCommon", {}, "F2 10 20 30", {"DATA F2 10 20 @10", "ERROR 30 @10"}},
    {"SingleByteCommonIsDeliveredAtOnce", {}, "F6 F4 F5", {"DATA F6 @10", "DATA F4 @20", "DATA F5 @30"}},
    {"SingleByteCommonCutsANoteShort", {}, "90 3C F6", {"ERROR 90 3C 00 @20", "DATA F6 @30"}},
};
INSTANTIATE_TEST_SUITE_P(SystemCommon, Parser, ::testing::ValuesIn(kSystemCommon), RowName);

const Row kErrors[] = {
    {"DataWithNoStatusSinceStartIsStampedZero", {}, "3C", {"ERROR 3C @0"}},
    {"NoteCutShortKeepsTheStampOfItsFirstDataByte", {}, "90 3C B0 07 64", {"ERROR 90 3C 00 @20", "DATA B0 07 64 @40"}},
    {"StatusAloneCutShortIsStampedWithItself", {}, "90 B0 07 64", {"ERROR 90 00 00 @10", "DATA B0 07 64 @30"}},
    {"SongPositionCutShort", {}, "F2 10 90 3C 40", {"ERROR F2 10 00 @10", "DATA 90 3C 40 @40"}},
    {"LoneEndOfExclusive", {}, "F7", {"ERROR F7 @10"}},
    {"EndOfExclusiveEndsRunningStatus", {}, "90 3C 40 F7 3E", {"DATA 90 3C 40 @20", "ERROR F7 @40", "ERROR 3E @40"}},
    {"StrayDataAfterSystemExclusiveCarriesTheStampOfItsStart", {}, "F0 01 F7 3C", {"ERROR 3C @10"}},
};
INSTANTIATE_TEST_SUITE_P(Errors, Parser, ::testing::ValuesIn(kErrors), RowName);

const Row kSystemExclusive[] = {
    {"MessageInOneBufferIsStampedWithItsStart", {16}, "F0 7E 7F F7", {"LONGDATA #0 [F0 7E 7F F7] @10"}},
    {"InterruptingStartIsStoredOnceInTheSameBuffer",
     {16},
     "F0 01 02 F0 03 F7",
     {"LONGDATA #0 [F0 01 02 F0 03 F7] @40"}},
    {"InterruptingStartThatFillsTheBufferCarriesItsOwnStamp",
     {4, 8},
     "F0 01 02 F0 03 F7",
     {"LONGDATA #0 [F0 01 02 F0] @40", "LONGDATA #1 [03 F7] @40"}},
    {"LongMessageContinuesInTheNextBuffer",
     {4, 4},
     "F0 01 02 03 04 05 06 07 08 F7",
     {"LONGDATA #0 [F0 01 02 03] @10", "LONGDATA #1 [04 05 06 07] @10"}},
    {"ExactlyFilledBufferReturnsAtOnceAndTheEndIsDropped", {3}, "F0 01 02 F7", {"LONGDATA #0 [F0 01 02] @10"}},
    {"StatusCutsItShortWithoutBeingStored",
     {16},
     "F0 01 02 90 3C 40",
     {"LONGDATA #0 [F0 01 02] @10", "DATA 90 3C 40 @50"}},
    {"EachMessageGetsTheNextBuffer",
     {16, 16},
     "F0 01 F7 F0 02 F7",
     {"LONGDATA #0 [F0 01 F7] @10", "LONGDATA #1 [F0 02 F7] @40"}},
    {"WithNoBufferTheBytesAreDroppedSilently", {}, "F0 01 02 F7", {}},
};
INSTANTIATE_TEST_SUITE_P(SystemExclusive, Parser, ::testing::ValuesIn(kSystemExclusive), RowName);

/* Bytes lost on the line never become data: what was under way is given up. */
const Row kPortErrors[] = {
    {"WithNothingUnderWayIsOneError", {}, "90 3C 40 !!", {"DATA 90 3C 40 @20", "ERROR 00 @20"}},
    {"GivesUpTheNoteUnderWayAndRunningStatusGoesOn",
     {},
     "90 3C 40 3E !! 40 41",
     {"DATA 90 3C 40 @20", "ERROR 90 3E 00 @40", "DATA 90 40 41 @50"}},
    {"GivesUpAStatusAloneAndKeepsIt", {}, "90 !! 3C 40", {"ERROR 90 00 00 @10", "DATA 90 3C 40 @20"}},
    {"GivesUpSystemCommonWithNoRunningStatusAfter", {}, "F2 10 !! 20", {"ERROR F2 10 00 @10", "ERROR 20 @10"}},
    {"ReturnsTheExclusiveBufferBrokenAndDropsItsRest",
     {16, 16},
     "F0 01 02 !! 03 F8 04 F7 F0 05 F7",
     {"LONGERROR #0 [F0 01 02] @10", "DATA F8 @50", "LONGDATA #1 [F0 05 F7] @80"}},
    {"BreaksExclusiveWithNoBufferAsAnError", {}, "F0 01 !! 02 F7 3C", {"ERROR 00 @10", "ERROR 3C @10"}},
    {"LetsAStatusEndTheBrokenExclusive",
     {16},
     "F0 01 !! 02 90 3C 40",
     {"LONGERROR #0 [F0 01] @10", "DATA 90 3C 40 @50"}},
};
INSTANTIATE_TEST_SUITE_P(PortErrors, Parser, ::testing::ValuesIn(kPortErrors), RowName);

class ParserState : public InputTest
{
};

TEST_F(ParserState, StampsCountFromTheStartTimeAcrossClockWrap)
{
    sim::SetTime(0xFFFFFFF0);
    gaMidiIn[0].gMIMC.dwStartTime = 0xFFFFFFF0;
    Feed("90 3C 40"); /* the clock wraps between 90 and 3C */
    EXPECT_EQ(Join({"DATA 90 3C 40 @20"}), Join(Seen()));
}

TEST_F(ParserState, NoPositionMakesItWriteBeyondTheMessage)
{
    for (int pos = 4; pos <= 255; pos++) {
        gaMidiIn[0].gMIMC = MIDIINCONTROL{};
        gaMidiIn[0].gMIMC.bRunningStatus = 0x90;
        gaMidiIn[0].gMIMC.bBytePos = (BYTE)pos;
        gaMidiIn[0].gMIMC.bBytesLeft = 2;
        gaMidiIn[0].gMIMC.dwStartTime = 0x11111111;
        gaMidiIn[0].gMIMC.dwBufOffset = 0x22222222;
        midByteRec(0, 0x3C);
        ASSERT_EQ(0x11111111u, gaMidiIn[0].gMIMC.dwStartTime) << "start time overwritten from position " << pos;
        ASSERT_EQ(0x22222222u, gaMidiIn[0].gMIMC.dwBufOffset) << "buffer offset overwritten from position " << pos;
        ASSERT_EQ(nullptr, gaMidiIn[0].gMIMC.lpQueue) << "queue overwritten from position " << pos;
    }
    /* The parser is usable again afterwards. */
    sim::ClearNotifications();
    gaMidiIn[0].gMIMC.dwStartTime = 0;
    Feed("90 3C 40");
    auto n = sim::Notifications();
    ASSERT_EQ(1u, n.size()) << "a note-on after recovering";
    EXPECT_EQ((DWORD)MIM_DATA, n[0].dwMsg);
    EXPECT_EQ(0x403C90u, n[0].dwParam1);
}

} // namespace
