// SPDX-License-Identifier: ISC
// Throughput benchmark: a fast socketmap server answering from memory.
//
// It listens on a local stream socket in a fresh temporary directory and
// serves every connection on a thread of its own. Each query line
// "TABLE KEY" is answered "OK value-for-KEY" when TABLE is the benchmark's
// table, "PERM unknown table" otherwise; the replies to all the complete
// lines of one read leave in one write. The server lives until the
// process ends; tp_server_cleanup() removes the socket and its directory.
// Failing to set up the socket is fatal.
#pragma once

#include <cstddef>

// The table name that the benchmark's requests carry.
constexpr char TP_TABLE[] = "aliases";
// What the server puts before the key in every value.
constexpr char TP_VALUE_PREFIX[] = "value-for-";

// Starts the server; returns the socket path (owned by the module).
const char* tp_server_start();
void tp_server_cleanup();
