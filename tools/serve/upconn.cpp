// SPDX-License-Identifier: ISC
// One upstream connection: see upconn.hpp.
#include "tools/serve/upconn.hpp"

#include "support/log.hpp"
#include "tools/net/errtext.hpp"
#include "tools/net/peek.hpp"
#include "tools/net/reply.hpp"
#include "tools/serve/metrics.hpp"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// What a piece of work on a connection came to.
enum io_result {
	IO_WAIT,      // nothing more until poll() sees something, or the clock moves
	IO_ANSWERED,  // the query is answered
	IO_LOST,      // the exchange failed at the connection (rules 4 and 5)
	IO_CONNECTED, // dialing ended with a connection: the query goes out
	IO_NEXT,      // the query goes on to the next upstream (rules 3 and 4)
};

const upstream& up_of(const upconn* c, const failover* f)
{
	return f->ups[c->upstream].up;
}

bool answer(std::string_view text, std::string* reply)
{
	reply->assign(text);
	return true;
}

// The query goes out from its first byte, and its reply is read afresh.
void begin_exchange(upconn* c, failover* f)
{
	upstream_health& h = f->ups[c->upstream].health;
	h.queries++;
	c->downs_then = h.downs;
	c->state = UPCONN_SENDING;
	c->sent = 0;
	c->replying = false;
	ns_decoder_init(&c->reply, SMAP_REPLY_MAX);
}

// The answer for a failure at the connection's upstream: `logged` when
// failover.hpp has said it already.
bool fail(upconn* c, const failover* f, const std::string& why, bool logged, std::string* reply)
{
	const std::string& text = up_of(c, f).ep.text;
	if (!logged)
		log_warning("warn: upstream %s: %s", text.c_str(), why.c_str());
	metrics_upstream_answered(up_of(c, f).metrics, RESULT_TEMP, c->asked_us);
	upconn_close(c);
	c->answered_by = -1;
	return answer("TEMP upstream " + text + ": " + why, reply);
}

// The query is done with the connection's upstream, for `why` (rules 3 and
// 4): it goes on to the next one, if any is left, from state NEW.
io_result go_on(upconn* c, failover* f, const std::string& why, bool down, int64_t now)
{
	const std::string& text = up_of(c, f).ep.text;
	if (down)
		failover_down(f, c->upstream, why, now);
	else
		log_warning("warn: upstream %s: %s", text.c_str(), why.c_str());
	c->tried |= failover_tried(1) << c->upstream;
	c->failure = "TEMP upstream " + text + ": " + why;
	metrics_upstream_answered(up_of(c, f).metrics, RESULT_TEMP, c->asked_us);
	upconn_close(c);
	c->state = UPCONN_NEW;
	return IO_NEXT;
}

// The exchange failed at the connection (rules 4 and 5): the query goes
// out once more on a new connection, within its bound, or is answered.
bool lose(upconn* c, failover* f, const std::string& why, bool unread, int64_t now,
          std::string* reply)
{
	bool free_retry = c->reused && unread;
	// Closed before a byte of the reply: down, unless it never saw the query.
	bool down = !free_retry && !c->replying;
	if (down)
		failover_down(f, c->upstream, why, now);
	if (!free_retry) {
		c->failures++;
		// A lone upstream keeps its one new attempt.
		if (f->ups.size() > 1)
			c->tried |= failover_tried(1) << c->upstream;
	}
	if (c->failures >= 2 || now >= c->deadline)
		return fail(c, f, why, down, reply);
	// Done with this upstream when another is to take the query.
	if (!free_retry && f->ups.size() > 1)
		metrics_upstream_answered(up_of(c, f).metrics, RESULT_TEMP, c->asked_us);
	if (!down)
		log_warning("warn: upstream %s: %s, reconnecting", up_of(c, f).ep.text.c_str(),
		            why.c_str());
	c->failure = "TEMP upstream " + up_of(c, f).ep.text + ": " + why;
	upconn_close(c);
	c->state = UPCONN_NEW;
	return false;
}

// Turns a complete netstring reply into a reply line (rule 6).
bool finish(upconn* c, failover* f, int64_t now, std::string* reply)
{
	const std::string& p = c->reply.payload;
	// A whole reply, taken or not: the upstream answers.
	failover_answered(f, c->upstream, c->downs_then);
	if (p.find('\n') != std::string::npos)
		return fail(c, f, "reply contains a newline", false, reply);
	if (p.find('\0') != std::string::npos)
		return fail(c, f, "reply contains a NUL byte", false, reply);
	metrics_upstream_answered(up_of(c, f).metrics, metrics_result_of(p), c->asked_us);
	c->answered_by = static_cast<int>(c->upstream);
	c->state = UPCONN_IDLE;
	c->idle_since = now;
	c->checked = false;
	c->request.clear();
	if (reply_is_bare_notfound(p))
		return answer("NOTFOUND ", reply);
	return answer(p, reply);
}

