/*
 * A shared port's record, read as the driver's programs and owner write it:
 * the layout is the driver's own header, the name the one it gives the
 * record (sharename.cpp), and nothing of the driver is linked in.
 */
#include "sharestatus.h"

#include "serial/share.h"

#include <cwchar>
#include <string>

namespace
{
/* The driver's name of COMn's record in this logon session. */
std::wstring RecordName(DWORD com)
{
    DWORD session = 0;
    bool local = ProcessIdToSessionId(GetCurrentProcessId(), &session) != 0;
    return std::wstring(local ? L"Local\\" : L"") + L"tolvex." + std::to_wstring(session) + L".com" +
           std::to_wstring(com) + L".map";
}

ShareProgram &ProgramOf(ShareStatus &s, DWORD pid)
{
    for (ShareProgram &p : s.programs)
        if (p.pid == pid)
            return p;
    s.programs.push_back(ShareProgram());
    s.programs.back().pid = pid;
    return s.programs.back();
}
} // namespace

std::wstring ProcessName(DWORD pid)
{
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    bool ok = h != nullptr && QueryFullProcessImageNameW(h, 0, path, &size);
    if (h != nullptr)
        CloseHandle(h);
    if (!ok)
        return std::wstring();
    const wchar_t *slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

ShareStatus ReadShareStatus(DWORD com)
{
    ShareStatus s;
    HANDLE map = OpenFileMappingW(FILE_MAP_READ, FALSE, RecordName(com).c_str());
    const SHAREDPORT *share =
        map ? static_cast<const SHAREDPORT *>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, sizeof(SHAREDPORT))) : nullptr;
    if (share && share->dwMagic == kShareMagic && share->dwSize == sizeof(SHAREDPORT)) {
        s.found = true;
        s.running = share->dwOwnerState.load() == kOwnerRunning;
        s.ownerPid = s.running ? share->dwOwnerPid.load() : 0;
        s.ownerName = s.running ? ProcessName(s.ownerPid) : std::wstring();
        s.lineErrors = share->dwLineErrors.load();
        for (UINT k = 0; k < kShareSlots; k++) {
            if (DWORD pid = share->aOut[k].dwPid.load()) {
                ShareProgram &p = ProgramOf(s, pid);
                p.output = true;
                p.outBytes += share->aOut[k].dwBytes.load();
            }
            if (DWORD pid = share->aIn[k].dwPid.load()) {
                ShareProgram &p = ProgramOf(s, pid);
                p.input = true;
                p.inBytes += share->aIn[k].dwBytes.load();
            }
        }
        for (ShareProgram &p : s.programs)
            p.name = ProcessName(p.pid);
    }
    if (share)
        UnmapViewOfFile(share);
    if (map)
        CloseHandle(map);
    return s;
}
