// SPDX-License-Identifier: ISC
// Map file: one version of a text map, its text and a chained hash index
// of its entries, built from the text as the caller reads it.
//
// The caller owns the mapfile and everything in it; the module keeps no
// state of its own. It neither logs nor knows files, descriptors or stamps:
// the caller appends the text it read with mapfile_append() and asks for
// bounded steps of indexing with mapfile_index(), which reports each line
// it skips, with why, to the caller. Nothing here is fatal: mapfile_init()
// returns false when memory runs out, and mapfile_append() and
// mapfile_index() throw std::bad_alloc, after which the version is only
// fit to be freed. The text must stay within MAPFILE_TEXT_MAX bytes, as
// lengths and entry slots are 32-bit (the map directory refuses files over
// 1 GiB).
//
// Invariants:
// 1. Lines: a line ends at a newline, or at the end of the text once the
//    caller says the text is complete; a CR at its end belongs to neither
//    key nor value. Lines are numbered from 1, every line counting.
// 2. Entries: the key runs from the first byte that is not a blank (space
//    or tab) to the next blank; the value is the rest of the line after
//    the run of blanks that follows the key. A key alone has an empty
//    value. A line that is blank, or whose first non-blank byte is "#",
//    is no entry and is not reported.
// 3. Skipped lines, each reported once with its number and why: a line
//    holding a NUL byte ("NUL byte"), one whose value is longer than
//    MAPFILE_VALUE_MAX bytes ("value longer than N bytes", N being that
//    number), and one whose key an earlier entry has ("duplicate key"):
//    the first entry of a key wins. A skipped line takes no key.
// 4. Entries are numbered in the order of their lines, from 0, and an
//    entry never moves once indexed: entry blocks are added, never
//    reallocated. The text may move as it grows; entries hold offsets.
// 5. Bounded steps: one mapfile_index() call writes at most `budget`
//    buckets of the array (its pages are touched in order, a part per
//    step, before any line is indexed: indexing writes to them at random),
//    then indexes whole lines until it has indexed `budget` bytes of text
//    or more, or has no complete line left.
//    The bucket array is sized once, from the size hint (a bucket per 32
//    bytes, at least 64), so indexing never rehashes.
// 6. Memory grows with the map: the text, 4 bytes per bucket, and
//    MAPFILE_ENTRY_SIZE bytes per entry in blocks that start at
//    MAPFILE_BLOCK_FIRST entries and double up to MAPFILE_BLOCK_MAX. The
//    blocks hold fewer than twice the entries in use plus
//    MAPFILE_BLOCK_FIRST, and fewer than MAPFILE_BLOCK_MAX beyond them.
// 7. The result depends only on the text: however it is cut into appends
//    and steps, the same entries and skipped lines come out.
#pragma once

#include "backend/smap_reply.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The longest value: an "OK " reply holding it fits in a reply.
constexpr size_t MAPFILE_VALUE_MAX = SMAP_REPLY_MAX - 3;
constexpr size_t MAPFILE_TEXT_MAX = UINT32_MAX;
constexpr size_t MAPFILE_BLOCK_FIRST = 16;
constexpr size_t MAPFILE_BLOCK_MAX = 16384;

// One entry: where its key and value are in the text, and the next entry
// of its hash chain (its slot + 1, or 0 at the end; see mapfile.cpp).
struct mapfile_entry {
	size_t key;
	size_t value;
	uint32_t key_len;
	uint32_t value_len;
	uint32_t hash;
	uint32_t next;
};
constexpr size_t MAPFILE_ENTRY_SIZE = sizeof(mapfile_entry);

struct mapfile {
	std::string text;
	std::vector<std::unique_ptr<mapfile_entry[]>> blocks;
	size_t count = 0;    // entries indexed
	size_t capacity = 0; // entries the blocks hold
	// The first entry of each chain (its slot + 1, or 0); `mask` + 1 of
	// them. From calloc(), which leaves a large array's pages untouched
	// until the steps of indexing touch them.
	std::unique_ptr<uint32_t[], decltype(&free)> buckets{nullptr, &free};
	size_t mask = 0;
	size_t touched = 0; // buckets written once
	size_t parsed = 0;  // bytes of text indexed
	size_t scanned = 0; // no newline in text[parsed, scanned)
	size_t lines = 0;   // lines indexed or skipped
	size_t skipped = 0; // lines skipped (invariant 3)
};

// Told of each skipped line: its number and why (invariant 3), once it
// is counted in `skipped`.
using mapfile_skip_fn = std::function<void(size_t line, const char* why)>;

// Makes *m an empty version whose text is expected to be about
// `size_hint` bytes: the bucket array is sized from it, the text's room
// reserved. False when memory runs out. Every other function needs a
// mapfile made so.
bool mapfile_init(mapfile* m, size_t size_hint);

// Adds bytes read to the text.
void mapfile_append(mapfile* m, std::string_view bytes);

// One step of indexing, of about `budget` bytes (invariant 5): complete
// lines only, and the last line too when `at_end` says the text is
// complete. Skipped lines go to `skip`, when it is set. True when the
// text is complete and wholly indexed.
bool mapfile_index(mapfile* m, size_t budget, bool at_end, const mapfile_skip_fn& skip);

// The value of `key`, into *value; false when the key has no entry.
bool mapfile_find(const mapfile& m, std::string_view key, std::string_view* value);

// Entries in the order of their lines: mapfile_count() of them, the nth
// (from 0) being mapfile_key(m, n) and mapfile_value(m, n).
size_t mapfile_count(const mapfile& m);
std::string_view mapfile_key(const mapfile& m, size_t n);
std::string_view mapfile_value(const mapfile& m, size_t n);
