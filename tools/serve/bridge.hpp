// SPDX-License-Identifier: ISC
// Netstring bridge: forwards line queries to a netstring-framed socketmap
// server (the upstream), on a local socket or over TCP, and turns its
// replies into reply lines.
//
// Each client of the server has its own bridge_conn, so one stalled
// upstream exchange holds up only the client that asked. The connection
// is opened by the client's first query and kept while it works; all I/O
// on it, connecting included, is non-blocking and driven by the caller's
// poll loop. Every reply is the upstream's answer to the query it is
// given for, or "TEMP upstream ENDPOINT: reason":
// - Each query has one time bound, set when it starts: connecting, every
//   exchange and the one new attempt below all happen within it. When it
//   runs out the query is answered "timed out" ("cannot connect: timed
//   out" while connecting), and a query that timed out is never sent
//   again: a slow upstream gets the whole bound to answer, once.
// - Connecting dials the upstream's addresses (endpoint.hpp), starting
//   with the one that worked last: a silent address gets the next one
//   started beside it, and a local socket whose listen queue is full is
//   tried again until the bound, and so is a connection for which this
//   process has no descriptor left (the caller learns of that from
//   bridge_short_of_descriptors(), and can free some). When every address
//   refuses, the query is answered at once.
// - An exchange on which the upstream closes the connection, or sends
//   more than the reply (a surplus netstring in the same read), is sent
//   once more on a new connection; a second such failure is answered. A
//   reset reads "connection closed" like any other close.
// - A connection used before that turns out closed before it took the
//   query (the upstream closed it as the query went out: the send fails,
//   or a local upstream resets it with the query unread) costs no
//   attempt, as the upstream never saw the query. So no query reaches an
//   upstream that may have read it more than twice.
// - A reply that cannot be one reply line (malformed, over 100000 bytes,
//   holding a newline or a NUL) is answered. A bare "NOTFOUND" becomes
//   "NOTFOUND ".
// - An idle connection with bytes waiting, closed by the upstream, or
//   idle for BRIDGE_IDLE_MS, is closed rather than reused: a connection
//   that the network dropped silently is not what the next query finds.
//   The idle limit is checked by the next query and by bridge_handle(),
//   which the caller's loop runs whenever it wakes; it sets no timer.
//   After any failure the connection is closed. A surplus that arrives
//   after the next query went out cannot be told from its reply (the
//   framing has no request ids); the manual says so.
//
// A TCP name is resolved by bridge_setup() and again, on a thread of its
// own so that a slow name service stalls no client, only when every
// address has failed (at most once a second); the new list is used from
// the next connection on.
//
// The module owns the upstream endpoint, its addresses and the time
// bound; each bridge_conn owns its descriptors (one connection, or up to
// BRIDGE_POLL_FDS connects while connecting) and buffers. Nothing here is
// fatal; failures are logged as warnings that name the endpoint as the
// operator wrote it.
#pragma once

#include "tools/net/endpoint.hpp"
#include "tools/net/netstring.hpp"

#include <cstdint>
#include <string>
#include <string_view>

// Poll entries, and at most descriptors, per bridge_conn.
constexpr int BRIDGE_POLL_FDS = ENDPOINT_DIAL_MAX;
// An upstream connection idle this long is closed.
constexpr int64_t BRIDGE_IDLE_MS = 60000;

struct bridge_conn {
	int fd = -1;             // the connection, once connected
	bool busy = false;       // a query is in flight
	bool connecting = false; // `dial` is under way
	bool reused = false;     // the exchange went out on a connection used before
	bool replying = false;   // bytes of the reply have arrived
	int failures = 0;        // exchanges of the query that failed after it may have been read
	unsigned generation = 0; // counts the connections, so a stale poll result is noticed
	endpoint_dialer dial;
	std::string request; // the netstring of the query in flight
	size_t sent = 0;
	ns_decoder reply;
	int64_t deadline = 0;   // of the query in flight, monotonic milliseconds
	int64_t idle_since = 0; // when the connection last answered
};

// Sets the upstream (copied, as endpoint_parse() accepted it) and the
// bound, in milliseconds, on each query, and resolves the upstream's
// addresses; a name that does not resolve yet is only logged.
void bridge_setup(const endpoint& upstream, int64_t timeout_ms);

// Starts forwarding one query line. Returns true when the answer is known
// at once (no address could be connected), with it in *reply; otherwise
// the answer comes from bridge_handle().
bool bridge_start(bridge_conn* c, std::string_view query, int64_t now, std::string* reply);

// Fills the BRIDGE_POLL_FDS poll entries of c (fd -1 for those with
// nothing to wait for).
void bridge_poll(const bridge_conn* c, pollfd* entries);

// When bridge_handle() must next be called even without a poll event (a
// time bound, the next address, a connect retry), or -1.
int64_t bridge_deadline(const bridge_conn* c);

// Takes the poll results for the entries bridge_poll() filled, and the
// timers. Returns true when the query in flight has been answered, with
// the reply line (no newline) in *reply.
bool bridge_handle(bridge_conn* c, const pollfd* polled, int64_t now, std::string* reply);

// Closes the connection, abandoning any query in flight.
void bridge_close(bridge_conn* c);

// True when a connection could not be opened for want of descriptors
// (EMFILE) since the last call.
bool bridge_short_of_descriptors();

// The descriptors c holds now: its connection, or the connects under way.
size_t bridge_descriptors(const bridge_conn* c);
