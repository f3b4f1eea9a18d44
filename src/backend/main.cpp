// SPDX-License-Identifier: ISC
// smap-backend: a table backend that answers the mail server's lookups
// from a socketmap server on a local socket.
#include "backend/smap.hpp"
#include "support/compat.hpp"
#include "support/log.hpp"
#include "support/stdfd.hpp"
#include "tableproto/tproto.hpp"

#include <csignal>
#include <unistd.h>

// Options end at the first operand, as POSIX getopt() parses them; GNU
// getopt() needs "+" for that, and elsewhere "+" would be an option.
#ifdef __GLIBC__
#define SMAP_GETOPT_POSIX "+"
#else
#define SMAP_GETOPT_POSIX ""
#endif

int main(int argc, char* argv[])
{
	// Before anything is opened: a closed standard descriptor would
	// otherwise be taken by the socket, and warnings written to the server.
	bool std_open = stdfd_ensure_open();
	log_start(1);
	log_verbosity(-1);
	if (!std_open)
		die_sys("cannot open /dev/null");

	// getopt() names the program by argv[0] in its complaints; the short
	// name, as every other line of this program has it.
	if (argc > 0)
		argv[0] = const_cast<char*>(getprogname());
	if (getopt(argc, argv, SMAP_GETOPT_POSIX) != -1)
		die_msg("bad option");
	if (argc - optind != 1)
		die_msg("bogus argument(s)");
	smap_socket_path = argv[optind];

	tproto_set_update_handler(smap_update);
	tproto_set_check_handler(smap_check);
	tproto_set_lookup_handler(smap_lookup);
	tproto_set_fetch_handler(smap_fetch);

	// A write to a peer that has gone must fail with EPIPE, not kill the
	// process: the socketmap server may restart, the mail server may close
	// its end.
	signal(SIGPIPE, SIG_IGN);

	return tproto_run();
}
