/*
 * Groups on the library as an image: what loading it brings into the process,
 * its exports, and its resources (strings, version block, dialog template,
 * icon) as the platform's resource and version services read them.
 */
#define PSAPI_VERSION 1
#include "groups.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace
{
std::set<std::wstring> ModuleNames()
{
    std::set<std::wstring> names;
    HMODULE mods[1024];
    DWORD needed = 0;
    if (!EnumProcessModules(GetCurrentProcess(), mods, sizeof mods, &needed))
        return names;
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; i++) {
        wchar_t name[MAX_PATH];
        if (GetModuleBaseNameW(GetCurrentProcess(), mods[i], name, MAX_PATH)) {
            std::wstring n = name;
            std::transform(n.begin(), n.end(), n.begin(), ::towlower);
            names.insert(n);
        }
    }
    return names;
}
} // namespace

/* The library brings nothing into the process but itself (its four system
   DLLs are loaded first, as the multimedia system has them loaded). */
void GroupLoad()
{
    ClearSetting();
    for (const wchar_t *dll : {L"kernel32.dll", L"user32.dll", L"advapi32.dll", L"winmm.dll"})
        LoadLibraryW(dll);
    std::set<std::wstring> before = ModuleNames();
    bool loaded = Load();
    Report(loaded, "loads", "LoadLibrary and the three exports, error %lu", (unsigned long)GetLastError());
    if (!loaded)
        return;
    std::set<std::wstring> after = ModuleNames();
    std::string added;
    for (const std::wstring &n : after)
        if (!before.count(n))
            added += (added.empty() ? "" : " ") + Utf8(n);
    Report(added == "tolvex.dll", "brings-in-only-itself", "expected new modules {tolvex.dll}, got {%s}",
           added.c_str());

    /* Exports: names and ordinals resolve to the same routines; the fourth
       is the shared port's owner, which rundll32 runs. */
    const char *names[] = {"DriverProc", "midMessage", "modMessage", "PortOwner"};
    for (int ord = 1; ord <= 4; ord++) {
        FARPROC byName = GetProcAddress(gLib, names[ord - 1]);
        FARPROC byOrd = GetProcAddress(gLib, MAKEINTRESOURCEA(ord));
        char check[32];
        snprintf(check, sizeof check, "ordinal-%d", ord);
        Report(byName && byName == byOrd, check, "expected ordinal %d to be %s", ord, names[ord - 1]);
    }
    Report(GetProcAddress(gLib, MAKEINTRESOURCEA(5)) == nullptr, "four-exports", "an ordinal 5 exists");

    /* The export directory names the library "TOLVEX.dll". */
    BYTE *base = (BYTE *)gLib;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY *exp = (IMAGE_EXPORT_DIRECTORY *)(base + dir.VirtualAddress);
    const char *dllName = (const char *)(base + exp->Name);
    Report(strcmp(dllName, "TOLVEX.dll") == 0 && exp->Base == 1 && exp->NumberOfFunctions == 4, "export-directory",
           "expected TOLVEX.dll, base 1, 4 functions; got %s, base %lu, %lu functions", dllName,
           (unsigned long)exp->Base, (unsigned long)exp->NumberOfFunctions);

    Report(FreeLibrary(gLib) && GetModuleHandleW(L"TOLVEX.dll") == nullptr, "unloads",
           "still loaded after FreeLibrary");
}

