// The image's load configuration. DependentLoadFlags makes every library that
// the loader brings in later, the delay-loaded ones included, come from the
// system folder only. The linker keeps the symbol; a post-link step points
// the load configuration data directory at it.
#include <stddef.h>
#include <stdint.h>

// The 64-bit load configuration up to and including GuardFlags, the layout
// from which the loader of Windows 10 reads DependentLoadFlags.
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
};

static_assert(offsetof(LoadConfig64, dependent_load_flags) == 0x4E, "load configuration layout");
static_assert(offsetof(LoadConfig64, guard_flags) == 0x90, "load configuration layout");

enum { LOAD_CONFIG_SIZE = 0x94, LOAD_LIBRARY_SEARCH_SYSTEM32_FLAG = 0x800 };

extern "C" {
extern const LoadConfig64 _load_config_used;
__attribute__((used)) const LoadConfig64 _load_config_used = {
    LOAD_CONFIG_SIZE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32_FLAG,
    0, 0, 0, 0, 0, 0, 0, 0, 0,
};
}

// The delay-load descriptors that the import libraries bring sit one after
// another in the ".text$2" input sections; this zero descriptor, sorted right
// after them, ends the array so that the delay import data directory can
// point at it (the post-link step checks that the array is contiguous).
extern "C" {
extern const uint8_t vq_delay_import_end[32];
__attribute__((section(".text$2z"), used, aligned(8))) const uint8_t vq_delay_import_end[32] = {0};
}
