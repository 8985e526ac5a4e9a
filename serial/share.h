/*
 * A port shared by several programs. One owner process holds the serial
 * port; every program's devices reach it through one shared record: a ring
 * of framed output bytes for each program's output, and one ring of the
 * bytes received, each with the clock reading of the read that took it,
 * which every program's input reads at its own pace. The record has fixed
 * fields and no pointers, so that 32-bit and 64-bit programs share it.
 */
#pragma once

#include "driver/driver.h"
#include "platform/platform.h"

constexpr UINT kShareSlots = 16;          /* opens of each direction, from any programs */
constexpr DWORD kShareOutRing = 16384;    /* bytes of a program's output ring, a power of 2 */
constexpr DWORD kShareInRing = 65536;     /* bytes of the ring of received bytes, a power of 2 */
constexpr DWORD kShareMagic = 0x31585654; /* "TVX1": the record is laid out */

/* SHAREDPORT.dwOwnerState */
constexpr DWORD kOwnerNone = 0;    /* no owner has run, or one is starting */
constexpr DWORD kOwnerRunning = 1; /* the owner holds the port */
constexpr DWORD kOwnerFailed = 2;  /* the owner could not open the port, or lost it, and has ended */
constexpr DWORD kOwnerEnded = 3;   /* the owner ended after the last close */

/* One open of a direction. */
struct SHARESLOT {
    /* The program that holds it; 0: free. Taken and given back by
       compare-and-swap, by the program, or by the owner for one that ended. */
    std::atomic<DWORD> dwPid;
    std::atomic<DWORD> dwBytes; /* bytes through it so far, for status */
    /* Output: bytes the program has put in, and the owner has taken, counting
       up (an output is taken only while both are equal); input: bytes of the
       received ring the program has taken. */
    std::atomic<DWORD> dwHead;
    std::atomic<DWORD> dwTail;
    BYTE abRing[kShareOutRing]; /* output only */
};

struct SHAREDPORT {
    DWORD dwMagic;                   /* kShareMagic */
    DWORD dwSize;                    /* sizeof(SHAREDPORT) */
    std::atomic<DWORD> dwOwnerPid;   /* the owner's process; 0 while none runs */
    std::atomic<DWORD> dwOwnerState; /* kOwner... */
    std::atomic<DWORD> dwInHead;     /* bytes the owner has put in the received ring, counting up */
    std::atomic<DWORD> dwLineErrors; /* line errors the owner has seen */
    std::atomic<DWORD> dwLastJoin;   /* timeGetTime of the last join: the owner stays while the joiner claims */
    BYTE abIn[kShareInRing];         /* the received ring */
    DWORD adwInTime[kShareInRing];   /* timeGetTime of the read that took each byte */
    SHARESLOT aOut[kShareSlots];
    SHARESLOT aIn[kShareSlots];
};

static_assert(sizeof(std::atomic<DWORD>) == 4 && std::atomic<DWORD>::is_always_lock_free,
              "shared words are plain lock-free DWORDs in every process");
static_assert(sizeof(SHARESLOT) == 4 * 4 + kShareOutRing, "SHARESLOT layout");
static_assert(sizeof(SHAREDPORT) == 7 * 4 + 5 * kShareInRing + 2 * kShareSlots * sizeof(SHARESLOT),
              "SHAREDPORT layout: the same in 32-bit and 64-bit programs");

/* The owner's view of one output slot, in its own process. */
struct OWNERSLOT {
    DWORD dwPid;         /* the program it is of; follows the slot's */
    BYTE bRunningStatus; /* the program's running status, as its bytes set it */
};

/* The owner's scheduling of the output slots onto the line. */
struct OWNERSTATE {
    OWNERSLOT aSlot[kShareSlots];
    int iSysExSlot;      /* the slot whose system exclusive is on the line; -1: none */
    DWORD dwSysExIdle;   /* timeGetTime when that slot last gave a byte */
    BYTE bLineStatus;    /* the running status on the line; 0: none */
    int iLineStatusSlot; /* the slot whose message set it */
    UINT iNext;          /* the slot looked at first next time: round robin */
};

/* sharering.cpp: the rings, with no platform service */
void ShareLayout(SHAREDPORT *lpShare);
BOOL SharePut(SHARESLOT *lpSlot, const BYTE *lpb, DWORD cb); /* FALSE: no room for all of it */
void SharePutInput(SHAREDPORT *lpShare, const BYTE *lpb, DWORD cb, DWORD dwTime);
/* The next received bytes of one clock reading for an input slot; *pfLost
   when the program fell so far behind that bytes were overwritten. */
UINT ShareTakeInput(SHAREDPORT *lpShare, SHARESLOT *lpSlot, BYTE *lpb, UINT cbMax, DWORD *pdwTime, BOOL *pfLost);
void OwnerReset(OWNERSTATE *lpOwner);
/* The next bytes for the line, at most cbMax: a whole short message of one
   program, with its status where the line's is not its own, or a piece of
   one program's system exclusive, which no other program's bytes enter
   until it ends; 0 when nothing is ready. A slot whose program left, or
   ended, inside its system exclusive gives an F7 first; whatever else it
   left is dropped. */
UINT OwnerNextWrite(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, BYTE *lpOut, UINT cbMax, DWORD dwNow);
/* As many of OwnerNextWrite's pieces as fit in cbMax, in its order: one
   write for everything that is ready. */
UINT OwnerFill(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, BYTE *lpOut, UINT cbMax, DWORD dwNow);
/* Takes a free slot of one direction for this program: an output's only
   once its output was all taken; an input's to take what arrives from now
   on. Returns its index, or kShareSlots when none is free. */
UINT ShareClaimSlot(SHAREDPORT *lpShare, BOOL fOutput, DWORD dwPid);
/* Gives the slot back, if it is still dwPid's. */
void ShareFreeSlot(SHARESLOT *lpSlot, DWORD dwPid);
