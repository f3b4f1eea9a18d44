// SPDX-License-Identifier: ISC
// smap-serve: a line-framed socketmap server answering from map files or
// bridging to a netstring-framed socketmap server.
//
// One thread, one poll loop, non-blocking sockets: every client has its
// own input chunk, line reader, output buffer and (as a bridge) upstream
// connection, so a client that sends slowly, stops reading or waits on a
// stalled upstream holds up nobody else. Input is read from a client only
// when its last chunk has been used up, and served only while its unsent
// replies are below a limit, which bounds the memory of each client. Replies are written in
// the order of the queries. Map files are loaded in steps between rounds
// (see maps.hpp); a query for a map still loading waits as one with the
// upstream does, for maps_wait_ms() at most.
//
// Descriptors: the soft limit is raised to the hard one at start, and the
// client table holds as many clients as the limit leaves room for (each
// costs one descriptor and one poll entry with maps, three as a bridge,
// whose upstream side holds up to BRIDGE_POLL_FDS while connecting)
// beyond a reserve for everything else, so poll() is never handed more
// entries than the limit. When the table is full, a new connection is
// admitted by closing the client idle longest: one with no query in
// flight, no reply waiting and nothing unread in its socket, or one whose
// replies have waited unread for SERVE_STUCK_MS. A connection that has
// not yet sent anything is left alone for SERVE_FRESH_MS: its first query
// is on its way. When no client qualifies, new connections wait in the
// listen queue, and the listener is left out of poll() until one may.
// accept() failing for want of descriptors pauses accepting for a second
// (unless the client it was to replace can be closed first: then at once
// again); on EMFILE, and when the bridge cannot open an upstream connection for
// want of them, the table shrinks to what the descriptors its clients
// hold leave room for, closing idle clients beyond it.
//
// Fatal (through die_msg()/die_sys(), status 1): a bad command line (a
// group that does not exist included), a socket path that cannot be taken
// over or given the group asked for, a map directory that cannot be
// opened, a failing poll(). --help and --version print to standard output
// and exit 0. SIGINT and SIGTERM end the loop; the server then removes its
// socket (if the path still names it) and exits with 0.
// SIGHUP makes every map be read again at its next query; the bridge
// ignores it.
#include "backend/smap.hpp"
#include "support/log.hpp"
#include "support/stdfd.hpp"
#include "tools/bridge.hpp"
#include "tools/fdlimit.hpp"
#include "tools/lineframe.hpp"
#include "tools/maps.hpp"
#include "tools/reply.hpp"
#include "tools/svcmgr.hpp"
#include "tools/usock.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace
{

// The longest query line served, its newline not counted. A query is a
// table name and a key; mail addresses and user names stay far below it.
constexpr size_t SERVE_QUERY_MAX = 8192;
// Input is not read while this many reply bytes wait for the client.
constexpr size_t SERVE_OUT_HIGH = 65536;
// The most clients served at once, whatever the descriptor limit.
constexpr size_t SERVE_MAX_CLIENTS = 1024;
// Descriptors kept for what is not a client: 0, 1 and 2, the listener, the
// signal pipe, the map directory, the map files being loaded, one open only
// for a moment (the new connection accepted before the idle client it
// replaces is closed, or a small map file read whole), and room for name
// resolution and descriptors inherited from the parent.
constexpr size_t SERVE_FD_RESERVE = 3 + 1 + 2 + 1 + MAPS_LOADS_MAX + 1 + 8;
// A client whose replies have waited this long unread may be closed to
// admit a new one: its backend has stopped waiting for them.
constexpr int64_t SERVE_STUCK_MS = SMAP_TIMEOUT_SECONDS * 1000;
// A client that has sent nothing since it was accepted is not closed to
// admit another for this long: a backend writes its query right after
// connecting, so closing it would cost its lookup the one reconnect.
constexpr int64_t SERVE_FRESH_MS = 1000;
// After accept() ran out of descriptors, wait this long before the next.
constexpr int64_t SERVE_ACCEPT_PAUSE_MS = 1000;
// The bound on one query to the upstream, a second below the backend's
// own, so that the answer, even TEMP, reaches the backend in time.
constexpr int64_t SERVE_DEFAULT_TIMEOUT_MS = (SMAP_TIMEOUT_SECONDS - 1) * 1000;
// getopt_long()'s value for --version, which has no short form.
constexpr int OPT_VERSION = 256;

struct client {
	int fd = -1;
	char in[16384];
	size_t in_off = 0;
	size_t in_len = 0;
	line_reader lines;
	std::string out;
	size_t out_off = 0;
	bool eof = false;        // the client will send nothing more
	bool spoke = false;      // bytes have come from the client
	bool dead = false;       // close at the end of this round
	bool waiting = false;    // a query is with the upstream or a map loading
	std::string map_query;   // the query that waits for a map
	int64_t map_since = 0;   // since when it waits
	int64_t last_active = 0; // when bytes last came or went
	bridge_conn up;
};

const char* serve_upstream;
bool serve_verbose;
std::vector<std::unique_ptr<client>> serve_clients;
size_t serve_max_clients;
// Descriptors, and poll entries, per client.
size_t serve_client_fds;
int serve_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t serve_stop_signal;
volatile sig_atomic_t serve_hangup;

// Ends a run that printed --help or --version.
[[noreturn]] void exit_printed()
{
	if (fflush(stdout) != 0)
		die_sys("cannot write to standard output");
	exit(0);
}

// The usage lines: on standard output with status 0 for --help, else on
// standard error with status 1. Under the journal, which files each line
// apart, the error is one line at error level, its lines joined by "; ".
[[noreturn]] void usage(int status)
{
	std::string text = std::string("usage: smap-serve [-v] [-m mode] [-g group] SOCKET MAPDIR\n"
	                               "       smap-serve [-v] [-m mode] [-g group] [-t seconds] "
	                               "-u UPSTREAM SOCKET\n"
	                               "       smap-serve --help | --version\n"
	                               "UPSTREAM is one of ") +
	                   ENDPOINT_FORMS + "\n";
	if (status == 0) {
		fputs(text.c_str(), stdout);
		exit_printed();
	}
	if (!svcmgr_journal_stderr()) {
		fputs(text.c_str(), stderr);
		exit(status);
	}
	text.pop_back();
	for (size_t at; (at = text.find('\n')) != std::string::npos;)
		text.replace(at, text.find_first_not_of(' ', at + 1) - at, "; ");
	log_emit(LOG_ERR, "%s", text.c_str());
	exit(status);
}

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void on_signal(int sig)
{
	int saved = errno;
	if (sig == SIGHUP)
		serve_hangup = 1;
	else
		serve_stop_signal = sig;
	char byte = 0;
	ssize_t ignored = write(serve_signal_pipe[1], &byte, 1);
	(void)ignored;
	errno = saved;
}

void setup_signals()
{
	if (pipe(serve_signal_pipe) == -1)
		die_sys("pipe");
	for (int fd : serve_signal_pipe) {
		fcntl(fd, F_SETFD, FD_CLOEXEC);
		usock_set_nonblocking(fd);
	}
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGHUP, &sa, nullptr);
	// A client that has gone must make a write fail, not end the server.
	signal(SIGPIPE, SIG_IGN);
}

