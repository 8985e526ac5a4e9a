/*
 * The commands that use the output: list (and the capabilities of both
 * devices), play a Standard MIDI File, send bytes or a .syx file.
 */
#include "commands.h"
#include "install.h"
#include "midimsg.h"
#include "settings.h"
#include "smf.h"

#include <mmddk.h>

#include <cstdio>
#include <cstring>

namespace
{
constexpr DWORD kProgressMs = 250;           /* progress line redrawn this often */
constexpr DWORD kMaxSleepMs = 20;            /* longest sleep while playing: keeps Ctrl-C and progress prompt */
constexpr size_t kPieceBytes = 256;          /* a long message goes out in pieces of this size, 67 ms of the line:
                                                Ctrl-C is looked at between them */
constexpr DWORD kSendProgressAfterMs = 1000; /* a send that the line takes longer over shows progress */
constexpr DWORD kRateAfterMs = 500;          /* time left from the rate seen once the send has run this long */

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

/* "  [TOLVEX port N]" for a device of one of our ports: on the driver's own
   road device N, through winmm the device with port N's name. */
std::string Tag(Devices *dev, UINT id, const wchar_t *name, bool input)
{
    std::vector<PortSetting> ports = ReadPorts();
    bool ours = id != MIDI_MAPPER && dev->Name() != "winmm";
    for (size_t n = 0; n < ports.size(); n++)
        if (ours ? id == n : id != MIDI_MAPPER && DeviceName(ports, n, input) == name)
            return "  [TOLVEX port " + std::to_string(n) + "]";
    return ours || wcsstr(name, input ? kOurInName : kOurOutName) ? "  [TOLVEX]" : "";
}

void ListOut(Devices *dev, UINT id, const std::string &label)
{
    MIDIOUTCAPSW c;
    MMRESULT r = dev->OutCaps(id, &c);
    if (r != MMSYSERR_NOERROR) {
        printf("  out %s: %s\n", label.c_str(), ErrorText(r).c_str());
        return;
    }
    printf("  out %s: %s%s\n", label.c_str(), Narrow(c.szPname).c_str(), Tag(dev, id, c.szPname, false).c_str());
    printf("         %s, manufacturer %u, product %u, driver version %u.%u, voices %u, notes %u, "
           "channels %04x, support %08lx\n",
           Technology(c.wTechnology), c.wMid, c.wPid, c.vDriverVersion >> 8, c.vDriverVersion & 0xFF, c.wVoices,
           c.wNotes, c.wChannelMask, (unsigned long)c.dwSupport);
}

void ListIn(Devices *dev, UINT id, const std::string &label)
{
    MIDIINCAPSW c;
    MMRESULT r = dev->InCaps(id, &c);
    if (r != MMSYSERR_NOERROR) {
        printf("  in %s: %s\n", label.c_str(), ErrorText(r).c_str());
        return;
    }
    printf("  in %s: %s%s\n", label.c_str(), Narrow(c.szPname).c_str(), Tag(dev, id, c.szPname, true).c_str());
    printf("         manufacturer %u, product %u, driver version %u.%u\n", c.wMid, c.wPid, c.vDriverVersion >> 8,
           c.vDriverVersion & 0xFF);
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

/* Bytes sent of the total and the time left: at the rate seen so far, or
   at the line's rate before there is one to see. */
void SendProgress(size_t done, size_t total, DWORD elapsedMs, double lineRate)
{
    constexpr int kBar = 30;
    int filled = total ? (int)((uint64_t)done * kBar / total) : kBar;
    if (filled > kBar)
        filled = kBar;
    double rate = elapsedMs >= kRateAfterMs && done > 0 ? done * 1000.0 / elapsedMs : lineRate;
    uint64_t leftUs = done < total ? (uint64_t)((total - done) / rate * 1e6) : 0;
    printf("\r%zu / %zu bytes  [%s%s]  %s left ", done, total, std::string(filled, '#').c_str(),
           std::string(kBar - filled, '.').c_str(), Clock(leftUs).c_str());
    fflush(stdout);
}

bool Stopping() { return gStop; }
} // namespace

int CmdList(Devices *dev)
{
    printf("devices through %s\n", dev->Name().c_str());
    bool winmm = dev->Name() == "winmm";
    if (winmm) {
        /* On 64-bit Windows each architecture has its own Drivers32. */
        for (int bits : NativeBits() == 64 ? std::vector<int>{64, 32} : std::vector<int>{32}) {
            std::wstring alias = InstalledAlias(bits);
            if (!alias.empty())
                printf("TOLVEX.dll (%d-bit) registered as %s\n", bits, Narrow(alias).c_str());
        }
    }
    UINT outs = dev->NumOut(), ins = dev->NumIn();
    printf("outputs: %u\n", outs);
    for (UINT k = 0; k < outs; k++)
        ListOut(dev, k, std::to_string(k));
    /* winmm counts the mapper apart from the devices; shown when there is one. */
    MIDIOUTCAPSW oc;
    if (winmm && dev->OutCaps(MIDI_MAPPER, &oc) == MMSYSERR_NOERROR)
        ListOut(dev, MIDI_MAPPER, "mapper");
    printf("inputs: %u\n", ins);
    for (UINT k = 0; k < ins; k++)
        ListIn(dev, k, std::to_string(k));
    MIDIINCAPSW ic;
    if (winmm && dev->InCaps(MIDI_MAPPER, &ic) == MMSYSERR_NOERROR)
        ListIn(dev, MIDI_MAPPER, "mapper");
    /* One port: the line it always had. */
    std::vector<PortSetting> ports = ReadPorts();
    for (size_t n = 0; n < ports.size(); n++) {
        std::string label = ports.size() == 1 ? "port" : "port " + std::to_string(n);
        if (!ports[n].comError.empty())
            printf("%s: %s; tolvexctl port N or tolvexctl config stores one\n", label.c_str(),
                   ports[n].comError.c_str());
        else if (ports.size() == 1)
            printf("port: COM%lu\n", (unsigned long)ports[n].com);
        else
            printf("%s: COM%lu at %lu bit/s\n", label.c_str(), (unsigned long)ports[n].com,
                   (unsigned long)ports[n].baud);
    }
    return kExitOk;
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
    std::vector<uint8_t>().swap(file); /* the song keeps nothing of it */
    printf("%s: format %d, %d track%s, %zu events, %d tempo change%s, %s\n", o.args[0].c_str(), song.format,
           song.tracks, song.tracks == 1 ? "" : "s", song.events.size(), song.tempoChanges,
           song.tempoChanges == 1 ? "" : "s", Clock(song.lengthUs).c_str());
    fflush(stdout);
    UINT id;
    if (!PickDevice(dev, o, false, &id) || !Opened(dev->OpenOut(id), "MIDI output"))
        return kExitFailed;

    midimsg::Out out = [dev](const uint8_t *data, size_t size, bool sysex) { return Send(dev, data, size, sysex); };
    timeBeginPeriod(1);
    DWORD start = timeGetTime(), lastDrawn = start - kProgressMs;
    size_t next = 0, sentBytes = 0; /* next: the first event not sent whole */
    midimsg::Outcome outcome = midimsg::Outcome::kSent;
    for (;;) {
        uint64_t nowUs = (uint64_t)(timeGetTime() - start) * 1000;
        while (outcome == midimsg::Outcome::kSent && next < song.events.size() && song.events[next].Us() <= nowUs) {
            std::vector<uint8_t> bytes = song.Bytes(song.events[next]);
            size_t went = 0;
            outcome =
                midimsg::Put(bytes.data(), bytes.size(), song.events[next].Sysex(), kPieceBytes, out, Stopping, &went);
            sentBytes += went;
            next += outcome == midimsg::Outcome::kSent;
        }
        if (outcome != midimsg::Outcome::kSent || (next == song.events.size() && nowUs >= song.lengthUs))
            break;
        if (gStop) {
            outcome = midimsg::Outcome::kStopped;
            break;
        }
        if (!o.quiet && timeGetTime() - lastDrawn >= kProgressMs) {
            lastDrawn = timeGetTime();
            Progress(nowUs, song.lengthUs, next, song.events.size());
        }
        uint64_t dueUs = next < song.events.size() ? song.events[next].Us() : song.lengthUs;
        DWORD waitMs = dueUs > nowUs ? (DWORD)((dueUs - nowUs + 999) / 1000) : 0;
        Sleep(waitMs < kMaxSleepMs ? waitMs : kMaxSleepMs);
    }
    bool stopped = outcome == midimsg::Outcome::kStopped;
    if (!o.quiet) {
        Progress(outcome == midimsg::Outcome::kSent ? song.lengthUs : (uint64_t)(timeGetTime() - start) * 1000,
                 song.lengthUs, next, song.events.size());
        printf("\n");
    }
    if (stopped) {
        dev->ResetOut(); /* silences notes left sounding */
        printf("stopped\n");
    }
    timeEndPeriod(1);
    dev->CloseOut();
    printf("sent %zu message%s, %zu bytes\n", next, next == 1 ? "" : "s", sentBytes);
    return stopped ? kExitStopped : outcome == midimsg::Outcome::kSent ? kExitOk : kExitFailed;
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

    size_t total = 0;
    for (const midimsg::Message &m : messages)
        total += m.bytes.size();
    /* Progress for a send that takes more than about a second: from the start
       when the line needs that long for it, else once a second has gone. */
    double lineRate = LineBytesPerSecond(o);
    bool lineTakesLong = total > lineRate;
    DWORD start = GetTickCount(), lastDrawn = 0;
    bool drawn = false;
    size_t done = 0;
    auto draw = [&](bool last) {
        DWORD now = GetTickCount();
        if (o.quiet || (last && !drawn) || (!lineTakesLong && now - start < kSendProgressAfterMs) ||
            (!last && drawn && now - lastDrawn < kProgressMs))
            return;
        drawn = true;
        lastDrawn = now;
        SendProgress(done, total, now - start, lineRate);
        if (last)
            printf("\n");
    };
    midimsg::Out out = [&](const uint8_t *data, size_t size, bool sysex) {
        bool ok = Send(dev, data, size, sysex);
        done += ok ? size : 0;
        draw(false);
        return ok;
    };
    size_t sent = 0, sentBytes = 0, cutAt = 0;
    midimsg::Outcome outcome = midimsg::Outcome::kSent;
    for (const midimsg::Message &m : messages) {
        size_t went = 0;
        outcome = midimsg::Put(m.bytes.data(), m.bytes.size(), m.sysex, kPieceBytes, out, Stopping, &went);
        sentBytes += went;
        done = sentBytes; /* a closing F7 is not the file's */
        if (outcome != midimsg::Outcome::kSent) {
            cutAt = went > 0 && went < m.bytes.size() ? went : 0;
            break;
        }
        sent++;
    }
    draw(true);
    bool stopped = outcome == midimsg::Outcome::kStopped;
    if (stopped) {
        dev->ResetOut(); /* silences notes left sounding */
        printf("stopped\n");
    }
    if (cutAt)
        printf("a system exclusive message was cut short after %zu bytes; an F7 ended it\n", cutAt);
    dev->CloseOut();
    printf("sent %zu message%s, %zu bytes\n", sent, sent == 1 ? "" : "s", sentBytes);
    return stopped ? kExitStopped : outcome == midimsg::Outcome::kSent ? kExitOk : kExitFailed;
}
