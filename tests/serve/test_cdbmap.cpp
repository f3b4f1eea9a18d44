// SPDX-License-Identifier: ISC
// cdb tables in process: the lookup rules for one index file, damaged
// files, and a table's index as the clock moves (renamed over, gone, many
// mapped at once).
#include "harness/temp_dir.hpp"
#include "tools/serve/cdbmap.hpp"
#include "tools/serve/cdbread.hpp"
#include "tools/serve/mapdir.hpp"
#include "tools/serve/mapfile.hpp"

#include <cdb.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

using namespace std::string_literals;

namespace
{

using records = std::vector<std::pair<std::string, std::string>>;

// Writes `r` as a cdb file, renamed into place at `path`.
void write_cdb(const std::string& path, const records& r)
{
	std::string tmp = path + ".new";
	int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
	ASSERT_NE(fd, -1);
	cdb_make m;
	ASSERT_EQ(cdb_make_start(&m, fd), 0);
	for (const auto& [key, value] : r)
		ASSERT_EQ(cdb_make_add(&m, key.data(), static_cast<unsigned>(key.size()),
		                       value.data(), static_cast<unsigned>(value.size())),
		          0);
	ASSERT_EQ(cdb_make_finish(&m), 0);
	close(fd);
	ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

size_t open_fds()
{
	size_t n = 0;
	DIR* d = opendir("/proc/self/fd");
	while (readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}

// Looks `key` up in the cdb file at `path`; *value holds what was found.
cdbread_result find_in(const std::string& path, const std::string& key, std::string* value)
{
	int fd = open(path.c_str(), O_RDONLY);
	EXPECT_NE(fd, -1) << path;
	cdbread r;
	bool mapped = cdbread_open(&r, fd);
	close(fd);
	if (!mapped)
		return CDBREAD_DAMAGED;
	cdbread_result result = cdbread_find(&r, key, value);
	cdbread_close(&r);
	return result;
}

TEST(Cdbmap, LookupRules)
{
	temp_dir dir;
	const std::string longest(MAPFILE_VALUE_MAX, 'v');
	write_cdb(dir.file("t.cdb"), {{"a", "1"},
	                              {"a", "2"},
	                              {"nul\0"s, "v\0"s},
	                              {"bare\0"s, "w"},
	                              {"both", "x"},
	                              {"both\0"s, "y\0"s},
	                              {"", "empty key"},
	                              {"max", longest},
	                              {"long", longest + "v"},
	                              {"longnul\0"s, longest + "\0"s},
	                              {"nl", "x\ny"},
	                              {"zero", "x\0y"s}});
	struct {
		std::string key;
		cdbread_result result;
		std::string value;
	} rows[] = {
	        {"a", CDBREAD_FOUND, "1"},    // the first record of a key
	        {"nul", CDBREAD_FOUND, "v"},  // key and value with their NULs
	        {"bare", CDBREAD_FOUND, "w"}, // a value without one is kept
	        {"both", CDBREAD_FOUND, "x"}, // the key itself first
	        {"", CDBREAD_FOUND, "empty key"},    {"max", CDBREAD_FOUND, longest},
	        {"longnul", CDBREAD_FOUND, longest}, {"absent", CDBREAD_ABSENT, ""},
	        {"long", CDBREAD_TOO_LONG, ""},      {"nl", CDBREAD_UNFIT, ""},
	        {"zero", CDBREAD_UNFIT, ""},
	};
	for (const auto& row : rows) {
		std::string value;
		cdbread_result r = find_in(dir.file("t.cdb"), row.key, &value);
		EXPECT_EQ(r, row.result) << row.key;
		if (r == CDBREAD_FOUND) {
			EXPECT_EQ(value, row.value) << row.key;
		}
	}
	// The header counts the records; a file of none is an empty table.
	int fd = open(dir.file("t.cdb").c_str(), O_RDONLY);
	cdbread counted;
	ASSERT_TRUE(cdbread_open(&counted, fd));
	close(fd);
	EXPECT_EQ(counted.entries, 12u);
	cdbread_close(&counted);
	write_cdb(dir.file("e.cdb"), {});
	std::string value;
	EXPECT_EQ(find_in(dir.file("e.cdb"), "a", &value), CDBREAD_ABSENT);
}

// A file cut short or written over is damaged, whatever is asked; so is one
// cut short in place while it is mapped, past the page that holds its new
// end.
TEST(Cdbmap, DamagedFiles)
{
	temp_dir dir;
	records r;
	for (int i = 0; i < 1000; i++)
		r.emplace_back(std::string("key").append(std::to_string(i)),
		               std::string("value").append(std::to_string(i)));
	write_cdb(dir.file("t.cdb"), r);
	std::string whole = read_file(dir.file("t.cdb"));
	struct {
		const char* what;
		std::string bytes;
	} rows[] = {
	        {"empty", ""},
	        {"half a header", whole.substr(0, 1024)},
	        {"the header alone", whole.substr(0, 2048)},
	        {"records cut", whole.substr(0, whole.size() / 2)},
	        {"header written over", std::string(2048, '\xff') + whole.substr(2048)},
	        // Zeros, as a crash can leave a file: each table in the header.
	        {"zeros", std::string(4096, '\0')},
	        {"over 4 GiB", whole},
	};
	for (const auto& row : rows) {
		write_file(dir.file("d.cdb"), row.bytes);
		if (row.bytes.size() == whole.size()) { // sparse, past what a cdb can address
			ASSERT_EQ(truncate(dir.file("d.cdb").c_str(),
			                   (off_t(1) << 32) + static_cast<off_t>(whole.size())),
			          0);
		}
		for (const char* key : {"key0", "key999", "nokey"}) {
			std::string value;
			EXPECT_EQ(find_in(dir.file("d.cdb"), key, &value), CDBREAD_DAMAGED)
			        << row.what << " " << key;
		}
	}
	int fd = open(dir.file("t.cdb").c_str(), O_RDWR);
	cdbread mapped;
	ASSERT_TRUE(cdbread_open(&mapped, fd));
	std::string value;
	EXPECT_EQ(cdbread_find(&mapped, "key999", &value), CDBREAD_FOUND);
	EXPECT_EQ(value, "value999");
	for (off_t size : {off_t(4096), off_t(0)}) {
		ASSERT_EQ(ftruncate(fd, size), 0);
		for (const char* key : {"key0", "key999", "nokey"})
			EXPECT_EQ(cdbread_find(&mapped, key, &value), CDBREAD_DAMAGED)
			        << "cut to " << size << " " << key;
	}
	cdbread_close(&mapped);
	close(fd);
}

TEST(Cdbmap, AnIndexFollowsItsFileByTheClock)
{
	temp_dir dir;
	mapdir_open(dir.path.c_str());
	std::string reply;
	int64_t now = 1000000;
	write_cdb(dir.file("t.cdb"), {{"k", "one"}});
	ASSERT_TRUE(cdbmap_answer("t", "k", now, &reply));
	EXPECT_EQ(reply, "OK one");
	EXPECT_TRUE(cdbmap_answer("t", "nokey", now, &reply));
	EXPECT_EQ(reply, "NOTFOUND ");
	// Renamed over: the open file answers until the name is looked at.
	write_cdb(dir.file("t.cdb"), {{"k", "two"}});
	ASSERT_TRUE(cdbmap_answer("t", "k", now + CDBMAP_CHECK_MS - 1, &reply));
	EXPECT_EQ(reply, "OK one");
	ASSERT_TRUE(cdbmap_answer("t", "k", now + CDBMAP_CHECK_MS, &reply));
	EXPECT_EQ(reply, "OK two");
	// SIGHUP: looked at again at the next query.
	write_cdb(dir.file("t.cdb"), {{"k", "three"}});
	cdbmap_reload();
	ASSERT_TRUE(cdbmap_answer("t", "k", now + CDBMAP_CHECK_MS, &reply));
	EXPECT_EQ(reply, "OK three");
	// Gone: unmapped, and the table has no index.
	EXPECT_EQ(cdbmap_mapped_files(), 1u);
	unlink(dir.file("t.cdb").c_str());
	EXPECT_FALSE(cdbmap_answer("t", "k", now + 2 * CDBMAP_CHECK_MS, &reply));
	// A new index is found within the same time.
	EXPECT_FALSE(cdbmap_answer("late", "k", now, &reply));
	write_cdb(dir.file("late.cdb"), {{"k", "late"}});
	EXPECT_FALSE(cdbmap_answer("late", "k", now + CDBMAP_CHECK_MS - 1, &reply));
	ASSERT_TRUE(cdbmap_answer("late", "k", now + CDBMAP_CHECK_MS, &reply));
	EXPECT_EQ(reply, "OK late");
	unlink(dir.file("late.cdb").c_str());
	EXPECT_FALSE(cdbmap_answer("late", "k", now + 2 * CDBMAP_CHECK_MS, &reply));
	// What no reply can carry, and no cdb file at all, answer TEMP.
	write_cdb(dir.file("v.cdb"),
	          {{"long", std::string(MAPFILE_VALUE_MAX + 1, 'v')}, {"nl", "a\nb"}});
	write_file(dir.file("empty.cdb"), "");
	for (auto [name, key, answer] :
	     {std::tuple{"v", "long", "TEMP map v: value longer than 99997 bytes"},
	      {"v", "nl", "TEMP map v: value holds a newline or NUL byte"},
	      {"empty", "k", "TEMP map empty is damaged"}}) {
		ASSERT_TRUE(cdbmap_answer(name, key, now, &reply)) << name;
		EXPECT_EQ(reply, answer) << name << " " << key;
	}
	// No index: no file, a symbolic link, a directory.
	write_cdb(dir.file("real"), {{"k", "v"}});
	ASSERT_EQ(symlink("real", dir.file("link.cdb").c_str()), 0);
	ASSERT_EQ(mkdir(dir.file("sub.cdb").c_str(), 0755), 0);
	for (const char* name : {"none", "link", "sub"})
		EXPECT_FALSE(cdbmap_answer(name, "k", now, &reply)) << name;
	// Kept: v's index, and empty's, known as no cdb file.
	EXPECT_EQ(cdbmap_mapped_files(), 2u);
}

TEST(Cdbmap, TheIndexAskedLeastRecentlyIsUnmappedForAnother)
{
	temp_dir dir;
	mapdir_open(dir.path.c_str());
	std::string reply;
	int64_t now = 1000000;
	size_t fds = open_fds();
	for (size_t i = 0; i <= CDBMAP_MAPPED_MAX; i++) {
		// Appended: g++ 12 at -O3 sees an overlapping copy in "t" + a string.
		std::string name = std::string("t").append(std::to_string(i));
		write_cdb(dir.file(name + ".cdb"), {{"k", "old"}});
		ASSERT_TRUE(cdbmap_answer(name, "k", now, &reply));
		EXPECT_EQ(reply, "OK old");
	}
	// Mapped, an index holds no descriptor.
	EXPECT_EQ(cdbmap_mapped_files(), CDBMAP_MAPPED_MAX);
	EXPECT_EQ(open_fds(), fds);
	// t0 was unmapped for the last one: replaced, it answers anew at once,
	// while t1, kept mapped, answers from its file until it is looked at
	// again.
	write_cdb(dir.file("t0.cdb"), {{"k", "new"}});
	write_cdb(dir.file("t1.cdb"), {{"k", "new"}});
	ASSERT_TRUE(cdbmap_answer("t1", "k", now, &reply));
	EXPECT_EQ(reply, "OK old");
	ASSERT_TRUE(cdbmap_answer("t0", "k", now, &reply));
	EXPECT_EQ(reply, "OK new");
	EXPECT_EQ(cdbmap_mapped_files(), CDBMAP_MAPPED_MAX);
}

TEST(Cdbmap, IndexNamesAreNoTables)
{
	for (const char* name : {"aliases.cdb", "aliases.cdb.tmp", ".cdb", "a/b", ""})
		EXPECT_FALSE(mapdir_valid_name(name)) << name;
	for (const char* name : {"aliases", "aliases.cdbx", "cdb", "a.tmp", "a+b-c_d.e"})
		EXPECT_TRUE(mapdir_valid_name(name)) << name;
}

} // namespace
