// SPDX-License-Identifier: ISC
// The bridge's cache and what it keeps for how long, in this process, on a
// clock that the test sets.
#include "harness/child.hpp"
#include "support/log.hpp"
#include "tools/serve/cache.hpp"
#include "tools/serve/cacheconf.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

// A configuration from option values, as the command line gives them.
cache_config config_of(const std::vector<std::string>& ttl, const std::vector<std::string>& neg,
                       int stale_s = 0)
{
	cache_config c;
	std::string why;
	for (const std::string& t : ttl)
		EXPECT_TRUE(cacheconf_parse_ttl(&c.positive, t.c_str(), &why)) << t << ": " << why;
	for (const std::string& t : neg)
		EXPECT_TRUE(cacheconf_parse_ttl(&c.negative, t.c_str(), &why)) << t << ": " << why;
	c.stale_ms = stale_s * 1000;
	return c;
}

TEST(CacheConfig, EachTablesTimesComeInTheirOrder)
{
	struct row {
		std::vector<std::string> ttl, neg;
		const char* table;
		int64_t positive_s, negative_s;
	};
	const row rows[] = {
	        {{}, {}, "t", 0, 0},
	        {{"0"}, {"t=0"}, "t", 0, 0},
	        {{"300"}, {}, "t", 300, 300},               // negative defaults to positive
	        {{"300"}, {"60"}, "t", 300, 60},            // the negative for all
	        {{"300", "t=10"}, {}, "t", 10, 10},         // its own positive
	        {{"300", "t=10"}, {"60"}, "t", 10, 60},     // the negative for all first
	        {{"300", "t=0"}, {"60"}, "t", 0, 0},        // t=0: off
	        {{"300", "t=0"}, {"60", "t=5"}, "t", 0, 5}, // unless its own negative
	        {{"300", "t=0"}, {}, "other", 300, 300},    // tables are apart
	        {{}, {"60"}, "t", 0, 60},                   // NOTFOUND alone
	        {{"t=1", "t=2"}, {}, "t", 2, 2},            // the last one counts
	        {{"a=b=7"}, {}, "a=b", 7, 7},               // split at the last "="
	        {{"300"}, {}, "T", 300, 300},
	        {{"t=300"}, {}, "T", 0, 0}, // names compared exactly
	};
	for (const row& r : rows) {
		cache_config c = config_of(r.ttl, r.neg);
		EXPECT_EQ(cacheconf_positive_ms(c, r.table), r.positive_s * 1000) << r.table;
		EXPECT_EQ(cacheconf_negative_ms(c, r.table), r.negative_s * 1000) << r.table;
		// Only the first two rows keep nothing anywhere.
		EXPECT_EQ(cacheconf_enabled(c), &r - rows >= 2) << r.table;
	}
}

TEST(CacheConfig, RefusesWhatIsNoTimeOrSize)
{
	cacheconf_ttl ttl;
	int64_t ms;
	size_t size;
	std::string why;
	for (const char* bad : {"", "-1", "1.5", " 1", "x", "=5", "t=", "t=x", "a b=5", "31536001",
	                        "99999999999999999999999"})
		EXPECT_FALSE(cacheconf_parse_ttl(&ttl, bad, &why)) << bad;
	for (const char* bad : {"", "t=5", "1s"})
		EXPECT_FALSE(cacheconf_parse_seconds(bad, &ms, &why)) << bad;
	EXPECT_NE(why.find("whole seconds from 0 to 31536000"), std::string::npos) << why;
	for (const char* bad : {"", "0", "-3", "1k", "1099511627777"})
		EXPECT_FALSE(cacheconf_parse_size(bad, &size, &why)) << bad;
	EXPECT_TRUE(cacheconf_parse_seconds("31536000", &ms, &why));
	EXPECT_EQ(ms, 31536000000);
	EXPECT_TRUE(cacheconf_parse_size("1099511627776", &size, &why));
	EXPECT_TRUE(ttl.table_ms.empty() && ttl.all_ms == -1) << "nothing taken from a bad value";
}

