/*
 * Groups on the devices one at a time: the stored port and when it is read,
 * the driver messages, the output device's bytes on the wire, and the input
 * device's notifications for what the module sends.
 */
#include "groups.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

/* No stored port: the attach succeeds, the device opens fail. */
void GroupNoPort()
{
    ClearSetting();
    if (!LoadOrReport())
        return;
    DWORD out = OpenDevice(gMod, MODM_OPEN);
    DWORD in = OpenDevice(gMid, MIDM_OPEN);
    Report(out == MMSYSERR_ALLOCATED && in == MMSYSERR_ALLOCATED, "opens-refused",
           "expected output and input open 4 and 4, got %lu and %lu", (unsigned long)out, (unsigned long)in);
    Report(Events().empty(), "nothing-notified", "got %s", Describe(Events()).c_str());
    FreeLibrary(gLib);
}

/* The port is the stored one, read once when the library is attached. */
void GroupAttachPort()
{
    StoreComId(2); /* COM2 leads nowhere in the suite's prefix */
    if (!LoadOrReport())
        return;
    DWORD r = OpenDevice(gMod, MODM_OPEN);
    Report(r == MMSYSERR_ALLOCATED, "stored-port-used", "expected COMID 2 to fail the open with 4, got %lu",
           (unsigned long)r);
    FreeLibrary(gLib);

    StoreComId(1);
    Load();
    StoreComId(2); /* too late for this process */
    SimClear();
    r = OpenDevice(gMod, MODM_OPEN);
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    std::vector<BYTE> wire = SimWire();
    Report(r == 0 && wire == Bytes({0x90, 0x3C, 0x40}), "read-once-at-attach",
           "expected COM1 still in use: 0 and 903c40, got %lu and %s", (unsigned long)r, Hex(wire).c_str());
    gMod(0, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
    StoreComId(1);
}

/* The driver messages, through winmm's installable-driver calls. */
void GroupDriverProc()
{
    StoreComId(1);
    HDRVR h = OpenDriver(gDllPath.c_str(), nullptr, 0);
    Report(h != nullptr, "open-driver", "OpenDriver failed");
    if (!h)
        return;
    LRESULT q = SendDriverMessage(h, DRV_QUERYCONFIGURE, 0, 0);
    LRESULT i = SendDriverMessage(h, DRV_INSTALL, 0, 0);
    Report(q == 1 && i == DRVCNF_RESTART, "query-and-install", "expected 1 and 2, got %ld and %ld", (long)q, (long)i);
    /* Unhandled messages answer what the default procedure answers. */
    for (UINT msg : {0u, (UINT)DRV_EXITSESSION, (UINT)DRV_POWER, 0x4000u}) {
        LRESULT got = SendDriverMessage(h, msg, 0x11, 0x22);
        LRESULT want = DefDriverProc(1, h, msg, 0x11, 0x22);
        char check[40];
        snprintf(check, sizeof check, "default-%u", msg);
        Report(got == want, check, "expected DefDriverProc's %ld, got %ld", (long)want, (long)got);
    }
    std::string before = DumpServiceKey();
    LRESULT r = SendDriverMessage(h, DRV_REMOVE, 0, 0);
    std::string after = DumpServiceKey();
    Report(r == DRVCNF_RESTART, "remove-answers-restart", "expected 2, got %ld", (long)r);
    Report(before == after && !before.empty(), "remove-leaves-registry", "before:\n%s\nafter:\n%s", before.c_str(),
           after.c_str());
    Report(CloseDriver(h, 0, 0) != 0, "close-driver", "CloseDriver failed");
}

void GroupOutput()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    DWORD r = OpenDevice(gMod, MODM_OPEN);
    std::vector<Event> ev = WaitEvents(1, 200);
    Report(r == 0 && ev.size() == 1 && ev[0].msg == MOM_OPEN && ev[0].hdrv == kFakeHmidi && ev[0].user == kInstance,
           "open", "expected 0 and MOM_OPEN to our handle and instance, got %lu %s", (unsigned long)r,
           Describe(ev).c_str());
    if (r != 0) {
        FreeLibrary(gLib);
        return;
    }

    struct Row {
        const char *check;
        DWORD word;
        std::vector<BYTE> wire;
    } rows[] = {
        {"note-on", 0x403C90, Bytes({0x90, 0x3C, 0x40})},
        {"running-status", 0x00453C, Bytes({0x3C, 0x45})},
        {"program-change", 0x0005C1, Bytes({0xC1, 0x05})},
        {"real-time", 0x0000F8, Bytes({0xF8})},
        {"running-status-after-real-time", 0x000007, Bytes({0x07})}, /* program change: one data byte */
    };
    for (const Row &row : rows) {
        SimClear();
        DWORD res = gMod(0, MODM_DATA, 0, row.word, 0);
        std::vector<BYTE> wire = SimWire();
        Report(res == 0 && wire == row.wire, row.check, "expected 0 and %s on the wire, got %lu and %s",
               Hex(row.wire).c_str(), (unsigned long)res, Hex(wire).c_str());
    }

    /* A long buffer, and one longer than a single write. */
    for (size_t length : {(size_t)6, (size_t)5000}) {
        std::vector<BYTE> data(length);
        data[0] = 0xF0;
        for (size_t k = 1; k + 1 < length; k++)
            data[k] = (BYTE)(k & 0x7F);
        data[length - 1] = 0xF7;
        MIDIHDR hdr = {};
        hdr.lpData = (LPSTR)data.data();
        hdr.dwBufferLength = (DWORD)length;
        hdr.dwFlags = MHDR_PREPARED; /* the host prepares headers itself */
        ClearEvents();
        SimClear();
        DWORD res = gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
        std::vector<BYTE> wire = SimWire(150);
        ev = Events();
        bool done = ev.size() == 1 && ev[0].msg == MOM_DONE && ev[0].p1 == (DWORD_PTR)&hdr && (hdr.dwFlags & MHDR_DONE);
        std::string check = "long-buffer-" + std::to_string(length);
        Report(res == 0 && wire == data && done, check.c_str(),
               "expected 0, the %u bytes and MOM_DONE for the header, got %lu, %u bytes (%s...), %s", (unsigned)length,
               (unsigned long)res, (unsigned)wire.size(),
               Hex(std::vector<BYTE>(wire.begin(), wire.begin() + std::min<size_t>(wire.size(), 8))).c_str(),
               Describe(ev).c_str());
    }

    SimClear();
    DWORD res = gMod(0, MODM_RESET, 0, 0, 0);
    std::vector<BYTE> wire = SimWire();
    Report(res == 0 && wire == ResetBytes(), "reset", "expected 0 and the 96 reset bytes, got %lu and %s",
           (unsigned long)res, Hex(wire).c_str());

    /* The close: the client hears of it before the reset goes out. */
    SimClear();
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    ClearEvents();
    gWireAtCloseTaken = false;
    res = gMod(0, MODM_CLOSE, 0, 0, 0);
    wire = SimWire();
    ev = Events();
    std::vector<BYTE> note = Bytes({0x90, 0x3C, 0x40});
    std::vector<BYTE> reset = ResetBytes();
    std::vector<BYTE> all = note;
    all.insert(all.end(), reset.begin(), reset.end());
    Report(res == 0 && ev.size() == 1 && ev[0].msg == MOM_CLOSE, "close", "expected 0 and MOM_CLOSE, got %lu %s",
           (unsigned long)res, Describe(ev).c_str());
    Report(gWireAtCloseTaken && gWireAtClose == note, "close-notified-before-reset",
           "expected only %s on the wire at MOM_CLOSE, got %s", Hex(note).c_str(), Hex(gWireAtClose).c_str());
    Report(wire == all, "close-sends-reset", "expected %s, got %s", Hex(all).c_str(), Hex(wire).c_str());
    FreeLibrary(gLib);
}

