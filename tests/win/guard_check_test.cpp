// The checking Control Flow Guard dispatch of the test executables: the table
// it finds through this image's load configuration, the targets it accepts,
// and a call to a target outside the table ending the process as an
// enforcing Windows would.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdint.h>

#include "guard_check.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

typedef double (*MixedCall)(int, double, int, double, int, double);

// Reached only through function pointers: the address is taken, so the
// compiler lists it among the valid call targets.
__attribute__((noinline)) double mixed_arguments(int a, double b, int c, double d, int e,
                                                 double f) {
    return a + b * 10 + c * 100 + d * 1000 + e * 10000 + f * 100000;
}

__attribute__((noinline)) int plain_target(void) {
    return 42;
}

const uint8_t data_bytes[16] = {0xC3};

uintptr_t image_base() {
    return (uintptr_t)&__ImageBase;
}

// The function pointer goes through a volatile slot so that the call stays
// indirect and passes the dispatch.
int call_through_dispatch(uintptr_t target) {
    int (*volatile slot)(void) = (int (*)(void))target;
    return slot();
}

TEST(GuardCheck, OwnImageCarriesASortedGuardTable) {
    GuardTable table;
    ASSERT_EQ(guard_table_of_image((const uint8_t *)image_base(), &table), 0);
    EXPECT_NE(table.guard_flags & 0x100u, 0u) << "CF_INSTRUMENTED";
    EXPECT_NE(table.guard_flags & 0x400u, 0u) << "function table present";
    ASSERT_GE(table.stride, 4u);
    ASSERT_GT(table.count, 0u);
    uint32_t previous = 0;
    for (uint64_t i = 0; i < table.count; i++) {
        const uint8_t *entry = table.entries + i * table.stride;
        uint32_t rva = (uint32_t)entry[0] | ((uint32_t)entry[1] << 8) |
                       ((uint32_t)entry[2] << 16) | ((uint32_t)entry[3] << 24);
        ASSERT_TRUE(i == 0 || rva > previous) << "entry " << i << " out of order";
        previous = rva;
    }
}

TEST(GuardCheck, TargetsAcceptedAndRefused) {
    GuardTable table;
    ASSERT_EQ(guard_table_of_image((const uint8_t *)image_base(), &table), 0);
    uintptr_t mixed = (uintptr_t)(MixedCall)mixed_arguments;
    uintptr_t plain = (uintptr_t)plain_target;
    void *heap_block = HeapAlloc(GetProcessHeap(), 0, 64);
    ASSERT_NE(heap_block, nullptr);
    FARPROC system_function = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount");
    ASSERT_NE(system_function, nullptr);
    struct Case {
        const char *what;
        uintptr_t target;
        int valid;
    } cases[] = {
        {"address-taken function", mixed, 1},
        {"second address-taken function", plain, 1},
        {"inside a function", mixed + 1, 0},
        {"data of the image", (uintptr_t)data_bytes, 0},
        {"the image's headers", image_base(), 0},
        {"heap memory", (uintptr_t)heap_block, 0},
        {"exported function of a system library", (uintptr_t)system_function, 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(guard_target_valid(c.target), c.valid) << c.what;
        if (c.target >= image_base() && c.target - image_base() < 0x10000000u) {
            EXPECT_EQ(guard_table_contains(&table, (uint32_t)(c.target - image_base())), c.valid)
                << c.what;
        }
    }
    HeapFree(GetProcessHeap(), 0, heap_block);
}

TEST(GuardCheck, DispatchKeepsEveryArgumentRegister) {
    MixedCall volatile slot = mixed_arguments;
    EXPECT_DOUBLE_EQ(slot(1, 2.0, 3, 4.0, 5, 6.0), 1 + 20 + 300 + 4000 + 50000 + 600000);
    EXPECT_EQ(call_through_dispatch((uintptr_t)plain_target), 42);
}

TEST(GuardCheckDeathTest, CallOutsideTheTableEndsTheProcess) {
    uintptr_t inside = (uintptr_t)plain_target + 1;
    EXPECT_EXIT(call_through_dispatch(inside), ::testing::ExitedWithCode(GUARD_CHECK_EXIT_CODE),
                "guard check: invalid indirect call target 0x");
    EXPECT_EXIT(call_through_dispatch((uintptr_t)data_bytes),
                ::testing::ExitedWithCode(GUARD_CHECK_EXIT_CODE),
                "guard check: invalid indirect call target 0x");
}

}  // namespace
