// SPDX-License-Identifier: ISC
// The bridge's upstreams and which are up: see failover.hpp.
#include "tools/serve/failover.hpp"

#include "support/log.hpp"
#include "tools/serve/metrics.hpp"

#include <algorithm>

namespace
{

bool is_up(const upstream_health& h, int64_t now)
{
	return !h.down || now >= h.retry_at;
}

bool was_tried(failover_tried tried, size_t i)
{
	return (tried >> i) & 1;
}

} // namespace

void failover_open(failover* f, const std::vector<endpoint>& endpoints)
{
	f->ups.resize(endpoints.size());
	for (size_t i = 0; i < endpoints.size(); i++)
		upstream_open(&f->ups[i].up, endpoints[i]);
}

int failover_pick(const failover* f, failover_tried tried, int64_t now)
{
	for (size_t i = 0; i < f->ups.size(); i++)
		if (!was_tried(tried, i) && is_up(f->ups[i].health, now))
			return static_cast<int>(i);
	if (tried != 0)
		return -1;
	int first = 0;
	for (size_t i = 1; i < f->ups.size(); i++)
		if (f->ups[i].health.retry_at < f->ups[static_cast<size_t>(first)].health.retry_at)
			first = static_cast<int>(i);
	return first;
}

bool failover_all_down(const failover* f, int64_t now)
{
	return std::none_of(f->ups.begin(), f->ups.end(),
	                    [now](const failover_upstream& u) { return is_up(u.health, now); });
}

int64_t failover_connect_deadline(const failover* f, failover_tried tried, int64_t now,
                                  int64_t deadline)
{
	int64_t left = 0;
	for (size_t i = 0; i < f->ups.size(); i++)
		left += !was_tried(tried, i) && is_up(f->ups[i].health, now);
	if (left <= 1)
		return deadline;
	return now + (deadline - now) / left;
}

void failover_down(failover* f, size_t i, const std::string& why, int64_t now)
{
	failover_upstream& u = f->ups[i];
	upstream_health& h = u.health;
	if (!h.down) {
		h.down = true;
		h.downs++;
		h.backoff_ms = FAILOVER_BACKOFF_FIRST_MS;
		log_warning("warn: upstream %s is down: %s", u.up.ep.text.c_str(), why.c_str());
		metrics_upstream_up(u.up.metrics, false);
	} else if (now >= h.retry_at) {
		h.backoff_ms = std::min(h.backoff_ms * 2, FAILOVER_BACKOFF_MAX_MS);
	} else {
		return;
	}
	h.retry_at = now + h.backoff_ms;
}

void failover_answered(failover* f, size_t i, uint64_t downs_then)
{
	failover_upstream& u = f->ups[i];
	if (!u.health.down || downs_then != u.health.downs)
		return;
	u.health.down = false;
	u.health.retry_at = 0;
	u.health.backoff_ms = 0;
	log_note("upstream %s answers again", u.up.ep.text.c_str());
	metrics_upstream_up(u.up.metrics, true);
}