size_t unsent(const client* c)
{
	return c->out.size() - c->out_off;
}

void client_flush(client* c, int64_t now)
{
	while (unsent(c) > 0) {
		ssize_t n = send(c->fd, c->out.data() + c->out_off, unsent(c),
		                 MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n < 0) {
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
				c->dead = true;
			break;
		}
		c->out_off += static_cast<size_t>(n);
		c->last_active = now;
	}
	if (unsent(c) == 0) {
		c->out.clear();
		c->out_off = 0;
	}
}

void client_reply(client* c, std::string_view reply)
{
	if (serve_verbose) {
		// Only the status word: values may be secrets.
		std::string_view word = reply_status_word(reply);
		log_dbg("client %d: reply %.*s", c->fd, static_cast<int>(word.size()), word.data());
	}
	c->out.append(reply);
	c->out.push_back('\n');
}

// Answers a query line that has a blank from the maps; false while the
// map is loading, unless `give_up`.
bool map_answer(std::string_view line, bool give_up, std::string* reply)
{
	size_t blank = line.find(' ');
	return maps_answer(line.substr(0, blank), line.substr(blank + 1), give_up, reply);
}

void client_query(client* c, const std::string& line, int64_t now)
{
	if (serve_verbose)
		log_dbg("client %d: query %s", c->fd, line.c_str());
	size_t blank = line.find(' ');
	if (blank == std::string::npos) {
		client_reply(c, "PERM malformed query: no blank after the table name");
		return;
	}
	std::string reply;
	if (serve_upstream == nullptr) {
		if (!map_answer(line, false, &reply)) {
			c->waiting = true;
			c->map_query = line;
			c->map_since = now;
			return;
		}
	} else if (!bridge_start(&c->up, line, now, &reply)) {
		c->waiting = true;
		return;
	}
	client_reply(c, reply);
}

