// SPDX-License-Identifier: ISC
// Local stream sockets: see usock.hpp.
#include "tools/net/usock.hpp"

#include "tools/net/errtext.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

// "WHAT PATH: REASON".
std::string path_error(const char* what, const char* path, int error)
{
	return with_error(std::string(what) + " " + path, error);
}

int new_socket()
{
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (fd != -1 && fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
		int error = errno;
		close(fd);
		errno = error;
		return -1;
	}
	return fd;
}

// A socket connected to `path` with a bounded connect, or -1 with errno:
// the probe that tells a stale socket file from a live server.
int probe_connect(const char* path, int timeout_seconds)
{
	sockaddr_un addr;
	if (!usock_address(path, &addr))
		return -1;
	int fd = new_socket();
	if (fd == -1)
		return -1;
	const timeval bound = {timeout_seconds, 0};
	if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) == -1 ||
	    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == -1 ||
	    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
		int error = errno;
		close(fd);
		errno = error;
		return -1;
	}
	return fd;
}

} // namespace

bool usock_address(const char* path, sockaddr_un* addr)
{
	memset(addr, 0, sizeof *addr);
	addr->sun_family = AF_UNIX;
	size_t len = strlen(path);
	if (len == 0) {
		errno = ENOENT;
		return false;
	}
	if (len >= sizeof addr->sun_path) {
		errno = ENAMETOOLONG;
		return false;
	}
	memcpy(addr->sun_path, path, len);
	return true;
}

bool usock_set_nonblocking(int fd)
{
	int flags = fcntl(fd, F_GETFL);
	return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

int usock_listen(const char* path, mode_t mode, gid_t group, struct stat* identity,
                 std::string* why)
{
	sockaddr_un addr;
	if (!usock_address(path, &addr)) {
		*why = errno == ENOENT ? std::string("empty socket path")
		                       : std::string("socket path too long: ") + path;
		return -1;
	}

	struct stat st;
	if (lstat(path, &st) == 0) {
		if (!S_ISSOCK(st.st_mode)) {
			*why = std::string(path) + " exists and is not a socket";
			return -1;
		}
		int probe = probe_connect(path, 1);
		if (probe != -1) {
			close(probe);
			*why = std::string("another server is listening on ") + path;
			return -1;
		}
		if (errno != ECONNREFUSED && errno != ENOENT) {
			*why = path_error("cannot probe", path, errno);
			return -1;
		}
		// Nothing listens: the file is left over from a server that did
		// not clean up.
		if (unlink(path) == -1 && errno != ENOENT) {
			*why = path_error("cannot remove stale socket", path, errno);
			return -1;
		}
	}

	int fd = new_socket();
	if (fd == -1) {
		*why = path_error("cannot create socket for", path, errno);
		return -1;
	}
	const char* step = nullptr;
	if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1)
		step = "cannot bind";
	// The group and the mode are set before listen(), so no client can
	// connect through the looser permissions that bind() may have created.
	// The group first: the mode is then exactly the one asked for.
	else if (group != USOCK_GROUP_KEEP && chown(path, static_cast<uid_t>(-1), group) == -1)
		step = "cannot set the group of";
	else if (chmod(path, mode) == -1)
		step = "cannot set the mode of";
	else if (lstat(path, identity) == -1)
		step = "cannot stat";
	else if (!usock_set_nonblocking(fd))
		step = "cannot make non-blocking";
	else if (listen(fd, SOMAXCONN) == -1)
		step = "cannot listen on";
	if (step != nullptr) {
		int error = errno;
		*why = path_error(step, path, error);
		if (strcmp(step, "cannot bind") != 0)
			unlink(path);
		close(fd);
		return -1;
	}
	return fd;
}

bool usock_unlink_own(const char* path, const struct stat* identity)
{
	struct stat st;
	return lstat(path, &st) == 0 && st.st_dev == identity->st_dev &&
	       st.st_ino == identity->st_ino && unlink(path) == 0;
}
