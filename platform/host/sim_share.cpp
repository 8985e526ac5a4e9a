/*
 * Host simulation of what a shared port is made of: named file mappings,
 * the security calls that build a descriptor, and the start of processes.
 * This is one process: another program's process cannot be run, so every
 * process start is recorded and fails, as a missing rundll32 would.
 */
#include "sim.h"
#include "sim_thread.h"
#include "win_api.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace
{
constexpr DWORD kPid = 4242;                                   /* this process */
constexpr uintptr_t kMapBase = 0x30000000;                     /* apart from every other handle */
const HANDLE kToken = (HANDLE)(uintptr_t)0x2F000001;           /* the process's token */
const HANDLE kCurrentProcess = (HANDLE)(LONG_PTR)-1;           /* the platform's pseudo handle */
const HMODULE kKernel = reinterpret_cast<HMODULE>(0x7FF00000); /* kernel32 */
const char16_t kSystem[] = u"C:\\windows\\system32";
DWORD gdwUserSid[4] = {0x0501, 5, 21, 1000}; /* stands for this user's SID */

struct Mapping {
    std::u16string name;
    std::vector<BYTE> bytes;
};

std::mutex lock;
std::map<uintptr_t, std::shared_ptr<Mapping>> maps; /* open handles */
uintptr_t nextMap;
std::vector<sim::SharedObject> objects;
std::vector<std::u16string> commands;

/* A descriptor whose DACL has one entry: the one ShareSecurity builds. */
bool UserOnly(LPSECURITY_ATTRIBUTES lpsa)
{
    if (lpsa == nullptr || lpsa->lpSecurityDescriptor == nullptr)
        return false;
    auto *sd = static_cast<SECURITY_DESCRIPTOR *>(lpsa->lpSecurityDescriptor);
    return (sd->Control & SE_DACL_PRESENT) && sd->Dacl != nullptr && sd->Dacl->AceCount == 1;
}

DWORD SessionOf(DWORD, DWORD *pdwSession)
{
    *pdwSession = 1;
    return TRUE;
}

void ResetShare()
{
    std::lock_guard<std::mutex> g(lock);
    maps.clear();
    objects.clear();
    commands.clear();
}
sim::ResetHook reset(&ResetShare);
} // namespace

void SimRecordNamedObject(LPCWSTR lpName, LPSECURITY_ATTRIBUTES lpsa, const char *kind)
{
    std::lock_guard<std::mutex> g(lock);
    objects.push_back({sim::Utf8(lpName), kind, UserOnly(lpsa)});
}

HANDLE CreateFileMappingW(HANDLE, LPSECURITY_ATTRIBUTES lpsa, DWORD, DWORD, DWORD dwSizeLow, LPCWSTR lpName)
{
    if (lpName != nullptr)
        SimRecordNamedObject(lpName, lpsa, "mapping");
    std::lock_guard<std::mutex> g(lock);
    SetLastError(ERROR_SUCCESS);
    std::shared_ptr<Mapping> m;
    for (auto &h : maps)
        if (lpName != nullptr && h.second->name == lpName)
            m = h.second;
    if (m) {
        SetLastError(ERROR_ALREADY_EXISTS);
    } else {
        m = std::make_shared<Mapping>();
        m->name = lpName ? lpName : u"";
        m->bytes.assign(dwSizeLow, 0);
    }
    uintptr_t h = kMapBase + ++nextMap;
    maps[h] = m;
    return (HANDLE)h;
}

/* The view is the mapping's memory, which lives as long as the simulation. */
LPVOID MapViewOfFile(HANDLE hMap, DWORD, DWORD, DWORD, SIZE_T)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = maps.find((uintptr_t)hMap);
    return it == maps.end() ? nullptr : it->second->bytes.data();
}

BOOL UnmapViewOfFile(LPCVOID) { return TRUE; }

bool SimCloseShareObject(HANDLE h)
{
    std::lock_guard<std::mutex> g(lock);
    return h == kToken || maps.erase((uintptr_t)h) != 0;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD)
{
    SetLastError(ERROR_INVALID_PARAMETER); /* no process of another program runs here */
    return nullptr;
}

DWORD GetCurrentProcessId(void) { return kPid; }
HANDLE GetCurrentProcess(void) { return kCurrentProcess; }
HMODULE GetModuleHandleW(LPCWSTR lpName) { return sim::Utf8(lpName) == "kernel32.dll" ? kKernel : nullptr; }

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpName)
{
    if (hModule != kKernel || std::string(lpName) != "ProcessIdToSessionId")
        return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SessionOf));
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    UINT n = 0;
    while (kSystem[n] != 0)
        n++;
    if (uSize <= n)
        return n + 1;
    for (UINT i = 0; i <= n; i++)
        lpBuffer[i] = kSystem[i];
    return n;
}

BOOL CreateProcessW(LPCWSTR, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                    LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    std::lock_guard<std::mutex> g(lock);
    commands.push_back(lpCommandLine ? lpCommandLine : u"");
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL OpenProcessToken(HANDLE hProcess, DWORD, PHANDLE phToken)
{
    if (hProcess != kCurrentProcess)
        return FALSE;
    *phToken = kToken;
    return TRUE;
}

BOOL GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS cls, LPVOID lpInfo, DWORD cbInfo, LPDWORD pcb)
{
    *pcb = sizeof(TOKEN_USER);
    if (hToken != kToken || cls != TokenUser || cbInfo < sizeof(TOKEN_USER)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    static_cast<TOKEN_USER *>(lpInfo)->User.Sid = gdwUserSid;
    return TRUE;
}

BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision)
{
    if (nAclLength < sizeof(ACL))
        return FALSE;
    *pAcl = ACL{(BYTE)dwAclRevision, 0, (WORD)nAclLength, 0, 0};
    return TRUE;
}

BOOL AddAccessAllowedAce(PACL pAcl, DWORD, DWORD, PSID pSid)
{
    if (pSid == nullptr)
        return FALSE;
    pAcl->AceCount++;
    return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSd, DWORD dwRevision)
{
    *pSd = SECURITY_DESCRIPTOR{(BYTE)dwRevision, 0, 0, nullptr, nullptr, nullptr, nullptr};
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSd, BOOL bPresent, PACL pDacl, BOOL)
{
    pSd->Control = bPresent ? SE_DACL_PRESENT : 0;
    pSd->Dacl = pDacl;
    return TRUE;
}

namespace sim
{
std::vector<SharedObject> SharedObjects()
{
    std::lock_guard<std::mutex> g(lock);
    return objects;
}

std::vector<std::string> ProcessesStarted()
{
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> out;
    for (auto &c : commands)
        out.push_back(Utf8(c));
    return out;
}

int OpenMappings()
{
    std::lock_guard<std::mutex> g(lock);
    return (int)maps.size();
}
} // namespace sim
