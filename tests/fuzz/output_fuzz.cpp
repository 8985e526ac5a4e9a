/*
 * Fuzz target of the output side: short messages of every shape, long
 * buffers of random lengths, resets, opens and closes through modMessage,
 * with the input device opened now and then to keep the port open while the
 * output is closed. The port's writes must be exactly what a model of the
 * framing (running status, lengths, the gate, the reset sequence) predicts.
 */
#include "fuzz_common.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace
{
using namespace fuzz;

constexpr int kMaxSteps = 300;
constexpr size_t kPiece = 4096; /* bytes of one write of a long buffer */
constexpr size_t kMaxLong = 9000;
constexpr int kChannels = 16;
constexpr DWORD_PTR kCallback = 0x0C11;
constexpr DWORD_PTR kInstance = 0x0515;
constexpr DWORD_PTR kHandle = 0x0777;
constexpr DWORD kOtherFlags = 0x80000010; /* flags the driver must leave alone */

using Writes = std::vector<std::vector<BYTE>>;

struct Model {
    bool outOpen, inOpen;
    bool client;     /* a client has opened: the record stays after its close, notifications go to it */
    BYTE rs;         /* output running status */
    Writes wire;     /* every write the port should have seen since the last check */
    bool expectDone; /* a long send is under way */
    int done, opens, closes;
    DWORD_PTR doneHeader;
    bool sendFromCallback; /* the client sends a short message from MOM_DONE */
};

Model m;

std::string Show(const Writes &w)
{
    std::string s;
    char part[8];
    for (const auto &one : w) {
        s += "[";
        for (size_t i = 0; i < one.size() && i < 12; i++)
            s += (snprintf(part, sizeof part, i ? " %02X" : "%02X", one[i]), part);
        if (one.size() > 12)
            s += " ...(" + std::to_string(one.size()) + ")";
        s += "]";
    }
    return s;
}

/* The model's half of sending bytes: running status always, the write only through an open gate. */
void ModelSend(const BYTE *b, size_t n)
{
    for (size_t k = 0; k < n; k++)
        m.rs = FollowStatus(m.rs, b[k]);
    if (m.outOpen)
        m.wire.emplace_back(b, b + n);
}

void ModelShort(DWORD word)
{
    int len = OutputLength(ByteOf(word, 0), m.rs);
    if (len == 0)
        return;
    BYTE b[4];
    for (int i = 0; i < 4; i++)
        b[i] = ByteOf(word, i);
    ModelSend(b, (size_t)len);
}

void ModelReset()
{
    for (int ch = 0; ch < kChannels; ch++) {
        BYTE damper[3] = {(BYTE)(0xB0 + ch), 0x40, 0x00};
        BYTE notesOff[3] = {(BYTE)(0xB0 + ch), 0x7B, 0x00};
        ModelSend(damper, 3);
        ModelSend(notesOff, 3);
    }
    m.rs = 0;
}

void CheckWire(const char *after)
{
    Writes got = sim::PortWrites(kPortName);
    FUZZ_CHECK(got == m.wire, "after %s the port saw\n  %s\nexpected\n  %s", after, Show(got).c_str(),
               Show(m.wire).c_str());
    FUZZ_CHECK(gaMidiOut[0].gbMidiOutCurrentStatus == m.rs, "after %s running status %02X, expected %02X", after,
               gaMidiOut[0].gbMidiOutCurrentStatus, m.rs);
    /* Checked: start the next step's comparison afresh, so each step costs only its own writes. */
    sim::ClearPortWrites(kPortName);
    m.wire.clear();
}

void OnNotification(const sim::Notification &n)
{
    if (n.dwCallback != kCallback) {
        FUZZ_CHECK(n.dwMsg == MIM_OPEN || n.dwMsg == MIM_CLOSE, "input notification %lx", (unsigned long)n.dwMsg);
        return;
    }
    FUZZ_CHECK(n.dwUser == kInstance && n.hDevice == (HDRVR)kHandle, "notification %lx not for the client",
               (unsigned long)n.dwMsg);
    switch (n.dwMsg) {
    case MOM_OPEN:
        m.opens++;
        return;
    case MOM_CLOSE:
        /* Before the reset's bytes: the client hears of the close first. */
        FUZZ_CHECK(sim::PortWrites(kPortName).size() == m.wire.size(), "reset bytes written before MOM_CLOSE");
        m.closes++;
        return;
    case MOM_DONE: {
        FUZZ_CHECK(m.expectDone && n.dwParam1 == m.doneHeader && n.dwParam2 == 0, "MOM_DONE %lx, %lu unexpected",
                   (unsigned long)n.dwParam1, (unsigned long)n.dwParam2);
        const MIDIHDR *h = reinterpret_cast<const MIDIHDR *>(n.dwParam1);
        FUZZ_CHECK(h->dwFlags == (kOtherFlags | MHDR_PREPARED | MHDR_DONE), "buffer done with flags %lx",
                   (unsigned long)h->dwFlags);
        m.done++;
        if (m.sendFromCallback) {
            size_t before = sim::PortWrites(kPortName).size();
            DWORD r = modMessage(0, MODM_DATA, 0, 0x403C90, 0);
            FUZZ_CHECK(r == MIDIERR_NOTREADY, "send from MOM_DONE answered %lu", (unsigned long)r);
            FUZZ_CHECK(sim::PortWrites(kPortName).size() == before, "send from MOM_DONE wrote");
        }
        return;
    }
    default:
        Broken("known code", "output notification %lx", (unsigned long)n.dwMsg);
    }
}

void Expect(const char *what, DWORD got, DWORD want)
{
    FUZZ_CHECK(got == want, "%s answered %lu, expected %lu", what, (unsigned long)got, (unsigned long)want);
}

void OpenOut()
{
    MIDIOPENDESC desc{};
    desc.hMidi = (HMIDI)kHandle;
    desc.dwCallback = kCallback;
    desc.dwInstance = kInstance;
    m.opens = 0;
    DWORD r = modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    if (m.outOpen) {
        Expect("second open", r, MMSYSERR_ALLOCATED);
        FUZZ_CHECK(m.opens == 0, "a refused open notified");
        return;
    }
    Expect("open", r, MMSYSERR_NOERROR);
    FUZZ_CHECK(m.opens == 1, "%d MOM_OPEN for one open", m.opens);
    m.outOpen = true;
    m.client = true;
    m.rs = 0;
}

void CloseOut()
{
    m.closes = 0;
    DWORD r = modMessage(0, MODM_CLOSE, 0, 0, 0);
    if (!m.outOpen) {
        Expect("close of a closed device", r, MMSYSERR_INVALHANDLE);
        FUZZ_CHECK(m.closes == 0, "a refused close notified");
        return;
    }
    Expect("close", r, MMSYSERR_NOERROR);
    FUZZ_CHECK(m.closes == 1, "%d MOM_CLOSE for one close", m.closes);
    ModelReset();
    m.outOpen = false;
}

void ToggleIn()
{
    if (!m.inOpen) {
        MIDIOPENDESC desc{};
        Expect("input open", midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&desc, 0), MMSYSERR_NOERROR);
    } else {
        Expect("input close", midMessage(0, MIDM_CLOSE, 0, 0, 0), MMSYSERR_NOERROR);
    }
    m.inOpen = !m.inOpen;
}

