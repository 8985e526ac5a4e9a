/*
 * What the soak watches of a process, and the CRC it checks bytes by: open
 * handles (from the system's handle list, since Wine answers
 * GetProcessHandleCount with 0), bytes in use in every heap, CRC-32.
 */
#include "soak_common.h"

namespace
{
uint32_t gCrcTable[256];

typedef LONG(WINAPI *QuerySystemFn)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
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

void ResourcesInit() { gHandleBuf.resize(4 << 20); }

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

void CrcInit()
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        gCrcTable[n] = c;
    }
}

uint32_t Crc(uint32_t crc, const uint8_t *p, size_t n)
{
    crc = ~crc;
    while (n--)
        crc = gCrcTable[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
