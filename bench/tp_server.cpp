// SPDX-License-Identifier: ISC
// Throughput benchmark socketmap server: see tp_server.hpp.
#include "tp_server.hpp"

#include "tp_io.hpp"

#include <cerrno>
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

char server_dir[] = "/tmp/throughput.XXXXXX";
char server_path[sizeof server_dir + 16];

// Room for the reply to the longest line a reader can return.
constexpr size_t OUT_SIZE = TP_READER_SIZE + 64;

// Appends the reply to one query line to out[*used]; false when it would
// not fit, so the caller flushes first.
bool reply_to(const char* line, size_t len, char* out, size_t* used)
{
	static constexpr char ok[] = "OK value-for-";
	static constexpr char perm[] = "PERM unknown table\n";
	constexpr size_t table_len = sizeof TP_TABLE - 1;
	const char* key = nullptr;
	if (len > table_len && memcmp(line, TP_TABLE, table_len) == 0 && line[table_len] == ' ')
		key = line + table_len + 1;

	size_t need = key ? sizeof ok - 1 + (line + len - key) + 1 : sizeof perm - 1;
	if (*used + need > OUT_SIZE)
		return false;
	char* p = out + *used;
	if (key == nullptr) {
		memcpy(p, perm, sizeof perm - 1);
	} else {
		size_t key_len = static_cast<size_t>(line + len - key);
		memcpy(p, ok, sizeof ok - 1);
		memcpy(p + sizeof ok - 1, key, key_len);
		p[need - 1] = '\n';
	}
	*used += need;
	return true;
}

void serve(int fd)
{
	auto in = std::make_unique<tp_reader>();
	auto out = std::make_unique<char[]>(OUT_SIZE);
	tp_reader_init(in.get(), fd);
	char* line;
	size_t len;
	// Reads one burst, answers every complete line in it, then writes.
	// The reader's own buffering decides the bursts: a line is answered as
	// soon as no further complete line is buffered.
	while (tp_read_line(in.get(), &line, &len)) {
		size_t used = 0;
		do {
			if (!reply_to(line, len, out.get(), &used)) {
				tp_write_all(fd, out.get(), used);
				used = 0;
				reply_to(line, len, out.get(), &used);
			}
		} while (tp_reader_has_line(in.get()) && tp_read_line(in.get(), &line, &len));
		tp_write_all(fd, out.get(), used);
	}
	close(fd);
}

} // namespace

const char* tp_server_start()
{
	if (mkdtemp(server_dir) == nullptr)
		err(1, "mkdtemp");
	snprintf(server_path, sizeof server_path, "%s/smap.sock", server_dir);

	int listener = tp_listen(server_path);
	std::thread([listener] { tp_accept_loop(listener, serve); }).detach();
	return server_path;
}

void tp_server_cleanup()
{
	unlink(server_path);
	rmdir(server_dir);
}
