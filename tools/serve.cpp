// smap-serve: a line-framed socketmap server answering from map files or
// bridging to a netstring-framed socketmap server.
//
// One thread, one poll loop, non-blocking sockets: every client has its
// own input chunk, line reader, output buffer and (as a bridge) upstream
// connection, so a client that sends slowly, stops reading or waits on a
// stalled upstream holds up nobody else. Input is read from a client only
// when its last chunk has been used up and its unsent replies are below a
// limit, which bounds the memory of each client. Replies are written in
// the order of the queries.
//
// Fatal (through die_msg()/die_sys(), status 1): a bad command line, a
// socket path that cannot be taken over, a map directory that cannot be
// opened, a failing poll(). SIGINT and SIGTERM end the loop; the server
// then removes its socket (if the path still names it) and exits with 0.
#include "support/log.hpp"
#include "tools/bridge.hpp"
#include "tools/lineframe.hpp"
#include "tools/maps.hpp"
#include "tools/svcmgr.hpp"
#include "tools/usock.hpp"

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
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// The longest query line served, its newline not counted. A query is a
// table name and a key; mail addresses and user names stay far below it.
constexpr size_t SERVE_QUERY_MAX = 8192;
// Input is not read while this many reply bytes wait for the client.
constexpr size_t SERVE_OUT_HIGH = 65536;
constexpr size_t SERVE_MAX_CLIENTS = 256;
// After accept() ran out of descriptors, wait this long before the next.
constexpr int64_t SERVE_ACCEPT_PAUSE_MS = 1000;
// The bound on one upstream attempt: two attempts stay below the
// backend's 10-second bound, so the backend gets an answer.
constexpr double SERVE_DEFAULT_TIMEOUT = 4.0;

struct client {
	int fd = -1;
	char in[16384];
	size_t in_off = 0;
	size_t in_len = 0;
	line_reader lines;
	std::string out;
	size_t out_off = 0;
	bool eof = false;     // the client will send nothing more
	bool dead = false;    // close at the end of this round
	bool waiting = false; // a query is with the upstream
	bridge_conn up;
};

const char* serve_upstream;
bool serve_verbose;
std::vector<std::unique_ptr<client>> serve_clients;
int serve_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t serve_stop_signal;

[[noreturn]] void usage()
{
	fprintf(stderr, "usage: smap-serve [-v] [-m mode] SOCKET MAPDIR\n"
	                "       smap-serve [-v] [-m mode] [-t seconds] -u UPSTREAM SOCKET\n");
	exit(1);
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
	// A client that has gone must make a write fail, not end the server.
	signal(SIGPIPE, SIG_IGN);
}

size_t unsent(const client* c)
{
	return c->out.size() - c->out_off;
}

void client_flush(client* c)
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
	}
	if (unsent(c) == 0) {
		c->out.clear();
		c->out_off = 0;
	}
}

void client_reply(client* c, std::string_view reply)
{
	if (serve_verbose) {
		// Only the reply's prefix: values may be secrets.
		size_t shown = std::min(reply.find(' '), reply.size());
		log_dbg("client %d: reply %.*s", c->fd, static_cast<int>(shown), reply.data());
	}
	c->out.append(reply);
	c->out.push_back('\n');
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
		std::string_view text = line;
		maps_answer(text.substr(0, blank), text.substr(blank + 1), &reply);
	} else if (!bridge_start(&c->up, line, now, &reply)) {
		c->waiting = true;
		return;
	}
	client_reply(c, reply);
}

// Serves the queries of the client's pending input as far as it may, then
// writes what it can and decides whether the client is done.
void client_progress(client* c, int64_t now)
{
	while (!c->dead && !c->waiting && unsent(c) < SERVE_OUT_HIGH && c->in_off < c->in_len) {
		size_t used;
		line_status status =
		        line_read(&c->lines, c->in + c->in_off, c->in_len - c->in_off, &used);
		c->in_off += used;
		if (status == LINE_COMPLETE)
			client_query(c, c->lines.line, now);
		else if (status == LINE_TOO_LONG)
			client_reply(c, "PERM query too long");
	}
	if (c->in_off == c->in_len)
		c->in_off = c->in_len = 0;
	if (!c->dead)
		client_flush(c);
	// At the end of its input a client is closed once its replies are out;
	// the bytes of an unfinished last line are dropped.
	if (c->eof && !c->waiting && c->in_len == 0 && unsent(c) == 0)
		c->dead = true;
}

void client_read(client* c)
{
	ssize_t n = recv(c->fd, c->in, sizeof c->in, MSG_DONTWAIT);
	if (n > 0) {
		c->in_off = 0;
		c->in_len = static_cast<size_t>(n);
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

void accept_clients(int listener, int64_t now, int64_t* pause_until)
{
	while (serve_clients.size() < SERVE_MAX_CLIENTS) {
		int fd = accept(listener, nullptr, nullptr);
		if (fd == -1) {
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
			    errno == ENOMEM) {
				log_warning_sys("warn: accept");
				*pause_until = now + SERVE_ACCEPT_PAUSE_MS;
			} else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
			           errno != ECONNABORTED) {
				log_warning_sys("warn: accept");
			}
			return;
		}
		fcntl(fd, F_SETFD, FD_CLOEXEC);
		usock_set_nonblocking(fd);
		auto c = std::make_unique<client>();
		c->fd = fd;
		line_reader_init(&c->lines, SERVE_QUERY_MAX);
		if (serve_verbose)
			log_dbg("client %d: connected", fd);
		serve_clients.push_back(std::move(c));
	}
}

