// Start-up and the final word of a run: the order of hardening, option check,
// single instance and run, and the rule for which message box ends it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "setup/options.h"

enum StartupBox {
    STARTUP_BOX_NONE = 0,         // no box
    STARTUP_BOX_ERROR = 1,        // MB_ICONERROR
    STARTUP_BOX_INFORMATION = 2   // MB_ICONINFORMATION
};

enum { STARTUP_USAGE_CAPACITY = 512 };

// The usage message for the first offending argument, into usage (cut to
// capacity - 1 units; start-up passes STARTUP_USAGE_CAPACITY). The argument
// appears as text16_escape_controls writes it. Returns format_wide's result.
int startup_usage_text(const wchar16 *offending, wchar16 *usage, size_t capacity);

// Quiet run for the early boxes: /SUPPRESSMSGBOXES with /SILENT or /VERYSILENT.
int startup_quiet(const SetupOptions *options);
// The final box for the recorded message: none when there is no text; an
// error shows unless silent with /SUPPRESSMSGBOXES; information shows only in
// a windowed run.
StartupBox startup_final_box(const SetupOptions *options, int has_text, int is_error);

// Single instance. Two objects are asked for: the machine-wide named mutex
// "Global\VornquillAI-OnlineSetup" (kept for other programs that look for
// it), and a mutex in a private namespace whose boundary requires the
// Administrators group, which no unprivileged user can create or open. The
// guarded mutex decides; the named one decides only where the guarded one
// cannot be made at all, as before it existed.
enum InstanceObject {
    INSTANCE_OBJECT_CREATED = 0,     // made by this process
    INSTANCE_OBJECT_EXISTS = 1,      // already there
    INSTANCE_OBJECT_DENIED = 2,      // there, but not ours to open (access denied)
    INSTANCE_OBJECT_FAILED = 3,      // could not be made or opened
    INSTANCE_OBJECT_UNAVAILABLE = 4  // the system has no way to make it (no private namespaces)
};

enum InstanceVerdict {
    INSTANCE_RUN = 0,                  // no other setup runs: go on
    INSTANCE_ALREADY_RUNNING = 1,      // another setup runs: exit code 5
    INSTANCE_RUN_FOREIGN_IGNORED = 2,  // go on; a named mutex no setup holds was ignored
    INSTANCE_RUN_UNPROTECTED = 3       // go on without single-instance protection
};

// The decision from what the named and the guarded mutex gave.
InstanceVerdict startup_instance_verdict(InstanceObject named, InstanceObject guarded);

// The line the setup log gets when a foreign named mutex was ignored.
#define STARTUP_FOREIGN_MUTEX_LINE \
    "single instance: the mutex Global\\VornquillAI-OnlineSetup exists, but no other setup " \
    "holds the administrators' instance lock; the mutex was ignored"

#ifdef _WIN32
#include <windows.h>
// The whole start-up; returns the process exit code.
int startup_main(HINSTANCE instance);

// The objects of the single-instance lock; null where none is held.
struct InstanceLock {
    HANDLE named;    // "Global\VornquillAI-OnlineSetup"
    HANDLE space;    // the administrators' private namespace
    HANDLE guarded;  // the mutex inside it
};

// The system calls that make the private namespace's boundary (a test
// supplies its own to see what is asked of the system).
struct InstanceBoundaryCalls {
    HANDLE(WINAPI *create)(LPCWSTR name, ULONG flags);
    BOOL(WINAPI *add_sid)(HANDLE *boundary, PSID sid);
    BOOL(WINAPI *add_label)(HANDLE *boundary, PSID label);
    VOID(WINAPI *destroy)(HANDLE boundary);
};
// The boundary "VornquillAI-OnlineSetup" requiring the Administrators group
// and the High mandatory level; null when it cannot be made (then nothing
// past the failed call is asked, and a boundary made on the way is deleted).
// The caller deletes the boundary it gets.
HANDLE startup_instance_boundary(const InstanceBoundaryCalls *calls);

// Asks for both mutexes (initially owned) and returns the verdict; the
// handles stay in lock until startup_instance_release. When the private
// namespace's boundary cannot be made, nothing further of it is called.
InstanceVerdict startup_instance_take(InstanceLock *lock);
void startup_instance_release(InstanceLock *lock);
#endif
