// SPDX-License-Identifier: ISC
// smap-serve's command line:
//   smap-serve [-v] [-m mode] [-g group] SOCKET MAPDIR
//   smap-serve [-v] [-m mode] [-g group] [-t seconds] [cache options]
//              -u UPSTREAM [-u UPSTREAM]... SOCKET
//   smap-serve --help | --version
// and, with either of the first two, --metrics-file PATH [--metrics-interval
// SECONDS]. The cache options are --cache-ttl, --cache-negative-ttl,
// --cache-stale, --cache-size and --cache-memory (cacheconf.hpp).
//
// Rules:
// 1. Map mode takes two operands, bridge mode (-u) one; --timeout and the
//    cache options only go with --upstream, --metrics-interval only with
//    --metrics-file. Anything else prints the usage on standard error and
//    exits with status 1.
// 2. A mode is octal digits only, up to 7777; a group is a name or a
//    number that exists; a timeout is seconds, more than 0 and at most
//    3600, kept in whole milliseconds (at least one), and so is a metrics
//    interval (15 seconds by default); a metrics file is a path that is not
//    empty. A bad value is fatal (die_msg(): "bad mode ...", "bad group
//    ...", "bad timeout ...", "bad metrics interval ...", "bad metrics file
//    ...", "bad upstream ...", "bad --cache-... ...", "too many upstreams
//    ..."). Up to FAILOVER_MAX upstreams, in the order given.
// 3. --help and --version print to standard output and exit 0, whatever
//    else the command line holds; a failed write of them exits 1.
//
// Nothing is kept here beyond what options_parse() fills in.
#pragma once

#include "tools/net/endpoint.hpp"
#include "tools/serve/cacheconf.hpp"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct serve_options {
	const char* socket_path = nullptr;
	const char* map_dir = nullptr;   // null for a bridge
	std::string upstream_text;       // the upstreams as given, ", " between them
	std::vector<endpoint> upstreams; // empty for maps
	mode_t mode = 0660;
	bool mode_given = false;
	gid_t group; // USOCK_GROUP_KEEP when not given
	int64_t timeout_ms;
	cache_config cache;
	bool verbose = false;
	const char* metrics_file = nullptr; // none when null
	int64_t metrics_interval_ms = 15000;
};

void options_parse(int argc, char* argv[], serve_options* o);