namespace
{
/* One step of a VS_VERSIONINFO tree: key, value, children. */
struct VersionNode {
    std::wstring key;
    const BYTE *value;
    WORD valueLength;
    WORD type;
    std::vector<VersionNode> children;
};

size_t Align4(size_t n) { return (n + 3) & ~(size_t)3; }

VersionNode ParseVersion(const BYTE *p, const BYTE *end)
{
    VersionNode n;
    WORD length = *(const WORD *)p;
    n.valueLength = *(const WORD *)(p + 2);
    n.type = *(const WORD *)(p + 4);
    const wchar_t *key = (const wchar_t *)(p + 6);
    n.key = key;
    const BYTE *q = p + Align4(6 + (n.key.size() + 1) * 2);
    n.value = q;
    size_t valueBytes = n.type == 1 ? n.valueLength * 2 : n.valueLength;
    q += Align4(valueBytes);
    const BYTE *stop = std::min(p + length, end);
    while (q + 6 < stop) {
        WORD childLength = *(const WORD *)q;
        if (childLength == 0)
            break;
        n.children.push_back(ParseVersion(q, stop));
        q += Align4(childLength);
    }
    return n;
}

const VersionNode *Child(const VersionNode &n, const wchar_t *key)
{
    for (const VersionNode &c : n.children)
        if (c.key == key)
            return &c;
    return nullptr;
}

/* The dialog template "MIDIRS_NT" as the setup dialog is laid out. */
std::vector<BYTE> ExpectedDialog()
{
    std::vector<BYTE> v;
    auto word = [&](DWORD w) { v.push_back((BYTE)w), v.push_back((BYTE)(w >> 8)); };
    auto dword = [&](DWORD d) { word(d & 0xFFFF), word(d >> 16); };
    auto text = [&](const char *utf8) {
        for (wchar_t c : Wide(utf8))
            word(c);
        word(0);
    };
    auto align = [&]() {
        while (v.size() % 4)
            v.push_back(0);
    };
    dword(0x80C800C0), dword(0), word(8), word(0), word(0), word(270), word(76);
    word(0), word(0); /* no menu, standard class */
    text("ORBEL Veldor Driver Setup");
    word(9), text("ＭＳ Ｐゴシック");
    struct Item {
        WORD id, cls;
        const char *text;
        DWORD style;
        WORD x, y, cx, cy;
    } items[] = {
        {1, 0x80, "OK", 0x50010001, 212, 49, 50, 14},
        {2, 0x80, "ｷｬﾝｾﾙ", 0x40010000, 206, 5, 50, 14},
        {1000, 0x80, "COM1", 0x50000009, 60, 47, 36, 10},
        {1001, 0x80, "COM2", 0x50000009, 135, 47, 36, 10},
        {1002, 0x80, "COM3", 0x40000009, 92, 53, 36, 10},
        {1003, 0x80, "COM4", 0x40000009, 168, 53, 36, 10},
        {1025, 0x82, "MIDI driver TOLVEX.DLL(Ver1.0)", 0x50020001, 49, 13, 157, 9},
        {1026, 0x82, nullptr, 0x5002000C, 21, 28, 214, 12},
    };
    for (const Item &it : items) {
        align();
        dword(it.style), dword(0), word(it.x), word(it.y), word(it.cx), word(it.cy), word(it.id);
        word(0xFFFF), word(it.cls);
        text(it.text ? it.text : "\x01"); /* the notice's text is the maker's own: compared apart */
        word(0);
    }
    return v;
}

std::wstring LoadText(UINT id)
{
    wchar_t buf[256];
    int n = LoadStringW(gLib, id, buf, 256);
    return std::wstring(buf, n > 0 ? n : 0);
}

BOOL CALLBACK CollectLang(HMODULE, LPCWSTR type, LPCWSTR name, WORD lang, LONG_PTR out)
{
    auto *s = (std::vector<std::string> *)out;
    char b[128];
    std::string n = IS_INTRESOURCE(name) ? std::to_string((ULONG_PTR)name) : Utf8(name);
    snprintf(b, sizeof b, "%lu/%s/%04x", (unsigned long)(ULONG_PTR)type, n.c_str(), lang);
    s->push_back(b);
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE mod, LPCWSTR type, LPWSTR name, LONG_PTR out)
{
    EnumResourceLanguagesW(mod, type, name, CollectLang, out);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE mod, LPWSTR type, LONG_PTR out)
{
    EnumResourceNamesW(mod, type, CollectName, out);
    return TRUE;
}
} // namespace

