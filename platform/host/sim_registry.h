/*
 * Host build: the test control surface of the simulated registry
 * (sim_registry.cpp): seed keys and values under HKEY_LOCAL_MACHINE, read
 * them back, fail chosen calls, and count the key handles left open.
 */
#pragma once

#include "win_types.h"

#include <string>
#include <vector>

namespace sim
{

/* Paths are relative to HKEY_LOCAL_MACHINE, components separated by '\'. */
void SeedKey(const std::u16string &path, const std::u16string &className = u"");
void SeedValue(const std::u16string &path, const std::u16string &name, DWORD type, const std::vector<BYTE> &data);
void SeedDword(const std::u16string &path, const std::u16string &name, DWORD value);

bool KeyExists(const std::u16string &path);
/* Direct sub-keys in the order RegEnumKeyExW gives them. */
std::vector<std::string> SubKeys(const std::u16string &path);

struct RegValue {
    bool present;
    DWORD type;
    std::vector<BYTE> data;
};
RegValue ValueOf(const std::u16string &path, const std::u16string &name);
/* The value as a REG_DWORD word; false when absent or of another shape. */
bool DwordOf(const std::u16string &path, const std::u16string &name, DWORD *value);

/* RegQueryInfoKeyW's answer when the class name does not fit its buffer
   (ERROR_INSUFFICIENT_BUFFER), as the platform gives it for the wide call. */
constexpr LONG kErrorInsufficientBuffer = 122;

enum class RegCall { CreateKey, OpenKey, EnumKey, QueryInfoKey, QueryValue, SetValue };
/* After `after` more calls of that kind succeed, the next `times` fail with
   `error` and change nothing. */
void FailRegCall(RegCall call, LONG error, int times = 1, int after = 0);

/* Key handles handed out and not yet closed (HKEY_LOCAL_MACHINE not counted),
   and the paths they refer to, for messages. */
int OpenKeyCount();
std::vector<std::string> OpenKeyPaths();
/* Every registry call made since the reset, e.g. "RegCreateKeyW SYSTEM\...". */
std::vector<std::string> RegCalls();

} // namespace sim
