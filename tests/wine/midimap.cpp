/*
 * A stand-in MIDI mapper, for the Wine suite only. Wine's winmm loads no
 * driver from Drivers32, but it does load its MIDI mapper, midimap.dll,
 * through OpenDriver (a native one in system32 with WINEDLLOVERRIDES=
 * midimap=n). This one hands every call on to TOLVEX.dll's device 0, so that
 * a program's midiOutOpen/midiInOpen(MIDI_MAPPER) and all that follows
 * reach the driver through winmm itself: tolvexctl's winmm road.
 *
 * What Wine's winmm (8.0) sends a mapper, as traced: DRV_LOAD, DRV_ENABLE
 * and DRV_OPEN at start-up, then DRVM_INIT and GETNUMDEVS for each kind with
 * device 0 (the count is the mapper's own, kept apart from the devices'),
 * and from then on device id -1, MIDI_MAPPER itself, which the driver
 * rightly refuses. So every call goes on as device 0, everything else
 * unchanged: the instance pointer, the MIDIOPENDESC with winmm's handle and
 * the client's callback and instance, the open flags. The driver then
 * notifies the client itself, exactly as it would through a Drivers32 entry.
 * One part of winmm is missing in Wine's: when a driver leaves preparing
 * headers to the system (MMSYSERR_NOTSUPPORTED, as TOLVEX.dll answers),
 * Windows' winmm prepares them itself, Wine's hands the answer back to the
 * program. The stand-in does winmm's part there.
 *
 * The driver is TOLVEX_MAPPER_DLL (a path) or tolvex.dll in the system
 * directory, where "tolvexctl install" puts it. TOLVEX_MAPPER_TRACE names a
 * file that gets one line per call, for finding out what winmm sends.
 */
#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>

#include <cstdarg>
#include <cstdio>

namespace
{
typedef DWORD(WINAPI *DeviceProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
typedef LRESULT(WINAPI *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

constexpr UINT kDriverDevice = 0; /* the driver's one device of each kind */

HMODULE gTarget;          /* the driver, loaded at the first call */
DriverProcFn gDriverProc; /* its exports */
DeviceProc gMod, gMid;

void Trace(const char *fmt, ...)
{
    static char path[MAX_PATH];
    if (!path[0] && !GetEnvironmentVariableA("TOLVEX_MAPPER_TRACE", path, sizeof path))
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    HANDLE f =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(f, line, n < (int)sizeof line ? (DWORD)n : sizeof line - 1, &written, nullptr);
    CloseHandle(f);
}

bool Target()
{
    if (gTarget)
        return true;
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TOLVEX_MAPPER_DLL", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        n = GetSystemDirectoryW(path, MAX_PATH - 12);
        if (n == 0 || n >= MAX_PATH - 12)
            return false;
        lstrcatW(path, L"\\tolvex.dll");
    }
    HMODULE lib = LoadLibraryW(path);
    if (!lib) {
        Trace("cannot load the driver (error %lu)\n", GetLastError());
        return false;
    }
    gDriverProc = (DriverProcFn)(void *)GetProcAddress(lib, "DriverProc");
    gMod = (DeviceProc)(void *)GetProcAddress(lib, "modMessage");
    gMid = (DeviceProc)(void *)GetProcAddress(lib, "midMessage");
    if (!gDriverProc || !gMod || !gMid) {
        FreeLibrary(lib);
        return false;
    }
    gTarget = lib;
    return true;
}

/* PREPARE or UNPREPARE: the driver's answer, or winmm's own work when the
   driver leaves it to the system. */
DWORD PrepareHeader(DeviceProc proc, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2, bool prepare)
{
    DWORD r = proc(kDriverDevice, msg, user, p1, p2);
    MIDIHDR *hdr = (MIDIHDR *)p1;
    if (r != MMSYSERR_NOTSUPPORTED || !hdr)
        return r;
    if (prepare)
        hdr->dwFlags |= MHDR_PREPARED;
    else if (hdr->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    else
        hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

void TraceOpen(const char *who, DWORD_PTR desc, DWORD_PTR flags)
{
    const MIDIOPENDESC *d = (const MIDIOPENDESC *)desc;
    if (d)
        Trace("%s open: hMidi %p callback %p instance %p flags %08lx\n", who, (void *)d->hMidi, (void *)d->dwCallback,
              (void *)d->dwInstance, (unsigned long)flags);
}
} // namespace

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR drv, UINT msg, LPARAM p1, LPARAM p2)
{
    Trace("DriverProc id %p msg %u p1 %p p2 %p\n", (void *)id, msg, (void *)p1, (void *)p2);
    if (!Target())
        return msg == DRV_LOAD || msg == DRV_OPEN ? 0 : DefDriverProc(id, drv, msg, p1, p2);
    return gDriverProc(id, drv, msg, p1, p2);
}

extern "C" DWORD WINAPI modMessage(UINT dev, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    Trace("modMessage dev %u msg %u user %p p1 %p p2 %p\n", dev, msg, (void *)user, (void *)p1, (void *)p2);
    if (msg == MODM_OPEN)
        TraceOpen("mod", p1, p2);
    if (!Target())
        return MMSYSERR_NODRIVER;
    if (msg == MODM_PREPARE || msg == MODM_UNPREPARE)
        return PrepareHeader(gMod, msg, user, p1, p2, msg == MODM_PREPARE);
    return gMod(kDriverDevice, msg, user, p1, p2);
}

extern "C" DWORD WINAPI midMessage(UINT dev, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    Trace("midMessage dev %u msg %u user %p p1 %p p2 %p\n", dev, msg, (void *)user, (void *)p1, (void *)p2);
    if (msg == MIDM_OPEN)
        TraceOpen("mid", p1, p2);
    if (!Target())
        return MMSYSERR_NODRIVER;
    if (msg == MIDM_PREPARE || msg == MIDM_UNPREPARE)
        return PrepareHeader(gMid, msg, user, p1, p2, msg == MIDM_PREPARE);
    return gMid(kDriverDevice, msg, user, p1, p2);
}
