// SPDX-License-Identifier: ISC
// Local stream sockets: addresses, listening, descriptor flags.
//
// A path is usable when it is not empty and fits the platform's sun_path
// field with its NUL: a path of sizeof(sun_path) bytes or more is refused,
// as the backend refuses it, and an empty one is refused because it would
// name an abstract socket. usock_listen() takes over a socket path: it
// removes a stale socket file only after a connection attempt showed that
// nothing listens on it, and never removes a file that is not a socket.
// Clients connect through the endpoint module (endpoint.hpp). The caller owns
// every descriptor returned. Functions report failure through their
// result and errno (or a message buffer); nothing here is fatal or logs.
#pragma once

#include <cstddef>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

// A socket keeps the group that bind() gave it: the process's or the
// directory's.
constexpr gid_t USOCK_GROUP_KEEP = static_cast<gid_t>(-1);

// Fills *addr for `path`; false when it does not fit (errno ENAMETOOLONG)
// or is empty (errno ENOENT).
bool usock_address(const char* path, sockaddr_un* addr);

// Binds and listens on `path` with permissions `mode` and, unless it is
// USOCK_GROUP_KEEP, the group `group` (both set before listen(), so no
// client connects before they hold), removing a stale socket file first.
// Returns the non-blocking listening descriptor, or -1 with a reason in
// *why. *identity receives the socket file's status, so that the owner can
// later check that the path still names its socket.
int usock_listen(const char* path, mode_t mode, gid_t group, struct stat* identity,
                 std::string* why);

// Removes `path` if it is still the socket file described by `identity`;
// true when it did.
bool usock_unlink_own(const char* path, const struct stat* identity);

bool usock_set_nonblocking(int fd);
