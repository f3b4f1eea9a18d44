// SPDX-License-Identifier: ISC
// smap-serve's command line: see options.hpp.
#include "tools/serve/options.hpp"

#include "support/log.hpp"
#include "tools/net/reply.hpp"
#include "tools/net/usock.hpp"
#include "tools/serve/failover.hpp"
#include "tools/serve/svcmgr.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <grp.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace
{

// getopt_long()'s values for the options without a short form.
enum long_only {
	OPT_VERSION = 256,
	OPT_METRICS_FILE,
	OPT_METRICS_INTERVAL,
	OPT_CACHE_TTL,
	OPT_CACHE_NEGATIVE_TTL,
	OPT_CACHE_STALE,
	OPT_CACHE_SIZE,
	OPT_CACHE_MEMORY,
};

// Ends a run that printed --help or --version.
[[noreturn]] void exit_printed()
{
	if (fflush(stdout) != 0)
		die_sys("cannot write to standard output");
	exit(0);
}

// The usage lines: on standard output with status 0 for --help, else on
// standard error with status 1. Under the journal, which files each line
// apart, the error is one line at error level, its lines joined by "; ".
[[noreturn]] void usage(int status)
{
	std::string text = std::string("usage: smap-serve [-v] [-m mode] [-g group] SOCKET MAPDIR\n"
	                               "       smap-serve [-v] [-m mode] [-g group] [-t seconds] "
	                               "[CACHE] -u UPSTREAM... SOCKET\n"
	                               "       smap-serve --help | --version\n"
	                               "either of the first two also takes --metrics-file PATH "
	                               "[--metrics-interval SECONDS]\n"
	                               "UPSTREAM is one of ") +
	                   ENDPOINT_FORMS +
	                   "; -u may be given again for the next upstream, in order of preference\n"
	                   "CACHE is any of --cache-ttl [TABLE=]SECONDS, --cache-negative-ttl "
	                   "[TABLE=]SECONDS, --cache-stale SECONDS, --cache-size ENTRIES, "
	                   "--cache-memory BYTES\n";
	if (status == 0) {
		fputs(text.c_str(), stdout);
		exit_printed();
	}
	if (!svcmgr_journal_stderr()) {
		fputs(text.c_str(), stderr);
		exit(status);
	}
	text.pop_back();
	for (size_t at; (at = text.find('\n')) != std::string::npos;)
		text.replace(at, text.find_first_not_of(' ', at + 1) - at, "; ");
	log_emit(LOG_ERR, "%s", text.c_str());
	exit(status);
}

// Octal digits only: strtol() would also take blanks and a sign.
mode_t parse_mode(const char* text)
{
	size_t len = strlen(text);
	if (len == 0 || strspn(text, "01234567") != len || strtol(text, nullptr, 8) > 07777)
		die_msg("bad mode %s: expected an octal number up to 7777", text);
	return static_cast<mode_t>(strtol(text, nullptr, 8));
}

// The group named by `text`, a name or a number; it must exist.
gid_t parse_group(const char* text)
{
	const group* g = getgrnam(text);
	if (g == nullptr && *text != '\0' && strspn(text, "0123456789") == strlen(text)) {
		errno = 0;
		unsigned long id = strtoul(text, nullptr, 10);
		if (errno == 0 && id < USOCK_GROUP_KEEP)
			g = getgrgid(static_cast<gid_t>(id));
	}
	if (g == nullptr)
		die_msg("bad group %s: no such group", text);
	return g->gr_gid;
}

// Seconds, more than 0 and at most 3600, in whole milliseconds (at least
// one); -1 when `text` is not that. Decimal digits with at most one point:
// strtod() alone would also take blanks, a sign, hexadecimal and
// exponents.
int64_t parse_seconds(const char* text)
{
	size_t digits = strspn(text, "0123456789");
	size_t len = digits;
	if (text[len] == '.') {
		size_t fraction = strspn(text + len + 1, "0123456789");
		digits += fraction;
		len += 1 + fraction;
	}
	if (digits == 0 || text[len] != '\0')
		return -1;
	double seconds = strtod(text, nullptr);
	if (!(seconds > 0) || seconds > 3600)
		return -1;
	return std::max<int64_t>(1, std::llround(seconds * 1000));
}

int64_t parse_timeout(const char* text)
{
	int64_t ms = parse_seconds(text);
	if (ms == -1)
		die_msg("bad timeout %s: expected seconds, more than 0 and at most 3600", text);
	return ms;
}

int64_t parse_metrics_interval(const char* text)
{
	int64_t ms = parse_seconds(text);
	if (ms == -1)
		die_msg("bad metrics interval %s: expected seconds, more than 0 and at most 3600",
		        text);
	return ms;
}

// Takes the value of a cache option into o->cache; a bad one is fatal.
// False when `opt` is none.
bool cache_option(serve_options* o, int opt, const char* text)
{
	std::string why;
	bool ok = false;
	const char* name = "";
	switch (opt) {
	case OPT_CACHE_TTL:
		name = "--cache-ttl";
		ok = cacheconf_parse_ttl(&o->cache.positive, text, &why);
		break;
	case OPT_CACHE_NEGATIVE_TTL:
		name = "--cache-negative-ttl";
		ok = cacheconf_parse_ttl(&o->cache.negative, text, &why);
		break;
	case OPT_CACHE_STALE:
		name = "--cache-stale";
		ok = cacheconf_parse_seconds(text, &o->cache.stale_ms, &why);
		break;
	case OPT_CACHE_SIZE:
		name = "--cache-size";
		ok = cacheconf_parse_size(text, &o->cache.max_entries, &why);
		break;
	case OPT_CACHE_MEMORY:
		name = "--cache-memory";
		ok = cacheconf_parse_size(text, &o->cache.max_bytes, &why);
		break;
	default:
		return false;
	}
	if (!ok)
		die_msg("bad %s %s: %s", name, text, why.c_str());
	return true;
}

// The upstreams of the -u options, in their order.
void parse_upstreams(const std::vector<const char*>& texts, serve_options* o)
{
	if (texts.size() > FAILOVER_MAX)
		die_msg("too many upstreams: at most %zu", FAILOVER_MAX);
	for (const char* text : texts) {
		std::string why;
		endpoint ep;
		if (!endpoint_parse(text, &ep, &why))
			die_msg("bad upstream %s: %s; expected one of %s", text, why.c_str(),
			        ENDPOINT_FORMS);
		o->upstreams.push_back(ep);
		o->upstream_text += (o->upstream_text.empty() ? "" : ", ") + std::string(text);
	}
}

} // namespace

