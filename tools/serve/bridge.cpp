// SPDX-License-Identifier: ISC
// The bridge: see bridge.hpp.
#include "tools/serve/bridge.hpp"

#include "support/log.hpp"
#include "tools/serve/source.hpp"
#include "tools/serve/upconn.hpp"

#include <memory>
#include <unordered_map>

namespace
{

class bridge : public source
{
public:
	bridge(const endpoint& upstream, int64_t timeout_ms) : timeout_ms_(timeout_ms)
	{
		upstream_open(&up_, upstream);
	}

	~bridge() override
	{
		for (auto& [who, c] : conns_)
			upconn_close(c.get());
	}

	bool ask(client* who, std::string_view query, int64_t now, std::string* reply) override
	{
		std::unique_ptr<upconn>& c = conns_[who];
		if (c == nullptr)
			c = std::make_unique<upconn>();
		return settle(c.get(), upconn_ask(c.get(), &up_, query, now, timeout_ms_, reply));
	}

	void client_left(client* who, size_t) override
	{
		auto it = conns_.find(who);
		if (it == conns_.end())
			return;
		upconn_close(it->second.get());
		conns_.erase(it);
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
			    settle(c.get(), upconn_run(c.get(), &up_, mine, now, &reply)))
				answers->push_back({who, std::move(reply)});
		}
	}

	void hangup() override
	{
		log_note("SIGHUP ignored: a bridge has no maps to read again");
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

	upstream up_;
	int64_t timeout_ms_;
	// Each client's connection, from its first query until it leaves.
	std::unordered_map<client*, std::unique_ptr<upconn>> conns_;
	std::vector<size_t> polled_counts_; // poll entries of each connection, in order
	bool fd_shortage_ = false;
};

} // namespace

std::unique_ptr<source> source_bridge(const endpoint& upstream, int64_t timeout_ms)
{
	return std::make_unique<bridge>(upstream, timeout_ms);
}
