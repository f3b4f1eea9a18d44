// SPDX-License-Identifier: ISC
// Throughput benchmark netstring server: see tp_nsserver.hpp.
#include "tp_nsserver.hpp"

#include "tp_io.hpp"
#include "tp_server.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

char ns_dir[] = "/tmp/throughput-ns.XXXXXX";
char ns_path[sizeof ns_dir + 16];

// Appends the reply to the query `q` as a netstring.
void reply_to(std::string_view q, std::string* out)
{
	constexpr std::string_view table = TP_TABLE;
	std::string payload;
	if (q.size() > table.size() && q.substr(0, table.size()) == table && q[table.size()] == ' ')
		payload = std::string("OK ") + TP_VALUE_PREFIX +
		          std::string(q.substr(table.size() + 1));
	else
		payload = "PERM unknown table";
	out->append(std::to_string(payload.size()));
	out->push_back(':');
	out->append(payload);
	out->push_back(',');
}

void serve(int fd)
{
	auto buf = std::make_unique<char[]>(TP_READER_SIZE);
	size_t have = 0;
	std::string out;
	for (;;) {
		ssize_t n = read(fd, buf.get() + have, TP_READER_SIZE - have);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		have += static_cast<size_t>(n);
		// Answers every complete netstring of the buffer.
		size_t at = 0;
		for (;;) {
			auto* colon = static_cast<char*>(memchr(buf.get() + at, ':', have - at));
			if (colon == nullptr)
				break;
			size_t len = strtoul(buf.get() + at, nullptr, 10);
			size_t start = static_cast<size_t>(colon - buf.get()) + 1;
			if (start + len >= have)
				break;
			if (buf[start + len] != ',')
				errx(1, "netstring server: malformed query");
			reply_to(std::string_view(buf.get() + start, len), &out);
			at = start + len + 1;
		}
		memmove(buf.get(), buf.get() + at, have - at);
		have -= at;
		if (have == TP_READER_SIZE)
			errx(1, "netstring server: query longer than %zu bytes", TP_READER_SIZE);
		tp_write_all(fd, out.data(), out.size());
		out.clear();
	}
	close(fd);
}

} // namespace

tp_nsserver_address tp_nsserver_start()
{
	if (mkdtemp(ns_dir) == nullptr)
		err(1, "mkdtemp");
	snprintf(ns_path, sizeof ns_path, "%s/ns.sock", ns_dir);
	int local = tp_listen(ns_path);

	int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (tcp == -1)
		err(1, "socket");
	sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof sin;
	if (bind(tcp, reinterpret_cast<sockaddr*>(&sin), len) == -1 || listen(tcp, 16) == -1 ||
	    getsockname(tcp, reinterpret_cast<sockaddr*>(&sin), &len) == -1)
		err(1, "listen on 127.0.0.1");

	std::thread([local] { tp_accept_loop(local, serve); }).detach();
	std::thread([tcp] {
		tp_accept_loop(tcp, [](int fd) {
			int on = 1;
			if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == -1)
				err(1, "TCP_NODELAY");
			serve(fd);
		});
	}).detach();
	return {ns_dir, ns_path, ntohs(sin.sin_port)};
}

void tp_nsserver_cleanup()
{
	if (ns_path[0] == '\0')
		return;
	unlink(ns_path);
	rmdir(ns_dir);
}
