// SPDX-License-Identifier: ISC
// Netstring bridge: see bridge.hpp.
#include "tools/serve/bridge.hpp"

#include "support/log.hpp"
#include "tools/net/reply.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Name resolutions start at least this far apart.
constexpr int64_t BRIDGE_RESOLVE_INTERVAL_MS = 1000;

// The outcome of a resolution on its own thread, shared with it.
struct resolution {
	std::mutex lock;
	bool done = false;
	std::vector<endpoint_address> addresses;
	std::string why;
};

endpoint bridge_upstream;
int64_t bridge_timeout_ms;
endpoint_addresses bridge_addresses;
std::string bridge_unresolved; // why bridge_addresses is empty
size_t bridge_preferred;       // the address to try first
std::shared_ptr<resolution> bridge_resolving;
int64_t bridge_resolved_at;
bool bridge_fd_shortage; // a connection found no descriptor

const char* upstream_text()
{
	return bridge_upstream.text.c_str();
}

// Starts resolving the upstream's name again, unless that cannot change
// anything, is under way, or was done less than a second ago.
void resolve_again(int64_t now)
{
	if (!endpoint_has_name(bridge_upstream) || bridge_resolving ||
	    now - bridge_resolved_at < BRIDGE_RESOLVE_INTERVAL_MS)
		return;
	bridge_resolved_at = now;
	auto job = std::make_shared<resolution>();
	// The thread takes no signal: they stay with the poll loop.
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	try {
		std::thread([job, upstream = bridge_upstream] {
			std::vector<endpoint_address> addresses;
			std::string why;
			endpoint_resolve(upstream, &addresses, &why);
			std::lock_guard<std::mutex> g(job->lock);
			job->addresses = std::move(addresses);
			job->why = std::move(why);
			job->done = true;
		}).detach();
		bridge_resolving = job;
	} catch (const std::system_error& e) {
		log_warning("warn: upstream %s: cannot resolve again: %s", upstream_text(),
		            e.what());
	}
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Takes the addresses of a finished resolution; a failed one leaves the
// known addresses as they were.
void take_resolution()
{
	if (!bridge_resolving)
		return;
	std::shared_ptr<resolution> job = bridge_resolving;
	std::lock_guard<std::mutex> g(job->lock);
	if (!job->done)
		return;
	bridge_resolving.reset();
	if (job->addresses.empty()) {
		log_warning("warn: upstream %s: %s", upstream_text(), job->why.c_str());
		if (bridge_addresses->empty())
			bridge_unresolved = job->why;
		return;
	}
	bridge_addresses = std::make_shared<const std::vector<endpoint_address>>(
	        std::move(job->addresses));
	bridge_preferred = 0;
	bridge_unresolved.clear();
}

void drop_connection(bridge_conn* c)
{
	if (c->fd != -1)
		close(c->fd);
	c->fd = -1;
	if (c->connecting)
		endpoint_dial_abort(&c->dial);
	c->connecting = false;
	c->generation++;
}

// Ends the query in flight with `reply`.
bool answer(bridge_conn* c, std::string_view text, std::string* reply)
{
	c->busy = false;
	c->request.clear();
	reply->assign(text);
	return true;
}

bool fail(bridge_conn* c, const std::string& why, std::string* reply)
{
	log_warning("warn: upstream %s: %s", upstream_text(), why.c_str());
	drop_connection(c);
	return answer(c, "TEMP upstream " + bridge_upstream.text + ": " + why, reply);
}

bool send_more(bridge_conn* c, int64_t now, std::string* reply);

// Sends the query in flight on the connection.
bool exchange(bridge_conn* c, int64_t now, std::string* reply)
{
	c->sent = 0;
	c->replying = false;
	ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
	return send_more(c, now, reply);
}

// Takes the outcome of dialing; a new connection carries the query at
// once.
bool dialed(bridge_conn* c, endpoint_dial_result result, const endpoint_dialed& out,
            int64_t now, std::string* reply)
{
	// The caller may close idle clients to free descriptors.
	bridge_fd_shortage |= c->dial.short_of_fds;
	c->dial.short_of_fds = false;
	if (result == ENDPOINT_DIAL_PENDING)
		return false;
	c->connecting = false;
	if (result == ENDPOINT_DIAL_FAILED) {
		// Every address refused: perhaps the name points elsewhere now.
		if (out.error != ETIMEDOUT && out.error != EAGAIN && out.error != EMFILE)
			resolve_again(now);
		const char* why = out.error == ETIMEDOUT ? "timed out" : strerror(out.error);
		return fail(c, std::string("cannot connect: ") + why, reply);
	}
	c->fd = out.fd;
	c->reused = false;
	// The list may have been replaced since dialing began.
	if (c->dial.addresses == bridge_addresses)
		bridge_preferred = out.address;
	return exchange(c, now, reply);
}

// Opens a new connection for the query in flight. Returns true when that
// already failed and the query is answered.
bool open_connection(bridge_conn* c, int64_t now, std::string* reply)
{
	take_resolution();
	if (bridge_addresses->empty()) {
		resolve_again(now);
		return fail(c, bridge_unresolved, reply);
	}
	c->connecting = true;
	c->generation++;
	endpoint_dialed out;
	endpoint_dial_result result = endpoint_dial_start(&c->dial, bridge_addresses,
	                                                  bridge_preferred, now, c->deadline, &out);
	return dialed(c, result, out, now, reply);
}

// The connection was lost or fell out of step during an exchange. The
// query goes out once more on a new connection, within its bound; a
// failure that the upstream cannot have seen the query for (`unread`, on
// a connection used before) does not count.
bool lost(bridge_conn* c, const char* why, bool unread, int64_t now, std::string* reply)
{
	bool free_retry = c->reused && unread;
	drop_connection(c);
	if (!free_retry)
		c->failures++;
	if (c->failures >= 2 || now >= c->deadline)
		return fail(c, why, reply);
	log_warning("warn: upstream %s: %s, reconnecting", upstream_text(), why);
	return open_connection(c, now, reply);
}

// Turns a complete netstring reply into a reply line.
bool finish(bridge_conn* c, int64_t now, std::string* reply)
{
	c->idle_since = now;
	const std::string& p = c->reply.payload;
	if (p.find('\n') != std::string::npos)
		return fail(c, "reply contains a newline", reply);
	if (p.find('\0') != std::string::npos)
		return fail(c, "reply contains a NUL byte", reply);
	if (reply_is_bare_notfound(p))
		return answer(c, "NOTFOUND ", reply);
	return answer(c, p, reply);
}

bool receive(bridge_conn* c, int64_t now, std::string* reply)
{
	char chunk[16384];
	ssize_t n = recv(c->fd, chunk, sizeof chunk, MSG_DONTWAIT);
	if (n == 0)
		return lost(c, "connection closed", false, now, reply);
	if (n < 0) {
		if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
			return false;
		// A local socket is reset only when its peer closed it with bytes
		// unread: before any reply, those are the query's.
		if (errno == ECONNRESET || errno == EPIPE)
			return lost(c, "connection closed",
			            errno == ECONNRESET && !c->replying &&
			                    bridge_upstream.kind == ENDPOINT_UNIX,
			            now, reply);
		return lost(c, strerror(errno), false, now, reply);
	}
	c->replying = true;
	size_t used = 0;
	ns_status status = ns_decode(&c->reply, chunk, static_cast<size_t>(n), &used);
	switch (status) {
	case NS_PARTIAL:
		return false;
	case NS_COMPLETE:
		// More than the reply: the stream is out of step, and the first
		// netstring may as well be a late answer to something else.
		if (used < static_cast<size_t>(n))
			return lost(c, "sent more than one reply", false, now, reply);
		return finish(c, now, reply);
	case NS_TOO_LARGE:
		return fail(c, "reply exceeds " + std::to_string(SMAP_REPLY_MAX) + " bytes", reply);
	case NS_BAD_LENGTH:
	case NS_NO_COMMA:
		return fail(c, ns_status_text(status), reply);
	}
	return false;
}

// Sends what the socket takes of the query; the rest waits for POLLOUT.
bool send_more(bridge_conn* c, int64_t now, std::string* reply)
{
	ssize_t n = send(c->fd, c->request.data() + c->sent, c->request.size() - c->sent,
	                 MSG_DONTWAIT | MSG_NOSIGNAL);
	if (n >= 0) {
		c->sent += static_cast<size_t>(n);
		return false;
	}
	if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
		return false;
	// Refused before any byte went out: the upstream never saw the query.
	if (errno == EPIPE || errno == ECONNRESET)
		return lost(c, "connection closed", c->sent == 0, now, reply);
	return lost(c, strerror(errno), false, now, reply);
}

// True when the idle connection can carry the next query: the upstream
// has neither sent anything unasked nor closed it.
bool idle_usable(const bridge_conn* c)
{
	char byte;
	ssize_t n = recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
	if (n > 0)
		log_warning("warn: upstream %s: sent data nobody asked for", upstream_text());
	return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

} // namespace

void bridge_setup(const endpoint& upstream, int64_t timeout_ms)
{
	bridge_upstream = upstream;
	bridge_timeout_ms = timeout_ms;
	std::vector<endpoint_address> addresses;
	bool resolved = endpoint_resolve(upstream, &addresses, &bridge_unresolved);
	bridge_addresses = std::make_shared<const std::vector<endpoint_address>>(std::move(addresses));
	if (!resolved)
		log_warning("warn: upstream %s: %s", upstream_text(), bridge_unresolved.c_str());
}

bool bridge_start(bridge_conn* c, std::string_view query, int64_t now, std::string* reply)
{
	c->busy = true;
	c->failures = 0;
	c->deadline = now + bridge_timeout_ms;
	c->request.clear();
	netstring_append(&c->request, query);
	// The idle limit is checked first: a connection past it is closed
	// without a look.
	if (c->fd != -1 && (now - c->idle_since >= BRIDGE_IDLE_MS || !idle_usable(c)))
		drop_connection(c);
	if (c->fd == -1)
		return open_connection(c, now, reply);
	c->reused = true;
	return exchange(c, now, reply);
}

void bridge_poll(const bridge_conn* c, pollfd* entries)
{
	if (c->connecting) {
		endpoint_dial_poll(&c->dial, entries);
		return;
	}
	short events = 0;
	if (c->fd != -1 && !c->busy)
		events = POLLIN; // an idle connection: watch for the upstream closing it
	else if (c->fd != -1)
		events = c->sent < c->request.size() ? (POLLIN | POLLOUT) : POLLIN;
	entries[0] = {events != 0 ? c->fd : -1, events, 0};
	for (int i = 1; i < BRIDGE_POLL_FDS; i++)
		entries[i] = {-1, 0, 0};
}

int64_t bridge_deadline(const bridge_conn* c)
{
	// No wake-up for the idle limit: a timer armed in every poll() between
	// two lookups would cost each lookup. The limit is applied when the
	// next query comes, or when the loop runs for anything else.
	if (!c->busy)
		return -1;
	return c->connecting ? endpoint_dial_wake(&c->dial) : c->deadline;
}

bool bridge_handle(bridge_conn* c, const pollfd* polled, int64_t now, std::string* reply)
{
	short revents = polled[0].revents;
	if (!c->busy) {
		// Whatever happens on an idle connection ends it (the check logs
		// unasked bytes), and so does the idle limit.
		if (c->fd != -1 && revents != 0)
			idle_usable(c);
		if (c->fd != -1 && (revents != 0 || now - c->idle_since >= BRIDGE_IDLE_MS))
			drop_connection(c);
		return false;
	}
	if (c->connecting) {
		endpoint_dialed out;
		return dialed(c, endpoint_dial_step(&c->dial, polled, now, &out), out, now, reply);
	}
	// A failed send may have replaced the connection: the poll result
	// then belongs to the old one.
	unsigned generation = c->generation;
	if ((revents & POLLOUT) && c->sent < c->request.size() && send_more(c, now, reply))
		return true;
	if (c->generation == generation && (revents & (POLLIN | POLLHUP | POLLERR)) &&
	    receive(c, now, reply))
		return true;
	if (c->generation != generation)
		return false;
	if (now >= c->deadline)
		return fail(c, "timed out", reply);
	return false;
}

void bridge_close(bridge_conn* c)
{
	drop_connection(c);
	c->busy = false;
}

bool bridge_short_of_descriptors()
{
	bool short_of = bridge_fd_shortage;
	bridge_fd_shortage = false;
	return short_of;
}

size_t bridge_descriptors(const bridge_conn* c)
{
	size_t n = c->fd != -1;
	for (const endpoint_dial_slot& s : c->dial.slots)
		n += s.fd != -1;
	return n;
}
