/*
 * tolvexctl: checks and uses a MIDI module on TOLVEX.dll without a MIDI
 * program, in the manner of amidi and aseqdump: list, play, send, dump,
 * config, port, selftest, install, uninstall. Commands reach the devices
 * through Devices, either winmm or the DLL loaded directly (--driver).
 */
#include "device.h"
#include "install.h"
#include "midimsg.h"
#include "smf.h"

#include <mmddk.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kInBuffers = 8;            /* sysex buffers queued on the input */
constexpr DWORD kInBufferSize = 1024;    /* bytes each */
constexpr DWORD kProgressMs = 250;       /* progress line redrawn this often */
constexpr DWORD kMaxSleepMs = 20;        /* longest sleep while playing: keeps Ctrl-C and progress prompt */
constexpr DWORD kSelftestQuietMs = 1500; /* selftest gives up after this long without anything new */
constexpr DWORD kDrainQuietMs = 150;     /* quiet on the input that counts as drained */
constexpr DWORD kIdentityWaitMs = 2000;  /* identity waits this long for the reply by default */
constexpr DWORD kPortMax = 256;          /* highest COM number Windows gives out */
constexpr size_t kFileMax = 8u << 20;    /* larger files are no MIDI files, and would fill memory with events */
const wchar_t kOurOutName[] = L"VeldorNT MIDI Out";
const wchar_t kOurInName[] = L"VeldorNT MIDI In";

const char kUsage[] = "usage: tolvexctl [--driver PATH] [--device N] COMMAND ...\n"
                      "  list                    the MIDI devices and their capabilities\n"
                      "  play FILE.mid [--quiet] play a Standard MIDI File (format 0 or 1)\n"
                      "  send FILE.syx | HEX...  send system exclusive or raw messages (\"90 3c 40\")\n"
                      "  dump [--time SECONDS]   print what arrives until Ctrl-C or the time is up\n"
                      "  config                  open the driver's setup dialog\n"
                      "  port [N]                show or store the port (COMN), also above COM4\n"
                      "  selftest                send a pattern and check it comes back (loop-back plug)\n"
                      "  identity [--time S]     ask the module who it is (universal identity request)\n"
                      "  install [DLL]           copy the DLL to the system directory and register it\n"
                      "  uninstall [32|64]       remove what install added\n"
                      "--driver PATH loads TOLVEX.dll itself instead of going through winmm (for Wine).\n"
                      "--device N picks winmm's device N instead of the one named VeldorNT.\n";

std::atomic<bool> gStop{false};

BOOL WINAPI OnCtrl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        gStop = true;
        return TRUE;
    }
    return FALSE;
}

struct Options {
    std::wstring driver;
    int device = -1;
    double seconds = 0;
    bool quiet = false;
    std::string command;
    std::vector<std::string> args;
};

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