// --- The cache ----------------------------------------------------------------

constexpr int64_t T0 = 1000000;

// What a cache says of `key` at `now`: "fresh REPLY", "stale REPLY" or "-".
std::string look(cache* c, const std::string& key, int64_t now)
{
	std::string reply;
	if (cache_fresh(c, key, now, &reply))
		return "fresh " + reply;
	if (cache_stale(c, key, now, &reply))
		return "stale " + reply;
	return "-";
}

TEST(Cache, KeepsTheUpstreamsAnswersForTheirTimes)
{
	// t: OK for 10 s, NOTFOUND for 5 s; off: nothing; stale window 20 s.
	cache_config config = config_of({"t=10", "off=0"}, {"t=5"}, 20);
	struct row {
		const char* key;
		const char* reply;
		int64_t at_s;       // when looked at, from when it was kept
		const char* expect; // what look() says then
	};
	const row rows[] = {
	        {"t ok", "OK v", 0, "fresh OK v"},
	        {"t ok", "OK v", 9, "fresh OK v"},
	        {"t ok", "OK v", 10, "stale OK v"}, // expired: stands in only for a failure
	        {"t ok", "OK v", 30, "stale OK v"},
	        {"t ok", "OK v", 31, "-"}, // past the window: dropped
	        {"t nf", "NOTFOUND ", 4, "fresh NOTFOUND "},
	        {"t nf", "NOTFOUND ", 5, "stale NOTFOUND "},
	        {"t nf", "NOTFOUND ", 26, "-"},
	        {"t temp", "TEMP busy", 0, "-"},
	        {"t timeout", "TIMEOUT slow", 0, "-"},
	        {"t perm", "PERM no", 0, "-"},
	        {"t junk", "MAYBE", 0, "-"},
	        {"off k", "OK v", 0, "-"},
	        {"other k", "OK v", 0, "-"},
	        {"t  two blanks", "OK v", 1, "fresh OK v"},
	};
	for (const row& r : rows) {
		cache c;
		cache_open(&c, config);
		cache_put(&c, r.key, r.reply, T0);
		EXPECT_EQ(look(&c, r.key, T0 + r.at_s * 1000), r.expect) << r.key << " " << r.at_s;
		// The key is the line exactly.
		EXPECT_EQ(look(&c, std::string(r.key) + " ", T0), "-") << r.key;
	}
}

TEST(Cache, ANewAnswerReplacesOrDropsTheEntryAndAFailureLeavesIt)
{
	cache_config config = config_of({"t=10"}, {"t=0"}, 100);
	struct row {
		const char* second; // the upstream's next answer, 20 s later
		const char* expect; // what stands in for a failure after it
	};
	const row rows[] = {
	        {"OK new", "fresh OK new"},
	        {"TEMP busy", "stale OK old"},
	        {"TIMEOUT slow", "stale OK old"},
	        {"PERM gone", "-"},
	        {"NOTFOUND ", "-"}, // not kept (0 s), and the old one is dropped
	        {"MAYBE", "-"},
	};
	for (const row& r : rows) {
		cache c;
		cache_open(&c, config);
		cache_put(&c, "t k", "OK old", T0);
		cache_put(&c, "t k", r.second, T0 + 20000);
		EXPECT_EQ(look(&c, "t k", T0 + 20000), r.expect) << r.second;
		EXPECT_EQ(cache_entries(&c), std::string(r.expect) == "-" ? 0u : 1u) << r.second;
	}
}

