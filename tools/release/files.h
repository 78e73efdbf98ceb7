// Files of the release tool: private folders for its work, and their removal.
#pragma once

#include <stddef.h>

// Makes a new folder that only this user can enter (mkdtemp, mode 0700) in
// $TMPDIR when that is an absolute path, else in /tmp: folder becomes
// "base/name", name ending in XXXXXX (replaced by mkdtemp), and *base (when
// base is not null) the folder it was made in. When $TMPDIR is too long for
// folder, it is made in /tmp when tmp_when_long is 1, and refused
// (ENAMETOOLONG) when 0. Returns 0, or -1 with errno set.
int private_folder_make(const char *name, int tmp_when_long, char *folder, size_t capacity,
                        const char **base);

// Removes a folder and everything in it, without following symbolic links.
void remove_tree(const char *folder);
