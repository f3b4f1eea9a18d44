// Netstring bridge: forwards line queries to a netstring-framed socketmap
// server (the upstream) on a local socket and turns its replies into
// reply lines.
//
// Each client of the server has its own bridge_conn, so one stalled
// upstream exchange holds up only the client that asked. The connection
// is opened by the client's first query and kept while it works; all I/O
// on it is non-blocking and driven by the caller's poll loop. An exchange
// on which the upstream closes the connection or stays silent past the
// time bound is retried once on a new connection; a second failure, a
// failed connect, or a reply that cannot be one reply line (malformed,
// over 100000 bytes, holding a newline or a NUL) is answered with
// "TEMP " and a reason. A bare "NOTFOUND" becomes "NOTFOUND ". After any
// failure the connection is closed, so no late reply can answer a later
// query.
//
// The module owns the upstream path and the time bound; each bridge_conn
// owns its descriptor and buffers. Nothing here is fatal; failures are
// logged as warnings.
#pragma once

#include "tools/netstring.hpp"

#include <cstdint>
#include <string>
#include <string_view>

struct bridge_conn {
	int fd = -1;
	bool busy = false;       // a query is in flight
	bool connecting = false; // connect() is in progress
	int attempt = 0;
	std::string request; // the netstring of the query in flight
	size_t sent = 0;
	ns_decoder reply;
	int64_t deadline = 0; // monotonic milliseconds
};

// Sets the upstream socket path (not copied) and the bound, in
// milliseconds, on one attempt of an exchange.
void bridge_setup(const char* upstream_path, int64_t timeout_ms);

// Starts forwarding one query line. Returns true when the answer is known
// at once (a failed connect), with it in *reply; otherwise the answer
// comes from bridge_handle().
bool bridge_start(bridge_conn* c, std::string_view query, int64_t now, std::string* reply);

// The poll events to wait for on c->fd; 0 when there is nothing to do.
short bridge_events(const bridge_conn* c);

// The deadline of the exchange in flight, or -1.
int64_t bridge_deadline(const bridge_conn* c);

// Handles the poll result for c->fd (0 when poll reported nothing) and the
// time bound. Returns true when the query in flight has been answered,
// with the reply line (no newline) in *reply.
bool bridge_handle(bridge_conn* c, short revents, int64_t now, std::string* reply);

// Closes the connection, abandoning any query in flight.
void bridge_close(bridge_conn* c);