void GroupInput()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    DWORD r = OpenDevice(gMid, MIDM_OPEN);
    DWORD opened = timeGetTime();
    std::vector<Event> ev = WaitEvents(1, 200);
    Report(r == 0 && ev.size() == 1 && ev[0].msg == MIM_OPEN, "open", "expected 0 and MIM_OPEN, got %lu %s",
           (unsigned long)r, Describe(ev).c_str());
    if (r != 0) {
        FreeLibrary(gLib);
        return;
    }

    /* A note 150 ms from now: delivered, stamped from the open. */
    ClearEvents();
    DWORD asked = timeGetTime();
    SimSend(150, Bytes({0x90, 0x3C, 0x40}));
    ev = WaitEvents(1);
    bool got = ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x403C90;
    Report(got, "note-on", "expected MIM_DATA 0x403c90, got %s", Describe(ev).c_str());
    if (got) {
        long stamp = (long)ev[0].p2, since = (long)(ev[0].at - opened), sent = (long)(asked - opened) + 150;
        Report(stamp >= sent - 15 && stamp <= since + 5 && since - stamp <= 40, "timestamp",
               "expected a stamp between %ld and %ld ms after the open (arrival), got %ld", sent - 15, since + 5,
               stamp);
    }

    /* Running status and a real-time byte, in arrival order. */
    ClearEvents();
    SimSend(0, Bytes({0x3C, 0x00, 0xF8}));
    ev = WaitEvents(2);
    Report(ev.size() == 2 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x003C90 && ev[1].msg == MIM_DATA && ev[1].p1 == 0xF8,
           "running-status-and-real-time", "expected {MIM_DATA 0x3c90} {MIM_DATA 0xf8}, got %s", Describe(ev).c_str());

    /* System exclusive into a queued buffer. */
    char buf[16];
    MIDIHDR hdr = {};
    hdr.lpData = buf;
    hdr.dwBufferLength = sizeof buf;
    hdr.dwFlags = MHDR_PREPARED;
    ClearEvents();
    DWORD add = gMid(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&hdr, sizeof hdr);
    std::vector<BYTE> sx = Bytes({0xF0, 0x41, 0x10, 0x42, 0xF7});
    SimSend(0, sx);
    ev = WaitEvents(1);
    bool filled = ev.size() == 1 && ev[0].msg == MIM_LONGDATA && ev[0].p1 == (DWORD_PTR)&hdr &&
                  hdr.dwBytesRecorded == sx.size() && memcmp(buf, sx.data(), sx.size()) == 0 &&
                  (hdr.dwFlags & MHDR_DONE);
    Report(add == 0 && filled, "system-exclusive", "expected MIM_LONGDATA with %s, got %lu %s %u bytes %s",
           Hex(sx).c_str(), (unsigned long)add, Describe(ev).c_str(), (unsigned)hdr.dwBytesRecorded,
           Hex(std::vector<BYTE>(buf, buf + std::min<DWORD>(hdr.dwBytesRecorded, sizeof buf))).c_str());

    /* Start moves the time base. */
    Sleep(300);
    DWORD st = gMid(0, MIDM_START, 0, 0, 0);
    DWORD started = timeGetTime();
    ClearEvents();
    SimSend(100, Bytes({0x80, 0x3C, 0x00}));
    ev = WaitEvents(1);
    got = ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x003C80;
    long since = got ? (long)(ev[0].at - started) : 0;
    Report(st == 0 && got && (long)ev[0].p2 <= since + 5 && since - (long)ev[0].p2 <= 40, "start-moves-time-base",
           "expected 0 and MIM_DATA 0x3c80 stamped about %ld ms after the start, got %lu %s", since, (unsigned long)st,
           Describe(ev).c_str());

    /* Reset returns a queued buffer empty, and holds input back. */
    MIDIHDR hdr2 = {};
    hdr2.lpData = buf;
    hdr2.dwBufferLength = sizeof buf;
    hdr2.dwFlags = MHDR_PREPARED;
    gMid(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&hdr2, sizeof hdr2);
    ClearEvents();
    DWORD rs = gMid(0, MIDM_RESET, 0, 0, 0);
    ev = WaitEvents(1, 200);
    Report(rs == 0 && ev.size() == 1 && ev[0].msg == MIM_LONGDATA && ev[0].p1 == (DWORD_PTR)&hdr2 &&
               hdr2.dwBytesRecorded == 0,
           "reset-returns-buffers", "expected MIM_LONGDATA for the header with 0 bytes, got %lu %s", (unsigned long)rs,
           Describe(ev).c_str());
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x3D, 0x40}));
    ev = WaitEvents(1, 300);
    Report(ev.empty(), "reset-holds-input", "expected nothing after the reset, got %s", Describe(ev).c_str());

    /* What arrived while held waits in the port, and comes with the next start. */
    gMid(0, MIDM_START, 0, 0, 0);
    ev = WaitEvents(1);
    Report(ev.size() == 1 && ev[0].msg == MIM_DATA && ev[0].p1 == 0x403D90, "start-delivers-held-bytes",
           "expected MIM_DATA 0x403d90, got %s", Describe(ev).c_str());

    ClearEvents();
    DWORD cl = gMid(0, MIDM_CLOSE, 0, 0, 0);
    ev = WaitEvents(1, 200);
    Report(cl == 0 && ev.size() == 1 && ev[0].msg == MIM_CLOSE, "close", "expected 0 and MIM_CLOSE, got %lu %s",
           (unsigned long)cl, Describe(ev).c_str());
    FreeLibrary(gLib);
}

