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
// - Connecting tries the upstream's addresses in turn, starting with the
//   one that worked last; a local socket whose listen queue is full is
//   tried again every few milliseconds until the time bound, and so is a
//   connection for which this process has no descriptor left (the caller
//   learns of that from bridge_short_of_descriptors(), and can free
//   some). When every address refuses, the query is answered at once.
// - An exchange on which the upstream closes the connection, stays silent
//   past the time bound, or sends more than the reply (a surplus
//   netstring in the same read) is sent once more on a new connection; a
//   second failure is answered.
// - A reply that cannot be one reply line (malformed, over 100000 bytes,
//   holding a newline or a NUL) is answered. A bare "NOTFOUND" becomes
//   "NOTFOUND ".
// - An idle connection with bytes waiting, or closed by the upstream, is
//   dropped before it would be reused. After any failure the connection
//   is closed, so no late reply can answer a later query.
//
// A TCP name is resolved by bridge_setup() and again, on a thread of its
// own so that a slow name service stalls no client, only when every
// address has failed (at most once a second); the new list is used from
// the next connection on.
//
// The module owns the upstream endpoint, its addresses and the time
// bound; each bridge_conn owns its descriptor and buffers. Nothing here is
// fatal; failures are logged as warnings that name the endpoint as the
// operator wrote it.
#pragma once

#include "tools/endpoint.hpp"
#include "tools/netstring.hpp"

#include <cstdint>
#include <string>
#include <string_view>

struct bridge_conn {
	int fd = -1;
	bool busy = false;       // a query is in flight
	bool connecting = false; // connect() is in progress
	int attempt = 0;
	unsigned generation = 0; // counts the connections, so a stale poll result is noticed
	size_t address = 0;      // the address being connected to
	size_t tried = 0;        // addresses that failed in this attempt
	int last_error = 0;      // of the last address that failed
	int64_t retry_at = -1;   // when a connect refused for a full queue is retried
	std::string request;     // the netstring of the query in flight
	size_t sent = 0;
	ns_decoder reply;
	int64_t deadline = 0; // monotonic milliseconds
};

// Sets the upstream (copied) and the bound, in milliseconds, on one
// attempt of an exchange, and resolves the upstream's addresses. False,
// with the reason in *why, when the endpoint can never be reached (a
// socket path too long); a name that does not resolve yet is only logged.
bool bridge_setup(const endpoint& upstream, int64_t timeout_ms, std::string* why);

// Starts forwarding one query line. Returns true when the answer is known
// at once (no address could be connected), with it in *reply; otherwise
// the answer comes from bridge_handle().
bool bridge_start(bridge_conn* c, std::string_view query, int64_t now, std::string* reply);

// The poll events to wait for on c->fd; 0 when there is nothing to do.
short bridge_events(const bridge_conn* c);

// When bridge_handle() must next be called even without a poll event (a
// time bound or a connect retry), or -1.
int64_t bridge_deadline(const bridge_conn* c);

// Handles the poll result for c->fd (0 when poll reported nothing) and the
// timers. Returns true when the query in flight has been answered, with
// the reply line (no newline) in *reply.
bool bridge_handle(bridge_conn* c, short revents, int64_t now, std::string* reply);

// Closes the connection, abandoning any query in flight.
void bridge_close(bridge_conn* c);

// True when a connection could not be opened for want of descriptors
// (EMFILE) since the last call.
bool bridge_short_of_descriptors();
