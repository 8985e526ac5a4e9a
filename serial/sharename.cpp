/*
 * The names, the security and the start of a shared port's objects and
 * owner. Windows checks the descriptor: no other user's program, and none
 * of another logon session, reaches the objects. Wine keeps descriptors
 * but does not enforce them; there the names alone keep sessions apart.
 */
#include "driver/driver.h"
#include "serial/share.h"
#include "serial/sharename.h"
#include "serial/wformat.h"

namespace
{
constexpr DWORD kLockWaitMs = 5000;  /* longer than any join or owner's end holds the lock */
constexpr int kObjectNameChars = 64; /* Local\tolvex.<session>.com<n>.<kind> with room */
constexpr int kCommandChars = 2 * MAX_PATH + 64;

const WCHAR aszLocal[] = WSTR("Local\\");
const WCHAR aszNoPrefix[] = WSTR("");
const WCHAR aszNameFormat[] = WSTR("%stolvex.%d.com%d.%s");
const WCHAR *const kapszKind[] = {WSTR("map"), WSTR("lock"), WSTR("ready"), WSTR("work")};
const WCHAR aszKernel[] = WSTR("kernel32.dll");
const char aszSessionOf[] = "ProcessIdToSessionId";
const WCHAR aszRundll[] = WSTR("%s\\rundll32.exe");
const WCHAR aszCommand[] = WSTR("\"%s\" \"%s\",PortOwner %d");

typedef BOOL(WINAPI *SESSIONOF)(DWORD, DWORD *);

/* The logon session, where the platform has sessions: NT 4.0 has one
   namespace for all, and no Local\ prefix; 2000 and later have both. */
BOOL GetSession(DWORD *pdwSession)
{
    HMODULE hKernel = GetModuleHandleW(aszKernel);
    SESSIONOF lpfnSessionOf =
        hKernel != nullptr
            ? reinterpret_cast<SESSIONOF>(reinterpret_cast<void (*)()>(GetProcAddress(hKernel, aszSessionOf)))
            : nullptr;
    *pdwSession = 0;
    return lpfnSessionOf != nullptr && lpfnSessionOf(GetCurrentProcessId(), pdwSession);
}
} // namespace

BOOL ShareSecurity(SHARESECURITY *lpSecurity)
{
    HANDLE hToken = 0;
    DWORD cb = 0;
    BOOL fOk = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
               GetTokenInformation(hToken, TokenUser, lpSecurity->adwUser, sizeof lpSecurity->adwUser, &cb);
    if (hToken != 0)
        CloseHandle(hToken);
    PSID pUser = reinterpret_cast<TOKEN_USER *>(lpSecurity->adwUser)->User.Sid;
    PACL pAcl = reinterpret_cast<PACL>(lpSecurity->adwAcl);
    fOk = fOk && InitializeAcl(pAcl, sizeof lpSecurity->adwAcl, ACL_REVISION) &&
          AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, pUser) &&
          InitializeSecurityDescriptor(&lpSecurity->sd, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(&lpSecurity->sd, TRUE, pAcl, FALSE);
    lpSecurity->sa.nLength = sizeof lpSecurity->sa;
    lpSecurity->sa.lpSecurityDescriptor = &lpSecurity->sd;
    lpSecurity->sa.bInheritHandle = FALSE;
    return fOk;
}

BOOL ShareName(UINT uPort, UINT uKind, LPWSTR lpszName, int cchName)
{
    DWORD dwSession;
    LPCWSTR lpszPrefix = GetSession(&dwSession) ? aszLocal : aszNoPrefix;
    return FormatW(lpszName, cchName, aszNameFormat, lpszPrefix, (int)dwSession, (int)gaPortSetting[uPort].RSPort,
                   kapszKind[uKind]) >= 0;
}

HANDLE ShareObject(UINT uPort, UINT uKind, SHARESECURITY *lpSecurity)
{
    WCHAR szName[kObjectNameChars];
    if (!ShareName(uPort, uKind, szName, kObjectNameChars))
        return 0;
    switch (uKind) {
    case kShareMap:
        return CreateFileMappingW(INVALID_HANDLE_VALUE, &lpSecurity->sa, PAGE_READWRITE, 0, sizeof(SHAREDPORT), szName);
    case kShareLock:
        return CreateMutexW(&lpSecurity->sa, FALSE, szName);
    default:
        return CreateEventW(&lpSecurity->sa, uKind == kShareReady, FALSE, szName);
    }
}

HANDLE ShareLock(UINT uPort)
{
    SHARESECURITY security;
    HANDLE hLock = ShareSecurity(&security) ? ShareObject(uPort, kShareLock, &security) : 0;
    /* One that held it and ended leaves it abandoned: still the lock's to take. */
    DWORD dwWait = hLock != 0 ? WaitForSingleObject(hLock, kLockWaitMs) : WAIT_FAILED;
    if (hLock != 0 && dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED) {
        CloseHandle(hLock);
        hLock = 0;
    }
    return hLock;
}

void ShareUnlock(HANDLE hLock)
{
    ReleaseMutex(hLock);
    CloseHandle(hLock);
}

/* rundll32 of the caller's own kind (the 32-bit one for a 32-bit program,
   by the system's redirection) with this very library. */
HANDLE StartOwner(UINT uPort)
{
    WCHAR szSystem[MAX_PATH], szRundll[MAX_PATH], szLibrary[MAX_PATH], szCommand[kCommandChars];
    UINT cchSystem = GetSystemDirectoryW(szSystem, MAX_PATH);
    DWORD cchLibrary = GetModuleFileNameW(ghModule, szLibrary, MAX_PATH);
    if (cchSystem == 0 || cchSystem >= MAX_PATH || cchLibrary == 0 || cchLibrary >= MAX_PATH ||
        FormatW(szRundll, MAX_PATH, aszRundll, szSystem) < 0 ||
        FormatW(szCommand, kCommandChars, aszCommand, szRundll, szLibrary, (int)uPort) < 0)
        return 0;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(szRundll, szCommand, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, szSystem, &si, &pi))
        return 0;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}
