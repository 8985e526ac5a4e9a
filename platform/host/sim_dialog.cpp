/*
 * Host simulation of the modal dialog services for the one template the
 * library holds, "MIDIRS_NT": its controls, the platform's handling of auto
 * radio buttons, Enter, Escape and the close box, driven by a test's script.
 */
#include "sim_dialog.h"
#include "sim.h"
#include "win_api.h"

#include "../../res/resource.h"

namespace
{

constexpr UINT kWmSysCommand = 0x0112;             /* WM_SYSCOMMAND */
constexpr WPARAM kScClose = 0xF060;                /* SC_CLOSE */
constexpr WORD kBnClicked = 0;                     /* BN_CLICKED */
constexpr DWORD kErrorResourceNameNotFound = 1814; /* ERROR_RESOURCE_NAME_NOT_FOUND */
constexpr DWORD kErrorInvalidWindowHandle = 1400;  /* ERROR_INVALID_WINDOW_HANDLE */
constexpr DWORD kErrorNotEnoughMemory = 8;         /* ERROR_NOT_ENOUGH_MEMORY: no window could be made */
constexpr uintptr_t kDialogWindow = 0x6000;        /* the dialog's window while it runs */
constexpr uintptr_t kControlWindowBase = 0x7000;   /* a control's window: base + id */
constexpr uintptr_t kLargestIntResource = 0xFFFF;  /* template "names" up to here are ordinals */

enum Kind { PushButton, DefPushButton, AutoRadio, Static };

struct Control {
    int id;
    Kind kind;
    bool visible;
    bool group; /* WS_GROUP: starts a group */
    bool checked;
};

/* The controls of "MIDIRS_NT" in template order, as res/dialog.rc has them. */
constexpr Control kTemplate[] = {
    {IDOK, DefPushButton, true, false, false},  {IDCANCEL, PushButton, false, false, false},
    {IDC_COM1, AutoRadio, true, false, false},  {IDC_COM2, AutoRadio, true, false, false},
    {IDC_COM3, AutoRadio, false, false, false}, {IDC_COM4, AutoRadio, false, false, false},
    {IDC_TITLE, Static, true, true, false},     {IDC_NOTICE, Static, true, true, false},
};
constexpr int kControls = sizeof(kTemplate) / sizeof(kTemplate[0]);

/* One thread drives the dialog, and the dialog procedure calls back in. */
Control controls[kControls];
bool running;
bool failNext;
std::vector<sim::DialogAction> script;
sim::DialogRecord record;

HWND Dialog() { return reinterpret_cast<HWND>(kDialogWindow); }

int Find(int id)
{
    for (int i = 0; i < kControls; i++)
        if (controls[i].id == id)
            return i;
    return -1;
}

std::vector<int> Checked()
{
    std::vector<int> ids;
    for (const Control &c : controls)
        if (c.checked)
            ids.push_back(c.id);
    return ids;
}

/* A clicked auto radio button checks itself and clears the other auto radio
   buttons of its group before the dialog hears of the click. */
void CheckAutoRadio(int index)
{
    int first = index;
    while (first > 0 && !controls[first].group)
        first--;
    for (int i = first; i < kControls && (i == first || !controls[i].group); i++)
        if (controls[i].kind == AutoRadio)
            controls[i].checked = (i == index);
}

bool ValidDialog(HWND hDlg)
{
    if (running && hDlg == Dialog())
        return true;
    SetLastError(kErrorInvalidWindowHandle);
    return false;
}

bool IsTemplateName(LPCWSTR name)
{
    if (reinterpret_cast<uintptr_t>(name) <= kLargestIntResource)
        return false;
    const WCHAR *want = WSTR(DLG_MIDIRS_NT);
    int i = 0;
    for (; name[i] != 0 && want[i] != 0; i++) {
        WCHAR c = name[i];
        if (c >= u'a' && c <= u'z')
            c = (WCHAR)(c - u'a' + u'A'); /* resource names are case-insensitive */
        if (c != want[i])
            return false;
    }
    return name[i] == 0 && want[i] == 0;
}

void Command(DLGPROC proc, int id)
{
    WPARAM wParam = MAKELONG(id, kBnClicked);
    LPARAM lParam = (LPARAM)(kControlWindowBase + id);
    record.answers.push_back(proc(Dialog(), WM_COMMAND, wParam, lParam));
}

void Perform(DLGPROC proc, const sim::DialogAction &a)
{
    switch (a.kind) {
    case sim::DialogAction::Click: {
        int i = Find(a.id);
        if (i < 0 || !controls[i].visible || controls[i].kind == Static) {
            record.problems.push_back("click on control " + std::to_string(a.id) + " that the user cannot click");
            return;
        }
        if (controls[i].kind == AutoRadio)
            CheckAutoRadio(i);
        Command(proc, a.id);
        return;
    }
    case sim::DialogAction::Enter:
        /* Focus never rests on a hidden push button, so Enter means the default one. */
        Command(proc, IDOK);
        return;
    case sim::DialogAction::Escape:
        Command(proc, IDCANCEL);
        return;
    case sim::DialogAction::CloseBox: {
        /* The close box is a system command; left to the platform, it becomes Cancel. */
        INT_PTR handled = proc(Dialog(), kWmSysCommand, kScClose, 0);
        record.answers.push_back(handled);
        if (!handled)
            Command(proc, IDCANCEL);
        return;
    }
    }
}

} // namespace

