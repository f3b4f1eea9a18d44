// SPDX-License-Identifier: ISC
// Test harness: the client's side of a local stream socket, with time
// bounds, and a bare listener for tests that drive the server's side by
// hand.
//
// Descriptors returned here belong to the caller. Nothing is fatal: a
// socket that cannot be set up is -1, a reply that does not come is a
// marker string the test compares against.
#pragma once

#include <cstddef>
#include <string>

// A local socket listening on `path` with room for `backlog` pending
// connections; -1 when it cannot listen.
int listen_on(const std::string& path, int backlog);

// A connection accepted on `listener` within 5 s, with its reads bounded
// as long; -1 when none came.
int accept_within(int listener);

// True once something accepts connections on `path`, within `ms`.
bool wait_listening(const std::string& path, int ms);

// A blocking client socket connected to `path`, whose reads and writes
// give up after `bound_ms`; -1 when it cannot connect.
int connect_to(const std::string& path, int bound_ms = 5000);

// Writes all of `text`, or as much as the peer takes.
void send_text(int fd, const std::string& text);

// One line from fd without its newline; "<eof>" at the end of the stream,
// "<timeout>" when nothing came within the socket's bound.
std::string read_line(int fd);

// One line, or "<timeout>" when none comes within `ms`; the socket's
// bound is 5 s afterwards.
std::string read_line_within(int fd, int ms);

// The next `n` bytes from `fd`, fewer when the stream ends first.
std::string read_bytes(int fd, size_t n);

// Sends `query` and a newline, and reads one line.
std::string ask(int fd, const std::string& query);

// Milliseconds on a monotonic clock, for the tests' own waits.
long long monotonic_ms();
