/*
 * Installation by hand: the DLL goes to the system directory that matches
 * its own architecture (a 32-bit DLL to the 32-bit system directory on
 * 64-bit Windows) and is registered in the same architecture's registry view,
 * because that is where the matching winmm looks for it.
 */
#include "install.h"
#include "device.h"
#include "drivers32.h"

#include <cstring>

const wchar_t kDriverFile[] = L"tolvex.dll";
const wchar_t kDriverDescription[] = L"Tolvex serial MIDI driver";
const wchar_t kDrivers32[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const wchar_t kDriversDesc[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";

namespace
{
constexpr WORD kMachineI386 = 0x014C;  /* IMAGE_FILE_MACHINE_I386 */
constexpr WORD kMachineAmd64 = 0x8664; /* IMAGE_FILE_MACHINE_AMD64 */
/* Per architecture (32 or 64 appended): each value a Drivers32 slot that
   install --reclaim took, with what it held, for uninstall to give back. */
const wchar_t kReclaimed[] = L"SYSTEM\\CurrentControlSet\\Services\\tolvex midi driver\\Parameters\\Reclaimed";

bool IsWow64()
{
    BOOL wow = FALSE;
    typedef BOOL(WINAPI * Fn)(HANDLE, PBOOL);
    Fn fn = (Fn)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
    return fn && fn(GetCurrentProcess(), &wow) && wow;
}

/* 32 or 64 from the DLL's own header, or 0 when it is no such DLL. */
int DllBits(const std::wstring &path, std::string *error)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        *error = Win32Error(("cannot open " + Narrow(path)).c_str(), GetLastError());
        return 0;
    }
    BYTE head[4096];
    DWORD got = 0;
    ReadFile(f, head, sizeof head, &got, nullptr);
    CloseHandle(f);
    IMAGE_DOS_HEADER dos;
    if (got >= sizeof dos) {
        memcpy(&dos, head, sizeof dos);
        if (dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 && (DWORD)dos.e_lfanew + 6 <= got &&
            memcmp(head + dos.e_lfanew, "PE\0\0", 4) == 0) {
            WORD machine;
            memcpy(&machine, head + dos.e_lfanew + 4, sizeof machine);
            if (machine == kMachineI386)
                return 32;
            if (machine == kMachineAmd64)
                return 64;
        }
    }
    *error = Narrow(path) + " is not a 32-bit or 64-bit Windows DLL";
    return 0;
}

std::wstring ReclaimedKey(int bits) { return kReclaimed + std::to_wstring(bits); }
} // namespace

std::string SystemDirectory(int bits, std::wstring *dir)
{
    wchar_t buf[MAX_PATH];
    UINT n;
    if (bits == NativeBits()) {
        n = GetSystemDirectoryW(buf, MAX_PATH);
    } else if (bits == 32) {
        n = GetSystemWow64DirectoryW(buf, MAX_PATH);
        if (n == 0)
            return "no 32-bit system directory on this Windows";
    } else {
        if (!IsWow64())
            return "32-bit Windows takes no 64-bit driver";
        n = GetWindowsDirectoryW(buf, MAX_PATH);
        if (n > 0 && n < MAX_PATH - 12)
            wcscat(buf, L"\\Sysnative"); /* the real system32, past the 32-bit redirection */
    }
    if (n == 0 || n >= MAX_PATH)
        return Win32Error("system directory", GetLastError());
    *dir = buf;
    return std::string();
}

int NativeBits() { return sizeof(void *) == 8 ? 64 : 32; }

int WindowsBits() { return NativeBits() == 64 || IsWow64() ? 64 : 32; }

int DllArchitecture(const std::wstring &path)
{
    std::string error;
    return DllBits(path, &error);
}

