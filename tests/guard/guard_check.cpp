// The checking Control Flow Guard dispatch of the test executables (see
// guard_check.h).
#include "guard_check.h"

#include <windows.h>

#include "setup/load_config.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

enum {
    GUARD_ENTRY_FID_SUPPRESSED = 0x1,
    GUARD_DIRECTORY_LOAD_CONFIG = 10,
};

int guard_table_of_image(const uint8_t *base, GuardTable *table) {
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return -1;
    const IMAGE_NT_HEADERS64 *nt = (const IMAGE_NT_HEADERS64 *)(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt->OptionalHeader.NumberOfRvaAndSizes <= GUARD_DIRECTORY_LOAD_CONFIG) {
        return -1;
    }
    const IMAGE_DATA_DIRECTORY *directory =
        &nt->OptionalHeader.DataDirectory[GUARD_DIRECTORY_LOAD_CONFIG];
    if (directory->VirtualAddress == 0) return -1;
    const LoadConfig64 *config = (const LoadConfig64 *)(base + directory->VirtualAddress);
    if (config->size < offsetof(LoadConfig64, code_integrity_flags)) return -1;
    uint32_t flags = config->guard_flags;
    if ((flags & LOAD_CONFIG_GUARD_CF_INSTRUMENTED) == 0 ||
        (flags & LOAD_CONFIG_GUARD_CF_FUNCTION_TABLE_PRESENT) == 0 ||
        config->guard_cf_function_table == 0) {
        return -1;
    }
    // The table's address is a virtual address, relocated with the image.
    table->entries = (const uint8_t *)(uintptr_t)config->guard_cf_function_table;
    table->count = config->guard_cf_function_count;
    table->stride = 4 + (flags >> LOAD_CONFIG_GUARD_ENTRY_EXTRA_SHIFT);
    table->guard_flags = flags;
    return 0;
}

static uint32_t guard_entry_rva(const GuardTable *table, uint64_t index) {
    const uint8_t *entry = table->entries + index * table->stride;
    return (uint32_t)entry[0] | ((uint32_t)entry[1] << 8) | ((uint32_t)entry[2] << 16) |
           ((uint32_t)entry[3] << 24);
}

int guard_table_contains(const GuardTable *table, uint32_t rva) {
    uint64_t low = 0;
    uint64_t high = table->count;
    while (low < high) {
        uint64_t middle = low + (high - low) / 2;
        uint32_t here = guard_entry_rva(table, middle);
        if (here == rva) {
            if (table->stride > 4 &&
                (table->entries[middle * table->stride + 4] & GUARD_ENTRY_FID_SUPPRESSED) != 0) {
                return 0;
            }
            return 1;
        }
        if (here < rva) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return 0;
}

int guard_target_valid(uintptr_t target) {
    const uint8_t *own = (const uint8_t *)&__ImageBase;
    const IMAGE_NT_HEADERS64 *nt =
        (const IMAGE_NT_HEADERS64 *)(own + ((const IMAGE_DOS_HEADER *)own)->e_lfanew);
    const uint8_t *base = nullptr;
    if (target >= (uintptr_t)own && target - (uintptr_t)own < nt->OptionalHeader.SizeOfImage) {
        base = own;
    } else {
        HMODULE module = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                (LPCWSTR)target, &module)) {
            return 0;
        }
        base = (const uint8_t *)module;
    }
    GuardTable table;
    if (guard_table_of_image(base, &table) != 0) return 1;
    return guard_table_contains(&table, (uint32_t)(target - (uintptr_t)base));
}

// Called by the dispatch and check stubs below with the call's target; returns
// only when the target is valid.
extern "C" void guard_check_target(uintptr_t target) {
    if (guard_target_valid(target)) return;
    char line[96] = "guard check: invalid indirect call target 0x";
    size_t length = 0;
    while (line[length] != '\0') length++;
    for (int shift = 60; shift >= 0; shift -= 4) {
        line[length++] = "0123456789abcdef"[(target >> shift) & 0xF];
    }
    line[length++] = '\n';
    DWORD written = 0;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        WriteFile(error, line, (DWORD)length, &written, nullptr);
    }
    line[length - 1] = '\0';
    OutputDebugStringA(line);
    TerminateProcess(GetCurrentProcess(), GUARD_CHECK_EXIT_CODE);
}

// Both stubs keep the argument registers (RCX, RDX, R8, R9, XMM0-XMM5) for
// the target. The dispatch gets the target in RAX and jumps to it; the check
// gets it in RCX and returns. 168 bytes of frame: the callee's 32-byte home
// area plus the saved registers, keeping RSP 16-byte aligned at the call.
#define GUARD_SAVE                      \
    "    subq $168, %rsp\n"             \
    "    .seh_stackalloc 168\n"         \
    "    .seh_endprologue\n"            \
    "    movq %rax, 32(%rsp)\n"         \
    "    movq %rcx, 40(%rsp)\n"         \
    "    movq %rdx, 48(%rsp)\n"         \
    "    movq %r8, 56(%rsp)\n"          \
    "    movq %r9, 64(%rsp)\n"          \
    "    movdqu %xmm0, 72(%rsp)\n"      \
    "    movdqu %xmm1, 88(%rsp)\n"      \
    "    movdqu %xmm2, 104(%rsp)\n"     \
    "    movdqu %xmm3, 120(%rsp)\n"     \
    "    movdqu %xmm4, 136(%rsp)\n"     \
    "    movdqu %xmm5, 152(%rsp)\n"
#define GUARD_RESTORE                   \
    "    movq 32(%rsp), %rax\n"         \
    "    movq 40(%rsp), %rcx\n"         \
    "    movq 48(%rsp), %rdx\n"         \
    "    movq 56(%rsp), %r8\n"          \
    "    movq 64(%rsp), %r9\n"          \
    "    movdqu 72(%rsp), %xmm0\n"      \
    "    movdqu 88(%rsp), %xmm1\n"      \
    "    movdqu 104(%rsp), %xmm2\n"     \
    "    movdqu 120(%rsp), %xmm3\n"     \
    "    movdqu 136(%rsp), %xmm4\n"     \
    "    movdqu 152(%rsp), %xmm5\n"     \
    "    addq $168, %rsp\n"

__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "    .def guard_dispatch_checking; .scl 3; .type 32; .endef\n"
    "guard_dispatch_checking:\n"
    "    .seh_proc guard_dispatch_checking\n"
    GUARD_SAVE
    "    movq %rax, %rcx\n"
    "    call guard_check_target\n"
    GUARD_RESTORE
    "    jmp *%rax\n"
    "    .seh_endproc\n"
    "    .p2align 4\n"
    "    .def guard_check_checking; .scl 3; .type 32; .endef\n"
    "guard_check_checking:\n"
    "    .seh_proc guard_check_checking\n"
    GUARD_SAVE
    "    call guard_check_target\n"
    GUARD_RESTORE
    "    ret\n"
    "    .seh_endproc\n"
    "    .section .00cfg,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl __guard_check_icall_fptr\n"
    "__guard_check_icall_fptr:\n"
    "    .quad guard_check_checking\n"
    "    .globl __guard_dispatch_icall_fptr\n"
    "__guard_dispatch_icall_fptr:\n"
    "    .quad guard_dispatch_checking\n"
    "    .text\n");
