// SPDX-License-Identifier: ISC
// Throughput benchmark: the minimal bridge, the floor that any bridge
// between the line and the netstring framing pays.
//
// It listens on a local stream socket and serves each connection on a
// thread of its own with a connection of its own to the netstring server
// on a local socket: for every query line it reads, it writes the query
// as one netstring, reads one netstring reply through its own buffer and
// writes its payload as a line, all with blocking calls. It checks
// nothing beyond what it needs to find the frames; anything unexpected
// (a malformed reply, a failed connect, a line longer than the reader's
// buffer, a socket that cannot be set up) is fatal. SIGTERM removes the
// socket and ends it with status 0.
#pragma once

// Serves until SIGTERM.
[[noreturn]] void tp_bridge_main(const char* upstream_path, const char* socket_path);