TEST(Cache, TheLeastRecentlyUsedGoesFirstByCountAndByBytes)
{
	const std::string big(100000 - 3, 'v');
	const size_t big_cost = 4 + 3 + big.size() + CACHE_ENTRY_OVERHEAD; // "t kN", "OK ..."
	struct row {
		size_t max_entries, max_bytes;
		std::vector<std::string> replies; // kept for "t k0", "t k1", ... in turn
		std::vector<bool> left;           // which are held at the end
	};
	const row rows[] = {
	        // Three fit by count; k0, used before k2 came, outlives k1.
	        {3, 1 << 20, {"OK a", "OK b", "OK c", "OK d"}, {true, false, true, true}},
	        // Replies of 100000 bytes: two fit in the bytes, whatever the count.
	        {10000,
	         2 * big_cost + 10,
	         {"OK " + big, "OK " + big, "OK " + big},
	         {true, false, true}},
	        // A reply that cannot fit alone is not kept, and drops nothing.
	        {10000, big_cost - 1, {"OK a", "OK " + big}, {true, false}},
	};
	for (const row& r : rows) {
		cache_config config = config_of({"60"}, {});
		config.max_entries = r.max_entries;
		config.max_bytes = r.max_bytes;
		cache c;
		cache_open(&c, config);
		for (size_t i = 0; i < r.replies.size(); i++) {
			cache_put(&c, "t k" + std::to_string(i), r.replies[i], T0);
			if (i == 1)
				look(&c, "t k0", T0); // k0 used after k1 was kept
		}
		for (size_t i = 0; i < r.left.size(); i++)
			EXPECT_EQ(look(&c, "t k" + std::to_string(i), T0) != "-", r.left[i])
			        << r.max_entries << " " << i;
		EXPECT_LE(cache_entries(&c), r.max_entries);
		EXPECT_LE(c.bytes, r.max_bytes);
	}
	// An answer renewed with a longer reply makes room as a new one does.
	cache_config config = config_of({"60"}, {});
	config.max_bytes = 2 * big_cost - 1;
	cache c;
	cache_open(&c, config);
	cache_put(&c, "t k0", "OK a", T0);
	cache_put(&c, "t k1", "OK " + big, T0);
	cache_put(&c, "t k0", "OK " + big, T0 + 1);
	EXPECT_EQ(look(&c, "t k0", T0 + 1), "fresh OK " + big);
	EXPECT_EQ(look(&c, "t k1", T0 + 1), "-");
	EXPECT_EQ(c.bytes, big_cost);
}

TEST(Cache, FlushDropsEverything)
{
	cache c;
	cache_open(&c, config_of({"60"}, {}, 60));
	for (int i = 0; i < 5; i++)
		cache_put(&c, "t k" + std::to_string(i), "OK v", T0);
	EXPECT_EQ(cache_flush(&c), 5u);
	EXPECT_EQ(look(&c, "t k1", T0), "-");
	EXPECT_EQ(c.bytes, 0u);
	EXPECT_EQ(cache_flush(&c), 0u);
}

TEST(Cache, StaleAnswersAreLoggedOncePerOutage)
{
	child_result r = logged_child([] {
		cache c;
		cache_open(&c, config_of({"1"}, {}, 3600));
		cache_put(&c, "t a", "OK a", T0);
		cache_put(&c, "t b", "OK b", T0);
		std::string reply;
		// An outage: stale answers a second apart, then a quiet minute, then
		// another outage.
		for (int64_t s : {int64_t(2), int64_t(3), int64_t(4), int64_t(5),
		                  5 + CACHE_STALE_NOTE_GAP_MS / 1000})
			for (const char* key : {"t a", "t b"})
				if (!cache_stale(&c, key, T0 + s * 1000, &reply))
					exit(2);
		// A fresh entry standing in is no stale answer.
		cache_put(&c, "t c", "OK c", T0 + 2000000);
		cache_stale(&c, "t c", T0 + 2000000, &reply);
		exit(c.counts.stale == 10 ? 0 : 3);
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
	EXPECT_NE(r.err.find("warn: stale answers: queries that fail upstream are answered from "
	                     "expired cache entries, up to 3600 s past their time to live"),
	          std::string::npos)
	        << r.err;
}

} // namespace
