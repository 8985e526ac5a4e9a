/*
 * The setup dialog "MIDIRS_NT": Config makes sure a device key exists and
 * runs the dialog; its procedure starts with the stored port checked and on
 * OK stores the checked port. Inside the dialog a port is a 16-bit number.
 */
#include "config/config.h"
#include "res/resource.h"

DWORD NumberOfCards; /* written by Config before the dialog; read by Config */

static const WCHAR STR_PRODUCTNAME[] = WSTR("ORBEL TOLVEX MIDI Driver");
static const WCHAR aszNoPortChosen[] = WSTR("ＣＯＭポートが選択されていません");
static const WCHAR aszTemplate[] = WSTR(DLG_MIDIRS_NT);

constexpr WORD kNoPortRS = 0xFFFF;   /* port number when no button is checked */
constexpr WORD kFirstPort = 1;       /* port of IDC_COM1 */
constexpr WORD kLastPort = 4;        /* port of IDC_COM4 */
constexpr LONG kNoButton = -1;       /* PortToIdRS for a port without a button */
constexpr INT_PTR kEndConfirmed = 1; /* dialog result: a port was chosen and stored */
constexpr INT_PTR kEndCancelled = 0; /* dialog result: left without storing */

LONG Config(HWND hWnd, HINSTANCE hInstance)
{
    RegAccess.lpDriverName = aszDriverName;
    DrvNumberOfDevices(&RegAccess, &NumberOfCards);

    /* The port setting lives in a device key: make the first one if none exists. */
    if (DrvIsDriverLoaded(&RegAccess) != 1 && NumberOfCards == 0) {
        HKEY hKey = DrvCreateDeviceKey(RegAccess.lpDriverName);
        if (hKey != nullptr)
            RegCloseKey(hKey);
    }

    return (LONG)DialogBoxParamW(hInstance, aszTemplate, hWnd, ConfigDlgProcRS, 0);
}

static void InitDialogRS(HWND hDlg)
{
    DWORD dwPort;
    GetDriverConfig(0, &dwPort);

    LONG id = PortToIdRS(LOWORD(dwPort));
    if (id != kNoButton)
        CheckRadioButton(hDlg, IDC_COM1, IDC_COM4, id);
}

static void ConfirmRS(HWND hDlg)
{
    WORD wPort = GetPortRS(hDlg);
    if (wPort == kNoPortRS) {
        /* The dialog stays open for the user to choose. */
        MessageBoxW(nullptr, aszNoPortChosen, STR_PRODUCTNAME, MB_ICONWARNING);
        return;
    }
    DWORD dwPort = wPort;
    SetDriverConfig(0, &dwPort);
    EndDialog(hDlg, kEndConfirmed);
}

INT_PTR CALLBACK ConfigDlgProcRS(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM)
{
    RegAccess.lpDriverName = aszDriverName;
    switch (uMsg) {
    case WM_INITDIALOG:
        InitDialogRS(hDlg);
        return TRUE; /* the platform gives OK, the first tab stop, the focus */

    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            ConfirmRS(hDlg);
            return TRUE;
        case IDCANCEL: /* Escape and the close box, as the Cancel button is hidden */
            EndDialog(hDlg, kEndCancelled);
            return FALSE;
        case IDC_COM1:
        case IDC_COM2:
        case IDC_COM3:
        case IDC_COM4:
            CheckRadioButton(hDlg, IDC_COM1, IDC_COM4, LOWORD(wParam));
            return TRUE;
        default:
            return TRUE;
        }

    default:
        return FALSE;
    }
}

LONG PortToIdRS(DWORD dwPort)
{
    WORD wPort = LOWORD(dwPort);
    if (wPort < kFirstPort || wPort > kLastPort)
        return kNoButton;
    return IDC_COM1 + (wPort - kFirstPort);
}

WORD GetPortRS(HWND hDlg)
{
    /* Hidden buttons count: a stored 3 or 4 checks one that the user cannot see. */
    for (int id = IDC_COM1; id <= IDC_COM4; id++) {
        if (IsDlgButtonChecked(hDlg, id))
            return IdToPortRS(id);
    }
    return kNoPortRS;
}

WORD IdToPortRS(LONG id)
{
    if (id < IDC_COM1 || id > IDC_COM4)
        return kNoPortRS;
    return (WORD)(kFirstPort + (id - IDC_COM1));
}
