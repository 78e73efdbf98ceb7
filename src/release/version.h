// Version numbers: three numeric components and an optional pre-release,
// ordered by semantic-version precedence (leading zeros tolerated, no build
// metadata).
#pragma once

// 1 when text is a valid version (1 to 63 bytes), else 0. Null is not valid.
int version_valid(const char *text);

// -1 when a orders before b, 0 when equal in order, 1 when after. Both are
// expected to be valid versions; any zero-terminated texts are read safely.
int version_compare(const char *a, const char *b);
