/*
 * Several programs on COM1 shared, each a process of this host: the items
 * of program k's output on channel k with its own exclusive maker, counted
 * as messages with their status written out, so that tools/soak can find
 * each program's stream on the line; the owner process's record; and the
 * modes hold (both devices open until told) and rounds (open and close
 * over and over, the resources of this process and of the owner before
 * and after).
 */
#include "soak_common.h"

#include "serial/share.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int gProgram = -1;
int gPrograms = 1;

namespace
{
constexpr BYTE kOwnMaker = 0x70;     /* program k's exclusive messages: F0 70+k */
constexpr int kWarmRounds = 5;       /* rounds before the first sample: first opens fill the platform's caches */
constexpr SIZE_T kHeapSlack = 16384; /* bytes the heaps may move by without a leak: 32 bytes a round is 4000 */
constexpr DWORD kOwnerLooksMs = 300; /* the owner has looked at the slots a few times: it does every 50 ms */
constexpr int kOwnerCounts = 5;      /* the owner's handles counted this often, kOwnerLooksMs apart */

/* The messages of this program's output, status written out, real-time left out. */
struct Sent {
    BYTE running, msg[3];
    int have, need;
    bool sysex;
    uint32_t crc;
    long long bytes;
} gSent;

int Length(BYTE status) { return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3; }

void Counted(const BYTE *p, size_t n)
{
    gSent.crc = Crc(gSent.crc, p, n);
    gSent.bytes += (long long)n;
}

/* The fewest of a few counts: a handle that comes and goes is not a leak,
   which stays in every count. */
DWORD OwnerHandles()
{
    DWORD fewest = MAXDWORD;
    for (int i = 0; i < kOwnerCounts; i++) {
        Sleep(kOwnerLooksMs);
        fewest = std::min(fewest, CountHandles(OwnerPid()));
    }
    return fewest;
}

void CALLBACK CountIn(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

bool OpenBoth()
{
    bool ok = Open(gMod, MODM_OPEN, (DWORD_PTR)OutputProc) == MMSYSERR_NOERROR;
    ok = Open(gMid, MIDM_OPEN, (DWORD_PTR)CountIn) == MMSYSERR_NOERROR && ok;
    gMid(0, MIDM_START, 0, 0, 0);
    return ok;
}

void CloseBoth()
{
    gMid(0, MIDM_RESET, 0, 0, 0);
    gMid(0, MIDM_CLOSE, 0, 0, 0);
    gMod(0, MODM_CLOSE, 0, 0, 0);
}
} // namespace

void WaitGo(const char *said)
{
    printf("%s\n", said);
    fflush(stdout);
    char c;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1 && c != '\n') {
    }
}

DWORD OwnerPid()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::wstring name = L"Local\\tolvex." + std::to_wstring(session) + L".com1.map";
    HANDLE map = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    const SHAREDPORT *p =
        map ? static_cast<const SHAREDPORT *>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, sizeof(SHAREDPORT))) : nullptr;
    DWORD pid = p && p->dwOwnerState == kOwnerRunning ? p->dwOwnerPid.load() : 0;
    if (p)
        UnmapViewOfFile(p);
    if (map)
        CloseHandle(map);
    return pid;
}

bool OwnItem(uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        BYTE b = bytes[i];
        if (b > 0xF0 && b < 0xF7)
            return false;
        if (b >= 0x80 && b < 0xF0)
            bytes[i] = (BYTE)((b & 0xF0) | gProgram);
        if (b == 0xF0 && i + 1 < count)
            bytes[i + 1] = (BYTE)(kOwnMaker + gProgram);
    }
    return true;
}

void CountSent(const uint8_t *bytes, size_t count)
{
    Sent &s = gSent;
    for (size_t i = 0; i < count; i++) {
        BYTE x = bytes[i];
        if (x >= 0xF8)
            continue;
        if (s.sysex || x == 0xF0) {
            Counted(&x, 1);
            s.sysex = x != 0xF7;
            s.running = 0;
            continue;
        }
        if (x >= 0x80) {
            s.running = x;
            s.have = 0;
            continue;
        }
        if (s.have == 0) {
            s.msg[s.have++] = s.running;
            s.need = Length(s.running);
        }
        s.msg[s.have++] = x;
        if (s.have == s.need) {
            Counted(s.msg, (size_t)s.need);
            s.have = 0;
        }
    }
}

void SayOutput()
{
    printf("OUTPUT %d %lld %08x\n", gProgram, gSent.bytes, gSent.crc);
    fflush(stdout);
}

void Hold()
{
    bool ok = OpenBoth();
    Report(ok, "open", "both devices did not open");
    WaitGo("HOLDING"); /* until the measured program is done */
    CloseBoth();
}

void Rounds(int rounds)
{
    ResourcesInit();
    bool ok = OpenBoth();
    WaitGo("READY");
    int failed = 0;
    for (int r = 0; r < kWarmRounds; r++) {
        CloseBoth();
        failed += !OpenBoth();
    }
    WaitGo("WARM"); /* every program holds both devices */
    DWORD owner = gProgram == 0 ? OwnerHandles() : 0;
    DWORD handles = CountHandles(GetCurrentProcessId());
    SIZE_T heap = HeapBytes();
    long long start = NowNs();
    for (int r = 0; r < rounds; r++) {
        CloseBoth();
        failed += !OpenBoth();
        gMod(0, MODM_DATA, 0, (DWORD)(0x90 | gProgram) | 0x3C00 | 0x400000, 0);
    }
    double took = Seconds(start);
    WaitGo("DONE"); /* every program holds both devices again */
    DWORD ownerAfter = gProgram == 0 ? OwnerHandles() : 0;
    DWORD handlesAfter = CountHandles(GetCurrentProcessId());
    SIZE_T heapAfter = HeapBytes();
    Info("program %d: %d rounds in %.1f s; handles %lu -> %lu; heap in use %zu -> %zu bytes", gProgram, rounds, took,
         (unsigned long)handles, (unsigned long)handlesAfter, (size_t)heap, (size_t)heapAfter);
    Report(ok && failed == 0, "opened", "%d of %d opens failed", failed + !ok, rounds + kWarmRounds + 1);
    Report(handlesAfter <= handles, "handles-flat", "%lu handles before, %lu after", (unsigned long)handles,
           (unsigned long)handlesAfter);
    Report(heapAfter <= heap + kHeapSlack, "heap-flat", "%zu bytes in use before, %zu after", (size_t)heap,
           (size_t)heapAfter);
    if (gProgram == 0) {
        Info("the owner's handles with every program holding both devices: %lu before the rounds, %lu after",
             (unsigned long)owner, (unsigned long)ownerAfter);
        Report(owner > 0 && ownerAfter <= owner, "owner-handles-flat", "%lu before, %lu after", (unsigned long)owner,
               (unsigned long)ownerAfter);
    }
    CloseBoth();
}
