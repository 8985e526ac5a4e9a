/*
 * Host build: the test control surface of the simulated service control
 * manager (sim_services.cpp): a scriptable manager with service entries, a
 * database lock that can be busy, a log of changes, and handle accounting.
 */
#pragma once

#include "win_types.h"

#include <string>
#include <vector>

namespace sim
{

/* An open manager handle to put in the access record. The empty (zero)
   manager handle stays invalid, as it is on the platform. */
SC_HANDLE OpenManager();

/* A service entry of that name (compared case-insensitively). */
void AddService(const std::u16string &name, DWORD type, DWORD state, DWORD startType);

/* The next `times` LockServiceDatabase calls find the database locked by
   someone else; kLockedForever keeps it locked. */
constexpr int kLockedForever = -1;
void SetLockBusy(int times);
int LockRequests();

struct ServiceState {
    bool present; /* false once deleted and its last handle closed */
    DWORD type;
    DWORD state;
    DWORD startType;
    bool markedForDelete;
};
ServiceState ServiceOf(const std::u16string &name);

/* What was changed, stopped, locked and deleted, in order, e.g.
   "ChangeServiceConfigW type=- start=3 error=-", "ControlService stop",
   "LockServiceDatabase", "DeleteService", "UnlockServiceDatabase". */
std::vector<std::string> ServiceLog();

/* Service handles and database locks handed out and not yet given back
   (manager handles from OpenManager not counted). */
int OpenServiceCount();
int HeldLockCount();

} // namespace sim
