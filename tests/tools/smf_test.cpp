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
        s += (s.empty() ? "" : " ") + std::to_string(e.Us()) + ":" + (e.Sysex() ? "*" : "") + Hex(song.Bytes(e));
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
    {"TempoChangeInALaterTrackAtTheSameTickMovesOnlyWhatFollows",
     File({Header(1, 2, 96), Track({0x60, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x00}),
           Track(File({{0x60}, kTempo250ms, {0x00, 0x91, 0x3C, 0x40}}))}),
     "500000:903c40 500000:913c40 750000:803c00", 750000},
    {"SmpteDropFrameCountsTicksOf2997Frames", /* 29.97 frames a second, 10 ticks a frame: 2997 ticks are 10 s */
     File({Header(0, 1, 0xE30A), Track({0x97, 0x35, 0x90, 0x3C, 0x40})}), "10000000:903c40", 10000000},
    {"EmptyEscapeSendsNothingEmptySysExSendsItsF0",
     File({Header(0, 1, 96), Track({0x00, 0xF7, 0x00, 0x00, 0xF0, 0x00, 0x00, 0xC0, 0x05})}), "0:*f0 0:c005", 0},
    {"ADayLongIsRead", /* 16588800 ticks of half a second a quarter: 24 h to the microsecond */
     File({Header(0, 1, 96), Track({0x87, 0xF4, 0xC0, 0x00, 0x90, 0x3C, 0x40})}), "86400000000:903c40", 86400000000},
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
    {"AMicrosecondMoreThanADay", T({0x87, 0xF4, 0xC0, 0x01, 0x90, 0x3C, 0x40}),
     "longer than 24 hours (at tick 16588801)"},
    {"OneHugeDeltaAtTheSlowestTempo",
     File({Header(0, 1, 1),
           Chunk("MTrk", {0x00, 0xFF, 0x51, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x40})}),
     "longer than 24 hours"},
    {"SmpteWithAHugeTickCount", File({Header(0, 1, 0xE801), Track({0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x40})}),
     "longer than 24 hours"},
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

/* A file whose delta times, multiplied by the tempo, passed 2^64: the length
   wrapped (142 years shown for 585,000) and events came out of order. */
TEST(SmfTime, DeltasThatWouldWrapTheClockAreRefused)
{
    Bytes body = {0x00, 0xFF, 0x51, 0x03, 0xFF, 0xFF, 0xFF}; /* 16.7 s a quarter, one tick a quarter */
    for (int k = 0; k < 5000; k++)
        body.insert(body.end(), {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, (uint8_t)(k & 0x7F)});
    Bytes f = File({Header(0, 1, 1), Track(body)});
    smf::Song song;
    std::string error = smf::Read(f.data(), f.size(), &song);
    EXPECT_NE(std::string::npos, error.find("longer than 24 hours")) << error;
    EXPECT_TRUE(song.events.empty());
    EXPECT_EQ(0u, song.lengthUs);
}

TEST(SmfTime, TimesNeverGoBackAndNothingComesAfterTheEnd)
{
    /* Three tracks of tempo changes and notes at odd ticks, some at one tick. */
    Bytes tempos, a, b;
    for (int k = 0; k < 40; k++) {
        uint32_t us = 100000 + 37000 * (k % 9);
        tempos.insert(tempos.end(), {(uint8_t)(k % 3 ? 0x1D : 0x00), 0xFF, 0x51, 0x03, (uint8_t)(us >> 16),
                                     (uint8_t)(us >> 8), (uint8_t)us});
        a.insert(a.end(), {(uint8_t)(k % 4 ? 0x11 : 0x00), 0x90, (uint8_t)k, 0x40});
        b.insert(b.end(), {(uint8_t)(k % 5 ? 0x23 : 0x00), 0xF0, 0x02, 0x01, 0xF7});
    }
    for (int division : {96, 7, 0x7FFF, 0xE728, 0xE30A}) {
        Bytes f = File({Header(1, 3, division), Track(tempos), Track(a), Track(b)});
        smf::Song song;
        ASSERT_EQ("", smf::Read(f.data(), f.size(), &song)) << "division " << division;
        ASSERT_EQ(80u, song.events.size());
        for (size_t k = 0; k < song.events.size(); k++) {
            EXPECT_LE(song.events[k].Us(), song.lengthUs) << "event " << k << ", division " << division;
            if (k > 0) {
                EXPECT_LE(song.events[k - 1].Us(), song.events[k].Us()) << "event " << k << ", division " << division;
            }
        }
    }
}

/* 8 MiB of two-byte events under running status, the largest file that
   tolvexctl reads: 4.2 million events took 437 MB; now 8 bytes each. */
TEST(SmfSize, AnEightMebibyteFileOfRunningStatusEventsStaysCompact)
{
    constexpr size_t kFile = 8u << 20;
    Bytes body = {0x00, 0xC0, 0x00, 0x00, 0xC0, 0x00};
    size_t bodySize = kFile - 14 - 8;
    while (body.size() < bodySize)
        body.insert(body.end(), {0x00, 0x05});
    Bytes f = File({Header(0, 1, 96), Chunk("MTrk", body)});
    ASSERT_EQ(kFile, f.size());
    smf::Song song;
    ASSERT_EQ("", smf::Read(f.data(), f.size(), &song));
    EXPECT_EQ(4194292u, song.events.size());
    EXPECT_EQ(8u, sizeof(smf::Event));
    EXPECT_EQ(song.events.size(), song.events.capacity()) << "room made once, to the event";
    EXPECT_LE(song.events.capacity() * sizeof(smf::Event) + song.longBytes.capacity() +
                  song.longStarts.capacity() * sizeof(uint32_t),
              5 * kFile);
    EXPECT_EQ("c005", Hex(song.Bytes(song.events.back())));
}

TEST(SmfSize, LongMessagesAreKeptOnceEach)
{
    Bytes body;
    for (int k = 0; k < 1000; k++)
        body.insert(body.end(), {0x00, 0xF0, 0x03, 0x7D, (uint8_t)(k & 0x7F), 0xF7, 0x00, 0xF7, 0x01, 0xF8});
    Bytes f = File({Header(0, 1, 96), Track(body)});
    smf::Song song;
    ASSERT_EQ("", smf::Read(f.data(), f.size(), &song));
    ASSERT_EQ(2000u, song.events.size());
    EXPECT_EQ(5000u, song.longBytes.size());
    EXPECT_EQ(2001u, song.longStarts.size());
    EXPECT_EQ("f07d05f7", Hex(song.Bytes(song.events[10])));
    EXPECT_EQ("f8", Hex(song.Bytes(song.events[11])));
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
