// SPDX-License-Identifier: ISC
// Netstring framing: "LEN:BYTES," with LEN in decimal.
//
// netstring_append() encodes one payload. An ns_decoder reads one
// netstring from a byte stream in pieces, with a fixed maximum payload
// size: the length is checked digit by digit, so a length beyond the
// maximum is refused before any payload is stored, and the buffer never
// grows past the maximum. A length that is empty, has a leading zero
// (other than "0" itself) or holds anything but digits before its ":" is
// malformed; a payload not followed by "," is malformed. The decoder owns
// its payload buffer. Nothing here is fatal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum ns_status {
	NS_PARTIAL,    // every byte consumed, the netstring is not complete
	NS_COMPLETE,   // the payload is in decoder->payload
	NS_BAD_LENGTH, // malformed length
	NS_NO_COMMA,   // the payload is not followed by ","
	NS_TOO_LARGE,  // the length exceeds the decoder's maximum
};

struct ns_decoder {
	std::string payload;
	size_t max = 0;
	size_t length = 0;
	size_t digits = 0;
	int state = 0;
};

// Appends the netstring of `payload` to *out.
void netstring_append(std::string* out, std::string_view payload);

// Prepares the decoder for one netstring of at most `max` payload bytes.
void ns_decoder_init(ns_decoder* d, size_t max);

// Consumes bytes from data[0..len) and stores their count in *used. After
// NS_COMPLETE, *used stops right after the ","; bytes beyond it belong to
// whatever follows. After an error the decoder must be initialised again.
ns_status ns_decode(ns_decoder* d, const char* data, size_t len, size_t* used);

// A short English text for an error status.
const char* ns_status_text(ns_status status);
