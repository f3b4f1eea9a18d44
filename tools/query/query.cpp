// SPDX-License-Identifier: ISC
// smap-query: asks a socketmap server for keys of one table by hand and
// prints each reply as received, one line per key.
//
// Line framing by default ("TABLE KEY\n" out, one reply line back, as the
// backend speaks it); with --netstring the netstring framing of the
// original protocol, to check a server before bridging to it. The server
// is an endpoint (tools/endpoint.hpp): a local socket or TCP, whose
// addresses are dialed as the bridge dials them. One connection, one
// query at a time. Connecting is bounded by QUERY_TIMEOUT_MS, and so is
// each query together with its whole reply (for tests only, the
// environment variable SMAP_QUERY_TEST_TIMEOUT_MS, when it holds a smaller
// number of milliseconds, replaces it). A server that never
// answers in the chosen framing may speak the other: the messages then
// say so.
//
// Replies are read as the backend reads them. A reply longer than 100000
// bytes, a malformed netstring, and a reply that has begun but not ended
// within the bound end the run: the connection is out of step, and no
// further key is asked. A reply is printed only once the read it came in
// is known to hold nothing more: bytes beyond it there make neither it
// nor them the key's answer. Bytes waiting before the next query are a
// surplus reply to the previous key, whose reply was printed. Either
// surplus is warned about and the next key is asked on a new connection.
// A server that has closed the connection between two queries is
// connected again.
//
// Standard output is checked before the server is asked anything: closed,
// open for reading only, or a pipe or socket without a reader ends the
// run. A failed write of a reply ends it before the next query.
//
// Exit status: the highest of the keys' statuses, 0 for OK, 1 for
// NOTFOUND, 2 for TEMP, TIMEOUT, PERM or anything unrecognized (a reply
// that the backend would not take as found or not found) and for a
// surplus reply; 3 when the server cannot be reached, or the connection
// fails or stays silent before every reply has arrived; 64 for a bad
// command line; 74 when standard output cannot take the replies. --help
// and --version print to standard output and exit 0.
#include "support/stdfd.hpp"
#include "tools/net/clock.hpp"
#include "tools/net/dial.hpp"
#include "tools/net/endpoint.hpp"
#include "tools/net/errtext.hpp"
#include "tools/net/lineframe.hpp"
#include "tools/net/netstring.hpp"
#include "tools/net/peek.hpp"
#include "tools/net/reply.hpp"
#include "tools/query/output.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int64_t QUERY_TIMEOUT_MS = 10000;
// getopt_long()'s value for --version, which has no short form.
constexpr int OPT_VERSION = 256;

endpoint query_server;
endpoint_addresses query_addresses;
bool query_netstring;
int query_fd = -1;
char query_in[16384];
size_t query_in_off;
size_t query_in_len;
int query_worst;
int64_t query_bound_ms;
char query_bound_text[32]; // "10 seconds"

// Ends a run that printed --help or --version.
[[noreturn]] void exit_printed()
{
	if (fflush(stdout) != 0)
		err(QUERY_EXIT_OUTPUT, "cannot write to standard output");
	exit(0);
}

// The usage lines: on standard output with status 0 for --help, else on
// standard error with status QUERY_EXIT_USAGE.
[[noreturn]] void usage(int status)
{
	fprintf(status == 0 ? stdout : stderr,
	        "usage: smap-query [-n | --netstring] SERVER TABLE KEY...\n"
	        "       smap-query --help | --version\n"
	        "SERVER is one of %s\n",
	        ENDPOINT_FORMS);
	if (status == 0)
		exit_printed();
	exit(status);
}

const char* server()
{
	return query_server.text.c_str();
}

// What to try when the server may speak the other framing.
const char* framing_hint()
{
	return query_netstring ? "a line server? try without --netstring"
	                       : "a netstring server? try --netstring";
}

[[noreturn]] void die_io(const char* what, int error)
{
	if (error == ETIMEDOUT)
		errx(QUERY_EXIT_UNREACHABLE, "%s %s: timed out after %s", what, server(),
		     query_bound_text);
	errx(QUERY_EXIT_UNREACHABLE, "%s",
	     with_error(std::string(what) + " " + server(), error).c_str());
}

// Waits for `events` on fd until the deadline; false when it passed.
bool wait_for(int fd, short events, int64_t deadline)
{
	for (;;) {
		int64_t left = deadline - now_ms();
		if (left <= 0)
			return false;
		pollfd p = {fd, events, 0};
		int r = poll(&p, 1, static_cast<int>(left));
		if (r > 0)
			return true;
		if (r == -1 && errno != EINTR)
			err(QUERY_EXIT_UNREACHABLE, "poll");
	}
}

