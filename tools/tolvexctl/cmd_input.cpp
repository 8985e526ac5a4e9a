/*
 * The commands that use the input: dump what arrives, selftest through a
 * loop-back plug, and identity (request out, reply in).
 */
#include "commands.h"
#include "midimsg.h"

#include <mmddk.h>

#include <cstdio>

namespace
{
constexpr DWORD kSelftestQuietMs = 1500; /* selftest gives up after this long without anything new */
constexpr DWORD kDrainQuietMs = 150;     /* quiet on the input that counts as drained */
constexpr DWORD kIdentityWaitMs = 2000;  /* identity waits this long for the reply by default */

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
} // namespace

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
