/*
 * One program of the sharing group: the test host run as "sharechild", with
 * the library loaded itself. It reads one command a line on stdin, answers
 * one line on stdout, and keeps count of what its input receives of the
 * module's stream (STREAM: note n of 256, on and off by turns).
 */
#include "groups.h"
#include "sharing.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace
{
constexpr int kInBuffers = 4;
constexpr DWORD kInBufferSize = 1024;
constexpr int kStreamLength = 256; /* messages before the module's stream comes round again */
constexpr DWORD kNoteEvery = 5;    /* ms between the notes of "notes on" */
constexpr DWORD kLineChars = 256;

std::atomic<long> gReceived, gGaps, gErrors;
std::atomic<int> gLast{-1}, gFirst{-1};
std::atomic<DWORD> gErrorAt, gBackAt; /* timeGetTime of the first MIM_ERROR, and of the first MIM_DATA after it */
std::atomic<bool> gInOpen, gNotes;
MIDIHDR gHdr[kInBuffers];
char gData[kInBuffers][kInBufferSize];
HANDLE gNoteThread;
int gNoteChannel;

void CALLBACK InProc(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR)
{
    if (msg == MIM_DATA) {
        int n = (int)(((p1 >> 8) & 0x7F) * 2 + ((p1 & 0xF0) == 0x80));
        int last = gLast.exchange(n);
        if (last < 0)
            gFirst = n;
        else if (n != (last + 1) % kStreamLength)
            gGaps++;
        gReceived++;
        if (gErrors != 0 && gBackAt == 0)
            gBackAt = timeGetTime();
    } else if (msg == MIM_ERROR) {
        if (gErrors++ == 0)
            gErrorAt = timeGetTime();
    } else if (msg == MIM_LONGDATA && gInOpen) {
        gMid(0, MIDM_ADDBUFFER, 0, p1, sizeof(MIDIHDR));
    }
}

void CALLBACK OutProc(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

DWORD SendLong(const std::vector<BYTE> &bytes)
{
    MIDIHDR h = {};
    h.lpData = (LPSTR)bytes.data();
    h.dwBufferLength = (DWORD)bytes.size();
    h.dwFlags = MHDR_PREPARED;
    return gMod(0, MODM_LONGDATA, 0, (DWORD_PTR)&h, sizeof h);
}

DWORD WINAPI NoteThread(LPVOID)
{
    for (BYTE n = 0; gNotes; n = (BYTE)((n + 1) & 0x7F)) {
        gMod(0, MODM_DATA, 0, (DWORD)(0x90 | gNoteChannel) | (DWORD)n << 8 | (n & 1 ? 0 : 0x40u << 16), 0);
        Sleep(kNoteEvery);
    }
    return 0;
}

std::string Open()
{
    DWORD o = OpenDevice(gMod, MODM_OPEN, OutProc);
    DWORD i = OpenDevice(gMid, MIDM_OPEN, InProc);
    if (i == MMSYSERR_NOERROR) {
        gInOpen = true;
        for (int k = 0; k < kInBuffers; k++) {
            gHdr[k] = MIDIHDR();
            gHdr[k].lpData = gData[k];
            gHdr[k].dwBufferLength = kInBufferSize;
            gHdr[k].dwFlags = MHDR_PREPARED;
            gMid(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&gHdr[k], sizeof(MIDIHDR));
        }
        gMid(0, MIDM_START, 0, 0, 0);
    }
    char line[64];
    snprintf(line, sizeof line, "open %lu %lu", (unsigned long)o, (unsigned long)i);
    return line;
}

/* The stream, a message at a time, the note-offs under running status. */
std::string Play(int k)
{
    std::vector<std::vector<BYTE>> stream = ShareStream(k);
    BYTE running = 0;
    DWORD failed = 0;
    for (const std::vector<BYTE> &m : stream) {
        DWORD r;
        if (m[0] == 0xF0) {
            r = SendLong(m);
            running = 0;
        } else if (m[0] == running) {
            r = gMod(0, MODM_DATA, 0, (DWORD)m[1] | (DWORD)m[2] << 8, 0);
        } else {
            r = gMod(0, MODM_DATA, 0, (DWORD)m[0] | (DWORD)m[1] << 8 | (DWORD)m[2] << 16, 0);
            running = m[0];
        }
        failed += r != MMSYSERR_NOERROR;
        Sleep(1);
    }
    return "played " + std::to_string(stream.size()) + " " + std::to_string(failed);
}

std::string Half(int k)
{
    std::vector<BYTE> m = {0xF0, (BYTE)(kShareTag + k)};
    for (size_t i = 0; i < kShareHalf; i++)
        m.push_back((BYTE)(i & 0x7F));
    return "half " + std::to_string(SendLong(m));
}

std::string Stats()
{
    char line[160];
    snprintf(line, sizeof line, "stats %ld %ld %ld %d %lu %lu", gReceived.load(), gGaps.load(), gErrors.load(),
             gFirst.load(), (unsigned long)gErrorAt.load(), (unsigned long)gBackAt.load());
    return line;
}

std::string Close()
{
    gInOpen = false;
    gMid(0, MIDM_RESET, 0, 0, 0);
    DWORD i = gMid(0, MIDM_CLOSE, 0, 0, 0);
    DWORD o = gMod(0, MODM_CLOSE, 0, 0, 0);
    return "closed " + std::to_string(o) + " " + std::to_string(i);
}

std::string Answer(const char *cmd)
{
    int k = 0;
    if (strcmp(cmd, "open") == 0)
        return Open();
    if (sscanf(cmd, "play %d", &k) == 1)
        return Play(k);
    if (sscanf(cmd, "half %d", &k) == 1)
        return Half(k);
    if (sscanf(cmd, "notes on %d", &k) == 1 && !gNotes) {
        gNoteChannel = k;
        gNotes = true;
        gNoteThread = CreateThread(nullptr, 0, NoteThread, nullptr, 0, nullptr);
        return "ok";
    }
    if (strcmp(cmd, "notes off") == 0 && gNotes) {
        gNotes = false;
        WaitForSingleObject(gNoteThread, kWait);
        CloseHandle(gNoteThread);
        return "ok";
    }
    if (sscanf(cmd, "note %d", &k) == 1)
        return "ok " + std::to_string(gMod(0, MODM_DATA, 0, (DWORD)(0x90 | k) | 0x3C00 | 0x400000, 0));
    if (strcmp(cmd, "clear") == 0) {
        gReceived = gGaps = gErrors = 0;
        gLast = gFirst = -1;
        gErrorAt = gBackAt = 0;
        return "ok";
    }
    if (strcmp(cmd, "stats") == 0)
        return Stats();
    if (strcmp(cmd, "close") == 0)
        return Close();
    return "unknown " + std::string(cmd);
}

/* One line of stdin without its end; false at its end. */
bool ReadLine(char *line)
{
    DWORD n = 0, got;
    char c;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') {
            line[n] = 0;
            return true;
        }
        if (c != '\r' && n + 1 < kLineChars)
            line[n++] = c;
    }
    return false;
}
} // namespace

