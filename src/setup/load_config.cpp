// The image's load configuration. DependentLoadFlags makes every library that
// the loader brings in later, the delay-loaded ones included, come from the
// system folder only. The Control Flow Guard fields hand the loader the
// program's check and dispatch pointers and the tables that lld builds for
// --guard-cf; lld points the load configuration data directory at this
// structure itself.
//
// The structure is written in assembly: GuardFlags takes the low 32 bits of
// lld's absolute symbol __guard_flags, a truncation that a C++ initialiser
// of an address constant cannot express. The Size field must be the real
// size of what follows (LoadConfig64 in load_config.h), or lld refuses it.
#include "setup/load_config.h"

#define LOAD_CONFIG_TEXT_(x) #x
#define LOAD_CONFIG_TEXT(x) LOAD_CONFIG_TEXT_(x)
#define LOAD_CONFIG_SIZE_VALUE 0xC0
#define LOAD_CONFIG_SEARCH_SYSTEM32_VALUE 0x800
static_assert(LOAD_CONFIG_SIZE_VALUE == LOAD_CONFIG_SIZE, "Size field of the load configuration");
static_assert(LOAD_CONFIG_SEARCH_SYSTEM32_VALUE == LOAD_CONFIG_SEARCH_SYSTEM32, "DependentLoadFlags");

__asm__(
    "    .section .rdata,\"dr\"\n"
    "    .globl _load_config_used\n"
    "    .p2align 3\n"
    "_load_config_used:\n"
    "    .long " LOAD_CONFIG_TEXT(LOAD_CONFIG_SIZE_VALUE) "\n"  // Size
    "    .long 0\n"                    // TimeDateStamp
    "    .short 0, 0\n"                // MajorVersion, MinorVersion
    "    .long 0, 0, 0\n"              // GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout
    "    .quad 0, 0, 0, 0, 0, 0\n"     // DeCommit thresholds, LockPrefixTable, MaximumAllocationSize,
                                       // VirtualMemoryThreshold, ProcessAffinityMask
    "    .long 0\n"                    // ProcessHeapFlags
    "    .short 0\n"                   // CSDVersion
    "    .short " LOAD_CONFIG_TEXT(LOAD_CONFIG_SEARCH_SYSTEM32_VALUE) "\n"  // DependentLoadFlags
    "    .quad 0, 0, 0, 0\n"           // EditList, SecurityCookie, SEHandlerTable, SEHandlerCount
    "    .quad __guard_check_icall_fptr\n"
    "    .quad __guard_dispatch_icall_fptr\n"
    "    .quad __guard_fids_table\n"
    "    .quad __guard_fids_count\n"
    "    .long __guard_flags\n"
    "    .short 0, 0\n"                // CodeIntegrity Flags, Catalog
    "    .long 0, 0\n"                 // CodeIntegrity CatalogOffset, Reserved
    "    .quad __guard_iat_table\n"
    "    .quad __guard_iat_count\n"
    "    .quad __guard_longjmp_table\n"
    "    .quad __guard_longjmp_count\n"
    "    .text\n");
