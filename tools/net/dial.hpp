// SPDX-License-Identifier: ISC
// Dialing: connecting to the first of an endpoint's addresses that answers.
//
// A dialer (endpoint_dial_*) connects to the first address that answers,
// without blocking, driven by the caller's poll loop and clock: it starts
// with the address it is given first; when that has neither connected nor
// failed after ENDPOINT_DIAL_STAGGER_MS (or its share of the time left,
// if less), it starts the next one beside it, as dual-stack clients do, so
// that an address that never answers costs a fraction of the bound, not
// all of it. At most ENDPOINT_DIAL_MAX connects are in flight at once:
// when the next address is due and none is free, the one started last is
// given up for it, and the first one is kept. An address that fails starts
// the next at once. A local socket whose listen queue is full is tried
// again every ENDPOINT_DIAL_RETRY_MS, and so is an address for which the
// process has no descriptor left (the dialer notes that, so its owner can
// free some); when another connect is under way beside it, that one is
// given up for it, so that a process short of descriptors still gets past
// a silent address. The first connect to complete wins and the others are
// closed.
//
// Each caller owns its dialer, the address list it shares, and the
// descriptors it gets. Nothing here is fatal or logs.
#pragma once

#include "tools/net/endpoint.hpp"

#include <cstdint>
#include <memory>
#include <poll.h>
#include <vector>

// Connects in flight at once, and so descriptors and poll entries, per
// dialer.
constexpr int ENDPOINT_DIAL_MAX = 2;
// The longest an address has alone before the next is started beside it.
constexpr int64_t ENDPOINT_DIAL_STAGGER_MS = 250;
// A connect refused for a full listen queue, or for want of a descriptor,
// is tried again after this.
constexpr int64_t ENDPOINT_DIAL_RETRY_MS = 10;

// An address list shared by the dialers that use it, so that a new list
// can replace it while they work.
using endpoint_addresses = std::shared_ptr<const std::vector<endpoint_address>>;

// One connect of a dialer: under way (fd), or waiting to be tried again
// (retry_at) for a full listen queue (EAGAIN) or for want of a descriptor
// (EMFILE), or free (neither).
struct endpoint_dial_slot {
	int fd = -1;
	size_t address = 0;
	int64_t started = 0;
	int64_t retry_at = -1;
	int retry_error = 0;
};

struct endpoint_dialer {
	endpoint_addresses addresses;
	size_t first = 0;        // the address started first
	size_t started = 0;      // addresses started so far
	int64_t next_start = -1; // when the next address is due
	int64_t deadline = 0;
	int last_error = 0;        // of the last address that failed
	bool short_of_fds = false; // a connect found no descriptor (EMFILE)
	endpoint_dial_slot slots[ENDPOINT_DIAL_MAX];
};

enum endpoint_dial_result { ENDPOINT_DIAL_PENDING, ENDPOINT_DIAL_DONE, ENDPOINT_DIAL_FAILED };

// The outcome of a dialer that is no longer pending: the connected,
// non-blocking, close-on-exec socket (with TCP_NODELAY for TCP) and the
// index of its address; or the error: that of the last address to fail,
// ETIMEDOUT when a connect was still under way at the deadline, EAGAIN
// or EMFILE when one was waiting to be tried again.
struct endpoint_dialed {
	int fd = -1;
	size_t address = 0;
	int error = 0;
};

// Starts dialing `addresses` (not empty) from index `first` on, until
// `deadline`; times are monotonic milliseconds.
endpoint_dial_result endpoint_dial_start(endpoint_dialer* d, endpoint_addresses addresses,
                                         size_t first, int64_t now, int64_t deadline,
                                         endpoint_dialed* out);

// Fills ENDPOINT_DIAL_MAX poll entries for the connects under way.
void endpoint_dial_poll(const endpoint_dialer* d, pollfd* entries);

// When endpoint_dial_step() must be called even without a poll event.
int64_t endpoint_dial_wake(const endpoint_dialer* d);

// Takes the poll results for the entries endpoint_dial_poll() filled (or
// null when there are none) and the timers.
endpoint_dial_result endpoint_dial_step(endpoint_dialer* d, const pollfd* polled, int64_t now,
                                        endpoint_dialed* out);

// Closes the connects under way of a pending dialer.
void endpoint_dial_abort(endpoint_dialer* d);