io_result dialed(upconn* c, failover* f, endpoint_dial_result result, const endpoint_dialed& out,
                 int64_t now)
{
	// The owner may free descriptors: the loop closes idle clients.
	c->short_of_fds |= c->dial.short_of_fds;
	c->dial.short_of_fds = false;
	if (result == ENDPOINT_DIAL_PENDING)
		return IO_WAIT;
	upstream* u = &f->ups[c->upstream].up;
	if (result == ENDPOINT_DIAL_FAILED) {
		upstream_dial_failed(u, out.error, now);
		std::string why = out.error == ETIMEDOUT ? std::string("cannot connect: timed out")
		                                         : with_error("cannot connect", out.error);
		// Our own want of descriptors says nothing of the upstream.
		return go_on(c, f, why, out.error != EMFILE, now);
	}
	upstream_connected(u, c->dial.addresses, out.address);
	c->fd = out.fd;
	c->reused = false;
	begin_exchange(c, f);
	return IO_CONNECTED;
}

// Picks the upstream for the query's next attempt and starts dialing it;
// true when none is left, and the query is answered.
bool pick_and_dial(upconn* c, failover* f, int64_t now, io_result* r, std::string* reply)
{
	int next = now < c->deadline ? failover_pick(f, c->tried, now) : -1;
	if (next < 0) {
		upconn_close(c);
		c->answered_by = -1;
		if (c->failure.empty())
			c->failure = "TEMP upstream " + up_of(c, f).ep.text + ": timed out";
		return answer(c->failure, reply);
	}
	c->upstream = static_cast<size_t>(next);
	endpoint_addresses list;
	size_t first;
	std::string why;
	if (!upstream_addresses(&f->ups[c->upstream].up, now, &list, &first, &why)) {
		*r = go_on(c, f, why, true, now);
		return false;
	}
	c->state = UPCONN_DIALING;
	int64_t until = failover_connect_deadline(f, c->tried, now, c->deadline);
	endpoint_dialed out;
	*r = dialed(c, f, endpoint_dial_start(&c->dial, list, first, now, until, &out), out, now);
	return false;
}

// Sends what the socket takes of the query.
io_result send_more(upconn* c, std::string* why, bool* unread)
{
	ssize_t n = send(c->fd, c->request.data() + c->sent, c->request.size() - c->sent,
	                 MSG_DONTWAIT | MSG_NOSIGNAL);
	if (n >= 0) {
		c->sent += static_cast<size_t>(n);
		if (c->sent == c->request.size())
			c->state = UPCONN_RECEIVING;
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

io_result receive(upconn* c, failover* f, int64_t now, std::string* reply, std::string* why,
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
		*unread =
		        errno == ECONNRESET && !c->replying && up_of(c, f).ep.kind == ENDPOINT_UNIX;
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
		finish(c, f, now, reply);
		return IO_ANSWERED;
	case NS_TOO_LARGE:
		fail(c, f, "reply exceeds " + std::to_string(SMAP_REPLY_MAX) + " bytes", false,
		     reply);
		return IO_ANSWERED;
	case NS_BAD_LENGTH:
	case NS_NO_COMMA:
		fail(c, f, ns_status_text(status), false, reply);
		return IO_ANSWERED;
	}
	return IO_WAIT;
}

// Moves `c` on from its poll result (`polled`, null when it has not been
// polled in its present state) and the clock, until it must wait (false)
// or its query is answered (true, with the reply in *reply).
bool step(upconn* c, failover* f, const pollfd* polled, int64_t now, std::string* reply)
{
	for (;;) {
		std::string why;
		bool unread = false;
		io_result r = IO_WAIT;
		switch (c->state) {
		case UPCONN_NEW:
			if (pick_and_dial(c, f, now, &r, reply))
				return true;
			break;
		case UPCONN_DIALING: {
			endpoint_dialed out;
			r = dialed(c, f, endpoint_dial_step(&c->dial, polled, now, &out), out, now);
			break;
		}
		case UPCONN_SENDING:
		case UPCONN_RECEIVING: {
			short revents = polled != nullptr ? polled->revents : 0;
			if (c->state == UPCONN_SENDING &&
			    (polled == nullptr || (revents & POLLOUT)))
				r = send_more(c, &why, &unread);
			if (r == IO_WAIT && (revents & (POLLIN | POLLHUP | POLLERR)))
				r = receive(c, f, now, reply, &why, &unread);
			if (r == IO_WAIT && now >= c->deadline)
				return fail(c, f, "timed out", false, reply);
			if (r == IO_LOST && lose(c, f, why, unread, now, reply))
				return true;
			break;
		}
		case UPCONN_NONE:
		case UPCONN_IDLE:
			return false;
		}
		if (r == IO_ANSWERED)
			return true;
		if (r == IO_WAIT)
			return false;
		// Connected, or to be dialed again, here or at the next upstream: on
		// at once, with no poll result for the new state.
		polled = nullptr;
	}
}

// Whether the idle connection can carry a query: the upstream has neither
// sent anything unasked nor closed it.
bool idle_quiet(const upconn* c, const failover* f)
{
	peek_result seen = peek_unread(c->fd);
	if (seen == PEEK_BYTES)
		log_warning("warn: upstream %s: sent data nobody asked for",
		            up_of(c, f).ep.text.c_str());
	return seen == PEEK_NONE;
}

} // namespace

