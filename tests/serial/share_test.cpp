/* A shared port's rings: what reaches the line from several programs'
   output, and what each program's input takes of what was received. Each
   row is a script of what programs put and what the line then carries. */
#include "../hex.h"
#include "midiin/midiin.h"
#include "platform/host/sim_registry.h"
#include "serial/share.h"
#include "serial_fixture.h"

#include <gtest/gtest.h>

#include <memory>

namespace
{
using test_hex::Bytes;
using test_hex::Hex;

/* "A:90 3C 40" program A puts bytes; "=90 3C 40" the line carries them next,
   all that is ready in one write, "=" nothing; "-A" program A gives its slot back, or
   ends; "+5000" five seconds pass. */
struct Script {
    const char *name;
    std::vector<const char *> steps;
};

const Script kScripts[] = {
    {"WholeMessagesInTurn", {"A:90 3C 40", "B:91 3E 41", "=90 3C 40 91 3E 41"}},
    {"EachProgramsRunningStatusIsItsOwn",
     {"A:90 3C 40", "=90 3C 40", "B:90 40 40", "=90 40 40", "A:3E 40", "=90 3E 40", "A:3F 40", "=3F 40", "A:40 40",
      "=40 40"}},
    {"RunningStatusOfAProgramWithoutOneIsDropped", {"A:3C 40", "=", "A:80 3C 00", "=80 3C 00"}},
    {"SystemExclusiveIsNeverEntered", {"A:F0 01 02", "B:90 3C 40", "=F0 01 02", "=", "A:03 F7", "=03 F7 90 3C 40"}},
    {"RealTimeInsideSystemExclusivePasses", {"A:F0 01 F8 02 F7", "=F0 01 F8 02 F7"}},
    {"AProgramsOwnStatusEndsItsExclusiveAndGoesNext", {"A:F0 01 90 3C 40", "B:91 30 40", "=F0 01 90 3C 40 91 30 40"}},
    {"AProgramGoneInsideExclusiveHasItEnded", {"A:F0 01", "B:90 3C 40", "=F0 01", "-A", "=F7 90 3C 40"}},
    {"AProgramGoneOutsideExclusiveEndsNothingAndItsRestIsDropped",
     {"A:90 3C 40", "=90 3C 40", "A:90", "-A", "B:3C 40", "="}},
    {"AnExclusiveLeftOpenIsEndedAfterFiveSeconds",
     {"A:F0 01", "B:90 3C 40", "=F0 01", "+4999", "=", "+1", "=F7 90 3C 40"}},
    {"APartOfAMessageWaitsForTheRest", {"A:90 3C", "B:91 3E 41", "=91 3E 41", "A:40", "=90 3C 40"}},
    {"RealTimeInsideAMessagePassesWhereItStands", {"A:90 F8 3C F8 40", "B:91 3E 41", "=90 F8 3C F8 40 91 3E 41"}},
    {"AStatusInsideAMessageCutsItShort", {"A:90 3C 91 3E 40", "=91 3E 40"}},
    {"SystemCommonEndsTheLinesRunningStatus",
     {"A:90 3C 40", "=90 3C 40", "A:F3 01", "=F3 01", "A:3E 40", "=", "A:90 3F 40 40 40", "=90 3F 40 40 40"}},
};

class SharedOutput : public ::testing::TestWithParam<Script>
{
};

TEST_P(SharedOutput, Line)
{
    auto share = std::make_unique<SHAREDPORT>();
    ShareLayout(share.get());
    OWNERSTATE owner;
    OwnerReset(&owner);
    for (UINT s = 0; s < kShareSlots; s++)
        share->aOut[s].dwPid = 100 + s;
    DWORD now = 1000;
    for (const char *step : GetParam().steps) {
        SCOPED_TRACE(step);
        std::vector<BYTE> line;
        BYTE out[kShareOutRing + 1];
        if (step[0] == '+') {
            now += (DWORD)atoi(step + 1);
        } else if (step[0] == '-') {
            ShareFreeSlot(&share->aOut[step[1] - 'A'], 100 + (step[1] - 'A'));
        } else if (step[1] == ':') {
            std::vector<BYTE> b = Bytes(step + 2);
            ASSERT_TRUE(SharePut(&share->aOut[step[0] - 'A'], b.data(), (DWORD)b.size()));
        } else {
            UINT cb = OwnerFill(share.get(), &owner, out, kShareOutRing, now);
            line.assign(out, out + cb);
            EXPECT_EQ(step + 1, Hex(line));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, SharedOutput, ::testing::ValuesIn(kScripts),
                         [](const ::testing::TestParamInfo<Script> &info) { return std::string(info.param.name); });

/* A slot is taken by one program at a time; an output's only once the
   owner has dropped what a program that left in haste put in. */
TEST(SharedSlots, TakenOnceAndOnlyEmpty)
{
    auto share = std::make_unique<SHAREDPORT>();
    for (UINT s = 0; s < kShareSlots; s++)
        EXPECT_EQ(s, ShareClaimSlot(share.get(), TRUE, 500 + s));
    EXPECT_EQ(kShareSlots, ShareClaimSlot(share.get(), TRUE, 999)) << "the 17th";
    const BYTE note[] = {0x90, 0x3C, 0x40};
    ASSERT_TRUE(SharePut(&share->aOut[3], note, 3));
    ShareFreeSlot(&share->aOut[3], 777);
    EXPECT_EQ(503u, share->aOut[3].dwPid.load()) << "given back by a program that does not hold it";
    ShareFreeSlot(&share->aOut[3], 503);
    EXPECT_EQ(kShareSlots, ShareClaimSlot(share.get(), TRUE, 999)) << "taken with its output not all taken";
    OWNERSTATE owner;
    OwnerReset(&owner);
    BYTE out[16];
    EXPECT_EQ(0u, OwnerNextWrite(share.get(), &owner, out, sizeof out, 0)) << "what it left went out";
    EXPECT_EQ(3u, ShareClaimSlot(share.get(), TRUE, 999)) << "once the owner dropped it";

    /* An input's slot, used and given back, is taken again, from what arrives next. */
    const BYTE in[] = {0xF8, 0xF8};
    SharePutInput(share.get(), in, 2, 0);
    ASSERT_EQ(0u, ShareClaimSlot(share.get(), FALSE, 500));
    DWORD time;
    BOOL lost;
    BYTE got[2];
    EXPECT_EQ(0u, ShareTakeInput(share.get(), &share->aIn[0], got, 2, &time, &lost)) << "what came before the claim";
    SharePutInput(share.get(), in, 1, 0);
    EXPECT_EQ(1u, ShareTakeInput(share.get(), &share->aIn[0], got, 2, &time, &lost));
    ShareFreeSlot(&share->aIn[0], 500);
    EXPECT_EQ(0u, ShareClaimSlot(share.get(), FALSE, 501)) << "a used input slot given back";
}

TEST(SharedOutputRing, HoldsWhatFitsAndRefusesMore)
{
    auto share = std::make_unique<SHAREDPORT>();
    std::vector<BYTE> big(kShareOutRing - 2, 0x01);
    EXPECT_TRUE(SharePut(&share->aOut[0], big.data(), (DWORD)big.size()));
    const BYTE note[] = {0x90, 0x3C, 0x40};
    EXPECT_FALSE(SharePut(&share->aOut[0], note, 3)) << "a message that does not fit whole";
    share->aOut[0].dwTail = 2;
    EXPECT_TRUE(SharePut(&share->aOut[0], note, 3)) << "once the owner took some, across the ring's end";
}

/* Every program's input takes every received byte with the stamp of the
   read that took it; one that fell too far behind hears of the loss. */
TEST(SharedInput, EachProgramTakesEveryByteWithItsReadsStamp)
{
    auto share = std::make_unique<SHAREDPORT>();
    const BYTE a[] = {0x90, 0x3C, 0x40}, b[] = {0xF8};
    SharePutInput(share.get(), a, 3, 500);
    SharePutInput(share.get(), b, 1, 501);
    for (SHARESLOT *in : {&share->aIn[0], &share->aIn[1]}) {
        BYTE got[8];
        DWORD time = 0;
        BOOL lost = TRUE;
        ASSERT_EQ(3u, ShareTakeInput(share.get(), in, got, sizeof got, &time, &lost));
        EXPECT_EQ("90 3C 40", Hex(got, 3));
        EXPECT_EQ(500u, time);
        EXPECT_FALSE(lost);
        ASSERT_EQ(1u, ShareTakeInput(share.get(), in, got, sizeof got, &time, &lost));
        EXPECT_EQ(501u, time);
        EXPECT_EQ(0u, ShareTakeInput(share.get(), in, got, sizeof got, &time, &lost));
    }

    std::vector<BYTE> flood(kShareInRing, 0xFE);
    SharePutInput(share.get(), flood.data(), (DWORD)flood.size(), 600);
    BYTE got[8];
    DWORD time = 0;
    BOOL lost = FALSE;
    EXPECT_EQ(0u, ShareTakeInput(share.get(), &share->aIn[0], got, sizeof got, &time, &lost));
    EXPECT_TRUE(lost) << "a whole ring behind";
    SharePutInput(share.get(), b, 1, 700);
    EXPECT_EQ(1u, ShareTakeInput(share.get(), &share->aIn[0], got, sizeof got, &time, &lost));
    EXPECT_FALSE(lost) << "and goes on from there";
}

/* A shared port's objects carry the logon session and the port in their
   names and are made with a descriptor for this user alone; where no owner
   can be started, the open fails as any other and leaves nothing behind.
   (The simulation is one process: the owner's own run is checked under
   Wine.) */
class SharedPort : public serial_test::PortTest
{
};

TEST_F(SharedPort, ObjectsAreThisUsersAndThisSessionsAndAFailedStartLeavesNothing)
{
    sim::SeedDword(serial_test::kDevice0Key, u"Shared", 1);
    midCritInit();
    EXPECT_EQ(1, serial_test::OpenPortNumber(7));
    std::vector<std::string> names;
    for (const sim::SharedObject &o : sim::SharedObjects()) {
        names.push_back(o.name);
        EXPECT_TRUE(o.userOnly) << o.name << " made without a descriptor for this user alone";
    }
    EXPECT_EQ((std::vector<std::string>{"Local\\tolvex.1.com7.lock", "Local\\tolvex.1.com7.map",
                                        "Local\\tolvex.1.com7.work", "Local\\tolvex.1.com7.ready"}),
              names);
    EXPECT_EQ((std::vector<std::string>{"\"C:\\windows\\system32\\rundll32.exe\" "
                                        "\"C:\\windows\\system32\\tolvex.dll\",PortOwner 0"}),
              sim::ProcessesStarted());
    EXPECT_EQ(0u, sim::CreateFileCalls().size()) << "a shared port is its owner's to open";
    EXPECT_EQ(0, sim::OpenMappings());
    ExpectAllGivenBack();
}

} // namespace
