// SPDX-License-Identifier: ISC
// The maps as a source of answers: see mapsource.hpp.
#include "tools/serve/mapsource.hpp"

#include "support/log.hpp"
#include "tools/serve/maps.hpp"

#include <algorithm>

namespace
{

class map_source : public source
{
public:
	explicit map_source(const char* dir)
	{
		maps_open(dir);
	}

	bool ask(client* who, std::string_view query, int64_t now, std::string* reply) override
	{
		if (answer(query, false, now, reply))
			return true;
		waits_.push_back({who, std::string(query), now});
		return false;
	}

	void client_left(client* who, size_t) override
	{
		std::erase_if(waits_, [who](const wait& w) { return w.who == who; });
	}

	void poll_set(std::vector<pollfd>*) override {}

	int64_t deadline() const override
	{
		if (maps_busy())
			return 0;
		int64_t when = -1;
		for (const wait& w : waits_)
			if (when == -1 || w.since + maps_wait_ms() < when)
				when = w.since + maps_wait_ms();
		return when;
	}

	// Loads go on a step; a query waiting for its table is asked again
	// when a load has ended, and for the last time once it has waited
	// maps_wait_ms().
	void run(const pollfd*, int64_t now, std::vector<source_answer>* answers) override
	{
		bool load_ended = maps_work();
		std::erase_if(waits_, [&](const wait& w) {
			bool give_up = now - w.since >= maps_wait_ms();
			std::string reply;
			if ((!load_ended && !give_up) || !answer(w.query, give_up, now, &reply))
				return false;
			answers->push_back({w.who, std::move(reply)});
			return true;
		});
	}

	void hangup() override
	{
		log_note("SIGHUP: every map is read again at its next query");
		maps_reload();
	}

	size_t fds_per_client() const override
	{
		return 0;
	}
	// A map file read for its query.
	size_t fds_per_query() const override
	{
		return 1;
	}
	// The directory and the loads are in the table's reserve; an index
	// keeps no descriptor once mapped.
	size_t descriptors() const override
	{
		return 0;
	}
	bool short_of_descriptors() override
	{
		return false;
	}

private:
	struct wait {
		client* who;
		std::string query;
		int64_t since;
	};

	static bool answer(std::string_view query, bool give_up, int64_t now, std::string* reply)
	{
		size_t blank = query.find(' ');
		return maps_answer(query.substr(0, blank), query.substr(blank + 1), give_up, now,
		                   reply);
	}

	std::vector<wait> waits_;
};

} // namespace

std::unique_ptr<source> source_maps(const char* dir)
{
	return std::make_unique<map_source>(dir);
}