INT_PTR DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam)
{
    if (hInstance != sim::kModule || lpTemplateName == nullptr || !IsTemplateName(lpTemplateName)) {
        SetLastError(kErrorResourceNameNotFound);
        return -1;
    }
    if (running) {
        record.problems.push_back("a second dialog while one is open");
        return -1;
    }
    if (failNext) {
        failNext = false;
        SetLastError(kErrorNotEnoughMemory);
        return -1;
    }
    for (int i = 0; i < kControls; i++)
        controls[i] = kTemplate[i];
    int runs = record.runs + 1;
    record = sim::DialogRecord{};
    record.runs = runs;
    record.parent = hWndParent;
    record.initParam = dwInitParam;
    running = true;

    std::vector<sim::DialogAction> actions = script;
    script.clear();
    record.answers.push_back(lpDialogFunc(Dialog(), WM_INITDIALOG, kControlWindowBase + IDOK, dwInitParam));
    record.checkedAfterInit = Checked();
    for (const sim::DialogAction &a : actions) {
        if (record.ended)
            break;
        Perform(lpDialogFunc, a);
    }
    record.checked = Checked();
    running = false;
    if (!record.ended) {
        record.problems.push_back("the script ran out with the dialog still open");
        return sim::kScriptRanOut;
    }
    return record.endResult;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult)
{
    if (!ValidDialog(hDlg))
        return FALSE;
    /* The last call before the dialog returns decides its result. */
    record.ended = true;
    record.endResult = nResult;
    return TRUE;
}

BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton)
{
    if (!ValidDialog(hDlg))
        return FALSE;
    for (Control &c : controls)
        if (c.kind != Static && c.id >= nIDFirstButton && c.id <= nIDLastButton)
            c.checked = (c.id == nIDCheckButton);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nIDButton)
{
    if (!ValidDialog(hDlg))
        return BST_UNCHECKED;
    int i = Find(nIDButton);
    return (i >= 0 && controls[i].checked) ? BST_CHECKED : BST_UNCHECKED;
}

namespace sim
{

void ScriptDialog(const std::vector<DialogAction> &actions) { script = actions; }

void FailNextDialog() { failNext = true; }

DialogRecord LastDialog() { return record; }

static void ResetDialog()
{
    running = false;
    failNext = false;
    script.clear();
    record = DialogRecord{};
}
static ResetHook reset(&ResetDialog);

} // namespace sim
