// SPDX-License-Identifier: ISC
// The map file parser in process: its line rules, the lines it skips, its
// independence from how the text is cut, and what a small map costs.
#include "tools/serve/mapfile.hpp"

#include <gtest/gtest.h>
#include <malloc.h>
#include <optional>
#include <utility>

using namespace std::string_literals;

namespace
{

constexpr size_t ALL = size_t(1) << 30;
using skip_list = std::vector<std::pair<size_t, std::string>>;
using entry_list = std::vector<std::pair<std::string, std::string>>;

// Indexes `text` into *m, appended `piece` bytes at a time with a step of
// `budget` after each; the skipped lines go to *skips.
void load(mapfile* m, const std::string& text, skip_list* skips = nullptr, size_t piece = ALL,
          size_t budget = ALL)
{
	auto skip = [&](size_t line, const char* why) {
		if (skips != nullptr)
			skips->emplace_back(line, why);
	};
	ASSERT_TRUE(mapfile_init(m, text.size()));
	for (size_t at = 0; at < text.size(); at += piece) {
		mapfile_append(m, std::string_view(text).substr(at, piece));
		ASSERT_FALSE(mapfile_index(m, budget, false, skip));
	}
	while (!mapfile_index(m, budget, true, skip)) {
	}
}

TEST(Mapfile, LineRules)
{
	const std::string longest(MAPFILE_VALUE_MAX, 'v');
	struct {
		std::string text, key;
		std::optional<std::string> value;
	} rows[] = {
	        {" \t a\t \t1 2 \t\n", "a", "1 2 \t"}, // blanks before the value only
	        {"a \t\r\n", "a", ""},
	        {"a 1\r", "a", "1"}, // the last line, without newline
	        {"a 1\r\r\n", "a", "1\r"},
	        {"a\rb 1\n", "a\rb", "1"},
	        {"a#b 1\n", "a#b", "1"},
	        {"#a 1\n", "#a", std::nullopt},
	        {"a 1\na 2\n", "a", "1"},
	        {"\n\n \t\r\nb 2", "b", "2"},
	        {"a 1\0\nb 2\n"s, "a", std::nullopt},
	        {"a 1\0\nb 2\n"s, "b", "2"},
	        {"a\0 1\na 2\n"s, "a", "2"}, // a skipped line takes no key
	        {"a " + longest + "\n", "a", longest},
	        {"a " + longest + "v\na 2\n", "a", "2"},
	};
	for (const auto& row : rows) {
		mapfile m;
		load(&m, row.text);
		std::string_view value;
		bool found = mapfile_find(m, row.key, &value);
		EXPECT_EQ(found ? std::optional<std::string>(value) : std::nullopt, row.value)
		        << testing::PrintToString(row.text) << " key " << row.key;
	}
}

// Every kind of skipped line, and a comment holding a NUL, which is not
// one; then 40000 entries, past the entry blocks that double.
TEST(Mapfile, SameEntriesAndSkippedLinesHoweverTheTextIsCut)
{
	std::string text = "# comment\na 1\na 2\n\nb x\0y\n#c\0\nc "s +
	                   std::string(MAPFILE_VALUE_MAX + 1, 'v') + "\nc 3\r\n  a\r\nd";
	entry_list expected = {{"a", "1"}, {"c", "3"}, {"d", ""}};
	for (int n = 0; n < 40000; n++) {
		text += "\nk" + std::to_string(n) + " v" + std::to_string(n);
		// Appended, not added: g++ 12 at -O3 sees an overlapping copy in
		// "k" + std::to_string(n).
		std::string key = "k", value = "v";
		expected.emplace_back(key.append(std::to_string(n)),
		                      value.append(std::to_string(n)));
	}
	const skip_list expected_skips = {{3, "duplicate key"},
	                                  {5, "NUL byte"},
	                                  {7, "value longer than 99997 bytes"},
	                                  {9, "duplicate key"}};
	for (auto [piece, budget] :
	     {std::pair{ALL, ALL}, {1, 1}, {7, 3}, {4096, 100}, {65536, 1 << 18}}) {
		mapfile m;
		skip_list skips;
		load(&m, text, &skips, piece, budget);
		EXPECT_EQ(skips, expected_skips) << piece << " " << budget;
		entry_list entries;
		for (size_t n = 0; n < mapfile_count(m); n++)
			entries.emplace_back(mapfile_key(m, n), mapfile_value(m, n));
		EXPECT_EQ(entries, expected) << piece << " " << budget;
		EXPECT_EQ(m.lines, 40010u);
		std::string_view value;
		EXPECT_TRUE(mapfile_find(m, "k39999", &value) && value == "v39999");
	}
}

// A map's memory grows with it (fault: every version took a block of
// 16384 entries at its first one, 512 KiB).
TEST(Mapfile, AThousandOneLineVersionsTakeUnder16MB)
{
#ifdef SMAP_SANITIZED
	GTEST_SKIP()
	        << "the sanitizer's allocator keeps its own books: mallinfo2() sees none of it";
#endif
	auto heap = [] {
		struct mallinfo2 mi = mallinfo2();
		return mi.uordblks + mi.hblkhd;
	};
	size_t before = heap();
	std::vector<mapfile> versions(1000);
	for (size_t n = 0; n < versions.size(); n++)
		load(&versions[n], "key" + std::to_string(n) + " value\n");
	size_t used = heap() - before;
	EXPECT_LT(used, size_t(16) << 20);
	EXPECT_GT(used, versions.size() * sizeof(mapfile)) << "the heap is not measured";
}

} // namespace