// True while the client's pending input can be served now.
bool client_can_serve(const client* c)
{
	return !c->dead && !c->waiting && unsent(c) < SERVE_OUT_HIGH && c->in_off < c->in_len;
}

// Serves the queries of the client's pending input as far as it may, then
// writes what it can and decides whether the client is done. Replies
// that reach the output limit are written before the rest of the input
// is served, so a client whose input still holds queries leaves here
// either with its input used up, waiting for an answer, or with replies
// that its socket would not take (and so with POLLOUT to wait for).
void client_progress(client* c, int64_t now)
{
	do {
		while (client_can_serve(c)) {
			size_t used;
			line_status status = line_read(&c->lines, c->in + c->in_off,
			                               c->in_len - c->in_off, &used);
			c->in_off += used;
			if (status == LINE_COMPLETE)
				client_query(c, c->lines.line, now);
			else if (status == LINE_TOO_LONG)
				client_reply(c, "PERM query too long");
		}
		if (!c->dead)
			client_flush(c, now);
	} while (client_can_serve(c));
	if (c->in_off == c->in_len)
		c->in_off = c->in_len = 0;
	// At the end of its input a client is closed once its replies are out;
	// the bytes of an unfinished last line are dropped.
	if (c->eof && !c->waiting && c->in_len == 0 && unsent(c) == 0)
		c->dead = true;
}

void client_read(client* c, int64_t now)
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
		c->dead = true;
	}
}

short client_events(const client* c)
{
	short events = 0;
	if (!c->eof && !c->dead && c->in_len == 0)
		events |= POLLIN;
	if (unsent(c) > 0)
		events |= POLLOUT;
	return events;
}

void close_client(client* c)
{
	if (serve_verbose)
		log_dbg("client %d: closed%s", c->fd,
		        line_pending(&c->lines) ? ", unfinished line dropped" : "");
	bridge_close(&c->up);
	close(c->fd);
}

// When closing the client to admit another would cost it nothing but a
// reconnect, as far as the server's own state tells: now when nothing is
// in flight, no reply waits and all its input is used (unless it has not
// yet sent anything: then once SERVE_FRESH_MS have passed), or when its
// replies have waited unread for SERVE_STUCK_MS. -1 while a query is
// being answered. Bytes still in its socket are looked for only when it
// is about to be closed (see next_victim()).
int64_t closable_at(const client* c)
{
	if (c->waiting || c->dead)
		return -1;
	if (unsent(c) > 0)
		return c->last_active + SERVE_STUCK_MS;
	if (c->in_len > 0)
		return -1;
	return c->spoke ? c->last_active : c->last_active + SERVE_FRESH_MS;
}

