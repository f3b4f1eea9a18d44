// SPDX-License-Identifier: ISC
// Map directory: answers socketmap queries from plain map files, and from
// their cdb indexes.
//
// The table TABLE is answered by the index TABLE.cdb when the directory
// holds one (cdbmap.hpp: no loading, no waiting), and otherwise by the
// text file TABLE in the map directory: one
// "key value" entry per line, the key ending at the first run of blanks
// (spaces or tabs) and the value being the rest of the line; a CR at the
// end of a line belongs to neither; a line whose first non-blank byte is
// "#" and a blank line are skipped; a key alone is an entry with an empty
// value. The first entry of a key wins. Those rules, and the index of a
// version, are mapfile.hpp's; this module finds the files, tells their
// versions apart, schedules their loads and logs what goes wrong.
//
// Table names are confined to the directory, and a table's file must be a
// regular file in the directory itself, never reached through a symbolic
// link: mapdir.hpp's rules.
//
// Loading: a file is read at its first query, and again at the first query
// after it changed (its identity, size, modification or change time
// differ) or after maps_reload(). A load is done in steps of bounded cost,
// each reading at most MAPS_STEP bytes and indexing at most MAPS_STEP
// bytes (the first steps of a big file prepare its index instead): the
// query that starts a load gets one step at once, so a file of up to
// MAPS_STEP bytes is answered from at once; a bigger one goes on in
// maps_work(), which the caller runs between its rounds of I/O, so that
// it never holds up lookups for long.
// Meanwhile a changed table answers from the version loaded before, and a
// table with no loaded version makes its queries wait (maps_answer()
// returns false) until the load ends, or until the caller gives up after
// maps_wait_ms(). The new version replaces the old only when it is
// complete, so both are in memory for a while. At most MAPS_LOADS_MAX
// loads run at once, each holding its file open; a file of up to
// MAPS_STEP bytes takes no load slot, since it is read whole and closed
// within its query, whatever else is loading (and a load of a version it
// replaced is given up). A file of more than MAPS_FILE_MAX bytes is not
// loaded.
//
// The module owns the loaded text tables; a table is forgotten when its
// file goes away, or when an index answers for it. Only maps_open() is
// fatal (through die_sys()); load problems are answered with TEMP and
// logged as warnings (skipped lines as mapskip.hpp logs them). A fault of
// a file (a symbolic link, a file too big, one that cannot be opened or
// read) is logged once for each state of the file (mapfault.hpp): again
// only when that changes, or after maps_reload(). A load that failed after
// it started is answered with its TEMP reason until the file changes or
// maps_reload() is called.
#pragma once

#include "tools/net/reply.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t MAPS_STEP = 1 << 18;
constexpr size_t MAPS_LOADS_MAX = 2;
constexpr size_t MAPS_FILE_MAX = size_t(1) << 30;
// The longest a query waits for its table's first version: until its reply
// is due.
constexpr int64_t MAPS_WAIT_MS = REPLY_DUE_MS;

// Opens the map directory (mapdir.hpp); fatal when it cannot be opened.
void maps_open(const char* dir);

// How long a query waits for its table's first version: MAPS_WAIT_MS. For
// tests only, the environment variable SMAP_SERVE_TEST_MAP_WAIT_MS, when it
// holds a smaller number of milliseconds at maps_open(), replaces it.
int64_t maps_wait_ms();

// Answers one query at `now` (milliseconds, the loop's clock): true with
// the reply line (without newline) in *reply, "OK VALUE", "NOTFOUND ",
// "PERM unknown table" or "TEMP " and a reason; false when the table's
// first version is still loading: ask again after maps_work() returned
// true. With `give_up`, a query that would wait is answered "TEMP map
// TABLE is loading" instead.
bool maps_answer(std::string_view table, std::string_view key, bool give_up, int64_t now,
                 std::string* reply);

// True while loads are in progress: the caller must not wait long before
// it calls maps_work() again.
bool maps_busy();

// One step of every load in progress. True when a load has ended or been
// given up since the last call: queries that were waiting may be answered
// now.
bool maps_work();

// Makes every table be read again at its next query, changed or not (an
// index looked at again), and forgets load failures and fault notes.
void maps_reload();
