// SPDX-License-Identifier: ISC
#include "sockets.hpp"

#include "tools/net/clock.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

bool local_address(const std::string& path, sockaddr_un* addr)
{
	*addr = {};
	addr->sun_family = AF_UNIX;
	if (path.size() >= sizeof addr->sun_path)
		return false;
	memcpy(addr->sun_path, path.c_str(), path.size());
	return true;
}

int raw_connect(const std::string& path)
{
	sockaddr_un addr;
	if (!local_address(path, &addr))
		return -1;
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
		close(fd);
		return -1;
	}
	return fd;
}

} // namespace

int listen_on(const std::string& path, int backlog)
{
	sockaddr_un addr;
	if (!local_address(path, &addr))
		return -1;
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 ||
	    listen(fd, backlog) == -1) {
		close(fd);
		return -1;
	}
	return fd;
}

int accept_within(int listener)
{
	pollfd p = {listener, POLLIN, 0};
	if (poll(&p, 1, 5000) != 1)
		return -1;
	int fd = accept(listener, nullptr, nullptr);
	const timeval bound = {5, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	return fd;
}

bool wait_listening(const std::string& path, int ms)
{
	long long end = monotonic_ms() + ms;
	while (monotonic_ms() < end) {
		int fd = raw_connect(path);
		if (fd != -1) {
			close(fd);
			return true;
		}
		usleep(5000);
	}
	return false;
}

int connect_to(const std::string& path, int bound_ms)
{
	int fd = raw_connect(path);
	if (fd == -1)
		return -1;
	const timeval bound = {bound_ms / 1000, (bound_ms % 1000) * 1000};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
	return fd;
}

void send_text(int fd, const std::string& text)
{
	size_t off = 0;
	while (off < text.size()) {
		ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		off += static_cast<size_t>(n);
	}
}

std::string read_line(int fd)
{
	std::string line;
	char c;
	for (;;) {
		ssize_t n = recv(fd, &c, 1, 0);
		if (n == 0)
			return line.empty() ? "<eof>" : line;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return "<timeout>";
		if (c == '\n')
			return line;
		line.push_back(c);
	}
}

std::string ask(int fd, const std::string& query)
{
	send_text(fd, query + "\n");
	return read_line(fd);
}

std::string read_line_within(int fd, int ms)
{
	timeval bound = {ms / 1000, (ms % 1000) * 1000};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	std::string line = read_line(fd);
	bound = {5, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	return line;
}

std::string read_bytes(int fd, size_t n)
{
	std::string got(n, '\0');
	size_t have = 0;
	for (ssize_t r; have < n && (r = recv(fd, &got[have], n - have, 0)) > 0;)
		have += static_cast<size_t>(r);
	got.resize(have);
	return got;
}

long long monotonic_ms()
{
	return now_ms();
}
