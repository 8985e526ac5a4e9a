/*
 * The driver's stored settings that tolvexctl writes and reads: the port
 * and the input mode under ...\Parameters\Device0, and their removal.
 */
#pragma once

#include <windows.h>

#include <string>

/* Once no architecture's driver is registered, the stored settings go
   too; empty string on success. */
std::string RemoveSettingsIfUnused(std::string *report);

/* The port under ...\Parameters\Device0, value "COMID". */
std::string StorePort(DWORD port);
constexpr DWORD kPortFirst = 1, kPortLast = 256; /* COM numbers Windows gives out */
std::string ReadPort(DWORD *port);               /* empty string for a port, else what is stored instead */

/* The input mode beside it, value "LowLatency"; absent means standard. */
std::string StoreLowLatency(bool on);
bool ReadLowLatency();
