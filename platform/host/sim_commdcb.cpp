/*
 * Host simulation: the platform's parser of a settings description such as
 * "com1:38400,n,8,1", for BuildCommDCBW (sim_serial.cpp).
 */
#include "sim_commdcb.h"

namespace
{
WCHAR Lower(WCHAR c) { return (c >= u'A' && c <= u'Z') ? (WCHAR)(c - u'A' + u'a') : c; }

/* The settings-description parser of the platform, "old" form only:
   [comN[:]]baud,parity,data,stop[,x|p]. */
const WCHAR *SkipSpaces(const WCHAR *p)
{
    while (*p == u' ')
        p++;
    return p;
}

const WCHAR *ParseNumber(const WCHAR *p, DWORD *value)
{
    if (*p < u'0' || *p > u'9')
        return nullptr;
    DWORD v = 0;
    while (*p >= u'0' && *p <= u'9')
        v = v * 10 + (DWORD)(*p++ - u'0');
    *value = v;
    return p;
}

const WCHAR *Expect(const WCHAR *p, WCHAR c)
{
    p = SkipSpaces(p);
    if (*p != c)
        return nullptr;
    return SkipSpaces(p + 1);
}

} // namespace

bool ParseDescription(const WCHAR *p, DCB *d)
{
    if (Lower(p[0]) == u'c' && Lower(p[1]) == u'o' && Lower(p[2]) == u'm') {
        p += 3;
        if (*p < u'1' || *p > u'9')
            return false;
        while (*p >= u'0' && *p <= u'9')
            p++;
        if (*p != u':' && *p != u' ')
            return false;
        p = SkipSpaces(p);
        if (*p == u':')
            p = SkipSpaces(p + 1);
    } else if (*p == u' ') {
        return false;
    }

    DWORD baud, size;
    if (!(p = ParseNumber(p, &baud)))
        return false;
    switch (baud) { /* two-digit abbreviations of the old mode command */
    case 11:
    case 30:
    case 60:
        baud *= 10;
        break;
    case 12:
    case 24:
    case 48:
    case 96:
        baud *= 100;
        break;
    case 19:
        baud = 19200;
        break;
    }
    d->BaudRate = baud;

    if (!(p = Expect(p, u',')))
        return false;
    switch (Lower(*p++)) {
    case u'n':
        d->Parity = 0;
        break;
    case u'o':
        d->Parity = 1;
        break;
    case u'e':
        d->Parity = 2;
        break;
    case u'm':
        d->Parity = 3;
        break;
    case u's':
        d->Parity = 4;
        break;
    default:
        return false;
    }

    if (!(p = Expect(p, u',')) || !(p = ParseNumber(p, &size)) || size < 5 || size > 8)
        return false;
    d->ByteSize = (BYTE)size;

    if (!(p = Expect(p, u',')))
        return false;
    if (p[0] == u'1' && p[1] == u'.' && p[2] == u'5') {
        d->StopBits = 1;
        p += 3;
    } else if (*p == u'1') {
        d->StopBits = 0;
        p++;
    } else if (*p == u'2') {
        d->StopBits = 2;
        p++;
    } else {
        return false;
    }

    WCHAR handshake = 0;
    p = SkipSpaces(p);
    if (*p == u',') {
        p = SkipSpaces(p + 1);
        if (*p)
            handshake = Lower(*p++);
        p = SkipSpaces(p);
    }
    if (*p)
        return false;

    /* The NT family sets the flow control from the last parameter, or off. */
    d->fBinary = 1;
    d->fInX = d->fOutX = handshake == u'x';
    d->fOutxCtsFlow = d->fOutxDsrFlow = handshake == u'p';
    d->fDtrControl = handshake == u'p' ? 2 : 1;
    d->fRtsControl = handshake == u'p' ? 2 : 1;
    return handshake == 0 || handshake == u'x' || handshake == u'p';
}
