/*
 * Shared by the serial, output and concurrency tests: a fixture that gives
 * back the port connection and resets the simulation, and helpers that show
 * bytes as hex text so that a failed comparison reads as the wire does.
 */
#pragma once

#include "../hex.h"
#include "driver/driver.h"
#include "midiout/midiout.h"
#include "platform/host/sim.h"
#include "platform/host/sim_serial.h"
#include "platform/host/sim_timer.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace serial_test
{

constexpr LONG kPort = 1;
constexpr const char *kPortName = "com1";
const std::u16string kDevice0Key = u"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Device0";

using test_hex::Hex;

/* One string per write, "90 3C 40". */
inline std::vector<std::string> Writes(const char *port = kPortName)
{
    std::vector<std::string> out;
    for (const auto &w : sim::PortWrites(port))
        out.push_back(Hex(w));
    return out;
}

inline std::vector<BYTE> Bytes(std::initializer_list<int> list)
{
    std::vector<BYTE> v;
    for (int b : list)
        v.push_back((BYTE)b);
    return v;
}

/* Port 0's connection, opened on COM port: the stored number is the port's. */
inline WORD OpenPortNumber(LONG port)
{
    gaPortSetting[0].RSPort = port;
    return OpenMIDICOM(0);
}

class PortTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ReleaseMIDICOM(); /* whatever an earlier test left open */
        sim::ResetAll();
        DisableCommIn(0);
        DisableCommOut(0);
        gaMidiOut[0].gfMidiOutOpen = 0;
        gaMidiOut[0].gbMidiOutCurrentStatus = 0;
        ghModule = sim::kModule;
        gaPortSetting[0] = PORTSETTING{kPort, kDefaultBaud, {0}};
        gcPorts = 1;
        DrvCont = 10;
        sim::SetClockStep(1); /* busy waits on the clock end */
    }

    void TearDown() override { ReleaseMIDICOM(); }

    /* Nothing of the connection is left running or open. */
    static void ExpectAllGivenBack()
    {
        EXPECT_EQ(0, gaCommPort[0].UseComCount) << "use count";
        EXPECT_EQ(0, sim::LiveTimers()) << "poll timers still running";
        EXPECT_EQ(0, sim::TimerResolutionDepth()) << "1 ms resolution requests not ended";
        EXPECT_EQ(0, sim::OpenPortHandles()) << "port handles still open";
    }
};

} // namespace serial_test
