// SPDX-License-Identifier: ISC
// Replies as the tools sort them, the backend's way.
#include "tools/net/reply.hpp"

#include <gtest/gtest.h>

namespace
{

TEST(Reply, ClassifiesLikeTheBackend)
{
	EXPECT_EQ(reply_classify("OK value"), REPLY_OK);
	EXPECT_EQ(reply_classify("ok "), REPLY_OK);
	EXPECT_EQ(reply_classify("NotFound "), REPLY_NOTFOUND);
	EXPECT_EQ(reply_classify("TEMP x"), REPLY_FAILURE);
	EXPECT_EQ(reply_classify("TIMEOUT x"), REPLY_FAILURE);
	EXPECT_EQ(reply_classify("PERM x"), REPLY_FAILURE);
	EXPECT_EQ(reply_classify("OK"), REPLY_UNRECOGNIZED);
	EXPECT_EQ(reply_classify("NOTFOUND"), REPLY_UNRECOGNIZED);
	EXPECT_EQ(reply_classify(""), REPLY_UNRECOGNIZED);
	EXPECT_TRUE(reply_is_bare_notfound("notfound"));
	EXPECT_FALSE(reply_is_bare_notfound("NOTFOUND "));
	EXPECT_FALSE(reply_is_bare_notfound("NOTFOUNDX"));
}

TEST(Reply, OnlyTempAndTimeoutMayPass)
{
	const struct {
		const char* reply;
		bool transient;
	} rows[] = {
	        {"TEMP busy", true}, {"temp x", true}, {"TIMEOUT slow", true}, {"PERM no", false},
	        {"TEMP", false},     {"OK v", false},  {"NOTFOUND ", false},   {"TEMPx", false},
	        {"", false},         {"MAYBE", false},
	};
	for (const auto& r : rows)
		EXPECT_EQ(reply_is_transient(r.reply), r.transient) << r.reply;
}

} // namespace
