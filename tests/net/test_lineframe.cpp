// SPDX-License-Identifier: ISC
// Line framing: lines split across chunks, and overlong lines dropped in step.
#include "tools/net/lineframe.hpp"

#include <gtest/gtest.h>
#include <string>

namespace
{

TEST(LineReader, SplitsLinesAcrossChunks)
{
	line_reader r;
	line_reader_init(&r, 10);
	std::string input = "ab";
	size_t used;
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_PARTIAL);
	EXPECT_TRUE(line_pending(&r));
	input = "c\nde\n";
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_COMPLETE);
	EXPECT_EQ(used, 2u);
	EXPECT_EQ(r.line, "abc");
	EXPECT_EQ(line_read(&r, input.data() + 2, 3, &used), LINE_COMPLETE);
	EXPECT_EQ(r.line, "de");
	EXPECT_FALSE(line_pending(&r));
}

TEST(LineReader, OverlongLineIsDiscardedAndStaysInStep)
{
	line_reader r;
	line_reader_init(&r, 4);
	std::string input = "abcd\nabcde";
	size_t used;
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_COMPLETE);
	EXPECT_EQ(r.line, "abcd"); // exactly the maximum fits
	EXPECT_EQ(line_read(&r, input.data() + used, input.size() - used, &used), LINE_PARTIAL);
	EXPECT_TRUE(r.line.empty()); // not stored past the maximum
	input = std::string(1000, 'x') + "\nok\n";
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_TOO_LONG);
	EXPECT_EQ(line_read(&r, input.data() + used, input.size() - used, &used), LINE_COMPLETE);
	EXPECT_EQ(r.line, "ok");
}

} // namespace
