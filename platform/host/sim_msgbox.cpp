/* Host simulation of MessageBoxW: records each box and returns as if OK was pressed. */
#include "sim.h"
#include "win_api.h"

#include <mutex>

namespace
{
std::mutex lock;
std::vector<sim::MessageBoxCall> boxes;
} // namespace

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    std::lock_guard<std::mutex> g(lock);
    boxes.push_back({hWnd, lpText ? lpText : u"", lpCaption ? lpCaption : u"", uType});
    return IDOK;
}

namespace sim
{
std::vector<MessageBoxCall> MessageBoxes()
{
    std::lock_guard<std::mutex> g(lock);
    return boxes;
}

static void ResetMessageBoxes()
{
    std::lock_guard<std::mutex> g(lock);
    boxes.clear();
}
static ResetHook reset(&ResetMessageBoxes);
} // namespace sim
