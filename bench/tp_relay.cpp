// SPDX-License-Identifier: ISC
// Throughput benchmark minimal relay: see tp_relay.hpp.
#include "tp_relay.hpp"

#include "tp_io.hpp"

#include <cstdio>
#include <cstring>
#include <err.h>
#include <memory>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

constexpr char registrations[] = "register|alias\nregister|domain\nregister|credentials\n"
                                 "register|netaddr\nregister|userinfo\nregister|source\n"
                                 "register|mailaddr\nregister|addrname\nregister|mailaddrmap\n"
                                 "register|ready\n";

// Appends `len` bytes at *p and moves *p past them.
void put(char** p, const char* data, size_t len)
{
	memcpy(*p, data, len);
	*p += len;
}

} // namespace

int tp_relay_main(const char* socket_path, bool stale_check)
{
	auto in = std::make_unique<tp_reader>();
	auto sock_in = std::make_unique<tp_reader>();
	auto out = std::make_unique<char[]>(2 * TP_READER_SIZE);
	tp_reader_init(in.get(), 0);
	char* line;
	size_t len;

	for (;;) {
		if (!tp_read_line(in.get(), &line, &len))
			return 0;
		if (strncmp(line, "config|", 7) != 0)
			errx(1, "unexpected config line: %s", line);
		if (strcmp(line + 7, "ready") == 0)
			break;
	}
	tp_write_all(1, registrations, sizeof registrations - 1);

	int sock = tp_connect(socket_path);
	tp_reader_init(sock_in.get(), sock);
	while (tp_read_line(in.get(), &line, &len)) {
		// table|VERSION|TIMESTAMP|TABLE|ACTION|SERVICE|ID|KEY
		char* field[8];
		field[0] = line;
		char* end = line + len;
		for (int i = 1; i < 8; i++) {
			auto* bar =
			        static_cast<char*>(memchr(field[i - 1], '|', end - field[i - 1]));
			if (bar == nullptr)
				errx(1, "malformed line");
			*bar = '\0';
			field[i] = bar + 1;
		}
		if (strcmp(field[4], "lookup") != 0)
			errx(1, "unknown action %s", field[4]);
		const char* table = field[3];
		const char* id = field[6];
		const char* key = field[7];
		size_t table_len = static_cast<size_t>(field[4] - 1 - table);
		size_t id_len = static_cast<size_t>(key - 1 - id);
		size_t key_len = static_cast<size_t>(end - key);

		if (stale_check) {
			char byte;
			if (recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != -1)
				errx(1, "socketmap server sent more than it was asked");
		}
		char* p = out.get();
		put(&p, table, table_len);
		*p++ = ' ';
		put(&p, key, key_len);
		*p++ = '\n';
		tp_write_all(sock, out.get(), static_cast<size_t>(p - out.get()));

		char* reply;
		size_t reply_len;
		if (!tp_read_line(sock_in.get(), &reply, &reply_len))
			errx(1, "socketmap server closed the connection");
		p = out.get();
		put(&p, "lookup-result|", 14);
		put(&p, id, id_len);
		if (reply_len >= 3 && strncasecmp(reply, "OK ", 3) == 0) {
			put(&p, "|found|", 7);
			put(&p, reply + 3, reply_len - 3);
		} else if (reply_len >= 9 && strncasecmp(reply, "NOTFOUND ", 9) == 0) {
			put(&p, "|not-found", 10);
		} else {
			put(&p, "|error", 6);
		}
		*p++ = '\n';
		tp_write_all(1, out.get(), static_cast<size_t>(p - out.get()));
	}
	return 0;
}
