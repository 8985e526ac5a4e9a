/*
 * A shared port under Wine: four programs (two of each bitness where both
 * run) open COM1 through one owner process; their streams reach the line
 * whole and in their own order, and every input takes the whole of the
 * module's stream. A program killed inside its exclusive message, and the
 * owner killed, cost the others what the design promises and no more; the
 * 17th open is refused; the owner ends about 2 s after the last close.
 */
#include "groups.h"
#include "sharing.h"

#include "serial/share.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr int kPrograms = 4;
constexpr int kMorePrograms = 13;  /* with the four's three that are left: 16 */
constexpr DWORD kPlayWait = 30000; /* ms for a program to play its stream */
constexpr DWORD kGoOnMs = 100;     /* the others' output goes on within this of a kill */
constexpr DWORD kReturnMs = 2500;  /* a killed owner's port comes back by itself within this */
constexpr DWORD kLingerMin = 1500; /* the owner ends about 2 s after the last close: not before this */
constexpr DWORD kLingerMax = 4000; /* nor after this */
constexpr DWORD kHeldMs = 100;     /* ms the line is watched, held for a program's exclusive, before the kill */

/* COM1's shared record, mapped for reading while it is in scope. */
struct Record {
    HANDLE map = OpenFileMappingW(FILE_MAP_READ, FALSE, ObjectName(L"map").c_str());
    const SHAREDPORT *p =
        map ? static_cast<const SHAREDPORT *>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, sizeof(SHAREDPORT))) : nullptr;
    ~Record()
    {
        if (p)
            UnmapViewOfFile(p);
        if (map)
            CloseHandle(map);
    }
    int Slots(DWORD pid) const
    {
        int n = 0;
        for (UINT k = 0; p && k < kShareSlots; k++)
            n += (p->aOut[k].dwPid == pid) + (p->aIn[k].dwPid == pid);
        return n;
    }
    DWORD Owner() const { return p && p->dwOwnerState == kOwnerRunning ? p->dwOwnerPid.load() : 0; }
};

/* Each program's messages on the line against its stream. */
void CheckLine(const std::vector<BYTE> &wire)
{
    std::vector<std::vector<BYTE>> per[kPrograms];
    std::string why = Attribute(wire, per, kPrograms);
    for (int k = 0; k < kPrograms && why.empty(); k++) {
        std::vector<std::vector<BYTE>> want = ShareStream(k);
        size_t d = 0;
        while (d < want.size() && d < per[k].size() && want[d] == per[k][d])
            d++;
        if (d != want.size() || per[k].size() != want.size())
            why = "program " + std::to_string(k) + ": " + std::to_string(per[k].size()) + " messages for " +
                  std::to_string(want.size()) + ", the first difference at message " + std::to_string(d);
    }
    Report(why.empty(), "line-whole-in-order", "expected each program's stream whole and in its order (%zu bytes): %s",
           wire.size(), why.c_str());
}
} // namespace

namespace
{
/* The named objects carry the session and the port, and each has a
   descriptor whose one entry is this user's: what Wine keeps of it. The
   lock is there only while a join or an owner's end holds it. */
void CheckObjects()
{
    BYTE user[256];
    DWORD cb = 0;
    HANDLE token = nullptr;
    bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
              GetTokenInformation(token, TokenUser, user, sizeof user, &cb);
    if (token)
        CloseHandle(token);
    PSID sid = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
    std::string why;
    for (const wchar_t *kind : {L"map", L"ready", L"work"}) {
        std::wstring name = ObjectName(kind);
        HANDLE h = kind[0] == L'm' ? OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, name.c_str())
                                   : OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, name.c_str());
        BYTE sd[1024];
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        void *ace = nullptr;
        bool got = h && GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, sd, sizeof sd, &cb) &&
                   GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) && present && acl;
        bool userOnly = got && ok && acl->AceCount == 1 && GetAce(acl, 0, &ace) &&
                        static_cast<ACE_HEADER *>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                        EqualSid(&static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart, sid);
        if (!h || !userOnly)
            why += " " + Utf8(name) +
                   (h ? got ? ": its DACL has " + std::to_string(acl->AceCount) + " entries, or not this user's"
                            : ": no DACL to read"
                      : ": not found");
        if (h)
            CloseHandle(h);
    }
    Report(why.empty(), "objects-named-and-user-only",
           "expected Local\\tolvex.<session>.com1.map, ready and work, each with one entry for this user:%s",
           why.c_str());
}

