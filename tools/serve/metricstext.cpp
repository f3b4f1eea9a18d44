// SPDX-License-Identifier: ISC
// What the metrics are shown as: see metricstext.hpp.
#include "tools/serve/metricstext.hpp"

#include "tools/serve/promtext.hpp"

#include <cinttypes>
#include <cstdio>

namespace
{

const char COUNTER[] = "counter";
const char GAUGE[] = "gauge";

// Seconds since the epoch, to the millisecond.
std::string wall_time(int64_t ms)
{
	return prom_micros(ms * 1000);
}

// Milliseconds, to the microsecond.
std::string millis(int64_t us)
{
	char text[32];
	snprintf(text, sizeof text, "%" PRId64 ".%03d", us / 1000, static_cast<int>(us % 1000));
	return text;
}

void queries(prom_text* p, const metrics_state& s)
{
	const char name[] = "smap_serve_queries_total";
	p->family(name, COUNTER, "Queries answered, by table and by the first word of the reply.");
	for (const metrics_table& t : s.tables)
		for (int r = 0; r < RESULT_COUNT; r++)
			p->sample(name, {{"table", t.name}, {"result", metrics_result_names[r]}},
			          t.queries[r]);
	metrics_histogram all;
	for (const metrics_table& t : s.tables)
		metrics_merge(&all, t.time);
	const char time[] = "smap_serve_query_duration_seconds";
	p->family(time, "histogram", "Time from a query line read to its reply written.");
	p->histogram(time, METRICS_BOUNDS_US, METRICS_BOUNDS, all.buckets, all.sum_us);
}

void clients(prom_text* p, const metrics_state& s)
{
	p->family("smap_serve_clients", GAUGE, "Clients connected.");
	p->sample("smap_serve_clients", {}, s.clients);
	p->family("smap_serve_client_slots", GAUGE, "Clients that may be connected at once.");
	p->sample("smap_serve_client_slots", {}, s.client_slots);
	const char closed[] = "smap_serve_clients_closed_total";
	p->family(closed, COUNTER, "Clients closed, by reason.");
	for (int r = 0; r < CLOSE_COUNT; r++)
		p->sample(closed, {{"reason", metrics_close_names[r]}}, s.closed[r]);
}

void maps(prom_text* p, const metrics_state& s)
{
	const char entries[] = "smap_serve_map_entries";
	p->family(entries, GAUGE, "Entries of the map loaded for each table.");
	for (const metrics_table& t : s.tables)
		p->sample(entries, {{"table", t.name}}, std::to_string(t.map_entries));
	const char loaded[] = "smap_serve_map_loaded_timestamp_seconds";
	p->family(loaded, GAUGE, "When each table's map was last loaded; 0 before.");
	for (const metrics_table& t : s.tables)
		p->sample(loaded, {{"table", t.name}}, wall_time(t.map_loaded_ms));
	const char faults[] = "smap_serve_map_faults_total";
	p->family(faults, COUNTER, "Faults of each table's file logged.");
	for (const metrics_table& t : s.tables)
		p->sample(faults, {{"table", t.name}}, t.map_faults);
}

void upstreams(prom_text* p, const metrics_state& s)
{
	const char queries[] = "smap_serve_upstream_queries_total";
	p->family(queries, COUNTER,
	          "Queries to each upstream, by the first word of the answer they got.");
	for (const metrics_upstream& u : s.upstreams)
		for (int r = 0; r < RESULT_COUNT; r++)
			p->sample(queries,
			          {{"upstream", u.name}, {"result", metrics_result_names[r]}},
			          u.queries[r]);
	const char up[] = "smap_serve_upstream_up";
	p->family(up, GAUGE, "1 when the upstream answered the last query it was asked, else 0.");
	for (const metrics_upstream& u : s.upstreams)
		p->sample(up, {{"upstream", u.name}}, u.up ? "1" : "0");
	const char failed[] = "smap_serve_upstream_connect_failures_total";
	p->family(failed, COUNTER, "Connections to each upstream that could not be made.");
	for (const metrics_upstream& u : s.upstreams)
		p->sample(failed, {{"upstream", u.name}}, u.connect_failures);
	const char time[] = "smap_serve_upstream_duration_seconds";
	p->family(time, "histogram", "Time from a query asked of an upstream to its answer.");
	p->histogram(time, METRICS_BOUNDS_US, METRICS_BOUNDS, s.upstream_time.buckets,
	             s.upstream_time.sum_us);
}

void cache(prom_text* p, const metrics_cache& c)
{
	const struct {
		const char* name;
		const char* type;
		const char* help;
		uint64_t value;
	} rows[] = {
	        {"smap_serve_cache_hits_total", COUNTER, "Queries answered from the cache.",
	         c.hits},
	        {"smap_serve_cache_misses_total", COUNTER, "Queries the cache could not answer.",
	         c.misses},
	        {"smap_serve_cache_stale_total", COUNTER,
	         "Queries answered from the cache with a stale answer.", c.stale},
	        {"smap_serve_cache_evictions_total", COUNTER, "Answers evicted from the cache.",
	         c.evictions},
	        {"smap_serve_cache_entries", GAUGE, "Answers in the cache.", c.entries},
	        {"smap_serve_cache_bytes", GAUGE, "Bytes of the answers in the cache.", c.bytes},
	};
	for (const auto& row : rows) {
		p->family(row.name, row.type, row.help);
		p->sample(row.name, {}, row.value);
	}
}

// "N queries: ok N, ...; mean M ms, p99 <= B ms"
std::string summary_of(const uint64_t* counts, const metrics_histogram& h)
{
	uint64_t total = 0;
	for (int r = 0; r < RESULT_COUNT; r++)
		total += counts[r];
	std::string line = std::to_string(total) + " queries:";
	for (int r = 0; r < RESULT_COUNT; r++)
		line += std::string(r == 0 ? " " : ", ") + metrics_result_names[r] + " " +
		        std::to_string(counts[r]);
	if (h.count == 0)
		return line + "; mean -, p99 -";
	int64_t p99 = metrics_percentile_bound(h, 990);
	// The bound in milliseconds: written as seconds, times 1000.
	std::string bound =
	        prom_micros((p99 == -1 ? METRICS_BOUNDS_US[METRICS_BOUNDS - 1] : p99) * 1000);
	return line + "; mean " + millis(h.sum_us / static_cast<int64_t>(h.count)) + " ms, p99 " +
	       (p99 == -1 ? "> " : "<= ") + bound + " ms";
}

} // namespace

