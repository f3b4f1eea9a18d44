// SPDX-License-Identifier: ISC
// The bridge's cache: see cache.hpp.
#include "tools/serve/cache.hpp"

#include "support/log.hpp"
#include "tools/net/reply.hpp"
#include "tools/serve/metrics.hpp"

namespace
{

size_t cost(const cache_entry& e)
{
	return e.key.size() + e.reply.size() + CACHE_ENTRY_OVERHEAD;
}

// The metrics see the cache's size.
void sized(const cache* c)
{
	metrics_cache_size(c->order.size(), c->bytes);
}

void drop(cache* c, std::list<cache_entry>::iterator it)
{
	c->bytes -= cost(*it);
	c->index.erase(it->key);
	c->order.erase(it);
	sized(c);
}

// Drops the least recently used entries, never the first `keep` (the one
// just renewed, which fits alone), until `entries` more entries of `bytes`
// more bytes fit (rule 5).
void make_room(cache* c, size_t keep, size_t entries, size_t bytes)
{
	while (c->order.size() > keep && (c->order.size() + entries > c->config.max_entries ||
	                                  c->bytes + bytes > c->config.max_bytes)) {
		drop(c, std::prev(c->order.end()));
		c->counts.evicted++;
		metrics_cache_evicted(1);
	}
}

// The entry of `key`, or null; one past its stale window is dropped.
cache_entry* find(cache* c, std::string_view key, int64_t now)
{
	auto at = c->index.find(key);
	if (at == c->index.end())
		return nullptr;
	auto it = at->second;
	if (now - it->kept_at > it->ttl_ms + c->config.stale_ms) {
		drop(c, it);
		return nullptr;
	}
	// Used now: to the front.
	c->order.splice(c->order.begin(), c->order, it);
	return &*it;
}

// The time to live of `reply` to `key`: 0 when it is not kept.
int64_t ttl_of(const cache* c, std::string_view key, std::string_view reply)
{
	std::string_view table = key.substr(0, key.find(' '));
	switch (reply_classify(reply)) {
	case REPLY_OK:
		return cacheconf_positive_ms(c->config, table);
	case REPLY_NOTFOUND:
		return cacheconf_negative_ms(c->config, table);
	case REPLY_FAILURE:
	case REPLY_UNRECOGNIZED:
		break;
	}
	return 0;
}

} // namespace

void cache_open(cache* c, const cache_config& config)
{
	c->config = config;
	c->enabled = cacheconf_enabled(config);
	if (c->enabled)
		metrics_cache_on();
}

bool cache_fresh(cache* c, std::string_view key, int64_t now, std::string* reply)
{
	if (!c->enabled)
		return false;
	cache_entry* e = find(c, key, now);
	if (e == nullptr || now - e->kept_at >= e->ttl_ms) {
		c->counts.misses++;
		metrics_cache_miss();
		return false;
	}
	c->counts.hits++;
	metrics_cache_hit();
	reply->assign(e->reply);
	return true;
}

bool cache_stale(cache* c, std::string_view key, int64_t now, std::string* reply)
{
	if (!c->enabled)
		return false;
	cache_entry* e = find(c, key, now);
	if (e == nullptr)
		return false;
	if (now - e->kept_at >= e->ttl_ms) {
		c->counts.stale++;
		metrics_cache_stale();
		if (c->last_stale == -1 || now - c->last_stale >= CACHE_STALE_NOTE_GAP_MS)
			log_warning(
			        "warn: stale answers: queries that fail upstream are answered "
			        "from expired cache entries, up to %lld s past their time to live",
			        static_cast<long long>(c->config.stale_ms / 1000));
		c->last_stale = now;
	}
	reply->assign(e->reply);
	return true;
}

void cache_put(cache* c, std::string_view key, std::string_view reply, int64_t now)
{
	if (!c->enabled || reply_is_transient(reply))
		return;
	int64_t ttl = ttl_of(c, key, reply);
	size_t need = key.size() + reply.size() + CACHE_ENTRY_OVERHEAD;
	bool keep = ttl > 0 && need <= c->config.max_bytes;
	auto at = c->index.find(key);
	if (at != c->index.end()) {
		auto it = at->second;
		if (!keep) {
			drop(c, it);
			return;
		}
		// Renewed where it is: a refresh allocates nothing, unless its
		// reply grew.
		c->bytes = c->bytes - cost(*it) + need;
		it->reply.assign(reply);
		it->kept_at = now;
		it->ttl_ms = ttl;
		c->order.splice(c->order.begin(), c->order, it);
		make_room(c, 1, 0, 0);
		sized(c);
		return;
	}
	if (!keep)
		return;
	make_room(c, 0, 1, need);
	c->order.push_front({std::string(key), std::string(reply), now, ttl});
	c->index.emplace(c->order.front().key, c->order.begin());
	c->bytes += need;
	sized(c);
}

size_t cache_flush(cache* c)
{
	size_t n = c->order.size();
	c->index.clear();
	c->order.clear();
	c->bytes = 0;
	c->counts.flushed += n;
	sized(c);
	return n;
}
