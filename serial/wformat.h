/*
 * Bounded formatting of wide strings, in place of the platform's wsprintfW,
 * which writes as far as its text reaches. Knows %s (wide string) and %d with
 * an optional minimum width.
 */
#pragma once

#include "platform/platform.h"

/* Formats into lpOut, which holds cchOut characters with the terminator.
   Returns the characters written without the terminator, or -1 when the text
   does not fit or the format is not understood; the buffer then holds an empty string and nothing is written
   past its end. */
int FormatW(LPWSTR lpOut, int cchOut, LPCWSTR lpFmt, ...);
