/*
 * The rings of a shared port, with no platform service: programs put their
 * framed output in their own ring and the owner schedules it onto the line
 * message by message; the owner puts what it receives in one ring, stamped,
 * and every program's input takes it at its own pace.
 */
#include "midiout/msglen.h"
#include "serial/share.h"

namespace
{
constexpr BYTE kChannelFirst = 0x80; /* lowest status byte */
constexpr BYTE kSysEx = 0xF0;        /* start of system exclusive */
constexpr BYTE kEox = 0xF7;          /* end of system exclusive */
constexpr BYTE kRealTime = 0xF8;     /* real-time bytes stand alone, anywhere */
constexpr int kStatusShift = 4;      /* high nibble of a channel status byte */
constexpr int kNoSlot = -1;
constexpr DWORD kSysExIdleMs = 5000;        /* a program's system exclusive that gives nothing for this long is ended */
constexpr DWORD kInMargin = 4096;           /* bytes the owner may add while a program copies: a read */
constexpr UINT kFillRoom = kShareSlots + 4; /* a write's room for the F7s of every slot, or a message */

DWORD Pending(const SHARESLOT &s) { return s.dwHead.load(std::memory_order_acquire) - s.dwTail.load(); }
BYTE At(const SHARESLOT &s, DWORD dwOffset) { return s.abRing[(s.dwTail.load() + dwOffset) & (kShareOutRing - 1)]; }

void Take(SHARESLOT &s, DWORD cb)
{
    s.dwBytes += cb;
    s.dwTail.store(s.dwTail.load() + cb, std::memory_order_release);
}

BYTE ChannelLength(BYTE status) { return gabMsgLenChannel[(status >> kStatusShift) - (kChannelFirst >> kStatusShift)]; }

/* Bytes of the system exclusive under way from slot s, up to and with its
   F7. A status byte other than real time ends it without being taken, and
   that program's message goes next, so that nothing comes between. */
UINT TakeSysEx(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, UINT s, BYTE *lpOut, UINT cbMax, DWORD dwNow, BOOL fStart)
{
    SHARESLOT &slot = lpShare->aOut[s];
    DWORD cbAvail = Pending(slot);
    UINT cb = 0;
    BOOL fEox = FALSE, fCut = FALSE;
    while (cb < cbAvail && cb < cbMax && !fEox) {
        BYTE b = At(slot, cb);
        if (b >= kChannelFirst && b < kRealTime && b != kEox && !(fStart && cb == 0)) {
            fCut = TRUE;
            break;
        }
        lpOut[cb++] = b;
        fEox = b == kEox;
    }
    Take(slot, cb);
    if (cb != 0)
        lpOwner->dwSysExIdle = dwNow;
    if (fCut)
        lpOwner->iNext = s;
    if (!fEox && !fCut && cb == 0 && dwNow - lpOwner->dwSysExIdle >= kSysExIdleMs)
        lpOut[cb++] = kEox; /* left open: ended, so that the others can go on */
    if (fEox || fCut || (cb != 0 && lpOut[cb - 1] == kEox))
        lpOwner->iSysExSlot = kNoSlot;
    return cb;
}

/* The next whole message of slot s, with its status where the line's is
   not the program's own, and the real-time bytes among its bytes where
   they stand; 0 when none is complete yet, or it does not fit in cbMax. A
   status byte inside it cuts it short (*pfCut): that part goes nowhere, as
   a receiver would drop it. */
UINT TakeWhole(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, UINT s, BYTE *lpOut, UINT cbMax, DWORD dwNow, BOOL *pfCut)
{
    *pfCut = FALSE;
    SHARESLOT &slot = lpShare->aOut[s];
    OWNERSLOT &own = lpOwner->aSlot[s];
    DWORD cbAvail = Pending(slot);
    /* Data bytes with no status to run under go nowhere. */
    for (; cbAvail != 0 && At(slot, 0) < kChannelFirst && own.bRunningStatus == 0; cbAvail--)
        Take(slot, 1);
    if (cbAvail == 0)
        return 0;
    BYTE b = At(slot, 0);
    if (b >= kRealTime) {
        lpOut[0] = b;
        Take(slot, 1);
        return 1;
    }
    if (b == kSysEx) {
        lpOwner->iSysExSlot = (int)s;
        lpOwner->dwSysExIdle = dwNow;
        lpOwner->bLineStatus = 0;
        own.bRunningStatus = 0;
        return TakeSysEx(lpShare, lpOwner, s, lpOut, cbMax, dwNow, TRUE);
    }
    UINT cbMsg;
    UINT cbStatus = 0;
    if (b >= kSysEx) {
        cbMsg = gabMsgLenSystem[b - kSysEx];
        own.bRunningStatus = 0;
    } else if (b >= kChannelFirst) {
        cbMsg = ChannelLength(b);
    } else {
        cbMsg = ChannelLength(own.bRunningStatus) - 1;
        /* The line's running status is used only where this program set it. */
        if (lpOwner->bLineStatus != own.bRunningStatus || lpOwner->iLineStatusSlot != (int)s)
            cbStatus = 1;
    }
    /* The message's own bytes, counted past the real-time bytes among them. */
    UINT cbIn = 0;
    for (UINT cbOwn = 0; cbOwn < cbMsg; cbIn++) {
        if (cbIn == cbAvail)
            return 0; /* the program puts whole messages; the rest is on its way */
        BYTE x = At(slot, cbIn);
        if (cbIn != 0 && x >= kChannelFirst && x < kRealTime) {
            Take(slot, cbIn);
            *pfCut = TRUE;
            return 0;
        }
        cbOwn += x < kRealTime;
    }
    if (cbStatus + cbIn > cbMax)
        return 0;
    if (cbStatus != 0)
        lpOut[0] = own.bRunningStatus;
    for (UINT k = 0; k < cbIn; k++)
        lpOut[cbStatus + k] = At(slot, k);
    Take(slot, cbIn);
    BYTE bStatus = b >= kChannelFirst ? b : own.bRunningStatus; /* a message under running status keeps it */
    if (bStatus < kSysEx) {
        own.bRunningStatus = bStatus;
        lpOwner->bLineStatus = bStatus;
        lpOwner->iLineStatusSlot = (int)s;
    } else {
        lpOwner->bLineStatus = 0; /* system common ends running status */
    }
    return cbStatus + cbIn;
}

UINT TakeMessage(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, UINT s, BYTE *lpOut, UINT cbMax, DWORD dwNow)
{
    BOOL fCut;
    UINT cb;
    do
        cb = TakeWhole(lpShare, lpOwner, s, lpOut, cbMax, dwNow, &fCut);
    while (fCut);
    return cb;
}
} // namespace

