// What the commands of the release tool share: their messages, options,
// whole-file reads and atomic writes. Each command has a file of its own and
// an entry point here; main.cpp dispatches to them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"
#include "release/envelope.h"

enum { TOOL_ERROR_CAPACITY = 1024 };

// The largest manifest: what the longest payload an envelope takes decodes to.
const size_t tool_max_manifest = ENVELOPE_MAX_PAYLOAD / 4 * 3;

// The message of the last failure of a shared function.
extern char tool_error_text[TOOL_ERROR_CAPACITY];

// Prints "vornquill-release COMMAND: message" and the hint to help on
// standard error; returns 2 (a bad command line).
int tool_usage_error(const char *command, const char *format, ...) VQ_PRINTF(2, 3);

// Prints "vornquill-release COMMAND: message" on standard error; returns 1.
int tool_failure(const char *command, const char *message);

// Options: --name value pairs and --flag switches, each at most once.
struct ToolOption {
    const char *name;
    int takes_value;
    const char *value;  // the value, or "" for a switch that was given
};

// Fills the options' values from the arguments. Returns 0, or the exit code
// of tool_usage_error.
int tool_parse_options(const char *command, int argc, char **argv, ToolOption *options, int count);

// Reads a whole regular file of at most limit bytes into a heap block (one
// byte more allocated). Returns 0, or -1 with tool_error_text.
int tool_read_file(const char *path, size_t limit, const char *what, uint8_t **data, size_t *size);

// Writes all n bytes to fd. Returns 0 or -1 with errno.
int tool_write_all(int fd, const void *data, size_t n);

// Fills a new temporary file (fd, made by mkstemp as temp): the mode, all n
// bytes of data, flushed to disk, closed. Returns 0, or -1 with
// tool_error_text (fd closed either way; the caller removes temp).
int tool_fill_temp(int fd, const char *temp, unsigned mode, const void *data, size_t n);

// Writes data to path through a temporary sibling and a rename, so that
// path holds either its old content or the whole new one. Without overwrite
// an existing path is refused. Returns 0, or -1 with tool_error_text.
int tool_write_file_atomic(const char *path, const void *data, size_t n, int overwrite);

// Strict unpadded base64url of data, zero-terminated, in a heap block; null
// when out of memory.
char *tool_base64url_encode(const uint8_t *data, size_t n);

// The commands, each given its arguments after the command word; each
// returns the process exit code.
int keygen_command(int argc, char **argv);
int sign_manifest_command(int argc, char **argv);
int verify_command(int argc, char **argv);
int publish_command(int argc, char **argv);
int refresh_command(int argc, char **argv);
