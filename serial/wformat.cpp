/*
 * Bounded wide-string formatting for the names and descriptions the driver
 * builds from numbers it does not control (the stored port number).
 */
#include "serial/wformat.h"

#include <cstdarg>

namespace
{
constexpr int kDigitsMax = 11; /* digits of the largest 32-bit magnitude, with room to spare */

/* Appends c at *pos; false when the buffer (less the terminator) is full. */
bool Put(LPWSTR lpOut, int cchOut, int *pos, WCHAR c)
{
    if (*pos >= cchOut - 1)
        return false;
    lpOut[(*pos)++] = c;
    return true;
}

bool PutNumber(LPWSTR lpOut, int cchOut, int *pos, bool negative, DWORD magnitude, int width)
{
    WCHAR digits[kDigitsMax];
    int n = 0;
    do {
        digits[n++] = (WCHAR)(WSTR('0') + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    for (int pad = width - n - (negative ? 1 : 0); pad > 0; pad--)
        if (!Put(lpOut, cchOut, pos, WSTR(' ')))
            return false;
    if (negative && !Put(lpOut, cchOut, pos, WSTR('-')))
        return false;
    while (n > 0)
        if (!Put(lpOut, cchOut, pos, digits[--n]))
            return false;
    return true;
}
} // namespace

int FormatW(LPWSTR lpOut, int cchOut, LPCWSTR lpFmt, ...)
{
    if (lpOut == nullptr || cchOut <= 0)
        return -1;

    va_list args;
    va_start(args, lpFmt);
    int pos = 0;
    bool fits = true;
    for (LPCWSTR f = lpFmt; fits && *f != 0; f++) {
        if (*f != WSTR('%')) {
            fits = Put(lpOut, cchOut, &pos, *f);
            continue;
        }
        f++;
        int width = 0;
        while (*f >= WSTR('0') && *f <= WSTR('9'))
            width = width * 10 + (*f++ - WSTR('0'));
        switch (*f) {
        case WSTR('s'): {
            LPCWSTR s = va_arg(args, LPCWSTR);
            while (fits && s != nullptr && *s != 0)
                fits = Put(lpOut, cchOut, &pos, *s++);
            break;
        }
        case WSTR('d'): {
            int v = va_arg(args, int);
            /* The magnitude of INT_MIN is taken in unsigned arithmetic. */
            DWORD magnitude = v < 0 ? 0u - (DWORD)v : (DWORD)v;
            fits = PutNumber(lpOut, cchOut, &pos, v < 0, magnitude, width);
            break;
        }
        default: /* an unknown conversion, or a format ending in '%' */
            fits = false;
            break;
        }
        if (*f == 0)
            break;
    }
    va_end(args);

    lpOut[fits ? pos : 0] = 0;
    return fits ? pos : -1;
}
