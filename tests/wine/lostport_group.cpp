/*
 * A port lost under open devices, as when a USB-serial adapter is pulled: the
 * module simulator closes its pty, then brings the line back on a new pty
 * with the prefix's dosdevices/com1 pointed at it. The input hears of the
 * loss once, output goes on being accepted, and both work again when the
 * port returns, with no reopen by the client.
 */
#include "groups.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr DWORD kLossWatch = 3000;   /* ms watched after the loss: the driver retries the name about once a second */
constexpr DWORD kReturnWait = 5000;  /* ms for the driver to find the port again */
constexpr DWORD kNoteEvery = 250;    /* ms between the module's notes while it waits */
constexpr size_t kLongLength = 600;  /* a long buffer of several writes */
constexpr size_t kShown = 6;         /* notifications shown in a failure */
constexpr DWORD kNoteOn = 0x403C90;  /* note-on C4 as the module sends it */
constexpr DWORD kNoteOut = 0x403E90; /* note-on D4 as the client sends it */

size_t Count(const std::vector<Event> &v, UINT msg)
{
    size_t n = 0;
    for (const Event &e : v)
        n += e.msg == msg;
    return n;
}

std::string Some(const std::vector<Event> &v)
{
    std::vector<Event> first(v.begin(), v.begin() + std::min(v.size(), kShown));
    return Describe(first) + (v.size() > kShown ? " ..." : "");
}

/* Waits for one notification of msg with p1, or the time is up. */
bool WaitFor(UINT msg, DWORD_PTR p1, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        for (const Event &e : Events())
            if (e.msg == msg && e.p1 == p1)
                return true;
        if (GetTickCount() - start > ms)
            return false;
        Sleep(5);
    }
}

/* Sends a long buffer while the port is lost: accepted and given back done. */
void LongBufferWhileLost()
{
    std::vector<BYTE> data(kLongLength);
    data[0] = 0xF0;
    for (size_t k = 1; k + 1 < kLongLength; k++)
        data[k] = (BYTE)(k & 0x7F);
    data[kLongLength - 1] = 0xF7;
    MIDIHDR hdr = {};
    hdr.lpData = (LPSTR)data.data();
    hdr.dwBufferLength = (DWORD)kLongLength;
    hdr.dwFlags = MHDR_PREPARED;
    ClearEvents();
    DWORD d = gMod(0, MODM_DATA, 0, kNoteOut, 0);
    DWORD l = gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
    bool done = WaitFor(MOM_DONE, (DWORD_PTR)&hdr, kWait) && (hdr.dwFlags & MHDR_DONE);
    Report(d == 0 && l == 0 && done, "output-while-lost",
           "expected MODM_DATA 0, MODM_LONGDATA 0 and MOM_DONE for the header, got %lu, %lu, %s", (unsigned long)d,
           (unsigned long)l, Some(Events()).c_str());
}
} // namespace

void GroupLostPort()
{
    StoreComId(1);
    if (!LoadOrReport())
        return;
    if (!OpenBoth()) {
        FreeLibrary(gLib);
        return;
    }
    gMid(0, MIDM_START, 0, 0, 0);
    Sleep(100); /* let a few polls take whatever an earlier run left in the port */
    ClearEvents();
    SimSend(0, Bytes({0x90, 0x3C, 0x40}));
    bool before = WaitFor(MIM_DATA, kNoteOn, kWait);
    Report(before, "note-before-loss", "expected MIM_DATA 0x403c90, got %s", Some(Events()).c_str());

    /* The line goes; nothing is under way, so the error carries 0. */
    ClearEvents();
    gStage = "the port lost";
    std::string unplugged = SimAsk("UNPLUG");
    Sleep(kLossWatch);
    std::vector<Event> ev = Events();
    size_t errors = Count(ev, MIM_ERROR), data = Count(ev, MIM_DATA);
    bool zero = false;
    for (const Event &e : ev)
        zero = zero || (e.msg == MIM_ERROR && e.p1 == 0);
    Report(unplugged == "OK" && errors == 1 && zero && data == 0, "one-error-on-loss",
           "expected one MIM_ERROR with 0 and no MIM_DATA in the %lu ms after the loss (UNPLUG: OK), got %u MIM_ERROR, "
           "%u MIM_DATA (UNPLUG: %s): %s",
           (unsigned long)kLossWatch, (unsigned)errors, (unsigned)data, unplugged.c_str(), Some(ev).c_str());
    LongBufferWhileLost();

    /* The line comes back under the same name: both ways work, the client does nothing. */
    ClearEvents();
    gStage = "the port back";
    std::string plugged = SimAsk("PLUG");
    DWORD start = GetTickCount();
    bool in = false;
    while (!in && GetTickCount() - start < kReturnWait) {
        SimSend(0, Bytes({0x90, 0x3C, 0x40}));
        in = WaitFor(MIM_DATA, kNoteOn, kNoteEvery);
    }
    DWORD after = GetTickCount() - start;
    Sleep(kNoteEvery); /* the notes sent meanwhile come in too */
    ev = Events();
    bool onlyNotes = Count(ev, MIM_DATA) == ev.size();
    for (const Event &e : ev)
        onlyNotes = onlyNotes && e.p1 == kNoteOn;
    Report(plugged.compare(0, 2, "OK") == 0 && in && onlyNotes, "note-in-after-return",
           "expected MIM_DATA 0x403c90 and nothing else within %lu ms of the return (PLUG: OK /dev/pts/N), got %s "
           "after %lu ms (PLUG: %s)",
           (unsigned long)kReturnWait, Some(ev).c_str(), (unsigned long)after, plugged.c_str());
    SimClear();
    DWORD r = gMod(0, MODM_DATA, 0, kNoteOut, 0);
    std::vector<BYTE> wire = SimWire();
    Report(r == 0 && wire == Bytes({0x90, 0x3E, 0x40}), "note-out-after-return",
           "expected 0 and 903e40 on the wire, got %lu and %s", (unsigned long)r, Hex(wire).c_str());

    gStage = "closing";
    gMid(0, MIDM_CLOSE, 0, 0, 0);
    gMod(0, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
    SimAsk("RESTORE");
}