void metrics_text(const metrics_state& s, std::string* out)
{
	prom_text p(out);
	queries(&p, s);
	clients(&p, s);
	if (s.mode == METRICS_MAPS)
		maps(&p, s);
	else
		upstreams(&p, s);
	if (s.cache.on)
		cache(&p, s.cache);
	p.family("smap_serve_start_time_seconds", GAUGE,
	         "When the server started, since the epoch.");
	p.sample("smap_serve_start_time_seconds", {}, wall_time(s.start_time_ms));
	p.family("smap_serve_build_info", GAUGE, "The server's version, as a label; always 1.");
	p.sample("smap_serve_build_info", {{"version", SMAP_VERSION}}, "1");
}

int64_t metrics_percentile_bound(const metrics_histogram& h, unsigned permille)
{
	if (h.count == 0)
		return 0;
	// The rank of the observation, from 1, rounded up.
	uint64_t rank = (h.count * permille + 999) / 1000;
	rank = rank == 0 ? 1 : rank;
	uint64_t seen = 0;
	for (size_t i = 0; i < METRICS_BOUNDS; i++) {
		seen += h.buckets[i];
		if (seen >= rank)
			return METRICS_BOUNDS_US[i];
	}
	return -1;
}

std::vector<std::string> metrics_summary(const metrics_state& s)
{
	uint64_t counts[RESULT_COUNT] = {};
	metrics_histogram all;
	for (const metrics_table& t : s.tables) {
		for (int r = 0; r < RESULT_COUNT; r++)
			counts[r] += t.queries[r];
		metrics_merge(&all, t.time);
	}
	std::string totals = "summary: " + summary_of(counts, all) + "; clients " +
	                     std::to_string(s.clients) + " of " + std::to_string(s.client_slots) +
	                     ", closed";
	for (int r = 0; r < CLOSE_COUNT; r++)
		totals += std::string(r == 0 ? " " : ", ") + metrics_close_names[r] + " " +
		          std::to_string(s.closed[r]);
	std::vector<std::string> lines = {totals};
	for (const metrics_table& t : s.tables)
		lines.push_back("summary: table " + t.name + ": " + summary_of(t.queries, t.time));
	return lines;
}
