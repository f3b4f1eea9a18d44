// SPDX-License-Identifier: ISC
// The bridge: see bridge.hpp.
#include "tools/serve/bridge.hpp"

#include "support/log.hpp"
#include "tools/net/errtext.hpp"
#include "tools/net/netstring.hpp"
#include "tools/net/peek.hpp"
#include "tools/net/reply.hpp"
#include "tools/serve/source.hpp"
#include "tools/serve/upstream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

enum conn_state { CONN_NONE, CONN_NEW, CONN_DIALING, CONN_SENDING, CONN_RECEIVING, CONN_IDLE };

// A client's upstream connection. NONE: no connection and no query; NEW:
// a query waits for a connection to be dialed.
struct conn {
	conn_state state = CONN_NONE;
	int fd = -1;
	endpoint_dialer dial;
	std::string request; // the query's netstring
	size_t sent = 0;
	ns_decoder reply;
	bool replying = false; // bytes of the reply have arrived
	bool reused = false;   // the exchange went out on a connection used before
	int failures = 0;      // exchanges of the query that failed after it may have been read
	int64_t deadline = 0;  // of the query, monotonic milliseconds
	int64_t idle_since = 0;
	bool checked = false; // idle, and a poll() since then saw nothing on it
};

// What a piece of work on a connection came to.
enum io_result {
	IO_WAIT,      // nothing more until poll() sees something, or the clock moves
	IO_ANSWERED,  // the query is answered
	IO_LOST,      // the exchange failed at the connection (rules 4 and 5)
	IO_CONNECTED, // dialing ended with a connection: the query goes out
};

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
			close_conn(c.get());
	}

	bool ask(client* who, std::string_view query, int64_t now, std::string* reply) override;
	void client_left(client* who, size_t clients) override;
	void poll_set(std::vector<pollfd>* fds) override;
	int64_t deadline() const override;
	void run(const pollfd* polled, int64_t now, std::vector<source_answer>* answers) override;

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
	size_t descriptors() const override;
	bool short_of_descriptors() override
	{
		bool short_of = fd_shortage_;
		fd_shortage_ = false;
		return short_of;
	}

private:
	bool step(conn* c, const pollfd* polled, int64_t now, std::string* reply);
	io_result dialed(conn* c, endpoint_dial_result result, const endpoint_dialed& out,
	                 int64_t now, std::string* reply);
	io_result send_more(conn* c, std::string* why, bool* unread);
	io_result receive(conn* c, int64_t now, std::string* reply, std::string* why, bool* unread);
	bool lose(conn* c, const std::string& why, bool unread, int64_t now, std::string* reply);
	bool fail(conn* c, const std::string& why, std::string* reply);
	bool finish(conn* c, int64_t now, std::string* reply);
	bool idle_quiet(const conn* c);

	// Closes the connection; its query, if any, is abandoned.
	static void close_conn(conn* c)
	{
		if (c->fd != -1)
			close(c->fd);
		c->fd = -1;
		if (c->state == CONN_DIALING)
			endpoint_dial_abort(&c->dial);
		c->state = CONN_NONE;
	}

	const char* name() const
	{
		return up_.ep.text.c_str();
	}

	upstream up_;
	int64_t timeout_ms_;
	// Each client's connection, from its first query until it leaves.
	std::unordered_map<client*, std::unique_ptr<conn>> conns_;
	std::vector<int> polled_counts_; // poll entries of each connection, in order
	bool fd_shortage_ = false;
};

bool answer(std::string_view text, std::string* reply)
{
	reply->assign(text);
	return true;
}

// The query goes out from its first byte, and its reply is read afresh.
void begin_exchange(conn* c)
{
	c->state = CONN_SENDING;
	c->sent = 0;
	c->replying = false;
	ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
}

bool bridge::fail(conn* c, const std::string& why, std::string* reply)
{
	log_warning("warn: upstream %s: %s", name(), why.c_str());
	close_conn(c);
	return answer("TEMP upstream " + up_.ep.text + ": " + why, reply);
}

// The exchange failed at the connection (rules 4 and 5): the query goes
// out once more on a new connection, within its bound, or is answered.
bool bridge::lose(conn* c, const std::string& why, bool unread, int64_t now, std::string* reply)
{
	bool free_retry = c->reused && unread;
	if (!free_retry)
		c->failures++;
	if (c->failures >= 2 || now >= c->deadline)
		return fail(c, why, reply);
	log_warning("warn: upstream %s: %s, reconnecting", name(), why.c_str());
	close_conn(c);
	c->state = CONN_NEW;
	return false;
}

