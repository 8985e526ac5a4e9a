/*
 * The one header through which driver code reaches the platform.
 * Target build: the platform's own headers, plus the little that mingw lacks.
 * Host build: a simulation with the platform's names, types, layouts and
 * published values (platform/host), for deterministic tests on Linux.
 */
#pragma once

#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

/* Wide string literal in the platform's WCHAR; expands a macro argument first. */
#define WSTR_(s) L##s
#define WSTR(s) WSTR_(s)

/* winmm exports it, but mingw's headers do not declare it. */
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                                      DWORD_PTR dwParam1, DWORD_PTR dwParam2);

#else

#include "host/win_types.h"
#include "host/win_api.h"

#endif

#include <atomic>

/* Record layouts that the multimedia system and applications rely on. */
static_assert(sizeof(MIDIOUTCAPSW) == 84, "MIDIOUTCAPSW layout");
static_assert(sizeof(MIDIINCAPSW) == 76, "MIDIINCAPSW layout");
static_assert(sizeof(DCB) == 28, "DCB layout");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS layout");
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");
