/*
 * Groups of several ports, on the simulator's further lines (COM2 and COM3,
 * plugged for the group): the devices each port gets, its line speed as
 * the pty reads it, two ports streaming both ways at their own line rates,
 * and a port lost while the other streams on.
 */
#include "groups.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace
{
constexpr DWORD kFastBaud = 115200;
constexpr double kBytesPerBit = 0.1;  /* 8N1: ten bits a byte */
constexpr DWORD kStreamMs = 5000;     /* both ports streaming both ways */
constexpr DWORD kLostMs = 2500;       /* port 0 watched after port 1's line goes */
constexpr DWORD kSendTurnMs = 2;      /* the output's pacing */
constexpr DWORD kDeliverMs = 3000;    /* for the last of a stream to be delivered */
constexpr double kRateShare = 0.9;    /* of the line rate a stream must reach to count as at it */
constexpr DWORD kMaxGapMs = 100;      /* between two deliveries on the port that stays */
constexpr DWORD kStreamNoteOn = 0x40; /* the simulator's stream: 90 nn 40, 80 nn 00 */
constexpr BYTE kOutNoteOn = 0x91;     /* ours, on channel 2 so that the two never pass for each other */
constexpr DWORD kLineBaud[2] = {38400, kFastBaud};

/* The k-th message of the simulator's stream, as MIM_DATA carries it. */
DWORD StreamWord(LONG k)
{
    DWORD note = (DWORD)(k % 256) / 2;
    return k % 2 == 0 ? 0x90 | note << 8 | kStreamNoteOn << 16 : 0x80 | note << 8;
}

DWORD OutWord(LONG k)
{
    DWORD note = (DWORD)(k % 256) / 2;
    return k % 2 == 0 ? kOutNoteOn | note << 8 | 0x7Fu << 16 : (kOutNoteOn - 0x10) | note << 8;
}

uint32_t Crc32(uint32_t crc, const BYTE *p, size_t n)
{
    crc = ~crc;
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; k++)
            crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

/* One port's input as its callback sees it; instance word = port. */
struct PortIn {
    std::atomic<LONG> delivered{0}, wrong{0}, errors{0};
    std::atomic<DWORD> firstWrong{0}, lastAt{0}, maxGap{0};
    std::atomic<bool> watchGap{false};
} gIn[2];

void CALLBACK StreamProc(HDRVR, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR)
{
    PortIn &in = gIn[user & 1];
    if (msg == MIM_ERROR)
        in.errors++;
    if (msg != MIM_DATA)
        return;
    DWORD at = timeGetTime();
    if (in.watchGap && at - in.lastAt > in.maxGap)
        in.maxGap = at - in.lastAt;
    in.lastAt = at;
    LONG k = in.delivered++;
    if (p1 != StreamWord(k) && in.wrong++ == 0)
        in.firstWrong = (DWORD)p1;
}

/* The output of both ports, paced at each port's line rate by a thread of its own. */
struct PortOut {
    std::atomic<bool> on{false};
    LONG sent = 0, refused = 0;
    uint32_t crc = 0;
    DWORD startedAt = 0;
} gOut[2];
std::atomic<bool> gSending{true};

DWORD WINAPI SendThread(LPVOID)
{
    while (gSending) {
        for (UINT p = 0; p < 2; p++) {
            PortOut &o = gOut[p];
            double due = (double)(timeGetTime() - o.startedAt) * kLineBaud[p] * kBytesPerBit / 1000;
            while (o.on && o.sent * 3 < due) {
                DWORD w = OutWord(o.sent);
                BYTE b[3] = {(BYTE)w, (BYTE)(w >> 8), (BYTE)(w >> 16)};
                if (gMod(p, MODM_DATA, 0, w, 0) != MMSYSERR_NOERROR)
                    o.refused++;
                o.crc = Crc32(o.crc, b, 3);
                o.sent++;
            }
        }
        Sleep(kSendTurnMs);
    }
    return 0;
}

/* "STREAMED n dropped": the bytes the line's stream wrote. */
long Streamed(const char *line)
{
    std::string a = SimAsk(std::string(line) + "STREAMED");
    return a.compare(0, 9, "STREAMED ") == 0 ? atol(a.c_str() + 9) : -1;
}

/* Ends line's stream and waits for port's input to deliver it all: the bytes streamed. */
long EndStream(const char *line, UINT port)
{
    SimAsk(std::string(line) + "STREAM OFF");
    long streamed = Streamed(line);
    DWORD start = GetTickCount();
    while (gIn[port].delivered * 3 < streamed && GetTickCount() - start < kDeliverMs)
        Sleep(10);
    return streamed;
}

void CheckInput(UINT port, long streamed, DWORD ms, const char *check)
{
    PortIn &in = gIn[port];
    double rate = (double)streamed * 1000 / ms;
    printf("INFO %s port %u in: %ld bytes at %.0f bytes/s, line %.0f\n", gGroup.c_str(), port, streamed, rate,
           kLineBaud[port] * kBytesPerBit);
    Report(in.delivered * 3 == streamed && in.wrong == 0 && in.errors == 0 &&
               rate >= kRateShare * kLineBaud[port] * kBytesPerBit,
           check,
           "expected all %ld bytes in order at %.0f bytes/s or more, no MIM_ERROR; got %ld messages, %ld out of order "
           "(the first %#lx), %ld MIM_ERROR, %.0f bytes/s",
           streamed, kRateShare * kLineBaud[port] * kBytesPerBit, (long)in.delivered, (long)in.wrong,
           (unsigned long)in.firstWrong, (long)in.errors, rate);
}

/* Stops port's output and compares what its line received. */
void CheckOutput(UINT port, const char *line, const char *check)
{
    PortOut &o = gOut[port];
    o.on = false;
    Sleep(kSendTurnMs * 5); /* a round of the thread under way */
    DWORD ms = timeGetTime() - o.startedAt;
    char want[32];
    snprintf(want, sizeof want, "CRC %ld %08x", o.sent * 3, o.crc);
    std::string got = SimAsk(std::string(line) + "CRC " + std::to_string(o.sent * 3));
    printf("INFO %s port %u out: %ld bytes at %.0f bytes/s\n", gGroup.c_str(), port, o.sent * 3, o.sent * 3000.0 / ms);
    Report(got == want && o.refused == 0, check, "expected \"%s\" at the module and none refused, got \"%s\", %ld",
           want, got.c_str(), (long)o.refused);
}

bool OpenPorts(UINT count)
{
    bool ok = true;
    for (UINT p = 0; p < count; p++) {
        DWORD o = OpenDeviceOn(gMod, MODM_OPEN, p, StreamProc, p);
        DWORD i = OpenDeviceOn(gMid, MIDM_OPEN, p, StreamProc, p);
        DWORD s = gMid(p, MIDM_START, 0, 0, 0);
        ok = ok && o == 0 && i == 0 && s == 0;
    }
    Report(ok, "opens", "expected every device of the %u ports to open and start", count);
    return ok;
}

void ClosePorts(UINT count)
{
    for (UINT p = 0; p < count; p++) {
        gMid(p, MIDM_RESET, 0, 0, 0);
        gMid(p, MIDM_CLOSE, 0, 0, 0);
        gMod(p, MODM_CLOSE, 0, 0, 0);
    }
}
} // namespace

