// SPDX-License-Identifier: ISC
// Line framing: splits a byte stream into newline-terminated lines.
//
// A line_reader collects the bytes of one line at a time, up to a fixed
// maximum length (the newline not counted). A longer line is not stored:
// its bytes are discarded up to its newline and the reader reports it as
// too long, so the stream stays in step with one answer per line. The
// reader owns its line buffer; it never holds more than `max` bytes.
// Nothing here is fatal.
#pragma once

#include <cstddef>
#include <string>

struct line_reader {
	std::string line; // the complete line after LINE_COMPLETE, without newline
	size_t max = 0;
	bool overlong = false;
	bool complete = false;
};

enum line_status {
	LINE_PARTIAL,  // every byte consumed, no newline yet
	LINE_COMPLETE, // a line ended; it is in reader->line
	LINE_TOO_LONG, // a line longer than max ended; its bytes are gone
};

// Prepares the reader for lines of at most `max` bytes.
void line_reader_init(line_reader* r, size_t max);

// Consumes bytes from data[0..len) up to and including the first newline
// and stores their count in *used. The next call starts a new line.
line_status line_read(line_reader* r, const char* data, size_t len, size_t* used);

// True when bytes of an unfinished line are pending (stored or discarded).
bool line_pending(const line_reader* r);
