// SPDX-License-Identifier: ISC
// Unread bytes on a socket: see peek.hpp.
#include "tools/net/peek.hpp"

#include <cerrno>
#include <sys/socket.h>

peek_result peek_unread(int fd)
{
	char byte;
	for (;;) {
		ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
		if (n > 0)
			return PEEK_BYTES;
		if (n == 0)
			return PEEK_CLOSED;
		if (errno != EINTR)
			return errno == EAGAIN || errno == EWOULDBLOCK ? PEEK_NONE : PEEK_CLOSED;
	}
}
