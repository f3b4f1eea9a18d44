// SPDX-License-Identifier: ISC
// One client of smap-serve: see client.hpp.
#include "tools/serve/client.hpp"

#include "support/log.hpp"
#include "tools/net/clock.hpp"
#include "tools/net/reply.hpp"
#include "tools/serve/source.hpp"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool client_verbose;

namespace
{

// Marks `c` to be closed at the end of the round, for `why`.
void close_for(client* c, metrics_close why)
{
	if (!c->dead)
		c->closing = why;
	c->dead = true;
}

// Queues the reply to the query of `table` ("" when it names none).
void queue_reply(client* c, std::string_view table, std::string_view reply, int64_t now)
{
	if (client_verbose) {
		// Only the status word: values may be secrets.
		std::string_view word = reply_status_word(reply);
		log_dbg("client %d: reply %.*s", c->fd, static_cast<int>(word.size()), word.data());
	}
	bool was_sent = client_unsent(c) == 0;
	c->out.append(reply);
	c->out.push_back('\n');
	metrics_result result = metrics_result_of(reply);
	bool exists = result == RESULT_OK || result == RESULT_NOTFOUND;
	c->marks[(c->marks_first + c->marks_count++) % CLIENT_MARKS_MAX] = {
	        c->out.size(), c->asked_us,
	        static_cast<uint32_t>(metrics_table_slot(table, exists)), result};
	if (was_sent) {
		c->out_mark = c->out.size();
		c->waiting_since = now;
	}
}

// Counts the queries whose replies have gone out whole (rule 6).
void count_sent(client* c)
{
	int64_t written_us = now_us();
	while (c->marks_count > 0 && c->marks[c->marks_first].end <= c->out_off) {
		const client_mark& m = c->marks[c->marks_first];
		metrics_query(m.table, m.result, written_us - m.asked_us);
		c->marks_first = (c->marks_first + 1) % CLIENT_MARKS_MAX;
		c->marks_count--;
	}
}

void flush(client* c, int64_t now)
{
	size_t was_off = c->out_off;
	while (client_unsent(c) > 0) {
		ssize_t n = send(c->fd, c->out.data() + c->out_off, client_unsent(c),
		                 MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n < 0) {
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
				close_for(c, CLOSE_ERROR);
			break;
		}
		c->out_off += static_cast<size_t>(n);
		c->last_active = now;
	}
	if (c->out_off != was_off)
		count_sent(c);
	if (client_unsent(c) == 0) {
		c->out.clear();
		c->out_off = 0;
		c->out_mark = 0;
	} else if (c->out_off >= c->out_mark) {
		// Everything that waited at waiting_since has gone; what waits now
		// is timed from now.
		c->out_mark = c->out.size();
		c->waiting_since = now;
	}
}

void query(client* c, source* src, const std::string& line, int64_t now)
{
	if (client_verbose)
		log_dbg("client %d: query %s", c->fd, line.c_str());
	c->asked_us = metrics_round_us();
	size_t blank = line.find(' ');
	if (blank == std::string::npos) {
		queue_reply(c, "", "PERM malformed query: no blank after the table name", now);
		return;
	}
	std::string reply;
	if (src->ask(c, line, now, &reply))
		queue_reply(c, std::string_view(line).substr(0, blank), reply, now);
	else
		c->waiting = true;
}

// True while the client's pending input can be served now.
bool can_serve(const client* c)
{
	return !c->dead && !c->waiting && client_unsent(c) < CLIENT_OUT_HIGH &&
	       c->marks_count < CLIENT_MARKS_MAX && c->in_off < c->in_len;
}

// Serves the queries of the pending input as far as it may, then writes
// what it can and decides whether the client is done. Replies that reach
// the output limit are written before the rest of the input is served, so
// a client whose input still holds queries leaves here either with its
// input used up, waiting for an answer, or with replies that its socket
// would not take (and so with POLLOUT to wait for).
void progress(client* c, source* src, int64_t now)
{
	do {
		while (can_serve(c)) {
			size_t used;
			line_status status = line_read(&c->lines, c->in + c->in_off,
			                               c->in_len - c->in_off, &used);
			c->in_off += used;
			if (status == LINE_COMPLETE)
				query(c, src, c->lines.line, now);
			else if (status == LINE_TOO_LONG)
				queue_reply(c, "", "PERM query too long", now);
		}
		if (!c->dead)
			flush(c, now);
	} while (can_serve(c));
	if (c->in_off == c->in_len)
		c->in_off = c->in_len = 0;
	if (c->eof && !c->waiting && c->in_len == 0 && client_unsent(c) == 0)
		close_for(c, CLOSE_EOF);
}

void receive(client* c, int64_t now)
{
	ssize_t n = recv(c->fd, c->in, sizeof c->in, MSG_DONTWAIT);
	if (n > 0) {
		c->in_off = 0;
		c->in_len = static_cast<size_t>(n);
		c->last_active = now;
		c->spoke = true;
	} else if (n == 0) {
		c->eof = true;
	} else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
		close_for(c, CLOSE_ERROR);
	}
}

void close_client(client_table* t, client* c)
{
	if (client_verbose)
		log_dbg("client %d: closed%s", c->fd,
		        line_pending(&c->lines) ? ", unfinished line dropped" : "");
	close(c->fd);
	metrics_client_closed(c->closing);
	t->src->client_left(c, t->clients.size() - 1);
}

} // namespace

client* client_add(client_table* t, int fd, int64_t now)
{
	auto c = std::make_unique<client>();
	c->fd = fd;
	c->accepted_at = now;
	c->last_active = now;
	line_reader_init(&c->lines, CLIENT_QUERY_MAX);
	if (client_verbose)
		log_dbg("client %d: connected", fd);
	t->clients.push_back(std::move(c));
	return t->clients.back().get();
}

void client_remove(client_table* t, client* c)
{
	auto it = std::find_if(t->clients.begin(), t->clients.end(),
	                       [c](const auto& p) { return p.get() == c; });
	close_client(t, c);
	t->clients.erase(it);
}

void client_reap(client_table* t)
{
	for (size_t i = 0; i < t->clients.size();) {
		if (t->clients[i]->dead) {
			close_client(t, t->clients[i].get());
			t->clients.erase(t->clients.begin() + static_cast<long>(i));
		} else {
			i++;
		}
	}
}

short client_events(const client* c)
{
	short events = 0;
	if (!c->eof && !c->dead && c->in_len == 0)
		events |= POLLIN;
	if (client_unsent(c) > 0)
		events |= POLLOUT;
	return events;
}

void client_polled(client* c, source* src, short revents, int64_t now)
{
	if (revents & POLLNVAL)
		close_for(c, CLOSE_ERROR);
	else if ((revents & (POLLIN | POLLHUP | POLLERR)) && !c->eof && c->in_len == 0)
		receive(c, now);
	else if ((revents & (POLLHUP | POLLERR)) && client_unsent(c) == 0)
		// Gone while it waits: nobody left to answer.
		close_for(c, revents & POLLERR ? CLOSE_ERROR : CLOSE_EOF);
	progress(c, src, now);
}

void client_answered(client* c, source* src, std::string_view reply, int64_t now)
{
	c->waiting = false;
	std::string_view line = c->lines.line;
	queue_reply(c, line.substr(0, line.find(' ')), reply, now);
	progress(c, src, now);
}
