// Files of the release tool: private folders for its work, their removal,
// and copies from one open file to another.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Makes a new folder that only this user can enter (mkdtemp, mode 0700) in
// $TMPDIR when that is an absolute path, else in /tmp: folder becomes
// "base/name" with base's real path (no link in it), name ending in XXXXXX
// (replaced by mkdtemp), and *base (when base is not null) the folder it was
// made in as named. Because the folder is reached again by its path, base
// and every folder on the way to it must be owned by this user or by root
// and be writable by no one else unless sticky (as /tmp): else no other user
// could rename or replace the new folder. When $TMPDIR is too long for
// folder, it is made in /tmp when tmp_when_long is 1, and refused when 0.
// Returns 0, or -1 with a message in error (and folder empty when none was
// made).
int private_folder_make(const char *name, int tmp_when_long, char *folder, size_t capacity,
                        const char **base, char *error, size_t error_capacity);

// Removes a folder and everything in it, without following symbolic links.
void remove_tree(const char *folder);

enum {
    COPY_FD_READ_FAILED = -1,   // errno tells why
    COPY_FD_WRITE_FAILED = -2,  // errno tells why; 0 when a write wrote nothing
    COPY_FD_TOO_LARGE = -3,     // in held more than limit bytes
};

// Called with each piece copied, in order, before it is written (a hash
// over the copy).
typedef void (*copy_fd_seen)(void *context, const uint8_t *data, size_t length);

// Copies what remains of in to out, giving each piece to seen when it is
// not null; *total counts the bytes read, the piece that went past limit
// included. Returns 0 at the end of in, or a negative COPY_FD_ code with
// errno kept; both descriptors stay open.
int copy_fd(int in, int out, uint64_t limit, copy_fd_seen seen, void *context, uint64_t *total);
