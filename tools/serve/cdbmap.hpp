// SPDX-License-Identifier: ISC
// cdb tables: the index TABLE.cdb in the map directory answers for the
// table TABLE, read on demand through tinycdb's library from the page
// cache, with nothing loaded and no query ever waiting.
//
// Rules:
// 1. Files: TABLE.cdb is looked up and opened under the map directory's
//    rules (mapdir.hpp); a name that holds no regular file (a symbolic
//    link is reported, once for each state) has no index, and the text
//    map answers (maps.hpp).
// 2. An index is opened at its table's first query and kept open. Before
//    a query its name is looked at again when CDBMAP_CHECK_MS have passed
//    since the last look: a new stamp (filestamp.hpp; the file was renamed
//    over) opens the new file, then closes the old one; a name gone
//    closes it. So a new version answers within CDBMAP_CHECK_MS, and a
//    query costs no system call beyond the reads.
// 3. At most CDBMAP_OPEN_MAX indexes are open; opening another closes the
//    one asked least recently. The map source counts them beside its
//    reserve (mapsource.hpp), so they never take a client's descriptor.
// 4. Reads go through the descriptor (tinycdb's cdb_seek() and
//    cdb_bread()), never a memory map: a file truncated or rewritten in
//    place, against the rules, answers "TEMP map TABLE is damaged" and
//    logs it once for each state of the file; it never stops the server.
// 5. Keys: the key itself, and when it is absent the key with a NUL byte
//    after it, whose value then loses its own trailing NUL (mail software
//    that stores both NULs writes such files). Of records with the same
//    key, the first answers.
// 6. A value that no reply can carry (longer than MAPFILE_VALUE_MAX, or
//    holding a newline or a NUL byte) answers TEMP; each such fault is
//    logged once for each state of the file.
// 7. When the text file TABLE is more than CDBMAP_STALE_SECONDS newer
//    than its index, that is logged once for each state of the two files,
//    at the looks of rule 2.
//
// The module owns the open indexes; nothing here is fatal. Time is the
// caller's clock in milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr int64_t CDBMAP_CHECK_MS = 1000;
constexpr size_t CDBMAP_OPEN_MAX = 8;
constexpr int64_t CDBMAP_STALE_SECONDS = 100;

// Answers `key` from the index of table `name` (a valid table name) at
// `now`: true with the reply line in *reply ("OK VALUE", "NOTFOUND " or
// "TEMP " and a reason); false when the table has no index.
bool cdbmap_answer(const std::string& name, std::string_view key, int64_t now, std::string* reply);

// Every index is looked at again at its next query (SIGHUP).
void cdbmap_reload();

// The indexes open now.
size_t cdbmap_open_files();

// --- The lookup itself, for tests and the fuzz target ------------------------

enum cdbmap_result {
	CDBMAP_FOUND,    // *value holds the value
	CDBMAP_ABSENT,   // no record of the key (rule 5)
	CDBMAP_DAMAGED,  // the file is not a whole cdb file; errno tells why
	CDBMAP_TOO_LONG, // the value is longer than MAPFILE_VALUE_MAX
	CDBMAP_UNFIT,    // the value holds a newline or a NUL byte
};

// Looks `key` up in the cdb file open on `fd` (rules 4 to 6).
cdbmap_result cdbmap_find(int fd, std::string_view key, std::string* value);
