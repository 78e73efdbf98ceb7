// The single-instance lock on Windows: the named mutex that other programs
// know, and a mutex in a private namespace that only administrators can
// create or open, which decides.
#include "setup/startup.h"

#include <windows.h>
#include <sddl.h>

#include "common/text.h"

static const wchar16 named_mutex_name[] = T16("Global\\VornquillAI-OnlineSetup");
static const wchar16 boundary_name[] = T16("VornquillAI-OnlineSetup");
static const wchar16 namespace_alias[] = T16("VornquillAI");
static const wchar16 guarded_mutex_name[] = T16("VornquillAI\\OnlineSetup");
// Administrators and the system only, for the namespace and the mutex in it.
static const wchar16 guarded_sddl[] = T16("D:P(A;;GA;;;BA)(A;;GA;;;SY)");

static InstanceObject instance_object_of(HANDLE handle, DWORD error) {
    if (handle == nullptr) {
        return error == ERROR_ACCESS_DENIED ? INSTANCE_OBJECT_DENIED : INSTANCE_OBJECT_FAILED;
    }
    return error == ERROR_ALREADY_EXISTS ? INSTANCE_OBJECT_EXISTS : INSTANCE_OBJECT_CREATED;
}

static const InstanceBoundaryCalls system_boundary_calls = {
    CreateBoundaryDescriptorW,
    AddSIDToBoundaryDescriptor,
    AddIntegrityLabelToBoundaryDescriptor,
    DeleteBoundaryDescriptor,
};

HANDLE startup_instance_boundary(const InstanceBoundaryCalls *calls) {
    // Where private namespaces do not exist the boundary cannot be made;
    // then nothing further is called (some systems end the process on the
    // next call).
    HANDLE boundary = calls->create(boundary_name, 0);
    if (boundary == nullptr) return nullptr;
    // Only a member of the Administrators group, running at High integrity
    // (elevated), matches the boundary: an administrator's unelevated
    // programs run at Medium and cannot create the namespace first.
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD administrators_size = sizeof(administrators);
    BYTE high_label[SECURITY_MAX_SID_SIZE];
    DWORD high_label_size = sizeof(high_label);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administrators_size) ||
        !CreateWellKnownSid(WinHighLabelSid, nullptr, high_label, &high_label_size) ||
        !calls->add_sid(&boundary, administrators) || !calls->add_label(&boundary, high_label)) {
        calls->destroy(boundary);
        return nullptr;
    }
    return boundary;
}

static InstanceObject instance_take_guarded(InstanceLock *lock) {
    HANDLE boundary = startup_instance_boundary(&system_boundary_calls);
    if (boundary == nullptr) return INSTANCE_OBJECT_UNAVAILABLE;

    InstanceObject result = INSTANCE_OBJECT_FAILED;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes;
    wchar16 sddl[64];
    HANDLE space = nullptr;
    HANDLE mutex = nullptr;
    DWORD error = 0;

    text16_copy(sddl, 64, guarded_sddl);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        goto done;
    }
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;

    // The namespace exists while any setup holds it open: create it, or open
    // the one another setup made.
    space = CreatePrivateNamespaceW(&attributes, boundary, namespace_alias);
    if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        space = OpenPrivateNamespaceW(boundary, namespace_alias);
    }
    // A namespace that cannot be made or opened says nothing about another
    // setup (a caller without administrator rights gets here too).
    if (space == nullptr) goto done;
    lock->space = space;
    // Only administrators can make objects in the namespace: a mutex that is
    // there already, open to us or not, belongs to another elevated setup.
    mutex = CreateMutexW(&attributes, TRUE, guarded_mutex_name);
    error = GetLastError();
    result = instance_object_of(mutex, error);
    lock->guarded = mutex;

done:
    if (descriptor != nullptr) LocalFree(descriptor);
    DeleteBoundaryDescriptor(boundary);
    return result;
}

InstanceVerdict startup_instance_take(InstanceLock *lock) {
    lock->named = nullptr;
    lock->space = nullptr;
    lock->guarded = nullptr;
    HANDLE named = CreateMutexW(nullptr, TRUE, named_mutex_name);
    DWORD error = GetLastError();
    lock->named = named;
    InstanceObject named_object = instance_object_of(named, error);
    InstanceObject guarded_object = instance_take_guarded(lock);
    return startup_instance_verdict(named_object, guarded_object);
}

void startup_instance_release(InstanceLock *lock) {
    if (lock->guarded != nullptr) CloseHandle(lock->guarded);
    if (lock->space != nullptr) ClosePrivateNamespace(lock->space, 0);
    if (lock->named != nullptr) CloseHandle(lock->named);
    lock->guarded = nullptr;
    lock->space = nullptr;
    lock->named = nullptr;
}
