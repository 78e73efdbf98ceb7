// Process-heap blocks and wiping.
#include "common/memory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#endif

void *heap_alloc(size_t size) {
#ifdef _WIN32
    return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size);
#else
    return malloc(size == 0 ? 1 : size);
#endif
}

void *heap_alloc_zeroed(size_t size) {
#ifdef _WIN32
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size == 0 ? 1 : size);
#else
    return calloc(1, size == 0 ? 1 : size);
#endif
}

void heap_free(void *block) {
    if (block == nullptr) return;
#ifdef _WIN32
    HeapFree(GetProcessHeap(), 0, block);
#else
    free(block);
#endif
}

void heap_wipe(void *block, size_t size) {
    volatile unsigned char *p = (volatile unsigned char *)block;
    for (size_t i = 0; i < size; i++) p[i] = 0;
}