// When the first client becomes closable: `now` when one is already, -1
// when none will by time alone.
int64_t admission_time(int64_t now)
{
	int64_t when = -1;
	for (const auto& c : serve_clients) {
		int64_t at = closable_at(c.get());
		if (at != -1 && (when == -1 || at < when))
			when = at;
	}
	return when == -1 ? -1 : std::max(when, now);
}

// The clients that may be closed to admit others, idle longest first.
std::vector<client*> admission_order(int64_t now)
{
	std::vector<client*> order;
	for (const auto& c : serve_clients) {
		int64_t at = closable_at(c.get());
		if (at != -1 && at <= now)
			order.push_back(c.get());
	}
	std::stable_sort(order.begin(), order.end(), [](const client* a, const client* b) {
		return a->last_active < b->last_active;
	});
	return order;
}

// The next client of `order`, from *next on, that can be closed now; null
// when none is left. One that looks idle may have sent a query since the
// last poll(): with bytes waiting in its socket it is skipped, and served
// in the next round.
client* next_victim(const std::vector<client*>& order, size_t* next)
{
	while (*next < order.size()) {
		client* c = order[(*next)++];
		char byte;
		if (unsent(c) > 0 || recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0)
			return c;
	}
	return nullptr;
}

void evict(client* victim, int64_t now)
{
	static int64_t warned = -1;
	if (warned == -1 || now - warned >= 60000) {
		log_warning("warn: all %zu client slots in use: closing the clients idle longest "
		            "to admit new ones",
		            serve_max_clients);
		warned = now;
	}
	if (serve_verbose)
		log_dbg("client %d: idle longest, closed to admit a new client", victim->fd);
	close_client(victim);
	for (auto it = serve_clients.begin(); it != serve_clients.end(); ++it) {
		if (it->get() == victim) {
			serve_clients.erase(it);
			break;
		}
	}
}

// Descriptors ran out although the table was sized to the limit (others
// hold some: inherited ones?). Lowers the table to what the descriptors
// its clients hold now leave room for, with serve_client_fds for each
// (its upstream side at its largest, as a bridge) and one more for a
// connection accepted before the client it replaces is closed, and
// closes idle clients beyond it, as far as there are.
void shrink_table(int64_t now)
{
	size_t held = 0;
	for (const auto& c : serve_clients)
		held += 1 + bridge_descriptors(&c->up);
	size_t fit = std::max<size_t>(held > 0 ? (held - 1) / serve_client_fds : 0, 1);
	if (fit < serve_max_clients) {
		serve_max_clients = fit;
		log_warning("warn: descriptors exhausted: client table reduced to %zu",
		            serve_max_clients);
	}
	std::vector<client*> order = admission_order(now);
	size_t next = 0;
	while (serve_clients.size() > serve_max_clients) {
		client* victim = next_victim(order, &next);
		if (victim == nullptr)
			break;
		evict(victim, now);
	}
}

void accept_clients(int listener, int64_t now, int64_t* pause_until)
{
	// Clients accepted here are not in the order: none is closed for
	// another in the same round.
	std::vector<client*> order = admission_order(now);
	size_t next = 0;
	for (;;) {
		client* victim = nullptr;
		if (serve_clients.size() >= serve_max_clients &&
		    (victim = next_victim(order, &next)) == nullptr)
			return;
		int fd = accept(listener, nullptr, nullptr);
		if (fd == -1) {
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
			    errno == ENOMEM) {
				int error = errno;
				log_warning_sys("warn: accept");
				if (error == EMFILE && !serve_clients.empty()) {
					// The client picked to make room goes first, and
					// its descriptors serve the next accept() at once.
					if (victim != nullptr)
						evict(victim, now);
					shrink_table(now);
					if (victim != nullptr) {
						order = admission_order(now);
						next = 0;
						continue;
					}
				}
				*pause_until = now + SERVE_ACCEPT_PAUSE_MS;
			} else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
			           errno != ECONNABORTED) {
				log_warning_sys("warn: accept");
			}
			return;
		}
		if (victim != nullptr)
			evict(victim, now);
		fcntl(fd, F_SETFD, FD_CLOEXEC);
		usock_set_nonblocking(fd);
		auto c = std::make_unique<client>();
		c->fd = fd;
		c->last_active = now;
		line_reader_init(&c->lines, SERVE_QUERY_MAX);
		if (serve_verbose)
			log_dbg("client %d: connected", fd);
		serve_clients.push_back(std::move(c));
	}
}

