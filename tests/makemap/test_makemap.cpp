// SPDX-License-Identifier: ISC
// smap-makemap end to end: what smap-serve answers from its output against
// what it answers from the text, its exit statuses and warnings, and files
// built by tinycdb's own tool served as they are.
#include "harness/child.hpp"
#include "harness/sockets.hpp"
#include "harness/temp_dir.hpp"
#include "tools/serve/mapfile.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::string_literals;

namespace
{

// Runs smap-makemap on `file` in the directory `dir`, so that its
// warnings name the table as smap-serve's do.
child_result makemap(const std::string& dir, const std::string& file, bool fold = false)
{
	std::string cmd =
	        "cd '" + dir + "' && exec " SMAP_MAKEMAP_PATH + (fold ? " -f " : " ") + file;
	return spawned({"/bin/sh", "-c", cmd}).finish(60000);
}

// Every kind of line: comments, blank lines, CR LF, blanks around keys,
// keys alone, a NUL byte, values of the longest length and longer, keys
// that differ in case only, duplicates; then 3000 plain entries.
std::string generated_map()
{
	std::string text = "# comment\n\n \t\n  # indented\r\nplain value\r\n\talone\n"
	                   "spaced \t two  words \t\nCase upper\ncase lower\nplain again\n"
	                   "nul x\0y\na\rb cr inside\nhash#key v\n"s +
	                   "longest " + std::string(MAPFILE_VALUE_MAX, 'L') + "\n" + "toolong " +
	                   std::string(MAPFILE_VALUE_MAX + 1, 'T') + "\n";
	for (int i = 0; i < 3000; i++)
		text += "user" + std::to_string(i) + "@example.org\tmailbox-" + std::to_string(i) +
		        (i % 7 == 0 ? "\r\n" : "\n");
	return text + "user5@example.org duplicate\nlast-line-without-newline v";
}

// The queries: every key of the text, and keys that are not in it.
std::vector<std::string> queries_for(const std::string& table, const std::string& text)
{
	mapfile m;
	EXPECT_TRUE(mapfile_init(&m, text.size()));
	mapfile_append(&m, text);
	mapfile_index(&m, SIZE_MAX, true, nullptr);
	std::vector<std::string> q;
	for (size_t n = 0; n < mapfile_count(m); n++) {
		std::string key(mapfile_key(m, n));
		for (const std::string& k : {key, key + "x", key.substr(1), key + "\r"})
			q.push_back(table + " " + k);
	}
	for (const char* k : {"", "#", "CASE", "nul", "toolong", "absent"})
		q.push_back(table + " " + k);
	return q;
}

// The replies of a server to `queries`, pipelined a hundred at a time.
std::vector<std::string> replies(const std::string& sock, const std::vector<std::string>& queries)
{
	int fd = connect_to(sock);
	std::vector<std::string> out;
	for (size_t at = 0; at < queries.size(); at += 100) {
		std::string batch;
		size_t end = std::min(queries.size(), at + 100);
		for (size_t i = at; i < end; i++)
			batch += queries[i] + "\n";
		send_text(fd, batch);
		for (size_t i = at; i < end; i++)
			out.push_back(read_line(fd));
	}
	close(fd);
	return out;
}

// The replies to `queries` of smap-serve answering from dir/maps.
std::vector<std::string> served(const temp_dir& dir, const std::vector<std::string>& queries)
{
	server_process serve({SMAP_SERVE_PATH, dir.file("s"), dir.file("maps")}, dir.file("s"),
	                     {.log = dir.file("serve.log")});
	return replies(dir.file("s"), queries);
}

std::vector<std::string> warnings(const std::string& text)
{
	std::vector<std::string> w;
	for (const std::string& m : log_messages(text))
		if (m.starts_with("warn: map "))
			w.push_back(m);
	return w;
}

TEST(Makemap, ServesByteForByteWhatTheTextServes)
{
	temp_dir dir;
	std::string text_dir = dir.file("text"), cdb_dir = dir.file("cdb");
	mkdir(text_dir.c_str(), 0755);
	mkdir(cdb_dir.c_str(), 0755);
	std::vector<std::pair<std::string, std::string>> tables = {{"generated", generated_map()}};
	for (const char* name : {"aliases", "credentials", "domains", "mailaddrmap"})
		tables.emplace_back(name, read_file(std::string(SMAP_EXAMPLES_DIR) + "/" + name));
	std::vector<std::string> queries;
	std::vector<std::string> made_warnings;
	for (const auto& [name, text] : tables) {
		ASSERT_FALSE(text.empty()) << name;
		write_file(text_dir + "/" + name, text);
		write_file(cdb_dir + "/" + name, text);
		child_result r = makemap(cdb_dir, name);
		EXPECT_EQ(r.status, name == "generated" ? 1 : 0) << name << r.err;
		for (const std::string& w : warnings(r.err))
			made_warnings.push_back(w);
		unlink((cdb_dir + "/" + name).c_str());
		std::vector<std::string> q = queries_for(name, text);
		queries.insert(queries.end(), q.begin(), q.end());
	}
	server_process text_serve({SMAP_SERVE_PATH, dir.file("t.sock"), text_dir},
	                          dir.file("t.sock"), {.log = dir.file("text.log")});
	server_process cdb_serve({SMAP_SERVE_PATH, dir.file("c.sock"), cdb_dir}, dir.file("c.sock"),
	                         {.log = dir.file("cdb.log")});
	std::vector<std::string> from_text = replies(dir.file("t.sock"), queries);
	std::vector<std::string> from_cdb = replies(dir.file("c.sock"), queries);
	ASSERT_EQ(from_text.size(), queries.size());
	size_t found = 0;
	for (size_t i = 0; i < queries.size(); i++) {
		EXPECT_EQ(from_cdb[i], from_text[i]) << queries[i];
		found += from_text[i].starts_with("OK ");
	}
	EXPECT_GT(found, 3000u);
	// The same lines skipped, with the same warnings.
	EXPECT_EQ(made_warnings, warnings(read_file(dir.file("text.log"))));
	EXPECT_EQ(made_warnings.size(), 4u);
	EXPECT_EQ(read_file(dir.file("cdb.log")).find("warn:"), std::string::npos);
}

TEST(Makemap, ExitStatusAndWhatIsLeft)
{
	temp_dir dir;
	std::string map = dir.file("m"), index = map + ".cdb";
	struct {
		const char* what;
		std::string text;     // written to m, unless empty
		const char* tmp_kind; // what m.cdb.tmp is beforehand: "", "dir" or "locked"
		int status;
		bool replaced; // m.cdb is new afterwards
		const char* message;
		off_t size; // m is made this long, sparse, unless 0
	} rows[] = {
	        {"every line taken", "k v\n", "", 0, true, ""},
	        {"a line skipped", "k v\nk w\n", "", 1, true, "duplicate key, line skipped"},
	        {"no source", "", "", 2, false, "cannot open"},
	        {"temporary file not writable", "k v\n", "dir", 2, false, "cannot create"},
	        {"another writer", "k v\n", "locked", 2, false, "another process is writing it"},
	        // Refused by its size, before a byte of it is read.
	        {"too big", "k v\n", "", 2, false, "is larger than 4294967295 bytes",
	         static_cast<off_t>(MAPFILE_TEXT_MAX) + 1},
	};
	for (const auto& row : rows) {
		unlink(map.c_str());
		rmdir((index + ".tmp").c_str());
		unlink((index + ".tmp").c_str());
		write_file(index, "old");
		if (!row.text.empty())
			write_file(map, row.text);
		if (row.size != 0) {
			ASSERT_EQ(truncate(map.c_str(), row.size), 0);
		}
		int lock = -1;
		if (std::string(row.tmp_kind) == "dir")
			mkdir((index + ".tmp").c_str(), 0755);
		if (std::string(row.tmp_kind) == "locked") {
			lock = open((index + ".tmp").c_str(), O_RDWR | O_CREAT, 0600);
			ASSERT_EQ(flock(lock, LOCK_EX), 0);
		}
		child_result r = spawned({SMAP_MAKEMAP_PATH, map}).finish(10000);
		EXPECT_EQ(r.status, row.status) << row.what << r.err;
		EXPECT_NE(r.err.find(row.message), std::string::npos) << row.what << r.err;
		EXPECT_EQ(read_file(index) != "old", row.replaced) << row.what;
		if (lock != -1) {
			close(lock);
		} else if (row.status == 2) {
			EXPECT_NE(access((index + ".tmp").c_str(), F_OK) == 0,
			          std::string(row.tmp_kind).empty())
			        << row.what << ": the temporary file is left only as it was";
		}
	}
	// A bad command line writes nothing either.
	for (std::vector<std::string> argv : {std::vector<std::string>{SMAP_MAKEMAP_PATH},
	                                      {SMAP_MAKEMAP_PATH, "-x", map},
	                                      {SMAP_MAKEMAP_PATH, map, map}})
		EXPECT_EQ(spawned(argv).finish(10000).status, 2);
}

TEST(Makemap, FoldsKeysAndKeepsTheSourcesPermissions)
{
	temp_dir dir;
	mkdir(dir.file("maps").c_str(), 0755);
	std::string map = dir.file("maps/users");
	write_file(map, "Alice a1\nBOB b\nalice a2\ncarol c\n");
	ASSERT_EQ(chmod(map.c_str(), 0640), 0);
	// Root gives the index the source's owner and group too.
	bool root = geteuid() == 0;
	if (root) {
		ASSERT_EQ(chown(map.c_str(), 65534, 65534), 0);
	}
	child_result r = makemap(dir.file("maps"), "users", true);
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_EQ(warnings(r.err), std::vector<std::string>{"warn: map users line 3: duplicate key "
	                                                    "once folded to lower case, line "
	                                                    "skipped"});
	struct stat st;
	ASSERT_EQ(stat((map + ".cdb").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0640u);
	if (root) {
		EXPECT_EQ(st.st_uid, 65534u);
		EXPECT_EQ(st.st_gid, 65534u);
	}
	unlink(map.c_str());
	EXPECT_EQ(served(dir, {"users alice", "users bob", "users carol", "users Alice"}),
	          (std::vector<std::string>{"OK a1", "OK b", "OK c", "NOTFOUND "}));
}

// A file that tinycdb's own tool built: keys stored with a trailing NUL
// and their values too, as other mail software writes them, and two
// records of one key.
TEST(Makemap, ServesAFileBuiltByTinycdbsTool)
{
	if (std::string(SMAP_CDB_PROGRAM).empty())
		GTEST_SKIP() << "tinycdb's cdb tool is not installed (Debian package tinycdb)";
	temp_dir dir;
	mkdir(dir.file("maps").c_str(), 0755);
	write_file(dir.file("records"), "+11,5:postmaster\0->root\0\n"
	                                "+5,6:dupe\0->first\0\n"
	                                "+5,7:dupe\0->second\0\n"
	                                "+5,4:plain->bare\n"
	                                "\n"s);
	std::string cmd = std::string(SMAP_CDB_PROGRAM) + " -c '" + dir.file("maps/tiny.cdb") +
	                  "' '" + dir.file("records") + "'";
	ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
	EXPECT_EQ(served(dir, {"tiny postmaster", "tiny dupe", "tiny plain", "tiny other"}),
	          (std::vector<std::string>{"OK root", "OK first", "OK bare", "NOTFOUND "}));
}

} // namespace
