// Map directory: answers socketmap queries from plain map files.
//
// The table TABLE is the file of that name in the map directory: one
// "key value" entry per line, the key ending at the first run of blanks
// (spaces or tabs) and the value being the rest of the line; a line whose
// first non-blank byte is "#" and a blank line are skipped; a key alone is
// an entry with an empty value. The first entry of a key wins. A file is
// read at its first query and read again at the first query after it
// changed (its identity, size, modification or change time differ).
//
// Table names are confined to the directory: a name that is empty, starts
// with ".", or holds anything but letters, digits, ".", "_", "-" and "+"
// names no table. The module owns the directory descriptor and the cache
// of loaded tables; a table leaves the cache when its file goes away.
// Only maps_open() is fatal (through die_sys()); load problems are
// answered and logged as warnings.
#pragma once

#include <string>
#include <string_view>

// Opens the map directory; fatal when it cannot be opened.
void maps_open(const char* dir);

// The reply line (without newline) for one query: "OK VALUE",
// "NOTFOUND ", "PERM unknown table" or "TEMP " and a reason.
void maps_answer(std::string_view table, std::string_view key, std::string* reply);
