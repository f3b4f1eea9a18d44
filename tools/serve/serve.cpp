// SPDX-License-Identifier: ISC
// smap-serve: a line-framed socketmap server answering from map files or
// bridging to a netstring-framed socketmap server.
//
// One thread, one poll loop, non-blocking sockets. Each round builds the
// poll set (the signal pipe, the listener while admission lets newcomers
// in, every client, the source's own descriptors), waits for the earliest
// deadline that any of them gives, then dispatches: the source first (its
// answers go to their clients), then each client's input and output, then
// the clients that are done are closed, and newcomers admitted. So a client
// that sends slowly, stops reading or waits on a stalled upstream holds up
// nobody else. One client is client.hpp's, the table's size and who makes
// room for whom admission.hpp's, the answers the source's (source.hpp):
// the maps (mapsource.hpp) or the bridge (bridge.hpp), chosen once at
// start.
//
// Fatal (through die_msg()/die_sys(), status 1): a bad command line
// (options.hpp), a socket path that cannot be taken over or given the
// group asked for, a map directory that cannot be opened, a failing
// poll(). SIGINT and SIGTERM end the loop; the server then removes its
// socket (if the path still names it) and exits with 0. SIGHUP goes to the
// source: every map is read again at its next query; the bridge empties its
// cache, or ignores it without one. SIGUSR1 logs a summary of the metrics
// (metricstext.hpp). With a metrics file, the loop hands its text to the
// writer when a write is due (metricsfile.hpp), and once more at exit.
#include "support/log.hpp"
#include "support/stdfd.hpp"
#include "tools/net/clock.hpp"
#include "tools/net/usock.hpp"
#include "tools/serve/admission.hpp"
#include "tools/serve/bridge.hpp"
#include "tools/serve/client.hpp"
#include "tools/serve/fdlimit.hpp"
#include "tools/serve/mapsource.hpp"
#include "tools/serve/metrics.hpp"
#include "tools/serve/metricsfile.hpp"
#include "tools/serve/metricstext.hpp"
#include "tools/serve/options.hpp"
#include "tools/serve/source.hpp"
#include "tools/serve/svcmgr.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

int serve_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t serve_stop_signal;
volatile sig_atomic_t serve_hangup;
volatile sig_atomic_t serve_summary;

void on_signal(int sig)
{
	int saved = errno;
	if (sig == SIGHUP)
		serve_hangup = 1;
	else if (sig == SIGUSR1)
		serve_summary = 1;
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
	sigaction(SIGUSR1, &sa, nullptr);
	// A client that has gone must make a write fail, not end the server.
	signal(SIGPIPE, SIG_IGN);
}

// Reads the signal pipe dry, passes on SIGHUP and logs the summary for
// SIGUSR1; true when the loop is to end.
bool take_signals(source* src)
{
	char bytes[64];
	while (read(serve_signal_pipe[0], bytes, sizeof bytes) > 0)
		;
	if (serve_hangup) {
		serve_hangup = 0;
		src->hangup();
	}
	if (serve_summary) {
		serve_summary = 0;
		for (const std::string& line : metrics_summary(metrics_now()))
			log_note("%s", line.c_str());
	}
	return serve_stop_signal != 0;
}

// The poll() timeout until the earliest of `deadlines` (-1: none).
int timeout_until(std::initializer_list<int64_t> deadlines, int64_t now)
{
	int64_t first = -1;
	for (int64_t at : deadlines)
		if (at != -1 && (first == -1 || at < first))
			first = at;
	if (first == -1)
		return -1;
	return static_cast<int>(std::clamp<int64_t>(first - now, 0, INT_MAX));
}

