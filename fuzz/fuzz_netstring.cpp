// SPDX-License-Identifier: ISC
// Fuzz target: the netstring decoder that reads upstream replies, fed a
// stream of bytes in random pieces and checked against a second decoder
// that sees the whole stream at once.
//
// Input: byte 0 picks the maximum payload size, byte 1 seeds the piece
// sizes, the rest is the stream. The stream is decoded netstring after
// netstring until an error or its end.
#include "backend/smap_reply.hpp"
#include "tools/net/netstring.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

struct expected {
	ns_status status;
	size_t consumed;
	std::string_view payload;
};

// Reads one netstring at the start of `in`, all of it in view.
expected read_netstring(std::string_view in, size_t max)
{
	size_t length = 0;
	size_t i = 0;
	for (;; i++) {
		if (i == in.size())
			return {NS_PARTIAL, in.size(), {}};
		char c = in[i];
		if (c == ':')
			break;
		if (c < '0' || c > '9' || (i == 1 && in[0] == '0'))
			return {NS_BAD_LENGTH, i + 1, {}};
		length = length * 10 + static_cast<size_t>(c - '0');
		if (length > max)
			return {NS_TOO_LARGE, i + 1, {}};
	}
	if (i == 0)
		return {NS_BAD_LENGTH, 1, {}};
	size_t comma = i + 1 + length;
	if (comma >= in.size())
		return {NS_PARTIAL, in.size(), {}};
	if (in[comma] != ',')
		return {NS_NO_COMMA, comma + 1, {}};
	return {NS_COMPLETE, comma + 1, in.substr(i + 1, length)};
}

uint32_t next_random(uint32_t* state)
{
	*state ^= *state << 13;
	*state ^= *state >> 17;
	*state ^= *state << 5;
	return *state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 2)
		return 0;
	// Small maxima reach the size check with short inputs; 0 to 15 stand
	// for the real one.
	size_t max = data[0] < 16 ? SMAP_REPLY_MAX : data[0] - 16u;
	uint32_t rng = 0x9e3779b9u ^ data[1];
	std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

	size_t start = 0;
	for (;;) {
		std::string_view rest = stream.substr(start);
		expected e = read_netstring(rest, max);
		ns_decoder d;
		ns_decoder_init(&d, max);
		ns_status status = NS_PARTIAL;
		size_t consumed = 0;
		while (status == NS_PARTIAL && consumed < rest.size()) {
			size_t piece = next_random(&rng) % 8 == 0 ? rest.size() - consumed
			                                          : 1 + next_random(&rng) % 16;
			piece = std::min(piece, rest.size() - consumed);
			size_t used = 0;
			status = ns_decode(&d, rest.data() + consumed, piece, &used);
			// Partial means every byte was taken; nothing more than given.
			if (used > piece || (status == NS_PARTIAL && used != piece))
				abort();
			consumed += used;
			if (d.payload.size() > max)
				abort();
		}
		if (status != e.status || consumed != e.consumed)
			abort();
		if (status != NS_COMPLETE)
			return 0;
		if (d.payload != e.payload)
			abort();
		// A complete netstring takes no further bytes.
		size_t used = 1;
		if (consumed < rest.size() &&
		    (ns_decode(&d, rest.data() + consumed, rest.size() - consumed, &used) !=
		             NS_COMPLETE ||
		     used != 0))
			abort();
		start += consumed;
	}
}