/* A program killed inside its exclusive message: the line gets the F7
   within kGoOnMs and the other's notes go on, and its slots come free. */
void KillInsideExclusive(Child &victim, Child &other, int otherChannel)
{
    gStage = "a program killed inside its exclusive";
    Ask(other, "notes on " + std::to_string(otherChannel));
    Sleep(kHeldMs);
    std::string half = Ask(victim, "half 0");
    Sleep(kHeldMs);
    SimClear();
    DWORD cleared = timeGetTime();
    Sleep(kHeldMs);
    DWORD killed = timeGetTime() - cleared;
    TerminateProcess(victim.process, kTerminated);
    WaitForSingleObject(victim.process, kWait);
    Sleep(4 * kGoOnMs);
    Ask(other, "notes off");
    std::vector<BYTE> wire = SimWire(kSettle);
    std::vector<double> times = SimTimes();
    std::vector<std::vector<BYTE>> per[kPrograms];
    std::vector<BYTE> rest(wire.begin() + std::min<size_t>(wire.size(), 1), wire.end());
    std::string why = Attribute(rest, per, kPrograms);
    bool whole = half == "half 0" && !wire.empty() && wire[0] == 0xF7 && why.empty() &&
                 per[otherChannel].size() * 3 >= rest.size() - 1 && !per[otherChannel].empty();
    double f7 = times.empty() ? -1 : times[0] - killed, next = times.size() > 1 ? times[1] - killed : -1;
    printf("INFO %s after the kill: F7 at %.1f ms, the other program's next byte at %.1f ms\n", gGroup.c_str(), f7,
           next);
    Report(whole && f7 >= -5 && f7 <= kGoOnMs && next >= 0 && next <= kGoOnMs, "killed-inside-exclusive",
           "expected the line held for the exclusive until the kill, then F7 and the other's notes within %lu ms; "
           "got %s, %zu bytes from %s, F7 %.1f ms and the next %.1f ms after the kill (%s)",
           (unsigned long)kGoOnMs, half.c_str(), wire.size(),
           Hex(std::vector<BYTE>(wire.begin(), wire.begin() + std::min<size_t>(wire.size(), 8))).c_str(), f7, next,
           why.c_str());
    Record r;
    Report(r.p && r.Slots(victim.pid) == 0, "killed-programs-slots-free", "expected no slot of process %lu, got %d",
           (unsigned long)victim.pid, r.Slots(victim.pid));
}
} // namespace