void serve(int listener, client_table* t)
{
	source* src = t->src;
	std::vector<pollfd> fds;
	std::vector<source_answer> answers;
	while (serve_stop_signal == 0) {
		// Build the poll set: two entries, one a client, and the source's,
		// within the descriptor limit by the size of the table.
		int64_t now = now_ms();
		int64_t open_at = admission_open_at(t, now);
		bool accepting = open_at == now;
		fds.clear();
		fds.push_back({serve_signal_pipe[0], POLLIN, 0});
		fds.push_back({accepting ? listener : -1, POLLIN, 0});
		// A client with nothing to wait for is polled all the same: poll()
		// reports a peer that has closed its end (POLLHUP) whatever was
		// asked, and such a client is closed in this round.
		for (const auto& c : t->clients)
			fds.push_back({c->fd, client_events(c.get()), 0});
		size_t source_at = fds.size();
		src->poll_set(&fds);

		int timeout = timeout_until(
		        {accepting ? -1 : open_at, src->deadline(), metrics_file_due()}, now);
		if (poll(fds.data(), fds.size(), timeout) == -1) {
			if (errno == EINTR)
				continue;
			die_sys("poll");
		}
		// The clock of the round, which the metrics time queries by.
		int64_t round_us = now_us();
		now = round_us / 1000;
		metrics_round(round_us);
		metrics_clients(t->clients.size(), t->slots);
		if (fds[0].revents != 0 && take_signals(src))
			break;

		// Dispatch: the source, whose answers go to their clients, then
		// the clients polled (not those admitted below).
		size_t polled = t->clients.size();
		answers.clear();
		src->run(fds.data() + source_at, now, &answers);
		for (source_answer& a : answers)
			client_answered(a.who, src, a.reply, now);
		for (size_t i = 0; i < polled; i++)
			client_polled(t->clients[i].get(), src, fds[2 + i].revents, now);

		// Reap, then make room: idle clients closed now leave a short
		// source their descriptors for its next try.
		client_reap(t);
		if (src->short_of_descriptors())
			admission_shrink(t, now);
		if (fds[1].revents & POLLIN)
			admission_accept(t, listener, now);
		metrics_file_run(now);
	}
}

// The socket passed by the service manager, or -1 when none was.
int open_listener(const serve_options& o, bool* activated)
{
	// A socket passed by the service manager is its own: never bound,
	// chmod-ed or removed here.
	int listener = svcmgr_listener(o.socket_path);
	*activated = listener != -1;
	if (*activated && o.mode_given)
		log_warning("warn: --mode ignored: the service manager sets the socket's mode");
	if (*activated && o.group != USOCK_GROUP_KEEP)
		log_warning("warn: --group ignored: the service manager sets the socket's group");
	return listener;
}

// After the loop: closes the clients and the listener, writes the metrics
// file a last time, and removes the socket unless the service manager
// passed it (`identity` null).
void shut_down(int listener, client_table* t, const serve_options& o, const struct stat* identity)
{
	while (!t->clients.empty())
		client_remove(t, t->clients.back().get());
	metrics_clients(0, t->slots);
	metrics_file_finish();
	close(listener);
	const char* socket_fate = ", socket left to the service manager";
	if (identity != nullptr)
		socket_fate = usock_unlink_own(o.socket_path, identity)
		                      ? ", socket removed"
		                      : ", socket path no longer ours, left alone";
	log_note("stopped by signal %d%s", static_cast<int>(serve_stop_signal), socket_fate);
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

	serve_options o;
	options_parse(argc, argv, &o);
	metrics_begin(o.map_dir != nullptr ? METRICS_MAPS : METRICS_BRIDGE);
	client_verbose = o.verbose;
	log_verbosity(o.verbose ? 1 : 0);
	bool activated;
	struct stat identity;
	int listener = open_listener(o, &activated);

	std::unique_ptr<source> src = o.map_dir != nullptr
	                                      ? source_maps(o.map_dir)
	                                      : source_bridge(o.upstreams, o.timeout_ms, o.cache);
	client_table table;
	table.src = src.get();
	// Raised as far as it goes first: poll() takes no more entries than it.
	admission_size(&table, fdlimit_raise());

	setup_signals();
	std::string why;
	if (!activated)
		listener = usock_listen(o.socket_path, o.mode, o.group, &identity, &why);
	if (listener == -1)
		die_msg("%s", why.c_str());
	const char* how = activated ? " (from the service manager)" : "";
	if (o.map_dir == nullptr)
		log_note("listening on %s%s, bridging to %s", o.socket_path, how,
		         o.upstream_text.c_str());
	else
		log_note("listening on %s%s, maps in %s", o.socket_path, how, o.map_dir);

	if (o.metrics_file != nullptr)
		metrics_file_start(o.metrics_file, o.metrics_interval_ms, now_ms());
	svcmgr_notify("READY=1");
	serve(listener, &table);
	svcmgr_notify("STOPPING=1");

	shut_down(listener, &table, o, activated ? nullptr : &identity);
	return 0;
}