/* Three ports: the devices' counts and names as the driver gives them to
   winmm (through winmm's own functions: ctl_mapper.py), each port at the
   speed stored for it, and a port whose line leads nowhere failing alone. */
void GroupPorts()
{
    StoreComId(1);
    StoreDevice(1, L"COMID", 2);
    StoreDevice(1, L"Baud", kFastBaud);
    StoreDevice(2, L"COMID", 3);
    StoreDevice(2, L"Baud", 31250);
    StoreName(2, L"Synth board");
    if (!LoadOrReport()) {
        StoreComId(1);
        return;
    }
    DWORD outs = gMod(0, MODM_GETNUMDEVS, 0, 0, 0), ins = gMid(0, MIDM_GETNUMDEVS, 0, 0, 0);
    std::string names;
    for (UINT id = 0; id < 3; id++) {
        MIDIOUTCAPSW oc = {};
        MIDIINCAPSW ic = {};
        gMod(id, MODM_GETDEVCAPS, 0, (DWORD_PTR)&oc, sizeof oc);
        gMid(id, MIDM_GETDEVCAPS, 0, (DWORD_PTR)&ic, sizeof ic);
        names += Utf8(oc.szPname) + "|" + Utf8(ic.szPname) + (id < 2 ? "|" : "");
    }
    const char *wantNames = "VeldorNT MIDI Out|VeldorNT MIDI In|VeldorNT MIDI Out 2|VeldorNT MIDI In 2|"
                            "Synth board|Synth board";
    MIDIOUTCAPSW beyond;
    DWORD caps3 = gMod(3, MODM_GETDEVCAPS, 0, (DWORD_PTR)&beyond, sizeof beyond);
    DWORD open3 = OpenDeviceOn(gMid, MIDM_OPEN, 3, StreamProc, 0);
    Report(outs == 3 && ins == 3 && caps3 == MMSYSERR_BADDEVICEID && open3 == MMSYSERR_BADDEVICEID, "counts",
           "expected 3 devices each way and device 3 refused (2, 2); got %lu, %lu (%lu, %lu)", (unsigned long)outs,
           (unsigned long)ins, (unsigned long)caps3, (unsigned long)open3);
    Report(names == wantNames, "names", "expected %s, got %s", wantNames, names.c_str());

    /* COM3 leads nowhere yet: its port fails, and the others open all the same. */
    SimAsk("@2 PLUG");
    DWORD nowhere = OpenDeviceOn(gMod, MODM_OPEN, 2, StreamProc, 2);
    DWORD o0 = OpenDeviceOn(gMod, MODM_OPEN, 0, StreamProc, 0), o1 = OpenDeviceOn(gMod, MODM_OPEN, 1, StreamProc, 1);
    SimAsk("CLEAR");
    SimAsk("@2 CLEAR");
    gMod(0, MODM_DATA, 0, 0x403C90, 0);
    gMod(1, MODM_DATA, 0, 0x403E90, 0);
    std::string wire0 = SimAsk("WIRE 60"), wire1 = SimAsk("@2 WIRE 60");
    Report(nowhere == MMSYSERR_ALLOCATED && o0 == 0 && o1 == 0 && wire0 == "WIRE 903c40" && wire1 == "WIRE 903e40",
           "each-port-its-line",
           "expected port 2 refused (4), ports 0 and 1 open with their notes on COM1 and COM2 only; got %lu, %lu, "
           "%lu, \"%s\", \"%s\"",
           (unsigned long)nowhere, (unsigned long)o0, (unsigned long)o1, wire0.c_str(), wire1.c_str());

    /* Each line as the driver set it: 31250 has no setting of its own on a
       pty, and Wine sets it as 38400, as it tells the port's own driver. */
    SimAsk("@3 PLUG");
    DWORD o2 = OpenDeviceOn(gMod, MODM_OPEN, 2, StreamProc, 2);
    std::string speeds = SimAsk("SPEED") + ", " + SimAsk("@2 SPEED") + ", " + SimAsk("@3 SPEED");
    Report(o2 == 0 && speeds == "SPEED 38400, SPEED 115200, SPEED 38400", "line-speeds",
           "expected port 2 to open once COM3 is there, and the lines at 38400 (none stored), 115200 and 38400 "
           "(31250 stored); got %lu, %s",
           (unsigned long)o2, speeds.c_str());
    for (UINT p = 0; p < 3; p++)
        gMod(p, MODM_CLOSE, 0, 0, 0);
    FreeLibrary(gLib);
    StoreComId(1);
}

