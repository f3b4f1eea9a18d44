// SPDX-License-Identifier: ISC
// smap-query's output and exit statuses: standard output is checked before
// anything is asked, and each reply is printed as one line and counted as
// the status of its key.
//
// Rules:
// 1. A key's status is 0 for OK, 1 for NOTFOUND, 2 for TEMP, TIMEOUT,
//    PERM or anything the backend would take as neither found nor not
//    found; the run's status is the highest of its keys'.
// 2. In the netstring framing a bare "NOTFOUND" counts as not found, and a
//    reply holding a newline or a NUL counts 2 (it cannot be bridged).
// 3. A write to standard output that fails ends the run with
//    QUERY_EXIT_OUTPUT before the next key is asked.
//
// Nothing is kept here; only a failed write is fatal (through err()).
#pragma once

#include <string>

constexpr int QUERY_EXIT_UNREACHABLE = 3;
constexpr int QUERY_EXIT_USAGE = 64;
constexpr int QUERY_EXIT_OUTPUT = 74;

// Why standard output cannot take the replies ("closed" when it was closed
// at start, as `was_closed` says), or null.
const char* output_problem(bool was_closed);

// Prints a complete reply to `key` and returns the key's status.
int output_reply(const std::string& reply, const char* key, bool netstring);
