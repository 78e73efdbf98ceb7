// What the commands of the release tool share: their messages, options,
// whole-file reads and atomic writes.
#include "tools/release/command.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include "common/memory.h"
#include "common/text.h"
#include "tools/release/keyfile.h"

char tool_error_text[TOOL_ERROR_CAPACITY];

int tool_usage_error(const char *command, const char *format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    format_narrow_v(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "vornquill-release %s: %s\n(see: vornquill-release help)\n", command, message);
    return 2;
}

int tool_failure(const char *command, const char *message) {
    fprintf(stderr, "vornquill-release %s: %s\n", command, message);
    return 1;
}

int tool_parse_options(const char *command, int argc, char **argv, ToolOption *options, int count) {
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        ToolOption *match = nullptr;
        for (int k = 0; k < count; k++) {
            if (strcmp(arg, options[k].name) == 0) match = &options[k];
        }
        if (match == nullptr) return tool_usage_error(command, "unknown option %s", arg);
        if (match->value != nullptr) return tool_usage_error(command, "%s is given twice", arg);
        if (match->takes_value) {
            if (i + 1 >= argc) return tool_usage_error(command, "%s needs a value", arg);
            match->value = argv[++i];
            if (match->value[0] == 0)
                return tool_usage_error(command, "%s has an empty value", arg);
        } else {
            match->value = "";
        }
    }
    return 0;
}

// Reads a whole regular file of at most limit bytes into a heap block.
int tool_read_file(const char *path, size_t limit, const char *what, uint8_t **data, size_t *size) {
    *data = nullptr;
    *size = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot open %s %s: %s", what, path,
                      strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(tool_error_text, sizeof tool_error_text, "%s %s is not a regular file", what,
                      path);
        close(fd);
        return -1;
    }
    if ((uint64_t)st.st_size > limit) {
        format_narrow(tool_error_text, sizeof tool_error_text, "%s %s is larger than %zu bytes",
                      what, path, limit);
        close(fd);
        return -1;
    }
    size_t n = (size_t)st.st_size;
    uint8_t *block = (uint8_t *)heap_alloc(n + 1);
    if (block == nullptr) {
        format_narrow(tool_error_text, sizeof tool_error_text, "out of memory reading %s", path);
        close(fd);
        return -1;
    }
    size_t done = 0;
    while (done < n) {
        ssize_t r = read(fd, block + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            format_narrow(tool_error_text, sizeof tool_error_text, "cannot read %s %s: %s", what,
                          path, r < 0 ? strerror(errno) : "it became shorter while being read");
            heap_free(block);
            close(fd);
            return -1;
        }
        done += (size_t)r;
    }
    close(fd);
    *data = block;
    *size = n;
    return 0;
}

int tool_write_all(int fd, const void *data, size_t n) {
    const uint8_t *p = (const uint8_t *)data;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int tool_fill_temp(int fd, const char *temp, unsigned mode, const void *data, size_t n) {
    int result = -1;
    if (fchmod(fd, (mode_t)mode) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "cannot set the mode of %s to %04o: %s", temp, mode, strerror(errno));
    } else if (tool_write_all(fd, data, n) != 0 || fsync(fd) != 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot write %s: %s", temp,
                      strerror(errno));
    } else {
        result = 0;
    }
    if (close(fd) != 0 && result == 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot write %s: %s", temp,
                      strerror(errno));
        result = -1;
    }
    return result;
}

// Writes data to path through a temporary sibling and a rename, so that
// path holds either its old content or the whole new one. Without
// overwrite the new file is moved into place only while path does not
// exist, so a file that appears meanwhile is kept.
int tool_write_file_atomic(const char *path, const void *data, size_t n, int overwrite) {
    struct stat st;
    if (!overwrite && lstat(path, &st) == 0) {
        format_narrow(tool_error_text, sizeof tool_error_text,
                      "%s already exists (use --force to replace it)", path);
        return -1;
    }
    char temp[PATH_MAX];
    if (format_narrow(temp, sizeof temp, "%s.tmp-XXXXXX", path) < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "path %s is too long", path);
        return -1;
    }
    int fd = mkstemp(temp);
    if (fd < 0) {
        format_narrow(tool_error_text, sizeof tool_error_text, "cannot create a file beside %s: %s",
                      path, strerror(errno));
        return -1;
    }
    int result = tool_fill_temp(fd, temp, 0644, data, n);
    if (result == 0 && keyfile_move_into_place(temp, path, overwrite) != 0) {
        if (errno == EEXIST) {
            format_narrow(tool_error_text, sizeof tool_error_text,
                          "%s already exists (use --force to replace it)", path);
        } else {
            format_narrow(tool_error_text, sizeof tool_error_text, "cannot rename %s to %s: %s",
                          temp, path, strerror(errno));
        }
        result = -1;
    }
    if (result != 0) unlink(temp);
    return result;
}

char *tool_base64url_encode(const uint8_t *data, size_t n) {
    size_t size = sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    char *text = (char *)heap_alloc(size);
    if (text == nullptr) return nullptr;
    sodium_bin2base64(text, size, data, n, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text;
}
