// SPDX-License-Identifier: ISC
// Socket activation and state notifications: see svcmgr.hpp.
#include "tools/serve/svcmgr.hpp"

#include "support/log.hpp"
#include "tools/net/usock.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// The first descriptor a service manager passes.
constexpr int SVCMGR_FIRST_FD = 3;
// The most passed descriptors, and connections on each, that an exit
// before the start is complete takes and closes: a bound on its work
// should clients keep connecting.
constexpr long SVCMGR_DRAIN_FDS_MAX = 64;
constexpr int SVCMGR_DRAIN_CONNECTIONS_MAX = 4096;

// Descriptors passed to this process, to drain at an exit before
// "READY=1"; 0 when there are none or the start is complete.
long svcmgr_drain_fds;

// A variable's value, removed from the environment; empty when unset.
std::string take_env(const char* name)
{
	const char* value = getenv(name);
	std::string text = value ? value : "";
	unsetenv(name);
	return text;
}

// A decimal number; -1 when the text is not one.
long decimal(const std::string& text)
{
	if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
	    text.size() > 9)
		return -1;
	return strtol(text.c_str(), nullptr, 10);
}

// True when the socket bound to `name` is the one `path` names: the same
// text, or the same socket file when one of them is written relative to
// the working directory (a unit's WorkingDirectory=, say) and the other is
// not.
bool same_socket_file(const std::string& name, const char* path)
{
	if (name == path)
		return true;
	struct stat a, b;
	return !name.empty() && stat(name.c_str(), &a) == 0 && stat(path, &b) == 0 &&
	       S_ISSOCK(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why `fd` is not a listening local stream socket bound to `path`, or
// null when it is.
const char* mismatch(int fd, const char* path)
{
	int type = 0, listening = 0;
	socklen_t len = sizeof type;
	if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == -1)
		return errno == ENOTSOCK ? "is not a socket" : "cannot be examined";
	len = sizeof listening;
	if (type != SOCK_STREAM)
		return "is not a stream socket";
	if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == -1 || !listening)
		return "is not listening";
	sockaddr_un bound;
	socklen_t bound_len = sizeof bound;
	memset(&bound, 0, sizeof bound);
	if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) == -1 ||
	    bound.sun_family != AF_UNIX)
		return "is not a local socket";
	size_t name_len = bound_len - offsetof(sockaddr_un, sun_path);
	std::string name(bound.sun_path, strnlen(bound.sun_path, name_len));
	if (!same_socket_file(name, path))
		return "is bound to another path";
	return nullptr;
}

// Accepts, without blocking, and closes the connections waiting on each
// passed listening socket; run at exit.
void drain_waiting()
{
	for (int fd = SVCMGR_FIRST_FD; fd < SVCMGR_FIRST_FD + svcmgr_drain_fds; fd++) {
		int listening = 0;
		socklen_t len = sizeof listening;
		if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == -1 ||
		    !listening || !usock_set_nonblocking(fd))
			continue;
		for (int taken = 0; taken < SVCMGR_DRAIN_CONNECTIONS_MAX; taken++) {
			int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
			if (conn == -1 && errno != EINTR && errno != ECONNABORTED)
				break;
			if (conn != -1)
				close(conn);
		}
	}
}

} // namespace

void svcmgr_drain_on_failed_start()
{
	const char* pid = getenv("LISTEN_PID");
	const char* fds = getenv("LISTEN_FDS");
	if (pid == nullptr || fds == nullptr || decimal(pid) != static_cast<long>(getpid()) ||
	    decimal(fds) <= 0)
		return;
	svcmgr_drain_fds = std::min(decimal(fds), SVCMGR_DRAIN_FDS_MAX);
	atexit(drain_waiting);
}

int svcmgr_listener(const char* socket_path)
{
	std::string pid = take_env("LISTEN_PID");
	std::string fds = take_env("LISTEN_FDS");
	take_env("LISTEN_FDNAMES");
	if (decimal(pid) != static_cast<long>(getpid()) || fds.empty() || fds == "0")
		return -1;
	if (fds != "1")
		die_msg("the service manager passed LISTEN_FDS=%s; expected one socket, for %s",
		        fds.c_str(), socket_path);
	int fd = SVCMGR_FIRST_FD;
	if (const char* why = mismatch(fd, socket_path))
		die_msg("descriptor %d from the service manager %s, expected a listening "
		        "socket on %s",
		        fd, why, socket_path);
	if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1 || !usock_set_nonblocking(fd))
		die_sys("descriptor %d from the service manager", fd);
	return fd;
}

void svcmgr_notify(const char* state)
{
	if (strcmp(state, "READY=1") == 0)
		svcmgr_drain_fds = 0;
	const char* name = getenv("NOTIFY_SOCKET");
	if (name == nullptr || *name == '\0')
		return;
	sockaddr_un addr;
	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	size_t len = strlen(name);
	if ((name[0] != '/' && name[0] != '@') || len >= sizeof addr.sun_path) {
		log_warning("warn: NOTIFY_SOCKET %s is not a usable socket name", name);
		return;
	}
	memcpy(addr.sun_path, name, len);
	// An abstract name starts with a NUL byte and has no terminating one.
	if (name[0] == '@')
		addr.sun_path[0] = '\0';
	else
		len++;
	// Never waits: a manager whose queue is full must not keep the server
	// from serving, or from ending after SIGTERM.
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd == -1 || sendto(fd, state, strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT,
	                       reinterpret_cast<sockaddr*>(&addr),
	                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len)) == -1)
		log_warning_sys("warn: cannot notify %s of %s", name, state);
	if (fd != -1)
		close(fd);
}

bool svcmgr_journal_stderr()
{
	const char* value = getenv("JOURNAL_STREAM");
	struct stat st;
	if (value == nullptr || fstat(STDERR_FILENO, &st) == -1)
		return false;
	const char* end = value + strlen(value);
	unsigned long long dev = 0, ino = 0;
	auto [colon, dev_error] = std::from_chars(value, end, dev);
	if (dev_error != std::errc() || colon == end || *colon != ':')
		return false;
	auto [rest, ino_error] = std::from_chars(colon + 1, end, ino);
	return ino_error == std::errc() && rest == end && dev == st.st_dev && ino == st.st_ino;
}
