/*
 * Host simulation of the registry under HKEY_LOCAL_MACHINE: a tree of keys
 * with typed values and class names, case-insensitive names, sub-keys
 * enumerated in the registry's own order, and accounting of open handles.
 */
#include "sim_registry.h"
#include "sim.h"
#include "win_api.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace
{

struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;
    std::u16string path; /* from HKEY_LOCAL_MACHINE, for messages */
    std::u16string className;
    std::vector<std::unique_ptr<Key>> children; /* kept in enumeration order */
    std::vector<Value> values;
};

constexpr LONG kErrorBadPathname = 161;    /* ERROR_BAD_PATHNAME: empty path component */
constexpr uintptr_t kFirstHandle = 0x2000; /* handle values handed out, upwards */
constexpr uintptr_t kHandleStep = 4;

std::recursive_mutex lock;
std::unique_ptr<Key> root;
std::map<uintptr_t, Key *> handles;
uintptr_t nextHandle = kFirstHandle;
std::vector<std::string> calls;

struct Failure {
    LONG error;
    int times;
    int after;
};
std::map<sim::RegCall, Failure> failures;

/* The registry compares names with their letters folded to upper case. */
WCHAR Upper(WCHAR c) { return (c >= u'a' && c <= u'z') ? (WCHAR)(c - u'a' + u'A') : c; }

std::u16string Folded(const std::u16string &s)
{
    std::u16string out = s;
    for (WCHAR &c : out)
        c = Upper(c);
    return out;
}

bool SameName(const std::u16string &a, const std::u16string &b) { return Folded(a) == Folded(b); }

Key *Root()
{
    if (!root) {
        root = std::make_unique<Key>();
        root->path = u"";
    }
    return root.get();
}

Key *Child(Key *k, const std::u16string &name)
{
    for (auto &c : k->children)
        if (SameName(c->name, name))
            return c.get();
    return nullptr;
}

Key *AddChild(Key *k, const std::u16string &name)
{
    auto c = std::make_unique<Key>();
    c->name = name;
    c->path = k->path.empty() ? name : k->path + u"\\" + name;
    Key *raw = c.get();
    auto pos =
        std::upper_bound(k->children.begin(), k->children.end(), Folded(name),
                         [](const std::u16string &n, const std::unique_ptr<Key> &e) { return n < Folded(e->name); });
    k->children.insert(pos, std::move(c));
    return raw;
}

