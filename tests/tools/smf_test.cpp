/* The Standard MIDI File reader: each case is a file image in and the timed
   messages (or the error) out. */
#include "tools/tolvexctl/smf.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes Chunk(const char *id, const Bytes &body)
{
    Bytes c(id, id + 4);
    uint32_t n = (uint32_t)body.size();
    c.insert(c.end(), {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n});
    c.insert(c.end(), body.begin(), body.end());
    return c;
}

Bytes Header(int format, int tracks, int division)
{
    return Chunk("MThd", {(uint8_t)(format >> 8), (uint8_t)format, (uint8_t)(tracks >> 8), (uint8_t)tracks,
                          (uint8_t)(division >> 8), (uint8_t)division});
}

/* A track from its events, with the end-of-track event added. */
Bytes Track(Bytes events)
{
    events.insert(events.end(), {0x00, 0xFF, 0x2F, 0x00});
    return Chunk("MTrk", events);
}

Bytes File(std::initializer_list<Bytes> parts)
{
    Bytes f;
    for (const Bytes &p : parts)
        f.insert(f.end(), p.begin(), p.end());
    return f;
}

std::string Hex(const Bytes &b)
{
    std::string s;
    char t[4];
    for (uint8_t x : b) {
        snprintf(t, sizeof t, "%02x", x);
        s += t;
    }
    return s;
}

/* "us:hex" per event, with "*" marking a long message. */
std::string Timeline(const smf::Song &song)
{
    std::string s;
    for (const smf::Event &e : song.events)
        s += (s.empty() ? "" : " ") + std::to_string(e.us) + ":" + (e.sysex ? "*" : "") + Hex(e.bytes);
    return s;
}

struct Good {
    const char *name;
    Bytes file;
    const char *timeline;
    uint64_t lengthUs;
};

void PrintTo(const Good &g, std::ostream *os) { *os << g.name; }

class ReadsFile : public ::testing::TestWithParam<Good>
{
};

TEST_P(ReadsFile, MessagesAtTheirTimes)
{
    smf::Song song;
    std::string error = smf::Read(GetParam().file.data(), GetParam().file.size(), &song);
    ASSERT_EQ("", error);
    EXPECT_EQ(GetParam().timeline, Timeline(song));
    EXPECT_EQ(GetParam().lengthUs, song.lengthUs) << "song length";
}

const Bytes kTempo250ms = {0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90}; /* 250000 us a quarter */

const Good kGood[] = {
    {"NoteAtDefaultTempoOfHalfASecondAQuarter",
     File({Header(0, 1, 96), Track({0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x00})}), "0:903c40 500000:803c00",
     500000},
    {"RunningStatusRepeatsTheStatus",
     File({Header(0, 1, 96), Track({0x00, 0x90, 0x3C, 0x40, 0x00, 0x3E, 0x40, 0x00, 0xC0, 0x05, 0x00, 0x06})}),
     "0:903c40 0:903e40 0:c005 0:c006", 0},
    {"RunningStatusOutlivesAMetaEvent",
     File({Header(0, 1, 96), Track({0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x01, 0x02, 'h', 'i', 0x00, 0x3E, 0x40})}),
     "0:903c40 0:903e40", 0},
    {"MetaEventsAreNotSent",
     File({Header(0, 1, 96),
           Track({0x00, 0xFF, 0x03, 0x01, 'x', 0x00, 0xFF, 0x58, 0x04, 4, 2, 24, 8, 0x00, 0xB0, 0x07, 0x64})}),
     "0:b00764", 0},
    {"TempoChangeTakesEffectFromItsTick",
     File({Header(0, 1, 96), Track(File({{0x60, 0x90, 0x3C, 0x40, 0x00}, kTempo250ms, {0x60, 0x80, 0x3C, 0x00}}))}),
     "500000:903c40 750000:803c00", 750000},
    {"TempoInTheFirstTrackTimesTheOthers",
     File({Header(1, 2, 96), Track(File({{0x00}, kTempo250ms})), Track({0x60, 0x90, 0x3C, 0x40})}), "250000:903c40",
     250000},
    {"TracksMergeByTimeAndByTrackOrderAtOneTick",
     File({Header(1, 2, 96), Track({0x00, 0x90, 0x30, 0x40, 0x81, 0x40, 0x90, 0x32, 0x40}),
           Track({0x00, 0x91, 0x31, 0x40, 0x60, 0x91, 0x33, 0x40})}),
     "0:903040 0:913140 500000:913340 1000000:903240", 1000000},
    {"SystemExclusiveGoesOutWithItsF0",
     File({Header(0, 1, 96), Track({0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7})}), "0:*f07e7f0901f7", 0},
    {"EscapeSendsItsBytesAsTheyAre", File({Header(0, 1, 96), Track({0x00, 0xF7, 0x02, 0xF3, 0x01})}), "0:*f301", 0},
    {"SmpteDivisionCountsTicksOfFrames", /* 25 frames a second, 40 ticks a frame: 1 ms a tick */
     File({Header(0, 1, 0xE728), Track({0x83, 0x74, 0x90, 0x3C, 0x40})}), "500000:903c40", 500000},
    {"UnknownChunksAreSkipped", File({Header(0, 1, 96), Chunk("XFIH", {1, 2, 3}), Track({0x00, 0x90, 0x3C, 0x40})}),
     "0:903c40", 0},
    {"EventsAfterTheEndOfTrackAreIgnored",
     File({Header(0, 1, 96), Chunk("MTrk", {0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00, 0x00, 0x80, 0x3C, 0x00})}),
     "0:903c40", 0},
    {"TrackWithoutEndOfTrackEndsAtItsLastEvent", File({Header(0, 1, 96), Chunk("MTrk", {0x60, 0x90, 0x3C, 0x40})}),
     "500000:903c40", 500000},
};
INSTANTIATE_TEST_SUITE_P(Smf, ReadsFile, ::testing::ValuesIn(kGood),
                         [](const ::testing::TestParamInfo<Good> &info) { return std::string(info.param.name); });