void options_parse(int argc, char* argv[], serve_options* o)
{
	static const option longopts[] = {
	        {"mode", required_argument, nullptr, 'm'},
	        {"group", required_argument, nullptr, 'g'},
	        {"upstream", required_argument, nullptr, 'u'},
	        {"timeout", required_argument, nullptr, 't'},
	        {"verbose", no_argument, nullptr, 'v'},
	        {"help", no_argument, nullptr, 'h'},
	        {"version", no_argument, nullptr, OPT_VERSION},
	        {"metrics-file", required_argument, nullptr, OPT_METRICS_FILE},
	        {"metrics-interval", required_argument, nullptr, OPT_METRICS_INTERVAL},
	        {"cache-ttl", required_argument, nullptr, OPT_CACHE_TTL},
	        {"cache-negative-ttl", required_argument, nullptr, OPT_CACHE_NEGATIVE_TTL},
	        {"cache-stale", required_argument, nullptr, OPT_CACHE_STALE},
	        {"cache-size", required_argument, nullptr, OPT_CACHE_SIZE},
	        {"cache-memory", required_argument, nullptr, OPT_CACHE_MEMORY},
	        {nullptr, 0, nullptr, 0},
	};
	o->group = USOCK_GROUP_KEEP;
	o->timeout_ms = REPLY_DUE_MS;
	bool timeout_given = false, cache_given = false, interval_given = false;
	std::vector<const char*> upstreams;
	int opt;
	while ((opt = getopt_long(argc, argv, "m:g:u:t:vh", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'm':
			o->mode = parse_mode(optarg);
			o->mode_given = true;
			break;
		case 'g':
			o->group = parse_group(optarg);
			break;
		case 'u':
			upstreams.push_back(optarg);
			break;
		case 't':
			o->timeout_ms = parse_timeout(optarg);
			timeout_given = true;
			break;
		case 'v':
			o->verbose = true;
			break;
		case OPT_METRICS_FILE:
			o->metrics_file = optarg;
			break;
		case OPT_METRICS_INTERVAL:
			o->metrics_interval_ms = parse_metrics_interval(optarg);
			interval_given = true;
			break;
		case 'h':
			usage(0);
		case OPT_VERSION:
			printf("smap-serve %s\n", SMAP_VERSION);
			exit_printed();
		default:
			if (!cache_option(o, opt, optarg))
				usage(1);
			cache_given = true;
		}
	}
	bool bridge = !upstreams.empty();
	if (argc - optind != (bridge ? 1 : 2) || ((timeout_given || cache_given) && !bridge) ||
	    (interval_given && o->metrics_file == nullptr))
		usage(1);
	if (o->metrics_file != nullptr && *o->metrics_file == '\0')
		die_msg("bad metrics file: the path is empty");
	o->socket_path = argv[optind];
	if (!bridge) {
		o->map_dir = argv[optind + 1];
		return;
	}
	parse_upstreams(upstreams, o);
}
