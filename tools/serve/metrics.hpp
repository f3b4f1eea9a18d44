// SPDX-License-Identifier: ISC
// Metrics: what smap-serve counts about itself, kept in plain integers on
// the loop's thread, for the metrics file (metricsfile.hpp) and the
// summary that SIGUSR1 logs (metricstext.hpp). The loop, the clients and
// admission count queries, their time and closes; the maps count entries,
// loads and faults; the bridge counts the exchanges with each upstream; a
// cache counts its hits and size.
//
// Rules:
// 1. Counting costs no system call, allocation or lock: counters are plain
//    integers of this thread, and a table name is looked up without
//    allocating. Only the first count of a table or an upstream allocates.
// 2. A table gets a slot of its own, with its name as its label, only when
//    it exists: a map file found in the map directory (the maps say so),
//    or a table for which a query was answered OK or NOTFOUND. At most
//    METRICS_TABLES_MAX tables get one, and only names that can be a
//    label as they are (METRICS_LABEL_MAX bytes of UTF-8 at most, no
//    control character, not METRICS_OTHER itself); everything else counts
//    under METRICS_OTHER, slot 0. A slot, once given, is kept.
// 3. A query counts once, when the last byte of its reply is written: by
//    its table, by the reply's first word (metrics_result_of()) and by its
//    time, from the round in which its query line was read to the write.
//    A query whose reply never went out (its client left) does not count.
// 4. Times come from the loop's clock (metrics_round()), in microseconds,
//    except where the caller passes one; wall-clock times are read only
//    when a map is loaded.
// 5. Upstreams are counted under the text that named them on the command
//    line; a cache's metrics exist only once metrics_cache_on() was called.
//
// The module owns the counters; nothing here is fatal or logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t METRICS_TABLES_MAX = 256;
constexpr size_t METRICS_LABEL_MAX = 255;
constexpr char METRICS_OTHER[] = "_other";

// A reply's first word, as counted.
enum metrics_result {
	RESULT_OK,
	RESULT_NOTFOUND,
	RESULT_TEMP,
	RESULT_TIMEOUT,
	RESULT_PERM,
	RESULT_OTHER,
	RESULT_COUNT
};
// "ok", "notfound", "temp", "timeout", "perm", "other".
extern const char* const metrics_result_names[RESULT_COUNT];
metrics_result metrics_result_of(std::string_view reply);

// Why a client was closed.
enum metrics_close {
	CLOSE_IDLE,  // to make room for a newcomer
	CLOSE_STUCK, // to make room, having left its replies unread too long
	CLOSE_ERROR, // its socket failed
	CLOSE_EOF,   // it closed its end
	CLOSE_COUNT,
	CLOSE_UNCOUNTED = CLOSE_COUNT, // at exit
};
extern const char* const metrics_close_names[CLOSE_COUNT];

// Histogram bounds in microseconds: 0.5 ms to 10 s; a last bucket holds
// the rest.
constexpr int64_t METRICS_BOUNDS_US[] = {500,     1000,    2500,    5000,    10000,
                                         25000,   50000,   100000,  250000,  500000,
                                         1000000, 2500000, 5000000, 10000000};
constexpr size_t METRICS_BOUNDS = sizeof METRICS_BOUNDS_US / sizeof METRICS_BOUNDS_US[0];

struct metrics_histogram {
	uint64_t buckets[METRICS_BOUNDS + 1] = {}; // not cumulative; the last past 10 s
	uint64_t count = 0;
	int64_t sum_us = 0;
};
void metrics_observe(metrics_histogram* h, int64_t us);
// Adds `from` into `into`.
void metrics_merge(metrics_histogram* into, const metrics_histogram& from);

struct metrics_table {
	std::string name;
	uint64_t queries[RESULT_COUNT] = {};
	metrics_histogram time;
	int64_t map_entries = 0;
	int64_t map_loaded_ms = 0; // wall-clock time of the last load, 0 before
	uint64_t map_faults = 0;
};

struct metrics_upstream {
	std::string name;
	uint64_t queries[RESULT_COUNT] = {};
	bool up = true;
	uint64_t connect_failures = 0;
};

struct metrics_cache {
	bool on = false;
	uint64_t hits = 0, misses = 0, stale = 0, evictions = 0;
	uint64_t entries = 0, bytes = 0;
};

enum metrics_mode { METRICS_MAPS, METRICS_BRIDGE };

struct metrics_state {
	metrics_mode mode = METRICS_MAPS;
	int64_t start_time_ms = 0;         // wall-clock time
	std::vector<metrics_table> tables; // slot 0 is METRICS_OTHER
	uint64_t closed[CLOSE_COUNT] = {};
	size_t clients = 0, client_slots = 0;
	std::vector<metrics_upstream> upstreams;
	metrics_histogram upstream_time;
	metrics_cache cache;
};

// Starts counting afresh for a server of `mode`, started now.
void metrics_begin(metrics_mode mode);
const metrics_state& metrics_now();

// The loop's clock for the round under way (rule 4).
void metrics_round(int64_t now_us);
int64_t metrics_round_us();

// The slot of table `name` (rule 2); `exists` when it may get one now.
size_t metrics_table_slot(std::string_view name, bool exists);
// Counts one query of table slot `slot` (rule 3).
void metrics_query(size_t slot, metrics_result result, int64_t us);

void metrics_clients(size_t clients, size_t slots);
void metrics_client_closed(metrics_close why);

// Map `table` was loaded: it held `before` entries (0 when none was
// loaded) and now holds `entries`.
void metrics_map_loaded(std::string_view table, size_t before, size_t entries);
// Map `table`, which held `before` entries, is gone or failed to load;
// nothing when it held none.
void metrics_map_dropped(std::string_view table, size_t before);
// A fault of the file of `table` was logged; `exists` when the file was
// found, not when looking it up failed.
void metrics_map_fault(std::string_view table, bool exists);

// The upstream named `name` on the command line: its index.
size_t metrics_upstream_add(std::string_view name);
// A query to upstream `u`, asked in the round at `asked_us`, ended in
// this round with `result` (TEMP for the bridge's own failures there).
void metrics_upstream_answered(size_t u, metrics_result result, int64_t asked_us);
// Upstream `u` went down, or answers again (failover.hpp); up at first.
void metrics_upstream_up(size_t u, bool up);
void metrics_upstream_connect_failed(size_t u);

// For the bridge's cache of answers. It calls metrics_cache_on() once,
// when a cache is configured (its families are written only then); for
// each query it looks up, metrics_cache_hit() when a fresh answer served
// it, metrics_cache_stale() when a stale one did, metrics_cache_miss()
// when the upstream had to be asked; metrics_cache_evicted(n) when it
// drops `n` answers, and metrics_cache_size() whenever its size changes.
void metrics_cache_on();
void metrics_cache_hit();
void metrics_cache_miss();
void metrics_cache_stale();
void metrics_cache_evicted(size_t n);
void metrics_cache_size(size_t entries, size_t bytes);