// Asks the maps again for the queries that wait for a map to load: after a
// load ended, and for the last time once a query has waited maps_wait_ms().
void retry_map_queries(bool load_ended, int64_t now)
{
	for (const auto& c : serve_clients) {
		if (!c->waiting)
			continue;
		bool give_up = now - c->map_since >= maps_wait_ms();
		std::string reply;
		if ((!load_ended && !give_up) || !map_answer(c->map_query, give_up, &reply))
			continue;
		c->waiting = false;
		client_reply(c.get(), reply);
		client_progress(c.get(), now);
	}
}

// Reads the signal pipe dry; true when the loop is to end.
bool take_signals()
{
	char bytes[64];
	while (read(serve_signal_pipe[0], bytes, sizeof bytes) > 0)
		;
	if (serve_hangup) {
		serve_hangup = 0;
		if (serve_upstream) {
			log_note("SIGHUP ignored: a bridge has no maps to read again");
		} else {
			log_note("SIGHUP: every map is read again at its next query");
			maps_reload();
		}
	}
	return serve_stop_signal != 0;
}

void serve(int listener)
{
	std::vector<pollfd> fds;
	int64_t accept_pause_until = 0;

	while (serve_stop_signal == 0) {
		int64_t now = now_ms();
		// The listener is polled whenever a slot can be had: one is free,
		// or a client may be closed for a newcomer; otherwise poll()
		// wakes up when one may.
		bool paused = now < accept_pause_until;
		int64_t admission = now;
		if (serve_clients.size() >= serve_max_clients)
			admission = admission_time(now);
		bool accepting = !paused && admission == now;
		int timeout = -1;
		auto lower_timeout = [&](int64_t when) {
			int64_t wait = when > now ? when - now : 0;
			if (timeout == -1 || wait < timeout)
				timeout = static_cast<int>(std::min<int64_t>(wait, INT_MAX));
		};
		if (paused)
			lower_timeout(accept_pause_until);
		else if (!accepting && admission != -1)
			lower_timeout(admission);
		if (maps_busy())
			timeout = 0;

		// Two entries and serve_client_fds per client: within the
		// descriptor limit by the size of the table.
		fds.clear();
		fds.push_back({serve_signal_pipe[0], POLLIN, 0});
		fds.push_back({accepting ? listener : -1, POLLIN, 0});
		for (const auto& c : serve_clients) {
			// A client with nothing to wait for is polled all the same:
			// poll() reports a peer that has closed its end (POLLHUP)
			// whatever was asked, and such a client is closed in this
			// round, so it cannot make poll() return at once over and over.
			fds.push_back({c->fd, client_events(c.get()), 0});
			if (serve_upstream) {
				fds.resize(fds.size() + BRIDGE_POLL_FDS);
				bridge_poll(&c->up, &fds[fds.size() - BRIDGE_POLL_FDS]);
				if (bridge_deadline(&c->up) != -1)
					lower_timeout(bridge_deadline(&c->up));
			} else if (c->waiting) {
				lower_timeout(c->map_since + maps_wait_ms());
			}
		}
		if (poll(fds.data(), fds.size(), timeout) == -1) {
			if (errno == EINTR)
				continue;
			die_sys("poll");
		}
		if (fds[0].revents != 0 && take_signals())
			break;
		now = now_ms();

		size_t polled = serve_clients.size();
		for (size_t i = 0; i < polled; i++) {
			client* c = serve_clients[i].get();
			const pollfd* p = &fds[2 + serve_client_fds * i];
			if (p[0].revents & POLLNVAL)
				c->dead = true;
			else if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) && !c->eof &&
			         c->in_len == 0)
				client_read(c, now);
			else if ((p[0].revents & (POLLHUP | POLLERR)) && !(p[0].events & POLLOUT))
				c->dead = true; // gone while it waits: nobody left to answer
			if (serve_upstream && c->waiting) {
				std::string reply;
				if (bridge_handle(&c->up, &p[1], now, &reply)) {
					c->waiting = false;
					client_reply(c, reply);
				}
			} else if (serve_upstream) {
				std::string unused;
				bridge_handle(&c->up, &p[1], now, &unused);
			}
			client_progress(c, now);
		}
		bool load_ended = maps_work();
		if (!serve_upstream)
			retry_map_queries(load_ended, now);
		for (size_t i = 0; i < serve_clients.size();) {
			if (serve_clients[i]->dead) {
				close_client(serve_clients[i].get());
				serve_clients.erase(serve_clients.begin() + static_cast<long>(i));
			} else {
				i++;
			}
		}
		// The connect is tried again shortly: idle clients closed now
		// leave it their descriptors.
		if (serve_upstream && bridge_short_of_descriptors())
			shrink_table(now);
		if (fds[1].revents & POLLIN)
			accept_clients(listener, now, &accept_pause_until);
	}
}

