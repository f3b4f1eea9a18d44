// Netstring bridge: see bridge.hpp.
#include "tools/bridge.hpp"

#include "support/log.hpp"
#include "tools/reply.hpp"
#include "tools/usock.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace
{

const char* bridge_path;
int64_t bridge_timeout_ms;

void drop_connection(bridge_conn* c)
{
	if (c->fd != -1)
		close(c->fd);
	c->fd = -1;
	c->connecting = false;
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
	log_warning("warn: upstream %s: %s", bridge_path, why.c_str());
	drop_connection(c);
	return answer(c, "TEMP " + why, reply);
}

// Opens a new connection for the query in flight. Returns true when that
// already failed and the query is answered.
bool open_attempt(bridge_conn* c, int64_t now, std::string* reply)
{
	c->fd = usock_connect(bridge_path, 0, &c->connecting);
	if (c->fd == -1)
		return fail(c, std::string("cannot connect: ") + strerror(errno), reply);
	c->sent = 0;
	ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
	c->deadline = now + bridge_timeout_ms;
	return false;
}

// The connection was lost or stalled during an exchange: one new
// connection, then give up.
bool lost(bridge_conn* c, const char* why, int64_t now, std::string* reply)
{
	drop_connection(c);
	if (c->attempt >= 2)
		return fail(c, why, reply);
	log_warning("warn: upstream %s: %s, reconnecting", bridge_path, why);
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
		if (used < static_cast<size_t>(n)) {
			// The reply is good but the stream is out of step: answer,
			// then start afresh at the next query.
			log_warning("warn: upstream %s: sent more than one reply", bridge_path);
			bool done = finish(c, reply);
			drop_connection(c);
			return done;
		}
		return finish(c, reply);
	case NS_TOO_LARGE:
		return fail(c, "reply exceeds " + std::to_string(SMAP_REPLY_MAX) + " bytes", reply);
	case NS_BAD_LENGTH:
	case NS_NO_COMMA:
		return fail(c, ns_status_text(status), reply);
	}
	return false;
}

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

} // namespace

void bridge_setup(const char* upstream_path, int64_t timeout_ms)
{
	bridge_path = upstream_path;
	bridge_timeout_ms = timeout_ms;
}

bool bridge_start(bridge_conn* c, std::string_view query, int64_t now, std::string* reply)
{
	c->busy = true;
	c->attempt = 1;
	c->request.clear();
	netstring_append(&c->request, query);
	if (c->fd != -1) {
		// Reuse the open connection.
		c->sent = 0;
		ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
		c->deadline = now + bridge_timeout_ms;
		return false;
	}
	// A refused connect is answered at once; only a connection lost during
	// an exchange is retried.
	return open_attempt(c, now, reply);
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
	return c->busy ? c->deadline : -1;
}

bool bridge_handle(bridge_conn* c, short revents, int64_t now, std::string* reply)
{
	if (!c->busy) {
		if (c->fd != -1 && revents != 0) {
			char byte;
			if (recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
				log_warning("warn: upstream %s: sent data nobody asked for",
				            bridge_path);
			drop_connection(c);
		}
		return false;
	}
	if (c->fd == -1)
		return false;
	if (c->connecting && revents != 0) {
		int error = 0;
		socklen_t len = sizeof error;
		if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1)
			error = errno;
		if (error != 0) {
			drop_connection(c);
			return fail(c, std::string("cannot connect: ") + strerror(error), reply);
		}
		c->connecting = false;
		revents = POLLOUT;
	}
	if (!c->connecting) {
		// A failed send may have replaced the connection: the poll result
		// then belongs to the old one.
		int fd = c->fd;
		if ((revents & POLLOUT) && c->sent < c->request.size() && send_more(c, now, reply))
			return true;
		if (c->fd == fd && (revents & (POLLIN | POLLHUP | POLLERR)) &&
		    receive(c, now, reply))
			return true;
		if (c->fd != fd)
			return false;
	}
	if (c->busy && now >= c->deadline)
		return lost(c, "timed out", now, reply);
	return false;
}

void bridge_close(bridge_conn* c)
{
	drop_connection(c);
	c->busy = false;
}
