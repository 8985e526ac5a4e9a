/*
 * Bytes as hex text and back, so that a failed comparison reads as the wire
 * does.
 */
#pragma once

#include "platform/platform.h"

#include <cstdio>
#include <string>
#include <vector>

namespace test_hex
{

/* "90 3C 40" as three bytes. */
inline std::vector<BYTE> Bytes(const char *hex)
{
    std::vector<BYTE> out;
    unsigned v;
    int n;
    while (sscanf(hex, " %x%n", &v, &n) == 1) {
        out.push_back((BYTE)v);
        hex += n;
    }
    return out;
}

/* Three bytes as "90 3C 40". */
inline std::string Hex(const BYTE *b, size_t n)
{
    std::string s;
    char part[4];
    for (size_t i = 0; i < n; i++)
        s += (snprintf(part, sizeof part, i ? " %02X" : "%02X", b[i]), part);
    return s;
}

inline std::string Hex(const std::vector<BYTE> &bytes) { return Hex(bytes.data(), bytes.size()); }

} // namespace test_hex