/* Two ports, COM1 at 38400 and COM2 at 115200, both ways at once at their
   line rates; then COM2's line goes while COM1 streams on. */
void GroupTwoPorts()
{
    StoreComId(1);
    StoreDevice(1, L"COMID", 2);
    StoreDevice(1, L"Baud", kFastBaud);
    SimAsk("@2 PLUG");
    if (!LoadOrReport()) {
        StoreComId(1);
        return;
    }
    if (!OpenPorts(2)) {
        ClosePorts(2);
        FreeLibrary(gLib);
        StoreComId(1);
        return;
    }
    Sleep(100); /* the polls take whatever an earlier group left in COM1 */
    gIn[0].delivered = 0;
    gIn[0].wrong = 0;
    gIn[0].errors = 0;
    SimAsk("CLEAR");
    SimAsk("@2 CLEAR");
    HANDLE sender = CreateThread(nullptr, 0, SendThread, nullptr, 0, nullptr);
    gStage = "both ports streaming";
    DWORD started = timeGetTime();
    for (UINT p = 0; p < 2; p++) {
        gOut[p].startedAt = started;
        gOut[p].on = true;
    }
    SimAsk("STREAM ON");
    SimAsk("@2 STREAM ON");
    Sleep(kStreamMs);
    long streamed1 = EndStream("@2 ", 1);
    CheckInput(1, streamed1, kStreamMs, "fast-port-in-whole");
    CheckOutput(1, "@2 ", "fast-port-out-whole");

    gStage = "COM2 lost";
    gIn[0].watchGap = true;
    std::string unplugged = SimAsk("@2 UNPLUG");
    Sleep(kLostMs);
    gIn[0].watchGap = false;
    Report(unplugged == "OK" && gIn[1].errors == 1, "lost-port-one-error",
           "expected one MIM_ERROR on port 1 once COM2 is gone (UNPLUG: OK), got %ld (UNPLUG: %s)", (long)gIn[1].errors,
           unplugged.c_str());
    DWORD ms = timeGetTime() - started;
    long streamed0 = EndStream("", 0);
    CheckInput(0, streamed0, ms, "other-port-in-whole");
    CheckOutput(0, "", "other-port-out-whole");
    printf("INFO %s port 0: longest wait between deliveries while COM2 was lost %lu ms\n", gGroup.c_str(),
           (unsigned long)gIn[0].maxGap);
    Report(gIn[0].maxGap <= kMaxGapMs, "other-port-no-gap",
           "expected port 0's deliveries at most %lu ms apart while COM2 was lost, got %lu ms",
           (unsigned long)kMaxGapMs, (unsigned long)gIn[0].maxGap);

    gSending = false;
    WaitForSingleObject(sender, kWait);
    CloseHandle(sender);
    gStage = "closing";
    ClosePorts(2);
    FreeLibrary(gLib);
    StoreComId(1);
}
