// The progress callback shared by the download and the digest.
#pragma once

#include <stdint.h>

// Called after every piece with the bytes done and the total; returns 0 to go
// on and non-zero to stop.
typedef int (*ProgressCallback)(void *context, uint64_t done, uint64_t total);