// Octal digits only: strtol() would also take blanks and a sign.
mode_t parse_mode(const char* text)
{
	size_t len = strlen(text);
	if (len == 0 || strspn(text, "01234567") != len || strtol(text, nullptr, 8) > 07777)
		die_msg("bad mode %s: expected an octal number up to 7777", text);
	return static_cast<mode_t>(strtol(text, nullptr, 8));
}

// The group named by `text`, a name or a number; it must exist.
gid_t parse_group(const char* text)
{
	const group* g = getgrnam(text);
	if (g == nullptr && *text != '\0' && strspn(text, "0123456789") == strlen(text)) {
		errno = 0;
		unsigned long id = strtoul(text, nullptr, 10);
		if (errno == 0 && id < USOCK_GROUP_KEEP)
			g = getgrgid(static_cast<gid_t>(id));
	}
	if (g == nullptr)
		die_msg("bad group %s: no such group", text);
	return g->gr_gid;
}

int64_t parse_timeout(const char* text)
{
	char* end;
	errno = 0;
	double seconds = strtod(text, &end);
	if (*text == '\0' || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > 3600)
		die_msg("bad timeout %s: expected seconds, more than 0 and at most 3600", text);
	return std::max<int64_t>(1, std::llround(seconds * 1000));
}

// Raises the descriptor limit as far as it goes and sizes the client
// table to it.
void size_client_table()
{
	size_t limit = fdlimit_raise();
	serve_client_fds = serve_upstream ? 1 + BRIDGE_POLL_FDS : 1;
	size_t room = limit > SERVE_FD_RESERVE ? limit - SERVE_FD_RESERVE : 0;
	serve_max_clients = std::clamp<size_t>(room / serve_client_fds, 1, SERVE_MAX_CLIENTS);
	log_note("descriptor limit %zu: up to %zu clients at once", limit, serve_max_clients);
}

} // namespace

