/*
 * The poll's read size against the line rate, on the simulated platform: a
 * full line (3840 bytes/s) arrives for a minute of simulated time while the
 * 10 ms poll runs, once as built (reads all that arrived) and once with a
 * copy of the poll that reads at most 32 bytes. Prints the backlog left in
 * the port's queue each second; exits 1 if the driver's own poll falls behind.
 */
#include "driver/midiclient.h"
#include "midiin/midiin.h"
#include "platform/host/sim.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_timer.h"
#include "serial/serial.h"

#include <cstdio>
#include <vector>

namespace
{

constexpr LONG kPort = 1;
constexpr const char *kPortName = "com1";
constexpr int kLineBytesPerSecond = 3840; /* 38400 bit/s, 10 bits a byte */
constexpr int kPollMs = 10;
constexpr int kSeconds = 60;
constexpr int kSmallRead = 32;          /* the read size that cannot keep up */
constexpr size_t kPlatformQueue = 4096; /* the receive queue the driver asks of the port */

size_t gDelivered;

void CountSink(const sim::Notification &n)
{
    if (n.dwMsg == MIM_DATA)
        gDelivered++;
}

/* The poll as built, or the same loop reading at most kSmallRead bytes. */
void Poll(bool small)
{
    if (!small) {
        sim::FireTimers();
        return;
    }
    BYTE buf[kSmallRead];
    int n = ReadComm(gaCommPort[0].idComDev, buf, kSmallRead);
    for (int i = 0; i < n; i++)
        midByteRec(0, buf[i]);
}

/* Returns the largest backlog seen; prints one row a second. */
size_t Run(bool small)
{
    sim::ResetAll();
    midCritInit();
    CommCritInit();
    gaMidiIn[0].gMIMC = MIDIINCONTROL{};
    gaMidiIn[0].gMidiInClient = MIDICLIENT{1, 0, 0, CALLBACK_FUNCTION};
    gaMidiIn[0].gfMidiInOpen = 1;
    sim::SetNotificationSink(&CountSink);
    DrvCont = kPollMs;
    if ((gaPortSetting[0] = PORTSETTING{kPort, kDefaultBaud, {0}}, OpenMIDICOM(0)) != 0) {
        fprintf(stderr, "the simulated port did not open\n");
        return (size_t)-1;
    }
    EnableCommIn(0);
    gDelivered = 0;

    /* Clock ticks only, one byte a message: what arrives is what is delivered. */
    const std::vector<BYTE> tick(1, 0xF8);
    size_t worst = 0, fed = 0;
    double due = 0;
    for (int ms = kPollMs; ms <= kSeconds * 1000; ms += kPollMs) {
        due += kLineBytesPerSecond * kPollMs / 1000.0;
        std::vector<BYTE> chunk;
        while (fed + chunk.size() < (size_t)due)
            chunk.push_back(tick[0]);
        fed += chunk.size();
        sim::FeedPort(kPortName, chunk);
        Poll(small);
        size_t backlog = sim::PortPending(kPortName);
        if (backlog > worst)
            worst = backlog;
        if (ms % 1000 == 0 && (ms / 1000 <= 10 || ms / 1000 % 10 == 0))
            printf("%-8s t=%2d s  arrived %6zu  delivered %6zu  backlog %6zu%s\n", small ? "32-byte" : "as-built",
                   ms / 1000, fed, gDelivered, backlog,
                   backlog > kPlatformQueue ? "  (beyond a 4096-byte receive queue)" : "");
    }
    DisableCommIn(0);
    ReleaseMIDICOM();
    gaMidiIn[0].gfMidiInOpen = 0;
    sim::SetNotificationSink(nullptr);
    printf("%-8s %d s: %.0f bytes/s delivered, worst backlog %zu bytes\n", small ? "32-byte" : "as-built", kSeconds,
           (double)gDelivered / kSeconds, worst);
    return worst;
}

} // namespace

int main()
{
    printf("line %d bytes/s, poll every %d ms: a %d-byte read passes at most %d bytes/s\n", kLineBytesPerSecond,
           kPollMs, kSmallRead, kSmallRead * 1000 / kPollMs);
    size_t full = Run(false);
    size_t small = Run(true);
    /* As built, at most one poll's worth (38 or 39 bytes) ever waits, and only
       between a feed and the poll that follows it. */
    bool ok = full == 0 && small > kPlatformQueue;
    printf("%s\n", ok ? "as expected: the full read keeps up, the 32-byte read falls behind" : "unexpected result");
    return ok ? 0 : 1;
}
