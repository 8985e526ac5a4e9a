/*
 * What a shared port's programs and its owner meet by: the names of its
 * objects, each with this logon session and the port, the descriptor that
 * lets only this user reach them, the record's lock, and the start of an
 * owner process.
 */
#pragma once

#include "platform/platform.h"

/* The objects of a shared port. */
constexpr UINT kShareMap = 0;   /* the file mapping of its SHAREDPORT */
constexpr UINT kShareLock = 1;  /* mutex: a join, and an owner's end, one at a time */
constexpr UINT kShareReady = 2; /* manual-reset event: a new owner holds the port, or has failed */
constexpr UINT kShareWork = 3;  /* auto-reset event: output waits for the owner */

/* A descriptor whose one entry gives this user all access: what another
   user's or another session's programs cannot reach, they cannot send to,
   read from or block. */
struct SHARESECURITY {
    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    DWORD adwAcl[64];  /* the ACL and its one entry */
    DWORD adwUser[64]; /* TOKEN_USER with its SID */
};

BOOL ShareSecurity(SHARESECURITY *lpSecurity);
/* "Local\tolvex.<session>.com<n>.<kind>"; FALSE when it does not fit. */
BOOL ShareName(UINT uPort, UINT uKind, LPWSTR lpszName, int cchName);
HANDLE ShareObject(UINT uPort, UINT uKind, SHARESECURITY *lpSecurity); /* made, or opened when it exists */
HANDLE ShareLock(UINT uPort); /* the record's lock, held; 0 when it cannot be had */
void ShareUnlock(HANDLE hLock);
HANDLE StartOwner(UINT uPort); /* the owner's process, started; 0 on failure */

/* owner.cpp: the owner, run by rundll32 in a process of its own */
extern "C" void CALLBACK PortOwner(HWND hWnd, HINSTANCE hInstance, LPSTR lpszCmdLine, int nCmdShow);
