/*
 * Plays the person at the setup dialog for the tolvexctl checks of the Wine
 * suite: waits for the dialog that "tolvexctl config" opened in another
 * process, then picks COM2 and confirms, or cancels.
 *     ctl_press.exe CAPTION com2|cancel
 * Exit 0 once pressed, 1 when no dialog appeared within 10 s, 2 on misuse.
 */
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace
{
constexpr int kCom2 = 1001;      /* the dialog's COM2 radio button */
constexpr DWORD kWaitMs = 10000; /* for the dialog to appear */
} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || (strcmp(argv[2], "com2") != 0 && strcmp(argv[2], "cancel") != 0)) {
        fprintf(stderr, "usage: ctl_press.exe CAPTION com2|cancel\n");
        return 2;
    }
    wchar_t caption[256];
    MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, caption, 256);
    HWND dlg = nullptr;
    for (DWORD start = GetTickCount(); !dlg && GetTickCount() - start < kWaitMs; Sleep(20)) {
        HWND w = FindWindowW(L"#32770", caption);
        if (w && IsWindowVisible(w))
            dlg = w;
    }
    if (!dlg) {
        printf("no dialog \"%s\"\n", argv[1]);
        return 1;
    }
    if (strcmp(argv[2], "com2") == 0) {
        SendMessageW(GetDlgItem(dlg, kCom2), BM_CLICK, 0, 0);
        PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dlg, IDOK));
    } else {
        PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    printf("pressed %s\n", argv[2]);
    return 0;
}
