// SPDX-License-Identifier: ISC
// The bridge: a source of answers (source.hpp) that forwards each query
// line to a netstring-framed socketmap server, one of its upstreams
// (failover.hpp), on a local socket or over TCP, and turns the reply into
// a reply line, with a cache of answers (cache.hpp) in front.
// source_bridge() makes it.
//
// Rules (those of one exchange are upconn.hpp's, of the upstreams
// failover.hpp's, of the cache cache.hpp's, of flights flight.hpp's):
// 1. A query is answered by its fresh cache entry if it has one; else,
//    while every upstream is down, at once by an expired entry that may
//    stand in (cache.hpp, rule 3); else it waits on the flight of an
//    identical query, if one is with an upstream; else it takes off.
// 2. When a flight lands, the upstream's reply goes to the cache, unless
//    the cache was emptied since the flight took off; a reply that ends as
//    TEMP or TIMEOUT, the upstream's or the bridge's own, gives way to an
//    expired entry that may stand in. Every waiter gets the same answer.
// 3. Each client has its own upstream connection (upconn.hpp), opened by
//    the first flight it carries and kept while it works, carrying the
//    flights it carries, one at a time.
// 4. A connection is never shared: it carries the queries of the client
//    that holds it. When a carrier leaves while others wait on its flight,
//    its connection, exchange and all, passes to the waiter that carries
//    the flight on, whose own idle connection is closed; when none waits,
//    it is closed, abandoning the exchange. So a surplus that the upstream
//    sends late can only meet a later query of a client that got the reply
//    it came with.
// 5. A connect that finds no descriptor makes short_of_descriptors() true,
//    so that the loop can free some.
// 6. SIGHUP empties the cache and logs how many entries went; without a
//    cache it is ignored, and logged.
//
// The bridge owns the upstreams, the cache, the flights and the
// connections. Nothing here is fatal.
#pragma once

#include "tools/net/endpoint.hpp"
#include "tools/serve/cacheconf.hpp"
#include "tools/serve/source.hpp"

#include <cstdint>
#include <memory>
#include <vector>

// Answers from the netstring servers at `upstreams`, in that order of
// preference, each query within `timeout_ms`, with the cache of `cache`.
std::unique_ptr<source> source_bridge(const std::vector<endpoint>& upstreams, int64_t timeout_ms,
                                      const cache_config& cache);
// One upstream, nothing cached.
std::unique_ptr<source> source_bridge(const endpoint& upstream, int64_t timeout_ms);
