/*
 * The ports the driver serves: the device keys Device0, Device1, ... up to
 * the first without a port number, read at process attach. Port n is device
 * n of both directions; its devices' names are its stored one or the
 * default, numbered after the first port, and never the same as another's.
 */
#include "config/config.h"
#include "driver/driver.h"
#include "serial/wformat.h"

PORTSETTING gaPortSetting[kMaxPorts]; /* written at process attach; read by the opens and the capabilities */
UINT gcPorts = 1;                     /* written at process attach */

namespace
{
const WCHAR aszNumbered[] = WSTR("%s %d"); /* "VeldorNT MIDI Out 2" */
constexpr int kNameChars = MAXPNAMELEN;    /* a device name with its terminator */

BOOL SameName(LPCWSTR a, LPCWSTR b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

/* lpszBase, cut as far as it takes for " n" to fit the name. */
void Numbered(LPWSTR lpszName, LPCWSTR lpszBase, int n)
{
    WCHAR szBase[kNameChars];
    lstrcpyW(szBase, lpszBase);
    for (int cch = lstrlenW(szBase); FormatW(lpszName, kNameChars, aszNumbered, szBase, n) < 0 && cch > 0;)
        szBase[--cch] = 0;
}

/* The name port uPort's device has before the others are looked at. */
void OwnName(UINT uPort, UINT uIdsName, LPWSTR lpszName)
{
    if (gaPortSetting[uPort].szName[0] != 0) {
        lstrcpyW(lpszName, gaPortSetting[uPort].szName);
        return;
    }
    WCHAR szDefault[kNameChars];
    if (LoadStringW(ghModule, uIdsName, szDefault, kNameChars) == 0)
        szDefault[0] = 0;
    /* Numbered by the port, not by its COM number: a program that chose the
       device finds it again after the adapter moves to another COM number. */
    if (uPort == 0)
        lstrcpyW(lpszName, szDefault);
    else
        Numbered(lpszName, szDefault, (int)uPort + 1);
}
} // namespace

void ReadPorts()
{
    for (UINT u = 0; u < kMaxPorts; u++)
        gaPortSetting[u] = PORTSETTING{-1, kDefaultBaud, {0}};
    /* Port 0 is there even with nothing stored: its opens fail, as they
       always did. It is read from the first device key, whatever its name;
       the list goes on only from a key named Device0, so that no key is
       two ports. */
    UINT u = 1;
    if (GetPortConfig(0, &gaPortSetting[0]) && PortKeyNamed(0)) {
        while (u < kMaxPorts && GetPortConfig(u, &gaPortSetting[u]))
            u++;
    }
    gcPorts = u;
}

void GetDeviceName(UINT uPort, UINT uIdsName, LPWSTR lpszName)
{
    WCHAR aszNames[kMaxPorts][kNameChars];
    for (UINT u = 0; u <= uPort; u++) {
        OwnName(u, uIdsName, aszNames[u]);
        /* A name an earlier port has already gets the first free number. */
        WCHAR szOwn[kNameChars];
        lstrcpyW(szOwn, aszNames[u]);
        for (int n = (int)u + 1;; n++) {
            UINT v = 0;
            while (v < u && !SameName(aszNames[v], aszNames[u]))
                v++;
            if (v == u)
                break;
            Numbered(aszNames[u], szOwn, n);
        }
    }
    lstrcpyW(lpszName, aszNames[uPort]);
}
