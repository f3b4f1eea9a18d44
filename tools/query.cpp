// smap-query: asks a socketmap server for keys of one table by hand and
// prints each reply as received, one line per key.
//
// Line framing by default ("TABLE KEY\n" out, one reply line back, as the
// backend speaks it); with --netstring the netstring framing of the
// original protocol, to check a server before bridging to it. One
// connection, one query at a time, every connect, read and write bounded
// by QUERY_TIMEOUT_SECONDS.
//
// Exit status: the highest of the keys' statuses, 0 for OK, 1 for
// NOTFOUND, 2 for TEMP, TIMEOUT, PERM or anything unrecognized (a reply
// that the backend would not take as found or not found); 3 when the
// server cannot be reached or the connection fails before every reply
// has arrived; 64 for a bad command line.
#include "tools/lineframe.hpp"
#include "tools/netstring.hpp"
#include "tools/reply.hpp"
#include "tools/usock.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <getopt.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int QUERY_TIMEOUT_SECONDS = 10;
constexpr int EXIT_UNREACHABLE = 3;
constexpr int EXIT_USAGE = 64;

int query_fd = -1;
const char* query_socket;
char query_in[16384];
size_t query_in_off;
size_t query_in_len;

[[noreturn]] void usage()
{
	fprintf(stderr, "usage: smap-query [--netstring] SOCKET TABLE KEY...\n");
	exit(EXIT_USAGE);
}

bool timed_out(int error)
{
	return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

[[noreturn]] void die_io(const char* what, int error)
{
	if (timed_out(error))
		errx(EXIT_UNREACHABLE, "%s %s: timed out after %d seconds", what, query_socket,
		     QUERY_TIMEOUT_SECONDS);
	errx(EXIT_UNREACHABLE, "%s %s: %s", what, query_socket, strerror(error));
}

void send_all(const std::string& data)
{
	size_t off = 0;
	while (off < data.size()) {
		ssize_t n = send(query_fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			die_io("cannot write to", errno);
		}
		off += static_cast<size_t>(n);
	}
}

// Makes input available; false at the end of the stream.
bool fill()
{
	if (query_in_off < query_in_len)
		return true;
	for (;;) {
		ssize_t n = recv(query_fd, query_in, sizeof query_in, 0);
		if (n > 0) {
			query_in_off = 0;
			query_in_len = static_cast<size_t>(n);
			return true;
		}
		if (n == 0)
			return false;
		if (errno != EINTR)
			die_io("cannot read from", errno);
	}
}

void print_reply(const std::string& text)
{
	fwrite(text.data(), 1, text.size(), stdout);
	putchar('\n');
	if (fflush(stdout) != 0)
		err(EXIT_UNREACHABLE, "stdout");
}

int status_of(std::string_view reply)
{
	switch (reply_classify(reply)) {
	case REPLY_OK:
		return 0;
	case REPLY_NOTFOUND:
		return 1;
	case REPLY_FAILURE:
	case REPLY_UNRECOGNIZED:
		break;
	}
	return 2;
}

int ask_line(const std::string& table, const char* key)
{
	send_all(table + " " + key + "\n");
	line_reader r;
	line_reader_init(&r, SMAP_REPLY_MAX);
	for (;;) {
		if (!fill()) {
			// A last line cut short by the end of the connection is a
			// reply, as the backend takes it.
			if (!line_pending(&r))
				errx(EXIT_UNREACHABLE,
				     "%s closed the connection before replying to %s", query_socket,
				     key);
			if (r.overlong)
				break;
			print_reply(r.line);
			return status_of(r.line);
		}
		size_t used;
		line_status status =
		        line_read(&r, query_in + query_in_off, query_in_len - query_in_off, &used);
		query_in_off += used;
		if (status == LINE_COMPLETE) {
			print_reply(r.line);
			return status_of(r.line);
		}
		if (status == LINE_TOO_LONG)
			break;
	}
	warnx("reply to %s longer than %zu bytes, not shown", key, SMAP_REPLY_MAX);
	return 2;
}

int ask_netstring(const std::string& table, const char* key)
{
	std::string request;
	netstring_append(&request, table + " " + key);
	send_all(request);
	ns_decoder d;
	ns_decoder_init(&d, SMAP_REPLY_MAX);
	ns_status status = NS_PARTIAL;
	while (status == NS_PARTIAL) {
		if (!fill())
			errx(EXIT_UNREACHABLE, "%s closed the connection before replying to %s",
			     query_socket, key);
		size_t used;
		status = ns_decode(&d, query_in + query_in_off, query_in_len - query_in_off, &used);
		query_in_off += used;
	}
	if (status != NS_COMPLETE) {
		// The stream is out of step: no later reply could be trusted.
		warnx("reply to %s: %s", key, ns_status_text(status));
		exit(2);
	}
	print_reply(d.payload);
	if (d.payload.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) {
		warnx("reply to %s holds a newline or NUL: it cannot be bridged", key);
		return 2;
	}
	if (reply_is_bare_notfound(d.payload))
		return 1;
	return status_of(d.payload);
}

} // namespace

int main(int argc, char* argv[])
{
	static const option longopts[] = {
	        {"netstring", no_argument, nullptr, 'n'},
	        {nullptr, 0, nullptr, 0},
	};
	bool netstring = false;
	int opt;
	while ((opt = getopt_long(argc, argv, "n", longopts, nullptr)) != -1) {
		if (opt != 'n')
			usage();
		netstring = true;
	}
	if (argc - optind < 3)
		usage();
	query_socket = argv[optind];
	std::string table = argv[optind + 1];
	if (table.empty() || table.find_first_of(" \n") != std::string::npos)
		errx(EXIT_USAGE, "a table name must be non-empty, without blanks or newlines");
	for (int i = optind + 2; i < argc; i++)
		if (!netstring && strchr(argv[i], '\n') != nullptr)
			errx(EXIT_USAGE, "a key must not hold a newline in the line framing");

	signal(SIGPIPE, SIG_IGN);
	query_fd = usock_connect(query_socket, QUERY_TIMEOUT_SECONDS);
	if (query_fd == -1)
		die_io("cannot connect to", errno);

	int worst = 0;
	for (int i = optind + 2; i < argc; i++) {
		int status = netstring ? ask_netstring(table, argv[i]) : ask_line(table, argv[i]);
		if (status > worst)
			worst = status;
	}
	close(query_fd);
	return worst;
}
