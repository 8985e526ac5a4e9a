/*
 * Groups on the library's windows, driven from a second thread as a user
 * would: the setup dialog and its warning, and the box shown outside the NT
 * family.
 */
#include "groups.h"

#include <cstdio>

HICON gWarningIcon; /* loaded up front: a helper thread may not load resources while the loader lock is held */

namespace
{
const wchar_t kParamsKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters";
const wchar_t kSetupCaption[] = L"ORBEL Veldor Driver Setup";
const wchar_t kWarningCaption[] = L"ORBEL TOLVEX MIDI Driver";

HWND WaitWindow(const wchar_t *caption, DWORD ms = 10000)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        HWND w = FindWindowW(L"#32770", caption);
        if (w && IsWindowVisible(w))
            return w;
        Sleep(20);
    }
    return nullptr;
}

bool WaitGone(HWND w, DWORD ms = 5000)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (!IsWindow(w))
            return true;
        Sleep(20);
    }
    return false;
}

/* A warning box with the single OK button: the platform's warning icon in
   the box's icon control, and no button but OK. */

bool IsWarningWithOk(HWND box)
{
    const int kIconControl = 0x0440; /* the message box template's icon */
    HICON shown = (HICON)SendMessageW(GetDlgItem(box, kIconControl), STM_GETICON, 0, 0);
    bool onlyOk = GetDlgItem(box, IDOK) && !GetDlgItem(box, IDCANCEL) && !GetDlgItem(box, IDYES) &&
                  !GetDlgItem(box, IDNO) && !GetDlgItem(box, IDABORT) && !GetDlgItem(box, IDRETRY);
    return shown && shown == gWarningIcon && onlyOk;
}