void close_client(client* c)
{
	if (serve_verbose)
		log_dbg("client %d: closed%s", c->fd,
		        line_pending(&c->lines) ? ", unfinished line dropped" : "");
	bridge_close(&c->up);
	close(c->fd);
}

void serve(int listener)
{
	std::vector<pollfd> fds;
	int64_t accept_pause_until = 0;

	while (serve_stop_signal == 0) {
		int64_t now = now_ms();
		bool accepting =
		        serve_clients.size() < SERVE_MAX_CLIENTS && now >= accept_pause_until;
		int timeout = -1;
		auto lower_timeout = [&](int64_t when) {
			int64_t wait = when > now ? when - now : 0;
			if (timeout == -1 || wait < timeout)
				timeout = static_cast<int>(std::min<int64_t>(wait, INT_MAX));
		};
		if (!accepting && serve_clients.size() < SERVE_MAX_CLIENTS)
			lower_timeout(accept_pause_until);

		fds.clear();
		fds.push_back({serve_signal_pipe[0], POLLIN, 0});
		fds.push_back({accepting ? listener : -1, POLLIN, 0});
		for (const auto& c : serve_clients) {
			short events = client_events(c.get());
			short up_events = bridge_events(&c->up);
			// A descriptor with nothing to wait for is left out, so a hung-up
			// client cannot make poll() return at once over and over.
			fds.push_back({events ? c->fd : -1, events, 0});
			fds.push_back({up_events ? c->up.fd : -1, up_events, 0});
			if (bridge_deadline(&c->up) != -1)
				lower_timeout(bridge_deadline(&c->up));
		}
		if (poll(fds.data(), fds.size(), timeout) == -1) {
			if (errno == EINTR)
				continue;
			die_sys("poll");
		}
		if (fds[0].revents != 0)
			break;
		now = now_ms();

		size_t polled = serve_clients.size();
		for (size_t i = 0; i < polled; i++) {
			client* c = serve_clients[i].get();
			short revents = fds[2 + 2 * i].revents;
			if (revents & POLLNVAL)
				c->dead = true;
			else if ((revents & (POLLIN | POLLHUP | POLLERR)) && !c->eof &&
			         c->in_len == 0)
				client_read(c);
			if (c->waiting) {
				std::string reply;
				if (bridge_handle(&c->up, fds[3 + 2 * i].revents, now, &reply)) {
					c->waiting = false;
					client_reply(c, reply);
				}
			} else {
				std::string unused;
				bridge_handle(&c->up, fds[3 + 2 * i].revents, now, &unused);
			}
			client_progress(c, now);
		}
		for (size_t i = 0; i < serve_clients.size();) {
			if (serve_clients[i]->dead) {
				close_client(serve_clients[i].get());
				serve_clients.erase(serve_clients.begin() + static_cast<long>(i));
			} else {
				i++;
			}
		}
		if (fds[1].revents & POLLIN)
			accept_clients(listener, now, &accept_pause_until);
	}
}

mode_t parse_mode(const char* text)
{
	char* end;
	errno = 0;
	long mode = strtol(text, &end, 8);
	if (*text == '\0' || *end != '\0' || errno != 0 || mode < 0 || mode > 07777)
		die_msg("bad mode %s: expected an octal number up to 7777", text);
	return static_cast<mode_t>(mode);
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

} // namespace

int main(int argc, char* argv[])
{
	log_start(1);

	static const option longopts[] = {
	        {"mode", required_argument, nullptr, 'm'},
	        {"upstream", required_argument, nullptr, 'u'},
	        {"timeout", required_argument, nullptr, 't'},
	        {"verbose", no_argument, nullptr, 'v'},
	        {nullptr, 0, nullptr, 0},
	};
	mode_t mode = 0660;
	bool mode_given = false;
	int64_t timeout_ms = std::llround(SERVE_DEFAULT_TIMEOUT * 1000);
	bool timeout_given = false;
	int opt;
	while ((opt = getopt_long(argc, argv, "m:u:t:v", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'm':
			mode = parse_mode(optarg);
			mode_given = true;
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
		default:
			usage();
		}
	}
	int operands = argc - optind;
	if (operands != (serve_upstream ? 1 : 2) || (timeout_given && !serve_upstream))
		usage();
	const char* socket_path = argv[optind];
	log_verbosity(serve_verbose ? 1 : 0);
	// A socket passed by the service manager is its own: never bound,
	// chmod-ed or removed here.
	int listener = svcmgr_listener(socket_path);
	bool activated = listener != -1;
	if (activated && mode_given)
		log_warning("warn: --mode ignored: the service manager sets the socket's mode");

	sockaddr_un probe;
	if (serve_upstream) {
		if (!usock_address(serve_upstream, &probe))
			die_msg("upstream socket path too long: %s", serve_upstream);
		bridge_setup(serve_upstream, timeout_ms);
	} else {
		maps_open(argv[optind + 1]);
	}

	setup_signals();
	struct stat identity;
	std::string why;
	if (!activated)
		listener = usock_listen(socket_path, mode, &identity, &why);
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
