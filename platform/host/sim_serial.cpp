/*
 * Host simulation of the serial ports: CreateFileW on "comN", the time-outs,
 * reads that return at once with what has arrived, writes logged one entry
 * per call, error bits, and the settings (GetCommState, BuildCommDCBW,
 * SetCommState). Thread-safe: the poll reads while tests feed and write.
 */
#include "sim_serial.h"
#include "sim.h"
#include "sim_thread.h"
#include "win_api.h"

#include <cstring>
#include <deque>
#include <functional>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <stdexcept>

namespace
{
constexpr int kPorts = 16;                     /* com1 to com16 */
constexpr int kPortsPresent = 4;               /* com1 to com4 exist at reset; tests add the others */
constexpr int kPlainNameLast = 9;              /* "comN" names a device only up to com9 */
constexpr uintptr_t kHandleBase = 0x5000;      /* handle values are kHandleBase + serial number */
constexpr DWORD kErrorOperationAborted = 995L; /* a read or write cut short by a port error */

struct Port {
    bool present;
    bool open;
    uintptr_t handle;
    bool refuseTimeouts;
    bool refuseState;
    bool failErrorQuery;
    DWORD lostError; /* non-zero: the device went away; every call on its handle fails with this */
    DWORD errors;
    std::deque<BYTE> rx;
    std::vector<std::vector<BYTE>> writes;
    COMMTIMEOUTS timeouts;
    DCB state;
};

std::mutex lock;
std::function<void()> duringOpen; /* run inside the next CreateFileW, before it opens */
Port ports[kPorts];
uintptr_t nextSerial;
int openHandles;
int callsOnClosed;                   /* calls on a handle that is no open port: closed, never given out, or 0 */
std::atomic<DWORD> readMicroseconds; /* how long a read takes, its handle in use throughout */
bool failRead, failWrite;
bool failGetState, failBuildDcb;
DWORD readBeforeFailure, writeBeforeFailure;
std::vector<sim::CreateFileCall> createCalls;
std::vector<std::u16string> descriptions;

WCHAR Lower(WCHAR c) { return (c >= u'A' && c <= u'Z') ? (WCHAR)(c - u'A' + u'a') : c; }

/* Index of the port named like "com3" or "\\.\COM12", or -1. As on the
   platform, the plain name reaches com1 to com9 only; the device namespace
   reaches every port. The test surface (anyNumber) names all ports plainly. */
int PortIndex(const std::u16string &name, bool anyNumber = false)
{
    const std::u16string kDevicePrefix = u"\\\\.\\";
    size_t at = name.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0 ? kDevicePrefix.size() : 0;
    if (name.size() < at + 4 || Lower(name[at]) != u'c' || Lower(name[at + 1]) != u'o' || Lower(name[at + 2]) != u'm')
        return -1;
    int n = 0;
    for (size_t k = at + 3; k < name.size(); k++) {
        if (name[k] < u'0' || name[k] > u'9' || n > kPorts)
            return -1;
        n = n * 10 + (name[k] - u'0');
    }
    if (name[at + 3] == u'0' || n < 1 || n > kPorts || (at == 0 && !anyNumber && n > kPlainNameLast))
        return -1;
    return n - 1;
}

int PortIndex(const char *name)
{
    std::u16string w;
    for (const char *p = name; *p; p++)
        w += (WCHAR)*p;
    return PortIndex(w, true);
}

Port &Named(const char *name)
{
    int i = PortIndex(name);
    if (i < 0)
        throw std::invalid_argument(std::string("no simulated port ") + name);
    return ports[i];
}

/* The open port behind a handle, or null (lock held). */
Port *ByHandle(HANDLE h)
{
    for (Port &p : ports)
        if (p.open && p.handle == (uintptr_t)h)
            return &p;
    return nullptr;
}

/* The port of a communications call, or null with the last error set: a
   call on a handle that is no open port is counted, one on the handle of a
   device that went away fails as the device's driver makes it fail. */
Port *Usable(HANDLE h)
{
    Port *p = ByHandle(h);
    if (!p) {
        callsOnClosed++;
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (p->lostError != 0) {
        SetLastError(p->lostError);
        return nullptr;
    }
    return p;
}

DCB DefaultState()
{
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    return d;
}

/* The settings-description parser of the platform, "old" form only:
   [comN[:]]baud,parity,data,stop[,x|p]. */
const WCHAR *SkipSpaces(const WCHAR *p)
{
    while (*p == u' ')
        p++;
    return p;
}

const WCHAR *ParseNumber(const WCHAR *p, DWORD *value)
{
    if (*p < u'0' || *p > u'9')
        return nullptr;
    DWORD v = 0;
    while (*p >= u'0' && *p <= u'9')
        v = v * 10 + (DWORD)(*p++ - u'0');
    *value = v;
    return p;
}

const WCHAR *Expect(const WCHAR *p, WCHAR c)
{
    p = SkipSpaces(p);
    if (*p != c)
        return nullptr;
    return SkipSpaces(p + 1);
}

bool ParseDescription(const WCHAR *p, DCB *d)
{
    if (Lower(p[0]) == u'c' && Lower(p[1]) == u'o' && Lower(p[2]) == u'm') {
        p += 3;
        if (*p < u'1' || *p > u'9')
            return false;
        while (*p >= u'0' && *p <= u'9')
            p++;
        if (*p != u':' && *p != u' ')
            return false;
        p = SkipSpaces(p);
        if (*p == u':')
            p = SkipSpaces(p + 1);
    } else if (*p == u' ') {
        return false;
    }

    DWORD baud, size;
    if (!(p = ParseNumber(p, &baud)))
        return false;
    switch (baud) { /* two-digit abbreviations of the old mode command */
    case 11:
    case 30:
    case 60:
        baud *= 10;
        break;
    case 12:
    case 24:
    case 48:
    case 96:
        baud *= 100;
        break;
    case 19:
        baud = 19200;
        break;
    }
    d->BaudRate = baud;

    if (!(p = Expect(p, u',')))
        return false;
    switch (Lower(*p++)) {
    case u'n':
        d->Parity = 0;
        break;
    case u'o':
        d->Parity = 1;
        break;
    case u'e':
        d->Parity = 2;
        break;
    case u'm':
        d->Parity = 3;
        break;
    case u's':
        d->Parity = 4;
        break;
    default:
        return false;
    }

    if (!(p = Expect(p, u',')) || !(p = ParseNumber(p, &size)) || size < 5 || size > 8)
        return false;
    d->ByteSize = (BYTE)size;

    if (!(p = Expect(p, u',')))
        return false;
    if (p[0] == u'1' && p[1] == u'.' && p[2] == u'5') {
        d->StopBits = 1;
        p += 3;
    } else if (*p == u'1') {
        d->StopBits = 0;
        p++;
    } else if (*p == u'2') {
        d->StopBits = 2;
        p++;
    } else {
        return false;
    }

    WCHAR handshake = 0;
    p = SkipSpaces(p);
    if (*p == u',') {
        p = SkipSpaces(p + 1);
        if (*p)
            handshake = Lower(*p++);
        p = SkipSpaces(p);
    }
    if (*p)
        return false;

    /* The NT family sets the flow control from the last parameter, or off. */
    d->fBinary = 1;
    d->fInX = d->fOutX = handshake == u'x';
    d->fOutxCtsFlow = d->fOutxDsrFlow = handshake == u'p';
    d->fDtrControl = handshake == u'p' ? 2 : 1;
    d->fRtsControl = handshake == u'p' ? 2 : 1;
    return handshake == 0 || handshake == u'x' || handshake == u'p';
}

void ResetSerial()
{
    std::lock_guard<std::mutex> g(lock);
    for (Port &p : ports) {
        p.present = &p - ports < kPortsPresent;
        p.open = false;
        p.handle = 0;
        p.refuseTimeouts = p.refuseState = p.failErrorQuery = false;
        p.lostError = 0;
        p.errors = 0;
        p.rx.clear();
        p.writes.clear();
        p.timeouts = COMMTIMEOUTS{};
        p.state = DefaultState();
    }
    openHandles = 0;
    callsOnClosed = 0;
    readMicroseconds = 0;
    failRead = failWrite = false;
    failGetState = failBuildDcb = false;
    duringOpen = nullptr;
    readBeforeFailure = writeBeforeFailure = 0;
    createCalls.clear();
    descriptions.clear();
}
sim::ResetHook reset(&ResetSerial);
[[maybe_unused]] bool initialised = (ResetSerial(), true); /* ports exist before any ResetAll */
} // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    std::function<void()> during;
    {
        std::lock_guard<std::mutex> g(lock);
        during.swap(duringOpen);
    }
    if (during)
        during();
    std::lock_guard<std::mutex> g(lock);
    std::u16string name = lpFileName ? lpFileName : u"";
    createCalls.push_back({name, dwDesiredAccess, dwShareMode, disposition, dwFlagsAndAttributes});
    int i = PortIndex(name);
    if (i < 0 || !ports[i].present) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    /* A serial port is opened for exclusive use, whatever the share mode. */
    if (ports[i].open) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ports[i].open = true;
    ports[i].lostError = 0;
    ports[i].handle = kHandleBase + ++nextSerial;
    openHandles++;
    SetLastError(ERROR_SUCCESS);
    return (HANDLE)ports[i].handle;
}

