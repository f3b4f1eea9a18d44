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
// 2. An index is mapped at its table's first query (cdbread.hpp) and kept
//    mapped; its descriptor is closed at once, so an index holds none.
//    Before a query its name is looked at again when CDBMAP_CHECK_MS have
//    passed since the last look: a new stamp (filestamp.hpp; the file was
//    renamed over) maps the new file, then unmaps the old one; a name
//    gone unmaps it. A name found with no index is looked at again as
//    seldom (at most CDBMAP_ABSENT_MAX such names are remembered). So a
//    new index or version answers within CDBMAP_CHECK_MS, and a query
//    costs no system call for the index in between.
// 3. At most CDBMAP_MAPPED_MAX indexes are mapped; mapping another unmaps
//    the one asked least recently.
// 4. A file that is no whole cdb file (cut short, written over in place,
//    against the rules), found so at its mapping or by a lookup, answers
//    "TEMP map TABLE is damaged", logged once for each state of the file;
//    it never stops the server.
// 5. Keys and values follow cdbread.hpp; a value that no reply can carry
//    answers TEMP, logged once for each state of the file.
// 6. When the text file TABLE is more than CDBMAP_STALE_SECONDS newer
//    than its index, that is logged once for each state of the two files,
//    at the looks of rule 2.
// 7. The metrics (metrics.hpp) count a mapped index's records, as its
//    header counts them, and the time it was mapped as its load; an index
//    that is unmapped or no cdb file counts none.
//
// The module owns the mapped indexes; nothing here is fatal. Time is the
// caller's clock in milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr int64_t CDBMAP_CHECK_MS = 1000;
constexpr size_t CDBMAP_MAPPED_MAX = 64;
constexpr size_t CDBMAP_ABSENT_MAX = 4096;
constexpr int64_t CDBMAP_STALE_SECONDS = 100;

// Answers `key` from the index of table `name` (a valid table name) at
// `now`: true with the reply line in *reply ("OK VALUE", "NOTFOUND " or
// "TEMP " and a reason); false when the table has no index.
bool cdbmap_answer(const std::string& name, std::string_view key, int64_t now, std::string* reply);

// Every index is looked at again at its next query (SIGHUP).
void cdbmap_reload();

// The indexes kept now: mapped, or known to be no cdb file.
size_t cdbmap_mapped_files();
