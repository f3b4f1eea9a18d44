// SPDX-License-Identifier: ISC
// The bridge's upstreams (upstream.hpp) in the order of -u, and which of
// them is up: where a query goes first, where it goes next, how long a
// connect to one may take, and when one that failed is tried again.
//
// Rules:
// 1. A query goes to the first upstream, in order, that it has not tried
//    and that is up. An upstream is up unless it went down and its
//    back-off has not ended yet; once it has, queries go to it again.
// 2. When none of the upstreams it has not tried is up and the query has
//    tried none, it goes at once to the one whose back-off ends first: a
//    query is never refused without an attempt. When it has tried one, it
//    is answered with its last failure.
// 3. An upstream goes down when a connect to it fails or when it closes a
//    connection before any byte of a reply (upconn.hpp says when). Its
//    back-off is FAILOVER_BACKOFF_FIRST_MS, and doubles, up to
//    FAILOVER_BACKOFF_MAX_MS, each time it fails again after its back-off
//    ended; failures of attempts begun before that lengthen nothing.
// 4. A down upstream comes back when it answers a query sent to it since
//    it went down (a whole reply); the answer to one sent before says
//    nothing.
// 5. A warning when an upstream goes down, with why, and a note when it
//    answers again; nothing for each query.
// 6. A connect to an upstream has its share of the time a query has left:
//    that time divided by the number of upstreams the query may still go
//    to, this one included, so that a silent one leaves time for the next.
//
// The set owns its upstreams and their state; the counters are for anyone
// to read. There are 1 to FAILOVER_MAX upstreams, which the command line
// checks. Nothing here is fatal.
#pragma once

#include "tools/net/endpoint.hpp"
#include "tools/serve/upstream.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The most upstreams: a query's tried ones are the bits of a word.
constexpr size_t FAILOVER_MAX = 16;
constexpr int64_t FAILOVER_BACKOFF_FIRST_MS = 1000;
constexpr int64_t FAILOVER_BACKOFF_MAX_MS = 30000;

// The upstreams a query has tried: bit i for upstream i.
using failover_tried = uint32_t;

struct upstream_health {
	bool down = false;
	int64_t retry_at = 0;   // when a down upstream is up again (rule 1)
	int64_t backoff_ms = 0; // the back-off that ends then
	uint64_t downs = 0;     // times it went down
	uint64_t queries = 0;   // queries that went out to it
};

struct failover_upstream {
	upstream up;
	upstream_health health;
};

struct failover {
	std::vector<failover_upstream> ups;
};

// Opens the upstreams of `endpoints`, in that order.
void failover_open(failover* f, const std::vector<endpoint>& endpoints);

// Where a query that has tried `tried` goes now (rules 1 and 2): an index,
// or -1 when it is to be answered.
int failover_pick(const failover* f, failover_tried tried, int64_t now);

// True while every upstream is down and in its back-off.
bool failover_all_down(const failover* f, int64_t now);

// When a connect for a query that has tried `tried` and must be answered
// by `deadline` gives up (rule 6).
int64_t failover_connect_deadline(const failover* f, failover_tried tried, int64_t now,
                                  int64_t deadline);

// Upstream `i` failed as rule 3 says, for the reason `why`.
void failover_down(failover* f, size_t i, const std::string& why, int64_t now);

// Upstream `i` answered a query sent when its `downs` counter stood at
// `downs_then` (rule 4).
void failover_answered(failover* f, size_t i, uint64_t downs_then);
