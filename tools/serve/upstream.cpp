// SPDX-License-Identifier: ISC
// An upstream and its addresses: see upstream.hpp.
#include "tools/serve/upstream.hpp"

#include "support/log.hpp"
#include "tools/serve/metrics.hpp"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <vector>

// The outcome of a resolution on its own thread, shared with it.
struct upstream_resolution {
	std::mutex lock;
	bool done = false;
	std::vector<endpoint_address> addresses;
	std::string why;
};

namespace
{

// Name resolutions start at least this far apart.
constexpr int64_t UPSTREAM_RESOLVE_INTERVAL_MS = 1000;

void set_addresses(upstream* u, std::vector<endpoint_address> addresses)
{
	u->addresses = std::make_shared<const std::vector<endpoint_address>>(std::move(addresses));
	u->preferred = 0;
}

// Starts resolving the name again, unless that cannot change anything, is
// under way, or was done less than a second ago.
void resolve_again(upstream* u, int64_t now)
{
	if (!endpoint_has_name(u->ep) || u->resolving ||
	    now - u->resolved_at < UPSTREAM_RESOLVE_INTERVAL_MS)
		return;
	u->resolved_at = now;
	auto job = std::make_shared<upstream_resolution>();
	// The thread takes no signal: they stay with the poll loop.
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	try {
		std::thread([job, ep = u->ep] {
			std::vector<endpoint_address> addresses;
			std::string why;
			endpoint_resolve(ep, &addresses, &why);
			std::lock_guard<std::mutex> g(job->lock);
			job->addresses = std::move(addresses);
			job->why = std::move(why);
			job->done = true;
		}).detach();
		u->resolving = job;
	} catch (const std::system_error& e) {
		log_warning("warn: upstream %s: cannot resolve again: %s", u->ep.text.c_str(),
		            e.what());
	}
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Takes the addresses of a finished resolution; a failed one leaves the
// known addresses as they were.
void take_resolution(upstream* u)
{
	if (!u->resolving)
		return;
	std::shared_ptr<upstream_resolution> job = u->resolving;
	std::lock_guard<std::mutex> g(job->lock);
	if (!job->done)
		return;
	u->resolving.reset();
	if (job->addresses.empty()) {
		log_warning("warn: upstream %s: %s", u->ep.text.c_str(), job->why.c_str());
		if (u->addresses->empty())
			u->unresolved = job->why;
		return;
	}
	set_addresses(u, std::move(job->addresses));
	u->unresolved.clear();
}

} // namespace

void upstream_open(upstream* u, const endpoint& ep)
{
	u->ep = ep;
	u->metrics = metrics_upstream_add(ep.text);
	std::vector<endpoint_address> addresses;
	bool resolved = endpoint_resolve(ep, &addresses, &u->unresolved);
	set_addresses(u, std::move(addresses));
	if (!resolved)
		log_warning("warn: upstream %s: %s", u->ep.text.c_str(), u->unresolved.c_str());
}

bool upstream_addresses(upstream* u, int64_t now, endpoint_addresses* list, size_t* first,
                        std::string* why)
{
	take_resolution(u);
	if (u->addresses->empty()) {
		metrics_upstream_connect_failed(u->metrics);
		resolve_again(u, now);
		*why = u->unresolved;
		return false;
	}
	*list = u->addresses;
	*first = u->preferred;
	return true;
}

void upstream_connected(upstream* u, const endpoint_addresses& list, size_t index)
{
	// The list may have been replaced since dialing began.
	if (list == u->addresses)
		u->preferred = index;
}

void upstream_dial_failed(upstream* u, int error, int64_t now)
{
	metrics_upstream_connect_failed(u->metrics);
	// Every address refused: perhaps the name points elsewhere now.
	if (error != ETIMEDOUT && error != EAGAIN && error != EMFILE)
		resolve_again(u, now);
}
