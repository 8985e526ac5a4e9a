/*
 * Host build: the test control surface of the simulated serial ports
 * (sim_serial.cpp). Ports com1 to com16 are simulated, com1 to com4 present
 * at reset; each keeps a receive queue that tests feed and a transmit log with
 * one entry per write. Above com9 the platform opens a port only as "\\.\COMn".
 */
#pragma once

#include "win_types.h"

#include <functional>
#include <string>
#include <vector>

namespace sim
{

/* Ports are named "com1" to "com16" here, case-insensitively, whatever name opens them. */
void SetPortPresent(const char *name, bool present);
bool PortIsOpen(const char *name);
int OpenPortHandles();      /* handles given out and not yet closed */
int CallsOnClosedHandles(); /* communications calls on a handle that is no open port, or in flight at its close */
void SetReadTime(DWORD microseconds); /* each read takes this long, as a real one does */

/* The device goes away, as an unplugged adapter does: the name opens nothing
   until SetPortPresent brings it back, and every call on the handle still
   open fails with lastError. */
void LosePort(const char *name, DWORD lastError);

/* Receive side: bytes that "arrived" from the module, and what is left of them. */
void FeedPort(const char *name, const std::vector<BYTE> &bytes);
size_t PortPending(const char *name);

/* Transmit side: one entry per WriteFile, and the bytes of all of them in order. */
std::vector<std::vector<BYTE>> PortWrites(const char *name);
std::vector<BYTE> PortWire(const char *name);
void ClearPortWrites(const char *name);

/* What the driver asked of the port. */
COMMTIMEOUTS PortTimeouts(const char *name);
DCB PortState(const char *name);
void SetPortState(const char *name, const DCB &dcb); /* settings found at open */
struct CreateFileCall {
    std::u16string name;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
};
std::vector<CreateFileCall> CreateFileCalls();
std::vector<std::u16string> CommDescriptions(); /* every BuildCommDCBW string */

/* Failures on demand. */
void RefuseTimeouts(const char *name, bool refuse); /* a file that is no serial port */
void RefuseState(const char *name, bool refuse);    /* SetCommState fails */
void FailNextRead(DWORD bytesBeforeFailure);        /* next ReadFile fails after that many */
void FailNextWrite(DWORD bytesBeforeFailure);       /* next WriteFile fails after that many */
void SetPortErrors(const char *name, DWORD ceBits); /* pending until ClearCommError */
void FailErrorQuery(const char *name, bool fail);   /* ClearCommError itself fails */
void FailNextGetState();                            /* next GetCommState fails */
void FailNextBuildDcb();                            /* next BuildCommDCBW fails, the record untouched */
/* Runs what, on the opening thread, inside the next CreateFileW before it
   opens anything: what other code does while an open takes its time. */
void DuringNextOpen(std::function<void()> what);

} // namespace sim
