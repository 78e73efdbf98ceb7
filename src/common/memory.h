// Blocks from the process heap (the system heap on Windows, malloc elsewhere).
#pragma once

#include <stddef.h>

// Returns a block of `size` bytes, or null. Never throws.
void *heap_alloc(size_t size);
// A zero-filled block. Fresh pages come zeroed from the system, so a large
// block of which only the start is used costs only the pages touched.
void *heap_alloc_zeroed(size_t size);
// Frees a block from heap_alloc or heap_alloc_zeroed; null is allowed.
void heap_free(void *block);
// Overwrites `size` bytes with zeros in a way the compiler keeps.
void heap_wipe(void *block, size_t size);
