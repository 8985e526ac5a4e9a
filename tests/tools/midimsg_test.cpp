/* tolvexctl's byte handling: typed hex to bytes, bytes to whole messages,
   a message put out in pieces that a stop can come between, and the packed
   form of the device messages. */
#include "tools/tolvexctl/midimsg.h"

#include <gtest/gtest.h>

namespace
{
std::string Messages(const std::vector<midimsg::Message> &v)
{
    std::string s;
    for (const midimsg::Message &m : v)
        s += (s.empty() ? "" : "|") + std::string(m.sysex ? "*" : "") + midimsg::Hex(m.bytes.data(), m.bytes.size());
    return s;
}

struct Row {
    const char *name;
    std::vector<std::string> words;
    const char *expected; /* messages, "|" between them, "*" for a long one; or "error: ..." */
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

class SplitsTypedBytes : public ::testing::TestWithParam<Row>
{
};

TEST_P(SplitsTypedBytes, IntoMessages)
{
    std::vector<uint8_t> bytes;
    std::string error = midimsg::ParseHex(GetParam().words, &bytes);
    std::vector<midimsg::Message> messages;
    if (error.empty())
        error = midimsg::Split(bytes, &messages);
    std::string got = error.empty() ? Messages(messages) : "error: " + error;
    EXPECT_EQ(GetParam().expected, got);
}

const Row kRows[] = {
    {"OneWordPerByte", {"90", "3c", "40"}, "90 3c 40"},
    {"RunTogether", {"903C40"}, "90 3c 40"},
    {"CStyleWithCommas", {"0x90,0x3C,0x40"}, "90 3c 40"},
    {"SpacesInsideOneArgument", {"c0 05 90 3c 40"}, "c0 05|90 3c 40"},
    {"RunningStatusIsExpanded", {"90 3c 40 3e 40 c0 05 06"}, "90 3c 40|90 3e 40|c0 05|c0 06"},
    {"SysExThenNote", {"f0 7e 7f 09 01 f7 90 3c 40"}, "*f0 7e 7f 09 01 f7|90 3c 40"},
    {"SystemCommonLengths", {"f1 10 f2 00 08 f3 02 f6"}, "f1 10|f2 00 08|f3 02|f6"},
    {"RealTimeKeepsRunningStatus", {"90 3c 40 f8 3e 40"}, "90 3c 40|f8|90 3e 40"},
    {"OddDigitCount", {"90", "3c4"}, "error: \"3c4\" has an odd number of hex digits"},
    {"NotHex", {"90", "zz"}, "error: \"zz\" is not hexadecimal"},
    {"DataWithNoStatus", {"3c 40"}, "error: byte 1 (0x3c): data byte with no status before it"},
    {"SysExEndsRunningStatus", {"90 3c 40 f0 01 f7 3e 40"}, "error: byte 7 (0x3e): data byte with no status before it"},
    {"MessageCutShort", {"90 3c"}, "error: byte 2 (0x3c): message cut short at the end"},
    {"StatusInsideAMessage", {"90 3c 80 3c 00"}, "error: byte 3 (0x80): status where a data byte was expected"},
    {"SysExWithoutF7", {"f0 7e 7f"}, "error: byte 1 (0xf0): system exclusive without its closing F7"},
    {"SysExCutByAStatus", {"f0 7e 90 3c 40"}, "error: byte 3 (0x90): system exclusive cut off by another status"},
    {"SysExCutBySystemCommon",
     {"f0 7e f2 00 00 f7"},
     "error: byte 3 (0xf2): system exclusive cut off by another status"},
    {"RealTimeInsideSysExStaysWhereItStands", {"f0 7e f8 7f f7"}, "*f0 7e f8 7f f7"},
    {"EveryRealTimeInsideSysEx", {"f0 f8 01 fa fb fc fe ff 02 f7 f8"}, "*f0 f8 01 fa fb fc fe ff 02 f7|f8"},
    {"LoneF7", {"f7"}, "error: byte 1 (0xf7): end of system exclusive with no F0 before it"},
};
INSTANTIATE_TEST_SUITE_P(Send, SplitsTypedBytes, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

/* What Put hands to the device, one call a line: "*" for a long message. */
struct Wire {
    std::vector<std::string> calls;
    int refuseCall = -1; /* this call (0-based) fails */
    midimsg::Out Out()
    {
        return [this](const uint8_t *data, size_t size, bool sysex) {
            calls.push_back(std::string(sysex ? "*" : "") + midimsg::Hex(data, size));
            return (int)calls.size() - 1 != refuseCall;
        };
    }
};

const std::vector<uint8_t> kTenByteSysEx = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7};

TEST(Put, ALongMessageGoesInPiecesAndWholeWithoutAStop)
{
    Wire w;
    size_t sent = 0;
    EXPECT_EQ(midimsg::Outcome::kSent,
              midimsg::Put(
                  kTenByteSysEx.data(), kTenByteSysEx.size(), true, 4, w.Out(), [] { return false; }, &sent));
    EXPECT_EQ((std::vector<std::string>{"*f0 7e 7f 09", "*01 02 03 04", "*05 f7"}), w.calls);
    EXPECT_EQ(10u, sent);
}

TEST(Put, AShortMessageGoesWholeWhateverThePieceSize)
{
    Wire w;
    size_t sent = 0;
    const uint8_t note[] = {0x90, 0x3C, 0x40};
    EXPECT_EQ(midimsg::Outcome::kSent, midimsg::Put(
                                           note, 3, false, 1, w.Out(), [] { return false; }, &sent));
    EXPECT_EQ((std::vector<std::string>{"90 3c 40"}), w.calls);
    EXPECT_EQ(3u, sent);
}

TEST(Put, AStopBetweenPiecesEndsTheMessageWithF7)
{
    Wire w;
    size_t sent = 0;
    int asked = 0;
    auto stopAfterTwoPieces = [&] { return ++asked > 2; };
    EXPECT_EQ(midimsg::Outcome::kStopped,
              midimsg::Put(kTenByteSysEx.data(), kTenByteSysEx.size(), true, 4, w.Out(), stopAfterTwoPieces, &sent));
    EXPECT_EQ((std::vector<std::string>{"*f0 7e 7f 09", "*01 02 03 04", "*f7"}), w.calls);
    EXPECT_EQ(8u, sent) << "the closing F7 is not counted";
}

TEST(Put, AStopBeforeTheFirstPieceSendsNothing)
{
    Wire w;
    size_t sent = 1;
    const uint8_t note[] = {0x90, 0x3C, 0x40};
    EXPECT_EQ(midimsg::Outcome::kStopped,
              midimsg::Put(
                  kTenByteSysEx.data(), kTenByteSysEx.size(), true, 4, w.Out(), [] { return true; }, &sent));
    EXPECT_EQ(midimsg::Outcome::kStopped, midimsg::Put(
                                              note, 3, false, 4, w.Out(), [] { return true; }, &sent));
    EXPECT_TRUE(w.calls.empty());
    EXPECT_EQ(0u, sent);
}

TEST(Put, AStopAfterTheLastPieceIsNotACut)
{
    Wire w;
    size_t sent = 0;
    int asked = 0;
    auto stopAfterThree = [&] { return ++asked > 3; };
    EXPECT_EQ(midimsg::Outcome::kSent,
              midimsg::Put(kTenByteSysEx.data(), kTenByteSysEx.size(), true, 4, w.Out(), stopAfterThree, &sent));
    EXPECT_EQ(3u, w.calls.size()) << "no F7 after a message that ended";
}

TEST(Put, ARefusedPieceEndsTheMessageWithF7)
{
    Wire w;
    w.refuseCall = 1;
    size_t sent = 0;
    EXPECT_EQ(midimsg::Outcome::kFailed,
              midimsg::Put(
                  kTenByteSysEx.data(), kTenByteSysEx.size(), true, 4, w.Out(), [] { return false; }, &sent));
    EXPECT_EQ((std::vector<std::string>{"*f0 7e 7f 09", "*01 02 03 04", "*f7"}), w.calls);
    EXPECT_EQ(4u, sent);
}

TEST(Put, ARefusedFirstPieceNeedsNoF7)
{
    Wire w;
    w.refuseCall = 0;
    size_t sent = 0;
    EXPECT_EQ(midimsg::Outcome::kFailed,
              midimsg::Put(
                  kTenByteSysEx.data(), kTenByteSysEx.size(), true, 4, w.Out(), [] { return false; }, &sent));
    EXPECT_EQ(1u, w.calls.size());
    EXPECT_EQ(0u, sent);
}

TEST(PackedMessages, UnpackTakesTheLengthFromTheStatus)
{
    EXPECT_EQ("90 3c 40", midimsg::Hex(midimsg::Unpack(0x403C90).data(), 3));
    EXPECT_EQ(2u, midimsg::Unpack(0x0005C0).size()) << "program change";
    EXPECT_EQ(1u, midimsg::Unpack(0x0000F8).size()) << "clock";
    EXPECT_EQ(0x403C90u, midimsg::Pack({0x90, 0x3C, 0x40}));
}

TEST(Descriptions, NameTheMessageAndItsChannelFromOne)
{
    EXPECT_EQ("note-on ch 1 note 60 (C4) vel 64", midimsg::Describe({0x90, 0x3C, 0x40}));
    EXPECT_EQ("note-off ch 10 note 36 (C2) vel 0", midimsg::Describe({0x99, 0x24, 0x00}));
    EXPECT_EQ("pitch-bend ch 16 value 8191", midimsg::Describe({0xEF, 0x7F, 0x7F}));
    EXPECT_EQ("program ch 1 program 1", midimsg::Describe({0xC0, 0x00}));
    EXPECT_EQ("sysex 6 bytes", midimsg::Describe({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
}

} // namespace
