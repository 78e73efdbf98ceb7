// The single-instance lock with the system's objects. Where the system has
// no private namespaces (the boundary cannot be made) the named mutex
// decides, and nothing past the boundary is called; where it has them and
// the process is an administrator, the guarded mutex decides and a named
// mutex that some other program made is ignored.
#include <gtest/gtest.h>

#include <windows.h>

#include "setup/startup.h"

namespace {

const wchar_t kNamedMutex[] = L"Global\\VornquillAI-OnlineSetup";

TEST(StartupInstance, ASecondTakeWhileTheFirstHoldsIsAnotherSetup) {
    InstanceLock first;
    ASSERT_EQ(startup_instance_take(&first), INSTANCE_RUN);
    EXPECT_NE(first.named, nullptr);
    // Without a namespace there is no guarded mutex either.
    if (first.space == nullptr) EXPECT_EQ(first.guarded, nullptr);

    InstanceLock second;
    EXPECT_EQ(startup_instance_take(&second), INSTANCE_ALREADY_RUNNING);
    startup_instance_release(&second);
    EXPECT_EQ(second.named, nullptr);
    EXPECT_EQ(second.space, nullptr);
    EXPECT_EQ(second.guarded, nullptr);
    startup_instance_release(&first);

    // Released, the lock is free again.
    InstanceLock again;
    EXPECT_EQ(startup_instance_take(&again), INSTANCE_RUN);
    startup_instance_release(&again);
}

TEST(StartupInstance, ANamedMutexAloneDecidesOnlyWithoutTheGuardedOne) {
    HANDLE foreign = CreateMutexW(nullptr, FALSE, kNamedMutex);
    ASSERT_NE(foreign, nullptr);
    ASSERT_NE(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);

    InstanceLock lock;
    InstanceVerdict verdict = startup_instance_take(&lock);
    EXPECT_NE(lock.named, nullptr);
    if (lock.guarded != nullptr) {
        // Private namespaces exist and this process may use them.
        EXPECT_EQ(verdict, INSTANCE_RUN_FOREIGN_IGNORED);
    } else {
        // No private namespaces (so under Wine): as before the guarded
        // mutex existed, the named one says another setup runs.
        EXPECT_EQ(verdict, INSTANCE_ALREADY_RUNNING);
    }
    startup_instance_release(&lock);
    CloseHandle(foreign);
}

}  // namespace
