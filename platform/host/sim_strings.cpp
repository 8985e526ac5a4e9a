/*
 * Host simulation of LoadStringW, serving the library's string table from the
 * same texts that the resource script compiles (res/resource.h), and of the
 * wide string routines lstrcpyW, lstrcatW and lstrlenW.
 */
#include "../../res/resource.h"
#include "sim.h"
#include "win_api.h"

namespace
{
struct StringEntry {
    UINT id;
    const WCHAR *text;
};

constexpr StringEntry kStringTable[] = {
    {IDS_DRIVERNAME, WSTR(STR_DRIVERNAME)},
    {IDS_MIDIINNAME, WSTR(STR_MIDIINNAME)},
    {IDS_MIDIOUTNAME, WSTR(STR_MIDIOUTNAME)},
};
} // namespace

namespace sim
{
const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(0x10000000);

std::string Utf8(const std::u16string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf8(const WCHAR *s) { return s ? Utf8(std::u16string(s)) : std::string("(null)"); }
} // namespace sim

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (hInstance != sim::kModule || lpBuffer == nullptr)
        return 0;
    for (const StringEntry &e : kStringTable) {
        if (e.id != uID)
            continue;
        int len = lstrlenW(e.text);
        if (cchBufferMax == 0) {
            /* The platform hands out a read-only pointer to the resource. */
            *reinterpret_cast<const WCHAR **>(lpBuffer) = e.text;
            return len;
        }
        int n = len < cchBufferMax - 1 ? len : cchBufferMax - 1;
        for (int i = 0; i < n; i++)
            lpBuffer[i] = e.text[i];
        lpBuffer[n] = 0;
        return n;
    }
    return 0;
}

LPWSTR lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2)
{
    LPWSTR d = lpString1;
    while ((*d++ = *lpString2++) != 0) {
    }
    return lpString1;
}

LPWSTR lstrcatW(LPWSTR lpString1, LPCWSTR lpString2)
{
    lstrcpyW(lpString1 + lstrlenW(lpString1), lpString2);
    return lpString1;
}

int lstrlenW(LPCWSTR lpString)
{
    if (lpString == nullptr)
        return 0;
    int n = 0;
    while (lpString[n] != 0)
        n++;
    return n;
}
