/*
 * The driver's stored settings that tolvexctl writes and reads: the ports,
 * one key each under ...\Parameters (Device0, Device1, ...) with its port
 * number, line speed, name, input mode and sharing, read as the driver reads them;
 * and their removal.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

constexpr int kMaxPorts = 16;                    /* the driver reads Device0 ... Device15 */
constexpr DWORD kDefaultBaud = 38400;            /* the speed of a port that stores none */
constexpr size_t kNameChars = 31;                /* a device name: the capabilities' 32 characters, terminator in */
constexpr DWORD kPortFirst = 1, kPortLast = 256; /* COM numbers Windows gives out */

/* One port's key as the driver reads it when it loads. */
struct PortSetting {
    bool comRead = false;      /* a port number the driver reads is stored, whatever its value */
    DWORD com = 0;             /* the port number, COMn */
    std::string comError;      /* what is stored instead of a port, or empty */
    DWORD baud = kDefaultBaud; /* the speed the driver asks the port for */
    std::string baudNote;      /* why a stored speed is not the one asked for, or empty */
    bool baudFails = false;    /* the stored speed cannot be asked for: the opens fail or get another */
    std::wstring name;         /* the stored name as the driver takes it; empty: the default */
    std::string nameNote;      /* why a stored name is not the one taken, or empty */
    bool lowLatency = false;   /* input read every millisecond */
    bool shared = false;       /* programs share the port through an owner process */
};

/* The ports: Device0, there even when nothing is stored, then Device1 ...
   as long as each holds a port number, 16 at most. *unread, when not null,
   says which keys after them the driver does not read and why. */
std::vector<PortSetting> ReadPorts(std::string *unread = nullptr);

/* Port n's device of one direction as the driver names it: the stored name
   or the default, numbered after port 0, and none the same as another's. */
std::wstring DeviceName(const std::vector<PortSetting> &ports, size_t n, bool input);

/* Why the driver cannot ask a port for this speed as itself ("0 bit/s is no
   speed"); empty when it can. */
std::string SpeedProblem(unsigned long long speed);

/* Port n's values, in Device<n>, made when absent; empty string on success. */
std::string StorePortCom(int n, DWORD com);
std::string StorePortBaud(int n, DWORD baud);
std::string StorePortName(int n, const std::wstring &name); /* empty: the stored name goes */
std::string StoreLowLatency(int n, bool on);
std::string StoreShared(int n, bool on);
std::string ClearPort(int n); /* every value of Device<n> goes: a fresh key for a new port */

/* Port 0's number, as tolvexctl port N stores it and the setup dialog reads it. */
std::string StorePort(DWORD port);
std::string ReadPort(DWORD *port); /* empty string for a port, else what is stored instead */

/* Port n of count goes; each later one moves down a number, so that the
   ports stay a list without a gap. */
std::string RemovePort(int n, int count);

/* Once no architecture's driver is registered, every port's key goes too;
   empty string on success. */
std::string RemoveSettingsIfUnused(std::string *report);
