/* Service helpers: the empty manager of this driver, and a scripted manager
   with no entry, a running kernel driver, a user-mode service, and a busy
   database lock. */
#include "regsvc_test.h"

#include <vector>

namespace
{
using namespace regsvc_test;

using Log = std::vector<std::string>;

class Services : public Registry
{
  protected:
    void UseManager() { access.hServiceManager = sim::OpenManager(); }
    void AddDriver(DWORD type, DWORD state) { sim::AddService(kDriver, type, state, kBootStart); }

    static constexpr DWORD kBootStart = 0; /* SERVICE_BOOT_START */
};

using EmptyManager = Services;
using ScriptedManager = Services;

TEST_F(EmptyManager, EveryRoutineFailsAndNothingChanges)
{
    AddDriver(SERVICE_KERNEL_DRIVER, SERVICE_RUNNING); /* an entry the empty handle cannot reach */

    EXPECT_EQ(nullptr, DrvOpenService(&access));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(0u, DrvIsDriverLoaded(&access));
    EXPECT_FALSE(DrvUnloadKernelDriver(&access));
    EXPECT_FALSE(DrvDeleteServicesNode(&access));
    EXPECT_EQ((DWORD)DRVCNF_CANCEL, DrvRemoveDriver(&access));

    EXPECT_EQ(Log{}, sim::ServiceLog());
    EXPECT_EQ(0, sim::LockRequests());
    sim::ServiceState s = sim::ServiceOf(kDriver);
    EXPECT_TRUE(s.present && !s.markedForDelete);
    EXPECT_EQ((DWORD)SERVICE_RUNNING, s.state);
    EXPECT_EQ(kBootStart, s.startType);
}

TEST_F(ScriptedManager, NoEntryCountsAsNothingToUnloadOrDelete)
{
    UseManager();
    EXPECT_EQ(0u, DrvIsDriverLoaded(&access));
    EXPECT_TRUE(DrvUnloadKernelDriver(&access));
    EXPECT_TRUE(DrvDeleteServicesNode(&access));
    EXPECT_EQ((DWORD)DRVCNF_OK, DrvRemoveDriver(&access));
    EXPECT_EQ(Log{}, sim::ServiceLog());
}

TEST_F(ScriptedManager, OnlyARunningOrStoppingKernelDriverIsLoaded)
{
    struct Row {
        DWORD type, state, loaded;
    } rows[] = {
        {SERVICE_KERNEL_DRIVER, SERVICE_RUNNING, 1},      {SERVICE_KERNEL_DRIVER, SERVICE_STOP_PENDING, 1},
        {SERVICE_KERNEL_DRIVER, SERVICE_STOPPED, 0},      {SERVICE_KERNEL_DRIVER, SERVICE_START_PENDING, 0},
        {SERVICE_FILE_SYSTEM_DRIVER, SERVICE_RUNNING, 0}, {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0},
    };
    for (const Row &r : rows) {
        sim::ResetAll();
        UseManager();
        AddDriver(r.type, r.state);
        EXPECT_EQ(r.loaded, DrvIsDriverLoaded(&access)) << "type " << r.type << ", state " << r.state;
    }
}

TEST_F(ScriptedManager, RunningKernelDriverIsSetToDemandStartStoppedAndDeleted)
{
    UseManager();
    AddDriver(SERVICE_KERNEL_DRIVER, SERVICE_RUNNING);

    EXPECT_EQ((DWORD)DRVCNF_RESTART, DrvRemoveDriver(&access));
    EXPECT_EQ((Log{"ChangeServiceConfigW type=- start=3 error=-", "ControlService stop", "LockServiceDatabase",
                   "DeleteService", "UnlockServiceDatabase"}),
              sim::ServiceLog());
    EXPECT_FALSE(sim::ServiceOf(kDriver).present) << "deleted, and its last handle closed";
}

TEST_F(ScriptedManager, StoppedKernelDriverIsSetToDemandStartWithoutAStop)
{
    UseManager();
    AddDriver(SERVICE_KERNEL_DRIVER, SERVICE_STOPPED);

    EXPECT_TRUE(DrvUnloadKernelDriver(&access));
    EXPECT_EQ((Log{"ChangeServiceConfigW type=- start=3 error=-"}), sim::ServiceLog());
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, sim::ServiceOf(kDriver).startType);
}

TEST_F(ScriptedManager, RunningUserModeServiceIsOnlyDeleted)
{
    UseManager();
    AddDriver(SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING);

    EXPECT_EQ((DWORD)DRVCNF_OK, DrvRemoveDriver(&access));
    EXPECT_EQ((Log{"LockServiceDatabase", "DeleteService", "UnlockServiceDatabase"}), sim::ServiceLog());
}