std::vector<std::u16string> Split(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    std::u16string cur;
    for (WCHAR c : path) {
        if (c == u'\\') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

/* Walks (and if asked creates) the keys of a relative path. An empty path
   names the start key; a leading '\' is invalid, repeated ones count as one. */
LONG Walk(Key *start, const std::u16string &path, bool create, Key **out)
{
    *out = start;
    if (!path.empty() && path[0] == u'\\')
        return kErrorBadPathname;
    for (const std::u16string &part : Split(path)) {
        if (part.empty())
            continue;
        Key *next = Child(*out, part);
        if (next == nullptr) {
            if (!create)
                return ERROR_FILE_NOT_FOUND;
            next = AddChild(*out, part);
        }
        *out = next;
    }
    return ERROR_SUCCESS;
}

Key *FromHandle(HKEY h)
{
    if (h == HKEY_LOCAL_MACHINE)
        return Root();
    auto it = handles.find(reinterpret_cast<uintptr_t>(h));
    return it == handles.end() ? nullptr : it->second;
}

HKEY NewHandle(Key *k)
{
    uintptr_t h = nextHandle;
    nextHandle += kHandleStep;
    handles[h] = k;
    return reinterpret_cast<HKEY>(h);
}

/* A failure scripted by the test for this call, or ERROR_SUCCESS. */
LONG Scripted(sim::RegCall call)
{
    auto it = failures.find(call);
    if (it == failures.end() || it->second.times == 0)
        return ERROR_SUCCESS;
    if (it->second.after > 0) {
        it->second.after--;
        return ERROR_SUCCESS;
    }
    it->second.times--;
    return it->second.error;
}

void Record(const char *what, Key *k, const WCHAR *tail)
{
    std::string line = what;
    line += ' ';
    line += k ? sim::Utf8(k->path) : std::string("(invalid)");
    if (tail != nullptr) {
        line += " : ";
        line += sim::Utf8(tail);
    }
    calls.push_back(line);
}

Value *FindValue(Key *k, const std::u16string &name)
{
    for (Value &v : k->values)
        if (SameName(v.name, name))
            return &v;
    return nullptr;
}

std::u16string Str(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

} // namespace

LONG RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = FromHandle(hKey);
    Record("RegCreateKeyW", k, lpSubKey);
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (LONG e = Scripted(sim::RegCall::CreateKey))
        return e;
    Key *found = nullptr;
    LONG status = Walk(k, Str(lpSubKey), true, &found);
    if (status != ERROR_SUCCESS)
        return status;
    *phkResult = NewHandle(found);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = FromHandle(hKey);
    Record("RegOpenKeyW", k, lpSubKey);
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (LONG e = Scripted(sim::RegCall::OpenKey))
        return e;
    /* No sub-key: the platform hands back the very handle it was given. */
    if (lpSubKey == nullptr || lpSubKey[0] == 0) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    Key *found = nullptr;
    LONG status = Walk(k, lpSubKey, false, &found);
    if (status != ERROR_SUCCESS)
        return status;
    *phkResult = NewHandle(found);
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = FromHandle(hKey);
    Record("RegEnumKeyExW", k, nullptr);
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr || (lpClass != nullptr && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (LONG e = Scripted(sim::RegCall::EnumKey))
        return e;
    if (dwIndex >= k->children.size())
        return ERROR_NO_MORE_ITEMS;
    const Key *c = k->children[dwIndex].get();
    if (c->name.size() + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, c->name.data(), c->name.size() * sizeof(WCHAR));
    lpName[c->name.size()] = 0;
    *lpcchName = (DWORD)c->name.size();
    if (lpClass != nullptr) {
        if (c->className.size() + 1 > *lpcchClass)
            return ERROR_MORE_DATA;
        std::memcpy(lpClass, c->className.data(), c->className.size() * sizeof(WCHAR));
        lpClass[c->className.size()] = 0;
        *lpcchClass = (DWORD)c->className.size();
    }
    if (lpftLastWriteTime != nullptr)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = FromHandle(hKey);
    Record("RegQueryInfoKeyW", k, nullptr);
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (LONG e = Scripted(sim::RegCall::QueryInfoKey))
        return e;

    /* As the platform does, a class name that does not fit fails the call
       with ERROR_INSUFFICIENT_BUFFER and leaves the buffer alone, yet gives
       its length and fills in every count. */
    LONG status = ERROR_SUCCESS;
    if (lpClass != nullptr) {
        if (k->className.size() + 1 > *lpcchClass) {
            status = sim::kErrorInsufficientBuffer;
        } else {
            std::memcpy(lpClass, k->className.data(), k->className.size() * sizeof(WCHAR));
            lpClass[k->className.size()] = 0;
        }
        *lpcchClass = (DWORD)k->className.size();
    }
    DWORD maxSub = 0, maxClass = 0, maxValueName = 0, maxValue = 0;
    for (auto &c : k->children) {
        maxSub = std::max(maxSub, (DWORD)c->name.size());
        maxClass = std::max(maxClass, (DWORD)c->className.size());
    }
    for (const Value &v : k->values) {
        maxValueName = std::max(maxValueName, (DWORD)v.name.size());
        maxValue = std::max(maxValue, (DWORD)v.data.size());
    }
    if (lpcSubKeys)
        *lpcSubKeys = (DWORD)k->children.size();
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = maxSub;
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = maxClass;
    if (lpcValues)
        *lpcValues = (DWORD)k->values.size();
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = maxValueName;
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = maxValue;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime)
        *lpftLastWriteTime = FILETIME{0, 0};
    return status;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = FromHandle(hKey);
    Record("RegQueryValueExW", k, lpValueName);
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (LONG e = Scripted(sim::RegCall::QueryValue))
        return e;
    const Value *v = FindValue(k, Str(lpValueName));
    if (v == nullptr)
        return ERROR_FILE_NOT_FOUND;
    LONG status = ERROR_SUCCESS;
    if (lpData != nullptr) {
        /* Data that does not fit is not copied at all. */
        if (v->data.size() > *lpcbData)
            status = ERROR_MORE_DATA;
        else if (!v->data.empty())
            std::memcpy(lpData, v->data.data(), v->data.size());
    }
    if (lpType)
        *lpType = v->type;
    if (lpcbData)
        *lpcbData = (DWORD)v->data.size();
    return status;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, DWORD cbData)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = FromHandle(hKey);
    Record("RegSetValueExW", k, lpValueName);
    if (Reserved != 0 || (lpData == nullptr && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    if (k == nullptr)
        return ERROR_INVALID_HANDLE;
    if (LONG e = Scripted(sim::RegCall::SetValue))
        return e;
    std::vector<BYTE> data(lpData, lpData + cbData);
    if (Value *v = FindValue(k, Str(lpValueName))) {
        v->type = dwType;
        v->data = data;
    } else {
        k->values.push_back({Str(lpValueName), dwType, data});
    }
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    auto it = handles.find(reinterpret_cast<uintptr_t>(hKey));
    calls.push_back(std::string("RegCloseKey ") + (it == handles.end() ? "(invalid)" : sim::Utf8(it->second->path)));
    if (it == handles.end())
        return ERROR_INVALID_HANDLE;
    handles.erase(it);
    return ERROR_SUCCESS;
}

namespace sim
{

void SeedKey(const std::u16string &path, const std::u16string &className)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = nullptr;
    Walk(Root(), path, true, &k);
    if (k != nullptr)
        k->className = className;
}

void SeedValue(const std::u16string &path, const std::u16string &name, DWORD type, const std::vector<BYTE> &data)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = nullptr;
    if (Walk(Root(), path, true, &k) != ERROR_SUCCESS)
        return;
    if (Value *v = FindValue(k, name)) {
        v->type = type;
        v->data = data;
    } else {
        k->values.push_back({name, type, data});
    }
}

void SeedDword(const std::u16string &path, const std::u16string &name, DWORD value)
{
    SeedValue(path, name, REG_DWORD, {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)});
}