// Turns a complete netstring reply into a reply line (rule 6).
bool bridge::finish(conn* c, int64_t now, std::string* reply)
{
	const std::string& p = c->reply.payload;
	if (p.find('\n') != std::string::npos)
		return fail(c, "reply contains a newline", reply);
	if (p.find('\0') != std::string::npos)
		return fail(c, "reply contains a NUL byte", reply);
	c->state = CONN_IDLE;
	c->idle_since = now;
	c->checked = false;
	c->request.clear();
	if (reply_is_bare_notfound(p))
		return answer("NOTFOUND ", reply);
	return answer(p, reply);
}

io_result bridge::dialed(conn* c, endpoint_dial_result result, const endpoint_dialed& out,
                         int64_t now, std::string* reply)
{
	// The loop may close idle clients to free descriptors.
	fd_shortage_ |= c->dial.short_of_fds;
	c->dial.short_of_fds = false;
	if (result == ENDPOINT_DIAL_PENDING)
		return IO_WAIT;
	if (result == ENDPOINT_DIAL_FAILED) {
		upstream_dial_failed(&up_, out.error, now);
		fail(c,
		     out.error == ETIMEDOUT ? std::string("cannot connect: timed out")
		                            : with_error("cannot connect", out.error),
		     reply);
		return IO_ANSWERED;
	}
	upstream_connected(&up_, c->dial.addresses, out.address);
	c->fd = out.fd;
	c->reused = false;
	begin_exchange(c);
	return IO_CONNECTED;
}

// Sends what the socket takes of the query.
io_result bridge::send_more(conn* c, std::string* why, bool* unread)
{
	ssize_t n = send(c->fd, c->request.data() + c->sent, c->request.size() - c->sent,
	                 MSG_DONTWAIT | MSG_NOSIGNAL);
	if (n >= 0) {
		c->sent += static_cast<size_t>(n);
		if (c->sent == c->request.size())
			c->state = CONN_RECEIVING;
		return IO_WAIT;
	}
	if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
		return IO_WAIT;
	// Refused before any byte went out: the upstream never saw the query.
	bool closed = errno == EPIPE || errno == ECONNRESET;
	*unread = closed && c->sent == 0;
	*why = closed ? std::string("connection closed") : std::string(strerror(errno));
	return IO_LOST;
}

io_result bridge::receive(conn* c, int64_t now, std::string* reply, std::string* why,
                          bool* unread)
{
	char chunk[16384];
	ssize_t n = recv(c->fd, chunk, sizeof chunk, MSG_DONTWAIT);
	*unread = false;
	if (n == 0) {
		*why = "connection closed";
		return IO_LOST;
	}
	if (n < 0) {
		if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
			return IO_WAIT;
		// A local socket is reset only when its peer closed it with bytes
		// unread: before any reply, those are the query's.
		bool closed = errno == ECONNRESET || errno == EPIPE;
		*unread = errno == ECONNRESET && !c->replying && up_.ep.kind == ENDPOINT_UNIX;
		*why = closed ? std::string("connection closed") : std::string(strerror(errno));
		return IO_LOST;
	}
	c->replying = true;
	size_t used = 0;
	ns_status status = ns_decode(&c->reply, chunk, static_cast<size_t>(n), &used);
	switch (status) {
	case NS_PARTIAL:
		return IO_WAIT;
	case NS_COMPLETE:
		// More than the reply: the stream is out of step, and the first
		// netstring may as well be a late answer to something else.
		if (used < static_cast<size_t>(n)) {
			*why = "sent more than one reply";
			return IO_LOST;
		}
		finish(c, now, reply);
		return IO_ANSWERED;
	case NS_TOO_LARGE:
		fail(c, "reply exceeds " + std::to_string(SMAP_REPLY_MAX) + " bytes", reply);
		return IO_ANSWERED;
	case NS_BAD_LENGTH:
	case NS_NO_COMMA:
		fail(c, ns_status_text(status), reply);
		return IO_ANSWERED;
	}
	return IO_WAIT;
}

// Moves `c` on from its poll result (`polled`, null when it has not been
// polled in its present state) and the clock, until it must wait (false)
// or its query is answered (true, with the reply in *reply).
bool bridge::step(conn* c, const pollfd* polled, int64_t now, std::string* reply)
{
	for (;;) {
		std::string why;
		bool unread = false;
		io_result r = IO_WAIT;
		switch (c->state) {
		case CONN_NEW: {
			endpoint_addresses list;
			size_t first;
			if (!upstream_addresses(&up_, now, &list, &first, &why))
				return fail(c, why, reply);
			c->state = CONN_DIALING;
			endpoint_dialed out;
			r = dialed(c, endpoint_dial_start(&c->dial, list, first, now, c->deadline, &out),
			           out, now, reply);
			break;
		}
		case CONN_DIALING: {
			endpoint_dialed out;
			r = dialed(c, endpoint_dial_step(&c->dial, polled, now, &out), out, now, reply);
			break;
		}
		case CONN_SENDING:
		case CONN_RECEIVING: {
			short revents = polled != nullptr ? polled->revents : 0;
			if (c->state == CONN_SENDING && (polled == nullptr || (revents & POLLOUT)))
				r = send_more(c, &why, &unread);
			if (r == IO_WAIT && (revents & (POLLIN | POLLHUP | POLLERR)))
				r = receive(c, now, reply, &why, &unread);
			if (r == IO_WAIT && now >= c->deadline)
				return fail(c, "timed out", reply);
			if (r == IO_LOST && lose(c, why, unread, now, reply))
				return true;
			break;
		}
		case CONN_NONE:
		case CONN_IDLE:
			return false;
		}
		if (r == IO_ANSWERED)
			return true;
		if (r == IO_WAIT)
			return false;
		// Connected, or to be dialed again: on at once, with no poll result
		// for the new state.
		polled = nullptr;
	}
}

