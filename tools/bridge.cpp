// SPDX-License-Identifier: ISC
// Netstring bridge: see bridge.hpp.
#include "tools/bridge.hpp"

#include "support/log.hpp"
#include "tools/reply.hpp"

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

// A connect refused for a full listen queue is tried again after this.
constexpr int64_t BRIDGE_RETRY_MS = 10;
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
std::vector<endpoint_address> bridge_addresses;
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
		if (bridge_addresses.empty())
			bridge_unresolved = job->why;
		return;
	}
	bridge_addresses = std::move(job->addresses);
	bridge_preferred = 0;
	bridge_unresolved.clear();
}

void drop_connection(bridge_conn* c)
{
	if (c->fd != -1)
		close(c->fd);
	c->fd = -1;
	c->connecting = false;
	c->retry_at = -1;
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

// Makes `address` the first to try. The list may have been replaced by a
// new resolution since a connection began, so an index is checked first.
void prefer(size_t address)
{
	bridge_preferred = address < bridge_addresses.size() ? address : 0;
}

void address_failed(bridge_conn* c, int error)
{
	c->last_error = error;
	c->tried++;
	c->address = (c->address + 1) % bridge_addresses.size();
}

bool send_more(bridge_conn* c, int64_t now, std::string* reply);

// Connects the query in flight to the next address that has not failed
// in this attempt, and sends the query as soon as it is connected.
// Returns true when no address is left and the query is answered.
bool connect_next(bridge_conn* c, int64_t now, std::string* reply)
{
	while (c->tried < bridge_addresses.size()) {
		if (c->address >= bridge_addresses.size())
			c->address = 0;
		bool in_progress;
		int fd = endpoint_connect(bridge_addresses[c->address], &in_progress);
		if (fd != -1) {
			c->fd = fd;
			c->connecting = in_progress;
			if (in_progress)
				return false;
			prefer(c->address);
			return send_more(c, now, reply);
		}
		if (errno == EAGAIN || errno == EMFILE) {
			// The listen queue is full, or this process has no descriptor
			// left, for the moment: the same address again shortly,
			// within the bound.
			bridge_fd_shortage |= errno == EMFILE;
			c->last_error = errno;
			c->retry_at = std::min(now + BRIDGE_RETRY_MS, c->deadline);
			return false;
		}
		address_failed(c, errno);
	}
	resolve_again(now);
	if (bridge_addresses.empty())
		return fail(c, bridge_unresolved, reply);
	return fail(c, std::string("cannot connect: ") + strerror(c->last_error), reply);
}

// Opens a new connection for the query in flight. Returns true when that
// already failed and the query is answered.
bool open_attempt(bridge_conn* c, int64_t now, std::string* reply)
{
	take_resolution();
	c->sent = 0;
	ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
	c->deadline = now + bridge_timeout_ms;
	c->tried = 0;
	c->address = bridge_preferred;
	c->last_error = 0;
	return connect_next(c, now, reply);
}

// The connection was lost, stalled or fell out of step during an
// exchange: one new connection, then give up.
bool lost(bridge_conn* c, const char* why, int64_t now, std::string* reply)
{
	drop_connection(c);
	if (c->attempt >= 2)
		return fail(c, why, reply);
	log_warning("warn: upstream %s: %s, reconnecting", upstream_text(), why);
	c->attempt++;
	return open_attempt(c, now, reply);
}

// Turns a complete netstring reply into a reply line.
bool finish(bridge_conn* c, std::string* reply)
{
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
		return lost(c, "connection closed", now, reply);
	if (n < 0) {
		if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
			return false;
		return lost(c, strerror(errno), now, reply);
	}
	size_t used = 0;
	ns_status status = ns_decode(&c->reply, chunk, static_cast<size_t>(n), &used);
	switch (status) {
	case NS_PARTIAL:
		return false;
	case NS_COMPLETE:
		// More than the reply: the stream is out of step, and the first
		// netstring may as well be a late answer to something else.
		if (used < static_cast<size_t>(n))
			return lost(c, "sent more than one reply", now, reply);
		return finish(c, reply);
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
	if (errno == EPIPE || errno == ECONNRESET)
		return lost(c, "connection closed", now, reply);
	return lost(c, strerror(errno), now, reply);
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

// A connect is in progress: its outcome, or the time bound.
bool handle_connecting(bridge_conn* c, short revents, int64_t now, std::string* reply)
{
	if (revents == 0) {
		if (now < c->deadline)
			return false;
		// The next query starts with the next address.
		prefer(c->address + 1);
		return fail(c, "cannot connect: timed out", reply);
	}
	int error = endpoint_connect_error(c->fd);
	if (error != 0) {
		drop_connection(c);
		address_failed(c, error);
		return connect_next(c, now, reply);
	}
	c->connecting = false;
	prefer(c->address);
	return false;
}

} // namespace

bool bridge_setup(const endpoint& upstream, int64_t timeout_ms, std::string* why)
{
	bridge_upstream = upstream;
	bridge_timeout_ms = timeout_ms;
	if (endpoint_resolve(upstream, &bridge_addresses, &bridge_unresolved))
		return true;
	if (upstream.kind == ENDPOINT_UNIX) {
		*why = bridge_unresolved;
		return false;
	}
	log_warning("warn: upstream %s: %s", upstream_text(), bridge_unresolved.c_str());
	return true;
}

bool bridge_start(bridge_conn* c, std::string_view query, int64_t now, std::string* reply)
{
	c->busy = true;
	c->attempt = 1;
	c->request.clear();
	netstring_append(&c->request, query);
	if (c->fd != -1 && !idle_usable(c))
		drop_connection(c);
	if (c->fd == -1)
		return open_attempt(c, now, reply);
	c->sent = 0;
	ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
	c->deadline = now + bridge_timeout_ms;
	return send_more(c, now, reply);
}

short bridge_events(const bridge_conn* c)
{
	if (c->fd == -1)
		return 0;
	if (!c->busy)
		return POLLIN; // an idle connection: watch for the upstream closing it
	if (c->connecting)
		return POLLOUT;
	return c->sent < c->request.size() ? (POLLIN | POLLOUT) : POLLIN;
}

int64_t bridge_deadline(const bridge_conn* c)
{
	if (!c->busy)
		return -1;
	return c->retry_at != -1 ? c->retry_at : c->deadline;
}

bool bridge_handle(bridge_conn* c, short revents, int64_t now, std::string* reply)
{
	if (!c->busy) {
		// Whatever happens on an idle connection ends it (the check logs
		// unasked bytes).
		if (c->fd != -1 && revents != 0) {
			idle_usable(c);
			drop_connection(c);
		}
		return false;
	}
	if (c->fd == -1) {
		if (c->retry_at == -1 || now < c->retry_at)
			return false;
		c->retry_at = -1;
		if (now >= c->deadline)
			return fail(c, std::string("cannot connect: ") + strerror(c->last_error),
			            reply);
		return connect_next(c, now, reply);
	}
	unsigned generation = c->generation;
	if (c->connecting) {
		if (handle_connecting(c, revents, now, reply))
			return true;
		if (c->generation != generation || c->connecting)
			return false;
		revents = POLLOUT; // connected: send at once
	}
	// A failed send may have replaced the connection: the poll result
	// then belongs to the old one.
	if ((revents & POLLOUT) && c->sent < c->request.size() && send_more(c, now, reply))
		return true;
	if (c->generation == generation && (revents & (POLLIN | POLLHUP | POLLERR)) &&
	    receive(c, now, reply))
		return true;
	if (c->generation != generation)
		return false;
	if (now >= c->deadline)
		return lost(c, "timed out", now, reply);
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
