// SPDX-License-Identifier: ISC
// Metrics: see metrics.hpp.
#include "tools/serve/metrics.hpp"

#include "tools/net/reply.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <unordered_map>

const char* const metrics_result_names[RESULT_COUNT] = {"ok",      "notfound", "temp",
                                                        "timeout", "perm",     "other"};
const char* const metrics_close_names[CLOSE_COUNT] = {"idle", "stuck", "error", "eof"};

namespace
{

// Hashes a name without making a string of it.
struct name_hash {
	using is_transparent = void;
	size_t operator()(std::string_view name) const
	{
		return std::hash<std::string_view>()(name);
	}
};

// Milliseconds since the epoch.
int64_t wall_ms()
{
	timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Nothing counted yet, slot 0 in place.
metrics_state fresh(metrics_mode mode)
{
	metrics_state s;
	s.mode = mode;
	s.start_time_ms = wall_ms();
	s.tables.resize(1);
	s.tables[0].name = METRICS_OTHER;
	return s;
}

metrics_state state = fresh(METRICS_MAPS);
std::unordered_map<std::string, size_t, name_hash, std::equal_to<>> slots;
int64_t round_us;

// Whether `name` is valid UTF-8 with no control character (rule 2).
bool printable_utf8(std::string_view name)
{
	for (size_t i = 0; i < name.size();) {
		unsigned char c = static_cast<unsigned char>(name[i]);
		size_t len = c < 0x80         ? 1
		             : (c >> 5) == 6  ? 2
		             : (c >> 4) == 14 ? 3
		             : (c >> 3) == 30 ? 4
		                              : 0;
		if (len == 0 || i + len > name.size() || c < 0x20 || c == 0x7f)
			return false;
		uint32_t cp = len == 1 ? c : c & (0x7f >> len);
		for (size_t k = 1; k < len; k++) {
			unsigned char cont = static_cast<unsigned char>(name[i + k]);
			if ((cont >> 6) != 2)
				return false;
			cp = cp << 6 | (cont & 0x3f);
		}
		// Overlong forms, surrogates, beyond Unicode, C1 controls.
		static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
		if (cp < least[len] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff ||
		    (cp >= 0x80 && cp < 0xa0))
			return false;
		i += len;
	}
	return true;
}

} // namespace

metrics_result metrics_result_of(std::string_view reply)
{
	std::string_view word = reply_status_word(reply);
	static const std::pair<const char*, metrics_result> words[] = {
	        {"OK", RESULT_OK},           {"NOTFOUND", RESULT_NOTFOUND}, {"TEMP", RESULT_TEMP},
	        {"TIMEOUT", RESULT_TIMEOUT}, {"PERM", RESULT_PERM},
	};
	for (const auto& [text, result] : words)
		if (word.size() == strlen(text) && strncasecmp(word.data(), text, word.size()) == 0)
			return result;
	return RESULT_OTHER;
}

void metrics_observe(metrics_histogram* h, int64_t us)
{
	us = std::max<int64_t>(us, 0);
	size_t i = 0;
	while (i < METRICS_BOUNDS && us > METRICS_BOUNDS_US[i])
		i++;
	h->buckets[i]++;
	h->count++;
	h->sum_us += us;
}

void metrics_merge(metrics_histogram* into, const metrics_histogram& from)
{
	for (size_t i = 0; i <= METRICS_BOUNDS; i++)
		into->buckets[i] += from.buckets[i];
	into->count += from.count;
	into->sum_us += from.sum_us;
}

void metrics_begin(metrics_mode mode)
{
	state = fresh(mode);
	slots.clear();
}

const metrics_state& metrics_now()
{
	return state;
}

void metrics_round(int64_t now_us)
{
	round_us = now_us;
}

int64_t metrics_round_us()
{
	return round_us;
}

size_t metrics_table_slot(std::string_view name, bool exists)
{
	auto it = slots.find(name);
	if (it != slots.end())
		return it->second;
	if (!exists || state.tables.size() > METRICS_TABLES_MAX || name.empty() ||
	    name.size() > METRICS_LABEL_MAX || name == METRICS_OTHER || !printable_utf8(name))
		return 0;
	size_t slot = state.tables.size();
	state.tables.emplace_back();
	state.tables.back().name = name;
	slots.emplace(name, slot);
	return slot;
}

void metrics_query(size_t slot, metrics_result result, int64_t us)
{
	metrics_table& t = state.tables[slot];
	t.queries[result]++;
	metrics_observe(&t.time, us);
}

void metrics_clients(size_t clients, size_t slots_now)
{
	state.clients = clients;
	state.client_slots = slots_now;
}

void metrics_client_closed(metrics_close why)
{
	if (why < CLOSE_COUNT)
		state.closed[why]++;
}

void metrics_map_loaded(std::string_view table, size_t before, size_t entries)
{
	metrics_table& t = state.tables[metrics_table_slot(table, true)];
	t.map_entries += static_cast<int64_t>(entries) - static_cast<int64_t>(before);
	t.map_loaded_ms = wall_ms();
}

void metrics_map_dropped(std::string_view table, size_t before)
{
	if (before == 0)
		return;
	state.tables[metrics_table_slot(table, true)].map_entries -= static_cast<int64_t>(before);
}

void metrics_map_fault(std::string_view table, bool exists)
{
	state.tables[metrics_table_slot(table, exists)].map_faults++;
}

size_t metrics_upstream_add(std::string_view name)
{
	state.upstreams.emplace_back();
	state.upstreams.back().name = name;
	return state.upstreams.size() - 1;
}

void metrics_upstream_answered(size_t u, metrics_result result, int64_t asked_us)
{
	state.upstreams[u].queries[result]++;
	metrics_observe(&state.upstream_time, round_us - asked_us);
}

void metrics_upstream_up(size_t u, bool up)
{
	state.upstreams[u].up = up;
}

void metrics_upstream_connect_failed(size_t u)
{
	state.upstreams[u].connect_failures++;
}

void metrics_cache_on()
{
	state.cache.on = true;
}

void metrics_cache_hit()
{
	state.cache.hits++;
}

void metrics_cache_miss()
{
	state.cache.misses++;
}

void metrics_cache_stale()
{
	state.cache.stale++;
}

void metrics_cache_evicted(size_t n)
{
	state.cache.evictions += n;
}

void metrics_cache_size(size_t entries, size_t bytes)
{
	state.cache.entries = entries;
	state.cache.bytes = bytes;
}