std::string Install(const std::wstring &dllPath, bool reclaim, std::string *report)
{
    std::string error;
    int bits = DllBits(dllPath, &error);
    if (bits == 0)
        return error;
    std::wstring dir;
    if (!(error = SystemDirectory(bits, &dir)).empty())
        return error;
    std::string arch = " (" + std::to_string(bits) + "-bit)";

    /* The slot first: an architecture that cannot be registered gets no file. */
    HKEY key;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, nullptr, 0, KEY_READ | KEY_SET_VALUE | View(bits),
                             nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return Win32Error("cannot open Drivers32", (DWORD)r);
    Slots s = ReadSlots(key);
    int slot = -1;
    bool already = false, replace = false;
    for (int k = kFirstOurs; k < kAliases && slot < 0; k++)
        if (IsOurs(s.text[k]))
            slot = k, already = true;
    for (int k = kFirstOurs; k < kAliases && slot < 0; k++)
        if (!s.taken[k])
            slot = k;
    for (int k = kFirstOurs; k < kAliases && slot < 0 && reclaim; k++)
        if (Repeats(s, k))
            slot = k, replace = true;
    if (slot < 0) {
        RegCloseKey(key);
        return NoSlot(bits, s);
    }
    std::wstring alias = AliasName(slot);

    std::wstring target = dir + L"\\" + kDriverFile;
    bool existed = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!CopyFileW(dllPath.c_str(), target.c_str(), FALSE)) {
        RegCloseKey(key);
        return Win32Error(("cannot copy to " + Narrow(target)).c_str(), GetLastError());
    }
    HKEY record = nullptr, desc = nullptr;
    bool recorded = false, written = false;
    auto undo = [&](const std::string &why) {
        if (written)
            replace ? CopyValue(record, alias, key, alias) : RegDeleteValueW(key, alias.c_str());
        if (recorded)
            RegDeleteValueW(record, alias.c_str());
        for (HKEY h : {key, record, desc})
            if (h)
                RegCloseKey(h);
        if (!existed)
            DeleteFileW(target.c_str());
        return why + "; undone, nothing of it is left";
    };
    if (replace) {
        r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ReclaimedKey(bits).c_str(), 0, nullptr, 0, KEY_READ | KEY_SET_VALUE,
                            nullptr, &record, nullptr);
        if (r == ERROR_SUCCESS && (r = CopyValue(key, alias, record, alias)) == ERROR_SUCCESS)
            recorded = true;
        if (r != ERROR_SUCCESS)
            return undo(Win32Error("cannot record what the slot held", (DWORD)r));
    }
    if (!already) {
        if ((r = SetText(key, alias.c_str(), kDriverFile)) != ERROR_SUCCESS)
            return undo(Win32Error("cannot write Drivers32", (DWORD)r));
        written = true;
    }
    r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, nullptr, 0, KEY_SET_VALUE | View(bits), nullptr, &desc,
                        nullptr);
    if (r != ERROR_SUCCESS || (r = SetText(desc, kDriverFile, kDriverDescription)) != ERROR_SUCCESS)
        return undo(Win32Error("cannot write drivers.desc", (DWORD)r));
    RegCloseKey(desc);
    if (record)
        RegCloseKey(record);

    *report += "copied " + Narrow(dllPath) + " to " + Narrow(target) + "\n";
    if (already)
        *report += "already registered as " + Narrow(alias) + arch + "\n";
    else if (replace)
        *report += "registered as " + Narrow(alias) + arch + " in place of its repeated " + Narrow(s.text[slot]) +
                   " (recorded: uninstall gives it back)\n";
    else
        *report += "registered as " + Narrow(alias) + arch + "\n";
    /* Entries of ours elsewhere: in Windows' own slots, or where winmm never looks. */
    std::vector<std::wstring> old = Strays(key);
    for (int k = 0; k < kFirstOurs; k++)
        if (IsOurs(s.text[k]))
            old.push_back(AliasName(k));
    for (const std::wstring &name : old)
        if (RegDeleteValueW(key, name.c_str()) == ERROR_SUCCESS)
            *report += "removed the entry of ours at " + Narrow(name) + arch +
                       (name == L"midi" || name == L"midi1" ? ", a slot that Windows takes back\n"
                                                            : ", which winmm never reads\n");
    RegCloseKey(key);
    return std::string();
}