bool upconn_ask(upconn* c, failover* f, std::string_view query, int64_t now, int64_t timeout_ms,
                std::string* reply)
{
	c->failures = 0;
	c->tried = 0;
	c->failure.clear();
	c->answered_by = -1;
	c->deadline = now + timeout_ms;
	c->asked_us = metrics_round_us();
	// Past the idle limit, or to another upstream than the query's first,
	// a connection is closed without a look.
	if (c->state == UPCONN_IDLE &&
	    (static_cast<int>(c->upstream) != failover_pick(f, 0, now) ||
	     now - c->idle_since >= UPCONN_IDLE_MS || (!c->checked && !idle_quiet(c, f))))
		upconn_close(c);
	if (c->state == UPCONN_IDLE) {
		begin_exchange(c, f);
		c->reused = true;
	} else {
		c->state = UPCONN_NEW;
	}
	c->request.clear();
	netstring_append(&c->request, query);
	return step(c, f, nullptr, now, reply);
}

size_t upconn_poll(const upconn* c, std::vector<pollfd>* fds)
{
	switch (c->state) {
	case UPCONN_NONE:
	case UPCONN_NEW:
		return 0;
	case UPCONN_DIALING:
		fds->resize(fds->size() + ENDPOINT_DIAL_MAX);
		endpoint_dial_poll(&c->dial, &*(fds->end() - ENDPOINT_DIAL_MAX));
		return ENDPOINT_DIAL_MAX;
	case UPCONN_SENDING:
		fds->push_back({c->fd, POLLIN | POLLOUT, 0});
		return 1;
	case UPCONN_RECEIVING:
	case UPCONN_IDLE:
		// An idle connection is watched for the upstream closing it.
		fds->push_back({c->fd, POLLIN, 0});
		return 1;
	}
	return 0;
}

bool upconn_run(upconn* c, failover* f, const pollfd* polled, int64_t now, std::string* reply)
{
	if (c->state != UPCONN_IDLE)
		return step(c, f, polled, now, reply);
	// Whatever happened on an idle connection ends it (the look logs
	// unasked bytes), and so does the idle limit.
	if (polled->revents != 0)
		idle_quiet(c, f);
	if (polled->revents != 0 || now - c->idle_since >= UPCONN_IDLE_MS)
		upconn_close(c);
	else
		c->checked = true;
	return false;
}

int64_t upconn_deadline(const upconn* c)
{
	switch (c->state) {
	case UPCONN_NONE:
	case UPCONN_IDLE:
		return -1;
	case UPCONN_DIALING:
		return endpoint_dial_wake(&c->dial);
	case UPCONN_NEW:
	case UPCONN_SENDING:
	case UPCONN_RECEIVING:
		break;
	}
	return c->deadline;
}

void upconn_close(upconn* c)
{
	if (c->fd != -1)
		close(c->fd);
	c->fd = -1;
	if (c->state == UPCONN_DIALING)
		endpoint_dial_abort(&c->dial);
	c->state = UPCONN_NONE;
}

size_t upconn_descriptors(const upconn* c)
{
	size_t n = c->fd != -1;
	if (c->state == UPCONN_DIALING)
		for (const endpoint_dial_slot& s : c->dial.slots)
			n += s.fd != -1;
	return n;
}
