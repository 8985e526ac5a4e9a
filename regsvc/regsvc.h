/*
 * Registry and service helpers, keyed by the driver's name: the Parameters
 * key and its device keys (registry.cpp), the driver's service entry
 * (service.cpp).
 */
#pragma once

#include "platform/platform.h"

struct RegAccessBlock {
    SC_HANDLE hServiceManager; /* open service control manager; empty in this driver */
    LPCWSTR lpDriverName;      /* service entry and services-branch key name; not owned */
};

constexpr int kKeyPathSize = 260;  /* characters of a composed key path, NUL included */
constexpr int kKeyNameSize = 260;  /* characters of an enumerated or formatted sub-key name */
constexpr int kKeyClassSize = 100; /* characters of the Parameters key's class buffer */

/* registry.cpp */
HKEY DrvOpenRegKey(LPCWSTR lpszDriverName, LPCWSTR lpszSubKey);
HKEY DrvOpenDeviceKey(LPCWSTR lpszDriverName, DWORD dwDevice);
HKEY DrvCreateDeviceKey(LPCWSTR lpszDriverName);
LONG DrvNumberOfDevices(const RegAccessBlock *lpRegAccess, LPDWORD lpNumberOfDevices);
LONG DrvSetDeviceIdParameter(const RegAccessBlock *lpRegAccess, DWORD dwDevice, LPCWSTR lpszValueName, DWORD dwValue);
LONG DrvQueryDeviceIdParameter(const RegAccessBlock *lpRegAccess, DWORD dwDevice, LPCWSTR lpszValueName,
                               LPDWORD lpdwValue);
/* The key "Device<n>" by its name, never made. */
HKEY DrvOpenNamedDeviceKey(LPCWSTR lpszDriverName, DWORD dwDevice);
/* A port's device key, never made: port 0's is the first device key, where
   the setting has always been read; a later port's is "Device<n>". */
HKEY DrvOpenPortKey(LPCWSTR lpszDriverName, DWORD dwPort);
LONG DrvQueryPortParameter(const RegAccessBlock *lpRegAccess, DWORD dwPort, LPCWSTR lpszValueName, LPDWORD lpdwValue);
/* A REG_SZ value of up to cchValue - 1 characters, terminated; empty on failure. */
LONG DrvQueryPortString(const RegAccessBlock *lpRegAccess, DWORD dwPort, LPCWSTR lpszValueName, LPWSTR lpszValue,
                        DWORD cchValue);

/* service.cpp */
SC_HANDLE DrvOpenService(const RegAccessBlock *lpRegAccess);
void DrvCloseService(const RegAccessBlock *lpRegAccess, SC_HANDLE hService);
DWORD DrvIsDriverLoaded(const RegAccessBlock *lpRegAccess);
BOOL DrvUnloadKernelDriver(const RegAccessBlock *lpRegAccess);
BOOL DrvDeleteServicesNode(const RegAccessBlock *lpRegAccess);
DWORD DrvRemoveDriver(const RegAccessBlock *lpRegAccess);
