// SPDX-License-Identifier: ISC
// Throughput benchmark minimal bridge: see tp_bridge.hpp.
#include "tp_bridge.hpp"

#include "tp_io.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

const char* bridge_socket;

void on_term(int)
{
	unlink(bridge_socket);
	_exit(0);
}

void serve(int fd, const char* upstream_path)
{
	int up = tp_connect(upstream_path);
	auto in = std::make_unique<tp_reader>();
	tp_reader_init(in.get(), fd);
	auto reply = std::make_unique<char[]>(TP_READER_SIZE);
	auto out = std::make_unique<char[]>(TP_READER_SIZE + 32);
	char* line;
	size_t len;
	while (tp_read_line(in.get(), &line, &len)) {
		int head = snprintf(out.get(), 32, "%zu:", len);
		memcpy(out.get() + head, line, len);
		out[head + len] = ',';
		tp_write_all(up, out.get(), head + len + 1);

		// One netstring: LEN ":" PAYLOAD ",".
		size_t have = 0, payload = 0, need = 0;
		while (need == 0 || have < need) {
			ssize_t n = read(up, reply.get() + have, TP_READER_SIZE - have);
			if (n <= 0)
				errx(1, "minimal bridge: upstream closed or failed");
			have += static_cast<size_t>(n);
			auto* colon = static_cast<char*>(memchr(reply.get(), ':', have));
			if (need == 0 && colon != nullptr) {
				payload = static_cast<size_t>(colon - reply.get()) + 1;
				need = payload + strtoul(reply.get(), nullptr, 10) + 1;
				if (need > TP_READER_SIZE)
					errx(1, "minimal bridge: reply too long");
			}
		}
		if (have != need || reply[need - 1] != ',')
			errx(1, "minimal bridge: malformed reply");
		reply[need - 1] = '\n';
		tp_write_all(fd, reply.get() + payload, need - payload);
	}
	close(up);
	close(fd);
}

} // namespace

void tp_bridge_main(const char* upstream_path, const char* socket_path)
{
	bridge_socket = socket_path;
	signal(SIGTERM, on_term);
	int listener = tp_listen(socket_path);
	tp_accept_loop(listener, [upstream_path](int fd) { serve(fd, upstream_path); });
}
