/*
 * tolvexctl identity: the universal identity request goes out through the
 * output device; the module's reply comes back through the input device into
 * a buffer queued beforehand, and is printed in hex and decoded.
 */
#include "identity.h"

#include "midimsg.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace
{
constexpr DWORD kBufferSize = 256; /* an identity reply is 15 bytes; other sysex may come too */
constexpr int kBuffers = 2;        /* one is being looked at while the other is queued */
constexpr DWORD kPollMs = 20;
constexpr BYTE kRequest[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}; /* to every device */
constexpr size_t kReplyLength = 15; /* F0 7E dev 06 02, mfr, family 2, model 2, version 4, F7 */

std::atomic<MIDIHDR *> gDone[kBuffers]; /* buffers handed back, one slot each */
HANDLE gSignal;

void CALLBACK OnReply(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR)
{
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR)
        return;
    for (std::atomic<MIDIHDR *> &slot : gDone) {
        MIDIHDR *none = nullptr;
        if (slot.compare_exchange_strong(none, (MIDIHDR *)p1))
            break;
    }
    SetEvent(gSignal);
}

bool IsReply(const std::vector<uint8_t> &m)
{
    return m.size() >= 6 && m[0] == 0xF0 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x02 && m.back() == 0xF7;
}

void PrintReply(const std::vector<uint8_t> &m)
{
    printf("identity: %s\n", midimsg::Hex(m.data(), m.size()).c_str());
    if (m.size() == kReplyLength)
        printf("  device 0x%02x, manufacturer 0x%02x, family %u, model %u, version %u.%u.%u.%u\n", m[2], m[5],
               m[6] | m[7] << 7, m[8] | m[9] << 7, m[10], m[11], m[12], m[13]);
    else
        printf("  (a manufacturer id of three bytes, or a longer reply: not decoded)\n");
}
} // namespace

int CmdIdentity(Devices *dev, UINT inId, UINT outId, DWORD waitMs)
{
    gSignal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    static char data[kBuffers][kBufferSize];
    static MIDIHDR hdr[kBuffers];
    MMRESULT r = dev->OpenIn(inId, OnReply, 0);
    if (r != MMSYSERR_NOERROR) {
        fprintf(stderr, "tolvexctl: cannot open the MIDI input: %s\n", ErrorText(r).c_str());
        return 1;
    }
    for (int k = 0; k < kBuffers; k++) {
        hdr[k] = MIDIHDR();
        hdr[k].lpData = data[k];
        hdr[k].dwBufferLength = kBufferSize;
        dev->AddBuffer(&hdr[k]);
    }
    dev->StartIn();

    std::vector<uint8_t> reply;
    r = dev->OpenOut(outId);
    if (r != MMSYSERR_NOERROR) {
        fprintf(stderr, "tolvexctl: cannot open the MIDI output: %s\n", ErrorText(r).c_str());
    } else {
        r = dev->Long(kRequest, sizeof kRequest);
        if (r != MMSYSERR_NOERROR)
            fprintf(stderr, "tolvexctl: sending the request: %s\n", ErrorText(r).c_str());
        DWORD start = GetTickCount();
        /* Other system exclusive (a loop-back's echo of the request itself)
           is given back to the queue and the wait goes on. */
        while (r == MMSYSERR_NOERROR && reply.empty() && GetTickCount() - start < waitMs) {
            WaitForSingleObject(gSignal, kPollMs);
            for (std::atomic<MIDIHDR *> &slot : gDone) {
                MIDIHDR *h = slot.exchange(nullptr);
                if (!h)
                    continue;
                std::vector<uint8_t> m((uint8_t *)h->lpData, (uint8_t *)h->lpData + h->dwBytesRecorded);
                if (IsReply(m))
                    reply = m;
                h->dwBytesRecorded = 0;
                h->dwFlags &= ~MHDR_DONE;
                dev->AddBuffer(h);
            }
        }
        dev->CloseOut();
    }
    dev->ResetIn(); /* the close is refused while buffers are queued */
    for (MIDIHDR &h : hdr)
        dev->UnprepareIn(&h);
    dev->CloseIn();
    CloseHandle(gSignal);

    if (r != MMSYSERR_NOERROR)
        return 1;
    if (reply.empty()) {
        printf("identity: no reply within %lu ms\n", (unsigned long)waitMs);
        return 1;
    }
    PrintReply(reply);
    return 0;
}