std::vector<std::vector<BYTE>> ShareStream(int k)
{
    std::vector<std::vector<BYTE>> v;
    for (int i = 0; i < kShareNotes; i++) {
        BYTE note = (BYTE)(0x30 + (i * 7 + k) % 48);
        v.push_back({(BYTE)(0x90 | k), note, 0x40});
        v.push_back({(BYTE)(0x90 | k), note, 0x00});
        if (i == kShareNotes / 3 || i == 2 * kShareNotes / 3) {
            std::vector<BYTE> x = {0xF0, (BYTE)(kShareTag + k)};
            while (x.size() < kShareSysEx - 1)
                x.push_back((BYTE)((x.size() * 5 + i + k) & 0x7F));
            x.push_back(0xF7);
            v.push_back(x);
        }
    }
    return v;
}

void GroupShareChild()
{
    if (!Load()) {
        printf("failed %lu\n", (unsigned long)GetLastError());
        return;
    }
    printf("ready %lu %d\n", (unsigned long)GetCurrentProcessId(), (int)(8 * sizeof(void *)));
    fflush(stdout);
    char line[kLineChars];
    while (ReadLine(line) && strcmp(line, "quit") != 0) {
        printf("%s\n", Answer(line).c_str());
        fflush(stdout);
    }
    gNotes = false;
    FreeLibrary(gLib);
}