bool Checked(HWND dlg, int id) { return SendMessageW(GetDlgItem(dlg, id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

std::string Checks(HWND dlg)
{
    std::string s;
    for (int id = 1000; id <= 1003; id++)
        if (Checked(dlg, id))
            s += (s.empty() ? "" : ",") + std::string("COM") + std::to_string(id - 999);
    return s.empty() ? "none" : s;
}

void PressEscape(HWND dlg)
{
    /* As the keyboard delivers it: to the focused control, through the dialog manager. */
    HWND focus = GetDlgItem(dlg, IDOK);
    PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

void PressOk(HWND dlg) { PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dlg, IDOK)); }

enum Scenario { kChooseCom2, kEscape, kCloseBox, kNoPortWarning };
Scenario gScenario;

DWORD WINAPI DriveDialog(LPVOID)
{
    HWND dlg = WaitWindow(kSetupCaption);
    if (!dlg) {
        Report(false, "dialog-shown", "no window \"ORBEL Veldor Driver Setup\" within 10 s");
        printf("END %s\n", gGroup.c_str());
        fflush(stdout);
        ExitProcess(3);
    }
    switch (gScenario) {
    case kChooseCom2:
        Report(Checks(dlg) == "COM1", "stored-port-checked", "expected COM1 checked at start, got %s",
               Checks(dlg).c_str());
        SendMessageW(GetDlgItem(dlg, 1001), BM_CLICK, 0, 0);
        Report(Checks(dlg) == "COM2", "click-moves-check", "expected only COM2 checked, got %s", Checks(dlg).c_str());
        PressOk(dlg);
        break;
    case kEscape: /* a choice made, then abandoned */
        SendMessageW(GetDlgItem(dlg, 1000), BM_CLICK, 0, 0);
        PressEscape(dlg);
        break;
    case kCloseBox:
        SendMessageW(GetDlgItem(dlg, 1000), BM_CLICK, 0, 0);
        PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    case kNoPortWarning: {
        Report(Checks(dlg) == "none", "nothing-checked", "expected no port checked, got %s", Checks(dlg).c_str());
        PressOk(dlg);
        HWND box = WaitWindow(kWarningCaption, 5000);
        wchar_t text[256] = L"";
        if (box)
            GetDlgItemTextW(box, 0xFFFF, text, 256); /* the message box's text control */
        std::string want = "ＣＯＭポートが選択されていません";
        Report(box && Utf8(text) == want && GetWindow(box, GW_OWNER) == nullptr, "warning-box",
               "expected an ownerless box \"%s\" captioned \"ORBEL TOLVEX MIDI Driver\", got %s \"%s\"", want.c_str(),
               box ? "a box" : "no box", Utf8(text).c_str());
        Report(box && IsWarningWithOk(box), "warning-box-style", "expected the warning icon and only an OK button");
        if (box) {
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            WaitGone(box);
        }
        Report(IsWindow(dlg) && IsWindowVisible(dlg), "dialog-stays-open", "the dialog closed after the warning");
        PressEscape(dlg);
        break;
    }
    }
    return 0;
}

LRESULT Configure(HDRVR h, Scenario s)
{
    gScenario = s;
    HANDLE t = CreateThread(nullptr, 0, DriveDialog, nullptr, 0, nullptr);
    LRESULT r = SendDriverMessage(h, DRV_CONFIGURE, 0, 0);
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    return r;
}

HANDLE gStarted;

DWORD WINAPI DismissVersionBox(LPVOID)
{
    SetEvent(gStarted);
    HWND box = WaitWindow(L"Tolvex MIDI  Driver", 10000);
    wchar_t text[256] = L"";
    if (box)
        GetDlgItemTextW(box, 0xFFFF, text, 256);
    std::string want = "使用しているＷＩＮＤＯＷＳバージョンが違います。";
    Report(box && Utf8(text) == want && GetWindow(box, GW_OWNER) == nullptr, "warning-box",
           "expected an ownerless box \"%s\" captioned \"Tolvex MIDI  Driver\", got %s \"%s\"", want.c_str(),
           box ? "a box" : "no box", Utf8(text).c_str());
    Report(box && IsWarningWithOk(box), "warning-box-style", "expected the warning icon and only an OK button");
    if (box)
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}
} // namespace

void GroupConfigure()
{
    StoreComId(1);
    HDRVR h = OpenDriver(gDllPath.c_str(), nullptr, 0);
    Report(h != nullptr, "open-driver", "OpenDriver failed");
    if (!h)
        return;

    LRESULT r = Configure(h, kChooseCom2);
    Report(r == DRVCNF_RESTART && ReadComId() == 2, "ok-stores-choice", "expected 2 and COMID 2, got %ld and %lld",
           (long)r, ReadComId());

    r = Configure(h, kEscape);
    Report(r == DRVCNF_CANCEL && ReadComId() == 2, "escape-cancels", "expected 0 and COMID still 2, got %ld and %lld",
           (long)r, ReadComId());

    r = Configure(h, kCloseBox);
    Report(r == DRVCNF_CANCEL && ReadComId() == 2, "close-box-cancels",
           "expected 0 and COMID still 2, got %ld and %lld", (long)r, ReadComId());

    ClearSetting();
    r = Configure(h, kNoPortWarning);
    Report(r == DRVCNF_CANCEL && ReadComId() == -1 && KeyExists(kParamsKey), "no-port-stores-nothing",
           "expected 0, no COMID, the Parameters key made; got %ld, %lld, key %s", (long)r, ReadComId(),
           KeyExists(kParamsKey) ? "present" : "absent");
    CloseDriver(h, 0, 0);
}

/* Outside the NT family (the prefix reports another version for this run):
   the warning box, and the library refuses to load. */
void GroupWrongVersion()
{
    DWORD v = GetVersion();
    Report((v & 0x80000000) != 0, "platform-reports-other-family", "GetVersion gave %08lx", (unsigned long)v);
    /* The helper must be running before LoadLibrary takes the loader lock,
       which a starting thread needs for its attach notifications. */
    gStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, DismissVersionBox, nullptr, 0, nullptr);
    WaitForSingleObject(gStarted, 5000);
    HMODULE lib = LoadLibraryW(gDllPath.c_str());
    WaitForSingleObject(t, 12000);
    CloseHandle(t);
    Report(lib == nullptr && GetModuleHandleW(L"TOLVEX.dll") == nullptr, "refused", "expected the load refused");
}