namespace
{
/* The owner killed: every input hears of it once and takes the module's
   stream again within kReturnMs, with a new owner; output goes on. */
void KillOwner(std::vector<Child *> left)
{
    gStage = "the owner killed";
    for (Child *c : left)
        Ask(*c, "clear");
    SimAsk("STREAM ON");
    Sleep(3 * kHeldMs);
    DWORD owner = Record().Owner();
    HANDLE h = owner ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, owner) : nullptr;
    DWORD killed = timeGetTime();
    bool gone = h && TerminateProcess(h, kTerminated) && WaitForSingleObject(h, kWait) == WAIT_OBJECT_0;
    if (h)
        CloseHandle(h);
    Sleep(kReturnMs + 5 * kHeldMs);
    SimAsk("STREAM OFF");
    Sleep(kHeldMs);
    std::string why;
    for (Child *c : left) {
        long received = 0, gaps = 0, errors = 0;
        int first = 0;
        unsigned long errorAt = 0, backAt = 0;
        std::string a = Ask(*c, "stats");
        sscanf(a.c_str(), "stats %ld %ld %ld %d %lu %lu", &received, &gaps, &errors, &first, &errorAt, &backAt);
        long back = backAt ? (long)(backAt - killed) : -1;
        printf("INFO %s process %lu: %ld error(s), the stream back %ld ms after the owner was killed\n", gGroup.c_str(),
               (unsigned long)c->pid, errors, back);
        if (errors != 1 || back < 0 || back > (long)kReturnMs)
            why += " process " + std::to_string(c->pid) + ": " + a;
    }
    DWORD now = Record().Owner();
    Report(gone && why.empty() && now != 0 && now != owner, "owner-killed-one-error-and-back",
           "expected the owner %lu killed, one MIM_ERROR for each input, the stream back within %lu ms and a new "
           "owner; got killed %d, new owner %lu:%s",
           (unsigned long)owner, (unsigned long)kReturnMs, gone, (unsigned long)now, why.c_str());
    SimClear();
    std::string r = Ask(*left[1], "note 2");
    std::vector<BYTE> wire = SimWire();
    Report(r == "ok 0" && wire == Bytes({0x92, 0x3C, 0x40}), "output-after-owner-killed",
           "expected 923c40 on the wire, got %s (%s)", Hex(wire).c_str(), r.c_str());
}

/* 16 opens of each direction in 16 processes, and the 17th, this one's. */
void SeventeenthOpen(std::vector<Child> &more, const std::wstring &host)
{
    gStage = "the 17th open";
    int opened = 0;
    for (Child &c : more)
        opened += Ready(c, host, gDllPath) && Ask(c, "open") == "open 0 0";
    if (!LoadOrReport())
        return;
    DWORD o = OpenDevice(gMod, MODM_OPEN), i = OpenDevice(gMid, MIDM_OPEN);
    std::string closed = Ask(more[0], "close");
    DWORD o2 = OpenDevice(gMod, MODM_OPEN), i2 = OpenDevice(gMid, MIDM_OPEN);
    Report(opened == kMorePrograms && o == MMSYSERR_ALLOCATED && i == MMSYSERR_ALLOCATED && closed == "closed 0 0" &&
               o2 == 0 && i2 == 0,
           "seventeenth-open-refused",
           "expected %d more programs open (16 in all), the 17th output and input refused with %d, and both open "
           "once one closed; got %d open, %lu and %lu, then %s, %lu and %lu",
           kMorePrograms, MMSYSERR_ALLOCATED, opened, (unsigned long)o, (unsigned long)i, closed.c_str(),
           (unsigned long)o2, (unsigned long)i2);
    gMid(0, MIDM_CLOSE, 0, 0, 0);
    gMod(0, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
}
} // namespace

