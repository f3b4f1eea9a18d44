// SPDX-License-Identifier: ISC
// What the bridge's cache (cache.hpp) keeps and for how long: the times to
// live of --cache-ttl and --cache-negative-ttl, each for every table or
// for one table, the stale window and the bounds on its size.
//
// Rules:
// 1. A table's positive time (OK replies) is its own --cache-ttl
//    TABLE=SECONDS, else the --cache-ttl SECONDS, else 0.
// 2. A table's negative time (NOTFOUND replies) is, in this order: its
//    own --cache-negative-ttl TABLE=SECONDS; 0 when --cache-ttl TABLE=0
//    turned its caching off; the --cache-negative-ttl SECONDS; its
//    positive time.
// 3. A time of 0 keeps nothing. The table is the query line up to its
//    first blank, compared exactly.
// 4. Times are whole seconds from 0 to CACHECONF_SECONDS_MAX; a size is a
//    whole number from 1 to CACHECONF_SIZE_MAX. A TABLE=SECONDS form
//    needs a table name without blanks before its last "=".
//
// The configuration owns its tables' names. Nothing here is fatal or
// logs: the parsers return false with the reason, for the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

// The longest time to live or stale window: a year.
constexpr int64_t CACHECONF_SECONDS_MAX = 365 * 24 * 3600;
// The largest --cache-size or --cache-memory.
constexpr uint64_t CACHECONF_SIZE_MAX = uint64_t(1) << 40;
constexpr size_t CACHECONF_ENTRIES_DEFAULT = 10000;
constexpr size_t CACHECONF_BYTES_DEFAULT = 32 << 20;

// The times of one option, in milliseconds; -1 where it was not given.
struct cacheconf_ttl {
	int64_t all_ms = -1;
	std::map<std::string, int64_t, std::less<>> table_ms;
};

struct cache_config {
	cacheconf_ttl positive; // --cache-ttl
	cacheconf_ttl negative; // --cache-negative-ttl
	int64_t stale_ms = 0;   // --cache-stale
	size_t max_entries = CACHECONF_ENTRIES_DEFAULT;
	size_t max_bytes = CACHECONF_BYTES_DEFAULT;
};

// Takes "SECONDS" or "TABLE=SECONDS" into *ttl (rule 4); a later value
// replaces an earlier one of the same form and table.
bool cacheconf_parse_ttl(cacheconf_ttl* ttl, const char* text, std::string* why);
// Whole seconds (rule 4), in milliseconds.
bool cacheconf_parse_seconds(const char* text, int64_t* ms, std::string* why);
// A size (rule 4).
bool cacheconf_parse_size(const char* text, size_t* size, std::string* why);

// The times of rules 1 and 2 for `table`, in milliseconds.
int64_t cacheconf_positive_ms(const cache_config& c, std::string_view table);
int64_t cacheconf_negative_ms(const cache_config& c, std::string_view table);
// True when some table may keep something: a time of either option above 0.
bool cacheconf_enabled(const cache_config& c);