BOOL CloseHandle(HANDLE hObject)
{
    if (SimCloseObject(hObject) || SimCloseShareObject(hObject))
        return TRUE;
    std::lock_guard<std::mutex> g(lock);
    Port *p = ByHandle(hObject);
    if (!p) {
        callsOnClosed++;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    p->open = false;
    p->handle = 0;
    openHandles--;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    std::lock_guard<std::mutex> g(lock);
    Port *p = Usable(hFile);
    if (!p)
        return FALSE;
    if (p->refuseTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    p->timeouts = *lpCommTimeouts;
    return TRUE;
}

/* Reads never wait: the driver's time-outs ask for whatever has arrived. */
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    std::unique_lock<std::mutex> g(lock);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    Port *p = Usable(hFile);
    if (!p)
        return FALSE;
    DWORD n = nNumberOfBytesToRead < p->rx.size() ? nNumberOfBytesToRead : (DWORD)p->rx.size();
    bool fail = failRead;
    if (fail && readBeforeFailure < n)
        n = readBeforeFailure;
    failRead = false;
    BYTE *out = static_cast<BYTE *>(lpBuffer);
    for (DWORD k = 0; k < n; k++) {
        out[k] = p->rx.front();
        p->rx.pop_front();
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = n;
    if (DWORD us = readMicroseconds) {
        /* The read is still in the platform when its handle is closed. */
        g.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(us));
        g.lock();
        if (!ByHandle(hFile))
            callsOnClosed++;
    }
    if (fail) {
        SetLastError(kErrorOperationAborted);
        return FALSE;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED)
{
    std::lock_guard<std::mutex> g(lock);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    Port *p = Usable(hFile);
    if (!p)
        return FALSE;
    DWORD n = nNumberOfBytesToWrite;
    bool fail = failWrite;
    if (fail && writeBeforeFailure < n)
        n = writeBeforeFailure;
    failWrite = false;
    const BYTE *in = static_cast<const BYTE *>(lpBuffer);
    p->writes.emplace_back(in, in + n);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = n;
    if (fail) {
        SetLastError(kErrorOperationAborted);
        return FALSE;
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    std::lock_guard<std::mutex> g(lock);
    Port *p = Usable(hFile);
    if (!p)
        return FALSE;
    if (p->failErrorQuery) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpErrors)
        *lpErrors = p->errors;
    p->errors = 0;
    if (lpStat) {
        *lpStat = COMSTAT{};
        lpStat->cbInQue = (DWORD)p->rx.size();
    }
    return TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    std::lock_guard<std::mutex> g(lock);
    Port *p = Usable(hFile);
    bool fail = failGetState;
    failGetState = false;
    if (!p)
        return FALSE;
    if (!lpDCB || fail) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpDCB = p->state;
    return TRUE;
}

/* Leaves the record alone, but for DCBlength, when the description is bad. */
BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB)
{
    bool fail;
    {
        std::lock_guard<std::mutex> g(lock);
        descriptions.push_back(lpDef ? lpDef : u"");
        fail = failBuildDcb;
        failBuildDcb = false;
    }
    lpDCB->DCBlength = sizeof(DCB);
    DCB d = *lpDCB;
    if (fail || !lpDef || !ParseDescription(lpDef, &d)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpDCB = d;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    std::lock_guard<std::mutex> g(lock);
    Port *p = Usable(hFile);
    if (!p)
        return FALSE;
    bool valid = lpDCB->BaudRate != 0 && lpDCB->ByteSize >= 5 && lpDCB->ByteSize <= 8 && lpDCB->Parity <= 4 &&
                 lpDCB->StopBits <= 2;
    if (p->refuseState || !valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    p->state = *lpDCB;
    return TRUE;
}

namespace sim
{
void SetPortPresent(const char *name, bool present)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).present = present;
}

bool PortIsOpen(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    return Named(name).open;
}

int OpenPortHandles()
{
    std::lock_guard<std::mutex> g(lock);
    return openHandles;
}

void SetReadTime(DWORD microseconds) { readMicroseconds = microseconds; }

int CallsOnClosedHandles()
{
    std::lock_guard<std::mutex> g(lock);
    return callsOnClosed;
}

void LosePort(const char *name, DWORD lastError)
{
    std::lock_guard<std::mutex> g(lock);
    Port &p = Named(name);
    p.present = false;
    if (p.open)
        p.lostError = lastError;
}

void FeedPort(const char *name, const std::vector<BYTE> &bytes)
{
    std::lock_guard<std::mutex> g(lock);
    Port &p = Named(name);
    p.rx.insert(p.rx.end(), bytes.begin(), bytes.end());
}

size_t PortPending(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    return Named(name).rx.size();
}

std::vector<std::vector<BYTE>> PortWrites(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    return Named(name).writes;
}

std::vector<BYTE> PortWire(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    std::vector<BYTE> all;
    for (const auto &w : Named(name).writes)
        all.insert(all.end(), w.begin(), w.end());
    return all;
}

void ClearPortWrites(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).writes.clear();
}

COMMTIMEOUTS PortTimeouts(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    return Named(name).timeouts;
}

DCB PortState(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    return Named(name).state;
}

void SetPortState(const char *name, const DCB &dcb)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).state = dcb;
}

