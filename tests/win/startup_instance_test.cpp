// The single-instance lock with the system's objects. This platform has no
// private namespaces (the boundary cannot be made), so the named mutex
// decides and nothing past the boundary is called; what the boundary asks of
// a system that has them is shown with recorded calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "setup/startup.h"

namespace {

const wchar_t kNamedMutex[] = L"Global\\VornquillAI-OnlineSetup";

// This platform cannot make a boundary descriptor: every verdict below is
// the one it gives.
TEST(StartupInstance, ThisPlatformHasNoPrivateNamespaces) {
    EXPECT_EQ(CreateBoundaryDescriptorW(L"VornquillAI-OnlineSetup", 0), nullptr);
}

TEST(StartupInstance, ASecondTakeWhileTheFirstHoldsIsAnotherSetup) {
    InstanceLock first;
    ASSERT_EQ(startup_instance_take(&first), INSTANCE_RUN);
    EXPECT_NE(first.named, nullptr);
    EXPECT_EQ(first.space, nullptr);
    EXPECT_EQ(first.guarded, nullptr);

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

// Without private namespaces the named mutex decides as it did before the
// guarded one existed: held by any program, it means another setup. (Where
// namespaces exist, the verdict table shows the mutex ignored.)
TEST(StartupInstance, ANamedMutexHeldByAnyProgramDecidesWithoutNamespaces) {
    HANDLE foreign = CreateMutexW(nullptr, FALSE, kNamedMutex);
    ASSERT_NE(foreign, nullptr);
    ASSERT_NE(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);

    InstanceLock lock;
    EXPECT_EQ(startup_instance_take(&lock), INSTANCE_ALREADY_RUNNING);
    EXPECT_NE(lock.named, nullptr);
    EXPECT_EQ(lock.space, nullptr);
    EXPECT_EQ(lock.guarded, nullptr);
    startup_instance_release(&lock);
    CloseHandle(foreign);
}

// ---------------------------------------------------------------- the boundary, recorded
struct BoundaryRecord {
    std::wstring calls;   // one letter per call: c(reate) s(id) l(abel) d(estroy)
    std::wstring name;
    ULONG flags;
    bool administrators;  // the SID given was BUILTIN\Administrators
    bool high_label;      // the label given was the High mandatory level
    HANDLE destroyed;
    int fail_at;          // the call that fails: 'c', 's', 'l' or 0
};
BoundaryRecord record;
BYTE fake_boundary_object;

HANDLE WINAPI fake_create(LPCWSTR name, ULONG flags) {
    record.calls += L'c';
    record.name = name;
    record.flags = flags;
    return record.fail_at == 'c' ? nullptr : (HANDLE)&fake_boundary_object;
}
BOOL WINAPI fake_add_sid(HANDLE *boundary, PSID sid) {
    record.calls += L's';
    record.administrators = *boundary == (HANDLE)&fake_boundary_object &&
                            IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
    return record.fail_at != 's';
}
BOOL WINAPI fake_add_label(HANDLE *boundary, PSID label) {
    record.calls += L'l';
    // S-1-16-12288: the High mandatory level, that of an elevated process.
    record.high_label = *boundary == (HANDLE)&fake_boundary_object && IsWellKnownSid(label, WinHighLabelSid);
    return record.fail_at != 'l';
}
VOID WINAPI fake_destroy(HANDLE boundary) {
    record.calls += L'd';
    record.destroyed = boundary;
}
const InstanceBoundaryCalls fake_calls = {fake_create, fake_add_sid, fake_add_label, fake_destroy};

TEST(StartupInstance, TheBoundaryRequiresTheAdministratorsAtHighIntegrity) {
    const struct {
        int fail_at;
        const wchar_t *calls;
        bool made;
    } cases[] = {
        {0, L"csl", true},      // made: the caller deletes it
        {'c', L"c", false},     // no private namespaces: nothing further is called
        {'s', L"csd", false},   // a boundary made on the way is deleted
        {'l', L"csld", false},
    };
    for (const auto &c : cases) {
        record = BoundaryRecord();
        record.fail_at = c.fail_at;
        HANDLE boundary = startup_instance_boundary(&fake_calls);
        EXPECT_EQ(boundary != nullptr, c.made) << c.fail_at;
        EXPECT_EQ(record.calls, c.calls) << c.fail_at;
        EXPECT_EQ(record.name, L"VornquillAI-OnlineSetup");
        EXPECT_EQ(record.flags, 0u);
        if (c.fail_at != 'c') {
            EXPECT_TRUE(record.administrators) << c.fail_at;
        }
        if (c.fail_at == 0 || c.fail_at == 'l') {
            EXPECT_TRUE(record.high_label) << c.fail_at;
        }
        if (!c.made && c.fail_at != 'c') {
            EXPECT_EQ(record.destroyed, (HANDLE)&fake_boundary_object);
        }
    }
}

}  // namespace
