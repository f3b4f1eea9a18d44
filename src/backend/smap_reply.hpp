// SPDX-License-Identifier: ISC
// Socketmap reply lines: the limit on one reply line, the prefixes that
// sort it, and the time within which it must come. The backend reads
// replies by these rules; the tools apply the same ones to what they
// produce, bridge and print, so a reply that the tools pass on is one the
// backend takes the same way, and in time.
//
// A reply is sorted by a case-insensitive comparison of its start against
// each prefix, blank included, in the order of smap_reply_prefixes.
// Header only: nothing here allocates, fails or keeps state.
#pragma once

#include <cstddef>
#include <strings.h>

// The longest reply line taken, its newline not counted.
constexpr size_t SMAP_REPLY_MAX = 100000;
// The backend's bound on connecting, and on one exchange (the query out and
// its reply back): a reply that has not come within it is never taken.
constexpr int SMAP_TIMEOUT_SECONDS = 10;

enum smap_outcome { SMAP_FOUND, SMAP_NOTFOUND, SMAP_FAILURE };

struct smap_prefix {
	const char* text;
	size_t length;
	smap_outcome outcome;
};

constexpr smap_prefix smap_reply_prefixes[] = {
        {"OK ", 3, SMAP_FOUND},        {"NOTFOUND ", 9, SMAP_NOTFOUND}, {"TEMP ", 5, SMAP_FAILURE},
        {"TIMEOUT ", 8, SMAP_FAILURE}, {"PERM ", 5, SMAP_FAILURE},
};

// The prefix that the `len` bytes at `text` start with, or null for a
// reply that starts with none of them (an unrecognized reply).
inline const smap_prefix* smap_reply_prefix(const char* text, size_t len)
{
	for (const auto& p : smap_reply_prefixes)
		if (len >= p.length && strncasecmp(text, p.text, p.length) == 0)
			return &p;
	return nullptr;
}
