// SPDX-License-Identifier: ISC
// The bridge: a source of answers (source.hpp) that forwards each query
// line to a netstring-framed socketmap server, the upstream (upstream.hpp),
// on a local socket or over TCP, and turns its reply into a reply line.
// source_bridge() makes it.
//
// Rules (those of one exchange are upconn.hpp's):
// 1. Each client has its own upstream connection (upconn.hpp), opened by
//    its first query and kept while it works, carrying that client's
//    queries one at a time.
// 2. A client that leaves closes its connection, abandoning its query in
//    flight. A connection is never shared: a surplus that the upstream
//    sends late can only meet a later query of the client it misanswered.
// 3. A connect that finds no descriptor makes short_of_descriptors() true,
//    so that the loop can free some.
//
// The bridge owns the upstream and the connections. Nothing here is fatal.
#pragma once

#include "tools/net/endpoint.hpp"
#include "tools/serve/source.hpp"

#include <cstdint>
#include <memory>

// Answers from the netstring server at `upstream`, each query within
// `timeout_ms`.
std::unique_ptr<source> source_bridge(const endpoint& upstream, int64_t timeout_ms);
