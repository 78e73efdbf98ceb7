// Blocks from the process heap (the system heap on Windows, malloc elsewhere).
#pragma once

#include <stddef.h>

// Returns a block of `size` bytes, or null. Never throws.
void *heap_alloc(size_t size);
// Frees a block from heap_alloc; null is allowed.
void heap_free(void *block);
// Overwrites `size` bytes with zeros in a way the compiler keeps.
void heap_wipe(void *block, size_t size);
