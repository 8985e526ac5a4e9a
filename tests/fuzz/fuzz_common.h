/*
 * Shared by the fuzz targets: the check that stops a run with what was
 * expected and what came, the driver and simulation put back to their state
 * at load before every input, and the shape rules of MIDI messages, written
 * out again here rather than taken from the driver's tables.
 */
#pragma once

#include "driver/driver.h"
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "midiout/midiout.h"
#include "platform/host/sim.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_timer.h"
#include "serial/serial.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace fuzz
{

constexpr LONG kPort = 1;
constexpr const char *kPortName = "com1";

[[noreturn]] inline void Broken(const char *what, const char *fmt, ...)
{
    fprintf(stderr, "invariant broken: %s: ", what);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    abort();
}

#define FUZZ_CHECK(cond, ...)                                                                                          \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::fuzz::Broken(#cond, __VA_ARGS__);                                                                        \
    } while (0)

/* The driver as just loaded with port 1 stored, and a fresh simulation. */
inline void ResetDriver()
{
    static bool initialised = false;
    if (!initialised) {
        midCritInit();
        CommCritInit();
        initialised = true;
    }
    ReleaseMIDICOM();
    sim::ResetAll();
    DisableCommIn(0);
    DisableCommOut(0);
    gaMidiIn[0].gfMidiInOpen = 0;
    gaMidiIn[0].gMIMC = MIDIINCONTROL{};
    gaMidiOut[0].gbMidiOutCurrentStatus = 0;
    gaMidiIn[0].gMidiInClient = MIDICLIENT{};
    gaMidiOut[0].gMidiOutClient = MIDICLIENT{};
    ghModule = sim::kModule;
    gaPortSetting[0] = PORTSETTING{kPort, kDefaultBaud, {0}};
    DrvCont = 10;
}

/* After the last close: nothing of the connection or the locks is held. */
inline void CheckNothingHeld()
{
    FUZZ_CHECK(gaCommPort[0].UseComCount == 0, "use count %d", (int)gaCommPort[0].UseComCount);
    FUZZ_CHECK(sim::OpenPortHandles() == 0, "%d port handles open", sim::OpenPortHandles());
    FUZZ_CHECK(sim::LiveTimers() == 0, "%d poll timers running", sim::LiveTimers());
    FUZZ_CHECK(sim::TimerResolutionDepth() == 0, "%d resolution requests", sim::TimerResolutionDepth());
    FUZZ_CHECK(sim::HeldCriticalSections() == 0, "%d locks held", sim::HeldCriticalSections());
}

/* Bytes of a complete message with this status, status included; 0 when the
   byte starts no short message (data bytes, F0, F7). */
inline int MessageLength(BYTE status)
{
    if (status < 0x80)
        return 0;
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0))
        return 3; /* note off and on, key pressure, control change, pitch bend */
    if (status < 0xE0)
        return 2; /* program change, channel pressure */
    switch (status) {
    case 0xF0:
    case 0xF7:
        return 0;
    case 0xF1:
    case 0xF3:
        return 2; /* quarter frame, song select */
    case 0xF2:
        return 3; /* song position */
    default:
        return 1; /* F4 to F6, real time */
    }
}

/* Bytes that an output short message with this first byte sends under the
   running status rs, as the framing counts them. */
inline int OutputLength(BYTE first, BYTE rs)
{
    if (first >= 0xF0)
        return (first >= 0xF1 && first <= 0xF3) ? MessageLength(first) : 1;
    if (first >= 0x80)
        return MessageLength(first);
    return rs == 0 ? 0 : MessageLength(rs) - 1;
}

/* The output running status after one more byte went out. */
inline BYTE FollowStatus(BYTE rs, BYTE b)
{
    if (b >= 0x80 && b < 0xF0)
        return b;
    if (b >= 0xF0 && b < 0xF8)
        return 0;
    return rs;
}

inline BYTE ByteOf(DWORD_PTR word, int i) { return (BYTE)(word >> (8 * i)); }

} // namespace fuzz
