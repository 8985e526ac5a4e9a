/*
 * What tolvexctl's commands share: the parsed command line, exit codes,
 * picking and opening a device, sending one message, and the input side
 * (buffers queued, notifications collected) that dump, selftest and identity
 * read. The commands live in cmd_output.cpp (list, play, send), cmd_input.cpp
 * (dump, selftest, identity), cmd_port.cpp (port, latency, share),
 * cmd_status.cpp (status), cmd_setup.cpp (config, install, uninstall) and
 * cmd_doctor.cpp (doctor).
 */
#pragma once

#include "device.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStopped = 130;     /* Ctrl-C ended play or send: 128 + SIGINT, as shells expect */
constexpr int kDeviceByName = -1;     /* no --device: the device named VeldorNT */
constexpr int kDeviceMapper = -2;     /* --device mapper: winmm's MIDI mapper */
constexpr int kInBuffers = 8;         /* sysex buffers queued on the input */
constexpr DWORD kInBufferSize = 1024; /* bytes each */
constexpr wchar_t kOurOutName[] = L"VeldorNT MIDI Out";
constexpr wchar_t kOurInName[] = L"VeldorNT MIDI In";

constexpr int kPortNone = -1; /* no --port */

/* A value that tolvexctl port N (or port add) stores, as typed; checked by the command. */
struct PortValue {
    bool given = false;
    std::string text;
};

struct Options {
    std::wstring driver;
    int device = kDeviceByName;          /* winmm's device number, or one of the two above */
    int port = kPortNone;                /* --port N: port N's devices; for latency and share, port N's setting */
    PortValue com, speed, name, latency; /* port N --com --speed --name --latency */
    double seconds = 0;
    bool quiet = false;
    bool reclaim = false; /* install --reclaim: a slot that repeats wdmaud.drv, when none is free */
    bool version = false; /* --version: print it and do nothing else */
    std::string command;
    std::vector<std::string> args;
};

extern std::atomic<bool> gStop; /* Ctrl-C: a command that waits ends early */
extern HANDLE gArrived;         /* set when input has arrived */

void Fail(const std::string &what);
bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *out, std::string *error);
/* The device that --device or --port names; without either, port 0's. */
bool PickDevice(Devices *dev, const Options &o, bool input, UINT *id);
/* Bytes a second on the line of the port that the command uses. */
double LineBytesPerSecond(const Options &o);
bool Opened(MMRESULT r, const char *what);
bool Send(Devices *dev, const std::vector<uint8_t> &bytes, bool sysex);
bool Send(Devices *dev, const uint8_t *data, size_t size, bool sysex);

/* ---- input, shared by dump, selftest and identity ---- */

struct Received {
    UINT msg;
    DWORD stamp;
    std::vector<uint8_t> bytes;
    MIDIHDR *hdr; /* a long buffer to give back, or null */
};

void InitInput();
void CALLBACK OnInput(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2);
std::vector<Received> TakeReceived();

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

int CmdList(Devices *dev);
int CmdPlay(Devices *dev, const Options &o);
int CmdSend(Devices *dev, const Options &o);
int CmdDump(Devices *dev, const Options &o);
int CmdSelftest(Devices *dev, const Options &o);
int CmdIdentity(Devices *dev, const Options &o);
int CmdConfig(Devices *dev);
int CmdPort(const Options &o);
int CmdLatency(const Options &o);
int CmdShare(const Options &o);
int CmdStatus(const Options &o);
int CmdInstall(const Options &o);
int CmdUninstall(const Options &o);
int CmdDoctor();

/* How a port answers when it is opened and asked for a speed, as the driver does. */
enum class Line { kTakes, kRefuses, kMissing, kHeld, kNotSerial, kFailed };
/* Opens COMn, asks for the speed as the driver does, puts the settings back
   and closes it; *error is the system's code when it does not take it. */
Line CheckLine(DWORD com, DWORD baud, DWORD *error);
