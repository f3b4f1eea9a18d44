// SPDX-License-Identifier: ISC
// Throughput benchmark line I/O: see tp_io.hpp.
#include "tp_io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <err.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

void tp_reader_init(tp_reader* r, int fd)
{
	r->fd = fd;
	r->start = 0;
	r->end = 0;
}

bool tp_read_line(tp_reader* r, char** line, size_t* len)
{
	for (;;) {
		char* first = r->buf + r->start;
		auto* nl = static_cast<char*>(memchr(first, '\n', r->end - r->start));
		if (nl != nullptr) {
			*nl = '\0';
			*line = first;
			*len = static_cast<size_t>(nl - first);
			r->start = static_cast<size_t>(nl + 1 - r->buf);
			return true;
		}
		if (r->start > 0) {
			memmove(r->buf, first, r->end - r->start);
			r->end -= r->start;
			r->start = 0;
		}
		if (r->end == sizeof r->buf)
			errx(1, "line longer than %zu bytes on descriptor %d", sizeof r->buf,
			     r->fd);
		ssize_t n = read(r->fd, r->buf + r->end, sizeof r->buf - r->end);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			err(1, "read from descriptor %d", r->fd);
		if (n == 0) {
			if (r->end > 0)
				errx(1, "stream on descriptor %d ends inside a line", r->fd);
			return false;
		}
		r->end += static_cast<size_t>(n);
	}
}

bool tp_reader_has_line(const tp_reader* r)
{
	return memchr(r->buf + r->start, '\n', r->end - r->start) != nullptr;
}

void tp_write_all(int fd, const char* data, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, data, len);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			err(1, "write to descriptor %d", fd);
		data += n;
		len -= static_cast<size_t>(n);
	}
}

void tp_put_digits(char* p, unsigned long value, int width)
{
	for (int i = width - 1; i >= 0; i--) {
		p[i] = static_cast<char>('0' + value % 10);
		value /= 10;
	}
}

unsigned long long tp_now_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<unsigned long long>(ts.tv_sec) * 1000000000ull +
	       static_cast<unsigned long long>(ts.tv_nsec);
}

namespace
{

sockaddr_un local_address(const char* path)
{
	sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
	return addr;
}

} // namespace

int tp_connect(const char* path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd == -1)
		err(1, "socket");
	sockaddr_un addr = local_address(path);
	if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1)
		err(1, "connect %s", path);
	return fd;
}

int tp_listen(const char* path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd == -1)
		err(1, "socket");
	sockaddr_un addr = local_address(path);
	if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 || listen(fd, 16) == -1)
		err(1, "listen on %s", path);
	return fd;
}

void tp_accept_loop(int listener, const std::function<void(int)>& serve)
{
	for (;;) {
		int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd == -1) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			err(1, "accept");
		}
		std::thread(serve, fd).detach();
	}
}