TEST_F(ScriptedManager, BusyDatabaseLockIsAskedForAgainEvery100Ms)
{
    UseManager();
    AddDriver(SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED);
    sim::SetLockBusy(3);
    DWORD start = timeGetTime();

    EXPECT_TRUE(DrvDeleteServicesNode(&access));
    EXPECT_EQ(4, sim::LockRequests());
    EXPECT_EQ(300u, timeGetTime() - start) << "milliseconds slept";
    EXPECT_EQ((Log{"LockServiceDatabase busy", "LockServiceDatabase busy", "LockServiceDatabase busy",
                   "LockServiceDatabase", "DeleteService", "UnlockServiceDatabase"}),
              sim::ServiceLog());
}

TEST_F(ScriptedManager, LockNeverGrantedGivesUpAfter100Requests)
{
    UseManager();
    AddDriver(SERVICE_KERNEL_DRIVER, SERVICE_RUNNING);
    sim::SetLockBusy(sim::kLockedForever);
    DWORD start = timeGetTime();

    EXPECT_FALSE(DrvDeleteServicesNode(&access));
    EXPECT_EQ(100, sim::LockRequests());
    EXPECT_EQ(9900u, timeGetTime() - start) << "milliseconds slept between the requests";
    EXPECT_FALSE(sim::ServiceOf(kDriver).markedForDelete);

    EXPECT_EQ((DWORD)DRVCNF_CANCEL, DrvRemoveDriver(&access)) << "not deleted, whatever was stopped";
    EXPECT_TRUE(sim::ServiceOf(kDriver).present);
}

/* Every routine, in every state above, gives back what it opened: the
   fixture's TearDown checks after each state, this test between routines. */
TEST_F(ScriptedManager, NoRoutineLeavesAKeyOrServiceHandleOpen)
{
    struct State {
        const char *what;
        bool manager;
        DWORD type, state;
        bool withKeys;
    } states[] = {
        {"empty manager, empty registry", false, 0, 0, false},
        {"no entry, device keys", true, 0, 0, true},
        {"running kernel driver", true, SERVICE_KERNEL_DRIVER, SERVICE_RUNNING, true},
        {"user-mode service", true, SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, false},
    };
    for (const State &st : states) {
        sim::ResetAll();
        access.hServiceManager = nullptr;
        if (st.manager)
            UseManager();
        if (st.type != 0)
            AddDriver(st.type, st.state);
        if (st.withKeys) {
            sim::SeedDword(Under(u"Device0"), u"COMID", 2);
            sim::SeedKey(Under(u"Device1"));
        }
        auto check = [&](const char *routine) {
            EXPECT_EQ(0, sim::OpenKeyCount())
                << st.what << ": " << routine << " left " << ::testing::PrintToString(sim::OpenKeyPaths());
            EXPECT_EQ(0, sim::OpenServiceCount()) << st.what << ": " << routine;
            EXPECT_EQ(0, sim::HeldLockCount()) << st.what << ": " << routine;
        };
        DWORD word = 0, count = 0;
        auto closeReturned = [&](HKEY h, const char *routine) {
            EXPECT_EQ(h ? 1 : 0, sim::OpenKeyCount()) << st.what << ": " << routine << " holds only what it returns";
            if (h)
                RegCloseKey(h);
        };
        closeReturned(DrvOpenRegKey(kDriver, nullptr), "DrvOpenRegKey");
        closeReturned(DrvOpenDeviceKey(kDriver, 0), "DrvOpenDeviceKey");
        closeReturned(DrvCreateDeviceKey(kDriver), "DrvCreateDeviceKey");
        check("key routines");
        DrvNumberOfDevices(&access, &count);
        check("DrvNumberOfDevices");
        DrvSetDeviceIdParameter(&access, 0, u"COMID", 1);
        DrvSetDeviceIdParameter(&access, 1, u"COMID", 1);
        check("DrvSetDeviceIdParameter");
        DrvQueryDeviceIdParameter(&access, 0, u"COMID", &word);
        DrvQueryDeviceIdParameter(&access, 5, u"COMID", &word);
        check("DrvQueryDeviceIdParameter");
        DrvIsDriverLoaded(&access);
        check("DrvIsDriverLoaded");
        SC_HANDLE h = DrvOpenService(&access);
        EXPECT_EQ(st.type != 0 ? 1 : 0, sim::OpenServiceCount()) << st.what;
        if (h)
            DrvCloseService(&access, h);
        check("DrvOpenService and DrvCloseService");
        DrvUnloadKernelDriver(&access);
        check("DrvUnloadKernelDriver");
        DrvRemoveDriver(&access);
        check("DrvRemoveDriver");
        DrvDeleteServicesNode(&access);
        check("DrvDeleteServicesNode");
    }
}

} // namespace
