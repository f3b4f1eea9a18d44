// SPDX-License-Identifier: ISC
// cdb output: writes a cdb file so that a reader never sees half of it,
// with tinycdb's library.
//
// Rules:
// 1. The records go to TARGET.tmp in the target's directory, which is
//    created if need be (never through a symbolic link) and locked
//    (flock) for the whole write: a second writer of the same target
//    fails at once rather than write the same file.
// 2. The temporary file gets the permission bits of `like` (the source
//    map: a table of credentials stays as closed as its source) and,
//    where the user may give them, the source's owner and group (root
//    both; another user the group, when a member). It is synced, renamed over
//    TARGET, and the directory synced: TARGET is the old file or the
//    whole new one, whatever happens when.
// 3. On any failure the temporary file is removed and TARGET left as it
//    was; the error is in `why`, as "cannot ... FILE: REASON".
//
// The caller owns the cdbout; nothing here logs or is fatal.
#pragma once

#include <cdb.h>
#include <string>
#include <string_view>
#include <sys/stat.h>

struct cdbout {
	std::string target, tmp;
	int fd = -1;
	cdb_make make;
	std::string why; // the first failure
};

// Starts writing `target` (rules 1 and 2); false with out->why set.
bool cdbout_start(cdbout* out, const std::string& target, const struct stat& like);

// Adds one record; false with out->why set, after which only
// cdbout_abandon() is left.
bool cdbout_add(cdbout* out, std::string_view key, std::string_view value);

// Completes the file and renames it over the target (rule 2); false with
// out->why set, the target untouched.
bool cdbout_finish(cdbout* out);

// Gives up: the temporary file goes (rule 3).
void cdbout_abandon(cdbout* out);