int main(int argc, char* argv[])
{
	// Before anything is opened: no socket or pipe may become a standard
	// descriptor, where a log line would be written into it.
	bool stdfd_ok = stdfd_ensure_open();
	log_start(1);
	// The journal puts the name and process id before each line itself,
	// and takes its level from a "<N>" prefix.
	if (svcmgr_journal_stderr()) {
		log_plain_lines(1);
		log_level_prefix(1);
	}
	// Before anything can fail: a failed start under socket activation
	// takes and closes the connections waiting for it.
	svcmgr_drain_on_failed_start();
	if (!stdfd_ok)
		die_sys("cannot open /dev/null on a closed standard descriptor");

	static const option longopts[] = {
	        {"mode", required_argument, nullptr, 'm'},
	        {"group", required_argument, nullptr, 'g'},
	        {"upstream", required_argument, nullptr, 'u'},
	        {"timeout", required_argument, nullptr, 't'},
	        {"verbose", no_argument, nullptr, 'v'},
	        {"help", no_argument, nullptr, 'h'},
	        {"version", no_argument, nullptr, OPT_VERSION},
	        {nullptr, 0, nullptr, 0},
	};
	mode_t mode = 0660;
	bool mode_given = false;
	gid_t group = USOCK_GROUP_KEEP;
	int64_t timeout_ms = SERVE_DEFAULT_TIMEOUT_MS;
	bool timeout_given = false;
	int opt;
	while ((opt = getopt_long(argc, argv, "m:g:u:t:vh", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'm':
			mode = parse_mode(optarg);
			mode_given = true;
			break;
		case 'g':
			group = parse_group(optarg);
			break;
		case 'u':
			serve_upstream = optarg;
			break;
		case 't':
			timeout_ms = parse_timeout(optarg);
			timeout_given = true;
			break;
		case 'v':
			serve_verbose = true;
			break;
		case 'h':
			usage(0);
		case OPT_VERSION:
			printf("smap-serve %s\n", SMAP_VERSION);
			exit_printed();
		default:
			usage(1);
		}
	}
	int operands = argc - optind;
	if (operands != (serve_upstream ? 1 : 2) || (timeout_given && !serve_upstream))
		usage(1);
	const char* socket_path = argv[optind];
	log_verbosity(serve_verbose ? 1 : 0);
	// A socket passed by the service manager is its own: never bound,
	// chmod-ed or removed here.
	int listener = svcmgr_listener(socket_path);
	bool activated = listener != -1;
	if (activated && mode_given)
		log_warning("warn: --mode ignored: the service manager sets the socket's mode");
	if (activated && group != USOCK_GROUP_KEEP)
		log_warning("warn: --group ignored: the service manager sets the socket's group");

	if (serve_upstream) {
		endpoint upstream;
		std::string why;
		if (!endpoint_parse(serve_upstream, &upstream, &why))
			die_msg("bad upstream %s: %s; expected one of %s", serve_upstream,
			        why.c_str(), ENDPOINT_FORMS);
		bridge_setup(upstream, timeout_ms);
	} else {
		maps_open(argv[optind + 1]);
	}
	size_client_table();

	setup_signals();
	struct stat identity;
	std::string why;
	if (!activated)
		listener = usock_listen(socket_path, mode, group, &identity, &why);
	if (listener == -1)
		die_msg("%s", why.c_str());
	const char* how = activated ? " (from the service manager)" : "";
	if (serve_upstream)
		log_note("listening on %s%s, bridging to %s", socket_path, how, serve_upstream);
	else
		log_note("listening on %s%s, maps in %s", socket_path, how, argv[optind + 1]);

	svcmgr_notify("READY=1");
	serve(listener);
	svcmgr_notify("STOPPING=1");

	for (const auto& c : serve_clients)
		close_client(c.get());
	serve_clients.clear();
	close(listener);
	const char* socket_fate = ", socket left to the service manager";
	if (!activated)
		socket_fate = usock_unlink_own(socket_path, &identity)
		                      ? ", socket removed"
		                      : ", socket path no longer ours, left alone";
	log_note("stopped by signal %d%s", static_cast<int>(serve_stop_signal), socket_fate);
	return 0;
}
