// SPDX-License-Identifier: ISC
// An upstream: a netstring socketmap server as the operator wrote it
// (endpoint.hpp), and the addresses that the bridge dials for it.
//
// Rules:
// 1. The addresses are resolved when the upstream is opened, before the
//    server serves (a local socket's path needs no resolving). A TCP name
//    is resolved again only when every address has been refused, at most
//    once a second, on a thread of its own so that a slow name service
//    stalls no client; the new list is used from the next connection on,
//    and a resolution that fails leaves the known addresses as they were.
// 2. Dialing starts with the address that connected last.
// 3. While no address is known, the reason the name did not resolve is
//    what a query is answered with.
//
// The upstream owns its endpoint and its address list, which the dialers
// under way share. Nothing here is fatal; a failed resolution is logged as
// "warn: upstream ENDPOINT: REASON", the endpoint as it was written.
#pragma once

#include "tools/net/dial.hpp"
#include "tools/net/endpoint.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct upstream_resolution;

struct upstream {
	endpoint ep;
	endpoint_addresses addresses;
	std::string unresolved; // why `addresses` is empty
	size_t preferred = 0;   // the address to dial first
	std::shared_ptr<upstream_resolution> resolving;
	int64_t resolved_at = 0;
	size_t metrics = 0; // metrics_upstream_add()
};

// Sets up `u` for `ep`, counted under its text (metrics.hpp), and resolves
// it; a name that does not resolve yet is only logged.
void upstream_open(upstream* u, const endpoint& ep);

// The addresses to dial now and the index to start at: true, or false
// with the reason in *why when none is known (rule 3), which counts as a
// failed connect. A finished resolution is taken first.
bool upstream_addresses(upstream* u, int64_t now, endpoint_addresses* list, size_t* first,
                        std::string* why);

// Address `index` of `list` has connected (rule 2).
void upstream_connected(upstream* u, const endpoint_addresses& list, size_t index);

// Dialing ended with `error` (the dialer's), a failed connect: every
// address was refused, unless the error is a time-out or a shortage of
// descriptors (rule 1).
void upstream_dial_failed(upstream* u, int error, int64_t now);