/* Our device's number: the one given, or the one whose name is ours. */
bool PickDevice(Devices *dev, const Options &o, bool input, UINT *id)
{
    UINT n = input ? dev->NumIn() : dev->NumOut();
    if (o.device >= 0) {
        if ((UINT)o.device >= n) {
            Fail("no MIDI " + std::string(input ? "input" : "output") + " device " + std::to_string(o.device) +
                 " (there are " + std::to_string(n) + ")");
            return false;
        }
        *id = (UINT)o.device;
        return true;
    }
    for (UINT k = 0; k < n; k++) {
        MIDIOUTCAPSW oc;
        MIDIINCAPSW ic;
        const wchar_t *name = nullptr;
        if (input ? dev->InCaps(k, &ic) == MMSYSERR_NOERROR : dev->OutCaps(k, &oc) == MMSYSERR_NOERROR)
            name = input ? ic.szPname : oc.szPname;
        if (name && wcsstr(name, input ? kOurInName : kOurOutName)) {
            *id = k;
            return true;
        }
    }
    Fail(std::string("no MIDI ") + (input ? "input" : "output") + " device of TOLVEX.dll via " + dev->Name() +
         ": install the driver (tolvexctl install), pick one with --device N, or load it with --driver PATH");
    return false;
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

/* ---- input, shared by dump and selftest ---- */

struct Received {
    UINT msg;
    DWORD stamp;
    std::vector<uint8_t> bytes;
    MIDIHDR *hdr; /* a long buffer to give back, or null */
};

CRITICAL_SECTION gInLock;
std::vector<Received> gReceived;
HANDLE gArrived;

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

class Input
{
  public:
    explicit Input(Devices *dev) : dev_(dev)
    {
        for (int k = 0; k < kInBuffers; k++) {
            hdr_[k] = MIDIHDR();
            hdr_[k].lpData = data_[k];
            hdr_[k].dwBufferLength = kInBufferSize;
        }
    }
    bool Open(UINT id)
    {
        TakeReceived();
        if (!Opened(dev_->OpenIn(id, OnInput, 0), "MIDI input"))
            return false;
        open_ = true;
        for (MIDIHDR &h : hdr_) {
            MMRESULT r = dev_->AddBuffer(&h);
            if (r != MMSYSERR_NOERROR) {
                Fail("cannot queue an input buffer: " + ErrorText(r));
                return false;
            }
        }
        MMRESULT r = dev_->StartIn();
        if (r != MMSYSERR_NOERROR)
            Fail("cannot start the input: " + ErrorText(r));
        return r == MMSYSERR_NOERROR;
    }
    void GiveBack(MIDIHDR *h)
    {
        h->dwBytesRecorded = 0;
        h->dwFlags &= ~MHDR_DONE;
        dev_->AddBuffer(h);
    }
    ~Input() { Close(); }
    void Close()
    {
        if (!open_)
            return;
        open_ = false;
        dev_->ResetIn(); /* the close is refused while buffers are queued */
        for (MIDIHDR &h : hdr_)
            dev_->UnprepareIn(&h);
        MMRESULT r = dev_->CloseIn();
        if (r != MMSYSERR_NOERROR)
            Fail("closing the input: " + ErrorText(r));
    }

  private:
    Devices *dev_;
    bool open_ = false;
    MIDIHDR hdr_[kInBuffers];
    char data_[kInBuffers][kInBufferSize];
};

/* ---- commands ---- */

const char *Technology(WORD t)
{
    switch (t) {
    case MOD_MIDIPORT:
        return "MIDI port";
    case MOD_SYNTH:
        return "synthesizer";
    case MOD_SQSYNTH:
        return "square-wave synthesizer";
    case MOD_FMSYNTH:
        return "FM synthesizer";
    case MOD_MAPPER:
        return "MIDI mapper";
    case MOD_WAVETABLE:
        return "wavetable synthesizer";
    case MOD_SWSYNTH:
        return "software synthesizer";
    default:
        return "unknown technology";
    }
}

int CmdList(Devices *dev)
{
    printf("devices through %s\n", dev->Name().c_str());
    if (dev->Name() == "winmm") {
        /* On 64-bit Windows each architecture has its own Drivers32. */
        for (int bits : NativeBits() == 64 ? std::vector<int>{64, 32} : std::vector<int>{32}) {
            std::wstring alias = InstalledAlias(bits);
            if (!alias.empty())
                printf("TOLVEX.dll (%d-bit) registered as %s\n", bits, Narrow(alias).c_str());
        }
    }
    UINT outs = dev->NumOut(), ins = dev->NumIn();
    printf("outputs: %u\n", outs);
    for (UINT k = 0; k < outs; k++) {
        MIDIOUTCAPSW c;
        MMRESULT r = dev->OutCaps(k, &c);
        if (r != MMSYSERR_NOERROR) {
            printf("  out %u: %s\n", k, ErrorText(r).c_str());
            continue;
        }
        printf("  out %u: %s%s\n", k, Narrow(c.szPname).c_str(), wcsstr(c.szPname, kOurOutName) ? "  [TOLVEX]" : "");
        printf("         %s, manufacturer %u, product %u, driver version %u.%u, voices %u, notes %u, "
               "channels %04x, support %08lx\n",
               Technology(c.wTechnology), c.wMid, c.wPid, c.vDriverVersion >> 8, c.vDriverVersion & 0xFF, c.wVoices,
               c.wNotes, c.wChannelMask, (unsigned long)c.dwSupport);
    }
    printf("inputs: %u\n", ins);
    for (UINT k = 0; k < ins; k++) {
        MIDIINCAPSW c;
        MMRESULT r = dev->InCaps(k, &c);
        if (r != MMSYSERR_NOERROR) {
            printf("  in %u: %s\n", k, ErrorText(r).c_str());
            continue;
        }
        printf("  in %u: %s%s\n", k, Narrow(c.szPname).c_str(), wcsstr(c.szPname, kOurInName) ? "  [TOLVEX]" : "");
        printf("         manufacturer %u, product %u, driver version %u.%u\n", c.wMid, c.wPid, c.vDriverVersion >> 8,
               c.vDriverVersion & 0xFF);
    }
    DWORD port;
    if (ReadPort(&port).empty())
        printf("port: COM%lu\n", (unsigned long)port);
    else
        printf("port: none stored (tolvexctl port N, or tolvexctl config)\n");
    return kExitOk;
}

std::string Clock(uint64_t us)
{
    char b[32];
    uint64_t tenths = us / 100000;
    snprintf(b, sizeof b, "%u:%02u.%u", (unsigned)(tenths / 600), (unsigned)(tenths / 10 % 60),
             (unsigned)(tenths % 10));
    return b;
}

void Progress(uint64_t nowUs, uint64_t totalUs, size_t sent, size_t events)
{
    constexpr int kBar = 30;
    int filled = totalUs ? (int)(nowUs * kBar / totalUs) : kBar;
    if (filled > kBar)
        filled = kBar;
    printf("\r%s / %s  [%s%s]  %zu/%zu events ", Clock(nowUs).c_str(), Clock(totalUs).c_str(),
           std::string(filled, '#').c_str(), std::string(kBar - filled, '.').c_str(), sent, events);
    fflush(stdout);
}

bool Send(Devices *dev, const std::vector<uint8_t> &bytes, bool sysex)
{
    MMRESULT r = sysex ? dev->Long(bytes.data(), (DWORD)bytes.size()) : dev->Short(midimsg::Pack(bytes));
    if (r != MMSYSERR_NOERROR)
        Fail("sending " + midimsg::Hex(bytes.data(), bytes.size() > 8 ? 8 : bytes.size()) +
             (bytes.size() > 8 ? " ..." : "") + ": " + ErrorText(r));
    return r == MMSYSERR_NOERROR;
}

int CmdPlay(Devices *dev, const Options &o)
{
    if (o.args.size() != 1) {
        Fail("play takes one file");
        return kExitUsage;
    }
    std::vector<uint8_t> file;
    std::string error;
    if (!ReadWholeFile(o.args[0], &file, &error)) {
        Fail(error);
        return kExitFailed;
    }
    smf::Song song;
    error = smf::Read(file.data(), file.size(), &song);
    if (!error.empty()) {
        Fail(o.args[0] + ": " + error);
        return kExitFailed;
    }
    printf("%s: format %d, %d track%s, %zu events, %d tempo change%s, %s\n", o.args[0].c_str(), song.format,
           song.tracks, song.tracks == 1 ? "" : "s", song.events.size(), song.tempoChanges,
           song.tempoChanges == 1 ? "" : "s", Clock(song.lengthUs).c_str());
    fflush(stdout);
    UINT id;
    if (!PickDevice(dev, o, false, &id) || !Opened(dev->OpenOut(id), "MIDI output"))
        return kExitFailed;

    timeBeginPeriod(1);
    DWORD start = timeGetTime(), lastDrawn = start - kProgressMs;
    size_t next = 0, sentBytes = 0;
    bool ok = true;
    for (;;) {
        uint64_t nowUs = (uint64_t)(timeGetTime() - start) * 1000;
        while (ok && next < song.events.size() && song.events[next].us <= nowUs) {
            ok = Send(dev, song.events[next].bytes, song.events[next].sysex);
            sentBytes += ok ? song.events[next].bytes.size() : 0;
            next++;
        }
        if (!ok || gStop || (next == song.events.size() && nowUs >= song.lengthUs))
            break;
        if (!o.quiet && timeGetTime() - lastDrawn >= kProgressMs) {
            lastDrawn = timeGetTime();
            Progress(nowUs, song.lengthUs, next, song.events.size());
        }
        uint64_t dueUs = next < song.events.size() ? song.events[next].us : song.lengthUs;
        DWORD waitMs = dueUs > nowUs ? (DWORD)((dueUs - nowUs + 999) / 1000) : 0;
        Sleep(waitMs < kMaxSleepMs ? waitMs : kMaxSleepMs);
    }
    if (!o.quiet) {
        Progress(gStop ? (uint64_t)(timeGetTime() - start) * 1000 : song.lengthUs, song.lengthUs, next,
                 song.events.size());
        printf("\n");
    }
    if (gStop) {
        dev->ResetOut(); /* silences notes left sounding */
        printf("stopped\n");
    }
    timeEndPeriod(1);
    dev->CloseOut();
    size_t sent = ok ? next : next - 1;
    printf("sent %zu message%s, %zu bytes\n", sent, sent == 1 ? "" : "s", sentBytes);
    return ok ? kExitOk : kExitFailed;
}

int CmdSend(Devices *dev, const Options &o)
{
    if (o.args.empty()) {
        Fail("send takes a .syx file or hex bytes");
        return kExitUsage;
    }
    std::vector<uint8_t> bytes;
    std::string error;
    const std::string &first = o.args[0];
    auto endsWith = [&](const char *ext) {
        size_t n = strlen(ext);
        return first.size() > n && _stricmp(first.c_str() + first.size() - n, ext) == 0;
    };
    /* A missing file.syx is reported as a missing file, not as bad hex. */
    bool isFile =
        o.args.size() == 1 && (GetFileAttributesW(Widen(first).c_str()) != INVALID_FILE_ATTRIBUTES || endsWith(".syx"));
    if (isFile ? !ReadWholeFile(first, &bytes, &error) : !(error = midimsg::ParseHex(o.args, &bytes)).empty()) {
        Fail(error);
        return kExitFailed;
    }
    std::vector<midimsg::Message> messages;
    error = midimsg::Split(bytes, &messages);
    if (!error.empty() || messages.empty()) {
        Fail((isFile ? first + ": " : std::string()) + (error.empty() ? "nothing to send" : error));
        return kExitFailed;
    }
    UINT id;
    if (!PickDevice(dev, o, false, &id) || !Opened(dev->OpenOut(id), "MIDI output"))
        return kExitFailed;
    size_t sent = 0, total = 0;
    for (const midimsg::Message &m : messages) {
        if (!Send(dev, m.bytes, m.sysex))
            break;
        sent++;
        total += m.bytes.size();
    }
    dev->CloseOut();
    printf("sent %zu message%s, %zu bytes\n", sent, sent == 1 ? "" : "s", total);
    return sent == messages.size() ? kExitOk : kExitFailed;
}

void PrintReceived(const Received &r, std::vector<uint8_t> *sysex, DWORD *sysexStamp)
{
    if (r.msg == MIM_LONGDATA || r.msg == MIM_LONGERROR) {
        if (sysex->empty())
            *sysexStamp = r.stamp;
        sysex->insert(sysex->end(), r.bytes.begin(), r.bytes.end());
        bool complete = !sysex->empty() && sysex->back() == 0xF7;
        if (!complete && r.msg != MIM_LONGERROR && r.bytes.size() == kInBufferSize)
            return; /* more of it comes in the next buffer */
        if (sysex->empty())
            return;
        printf("%9.3f  %s  %s%s\n", *sysexStamp / 1000.0, midimsg::Hex(sysex->data(), sysex->size()).c_str(),
               midimsg::Describe(*sysex).c_str(), r.msg == MIM_LONGERROR || !complete ? " (incomplete)" : "");
        sysex->clear();
    } else if (r.msg == MIM_ERROR) {
        printf("%9.3f  %-9s  error: stray or broken data (%08lx)\n", r.stamp / 1000.0,
               midimsg::Hex(r.bytes.data(), 1).c_str(), (unsigned long)midimsg::Pack(r.bytes));
    } else {
        printf("%9.3f  %-9s  %s\n", r.stamp / 1000.0, midimsg::Hex(r.bytes.data(), r.bytes.size()).c_str(),
               midimsg::Describe(r.bytes).c_str());
    }
    fflush(stdout);
}

int CmdDump(Devices *dev, const Options &o)
{
    UINT id;
    if (!PickDevice(dev, o, true, &id))
        return kExitFailed;
    Input in(dev);
    if (!in.Open(id))
        return kExitFailed;
    fprintf(stderr, "waiting for data%s; Ctrl-C stops\n",
            o.seconds > 0 ? (" for " + std::to_string((int)o.seconds) + " s").c_str() : "");
    DWORD start = GetTickCount(), limitMs = (DWORD)(o.seconds * 1000);
    std::vector<uint8_t> sysex;
    DWORD sysexStamp = 0;
    while (!gStop && (limitMs == 0 || GetTickCount() - start < limitMs)) {
        WaitForSingleObject(gArrived, 50);
        for (const Received &r : TakeReceived()) {
            PrintReceived(r, &sysex, &sysexStamp);
            if (r.hdr)
                in.GiveBack(r.hdr);
        }
    }
    return kExitOk;
}

/* A pattern that touches every channel, every message length, the data
   byte extremes and a system exclusive message of every data value. */
std::vector<midimsg::Message> SelftestPattern()
{
    std::vector<midimsg::Message> p;
    for (uint8_t ch = 0; ch < 16; ch++) {
        p.push_back({{(uint8_t)(0x90 | ch), (uint8_t)(0x30 + ch), 0x7F}, false});
        p.push_back({{(uint8_t)(0xB0 | ch), 0x07, (uint8_t)(ch * 8)}, false});
        p.push_back({{(uint8_t)(0xC0 | ch), (uint8_t)(0x7F - ch)}, false});
        p.push_back({{(uint8_t)(0xE0 | ch), 0x00, 0x7F}, false});
        p.push_back({{(uint8_t)(0xD0 | ch), 0x00}, false});
        p.push_back({{(uint8_t)(0xA0 | ch), 0x3C, 0x01}, false});
        p.push_back({{(uint8_t)(0x80 | ch), (uint8_t)(0x30 + ch), 0x00}, false});
    }
    midimsg::Message sx{{0xF0, 0x7D}, true}; /* 7D: the id for non-commercial use */
    for (int v = 0; v < 0x80; v++)
        sx.bytes.push_back((uint8_t)v);
    sx.bytes.push_back(0xF7);
    p.push_back(sx);
    p.push_back({{0xF2, 0x7F, 0x00}, false});
    return p;
}

int CmdSelftest(Devices *dev, const Options &o)
{
    UINT outId, inId;
    if (!PickDevice(dev, o, false, &outId) || !PickDevice(dev, o, true, &inId))
        return kExitFailed;
    if (!Opened(dev->OpenOut(outId), "MIDI output"))
        return kExitFailed;
    std::vector<midimsg::Message> pattern = SelftestPattern();
    std::vector<std::vector<uint8_t>> got;
    size_t sentBytes = 0;
    bool sentAll = true;
    {
        Input in(dev);
        if (!in.Open(inId)) {
            dev->CloseOut();
            return kExitFailed;
        }
        /* Bytes left in the port's queue (the echo of an earlier close's
           reset, say) are not part of the pattern. */
        DWORD lastStale = GetTickCount(), drainStart = lastStale;
        while (GetTickCount() - lastStale < kDrainQuietMs && GetTickCount() - drainStart < kSelftestQuietMs) {
            WaitForSingleObject(gArrived, 20);
            for (const Received &r : TakeReceived()) {
                lastStale = GetTickCount();
                if (r.hdr)
                    in.GiveBack(r.hdr);
            }
        }
        for (const midimsg::Message &m : pattern) {
            if (!(sentAll = Send(dev, m.bytes, m.sysex)))
                break;
            sentBytes += m.bytes.size();
        }
        std::vector<uint8_t> sysex;
        DWORD quietSince = GetTickCount();
        while (sentAll && got.size() < pattern.size() && GetTickCount() - quietSince < kSelftestQuietMs && !gStop) {
            WaitForSingleObject(gArrived, 50);
            for (const Received &r : TakeReceived()) {
                quietSince = GetTickCount();
                if (r.hdr) {
                    sysex.insert(sysex.end(), r.bytes.begin(), r.bytes.end());
                    if (!sysex.empty() && (sysex.back() == 0xF7 || r.msg == MIM_LONGERROR)) {
                        got.push_back(sysex);
                        sysex.clear();
                    }
                    in.GiveBack(r.hdr);
                } else if (r.msg == MIM_ERROR) {
                    got.push_back({}); /* stands for the broken data in the comparison */
                } else {
                    got.push_back(r.bytes);
                }
            }
        }
        /* Output first: with a loop-back plug its reset comes back while
           the input is still there to take it, not at the next open. */
        dev->CloseOut();
        Sleep(kDrainQuietMs);
        in.Close();
    }
    if (!sentAll)
        return kExitFailed;

    size_t same = 0;
    while (same < got.size() && same < pattern.size() && got[same] == pattern[same].bytes)
        same++;
    if (same == pattern.size() && got.size() == pattern.size()) {
        printf("selftest passed: %zu messages (%zu bytes) came back intact\n", pattern.size(), sentBytes);
        return kExitOk;
    }
    if (got.empty()) {
        printf("selftest FAILED: nothing came back; is the loop-back plug (TX to RX) on the port in use?\n");
    } else if (same < got.size() && same < pattern.size()) {
        const std::vector<uint8_t> &s = pattern[same].bytes, &g = got[same];
        printf("selftest FAILED at message %zu of %zu: sent %s, received %s\n", same + 1, pattern.size(),
               midimsg::Hex(s.data(), s.size()).c_str(),
               g.empty() ? "broken data" : midimsg::Hex(g.data(), g.size()).c_str());
    } else {
        printf("selftest FAILED: %zu messages sent, %zu came back\n", pattern.size(), got.size());
    }
    return kExitFailed;
}

/* The universal identity request to every device id; the reply names the
   module's maker, family, model and version. */
int CmdIdentity(Devices *dev, const Options &o)
{
    const std::vector<uint8_t> kRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    constexpr size_t kReplyBytes = 15; /* F0 7E id 06 02 mm ff ff dd dd ss ss ss ss F7 */
    UINT outId, inId;
    if (!PickDevice(dev, o, false, &outId) || !PickDevice(dev, o, true, &inId))
        return kExitFailed;
    if (!Opened(dev->OpenOut(outId), "MIDI output"))
        return kExitFailed;
    std::vector<uint8_t> reply, sysex;
    {
        Input in(dev);
        if (!in.Open(inId)) {
            dev->CloseOut();
            return kExitFailed;
        }
        bool sent = Send(dev, kRequest, true);
        DWORD start = GetTickCount(), limitMs = o.seconds > 0 ? (DWORD)(o.seconds * 1000) : kIdentityWaitMs;
        while (sent && reply.empty() && GetTickCount() - start < limitMs && !gStop) {
            WaitForSingleObject(gArrived, 50);
            for (const Received &r : TakeReceived()) {
                if (!r.hdr)
                    continue;
                sysex.insert(sysex.end(), r.bytes.begin(), r.bytes.end());
                if (!sysex.empty() && sysex.back() == 0xF7) {
                    if (sysex.size() >= 5 && sysex[1] == 0x7E && sysex[3] == 0x06 && sysex[4] == 0x02)
                        reply = sysex; /* anything else (an echo of the request) is not the answer */
                    sysex.clear();
                }
                in.GiveBack(r.hdr);
            }
        }
    }
    dev->CloseOut();
    if (reply.empty()) {
        printf("no identity reply within %.1f s\n", (o.seconds > 0 ? o.seconds : kIdentityWaitMs / 1000.0));
        return kExitFailed;
    }
    printf("identity reply: %s\n", midimsg::Hex(reply.data(), reply.size()).c_str());
    if (reply.size() == kReplyBytes)
        printf("manufacturer 0x%02x, family %d, model %d, version %d.%d.%d.%d\n", reply[5], reply[6] | reply[7] << 7,
               reply[8] | reply[9] << 7, reply[10], reply[11], reply[12], reply[13]);
    return kExitOk;
}

int CmdConfig(Devices *dev)
{
    std::string error;
    LRESULT r = dev->Configure(nullptr, &error);
    if (r == DRVCNF_RESTART) {
        printf("port stored; programs that load the driver from now on use it\n");
        return kExitOk;
    }
    if (r == DRVCNF_CANCEL) {
        printf("cancelled; nothing changed\n");
        return kExitOk;
    }
    Fail(error.empty() ? "the driver answered " + std::to_string((long long)r) : error);
    return kExitFailed;
}

int CmdPort(const Options &o)
{
    if (o.args.empty()) {
        DWORD port;
        std::string error = ReadPort(&port);
        if (!error.empty()) {
            printf("%s\n", error.c_str());
            return kExitFailed;
        }
        printf("COM%lu\n", (unsigned long)port);
        return kExitOk;
    }
    const std::string &a = o.args[0];
    size_t digits = a.compare(0, 3, "COM") == 0 || a.compare(0, 3, "com") == 0 ? 3 : 0;
    char *end = nullptr;
    unsigned long n = strtoul(a.c_str() + digits, &end, 10);
    if (o.args.size() != 1 || a.size() == digits || *end != 0 || n < 1 || n > kPortMax) {
        Fail("port takes one number from 1 to 256 (COM1 to COM256)");
        return kExitUsage;
    }
    std::string error = StorePort((DWORD)n);
    if (!error.empty()) {
        Fail(error);
        return kExitFailed;
    }
    printf("stored COM%lu; programs that load the driver from now on use it\n", n);
    /* Only a look: a port held by another program still exists. */
    HANDLE h = CreateFileW((L"\\\\.\\COM" + std::to_wstring(n)).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD why = GetLastError();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    else if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND)
        printf("note: COM%lu does not exist at the moment\n", n);
    return kExitOk;
}

int CmdInstall(const Options &o)
{
    std::wstring dll;
    if (!o.args.empty()) {
        dll = Widen(o.args[0]);
    } else if (!o.driver.empty()) {
        dll = o.driver;
    } else {
        wchar_t self[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring s(self, n);
        dll = s.substr(0, s.find_last_of(L"\\/") + 1) + L"TOLVEX.dll";
    }
    std::string report;
    std::string error = Install(dll, &report);
    printf("%s", report.c_str());
    if (!error.empty())
        Fail(error);
    return error.empty() ? kExitOk : kExitFailed;
}

int CmdUninstall(const Options &o)
{
    int bits = NativeBits();
    if (!o.args.empty()) {
        bits = atoi(o.args[0].c_str());
        if (o.args.size() != 1 || (bits != 32 && bits != 64)) {
            Fail("uninstall takes 32 or 64");
            return kExitUsage;
        }
    }
    std::string report;
    std::string error = Uninstall(bits, &report);
    printf("%s", report.c_str());
    if (!error.empty())
        Fail(error);
    return error.empty() ? kExitOk : kExitFailed;
}

bool ParseOptions(int argc, char **argv, Options *o)
{
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        bool hasValue = k + 1 < argc;
        if (a == "--driver" && hasValue) {
            o->driver = Widen(argv[++k]);
        } else if (a == "--device" && hasValue) {
            char *end;
            o->device = (int)strtol(argv[++k], &end, 10);
            if (*end != 0 || o->device < 0)
                return false;
        } else if (a == "--time" && hasValue) {
            char *end;
            o->seconds = strtod(argv[++k], &end);
            if (*end != 0 || o->seconds <= 0)
                return false;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "-h" || a == "--help") {
            return false;
        } else if (a.compare(0, 2, "--") == 0) {
            return false;
        } else if (o->command.empty()) {
            o->command = a;
        } else {
            o->args.push_back(a);
        }
    }
    return !o->command.empty();
}
} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    SetConsoleCtrlHandler(OnCtrl, TRUE);
    InitializeCriticalSection(&gInLock);
    gArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    if (o.command == "port")
        return CmdPort(o);
    if (o.command == "install")
        return CmdInstall(o);
    if (o.command == "uninstall")
        return CmdUninstall(o);

    const char *const kDeviceCommands[] = {"list", "play", "send", "dump", "config", "selftest", "identity"};
    bool known = false;
    for (const char *c : kDeviceCommands)
        known = known || o.command == c;
    if (!known) {
        Fail("unknown command \"" + o.command + "\"");
        fputs(kUsage, stderr);
        return kExitUsage;
    }

    std::string error;
    std::unique_ptr<Devices> dev(o.driver.empty() ? OpenWinmmDevices() : OpenDriverDevices(o.driver, &error));
    if (!dev) {
        Fail(error);
        return kExitFailed;
    }
    if (o.command == "list")
        return CmdList(dev.get());
    if (o.command == "play")
        return CmdPlay(dev.get(), o);
    if (o.command == "send")
        return CmdSend(dev.get(), o);
    if (o.command == "dump")
        return CmdDump(dev.get(), o);
    if (o.command == "config")
        return CmdConfig(dev.get());
    if (o.command == "identity")
        return CmdIdentity(dev.get(), o);
    return CmdSelftest(dev.get(), o);
}
