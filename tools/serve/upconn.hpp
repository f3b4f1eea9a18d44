// SPDX-License-Identifier: ISC
// One upstream connection of the bridge (bridge.hpp), as a state machine.
//
// An upstream connection carries one query at a time to a netstring
// socketmap server, one of the bridge's upstreams (failover.hpp), and turns
// its reply into a reply line. It is in one of these states:
//   NONE       no connection (none yet, or closed after a failure)
//   NEW        a query waits for an upstream to be picked and dialed
//   DIALING    a query waits while the addresses are dialed (dial.hpp)
//   SENDING    the query's netstring is going out
//   RECEIVING  it has gone out; the reply is coming in
//   IDLE       connected, with no query: kept for the next one
// One step function moves a connection on from what the last poll() saw
// and the clock, until it must wait or its query is answered; all I/O is
// non-blocking. Rules:
// 1. Every reply is the answer of the upstream the query went to, or
//    "TEMP upstream ENDPOINT: REASON" for the last upstream it failed at.
// 2. Each query has one time bound, set when it is asked: dialing, every
//    exchange and the new attempts of rules 3 and 4 happen within it. When
//    it runs out the query is answered "timed out" ("cannot connect: timed
//    out" while dialing), and a query that timed out is never sent again:
//    an upstream that took the query and stays silent gets the whole bound
//    to answer, once, and the query never goes to a second one.
// 3. A connect that fails (every address refuses; no address, for a name
//    that does not resolve; none connects within the connect's share of
//    the bound, failover.hpp rule 6) marks the upstream down and sends the
//    query on at once to the next upstream; with none left, it is
//    answered. A local socket whose listen queue is full, and a connect
//    for which this process has no descriptor left, are tried again until
//    the share ends; a want of descriptors marks no upstream down, and the
//    connection's `short_of_fds` then tells its owner, which can free some.
// 4. An exchange on which the upstream closes the connection, or sends
//    more than the reply (a surplus netstring in the same read), is sent
//    once more on a new connection: to the next upstream not yet tried,
//    or, to a lone upstream, to it again; a second such failure is
//    answered. A close before any byte of the reply also marks the
//    upstream down. A reset reads "connection closed" like any other close.
// 5. A reused connection that turns out closed before it took the query
//    (the send fails, or a local upstream resets it with the query unread)
//    costs no attempt and marks nothing down, as the upstream never saw
//    the query. So no query reaches an upstream that may have read it more
//    than twice, and none reaches one of several upstreams twice.
// 6. A reply that cannot be one reply line (malformed, over 100000 bytes,
//    holding a newline or a NUL) is answered as a failure. A bare
//    "NOTFOUND" becomes "NOTFOUND ".
// 7. An idle connection on which poll() saw anything (bytes nobody asked
//    for, which are logged, or the upstream closing it), or idle for
//    UPCONN_IDLE_MS, is closed rather than reused, and so is one to an
//    upstream other than the one the next query goes to; one that became
//    idle after the last poll() is looked at before its reuse. The idle
//    limit is applied when the loop runs for anything else: it sets no
//    timer. A surplus that arrives after the next query went out cannot be
//    told from its reply (the framing has no request ids); the manual says
//    so.
//
// Every query is counted for each upstream it went to (metrics.hpp): by
// the reply's first word for the upstream that answered, TEMP for one it
// failed at, whether it went on to the next or was answered so.
//
// After any failure the connection is closed. The connection owns its
// descriptors (one, or ENDPOINT_DIAL_MAX while dialing) and buffers; the
// upstreams are its owner's. Nothing here is fatal. Failures that mark an
// upstream down are logged by failover.hpp, once; the others are logged as
// warnings, each time, naming the endpoint as the operator wrote it.
#pragma once

#include "tools/net/dial.hpp"
#include "tools/net/netstring.hpp"
#include "tools/serve/failover.hpp"

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>

// A connection idle this long is closed.
constexpr int64_t UPCONN_IDLE_MS = 60000;

enum upconn_state {
	UPCONN_NONE,
	UPCONN_NEW,
	UPCONN_DIALING,
	UPCONN_SENDING,
	UPCONN_RECEIVING,
	UPCONN_IDLE,
};

struct upconn {
	upconn_state state = UPCONN_NONE;
	int fd = -1;
	size_t upstream = 0; // the upstream connected or dialed, an index of the set
	endpoint_dialer dial;
	std::string request; // the query's netstring
	size_t sent = 0;
	ns_decoder reply;
	bool replying = false;     // bytes of the reply have arrived
	bool reused = false;       // the exchange went out on a connection used before
	int failures = 0;          // exchanges of the query that failed after it may have been read
	int64_t deadline = 0;      // of the query, monotonic milliseconds
	int64_t asked_us = 0;      // the round in which the query was asked (metrics.hpp)
	int64_t idle_since = 0;    // when it last answered
	bool checked = false;      // idle, and a poll() since then saw nothing on it
	bool short_of_fds = false; // a connect found no descriptor: its owner clears it
	failover_tried tried = 0;  // upstreams the query may not go to again
	std::string failure;       // the answer when no upstream is left: rule 1
	int answered_by = -1;      // the upstream whose reply answered, -1 for a failure
	uint64_t downs_then = 0;   // the upstream's count of outages when the query went out
};

// Starts `query` on `c` to the upstreams of `f`, within `timeout_ms` from
// `now`: on the idle connection if it may carry it (rule 7), else on a new
// one. True when it is answered at once, with the reply line in *reply.
bool upconn_ask(upconn* c, failover* f, std::string_view query, int64_t now, int64_t timeout_ms,
                std::string* reply);

// Appends the poll entries of `c` (none, one, or ENDPOINT_DIAL_MAX while
// dialing) and returns how many.
size_t upconn_poll(const upconn* c, std::vector<pollfd>* fds);

// Takes the results of the entries that upconn_poll() appended, starting at
// `polled`, and the clock. True when the query is answered, with the reply
// line in *reply.
bool upconn_run(upconn* c, failover* f, const pollfd* polled, int64_t now, std::string* reply);

// When upconn_run() must come even without a poll event (the bound, the
// next address, a connect retry); -1 with no query. No wake-up for the idle
// limit: a timer armed in every poll() between two lookups would cost each
// lookup.
int64_t upconn_deadline(const upconn* c);

// Closes the connection, abandoning its query if it has one.
void upconn_close(upconn* c);

// The descriptors `c` holds now.
size_t upconn_descriptors(const upconn* c);