bool KeyExists(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = nullptr;
    return Walk(Root(), path, false, &k) == ERROR_SUCCESS;
}

std::vector<std::string> SubKeys(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    std::vector<std::string> names;
    Key *k = nullptr;
    if (Walk(Root(), path, false, &k) == ERROR_SUCCESS)
        for (auto &c : k->children)
            names.push_back(Utf8(c->name));
    return names;
}

RegValue ValueOf(const std::u16string &path, const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    Key *k = nullptr;
    if (Walk(Root(), path, false, &k) != ERROR_SUCCESS)
        return {false, REG_NONE, {}};
    const Value *v = FindValue(k, name);
    if (v == nullptr)
        return {false, REG_NONE, {}};
    return {true, v->type, v->data};
}

bool DwordOf(const std::u16string &path, const std::u16string &name, DWORD *value)
{
    RegValue v = ValueOf(path, name);
    if (!v.present || v.type != REG_DWORD || v.data.size() != sizeof(DWORD))
        return false;
    *value = (DWORD)v.data[0] | (DWORD)v.data[1] << 8 | (DWORD)v.data[2] << 16 | (DWORD)v.data[3] << 24;
    return true;
}

void FailRegCall(RegCall call, LONG error, int times, int after)
{
    std::lock_guard<std::recursive_mutex> g(lock);
    failures[call] = {error, times, after};
}

int OpenKeyCount()
{
    std::lock_guard<std::recursive_mutex> g(lock);
    return (int)handles.size();
}

std::vector<std::string> OpenKeyPaths()
{
    std::lock_guard<std::recursive_mutex> g(lock);
    std::vector<std::string> paths;
    for (auto &h : handles)
        paths.push_back(Utf8(h.second->path));
    return paths;
}

std::vector<std::string> RegCalls()
{
    std::lock_guard<std::recursive_mutex> g(lock);
    return calls;
}

static void ResetRegistry()
{
    std::lock_guard<std::recursive_mutex> g(lock);
    root.reset();
    handles.clear();
    nextHandle = kFirstHandle;
    calls.clear();
    failures.clear();
}
static ResetHook reset(&ResetRegistry);

} // namespace sim
