// A checking Control Flow Guard dispatch for test executables. Wine never
// checks indirect call targets; this dispatch does what an enforcing Windows
// does: it looks every target up in the guard function table of the image
// that holds it (found through that image's load configuration) and ends the
// process on a miss, with GUARD_CHECK_EXIT_CODE and one line on standard error.
// Linked into test executables only, in place of src/setup/guard_default.cpp.
#pragma once
#include <stdint.h>

// The exit code of a process whose indirect call hit an invalid target: the
// low byte stays distinct from the setup's exit codes 0-7 when Wine hands it
// to the Unix side.
enum { GUARD_CHECK_EXIT_CODE = 0xCF };

// One image's guard function table: ascending RVAs, each followed by
// `stride` - 4 bytes of flags.
struct GuardTable {
    const uint8_t *entries;
    uint64_t count;
    uint32_t stride;
    uint32_t guard_flags;
};

// Finds the guard function table through the load configuration of the image
// mapped at `base`. 0 and the table; -1 when the image has no load
// configuration or no function table (an unguarded image).
int guard_table_of_image(const uint8_t *base, GuardTable *table);

// 1 when `rva` is the start of a function in the table (and not suppressed),
// 0 otherwise.
int guard_table_contains(const GuardTable *table, uint32_t rva);

// 1 when an enforcing Windows would let an indirect call reach `target`:
// the target is a table entry of the guarded image that holds it, or lies in
// an image without guard data. 0 for anything else (a table miss, memory
// outside every image).
int guard_target_valid(uintptr_t target);
