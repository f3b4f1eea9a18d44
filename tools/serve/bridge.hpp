// SPDX-License-Identifier: ISC
// The bridge: a source of answers (source.hpp) that forwards each query
// line to a netstring-framed socketmap server, the upstream (upstream.hpp),
// on a local socket or over TCP, and turns its reply into a reply line.
// source_bridge() makes it.
//
// Each client has its own upstream connection, opened by its first query
// and kept while it works, carrying one query at a time; it is in one of
// these states:
//   NONE       no connection (none yet, or closed after a failure)
//   DIALING    a query waits while the addresses are dialed (dial.hpp)
//   SENDING    the query's netstring is going out
//   RECEIVING  it has gone out; the reply is coming in
//   IDLE       connected, with no query: kept for the client's next one
// One step function moves a connection on from what the last poll() saw
// and the clock, until it must wait or its query is answered; all I/O is
// non-blocking. Rules:
// 1. Every reply is the upstream's answer to the query it is given for,
//    or "TEMP upstream ENDPOINT: REASON".
// 2. Each query has one time bound, set when it is asked: dialing, every
//    exchange and the one new attempt of rule 4 happen within it. When it
//    runs out the query is answered "timed out" ("cannot connect: timed
//    out" while dialing), and a query that timed out is never sent again:
//    a slow upstream gets the whole bound to answer, once.
// 3. When every address refuses, the query is answered at once. A local
//    socket whose listen queue is full, and a connect for which this
//    process has no descriptor left, are tried again until the bound;
//    short_of_descriptors() then tells the loop, which can free some.
// 4. An exchange on which the upstream closes the connection, or sends
//    more than the reply (a surplus netstring in the same read), is sent
//    once more on a new connection; a second such failure is answered. A
//    reset reads "connection closed" like any other close.
// 5. A reused connection that turns out closed before it took the query
//    (the send fails, or a local upstream resets it with the query unread)
//    costs no attempt, as the upstream never saw the query. So no query
//    reaches an upstream that may have read it more than twice.
// 6. A reply that cannot be one reply line (malformed, over 100000 bytes,
//    holding a newline or a NUL) is answered as a failure. A bare
//    "NOTFOUND" becomes "NOTFOUND ".
// 7. An idle connection on which poll() saw anything (bytes nobody asked
//    for, which are logged, or the upstream closing it), or idle for
//    BRIDGE_IDLE_MS, is closed rather than reused; one that became idle
//    after the last poll() is looked at before its reuse. The idle limit
//    is applied when the loop runs for anything else: it sets no timer. A
//    surplus that arrives after the next query went out cannot be told
//    from its reply (the framing has no request ids); the manual says so.
// 8. A client that leaves closes its connection, abandoning its query in
//    flight. A connection is never shared: a late surplus can only meet a
//    later query of the client that the upstream misanswered.
//
// After any failure the connection is closed. The bridge owns the
// connections, their descriptors (one, or ENDPOINT_DIAL_MAX while
// dialing) and buffers. Nothing here is fatal; failures are logged as warnings that
// name the endpoint as the operator wrote it.
#pragma once

#include <cstdint>

// An upstream connection idle this long is closed.
constexpr int64_t BRIDGE_IDLE_MS = 60000;