/* The input mode is read at each open of the port, not at load: one loaded
   library switched between opens. Notes sent one at a time, at phases of
   the standard poll spread over its period, arrive whole and in order
   either way; the standard mode hands each on at its next 10 ms poll (at
   the median 5 ms later), the low-latency mode as it arrives. */
void GroupInputMode()
{
    constexpr int kNotes = 80;
    constexpr DWORD kLowMs = 2;      /* median delivery time in the low-latency mode, at most */
    constexpr DWORD kStandardMs = 3; /* and in the standard mode, at least */
    StoreComId(1);
    if (!LoadOrReport())
        return;
    for (int low : {1, 0, 1}) {
        StoreDevice0(L"LowLatency", low);
        const char *mode = low ? "low" : "standard";
        DWORD r = OpenDevice(gMid, MIDM_OPEN);
        DWORD st = gMid(0, MIDM_START, 0, 0, 0);
        WaitEvents(1, 200); /* MIM_OPEN */
        ClearEvents();
        std::vector<double> took;
        bool inOrder = r == 0 && st == 0;
        for (int i = 0; i < kNotes && inOrder; i++) {
            Sleep((DWORD)(i * 7919) % 10);      /* a phase of the poll */
            SimSend(0, Bytes({0x90, i, 0x40})); /* written before the module answers */
            DWORD sent = timeGetTime();
            std::vector<Event> ev = WaitEvents((size_t)i + 1);
            inOrder = ev.size() == (size_t)i + 1 && ev[i].msg == MIM_DATA &&
                      ev[i].p1 == (DWORD_PTR)(0x400090 | i << 8) && (i == 0 || ev[i].p2 >= ev[i - 1].p2);
            if (inOrder)
                took.push_back((double)(LONG)(ev[i].at - sent)); /* may come before the answer */
        }
        char check[64];
        snprintf(check, sizeof check, "%s-notes-whole-in-order", mode);
        Report(inOrder, check, "expected %d notes in order, stamps rising; got %lu %lu %s", kNotes, (unsigned long)r,
               (unsigned long)st, Describe(Events()).c_str());
        if (inOrder) {
            std::sort(took.begin(), took.end());
            double median = took[took.size() / 2];
            printf("INFO %s %s mode: delivered within %.0f ms at the median, %.0f ms at most\n", gGroup.c_str(), mode,
                   median, took.back());
            snprintf(check, sizeof check, "%s-delivery", mode);
            Report(low ? median <= kLowMs : median >= kStandardMs, check,
                   "expected a median delivery time of at %s %lu ms, got %.0f ms", low ? "most" : "least",
                   (unsigned long)(low ? kLowMs : kStandardMs), median);
        }
        gMid(0, MIDM_RESET, 0, 0, 0);
        gMid(0, MIDM_CLOSE, 0, 0, 0);
    }
    StoreDevice0(L"LowLatency", -1); /* the groups after this one read the standard mode */
    FreeLibrary(gLib);
}