void ShareLayout(SHAREDPORT *lpShare)
{
    lpShare->dwSize = sizeof(SHAREDPORT);
    lpShare->dwMagic = kShareMagic;
}

BOOL SharePut(SHARESLOT *lpSlot, const BYTE *lpb, DWORD cb)
{
    DWORD dwHead = lpSlot->dwHead.load();
    if (kShareOutRing - (dwHead - lpSlot->dwTail.load(std::memory_order_acquire)) < cb)
        return FALSE;
    for (DWORD k = 0; k < cb; k++)
        lpSlot->abRing[(dwHead + k) & (kShareOutRing - 1)] = lpb[k];
    lpSlot->dwHead.store(dwHead + cb, std::memory_order_release);
    return TRUE;
}

void SharePutInput(SHAREDPORT *lpShare, const BYTE *lpb, DWORD cb, DWORD dwTime)
{
    DWORD dwHead = lpShare->dwInHead.load();
    for (DWORD k = 0; k < cb; k++) {
        lpShare->abIn[(dwHead + k) & (kShareInRing - 1)] = lpb[k];
        lpShare->adwInTime[(dwHead + k) & (kShareInRing - 1)] = dwTime;
    }
    lpShare->dwInHead.store(dwHead + cb, std::memory_order_release);
}

UINT ShareTakeInput(SHAREDPORT *lpShare, SHARESLOT *lpSlot, BYTE *lpb, UINT cbMax, DWORD *pdwTime, BOOL *pfLost)
{
    DWORD dwHead = lpShare->dwInHead.load(std::memory_order_acquire);
    DWORD dwRead = lpSlot->dwHead.load();
    *pfLost = FALSE;
    if (dwHead - dwRead > kShareInRing - kInMargin) {
        *pfLost = TRUE; /* overwritten before this program took them */
        dwRead = dwHead;
    }
    UINT cb = 0;
    if (dwRead != dwHead)
        *pdwTime = lpShare->adwInTime[dwRead & (kShareInRing - 1)];
    while (dwRead + cb != dwHead && cb < cbMax && lpShare->adwInTime[(dwRead + cb) & (kShareInRing - 1)] == *pdwTime) {
        lpb[cb] = lpShare->abIn[(dwRead + cb) & (kShareInRing - 1)];
        cb++;
    }
    /* The owner went on meanwhile: what was copied may be newer than its
       stamp, or half written, as the owner writes a read before it counts it. */
    if (lpShare->dwInHead.load(std::memory_order_acquire) - dwRead > kShareInRing - kInMargin) {
        *pfLost = TRUE;
        cb = 0;
        dwRead = lpShare->dwInHead.load();
    }
    lpSlot->dwHead.store(dwRead + cb);
    lpSlot->dwBytes += cb;
    return cb;
}

