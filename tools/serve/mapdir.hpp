// SPDX-License-Identifier: ISC
// Map directory files: which names are tables, and how a table's file is
// looked up and opened in the directory, for text maps (maps.hpp) and cdb
// tables (cdbmap.hpp) alike.
//
// Rules:
// 1. A table name is not empty, does not start with ".", has at most 255
//    bytes, all letters, digits, ".", "_", "-" or "+", and does not end in
//    MAPDIR_CDB_SUFFIX or MAPDIR_TMP_SUFFIX: those files are a table's
//    index and an index being written, never a text map. So no name
//    reaches a file outside the directory.
// 2. A table's file is a regular file directly in the directory: names
//    are looked up and opened without following a symbolic link (a link
//    there is reported as one, wherever it points), and a file of another
//    type is no table's file.
// 3. Files are opened read-only, close-on-exec and non-blocking, so that a
//    file swapped for a FIFO cannot hang the server; the type is checked
//    again on the open descriptor.
//
// The module owns the directory descriptor. Only mapdir_open() is fatal
// (through die_sys()); the other calls report errno values to the caller,
// which words the message.
#pragma once

#include <string>
#include <string_view>
#include <sys/stat.h>

constexpr char MAPDIR_CDB_SUFFIX[] = ".cdb";
constexpr char MAPDIR_TMP_SUFFIX[] = ".cdb.tmp";

// Opens the map directory; fatal when it cannot be opened.
void mapdir_open(const char* dir);

bool mapdir_valid_name(std::string_view name);

// What a lookup or an open found at a name.
enum mapdir_found {
	MAPDIR_FILE,        // a regular file: *st holds its status
	MAPDIR_NONE,        // nothing of that name (or a missing directory on its path)
	MAPDIR_OTHER,       // neither a regular file nor a link: no table's file
	MAPDIR_LINK,        // a symbolic link: *st holds the link's status when known
	MAPDIR_OPEN_FAILED, // open() failed with *error
	MAPDIR_STAT_FAILED, // the lookup, or fstat() of the open file, failed with *error
};

// Looks `file` up in the directory without following a link.
mapdir_found mapdir_stat(const std::string& file, struct stat* st, int* error);

// Opens `file` (rules 2 and 3): MAPDIR_FILE with the descriptor in *fd and
// its status in *st; otherwise no descriptor is left open.
mapdir_found mapdir_open_file(const std::string& file, int* fd, struct stat* st, int* error);

// The warning about a symbolic link at `file`.
std::string mapdir_link_warning(const std::string& file);