void GroupSharing()
{
    StoreComId(1);
    StoreDevice0(L"Shared", 1);
    bool wide = sizeof(void *) == 8;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    /* The 32-bit build's groups run in a 32-bit prefix, where no 64-bit program runs. */
    std::wstring host = self, otherHost = wide ? Env("TOLVEX_HOST32") : L"", otherDll = Env("TOLVEX_DLL32");

    /* Two of this build, two of the 32-bit one where it runs, else of this one. */
    Child four[kPrograms];
    int started = 0, other = 0;
    for (int k = 0; k < kPrograms; k++) {
        bool mixed = k >= kPrograms / 2 && Ready(four[k], otherHost, otherDll);
        other += mixed;
        started += mixed || Ready(four[k], host, gDllPath);
    }
    Report(started == kPrograms, "four-programs-start", "expected %d programs, got %d", kPrograms, started);
    if (!otherHost.empty())
        Report(other == kPrograms / 2, "mixed-bitness", "expected %d programs of the other build, got %d",
               kPrograms / 2, other);
    else
        printf("SKIP %s.mixed-bitness: %s; four %d-bit programs share the port\n", gGroup.c_str(),
               wide ? "32-bit programs cannot run here" : "a 32-bit prefix runs no 64-bit program", wide ? 64 : 32);
    std::string opens;
    for (Child &c : four)
        opens += c.process ? Ask(c, "open") + "," : "none,";
    Report(opens == "open 0 0,open 0 0,open 0 0,open 0 0,", "four-open", "expected 0 and 0 each, got %s",
           opens.c_str());
    if (started == kPrograms && opens == "open 0 0,open 0 0,open 0 0,open 0 0,") {
        CheckObjects();
        {
            Record r;
            DWORD owner = r.Owner();
            std::wstring name;
            HANDLE h = owner ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner) : nullptr;
            wchar_t path[MAX_PATH] = L"";
            DWORD size = MAX_PATH;
            if (h && QueryFullProcessImageNameW(h, 0, path, &size))
                name = path;
            if (h)
                CloseHandle(h);
            int slots = 0;
            for (Child &c : four)
                slots += r.Slots(c.pid);
            Report(name.size() > 12 && _wcsicmp(name.c_str() + name.size() - 12, L"rundll32.exe") == 0 &&
                       slots == 2 * kPrograms,
                   "owner-and-slots",
                   "expected a rundll32.exe owner and one slot each way for each program, got "
                   "owner %lu (%s) and %d slots",
                   (unsigned long)owner, Utf8(name).c_str(), slots);
        }

        gStage = "four streams";
        SimClear();
        SimAsk("STREAM ON");
        for (int k = 0; k < kPrograms; k++)
            Tell(four[k], "play " + std::to_string(k));
        std::string played;
        for (Child &c : four)
            played += Hear(c, kPlayWait) + ",";
        SimAsk("STREAM OFF");
        Sleep(3 * kHeldMs);
        CheckLine(SimWire(3 * kSettle));
        std::string stats;
        bool whole = true;
        long count = -1;
        for (Child &c : four) {
            long received = -1, gaps = -1, errors = -1;
            int first = -1;
            std::string a = Ask(c, "stats");
            sscanf(a.c_str(), "stats %ld %ld %ld %d", &received, &gaps, &errors, &first);
            stats += (stats.empty() ? "" : ", ") + a;
            count = count < 0 ? received : count;
            whole = whole && received > 0 && received == count && gaps == 0 && errors == 0 && first == 0;
        }
        Report(whole, "inputs-whole-stream",
               "expected every input to take the whole of the module's stream from its first message, the same "
               "count each, no gap, no error; got %s (played: %s)",
               stats.c_str(), played.c_str());

        KillInsideExclusive(four[0], four[1], 1);
        KillOwner({&four[1], &four[2], &four[3]});

        std::vector<Child> more(kMorePrograms);
        SeventeenthOpen(more, host);
        gStage = "the last close";
        DWORD owner = Record().Owner();
        HANDLE h = owner ? OpenProcess(SYNCHRONIZE, FALSE, owner) : nullptr;
        for (Child &c : more) {
            Ask(c, "close");
            End(c);
        }
        for (Child &c : four) {
            Ask(c, "close");
            End(c);
        }
        DWORD last = timeGetTime();
        bool ended = h && WaitForSingleObject(h, kLingerMax + kWait) == WAIT_OBJECT_0;
        DWORD after = timeGetTime() - last;
        bool gone = Record().map == nullptr;
        printf("INFO %s the owner ended %lu ms after the last close\n", gGroup.c_str(), (unsigned long)after);
        Report(ended && after >= kLingerMin && after <= kLingerMax && gone, "owner-ends-after-last-close",
               "expected the owner %lu to end %lu to %lu ms after the last close, its record with it; got ended %d "
               "after %lu ms, record gone %d",
               (unsigned long)owner, (unsigned long)kLingerMin, (unsigned long)kLingerMax, ended, (unsigned long)after,
               gone);
        if (h) {
            TerminateProcess(h, kTerminated); /* never left holding the port for the groups after this one */
            CloseHandle(h);
        }
    }
    for (Child &c : four)
        End(c);
    StoreDevice0(L"Shared", -1);
}
