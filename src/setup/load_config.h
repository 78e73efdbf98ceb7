// The 64-bit load configuration of the image, field by field up to the
// long-jump table: the layout the loader of Windows 10 reads DependentLoadFlags
// and the Control Flow Guard data from.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct LoadConfig64 {
    uint32_t size;
    uint32_t time_date_stamp;
    uint16_t major_version;
    uint16_t minor_version;
    uint32_t global_flags_clear;
    uint32_t global_flags_set;
    uint32_t critical_section_default_timeout;
    uint64_t decommit_free_block_threshold;
    uint64_t decommit_total_free_threshold;
    uint64_t lock_prefix_table;
    uint64_t maximum_allocation_size;
    uint64_t virtual_memory_threshold;
    uint64_t process_affinity_mask;
    uint32_t process_heap_flags;
    uint16_t csd_version;
    uint16_t dependent_load_flags;
    uint64_t edit_list;
    uint64_t security_cookie;
    uint64_t se_handler_table;
    uint64_t se_handler_count;
    uint64_t guard_cf_check_function_pointer;
    uint64_t guard_cf_dispatch_function_pointer;
    uint64_t guard_cf_function_table;
    uint64_t guard_cf_function_count;
    uint32_t guard_flags;
    uint16_t code_integrity_flags;
    uint16_t code_integrity_catalog;
    uint32_t code_integrity_catalog_offset;
    uint32_t code_integrity_reserved;
    uint64_t guard_address_taken_iat_entry_table;
    uint64_t guard_address_taken_iat_entry_count;
    uint64_t guard_long_jump_target_table;
    uint64_t guard_long_jump_target_count;
};

static_assert(offsetof(LoadConfig64, dependent_load_flags) == 0x4E, "load configuration layout");
static_assert(offsetof(LoadConfig64, guard_cf_check_function_pointer) == 0x70, "load configuration layout");
static_assert(offsetof(LoadConfig64, guard_flags) == 0x90, "load configuration layout");
static_assert(offsetof(LoadConfig64, guard_address_taken_iat_entry_table) == 0xA0, "load configuration layout");
static_assert(sizeof(LoadConfig64) == 0xC0, "load configuration layout");

enum {
    LOAD_CONFIG_SIZE = 0xC0,
    LOAD_CONFIG_SEARCH_SYSTEM32 = 0x800,
    // GuardFlags bits and the field that widens each function table entry.
    LOAD_CONFIG_GUARD_CF_INSTRUMENTED = 0x100,
    LOAD_CONFIG_GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400,
    LOAD_CONFIG_GUARD_ENTRY_EXTRA_SHIFT = 28,
};
