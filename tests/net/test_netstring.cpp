// SPDX-License-Identifier: ISC
// Netstring framing: encoding, and decoding in pieces with a size limit.
#include "tools/net/netstring.hpp"
#include "tools/net/reply.hpp"

#include <gtest/gtest.h>
#include <string>

namespace
{

// Feeds `input` to a fresh decoder in pieces of `step` bytes; returns the
// final status and the number of bytes consumed.
ns_status decode_all(const std::string& input, size_t max, size_t step, ns_decoder* d,
                     size_t* consumed)
{
	ns_decoder_init(d, max);
	ns_status status = NS_PARTIAL;
	*consumed = 0;
	while (status == NS_PARTIAL && *consumed < input.size()) {
		size_t n = std::min(step, input.size() - *consumed);
		size_t used;
		status = ns_decode(d, input.data() + *consumed, n, &used);
		*consumed += used;
	}
	return status;
}

TEST(Netstring, EncodesAndDecodesInAnyPieces)
{
	std::string wire;
	netstring_append(&wire, "aliases alice");
	netstring_append(&wire, "");
	EXPECT_EQ(wire, "13:aliases alice,0:,");

	for (size_t step : {1, 2, 5, 100}) {
		ns_decoder d;
		size_t consumed;
		EXPECT_EQ(decode_all(wire, 100, step, &d, &consumed), NS_COMPLETE) << step;
		EXPECT_EQ(d.payload, "aliases alice");
		// Stops right after the ",": the next netstring is untouched.
		EXPECT_EQ(consumed, 17u);
		EXPECT_EQ(decode_all(wire.substr(consumed), 100, step, &d, &consumed), NS_COMPLETE);
		EXPECT_EQ(d.payload, "");
	}
}

TEST(Netstring, PayloadMayHoldAnyByte)
{
	std::string payload("a,b:c\n\0d", 8);
	std::string wire;
	netstring_append(&wire, payload);
	ns_decoder d;
	size_t consumed;
	ASSERT_EQ(decode_all(wire, 100, 3, &d, &consumed), NS_COMPLETE);
	EXPECT_EQ(d.payload, payload);
}

TEST(Netstring, MalformedLengths)
{
	for (const char* bad :
	     {":abc,", "x:abc,", "3x:abc,", " 3:abc,", "-3:abc,", "03:abc,", "00:,"}) {
		ns_decoder d;
		size_t consumed;
		EXPECT_EQ(decode_all(bad, 100, 1, &d, &consumed), NS_BAD_LENGTH) << bad;
	}
}

TEST(Netstring, MissingCommaIsAnError)
{
	ns_decoder d;
	size_t consumed;
	EXPECT_EQ(decode_all("3:abc.", 100, 4, &d, &consumed), NS_NO_COMMA);
	EXPECT_EQ(decode_all("3:abcd,", 100, 1, &d, &consumed), NS_NO_COMMA);
	// Until the byte after the payload arrives, the netstring is incomplete.
	EXPECT_EQ(decode_all("3:abc", 100, 1, &d, &consumed), NS_PARTIAL);
}

TEST(Netstring, OversizeIsRefusedBeforeThePayload)
{
	ns_decoder d;
	size_t consumed;
	EXPECT_EQ(decode_all("10:0123456789,", 10, 1, &d, &consumed), NS_COMPLETE);
	EXPECT_EQ(decode_all("11:01234567890,", 10, 1, &d, &consumed), NS_TOO_LARGE);
	// Refused at the digit that crosses the limit: nothing is stored, and
	// a huge length cannot make the decoder allocate.
	EXPECT_EQ(consumed, 2u);
	EXPECT_TRUE(d.payload.empty());
	EXPECT_EQ(decode_all("99999999999999999999999:", SMAP_REPLY_MAX, 64, &d, &consumed),
	          NS_TOO_LARGE);
	EXPECT_LT(d.payload.capacity(), 1000u);
}

} // namespace
