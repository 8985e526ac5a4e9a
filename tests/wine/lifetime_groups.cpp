/*
 * Groups on the library's lifetime with devices open: both devices sharing the
 * port, FreeLibrary with both open, and a client exception unwinding through
 * the library's frames.
 */
#include "groups.h"

#include <setjmp.h>

/* Both devices on one port: each close leaves the other working. */
void GroupShared()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    if (!OpenBoth()) {
        FreeLibrary(gLib);
        return;
    }
    Sleep(100); /* let a few polls take whatever an earlier run left in the port */
    SimClear();
    ClearEvents();
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    SimSend(0, Bytes({0x80, 0x3C, 0x00}));
    std::vector<BYTE> wire = SimWire();
    std::vector<Event> ev = WaitEvents(1);
    Report(wire == Bytes({0x90, 0x3C, 0x40}) && ev.size() == 1 && ev[0].p1 == 0x003C80, "both-ways",
           "expected 903c40 out and MIM_DATA 0x3c80 in, got %s and %s", Hex(wire).c_str(), Describe(ev).c_str());

    gMod(0, MODM_CLOSE, 0, 0, 0);
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x3E, 0x40}));
    ev = WaitEvents(1);
    Report(ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x403E90, "input-survives-output-close",
           "expected MIM_DATA 0x403e90, got %s", Describe(ev).c_str());

    DWORD o = OpenDevice(gMod, MODM_OPEN);
    gMid(0, MIDM_CLOSE, 0, 0, 0);
    SimClear();
    gMod(0, MODM_DATA, 0, 0x403F90, 0);
    wire = SimWire();
    Report(o == 0 && wire == Bytes({0x90, 0x3F, 0x40}), "output-survives-input-close",
           "expected 0 and 903f40, got %lu and %s", (unsigned long)o, Hex(wire).c_str());
    gMod(0, MODM_CLOSE, 0, 0, 0);

    /* All closed: the poll has stopped, nothing arrives. */
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x30, 0x40}));
    ev = WaitEvents(1, 200);
    Report(ev.empty(), "quiet-when-closed", "expected nothing, got %s", Describe(ev).c_str());
    FreeLibrary(gLib);
}

/* FreeLibrary with both devices open: the process keeps running. */
void GroupUnload()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    OpenBoth();
    SimSend(0, Bytes({0x90, 0x3C, 0x40}));
    SimSend(30, Bytes({0x80, 0x3C, 0x00}));
    Sleep(20);
    BOOL freed = FreeLibrary(gLib);
    HMODULE still = GetModuleHandleW(L"TOLVEX.dll");
    SimSend(20, Bytes({0x90, 0x3C, 0x40}));
    Sleep(250); /* 25 poll periods: a timer left behind would have fired */
    /* Reaching this line at all is the point: the runner fails a group that ends without "END". */
    Report(freed && still == nullptr, "freed-and-survives", "expected the library gone, got FreeLibrary %d, module %p",
           freed, (void *)still);

    /* The port was given back: a new load opens it again and writes. */
    if (Load()) {
        SimClear();
        DWORD o = OpenDevice(gMod, MODM_OPEN);
        gMod(0, MODM_DATA, 0, 0x403C90, 0);
        std::vector<BYTE> wire = SimWire();
        Report(o == 0 && wire == Bytes({0x90, 0x3C, 0x40}), "reload-opens-port", "expected 0 and 903c40, got %lu %s",
               (unsigned long)o, Hex(wire).c_str());
        gMod(0, MODM_CLOSE, 0, 0, 0);
        FreeLibrary(gLib);
    } else {
        Report(false, "reload-opens-port", "LoadLibrary failed");
    }
}

namespace
{
/* A client's exception, raised in its callback and caught around the
   request, must come back through the library's frames and winmm's
   DriverCallback, with nothing on the way swallowing it. MOM_DONE comes from
   deep inside a guarded request.
   64-bit: a C++ throw, which unwinds by every frame's unwind tables, the
   library's included.
   32-bit: a structured exception, taken by a frame-based handler around the
   request. That is what a 32-bit client's C++ throw is on Windows (MSVC
   raises one and walks the handler chain, which asks nothing of the frames
   in between); the library passes it as long as it neither catches it nor
   breaks the chain. This host's own g++ throw cannot be the check there:
   Debian's i686 mingw unwinds by DWARF-2 tables and calls terminate() at the
   first frame it has none for (DriverCallback, the library), so a client
   built that way gets no exception back through any driver. */
#if defined(__i386__)
constexpr DWORD kClientException = 0xE0C11E17; /* what the callback raises (customer bit set) */

struct ClientHandler {
    EXCEPTION_REGISTRATION_RECORD record; /* first: the chain links to it */
    jmp_buf resume;                       /* where the handler takes the client back to */
    volatile DWORD code;                  /* the exception that reached the handler */
};

EXCEPTION_DISPOSITION NTAPI TakeClientException(EXCEPTION_RECORD *rec, PVOID frame, CONTEXT *, PVOID)
{
    if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    ClientHandler *h = (ClientHandler *)frame;
    h->code = rec->ExceptionCode;
    longjmp(h->resume, 1); /* the C library's: it first unwinds the chain down to our record, as __except does */
}

void CALLBACK ThrowingProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MOM_DONE)
        RaiseException(kClientException, 0, 0, nullptr);
}

/* The request under a handler of the client's own: the exception's code, 0 for none. */
DWORD LongDataCatching(MIDIHDR *hdr)
{
    NT_TIB *tib;
    __asm__("movl %%fs:0x18, %0" : "=r"(tib)); /* the block's Self field (NtCurrentTeb trips -Warray-bounds) */
    ClientHandler h = {};
    h.record.Handler = TakeClientException;
    h.record.Next = tib->ExceptionList;
    tib->ExceptionList = &h.record;
    if (setjmp(h.resume) == 0)
        gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)hdr, sizeof *hdr);
    tib->ExceptionList = h.record.Next;
    return h.code;
}

const char kUnwindWant[] = "expected open 0 and the client's structured exception e0c11e17 back at its handler";
bool CameBack(DWORD code) { return code == kClientException; }
#else
void CALLBACK ThrowingProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MOM_DONE)
        throw 42;
}

DWORD LongDataCatching(MIDIHDR *hdr)
{
    try {
        gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)hdr, sizeof *hdr);
    } catch (int v) {
        return (DWORD)v;
    }
    return 0;
}

const char kUnwindWant[] = "expected open 0 and the client's C++ exception 42 caught";
bool CameBack(DWORD code) { return code == 42; }
#endif
} // namespace

void GroupUnwind()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    MIDIOPENDESC desc = {};
    desc.dwCallback = (DWORD_PTR)ThrowingProc;
    DWORD r = gMod(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    BYTE data[] = {0xF0, 0x01, 0xF7};
    MIDIHDR hdr = {};
    hdr.lpData = (LPSTR)data;
    hdr.dwBufferLength = sizeof data;
    hdr.dwFlags = MHDR_PREPARED;
    DWORD caught = LongDataCatching(&hdr);
    Report(r == 0 && CameBack(caught), "through-the-library", "%s, got %lu, %lx", kUnwindWant, (unsigned long)r,
           (unsigned long)caught);
    gMod(0, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
}