std::string Uninstall(int bits, std::string *report)
{
    report->clear();
    /* First: on 32-bit Windows the one registry view holds the 32-bit
       driver, which "uninstall 64" must not take away. */
    std::wstring dir;
    std::string error = SystemDirectory(bits, &dir);
    if (!error.empty())
        return error;
    std::string arch = " (" + std::to_string(bits) + "-bit)";
    HKEY key, record = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, ReclaimedKey(bits).c_str(), 0, KEY_READ | KEY_SET_VALUE, &record);
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ | KEY_SET_VALUE | View(bits), &key);
    if (r == ERROR_SUCCESS) {
        /* Wherever an entry of ours is, midi0 and midi10 too. */
        for (const std::wstring &name : ValueNames(key)) {
            if (!IsOurs(ReadText(key, name.c_str())))
                continue;
            bool giveBack =
                record && RegQueryValueExW(record, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
            r = giveBack ? CopyValue(record, name, key, name) : RegDeleteValueW(key, name.c_str());
            if (r != ERROR_SUCCESS) {
                RegCloseKey(key);
                if (record)
                    RegCloseKey(record);
                return Win32Error(("cannot remove Drivers32 " + Narrow(name)).c_str(), (DWORD)r);
            }
            if (giveBack) {
                RegDeleteValueW(record, name.c_str());
                *report +=
                    "gave Drivers32 " + Narrow(name) + arch + " back to " + Narrow(ReadText(key, name.c_str())) + "\n";
            } else {
                *report += "removed Drivers32 " + Narrow(name) + arch + "\n";
            }
        }
        RegCloseKey(key);
    }
    if (record) {
        for (const std::wstring &name : ValueNames(record))
            *report += "Drivers32 " + Narrow(name) + " no longer names " + Narrow(kDriverFile) +
                       ": left as it is, not given back\n";
        RegCloseKey(record);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ReclaimedKey(bits).c_str());
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, KEY_SET_VALUE | View(bits), &key) == ERROR_SUCCESS) {
        if (RegDeleteValueW(key, kDriverFile) == ERROR_SUCCESS)
            *report += "removed the description\n";
        RegCloseKey(key);
    }

    std::wstring target = dir + L"\\" + kDriverFile;
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (DeleteFileW(target.c_str()))
            *report += "deleted " + Narrow(target) + "\n";
        else if (MoveFileExW(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            *report += Narrow(target) + " is in use: it goes at the next restart\n";
        else
            return Win32Error(("cannot delete " + Narrow(target)).c_str(), GetLastError());
    }
    if (report->empty())
        *report = "nothing to remove: the " + std::to_string(bits) + "-bit driver is not installed\n";
    return std::string();
}

std::vector<std::wstring> DllsBeside(const std::wstring &dir, std::string *notes)
{
    const wchar_t *const names[] = {L"TOLVEX.dll", L"TOLVEX32.dll"};
    std::wstring byBits[2]; /* [0] 32-bit, [1] 64-bit */
    for (const wchar_t *name : names) {
        std::wstring path = dir + name;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        std::string error;
        int bits = DllBits(path, &error);
        if (bits == 0)
            *notes += "passed over: " + error + "\n";
        else if (bits > WindowsBits())
            *notes += "passed over " + Narrow(path) + ": 32-bit Windows takes no 64-bit driver\n";
        else if (!byBits[bits == 64].empty())
            *notes += "passed over " + Narrow(path) + ": " + Narrow(byBits[bits == 64]) + " is " +
                      std::to_string(bits) + "-bit too\n";
        else
            byBits[bits == 64] = path;
    }
    std::vector<std::wstring> found;
    for (int bits : {NativeBits(), NativeBits() == 64 ? 32 : 64}) {
        if (bits > WindowsBits())
            continue;
        if (!byBits[bits == 64].empty())
            found.push_back(byBits[bits == 64]);
        else if (!byBits[bits != 64].empty())
            *notes += "no " + std::to_string(bits) + "-bit DLL in " + Narrow(dir) + ": " + std::to_string(bits) +
                      "-bit programs will not see the driver\n";
    }
    return found;
}
