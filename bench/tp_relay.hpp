// SPDX-License-Identifier: ISC
// Throughput benchmark: the minimal relay, the floor that any backend pays.
//
// It runs as a child process shaped like the backend: the table protocol
// on standard input and output, one connection to the socketmap server.
// It answers the handshake, then for every request line splits out the
// table, the id and the key, writes "TABLE KEY\n" to the socket in one
// write, reads the reply line through its own buffer and writes the
// result line in one write. It checks nothing beyond what it needs to
// find the fields; a line it cannot split is fatal.
#pragma once

// Serves standard input until it ends; returns the exit status. With
// stale_check, each query is preceded by the non-blocking peek at the
// socket that the backend makes to find bytes no query asked for (their
// presence is not acted on: the benchmark's server never sends any).
int tp_relay_main(const char* socket_path, bool stale_check);