void OwnerReset(OWNERSTATE *lpOwner)
{
    *lpOwner = OWNERSTATE{};
    lpOwner->iSysExSlot = kNoSlot;
    lpOwner->iLineStatusSlot = kNoSlot;
}

UINT ShareClaimSlot(SHAREDPORT *lpShare, BOOL fOutput, DWORD dwPid)
{
    SHARESLOT *aSlot = fOutput ? lpShare->aOut : lpShare->aIn;
    for (UINT s = 0; s < kShareSlots; s++) {
        DWORD dwFree = 0;
        if (!aSlot[s].dwPid.compare_exchange_strong(dwFree, dwPid))
            continue;
        aSlot[s].dwBytes = 0;
        if (!fOutput) {
            aSlot[s].dwHead = lpShare->dwInHead.load(); /* an input takes what arrives from now on */
            return s;
        }
        /* What an output that left in haste put in is the owner's to drop
           first: the slot is taken only once the owner has. */
        if (aSlot[s].dwHead.load() == aSlot[s].dwTail.load(std::memory_order_acquire))
            return s;
        aSlot[s].dwPid = 0;
    }
    return kShareSlots;
}

void ShareFreeSlot(SHARESLOT *lpSlot, DWORD dwPid) { lpSlot->dwPid.compare_exchange_strong(dwPid, 0); }

UINT OwnerNextWrite(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, BYTE *lpOut, UINT cbMax, DWORD dwNow)
{
    /* The view follows each slot's holder: one that left inside its system
       exclusive has it ended, and what it left is dropped. */
    UINT cbGone = 0;
    for (UINT s = 0; s < kShareSlots; s++) {
        SHARESLOT &slot = lpShare->aOut[s];
        OWNERSLOT &own = lpOwner->aSlot[s];
        /* A free slot holds nothing: no program can take it while it does.
           Its head is read before its holder, so that what a program that
           took it meanwhile puts in is never dropped with it. */
        DWORD dwHead = slot.dwHead.load();
        DWORD dwPid = slot.dwPid;
        if (dwPid == 0 && dwHead != slot.dwTail.load())
            slot.dwTail.store(dwHead);
        if (dwPid == own.dwPid)
            continue;
        if (own.dwPid != 0) {
            if (lpOwner->iSysExSlot == (int)s) {
                lpOut[cbGone++] = kEox;
                lpOwner->iSysExSlot = kNoSlot;
            }
            if (lpOwner->iLineStatusSlot == (int)s)
                lpOwner->iLineStatusSlot = kNoSlot;
        }
        own.dwPid = dwPid;
        own.bRunningStatus = 0;
    }
    if (cbGone != 0)
        return cbGone;

    if (lpOwner->iSysExSlot != kNoSlot)
        return TakeSysEx(lpShare, lpOwner, (UINT)lpOwner->iSysExSlot, lpOut, cbMax, dwNow, FALSE);
    UINT iFirst = lpOwner->iNext;
    for (UINT k = 0; k < kShareSlots; k++) {
        UINT s = (iFirst + k) % kShareSlots;
        SHARESLOT &slot = lpShare->aOut[s];
        if (lpOwner->aSlot[s].dwPid == 0 || Pending(slot) == 0)
            continue;
        lpOwner->iNext = s + 1; /* unless a message cut short the program's system exclusive */
        UINT cb = TakeMessage(lpShare, lpOwner, s, lpOut, cbMax, dwNow);
        if (cb != 0)
            return cb;
    }
    return 0;
}

UINT OwnerFill(SHAREDPORT *lpShare, OWNERSTATE *lpOwner, BYTE *lpOut, UINT cbMax, DWORD dwNow)
{
    UINT cb = 0;
    for (UINT cbNext = 1; cbNext != 0 && cbMax - cb >= kFillRoom; cb += cbNext)
        cbNext = OwnerNextWrite(lpShare, lpOwner, lpOut + cb, cbMax - cb, dwNow);
    return cb;
}