// Whether the idle connection can carry a query: the upstream has neither
// sent anything unasked nor closed it.
bool bridge::idle_quiet(const conn* c)
{
	peek_result seen = peek_unread(c->fd);
	if (seen == PEEK_BYTES)
		log_warning("warn: upstream %s: sent data nobody asked for", name());
	return seen == PEEK_NONE;
}

bool bridge::ask(client* who, std::string_view query, int64_t now, std::string* reply)
{
	std::unique_ptr<conn>& slot = conns_[who];
	if (slot == nullptr)
		slot = std::make_unique<conn>();
	conn* c = slot.get();
	// Past the idle limit, a connection is closed without a look.
	if (c->state == CONN_IDLE &&
	    (now - c->idle_since >= BRIDGE_IDLE_MS || (!c->checked && !idle_quiet(c))))
		close_conn(c);
	if (c->state == CONN_IDLE) {
		begin_exchange(c);
		c->reused = true;
	} else {
		c->state = CONN_NEW;
	}
	c->failures = 0;
	c->deadline = now + timeout_ms_;
	c->request.clear();
	netstring_append(&c->request, query);
	return step(c, nullptr, now, reply);
}

void bridge::client_left(client* who, size_t)
{
	auto it = conns_.find(who);
	if (it == conns_.end())
		return;
	close_conn(it->second.get());
	conns_.erase(it);
}

void bridge::poll_set(std::vector<pollfd>* fds)
{
	polled_counts_.clear();
	for (const auto& [who, c] : conns_) {
		if (c->state == CONN_DIALING) {
			fds->resize(fds->size() + ENDPOINT_DIAL_MAX);
			endpoint_dial_poll(&c->dial, &*(fds->end() - ENDPOINT_DIAL_MAX));
			polled_counts_.push_back(ENDPOINT_DIAL_MAX);
		} else if (c->state != CONN_NONE) {
			// An idle connection is watched for the upstream closing it.
			short events = c->state == CONN_SENDING ? (POLLIN | POLLOUT) : POLLIN;
			fds->push_back({c->fd, events, 0});
			polled_counts_.push_back(1);
		} else {
			polled_counts_.push_back(0);
		}
	}
}

int64_t bridge::deadline() const
{
	int64_t when = -1;
	for (const auto& [who, c] : conns_) {
		// No wake-up for the idle limit (rule 7): a timer armed in every
		// poll() between two lookups would cost each lookup.
		if (c->state == CONN_NONE || c->state == CONN_IDLE)
			continue;
		int64_t at = c->state == CONN_DIALING ? endpoint_dial_wake(&c->dial) : c->deadline;
		if (when == -1 || at < when)
			when = at;
	}
	return when;
}

void bridge::run(const pollfd* polled, int64_t now, std::vector<source_answer>* answers)
{
	// The connections are as they were at poll_set(): ask() and
	// client_left() come after run() in a round.
	size_t i = 0;
	for (const auto& [who, c] : conns_) {
		const pollfd* mine = polled;
		polled += polled_counts_[i++];
		if (c->state == CONN_IDLE) {
			// Whatever happened on an idle connection ends it (the look
			// logs unasked bytes), and so does the idle limit.
			if (mine->revents != 0)
				idle_quiet(c.get());
			if (mine->revents != 0 || now - c->idle_since >= BRIDGE_IDLE_MS)
				close_conn(c.get());
			else
				c->checked = true;
			continue;
		}
		std::string reply;
		if (c->state != CONN_NONE && step(c.get(), mine, now, &reply))
			answers->push_back({who, std::move(reply)});
	}
}

size_t bridge::descriptors() const
{
	size_t n = 0;
	for (const auto& [who, c] : conns_) {
		n += c->fd != -1;
		if (c->state == CONN_DIALING)
			for (const endpoint_dial_slot& s : c->dial.slots)
				n += s.fd != -1;
	}
	return n;
}

} // namespace

std::unique_ptr<source> source_bridge(const endpoint& upstream, int64_t timeout_ms)
{
	return std::make_unique<bridge>(upstream, timeout_ms);
}