void GroupResources()
{
    ClearSetting();
    if (!LoadOrReport())
        return;

    /* Every resource, by type/name/language: exactly these. */
    std::vector<std::string> all;
    EnumResourceTypesW(gLib, CollectType, (LONG_PTR)&all);
    std::sort(all.begin(), all.end());
    std::string got;
    for (const std::string &s : all)
        got += (got.empty() ? "" : " ") + s;
    const char *expected = "14/107/0409 16/1/0409 3/1/0409 5/MIDIRS_NT/0409 6/1/0409";
    Report(got == expected, "inventory", "expected {%s}, got {%s}", expected, got.c_str());

    /* The string table: ids 2, 6 and 7 and no other. */
    std::map<UINT, std::wstring> strings;
    for (UINT id = 0; id <= 0xFFFF; id++) {
        std::wstring t = LoadText(id);
        if (!t.empty())
            strings[id] = t;
    }
    std::string table;
    for (auto &kv : strings)
        table += (table.empty() ? "" : " ") + std::to_string(kv.first) + "=\"" + Utf8(kv.second) + "\"";
    const char *wantTable = "2=\"VeldorNTDriver\" 6=\"VeldorNT MIDI In\" 7=\"VeldorNT MIDI Out\"";
    Report(table == wantTable, "string-table", "expected %s, got %s", wantTable, table.c_str());
    wchar_t cut[8];
    int n = LoadStringW(gLib, 7, cut, 8);
    Report(n == 7 && std::wstring(cut) == L"VeldorN", "string-cut-to-fit", "expected 7 \"VeldorN\", got %d \"%s\"", n,
           Utf8(cut).c_str());

    /* The version block, read through the version API. */
    DWORD handle = 0, size = GetFileVersionInfoSizeW(gDllPath.c_str(), &handle);
    std::vector<BYTE> info(size ? size : 1);
    bool haveInfo = size && GetFileVersionInfoW(gDllPath.c_str(), 0, size, info.data());
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    haveInfo = haveInfo && VerQueryValueW(info.data(), L"\\", (void **)&fixed, &len) && fixed;
    Report(haveInfo, "version-readable", "GetFileVersionInfo/VerQueryValue failed");
    if (haveInfo) {
        Report(fixed->dwFileVersionMS == 0x00030005 && fixed->dwFileVersionLS == 0 &&
                   fixed->dwProductVersionMS == 0x00030005 && fixed->dwProductVersionLS == 0,
               "version-fixed-numbers", "expected 3.5.0.0 twice, got %08lx.%08lx / %08lx.%08lx",
               (unsigned long)fixed->dwFileVersionMS, (unsigned long)fixed->dwFileVersionLS,
               (unsigned long)fixed->dwProductVersionMS, (unsigned long)fixed->dwProductVersionLS);
        Report(fixed->dwFileFlagsMask == 0x0030003F && fixed->dwFileFlags == 0 && fixed->dwFileOS == 0x00010001 &&
                   fixed->dwFileType == 3 && fixed->dwFileSubtype == 8 && fixed->dwFileDateMS == 0 &&
                   fixed->dwFileDateLS == 0,
               "version-fixed-kind",
               "expected mask 0030003f flags 0 os 00010001 type 3 subtype 8 date 0, got %08lx %lx %08lx %lu %lu %lx",
               (unsigned long)fixed->dwFileFlagsMask, (unsigned long)fixed->dwFileFlags, (unsigned long)fixed->dwFileOS,
               (unsigned long)fixed->dwFileType, (unsigned long)fixed->dwFileSubtype,
               (unsigned long)(fixed->dwFileDateMS | fixed->dwFileDateLS));
        struct {
            const wchar_t *name;
            const char *want; /* null: our own text, present and not empty */
        } entries[] = {
            {L"FileDescription", "1.0"},         {L"FileVersion", "1.00"},    {L"InternalName", "TOLVEX.DLL"},
            {L"OriginalFilename", "TOLVEX.DLL"}, {L"ProductVersion", "1.00"}, {L"CompanyName", nullptr},
            {L"LegalCopyright", nullptr},        {L"ProductName", nullptr},
        };
        for (auto &e : entries) {
            std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + e.name;
            wchar_t *val = nullptr;
            UINT vlen = 0;
            bool found = VerQueryValueW(info.data(), path.c_str(), (void **)&val, &vlen) && val;
            std::string s = found ? Utf8(val) : "(missing)";
            std::string check = "version-" + Utf8(e.name);
            Report(e.want ? s == e.want : found && !s.empty(), check.c_str(), "expected \"%s\", got \"%s\"",
                   e.want ? e.want : "(a text)", s.c_str());
        }
        DWORD *trans = nullptr;
        Report(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void **)&trans, &len) && len == 4 &&
                   *trans == MAKELONG(0x0409, 0x04E4),
               "version-translation", "expected 0409 04e4, got %08lx", trans ? (unsigned long)*trans : 0ul);
    }

    /* The string block's name, spelled exactly, straight from the resource. */
    HRSRC vr =
        FindResourceExW(gLib, (LPCWSTR)RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (vr) {
        const BYTE *p = (const BYTE *)LockResource(LoadResource(gLib, vr));
        VersionNode root = ParseVersion(p, p + SizeofResource(gLib, vr));
        const VersionNode *sfi = Child(root, L"StringFileInfo");
        std::string blocks;
        if (sfi)
            for (const VersionNode &c : sfi->children)
                blocks += (blocks.empty() ? "" : " ") + Utf8(c.key);
        Report(root.key == L"VS_VERSION_INFO" && blocks == "040904E4", "version-string-block",
               "expected one block \"040904E4\", got {%s}", blocks.c_str());
    } else {
        Report(false, "version-string-block", "no version resource in language 0409");
    }

    /* The dialog template, byte for byte (the notice's text apart). */
    HRSRC dr = FindResourceExW(gLib, (LPCWSTR)RT_DIALOG, L"MIDIRS_NT", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (dr) {
        const BYTE *p = (const BYTE *)LockResource(LoadResource(gLib, dr));
        std::vector<BYTE> got(p, p + SizeofResource(gLib, dr));
        std::vector<BYTE> want = ExpectedDialog();
        /* The last item's text stands in for the notice: splice the real one in. */
        size_t noticeAt = want.size() - 6; /* "\x01\0" NUL creation-data */
        bool prefix = got.size() >= noticeAt && std::equal(want.begin(), want.begin() + noticeAt, got.begin());
        size_t diff = 0;
        while (diff < noticeAt && diff < got.size() && got[diff] == want[diff])
            diff++;
        std::wstring notice;
        if (prefix)
            for (size_t i = noticeAt; i + 1 < got.size(); i += 2) {
                wchar_t c = (wchar_t)(got[i] | got[i + 1] << 8);
                if (!c)
                    break;
                notice += c;
            }
        Report(prefix, "dialog-template", "first difference at byte %u: expected %02x, got %02x (%u bytes)",
               (unsigned)diff, diff < want.size() ? want[diff] : 0, diff < got.size() ? got[diff] : 0,
               (unsigned)got.size());
        Report(prefix && !notice.empty(), "dialog-notice", "the notice line is empty");
    } else {
        Report(false, "dialog-template", "no dialog MIDIRS_NT in language 0409");
    }

    /* The icon group: one 32 by 32, 16-colour image, icon id 1. */
    HRSRC gr = FindResourceExW(gLib, (LPCWSTR)RT_GROUP_ICON, MAKEINTRESOURCEW(107),
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    HRSRC ir =
        FindResourceExW(gLib, (LPCWSTR)RT_ICON, MAKEINTRESOURCEW(1), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (gr && ir) {
        const BYTE *g = (const BYTE *)LockResource(LoadResource(gLib, gr));
        const BYTE *e = g + 6;
        WORD count = *(const WORD *)(g + 4);
        WORD planes = *(const WORD *)(e + 4), bits = *(const WORD *)(e + 6), id = *(const WORD *)(e + 12);
        DWORD bytes = *(const DWORD *)(e + 8);
        Report(count == 1 && e[0] == 32 && e[1] == 32 && e[2] == 16 && planes == 1 && bits == 4 && id == 1 &&
                   bytes == SizeofResource(gLib, ir),
               "icon-group",
               "expected 1 entry 32x32 16 colours 1 plane 4 bpp id 1, got %u entries %ux%u %u colours "
               "%u planes %u bpp id %u",
               count, e[0], e[1], e[2], planes, bits, id);
        const BITMAPINFOHEADER *bih = (const BITMAPINFOHEADER *)LockResource(LoadResource(gLib, ir));
        HICON icon = CreateIconFromResourceEx((BYTE *)bih, SizeofResource(gLib, ir), TRUE, 0x00030000, 32, 32, 0);
        Report(bih->biWidth == 32 && bih->biHeight == 64 && bih->biBitCount == 4 && icon != nullptr, "icon-image",
               "expected a usable 32x32 4 bpp image, got %ldx%ld %u bpp, icon %p", (long)bih->biWidth,
               (long)bih->biHeight, bih->biBitCount, (void *)icon);
        if (icon)
            DestroyIcon(icon);
    } else {
        Report(false, "icon-group", "group 107 or icon 1 missing in language 0409");
    }
    FreeLibrary(gLib);
}