std::vector<CreateFileCall> CreateFileCalls()
{
    std::lock_guard<std::mutex> g(lock);
    return createCalls;
}

std::vector<std::u16string> CommDescriptions()
{
    std::lock_guard<std::mutex> g(lock);
    return descriptions;
}

void RefuseTimeouts(const char *name, bool refuse)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).refuseTimeouts = refuse;
}

void RefuseState(const char *name, bool refuse)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).refuseState = refuse;
}

void FailNextRead(DWORD bytesBeforeFailure)
{
    std::lock_guard<std::mutex> g(lock);
    failRead = true;
    readBeforeFailure = bytesBeforeFailure;
}

void FailNextWrite(DWORD bytesBeforeFailure)
{
    std::lock_guard<std::mutex> g(lock);
    failWrite = true;
    writeBeforeFailure = bytesBeforeFailure;
}

void SetPortErrors(const char *name, DWORD ceBits)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).errors = ceBits;
}

void FailErrorQuery(const char *name, bool fail)
{
    std::lock_guard<std::mutex> g(lock);
    Named(name).failErrorQuery = fail;
}

void FailNextGetState()
{
    std::lock_guard<std::mutex> g(lock);
    failGetState = true;
}

void FailNextBuildDcb()
{
    std::lock_guard<std::mutex> g(lock);
    failBuildDcb = true;
}

void DuringNextOpen(std::function<void()> what)
{
    std::lock_guard<std::mutex> g(lock);
    duringOpen = std::move(what);
}
} // namespace sim
