/*
 * The soak host's watch on the process: open handles, bytes in use in its
 * heaps and its memory counters, sampled through the run and required to
 * stay flat after a warm-up.
 */
#include "soak_stream.h"

#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace
{
/* The process's open handles. Wine answers GetProcessHandleCount with 0, so
   they are counted in the system's handle list, which it does keep. */
typedef LONG(WINAPI *QuerySystemFn)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr size_t kHandleListBytes = 4 << 20;
struct HandleEntry {
    ULONG pid;
    BYTE type, flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
std::vector<BYTE> gHandleBuf;
} // namespace

const char *gHandleMethod = "GetProcessHandleCount";

/* Another process's count needs the handle list: for it, 0 without one. */
DWORD CountHandles(DWORD pid)
{
    static QuerySystemFn query =
        (QuerySystemFn)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (query) {
        ULONG need = 0;
        LONG st = query(kSystemHandleInformation, gHandleBuf.data(), (ULONG)gHandleBuf.size(), &need);
        if (st == 0) {
            ULONG n = *(ULONG *)gHandleBuf.data();
            const HandleEntry *e = (const HandleEntry *)(gHandleBuf.data() + sizeof(ULONG_PTR));
            DWORD mine = 0;
            for (ULONG i = 0; i < n; i++)
                mine += e[i].pid == pid;
            gHandleMethod = "the system handle list";
            return mine;
        }
    }
    DWORD count = 0;
    if (pid == GetCurrentProcessId())
        GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

/* Bytes in use in every heap of the process: what a leak would add to. */
SIZE_T HeapBytes()
{
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    SIZE_T busy = 0;
    for (DWORD i = 0; i < n && i < 64; i++) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY e = {};
        while (HeapWalk(heaps[i], &e))
            if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                busy += e.cbData;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

void ResourcesInit() { gHandleBuf.resize(kHandleListBytes); }

Sample TakeSample(long long start)
{
    Sample s = {Seconds(start), CountHandles(GetCurrentProcessId()), HeapBytes(), 0, 0, 0};
    if (gProgram == 0)
        s.ownerHandles = CountHandles(OwnerPid());
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
        s.virtualBytes = pmc.PagefileUsage;
        s.workingSet = pmc.WorkingSetSize;
    }
    return s;
}

/* After a warm-up (a fifth of the run, at least 2 s), the last samples hold
   no more than the first ones did. Three of each, so that a handle or block
   that comes and goes does not count. */
void ReportResources(const std::vector<Sample> &samples, double ran)
{
    double warm = std::max(2.0, ran / 5);
    std::vector<Sample> kept;
    for (const Sample &s : samples)
        if (s.at >= warm)
            kept.push_back(s);
    if (kept.size() < 6) {
        Report(false, "resources-sampled", "the run was too short to sample after a warm-up");
        return;
    }
    Sample first = kept[0], last = kept.back();
    DWORD maxHandles = 0;
    for (size_t i = 0; i < kept.size(); i++) {
        const Sample &s = kept[i];
        maxHandles = std::max(maxHandles, s.handles);
        if (i < 3) {
            first.handles = std::max(first.handles, s.handles);
            first.heapBytes = std::max(first.heapBytes, s.heapBytes);
            first.virtualBytes = std::max(first.virtualBytes, s.virtualBytes);
            first.ownerHandles = std::max(first.ownerHandles, s.ownerHandles);
        }
        if (i + 3 >= kept.size()) {
            last.handles = std::min(last.handles, s.handles);
            last.heapBytes = std::min(last.heapBytes, s.heapBytes);
            last.virtualBytes = std::min(last.virtualBytes, s.virtualBytes);
            last.ownerHandles = std::min(last.ownerHandles, s.ownerHandles);
        }
    }
    /* The shape, for a person: a step is not a slope. */
    std::string shape;
    double every = std::max(1.0, std::floor(ran / 10));
    double next = 0;
    for (const Sample &s : samples) {
        if (s.at + 0.5 < next)
            continue;
        char part[64];
        snprintf(part, sizeof part, " %.0fs:%lu/%zu/%zu", s.at, (unsigned long)s.handles, (size_t)s.heapBytes / 1024,
                 (size_t)s.virtualBytes / 1024);
        shape += part;
        next = s.at + every;
    }
    Info("samples (s:handles/heap KB/pagefile KB):%s", shape.c_str());
    Info("resources from %.0f s to %.0f s: handles (%s) %lu -> %lu (max %lu); heap in use %zu -> %zu KB; "
         "pagefile usage %zu -> %zu KB; working set %zu -> %zu KB",
         first.at, last.at, gHandleMethod, (unsigned long)first.handles, (unsigned long)last.handles,
         (unsigned long)maxHandles, (size_t)first.heapBytes / 1024, (size_t)last.heapBytes / 1024,
         (size_t)first.virtualBytes / 1024, (size_t)last.virtualBytes / 1024, (size_t)first.workingSet / 1024,
         (size_t)last.workingSet / 1024);
    Report(first.handles > 0 && last.handles <= first.handles, "handles-flat",
           "handle count %lu at first, %lu at the end", (unsigned long)first.handles, (unsigned long)last.handles);
    if (gProgram == 0) {
        Info("the owner's handles from %.0f s to %.0f s: %lu -> %lu", first.at, last.at,
             (unsigned long)first.ownerHandles, (unsigned long)last.ownerHandles);
        Report(first.ownerHandles > 0 && last.ownerHandles <= first.ownerHandles, "owner-handles-flat",
               "the owner's handle count %lu at first, %lu at the end", (unsigned long)first.ownerHandles,
               (unsigned long)last.ownerHandles);
    }
    constexpr SIZE_T kSlack = 64 * 1024; /* the heap's own bookkeeping, far below a leak per message */
    Report(last.heapBytes <= first.heapBytes + kSlack, "heap-flat", "heap in use rose from %zu KB to %zu KB",
           (size_t)first.heapBytes / 1024, (size_t)last.heapBytes / 1024);
    Report(last.virtualBytes <= first.virtualBytes + 4 * kSlack, "memory-flat",
           "pagefile usage rose from %zu KB to %zu KB", (size_t)first.virtualBytes / 1024,
           (size_t)last.virtualBytes / 1024);
}