// A connection to the first address that takes one within the bound, or
// -1 with errno set.
int connect_server()
{
	int64_t now = now_ms();
	endpoint_dialer dial;
	endpoint_dialed out;
	endpoint_dial_result result =
	        endpoint_dial_start(&dial, query_addresses, 0, now, now + query_bound_ms, &out);
	while (result == ENDPOINT_DIAL_PENDING) {
		pollfd entries[ENDPOINT_DIAL_MAX];
		endpoint_dial_poll(&dial, entries);
		int64_t wait = std::max<int64_t>(0, endpoint_dial_wake(&dial) - now);
		if (poll(entries, ENDPOINT_DIAL_MAX, static_cast<int>(wait)) == -1 &&
		    errno != EINTR)
			err(QUERY_EXIT_UNREACHABLE, "poll");
		now = now_ms();
		result = endpoint_dial_step(&dial, entries, now, &out);
	}
	errno = out.error;
	return out.fd;
}

void disconnect()
{
	close(query_fd);
	query_fd = -1;
	query_in_off = query_in_len = 0;
}

// `what` was not shown of the reply to `key`.
void surplus(const char* key, const char* what)
{
	warnx("%s sent more than one reply to %s: %s", server(), key, what);
	query_worst = std::max(query_worst, 2);
	disconnect();
}

// Before a query on a connection used before: bytes waiting unasked are a
// surplus reply to the previous key; a connection that the server has
// closed is opened again, as the backend does.
void check_idle(const char* previous_key)
{
	switch (peek_unread(query_fd)) {
	case PEEK_BYTES:
		surplus(previous_key, "the rest is not shown");
		break;
	case PEEK_CLOSED:
		disconnect();
		break;
	case PEEK_NONE:
		break;
	}
}

void send_all(const std::string& data, int64_t deadline)
{
	size_t off = 0;
	while (off < data.size()) {
		ssize_t n = send(query_fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
		if (n >= 0) {
			off += static_cast<size_t>(n);
		} else if (errno != EINTR) {
			if (errno != EAGAIN && errno != EWOULDBLOCK)
				die_io("cannot write to", errno);
			if (!wait_for(query_fd, POLLOUT, deadline))
				die_io("cannot write to", ETIMEDOUT);
		}
	}
}

enum fill_result { FILL_DATA, FILL_END, FILL_TIMEOUT };

// Makes input available, waiting until the deadline.
fill_result fill(int64_t deadline)
{
	if (query_in_off < query_in_len)
		return FILL_DATA;
	for (;;) {
		ssize_t n = recv(query_fd, query_in, sizeof query_in, 0);
		if (n > 0) {
			query_in_off = 0;
			query_in_len = static_cast<size_t>(n);
			return FILL_DATA;
		}
		if (n == 0)
			return FILL_END;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			die_io("cannot read from", errno);
		if (!wait_for(query_fd, POLLIN, deadline))
			return FILL_TIMEOUT;
	}
}

// One reply in either framing.
struct reply_reader {
	line_reader line;
	ns_decoder ns;
};

enum read_step { STEP_MORE, STEP_DONE, STEP_BAD };

// Consumes buffered input into the reply; STEP_BAD with the reason in
// *why when the reply can never be taken.
read_step read_some(reply_reader* r, std::string* why)
{
	const char* data = query_in + query_in_off;
	size_t len = query_in_len - query_in_off;
	size_t used;
	if (query_netstring) {
		ns_status status = ns_decode(&r->ns, data, len, &used);
		query_in_off += used;
		if (status == NS_PARTIAL)
			return STEP_MORE;
		if (status == NS_COMPLETE)
			return STEP_DONE;
		*why = ns_status_text(status);
		return STEP_BAD;
	}
	line_status status = line_read(&r->line, data, len, &used);
	query_in_off += used;
	if (r->line.overlong) {
		*why = "longer than " + std::to_string(SMAP_REPLY_MAX) + " bytes, not shown";
		return STEP_BAD;
	}
	return status == LINE_COMPLETE ? STEP_DONE : STEP_MORE;
}

int ask(const std::string& table, const char* key, const char* previous_key)
{
	if (query_fd != -1 && previous_key != nullptr)
		check_idle(previous_key);
	if (query_fd == -1 && (query_fd = connect_server()) == -1)
		die_io("cannot connect to", errno);

	int64_t deadline = now_ms() + query_bound_ms;
	std::string query = table + " " + key;
	std::string wire;
	if (query_netstring)
		netstring_append(&wire, query);
	else
		wire = query + "\n";
	send_all(wire, deadline);

	reply_reader r;
	line_reader_init(&r.line, SMAP_REPLY_MAX);
	ns_decoder_init(&r.ns, SMAP_REPLY_MAX);
	bool begun = false;
	std::string why;
	for (;;) {
		fill_result got = fill(deadline);
		if (got == FILL_TIMEOUT) {
			if (!begun)
				errx(QUERY_EXIT_UNREACHABLE,
				     "cannot read from %s: timed out after %s; %s", server(),
				     query_bound_text, framing_hint());
			warnx("reply to %s did not end within %s", key, query_bound_text);
			exit(2);
		}
		if (got == FILL_END) {
			// A last line cut short by the end of the connection is a
			// reply, as the backend takes it.
			if (query_netstring)
				errx(QUERY_EXIT_UNREACHABLE,
				     "%s closed the connection before replying to %s", server(),
				     key);
			// A netstring server takes a query line for a bad netstring.
			if (!line_pending(&r.line))
				errx(QUERY_EXIT_UNREACHABLE,
				     "%s closed the connection before replying to %s; %s", server(),
				     key, framing_hint());
			disconnect();
			return output_reply(r.line.line, key, query_netstring);
		}
		begun = true;
		read_step step = read_some(&r, &why);
		if (step == STEP_BAD) {
			warnx("reply to %s: %s", key, why.c_str());
			exit(2);
		}
		if (step == STEP_DONE)
			break;
	}
	if (query_in_off < query_in_len) {
		surplus(key, "none is shown");
		return 2;
	}
	return output_reply(query_netstring ? r.ns.payload : r.line.line, key, query_netstring);
}

// The bound, and its text for messages.
void set_bound()
{
	query_bound_ms = test_bound_ms("SMAP_QUERY_TEST_TIMEOUT_MS", QUERY_TIMEOUT_MS);
	snprintf(query_bound_text, sizeof query_bound_text, "%g seconds",
	         static_cast<double>(query_bound_ms) / 1000);
}

} // namespace

