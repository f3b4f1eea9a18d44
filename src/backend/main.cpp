// smap-backend: a table backend that answers the mail server's lookups
// from a socketmap server on a local socket.
#include "backend/smap.hpp"
#include "support/log.hpp"
#include "tableproto/tproto.hpp"

#include <csignal>
#include <unistd.h>

int main(int argc, char* argv[])
{
	log_start(1);
	log_verbosity(-1);

	if (getopt(argc, argv, "") != -1)
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