/* A word of one of the shapes a client sends, with stray bits where a careless one leaves them. */
DWORD ShortWord(FuzzedDataProvider &fdp)
{
    static const BYTE kFirst[] = {0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0xF1, 0xF2,
                                  0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xFA, 0xFE, 0xFF};
    DWORD word = fdp.ConsumeIntegral<DWORD>();
    switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: /* well formed: a status of each kind, data bytes below 0x80 */
        return (fdp.PickValueInArray(kFirst) | (word & 0x0F)) | (word & 0x7F7F00);
    case 1: /* running status: data bytes only */
        return word & 0x7F7F7F;
    case 2: /* well formed, with garbage in the unused high byte */
        return (fdp.PickValueInArray(kFirst) | (word & 0x7F7F00) | (word & 0xFF000000));
    default: /* anything at all */
        return word;
    }
}

void SendShort(FuzzedDataProvider &fdp)
{
    DWORD word = ShortWord(fdp);
    Expect("short message", modMessage(0, MODM_DATA, 0, word, 0), MMSYSERR_NOERROR);
    ModelShort(word);
}

void SendLong(FuzzedDataProvider &fdp)
{
    size_t len = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<size_t>(0, 64)
                                   : fdp.ConsumeIntegralInRange<size_t>(kPiece - 2, kMaxLong);
    std::vector<uint8_t> pattern = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(1, 64));
    if (pattern.empty())
        pattern.push_back(0xF7);
    std::vector<char> data(len ? len : 1);
    for (size_t k = 0; k < len; k++)
        data[k] = (char)pattern[k % pattern.size()];
    /* Exactly len bytes where the driver may read: a copy ASan guards. */
    std::unique_ptr<char[]> exact(new char[len ? len : 1]);
    std::copy(data.begin(), data.begin() + len, exact.get());

    MIDIHDR hdr{};
    hdr.lpData = exact.get();
    hdr.dwBufferLength = (DWORD)len;
    bool prepared = fdp.ConsumeIntegralInRange<int>(0, 7) != 0;
    hdr.dwFlags = kOtherFlags | (prepared ? MHDR_PREPARED : 0);

    m.expectDone = prepared;
    m.doneHeader = (DWORD_PTR)&hdr;
    m.done = 0;
    DWORD r = modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, 0);
    m.expectDone = false;
    if (!prepared) {
        Expect("unprepared long buffer", r, MIDIERR_UNPREPARED);
        FUZZ_CHECK(m.done == 0 && hdr.dwFlags == kOtherFlags, "unprepared buffer touched");
        return;
    }
    Expect("long buffer", r, MMSYSERR_NOERROR);
    FUZZ_CHECK(m.done == (m.client ? 1 : 0), "%d MOM_DONE for one buffer, client %d", m.done, m.client);
    FUZZ_CHECK(hdr.dwFlags == (kOtherFlags | MHDR_PREPARED | MHDR_DONE), "buffer sent with flags %lx",
               (unsigned long)hdr.dwFlags);
    /* Whole, in pieces of the staging buffer: one write each, one empty write for an empty buffer. */
    size_t sent = 0;
    const BYTE *b = reinterpret_cast<const BYTE *>(data.data());
    do {
        size_t piece = len - sent < kPiece ? len - sent : kPiece;
        ModelSend(b + sent, piece);
        sent += piece;
    } while (sent < len);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetDriver();
    sim::SetClockStep(1); /* the reset's 30 ms wait ends */
    m = Model{};
    sim::OnNotification(OnNotification);

    FuzzedDataProvider fdp(data, size);
    const char *what = "nothing";
    for (int step = 0; step < kMaxSteps && fdp.remaining_bytes() > 0; step++) {
        switch (fdp.ConsumeIntegralInRange<int>(0, 10)) {
        case 0:
            what = "open";
            OpenOut();
            break;
        case 1:
            what = "close";
            CloseOut();
            break;
        case 2:
        case 3:
        case 4:
            what = "short message";
            SendShort(fdp);
            break;
        case 5:
            what = "long buffer";
            SendLong(fdp);
            break;
        case 6:
            what = "reset";
            Expect("reset", modMessage(0, MODM_RESET, 0, 0, 0), MMSYSERR_NOERROR);
            ModelReset();
            break;
        case 7:
            what = "input open or close";
            ToggleIn();
            break;
        case 8:
            what = "send from MOM_DONE";
            m.sendFromCallback = !m.sendFromCallback;
            break;
        case 9:
            what = "message to device 1";
            Expect(what, modMessage(0x10001, MODM_DATA, 0, 0x403C90, 0), MMSYSERR_BADDEVICEID);
            Expect("prepare", modMessage(0, MODM_PREPARE, 0, 0, 0), MMSYSERR_NOTSUPPORTED);
            break;
        default: {
            what = "a running-status word";
            DWORD word = fdp.ConsumeIntegral<BYTE>() & 0x7F;
            Expect(what, modMessage(0, MODM_DATA, 0, word, 0), MMSYSERR_NOERROR);
            ModelShort(word);
            break;
        }
        }
        CheckWire(what);
    }

    if (m.outOpen)
        CloseOut();
    if (m.inOpen)
        ToggleIn();
    CheckWire("the last close");
    CheckNothingHeld();
    sim::OnNotification(nullptr);
    /* What the run allocated in the simulation goes with it: otherwise
       libFuzzer takes the difference for a leak and scans for one every run. */
    sim::ResetAll();
    return 0;
}