int main(int argc, char* argv[])
{
	// Before stdfd_ensure_open() puts /dev/null in its place.
	bool stdout_closed = fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
	if (!stdfd_ensure_open())
		err(QUERY_EXIT_OUTPUT, "cannot open /dev/null on a closed standard descriptor");
	set_bound();

	static const option longopts[] = {
	        {"netstring", no_argument, nullptr, 'n'},
	        {"help", no_argument, nullptr, 'h'},
	        {"version", no_argument, nullptr, OPT_VERSION},
	        {nullptr, 0, nullptr, 0},
	};
	int opt;
	// "+": options end at the first operand, so a key may begin with "-".
	while ((opt = getopt_long(argc, argv, "+nh", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'n':
			query_netstring = true;
			break;
		case 'h':
			usage(0);
		case OPT_VERSION:
			printf("smap-query %s\n", SMAP_VERSION);
			exit_printed();
		default:
			usage(QUERY_EXIT_USAGE);
		}
	}
	if (argc - optind < 3)
		usage(QUERY_EXIT_USAGE);
	std::string why;
	if (!endpoint_parse(argv[optind], &query_server, &why))
		errx(QUERY_EXIT_USAGE, "bad server %s: %s; expected one of %s", argv[optind],
		     why.c_str(), ENDPOINT_FORMS);
	std::string table = argv[optind + 1];
	if (table.empty() || table.find_first_of(" \n") != std::string::npos)
		errx(QUERY_EXIT_USAGE,
		     "a table name must be non-empty, without blanks or newlines");
	for (int i = optind + 2; i < argc; i++)
		if (!query_netstring && strchr(argv[i], '\n') != nullptr)
			errx(QUERY_EXIT_USAGE, "a key must not hold a newline in the line framing");

	if (const char* problem = output_problem(stdout_closed))
		errx(QUERY_EXIT_OUTPUT, "standard output is %s: nothing asked", problem);
	signal(SIGPIPE, SIG_IGN);
	std::vector<endpoint_address> addresses;
	if (!endpoint_resolve(query_server, &addresses, &why))
		errx(QUERY_EXIT_UNREACHABLE, "cannot connect to %s: %s", server(), why.c_str());
	query_addresses =
	        std::make_shared<const std::vector<endpoint_address>>(std::move(addresses));

	for (int i = optind + 2; i < argc; i++) {
		int status = ask(table, argv[i], i > optind + 2 ? argv[i - 1] : nullptr);
		query_worst = std::max(query_worst, status);
	}
	if (query_fd != -1)
		close(query_fd);
	return query_worst;
}
