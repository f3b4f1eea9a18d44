// SPDX-License-Identifier: ISC
// smap-query's output: see output.hpp.
#include "tools/query/output.hpp"

#include "tools/net/reply.hpp"

#include <cstdio>
#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <unistd.h>

namespace
{

int status_of(std::string_view reply)
{
	switch (reply_classify(reply)) {
	case REPLY_OK:
		return 0;
	case REPLY_NOTFOUND:
		return 1;
	case REPLY_FAILURE:
	case REPLY_UNRECOGNIZED:
		break;
	}
	return 2;
}

} // namespace

const char* output_problem(bool was_closed)
{
	if (was_closed)
		return "closed";
	int flags = fcntl(STDOUT_FILENO, F_GETFL);
	if (flags != -1 && (flags & O_ACCMODE) == O_RDONLY)
		return "open for reading only";
	pollfd p = {STDOUT_FILENO, POLLOUT, 0};
	if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
		return "a pipe or socket without a reader";
	return nullptr;
}

int output_reply(const std::string& reply, const char* key, bool netstring)
{
	fwrite(reply.data(), 1, reply.size(), stdout);
	putchar('\n');
	if (fflush(stdout) != 0)
		err(QUERY_EXIT_OUTPUT, "cannot write to standard output");
	if (!netstring)
		return status_of(reply);
	if (reply.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) {
		warnx("reply to %s holds a newline or NUL: it cannot be bridged", key);
		return 2;
	}
	return reply_is_bare_notfound(reply) ? 1 : status_of(reply);
}
