// SPDX-License-Identifier: ISC
// Classification of socketmap reply lines and their size limit, in
// process.
#include "backend/smap.hpp"
#include "harness/child.hpp"
#include "support/log.hpp"

#include <gtest/gtest.h>
#include <string>

namespace
{

struct classified {
	smap_outcome outcome;
	std::string text;
};

classified classify(std::string line)
{
	smap_outcome o = smap_classify_reply(line.data(), line.size());
	return {o, smap_reply_text()};
}

} // namespace

TEST(Reply, PrefixesIgnoreCaseAndNeedTheirBlank)
{
	struct reply_case {
		const char* line;
		smap_outcome outcome;
		const char* text;
	};
	for (const auto& c : std::initializer_list<reply_case>{
	             {"OK value\n", SMAP_FOUND, "value"},
	             {"ok value", SMAP_FOUND, "value"},
	             {"oK  two blanks\n", SMAP_FOUND, " two blanks"},
	             {"OK \n", SMAP_FOUND, ""},
	             {"OK a\r\n", SMAP_FOUND, "a\r"},
	             {"OK a\n\n", SMAP_FOUND, "a\n"},
	             {"NOTFOUND \n", SMAP_NOTFOUND, ""},
	             {"notfound why", SMAP_NOTFOUND, "why"},
	             {"TEMP busy\n", SMAP_FAILURE, "busy"},
	             {"Timeout slow\n", SMAP_FAILURE, "slow"},
	             {"PERM denied\n", SMAP_FAILURE, "denied"},
	             {"OK\n", SMAP_FAILURE, "unrecognized socketmap reply"},
	             {"NOTFOUND\n", SMAP_FAILURE, "unrecognized socketmap reply"},
	             {"OKvalue\n", SMAP_FAILURE, "unrecognized socketmap reply"},
	             {" OK value\n", SMAP_FAILURE, "unrecognized socketmap reply"},
	             {"\n", SMAP_FAILURE, "unrecognized socketmap reply"},
	             {"5:OK a,", SMAP_FAILURE, "unrecognized socketmap reply"},
	     }) {
		auto r = classify(c.line);
		EXPECT_EQ(r.outcome, c.outcome) << c.line;
		EXPECT_EQ(r.text, c.text) << c.line;
	}
}

TEST(Reply, SizeLimitIs100000BytesWithoutTheNewline)
{
	auto fits = classify("NOTFOUND " + std::string(100000 - 9, 'r') + "\n");
	EXPECT_EQ(fits.outcome, SMAP_NOTFOUND);
	EXPECT_EQ(fits.text.size(), 100000u - 9);
	auto no_newline = classify("OK " + std::string(100000 - 3, 'v'));
	EXPECT_EQ(no_newline.outcome, SMAP_FOUND);

	auto r = run_in_child([] {
		log_start(1);
		auto big = classify("OK " + std::string(100001 - 3, 'v') + "\n");
		printf("%d|%s", big.outcome, big.text.c_str());
	});
	EXPECT_EQ(r.out, std::to_string(SMAP_FAILURE) + "|socketmap reply too large");
	EXPECT_EQ(log_messages(r.err),
	          std::vector<std::string>{"warn: socketmap reply too large (>100001 bytes)"});
}

TEST(Reply, LongerValueLeavesNoTrace)
{
	classify("OK " + std::string(5000, 'x'));
	auto r = classify("OK short");
	EXPECT_EQ(r.text, "short");
	auto t = classify("TEMP reason");
	EXPECT_EQ(t.text, "reason");
}
