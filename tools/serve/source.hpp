// SPDX-License-Identifier: ISC
// A source of answers: where smap-serve's loop gets the reply to a query
// line, without knowing whether map files (mapsource.hpp) or a netstring
// upstream (bridge.hpp) answer it. The source is chosen once at start.
//
// The loop hands a query to ask() on behalf of a client. The answer is
// known at once, or the query is pending: the source then drives whatever
// it waits for (a map loading, an upstream exchange) from the loop's poll
// set and clock, and hands the answer back from run(). Rules:
// 1. A client has at most one query pending at a time, and gets exactly
//    one answer for it, unless it leaves first (client_left()).
// 2. Every answer is a reply line without its newline, due within
//    REPLY_DUE_MS of the query (a TEMP reply when nothing better came).
// 3. The source's descriptors are in the poll set of every round: the
//    loop appends them with poll_set() and hands their results to the
//    next run(), which comes before any ask() of that round, so that ask()
//    knows what the last poll() saw on them.
// 4. The source holds at most fds_per_client() descriptors for each
//    client, and one query may need fds_per_query() more for a moment (a
//    map file being read, a second address dialed): the loop sizes its
//    client table by them.
//
// The source owns its descriptors and its pending queries; it never
// dereferences a client. Nothing here is fatal: failures become TEMP
// answers and warnings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>

// The loop's client; to a source only the name of whoever waits.
struct client;

struct source_answer {
	client* who;
	std::string reply;
};

class source
{
public:
	virtual ~source() = default;

	// Starts answering `query`, a line with a blank after its table name,
	// for `who`. True with the reply in *reply when it is known at once.
	virtual bool ask(client* who, std::string_view query, int64_t now, std::string* reply) = 0;
	// `who` has been closed: its pending query, if any, is dropped.
	// `clients` are left.
	virtual void client_left(client* who, size_t clients) = 0;

	// Appends the poll entries of the source's descriptors.
	virtual void poll_set(std::vector<pollfd>* fds) = 0;
	// When run() must come even without a poll event: `now` or earlier
	// while there is work to do, -1 when only an event can bring any.
	virtual int64_t deadline() const = 0;
	// Takes the results of the entries that poll_set() appended, starting
	// at `polled`, and the clock; appends the queries answered.
	virtual void run(const pollfd* polled, int64_t now,
	                 std::vector<source_answer>* answers) = 0;

	// SIGHUP.
	virtual void hangup() = 0;

	virtual size_t fds_per_client() const = 0;
	virtual size_t fds_per_query() const = 0;
	// The descriptors held now.
	virtual size_t descriptors() const = 0;
	// True when a descriptor could not be opened for want of one (EMFILE)
	// since the last call: the loop then makes room.
	virtual bool short_of_descriptors() = 0;
};