struct Bad {
    const char *name;
    Bytes file;
    const char *error; /* a part of the message that names the fault */
};

void PrintTo(const Bad &b, std::ostream *os) { *os << b.name; }

class RefusesFile : public ::testing::TestWithParam<Bad>
{
};

TEST_P(RefusesFile, NamingTheFault)
{
    smf::Song song;
    std::string error = smf::Read(GetParam().file.data(), GetParam().file.size(), &song);
    EXPECT_NE(std::string::npos, error.find(GetParam().error))
        << "expected an error with \"" << GetParam().error << "\", got \"" << error << "\"";
}

Bytes T(Bytes body) { return File({Header(0, 1, 96), Chunk("MTrk", body)}); }

const Bad kBad[] = {
    {"EmptyFile", {}, "does not start with \"MThd\""},
    {"TextFile", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}, "does not start with \"MThd\""},
    {"RiffWrappedFile", File({Chunk("RIFF", {'R', 'M', 'I', 'D'})}), "RIFF"},
    {"HeaderOfFourBytes", File({Chunk("MThd", {0, 0, 0, 1})}), "6 at least"},
    {"FileEndsInsideTheHeader", Bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0}), "ends inside its header"},
    {"Format2", File({Header(2, 1, 96), Track({})}), "format 2"},
    {"Format0WithTwoTracks", File({Header(0, 2, 96), Track({}), Track({})}), "exactly one track"},
    {"DivisionZero", File({Header(0, 1, 0), Track({})}), "division 0"},
    {"SmpteOf23Frames", File({Header(0, 1, 0xE928), Track({})}), "23 frames"},
    {"FewerTracksThanAnnounced", File({Header(1, 3, 96), Track({}), Track({})}), "ends after 2"},
    {"TrackLongerThanTheFile", File({Header(0, 1, 96), Bytes({'M', 'T', 'r', 'k', 0, 0, 0, 100, 0x00, 0x90})}),
     "claims 100 bytes, only 2 remain"},
    {"DataByteWithNoStatus", T({0x00, 0x3C, 0x40}), "data byte 0x3c with no status"},
    {"DeltaTimeOfFiveBytes", T({0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 0x3C, 0x40}), "longer than 4 bytes"},
    {"TrackEndsInsideADeltaTime", T({0x00, 0x90, 0x3C, 0x40, 0x81}), "inside a delta time"},
    {"TrackEndsAfterADeltaTime", T({0x00, 0x90, 0x3C, 0x40, 0x10}), "without its event"},
    {"TrackEndsInsideANote", T({0x00, 0x90, 0x3C}), "ends inside a channel message"},
    {"StatusWhereADataByteBelongs", T({0x00, 0x90, 0x3C, 0x90}), "status 0x90 where message 0x90 needs a data byte"},
    {"MetaEventLongerThanItsTrack", T({0x00, 0xFF, 0x01, 0x10, 'a'}), "meta event of 16 bytes runs past"},
    {"SysExLongerThanItsTrack", T({0x00, 0xF0, 0x20, 0x7E}), "system exclusive event of 32 bytes runs past"},
    {"TempoOfTwoBytes", T({0x00, 0xFF, 0x51, 0x02, 0x07, 0xA1}), "set-tempo event of 2 bytes"},
    {"TempoOfZero", T({0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00}), "0 us per quarter"},
    {"SystemCommonInATrack", T({0x00, 0xF2, 0x00, 0x08}), "status 0xf2 cannot stand in a file"},
};
INSTANTIATE_TEST_SUITE_P(Smf, RefusesFile, ::testing::ValuesIn(kBad),
                         [](const ::testing::TestParamInfo<Bad> &info) { return std::string(info.param.name); });

TEST(SmfErrors, NameTheTrackAndTheByte)
{
    Bytes f = File({Header(1, 2, 96), Track({0x00, 0x90, 0x3C, 0x40}), Chunk("MTrk", {0x00, 0x3C})});
    smf::Song song;
    /* Second track's body starts at 14 + 8 + 8 + 8 = 0x26; its event at 0x27. */
    EXPECT_EQ("track 2, byte 0x27: data byte 0x3c with no status byte before it", smf::Read(f.data(), f.size(), &song));
}

TEST(SmfErrors, EveryTruncationOfAGoodFileIsRefusedOrReadWithinBounds)
{
    Bytes f = File({Header(1, 2, 96), Track(File({{0x00}, kTempo250ms, {0x00, 0xF0, 0x03, 0x01, 0x02, 0xF7}})),
                    Track({0x00, 0x90, 0x3C, 0x40, 0x81, 0x00, 0x3C, 0x00})});
    for (size_t n = 0; n < f.size(); n++) {
        Bytes cut(f.begin(), f.begin() + n); /* an exact-size copy: ASan sees any read past it */
        smf::Song song;
        EXPECT_NE("", smf::Read(cut.data(), cut.size(), &song)) << "a file cut to " << n << " bytes was accepted";
    }
}

} // namespace
