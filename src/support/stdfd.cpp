// SPDX-License-Identifier: ISC
// Standard descriptors: see stdfd.hpp.
#include "support/stdfd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool stdfd_ensure_open()
{
	for (int fd = 0; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		// The lowest free number is fd itself, since the ones below it
		// are open by now.
		int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
		if (opened == -1)
			return false;
		if (opened != fd) {
			// Something else is amiss (a descriptor limit below 3?):
			// never leave a stray descriptor behind.
			close(opened);
			errno = EBADF;
			return false;
		}
	}
	return true;
}
