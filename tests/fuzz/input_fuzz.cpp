/*
 * Fuzz target of the input side: a random mix of received bytes, port
 * errors, failed reads, polls fired by hand and host requests through
 * midMessage. Every notification is checked as it is made, against a model
 * of the device's state and of the buffer queue.
 */
#include "fuzz_common.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <memory>
#include <vector>

namespace
{
using namespace fuzz;

constexpr int kBuffers = 6;
constexpr size_t kMaxBufferLength = 300;
constexpr size_t kMaxFeed = 80;
constexpr int kMaxSteps = 400;
constexpr DWORD_PTR kCallback = 0xCA11;
constexpr DWORD_PTR kInstance = 0x1257;
constexpr uintptr_t kHandleBase = 0x4000;

enum Phase { Idle, Opening, Closing, Polling, Resetting };

struct Buffer {
    MIDIHDR hdr;
    std::unique_ptr<char[]> data; /* exactly dwBufferLength: ASan sees any byte beyond */
    bool queued;
};

struct Model {
    bool open;                /* between a successful open and close */
    bool held;                /* input held after a reset, until a start */
    DWORD startTime;          /* clock at the open or the last start */
    std::deque<int> queue;    /* indices of the queued buffers, oldest first */
    DWORD_PTR hMidi;          /* of the current client */
    Phase phase;              /* which request or poll is under way */
    int opens, closes;        /* MIM_OPEN and MIM_CLOSE seen in the current request */
    bool requeueFromCallback; /* the client queues each returned buffer again */
    bool resetFromCallback;   /* armed: the next message a poll delivers is answered with a reset */
    bool resetInPoll;         /* that reset happened in the poll under way */
    DWORD readsAtReset;       /* clock reads when it was done: bytes that take a stamp read the clock */
    int notesAfterReset;      /* input messages and buffers delivered after it in the same poll */
    bool errorsPending;       /* port error bits set and not yet queried */
    DWORD clock;              /* the simulated clock */
    int added, returned;      /* buffers taken by the driver and given back */
};

Buffer gBuffers[kBuffers];
Model m;

/* The simulated clock moves only when a step advances it, so the model knows
   it without reading it: the checks must not add clock reads of their own. */
DWORD Now() { return m.clock; }

int IndexOf(DWORD_PTR p)
{
    for (int i = 0; i < kBuffers; i++)
        if ((DWORD_PTR)&gBuffers[i].hdr == p)
            return i;
    return -1;
}

DWORD Add(int i)
{
    DWORD r = midMessage(0, MIDM_ADDBUFFER, 0, (DWORD_PTR)&gBuffers[i].hdr, 0);
    if (r == MMSYSERR_NOERROR) {
        FUZZ_CHECK(!gBuffers[i].queued, "buffer %d taken twice", i);
        gBuffers[i].queued = true;
        m.queue.push_back(i);
        m.added++;
    }
    return r;
}

void CheckShortMessage(const sim::Notification &n)
{
    DWORD_PTR w = n.dwParam1;
    BYTE status = ByteOf(w, 0);
    int len = MessageLength(status);
    if (n.dwMsg == MIM_DATA) {
        FUZZ_CHECK(len > 0, "MIM_DATA %08lX does not start with a message's status", (unsigned long)w);
        for (int i = 1; i < len; i++)
            FUZZ_CHECK(ByteOf(w, i) < 0x80, "MIM_DATA %08lX: byte %d is no data byte", (unsigned long)w, i);
        FUZZ_CHECK((w >> (8 * len)) == 0, "MIM_DATA %08lX: bytes beyond its length %d", (unsigned long)w, len);
        if (len == 1) /* real time, F4 to F6: stamped with its own arrival, which is now */
            FUZZ_CHECK(n.dwParam2 == Now() - m.startTime, "MIM_DATA %02X stamped %lu, arrived at %lu", status,
                       (unsigned long)n.dwParam2, (unsigned long)(Now() - m.startTime));
        return;
    }
    /* MIM_ERROR: one stray byte, a message cut short before its last byte,
       or a port error with nothing under way (0). */
    if (len == 0 || len == 1) {
        FUZZ_CHECK(w == status && (status < 0x80 || status == 0xF7), "MIM_ERROR %08lX is no stray byte",
                   (unsigned long)w);
        return;
    }
    for (int i = 1; i < len - 1; i++)
        FUZZ_CHECK(ByteOf(w, i) < 0x80, "MIM_ERROR %08lX: byte %d is no data byte", (unsigned long)w, i);
    FUZZ_CHECK((w >> (8 * (len - 1))) == 0, "MIM_ERROR %08lX holds a whole message or more", (unsigned long)w);
}

/* MIM_LONGDATA, or MIM_LONGERROR for a buffer a port error broke. */
void CheckReturnedBuffer(const sim::Notification &n)
{
    int i = IndexOf(n.dwParam1);
    FUZZ_CHECK(i >= 0, "MIM_LONGDATA with a header that is not the client's: %lx", (unsigned long)n.dwParam1);
    FUZZ_CHECK(!m.queue.empty() && m.queue.front() == i, "buffer %d returned, but the oldest queued is %d", i,
               m.queue.empty() ? -1 : m.queue.front());
    const MIDIHDR &h = gBuffers[i].hdr;
    FUZZ_CHECK((h.dwFlags & MHDR_DONE) && !(h.dwFlags & MHDR_INQUEUE), "buffer %d returned with flags %lx", i,
               (unsigned long)h.dwFlags);
    FUZZ_CHECK(h.dwBytesRecorded <= h.dwBufferLength, "buffer %d: %lu bytes recorded in %lu", i,
               (unsigned long)h.dwBytesRecorded, (unsigned long)h.dwBufferLength);
    if (m.phase == Resetting) {
        FUZZ_CHECK(h.dwBytesRecorded == 0, "buffer %d returned by a reset with %lu bytes", i,
                   (unsigned long)h.dwBytesRecorded);
        FUZZ_CHECK(n.dwParam2 == Now() - m.startTime, "reset stamped %lu, now %lu", (unsigned long)n.dwParam2,
                   (unsigned long)(Now() - m.startTime));
    }
    /* System-exclusive data only; an F7 ends the message and so the buffer. */
    for (DWORD k = 0; k < h.dwBytesRecorded; k++) {
        BYTE b = (BYTE)h.lpData[k];
        FUZZ_CHECK(b < 0x80 || b == 0xF0 || (b == 0xF7 && k + 1 == h.dwBytesRecorded),
                   "buffer %d: byte %02X at %lu of %lu", i, b, (unsigned long)k, (unsigned long)h.dwBytesRecorded);
    }
    m.queue.pop_front();
    gBuffers[i].queued = false;
    m.returned++;
    if (m.requeueFromCallback) {
        DWORD r = Add(i);
        FUZZ_CHECK(r == MMSYSERR_NOERROR, "queueing buffer %d again from its callback answered %lu", i,
                   (unsigned long)r);
    }
}

bool gTrace; /* FUZZ_TRACE set: each step and notification on stderr */

void Reset();

/* Stands for a reset on another thread overtaking the poll: the rest of the read must be dropped. */
void ResetInsidePoll()
{
    m.resetFromCallback = false;
    Reset();
    m.phase = Polling;
    m.resetInPoll = true;
    m.readsAtReset = sim::ClockReads();
    m.notesAfterReset = 0;
}

void OnNotification(const sim::Notification &n)
{
    if (gTrace)
        fprintf(stderr, "  note %lx %lx @%lu (now %lu)\n", (unsigned long)n.dwMsg, (unsigned long)n.dwParam1,
                (unsigned long)n.dwParam2, (unsigned long)(Now() - m.startTime));
    FUZZ_CHECK(n.dwCallback == kCallback && n.dwUser == kInstance && n.hDevice == (HDRVR)m.hMidi,
               "notification %lx not for the current client", (unsigned long)n.dwMsg);
    FUZZ_CHECK(n.dwFlags == (HIWORD(CALLBACK_FUNCTION) | DCB_NOSWITCH), "notification flags %lx",
               (unsigned long)n.dwFlags);
    switch (n.dwMsg) {
    case MIM_OPEN:
        FUZZ_CHECK(m.phase == Opening, "MIM_OPEN outside an open (phase %d)", m.phase);
        m.opens++;
        return;
    case MIM_CLOSE:
        FUZZ_CHECK(m.phase == Closing, "MIM_CLOSE outside a close (phase %d)", m.phase);
        m.closes++;
        return;
    case MIM_DATA:
    case MIM_ERROR:
        if (m.resetInPoll)
            m.notesAfterReset++;
        FUZZ_CHECK(m.phase == Polling && m.open && (!m.held || m.resetInPoll),
                   "input message while open %d held %d phase %d", m.open, m.held, m.phase);
        FUZZ_CHECK(n.dwParam2 <= Now() - m.startTime, "stamp %lu later than now %lu", (unsigned long)n.dwParam2,
                   (unsigned long)(Now() - m.startTime));
        CheckShortMessage(n);
        if (m.resetFromCallback)
            ResetInsidePoll();
        return;
    case MIM_LONGERROR:
        FUZZ_CHECK(m.phase == Polling && m.errorsPending, "buffer returned broken with no port error (phase %d)",
                   m.phase);
        [[fallthrough]];
    case MIM_LONGDATA:
        if (m.resetInPoll && m.phase == Polling)
            m.notesAfterReset++;
        FUZZ_CHECK((m.phase == Polling && (!m.held || m.resetInPoll)) || m.phase == Resetting,
                   "buffer returned in phase %d", m.phase);
        FUZZ_CHECK(n.dwParam2 <= Now() - m.startTime, "buffer stamp %lu later than now %lu", (unsigned long)n.dwParam2,
                   (unsigned long)(Now() - m.startTime));
        CheckReturnedBuffer(n);
        return;
    default:
        Broken("known code", "notification %lx", (unsigned long)n.dwMsg);
    }
}

void Expect(const char *what, DWORD got, DWORD want)
{
    FUZZ_CHECK(got == want, "%s answered %lu, expected %lu", what, (unsigned long)got, (unsigned long)want);
}

void Open(FuzzedDataProvider &fdp)
{
    MIDIOPENDESC desc{};
    DWORD_PTR hMidi = kHandleBase + fdp.ConsumeIntegralInRange<int>(0, 7);
    desc.hMidi = (HMIDI)hMidi;
    desc.dwCallback = kCallback;
    desc.dwInstance = kInstance;
    m.phase = Opening;
    m.opens = 0;
    DWORD_PTR hBefore = m.hMidi;
    if (!m.open)
        m.hMidi = hMidi; /* the open notifies the new client */
    DWORD r = midMessage(0, MIDM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    m.phase = Idle;
    if (m.open) {
        m.hMidi = hBefore;
        Expect("second open", r, MMSYSERR_ALLOCATED);
        FUZZ_CHECK(m.opens == 0, "a refused open notified");
        return;
    }
    Expect("open", r, MMSYSERR_NOERROR);
    FUZZ_CHECK(m.opens == 1, "%d MIM_OPEN for one open", m.opens);
    m.open = true;
    m.held = false;
    m.startTime = Now();
}

void Close()
{
    m.phase = Closing;
    m.closes = 0;
    DWORD r = midMessage(0, MIDM_CLOSE, 0, 0, 0);
    m.phase = Idle;
    if (!m.open) {
        Expect("close of a closed device", r, MMSYSERR_INVALHANDLE);
    } else if (!m.queue.empty()) {
        Expect("close with buffers queued", r, MIDIERR_STILLPLAYING);
    } else {
        Expect("close", r, MMSYSERR_NOERROR);
        FUZZ_CHECK(m.closes == 1, "%d MIM_CLOSE for one close", m.closes);
        m.errorsPending = false; /* the close queries the port's errors */
        m.open = false;
        m.held = true;
        return;
    }
    FUZZ_CHECK(m.closes == 0, "a refused close notified");
}

void AddBuffer(FuzzedDataProvider &fdp)
{
    int i = fdp.ConsumeIntegralInRange<int>(0, kBuffers - 1);
    Buffer &b = gBuffers[i];
    if (!b.queued) {
        /* Idle: the client may give it a new size; DONE stays from its last return. */
        size_t len = fdp.ConsumeIntegralInRange<size_t>(0, kMaxBufferLength);
        b.data.reset(new char[len ? len : 1]);
        b.hdr.lpData = b.data.get();
        b.hdr.dwBufferLength = (DWORD)len;
        b.hdr.dwBytesRecorded = 0xDEAD;
        b.hdr.dwFlags = (b.hdr.dwFlags & MHDR_DONE) | (fdp.ConsumeIntegralInRange<int>(0, 7) ? MHDR_PREPARED : 0);
    }
    bool prepared = b.hdr.dwFlags & MHDR_PREPARED;
    DWORD want = b.hdr.dwBufferLength == 0 ? MMSYSERR_INVALPARAM
                 : !m.open                 ? MMSYSERR_INVALHANDLE
                 : !prepared               ? MIDIERR_UNPREPARED
                 : b.queued                ? MIDIERR_STILLPLAYING
                                           : MMSYSERR_NOERROR;
    Expect("add buffer", Add(i), want);
}

void Start()
{
    DWORD r = midMessage(0, MIDM_START, 0, 0, 0);
    Expect("start", r, m.open ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE);
    if (m.open) {
        m.held = false;
        m.startTime = Now();
    }
}

void Reset()
{
    Phase before = m.phase;
    m.phase = Resetting;
    size_t queued = m.queue.size();
    int returnedBefore = m.returned;
    DWORD r = midMessage(0, MIDM_RESET, 0, 0, 0);
    m.phase = before;
    Expect("reset", r, m.open ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE);
    if (!m.open)
        return;
    m.held = true;
    FUZZ_CHECK((size_t)(m.returned - returnedBefore) == queued, "reset returned %d of %zu buffers",
               m.returned - returnedBefore, queued);
}

void Poll()
{
    size_t pending = sim::PortPending(kPortName);
    bool reading = m.open && !m.held;
    bool errorByte = reading && m.errorsPending;
    m.resetInPoll = false;
    m.phase = Polling;
    sim::FireTimers();
    m.phase = Idle;
    if (!reading)
        FUZZ_CHECK(sim::PortPending(kPortName) == pending, "input held, yet %zu bytes were read",
                   pending - sim::PortPending(kPortName));
    else
        m.errorsPending = false;
    /* After the reset: the rest of what the byte under way gave (at most two
       notifications a byte), and the port error, which is reported without a
       look at the gate; nothing of the bytes after it. */
    if (m.resetInPoll) {
        FUZZ_CHECK(m.notesAfterReset <= (errorByte ? 2 : 1), "%d notifications after a reset overtook the poll",
                   m.notesAfterReset);
        FUZZ_CHECK(sim::ClockReads() - m.readsAtReset <= (errorByte ? 1u : 0u),
                   "%lu clock reads after a reset overtook the poll: bytes were handed on",
                   (unsigned long)(sim::ClockReads() - m.readsAtReset));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetDriver();
    m = Model{};
    m.held = true;
    for (Buffer &b : gBuffers) {
        b.hdr = MIDIHDR{};
        b.data.reset();
        b.queued = false;
    }
    sim::OnNotification(OnNotification);

    gTrace = getenv("FUZZ_TRACE") != nullptr;
    FuzzedDataProvider fdp(data, size);
    for (int step = 0; step < kMaxSteps && fdp.remaining_bytes() > 0; step++) {
        int op = fdp.ConsumeIntegralInRange<int>(0, 12);
        if (gTrace)
            fprintf(stderr, "step %d: op %d, %zu pending at the port\n", step, op, sim::PortPending(kPortName));
        switch (op) {
        case 0:
            Open(fdp);
            break;
        case 1:
            Close();
            break;
        case 2:
        case 3:
            AddBuffer(fdp);
            break;
        case 4:
            Start();
            break;
        case 5:
            Expect("stop", midMessage(0, MIDM_STOP, 0, 0, 0), m.open ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE);
            break;
        case 6:
            Reset();
            break;
        case 7:
        case 8: {
            size_t n = fdp.ConsumeIntegralInRange<size_t>(1, kMaxFeed);
            std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(n);
            sim::FeedPort(kPortName, std::vector<BYTE>(bytes.begin(), bytes.end()));
            break;
        }
        case 9:
            Poll();
            break;
        case 10: {
            DWORD ms = fdp.ConsumeIntegralInRange<DWORD>(0, 5000);
            sim::AdvanceTime(ms);
            m.clock += ms;
            break;
        }
        case 11:
            switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                sim::SetPortErrors(kPortName, CE_FRAME | CE_OVERRUN);
                m.errorsPending = true;
                break;
            case 1:
                sim::FailNextRead(fdp.ConsumeIntegralInRange<DWORD>(0, 40));
                break;
            case 2:
                m.requeueFromCallback = !m.requeueFromCallback;
                break;
            default:
                m.resetFromCallback = true;
                break;
            }
            break;
        default:
            Expect("message to device 1", midMessage(1, MIDM_START, 0, 0, 0), MMSYSERR_BADDEVICEID);
            Expect("prepare", midMessage(0, MIDM_PREPARE, 0, 0, 0), MMSYSERR_NOTSUPPORTED);
            break;
        }
    }

    /* The client ends as an application must: reset, then close. */
    m.requeueFromCallback = false;
    m.resetFromCallback = false;
    if (m.open) {
        Reset();
        Close();
    }
    FUZZ_CHECK(m.queue.empty() && m.added == m.returned, "%d buffers queued, %d returned", m.added, m.returned);
    for (int i = 0; i < kBuffers; i++)
        FUZZ_CHECK(!gBuffers[i].queued, "buffer %d never came back", i);
    CheckNothingHeld();
    sim::OnNotification(nullptr);
    /* What the run allocated in the simulation goes with it: otherwise
       libFuzzer takes the difference for a leak and scans for one every run. */
    sim::ResetAll();
    return 0;
}
