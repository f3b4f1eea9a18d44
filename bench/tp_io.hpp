// SPDX-License-Identifier: ISC
// Throughput benchmark: buffered line reading and whole writes on file
// descriptors, shared by the benchmark driver, its socketmap server and
// its minimal relay.
//
// A reader owns its fixed buffer; the descriptor belongs to the caller.
// One read() takes whatever the kernel has, so a stream of short lines
// costs one system call per burst, as with any buffered reader. A line
// longer than the buffer, a read or write error and a stream that ends in
// the middle of a line are fatal (errx/err, status 1): the benchmark only
// ever sees lines it sent or expects.
#pragma once

#include <cstddef>
#include <functional>

constexpr size_t TP_READER_SIZE = 65536;

struct tp_reader {
	int fd;
	size_t start; // first unread byte
	size_t end;   // one past the last byte read
	char buf[TP_READER_SIZE];
};

void tp_reader_init(tp_reader* r, int fd);

// The next line without its newline, NUL-terminated in place in the
// buffer (valid until the next call); false at the end of the stream.
bool tp_read_line(tp_reader* r, char** line, size_t* len);

// True when a complete line is buffered: tp_read_line() will not block.
bool tp_reader_has_line(const tp_reader* r);

// Writes all `len` bytes, retrying short writes.
void tp_write_all(int fd, const char* data, size_t len);

// Connects to the local stream socket at path; exits on failure.
int tp_connect(const char* path);

// A local stream socket listening on path; exits on failure.
int tp_listen(const char* path);

// Accepts connections on `listener` for ever and serves each on a thread
// of its own with serve(fd); a failing accept() is fatal.
[[noreturn]] void tp_accept_loop(int listener, const std::function<void(int)>& serve);

// Writes `value` as exactly `width` decimal digits (leading zeros) at `p`.
void tp_put_digits(char* p, unsigned long value, int width);

// Monotonic clock in nanoseconds.
unsigned long long tp_now_ns();
