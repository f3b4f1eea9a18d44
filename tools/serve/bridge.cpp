// SPDX-License-Identifier: ISC
// The bridge: see bridge.hpp.
#include "tools/serve/bridge.hpp"

#include "support/log.hpp"
#include "tools/net/reply.hpp"
#include "tools/serve/cache.hpp"
#include "tools/serve/failover.hpp"
#include "tools/serve/flight.hpp"
#include "tools/serve/source.hpp"
#include "tools/serve/upconn.hpp"

#include <memory>
#include <unordered_map>

namespace
{

class bridge : public source
{
public:
	bridge(const std::vector<endpoint>& upstreams, int64_t timeout_ms,
	       const cache_config& config)
	    : timeout_ms_(timeout_ms)
	{
		failover_open(&ups_, upstreams);
		cache_open(&cache_, config);
	}

	~bridge() override
	{
		for (auto& [who, c] : conns_)
			upconn_close(c.get());
	}

	bool ask(client* who, std::string_view query, int64_t now, std::string* reply) override
	{
		if (cache_.enabled &&
		    (cache_fresh(&cache_, query, now, reply) ||
		     (failover_all_down(&ups_, now) && cache_stale(&cache_, query, now, reply))))
			return true;
		if (flight* f = flights_find(&flights_, query)) {
			flights_join(&flights_, f, who);
			return false;
		}
		std::unique_ptr<upconn>& c = conns_[who];
		if (c == nullptr)
			c = std::make_unique<upconn>();
		flight* f = flights_start(&flights_, query, who, generation_);
		if (!settle(c.get(), upconn_ask(c.get(), &ups_, query, now, timeout_ms_, reply)))
			return false;
		land(f, c.get(), now, reply);
		flights_land(&flights_, f, &waiters_);
		return true;
	}

	void client_left(client* who, size_t) override
	{
		bool carried;
		client* next = flights_leave(&flights_, who, &carried);
		auto it = conns_.find(who);
		if (it == conns_.end())
			return;
		std::unique_ptr<upconn> mine = std::move(it->second);
		conns_.erase(it);
		if (next == nullptr) {
			upconn_close(mine.get());
			return;
		}
		// The exchange goes on, on the connection it went out on.
		std::unique_ptr<upconn>& theirs = conns_[next];
		if (theirs != nullptr)
			upconn_close(theirs.get());
		theirs = std::move(mine);
	}

	void poll_set(std::vector<pollfd>* fds) override
	{
		polled_counts_.clear();
		for (const auto& [who, c] : conns_)
			polled_counts_.push_back(upconn_poll(c.get(), fds));
	}

	int64_t deadline() const override
	{
		int64_t when = -1;
		for (const auto& [who, c] : conns_) {
			int64_t at = upconn_deadline(c.get());
			if (at != -1 && (when == -1 || at < when))
				when = at;
		}
		return when;
	}

	// The connections are as they were at poll_set(): ask() and
	// client_left() come after run() in a round.
	void run(const pollfd* polled, int64_t now, std::vector<source_answer>* answers) override
	{
		size_t i = 0;
		for (const auto& [who, c] : conns_) {
			const pollfd* mine = polled;
			polled += polled_counts_[i++];
			std::string reply;
			if (mine != polled &&
			    settle(c.get(), upconn_run(c.get(), &ups_, mine, now, &reply)))
				landed(who, c.get(), now, std::move(reply), answers);
		}
	}

	void hangup() override
	{
		if (!cache_.enabled) {
			log_note("SIGHUP ignored: a bridge has no maps to read again");
			return;
		}
		size_t dropped = cache_flush(&cache_);
		generation_++;
		log_note("SIGHUP: cache emptied, %zu entries dropped", dropped);
	}
	size_t fds_per_client() const override
	{
		return ENDPOINT_DIAL_MAX;
	}
	// The second address dialed beside a silent first one.
	size_t fds_per_query() const override
	{
		return ENDPOINT_DIAL_MAX;
	}
	size_t descriptors() const override
	{
		size_t n = 0;
		for (const auto& [who, c] : conns_)
			n += upconn_descriptors(c.get());
		return n;
	}
	bool short_of_descriptors() override
	{
		bool short_of = fd_shortage_;
		fd_shortage_ = false;
		return short_of;
	}

private:
	// Notes a connection's want of descriptors; passes `answered` on.
	bool settle(upconn* c, bool answered)
	{
		fd_shortage_ |= c->short_of_fds;
		c->short_of_fds = false;
		return answered;
	}

	// Rule 2: the reply of flight `f`, carried by `c`, to the cache, or a
	// stale entry in its place.
	void land(const flight* f, const upconn* c, int64_t now, std::string* reply)
	{
		if (!cache_.enabled)
			return;
		if (c->answered_by >= 0 && f->generation == generation_)
			cache_put(&cache_, f->key, *reply, now);
		if (reply_is_transient(*reply))
			cache_stale(&cache_, f->key, now, reply);
	}

	// The flight that `carrier` carries on `c` has its reply: every waiter
	// gets it.
	void landed(client* carrier, const upconn* c, int64_t now, std::string reply,
	            std::vector<source_answer>* answers)
	{
		flight* f = flights_of(&flights_, carrier);
		if (f == nullptr) {
			// Not met: a connection with a query is its flight's carrier's.
			answers->push_back({carrier, std::move(reply)});
			return;
		}
		land(f, c, now, &reply);
		flights_land(&flights_, f, &waiters_);
		for (size_t k = 0; k + 1 < waiters_.size(); k++)
			answers->push_back({waiters_[k], reply});
		answers->push_back({waiters_.back(), std::move(reply)});
	}

	failover ups_;
	int64_t timeout_ms_;
	cache cache_;
	uint64_t generation_ = 0; // of the cache: one more at each flush
	flight_table flights_;
	std::vector<client*> waiters_; // of the flight that landed last
	// Each client's connection, from the first flight it carries until it
	// leaves.
	std::unordered_map<client*, std::unique_ptr<upconn>> conns_;
	std::vector<size_t> polled_counts_; // poll entries of each connection, in order
	bool fd_shortage_ = false;
};

} // namespace

std::unique_ptr<source> source_bridge(const std::vector<endpoint>& upstreams, int64_t timeout_ms,
                                      const cache_config& cache)
{
	return std::make_unique<bridge>(upstreams, timeout_ms, cache);
}

std::unique_ptr<source> source_bridge(const endpoint& upstream, int64_t timeout_ms)
{
	return std::make_unique<bridge>(std::vector<endpoint>{upstream}, timeout_ms,
	                                cache_config{});
}
