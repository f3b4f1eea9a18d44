// SPDX-License-Identifier: ISC
// One client of smap-serve, and the table of them: a client's socket, the
// input it has sent, the line being read, and its replies, sent in the
// order of its queries.
//
// Rules:
// 1. Input is read only when the last chunk read has been used up, and
//    served only while fewer than CLIENT_OUT_HIGH reply bytes and fewer
//    than CLIENT_MARKS_MAX replies wait to be sent: a client's memory is
//    bounded whatever it sends or leaves unread.
// 2. One query at a time: while one is pending with the source, the rest
//    of the input waits, so replies go out in the order of the queries.
// 3. A line longer than CLIENT_QUERY_MAX is answered "PERM query too long",
//    one without a blank after its table name "PERM malformed query: no
//    blank after the table name"; neither reaches the source.
// 4. A client whose input has ended is closed once its replies are out;
//    the bytes of an unfinished last line are dropped. A client whose peer
//    has gone while nothing of it is left to send is closed at once.
// 5. The times that admission judges a client by are kept here: when it
//    was accepted, whether it has sent anything, when bytes last came or
//    went, and since when replies have waited for it: `waiting_since`
//    moves on only once every reply that was waiting then has gone, not
//    with each byte the client takes.
// 6. Each reply waiting to be sent keeps a mark: where it ends, its table,
//    its result and the round in which its query line was read. When its
//    last byte is written the query is counted (metrics.hpp, rule 3),
//    timed by the clock read after that write. A client closed is counted
//    by why (metrics_close), except at exit.
//
// The table owns its clients and their descriptors; closing a client
// tells the source, which drops its pending query. With -v, connections,
// queries and the status word of each reply (never a value) are logged.
// Nothing here is fatal.
#pragma once

#include "tools/net/lineframe.hpp"
#include "tools/serve/metrics.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class source;

// The longest query line served, its newline not counted. A query is a
// table name and a key; mail addresses and user names stay far below it.
constexpr size_t CLIENT_QUERY_MAX = 8192;
// Input is not served while this many reply bytes wait for the client,
// or this many replies.
constexpr size_t CLIENT_OUT_HIGH = 65536;
constexpr size_t CLIENT_MARKS_MAX = 64;

// A reply waiting to be sent (rule 6).
struct client_mark {
	size_t end;       // in client::out
	int64_t asked_us; // the round in which its query line was read
	uint32_t table;   // metrics_table_slot()
	metrics_result result;
};

struct client {
	int fd = -1;
	char in[16384];
	size_t in_off = 0;
	size_t in_len = 0;
	line_reader lines;
	std::string out;
	size_t out_off = 0;
	bool eof = false;     // the client will send nothing more
	bool spoke = false;   // bytes have come from the client
	bool dead = false;    // to be closed at the end of this round
	bool waiting = false; // a query is pending with the source
	int64_t accepted_at = 0;
	int64_t last_active = 0;   // when bytes last came or went
	int64_t waiting_since = 0; // when the replies before out_mark were waiting
	size_t out_mark = 0;       // see rule 5
	client_mark marks[CLIENT_MARKS_MAX];
	size_t marks_first = 0, marks_count = 0; // a ring: rule 6
	int64_t asked_us = 0;                    // when the pending query's line was read
	metrics_close closing = CLOSE_UNCOUNTED; // why it is closed, once it is
};

struct client_table {
	std::vector<std::unique_ptr<client>> clients;
	source* src = nullptr;
	size_t slots = 1; // the most clients at once
};

// Logs connections, queries and reply status words (-v).
extern bool client_verbose;

// Adds a client for the accepted socket `fd`, non-blocking and
// close-on-exec.
client* client_add(client_table* t, int fd, int64_t now);
// Closes `c` and removes it from the table.
void client_remove(client_table* t, client* c);
// Closes and removes every client marked dead.
void client_reap(client_table* t);

// Reply bytes not yet sent.
inline size_t client_unsent(const client* c)
{
	return c->out.size() - c->out_off;
}

// The poll events `c` waits for.
short client_events(const client* c);
// Takes the poll result `revents` for `c`, then serves and writes what it can.
void client_polled(client* c, source* src, short revents, int64_t now);
// The answer to `c`'s pending query has come: queues it, then serves and
// writes what it can.
void client_answered(client* c, source* src, std::string_view reply, int64_t now);
