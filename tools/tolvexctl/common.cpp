/*
 * What the commands share: reading a file, picking and opening a device,
 * sending one message, and collecting input notifications.
 */
#include "commands.h"
#include "midimsg.h"
#include "settings.h"

#include <mmddk.h>

#include <cstdio>
#include <cwchar>

namespace
{
constexpr size_t kFileMax = 8u << 20; /* larger files are no MIDI files, and would fill memory with events */
constexpr double kBitsPerByte = 10;   /* 8N1: a start bit, 8 data bits, a stop bit */

CRITICAL_SECTION gInLock;
std::vector<Received> gReceived;
} // namespace

std::atomic<bool> gStop{false};
HANDLE gArrived;

void Fail(const std::string &what) { fprintf(stderr, "tolvexctl: %s\n", what.c_str()); }

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *out, std::string *error)
{
    HANDLE f = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        *error = path + ": cannot open (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(f, &size) && size.QuadPart <= (LONGLONG)kFileMax;
    if (ok) {
        out->resize((size_t)size.QuadPart);
        DWORD got = 0;
        ok = out->empty() || (ReadFile(f, out->data(), (DWORD)out->size(), &got, nullptr) && got == out->size());
    }
    CloseHandle(f);
    if (!ok)
        *error = path + ": cannot read it whole (larger than 8 MB or a read error)";
    return ok;
}

/* Our device's number: the mapper or the one given; else port N's (port 0's
   without --port). The DLL loaded itself has port N as device N; through
   winmm it is the device that has port N's name. */
bool PickDevice(Devices *dev, const Options &o, bool input, UINT *id)
{
    if (o.device == kDeviceMapper) {
        *id = MIDI_MAPPER;
        return true;
    }
    std::string kind = input ? "input" : "output";
    UINT n = input ? dev->NumIn() : dev->NumOut();
    if (o.device >= 0) {
        if ((UINT)o.device >= n) {
            Fail("no MIDI " + kind + " device " + std::to_string(o.device) + " (there are " + std::to_string(n) + ")");
            return false;
        }
        *id = (UINT)o.device;
        return true;
    }
    UINT port = o.port == kPortNone ? 0 : (UINT)o.port;
    if (dev->Name() != "winmm") {
        if (port >= n) {
            Fail("no port " + std::to_string(port) + ": the driver serves " + std::to_string(n) + " port" +
                 (n == 1 ? "" : "s") + " (tolvexctl port lists them)");
            return false;
        }
        *id = port;
        return true;
    }
    std::vector<PortSetting> ports = ReadPorts();
    std::wstring want = port < ports.size() ? DeviceName(ports, port, input) : std::wstring();
    for (UINT k = 0; k < n; k++) {
        MIDIOUTCAPSW oc;
        MIDIINCAPSW ic;
        const wchar_t *name = nullptr;
        if (input ? dev->InCaps(k, &ic) == MMSYSERR_NOERROR : dev->OutCaps(k, &oc) == MMSYSERR_NOERROR)
            name = input ? ic.szPname : oc.szPname;
        /* Port 0 also by its default name: a driver installed before its name was stored. */
        if (name && ((!want.empty() && want == name) ||
                     (o.port == kPortNone && wcsstr(name, input ? kOurInName : kOurOutName)))) {
            *id = k;
            return true;
        }
    }
    if (o.port != kPortNone)
        Fail("no MIDI " + kind + " device of port " + std::to_string(port) + " via winmm" +
             (want.empty() ? ": no such port is stored (tolvexctl port lists them)"
                           : " named \"" + Narrow(want) + "\": is the driver installed (tolvexctl doctor)?"));
    else
        Fail("no MIDI " + kind + " device of TOLVEX.dll via " + dev->Name() +
             ": install the driver (tolvexctl install), pick one with --device N, or load it with --driver PATH");
    return false;
}

double LineBytesPerSecond(const Options &o)
{
    std::vector<PortSetting> ports = ReadPorts();
    size_t n = o.port == kPortNone || (size_t)o.port >= ports.size() ? 0 : (size_t)o.port;
    return ports[n].baud / kBitsPerByte;
}

bool Opened(MMRESULT r, const char *what)
{
    if (r == MMSYSERR_NOERROR)
        return true;
    std::string hint = r == MMSYSERR_ALLOCATED ? ": the port is missing or held by another program, or no port is "
                                                 "set (tolvexctl port N)"
                                               : "";
    Fail(std::string("cannot open the ") + what + ": " + ErrorText(r) + hint);
    return false;
}

bool Send(Devices *dev, const std::vector<uint8_t> &bytes, bool sysex)
{
    return Send(dev, bytes.data(), bytes.size(), sysex);
}

bool Send(Devices *dev, const uint8_t *data, size_t size, bool sysex)
{
    MMRESULT r = sysex ? dev->Long(data, (DWORD)size)
                       : dev->Short(midimsg::Pack(std::vector<uint8_t>(data, data + (size < 4 ? size : 4))));
    if (r != MMSYSERR_NOERROR)
        Fail("sending " + midimsg::Hex(data, size > 8 ? 8 : size) + (size > 8 ? " ..." : "") + ": " + ErrorText(r));
    return r == MMSYSERR_NOERROR;
}

void InitInput()
{
    InitializeCriticalSection(&gInLock);
    gArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void CALLBACK OnInput(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2)
{
    Received r{msg, (DWORD)p2, {}, nullptr};
    switch (msg) {
    case MIM_DATA:
        r.bytes = midimsg::Unpack((DWORD)p1);
        break;
    case MIM_ERROR:
        for (int k = 0; k < 4; k++)
            r.bytes.push_back((uint8_t)(p1 >> (8 * k)));
        break;
    case MIM_LONGDATA:
    case MIM_LONGERROR:
        r.hdr = (MIDIHDR *)p1;
        r.bytes.assign((uint8_t *)r.hdr->lpData, (uint8_t *)r.hdr->lpData + r.hdr->dwBytesRecorded);
        break;
    default:
        return; /* open and close */
    }
    EnterCriticalSection(&gInLock);
    gReceived.push_back(std::move(r));
    LeaveCriticalSection(&gInLock);
    SetEvent(gArrived);
}

std::vector<Received> TakeReceived()
{
    EnterCriticalSection(&gInLock);
    std::vector<Received> v;
    v.swap(gReceived);
    LeaveCriticalSection(&gInLock);
    return v;
}
