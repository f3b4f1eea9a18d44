// SPDX-License-Identifier: ISC
// The bridge's cache: the upstream's recent answers, kept by query line,
// so that a repeated query is answered without the upstream, and an
// answer that has expired can still stand in while the upstream fails.
// What is kept and for how long is cacheconf.hpp's.
//
// Rules:
// 1. Only the upstream's OK and NOTFOUND replies are kept, each for its
//    table's time to live (cacheconf.hpp, rules 1 and 2); never a TEMP,
//    TIMEOUT or PERM reply, nor an answer the bridge makes itself (the
//    caller hands over the upstream's replies alone). The key is the query
//    line exactly as the client sent it.
// 2. An entry is fresh for its time to live from when it was kept; while
//    fresh, it answers its query without the upstream.
// 3. An entry that has expired answers only for a query that would end as
//    TEMP or TIMEOUT, and only until its time to live plus the stale window
//    (--cache-stale) has passed since it was kept; past that it is
//    dropped.
// 4. A new answer of the upstream replaces the entry of its query: an OK or
//    NOTFOUND that is kept replaces it, one whose time to live is 0 and a
//    PERM or unrecognized reply drop it, a TEMP or TIMEOUT leaves it (for
//    rule 3).
// 5. At most max_entries entries and max_bytes bytes are held, an entry
//    counted as its key, its reply and CACHE_ENTRY_OVERHEAD: the least
//    recently used entry goes first. A reply that cannot fit alone is not
//    kept. Answering makes an entry the most recently used.
// 6. The first stale answer after CACHE_STALE_NOTE_GAP_MS without one is
//    logged, once for an outage, not for each query.
// 7. cache_flush() drops every entry (SIGHUP).
//
// Its counts and size are the metrics' too (metrics.hpp). The cache owns
// its entries; the counters are for anyone to read. Nothing
// here is fatal; the only message is rule 6's.
#pragma once

#include "tools/serve/cacheconf.hpp"

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

// What an entry costs beyond its key and reply: its list and index nodes,
// the strings' headers and the allocator's share, about.
constexpr size_t CACHE_ENTRY_OVERHEAD = 192;
// Stale answers this far apart belong to two outages, each logged.
constexpr int64_t CACHE_STALE_NOTE_GAP_MS = 60000;

struct cache_entry {
	std::string key;
	std::string reply;
	int64_t kept_at = 0;
	int64_t ttl_ms = 0;
};

struct cache_counters {
	uint64_t hits = 0;    // answered fresh (rule 2)
	uint64_t misses = 0;  // asked for, and not fresh
	uint64_t stale = 0;   // expired entries that answered (rule 3)
	uint64_t evicted = 0; // dropped for room (rule 5)
	uint64_t flushed = 0; // dropped by cache_flush()
};

struct cache {
	cache() = default;
	// The index points into the list: a copy would point into another's.
	cache(const cache&) = delete;
	cache& operator=(const cache&) = delete;

	cache_config config;
	bool enabled = false;         // some table keeps something
	std::list<cache_entry> order; // the most recently used first
	// Keys view the entries' own keys, which stay where they are.
	std::unordered_map<std::string_view, std::list<cache_entry>::iterator> index;
	size_t bytes = 0;
	cache_counters counts;
	int64_t last_stale = -1; // when an expired entry last answered
};

void cache_open(cache* c, const cache_config& config);

// The fresh entry of `key` (rule 2): true with its reply in *reply.
bool cache_fresh(cache* c, std::string_view key, int64_t now, std::string* reply);

// An entry of `key` that may stand in for a TEMP or TIMEOUT (rule 3): true
// with its reply in *reply.
bool cache_stale(cache* c, std::string_view key, int64_t now, std::string* reply);

// The upstream answered `key` with `reply` (rules 1, 4 and 5).
void cache_put(cache* c, std::string_view key, std::string_view reply, int64_t now);

// Drops every entry; returns how many there were.
size_t cache_flush(cache* c);

inline size_t cache_entries(const cache* c)
{
	return c->order.size();
}
