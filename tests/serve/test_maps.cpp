// SPDX-License-Identifier: ISC
// smap-serve answering from map files, end to end over real sockets:
// the map format, reloading, loading big maps in steps, faults.
#include "harness/logs.hpp"
#include "harness/sockets.hpp"
#include "serve/fixture.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

TEST_F(ServeMaps, AnswersFromMapFiles)
{
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	// The value is the rest of the line after the first run of blanks;
	// the first entry of a key wins.
	EXPECT_EQ(ask(fd, "aliases alice"), "OK alice@example.org, a@example.net");
	EXPECT_EQ(ask(fd, "aliases listonly"), "OK ");
	EXPECT_EQ(ask(fd, "aliases carol"), "NOTFOUND ");
	EXPECT_EQ(ask(fd, "aliases #"), "NOTFOUND ");
	EXPECT_EQ(ask(fd, "domains example.org"), "PERM unknown table");
	// Table names cannot leave the map directory.
	EXPECT_EQ(ask(fd, "../maps/aliases alice"), "PERM unknown table");
	EXPECT_EQ(ask(fd, ".hidden alice"), "PERM unknown table");
	EXPECT_EQ(ask(fd, "aliases"), "PERM malformed query: no blank after the table name");
	EXPECT_EQ(ask(fd, ""), "PERM malformed query: no blank after the table name");
	// Pipelined queries are answered in order.
	send_text(fd, "aliases postmaster\naliases nobody\nnone x\n");
	EXPECT_EQ(read_line(fd), "OK root");
	EXPECT_EQ(read_line(fd), "NOTFOUND ");
	EXPECT_EQ(read_line(fd), "PERM unknown table");
	// A server with nothing to do sleeps in poll(): it does not spin.
	long cpu = serve.cpu_ms();
	usleep(1000000);
	EXPECT_LT(serve.cpu_ms() - cpu, 250) << "CPU time in milliseconds, idle for 1 s";
	close(fd);
	EXPECT_NE(read_file(serve.log()).find("duplicate key"), std::string::npos);
}

TEST_F(ServeMaps, ReloadsAChangedFile)
{
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");

	write_file(maps + "/aliases", "postmaster admin\n");
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK admin");

	// Same size, new content: the file times tell.
	write_file(maps + "/aliases", "postmaster abcde\n");
	timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
	utimensat(AT_FDCWD, (maps + "/aliases").c_str(), times, 0);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK abcde");

	// A new file is found; a removed one is gone.
	write_file(maps + "/domains", "example.org local\n");
	EXPECT_EQ(ask(fd, "domains example.org"), "OK local");
	unlink((maps + "/domains").c_str());
	EXPECT_EQ(ask(fd, "domains example.org"), "PERM unknown table");
	// Not a regular file: no table (and no hang on a FIFO).
	mkfifo((maps + "/fifo").c_str(), 0644);
	mkdir((maps + "/subdir").c_str(), 0755);
	EXPECT_EQ(ask(fd, "fifo x"), "PERM unknown table");
	EXPECT_EQ(ask(fd, "subdir x"), "PERM unknown table");
	close(fd);
}

TEST_F(ServeMaps, CarriageReturnsAndSymbolicLinks)
{
	write_file(maps + "/crlf", "postmaster root\r\n"
	                           "alone\r\n"
	                           "spaced  two words \r\n"
	                           "  # comment\r\n"
	                           "\r\n"
	                           "last value\r");
	write_file(dir.file("secret"), "root hash\n");
	ASSERT_EQ(symlink("../secret", (maps + "/outside").c_str()), 0);
	ASSERT_EQ(symlink(dir.file("secret").c_str(), (maps + "/absolute").c_str()), 0);
	ASSERT_EQ(symlink("aliases", (maps + "/inside").c_str()), 0);
	ASSERT_EQ(symlink("nowhere", (maps + "/dangling").c_str()), 0);
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);

	// A CR before the newline belongs to neither key nor value.
	EXPECT_EQ(ask(fd, "crlf postmaster"), "OK root");
	EXPECT_EQ(ask(fd, "crlf alone"), "OK ");
	EXPECT_EQ(ask(fd, "crlf spaced"), "OK two words ");
	EXPECT_EQ(ask(fd, "crlf last"), "OK value");
	EXPECT_EQ(ask(fd, "crlf postmaster\r"), "NOTFOUND ");

	// A symbolic link names no table, wherever it points; each is
	// reported once.
	for (int round = 0; round < 2; round++) {
		for (const char* link : {"outside", "absolute", "inside", "dangling"})
			EXPECT_EQ(ask(fd, std::string(link) + " root"), "PERM unknown table")
			        << link;
	}
	// Nor does a loaded file that is replaced by one.
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	unlink((maps + "/aliases").c_str());
	ASSERT_EQ(symlink("../secret", (maps + "/aliases").c_str()), 0);
	EXPECT_EQ(ask(fd, "aliases root"), "PERM unknown table");
	close(fd);
	std::string log = read_file(serve.log());
	EXPECT_EQ(count_of(log, "map outside is a symbolic link"), 1u) << log;
	EXPECT_EQ(count_of(log, "map aliases is a symbolic link"), 1u) << log;
}

// A map of `lines` entries "keyN TAG-N" padded to about 40 bytes a line.
std::string big_map(const std::string& tag, int lines)
{
	std::string text;
	for (int i = 0; i < lines; i++)
		text += "key" + std::to_string(i) + " " + tag + "-" + std::to_string(i) +
		        std::string(24, '.') + "\n";
	return text;
}

std::string big_value(const std::string& tag, int i)
{
	return "OK " + tag + "-" + std::to_string(i) + std::string(24, '.');
}

TEST_F(ServeMaps, BigMapLoadsBesideTheOldVersion)
{
	write_file(maps + "/big", big_map("old", 200000)); // about 8 MB
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int a = connect_to(sock), b = connect_to(sock);
	ASSERT_NE(a, -1);
	ASSERT_NE(b, -1);

	// Queries for a map that is loading for the first time wait for it,
	// in order; other tables are answered meanwhile.
	send_text(a, "big key199999\nbig key0\nbig nokey\n");
	EXPECT_EQ(ask(b, "aliases postmaster"), "OK root");
	EXPECT_EQ(read_line(a), big_value("old", 199999));
	EXPECT_EQ(read_line(a), big_value("old", 0));
	EXPECT_EQ(read_line(a), "NOTFOUND ");

	// A changed map is loaded beside the old version, which answers until
	// the new one is complete: the query that finds the change still gets
	// the old value.
	write_file(maps + "/big", big_map("new", 210000));
	EXPECT_EQ(ask(a, "big key5"), big_value("old", 5));
	EXPECT_EQ(ask(b, "aliases postmaster"), "OK root");
	// Each answer comes from one version or the other, until the switch.
	std::string reply;
	long long end = monotonic_ms() + 20000;
	do {
		reply = ask(a, "big key7");
		if (reply != big_value("old", 7))
			break;
	} while (monotonic_ms() < end);
	EXPECT_EQ(reply, big_value("new", 7));
	EXPECT_EQ(ask(a, "big key209999"), big_value("new", 209999));
	close(a);
	EXPECT_EQ(count_of(read_file(serve.log()), "loaded map big: "), 2u);

	// A map of one step's size, 256 KiB, is still read within the query.
	std::string step = "key new\n" + std::string((1 << 18) - 9, '#') + "\n";
	write_file(maps + "/step", "key old\n");
	EXPECT_EQ(ask(b, "step key"), "OK old");
	write_file(maps + "/step", step);
	EXPECT_EQ(ask(b, "step key"), "OK new");
	close(b);
}

TEST_F(ServeMaps, SmallMapIsReadAtOnceAndNoQueryWaitsForLong)
{
	// Each big map takes many rounds of the server to load, and both
	// take the two load slots; queries wait no time for a first version
	// instead of 9 s.
	write_file(maps + "/big1", big_map("one", 100000));
	write_file(maps + "/big2", big_map("two", 100000));
	write_file(maps + "/small", "postmaster root\n");
	server_process serve({"env", "SMAP_SERVE_TEST_MAP_WAIT_MS=0", SMAP_SERVE_PATH, sock, maps},
	                     sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	// In order: the big maps' queries are told that they are loading, and
	// the small map, never asked before, is read for its query.
	send_text(fd, "big1 key0\nbig2 key0\nsmall postmaster\n");
	EXPECT_EQ(read_line(fd), "TEMP map big1 is loading");
	EXPECT_EQ(read_line(fd), "TEMP map big2 is loading");
	EXPECT_EQ(read_line(fd), "OK root");
	// The load goes on and ends.
	std::string reply;
	long long end = monotonic_ms() + 20000;
	do
		reply = ask(fd, "big2 key99999");
	while (reply == "TEMP map big2 is loading" && monotonic_ms() < end);
	EXPECT_EQ(reply, big_value("two", 99999));
	close(fd);
}

TEST_F(ServeMaps, EachFaultIsLoggedOncePerStateOfTheFile)
{
	write_file(maps + "/huge", "");
	ASSERT_EQ(truncate((maps + "/huge").c_str(), (off_t(1) << 30) + 1), 0);
	ASSERT_EQ(symlink("aliases", (maps + "/link").c_str()), 0);
	struct fault {
		std::string table, reply, warning;
	};
	std::vector<fault> faults = {
	        {"huge", "TEMP map huge is larger than 1073741824 bytes", "huge is larger than"},
	        {"link", "PERM unknown table", "link is a symbolic link"},
	};
	std::vector<std::string> argv = {SMAP_SERVE_PATH, sock, maps};
#ifndef SMAP_SANITIZED
	// Address-space limits do not work under AddressSanitizer. A map
	// bigger than the space left is answered with TEMP; the server lives.
	write_file(maps + "/vast", "");
	ASSERT_EQ(truncate((maps + "/vast").c_str(), off_t(200) << 20), 0);
	faults.push_back(
	        {"vast", "TEMP cannot load map vast: out of memory", "map vast: out of memory"});
	argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v 65536 && exec \"$@\"", "sh"});
#endif
	server_process serve(argv, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	auto ask_twice = [&](const fault& f, size_t logged_times) {
		for (int i = 0; i < 2; i++)
			EXPECT_EQ(ask(fd, f.table + " key"), f.reply);
		EXPECT_EQ(count_of(read_file(serve.log()), f.warning), logged_times) << f.table;
	};
	// Once for a state; again when the file changes (its times will do),
	// and after SIGHUP.
	for (const fault& f : faults) {
		ask_twice(f, 1);
		timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
		ASSERT_EQ(utimensat(AT_FDCWD, (maps + "/" + f.table).c_str(), times,
		                    AT_SYMLINK_NOFOLLOW),
		          0);
		ask_twice(f, 2);
	}
	kill(serve.pid(), SIGHUP);
	ASSERT_TRUE(log_shows(serve.log(), "SIGHUP"));
	for (const fault& f : faults)
		ask_twice(f, 3);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
}

TEST_F(ServeMaps, HangupReadsTheMapsAgain)
{
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	for (size_t i = 1; i <= 2; i++) {
		kill(serve.pid(), SIGHUP);
		long long end = monotonic_ms() + 5000;
		while (count_of(read_file(serve.log()), "SIGHUP") < i && monotonic_ms() < end)
			usleep(10000);
		EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	}
	// Unchanged, the map was read again after each SIGHUP, when asked.
	EXPECT_EQ(count_of(read_file(serve.log()), "loaded map aliases: "), 3u);
	EXPECT_EQ(access(sock.c_str(), F_OK), 0);
	close(fd);
	EXPECT_EQ(serve.stop(SIGTERM).status, 0);
}

} // namespace

namespace
{

// The sample aliases as an index, by smap-makemap, beside their text.
void make_index(const std::string& maps, const std::string& table)
{
	child_result r = spawned({SMAP_MAKEMAP_PATH, maps + "/" + table}).finish(10000);
	ASSERT_EQ(r.status, 1) << r.err; // the sample's duplicate key
}

TEST_F(ServeMaps, AnIndexAnswersForItsTextAndIsLoggedWhenOlder)
{
	make_index(maps, "aliases");
	write_file(maps + "/aliases", "postmaster text-wins-not\n");
	// Older than its source by more than 100 s.
	timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 200, 0}};
	ASSERT_EQ(utimensat(AT_FDCWD, (maps + "/aliases.cdb").c_str(), old, 0), 0);
	write_file(maps + "/real.cdb", read_file(maps + "/aliases.cdb"));
	write_file(maps + "/linked", "postmaster from-text\n");
	ASSERT_EQ(symlink("real.cdb", (maps + "/linked.cdb").c_str()), 0);
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	for (int round = 0; round < 2; round++) {
		EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
		EXPECT_EQ(ask(fd, "aliases carol"), "NOTFOUND ");
		// An index is no table; a linked index is not served.
		EXPECT_EQ(ask(fd, "aliases.cdb postmaster"), "PERM unknown table");
		EXPECT_EQ(ask(fd, "linked postmaster"), "OK from-text");
	}
	std::string log = read_file(serve.log());
	EXPECT_EQ(count_of(log, "map aliases.cdb is 2"), 1u) << log;
	EXPECT_EQ(count_of(log, "map linked.cdb is a symbolic link: not served"), 1u) << log;
	EXPECT_EQ(count_of(log, "loaded map aliases"), 0u) << log;
	close(fd);
}

// A truncated and a garbled index answer TEMP, logged once for each
// state of the file; the server goes on.
TEST_F(ServeMaps, DamagedIndexesAnswerTemp)
{
	std::string big;
	for (int i = 0; i < 5000; i++)
		big += "key" + std::to_string(i) + " value" + std::to_string(i) + "\n";
	write_file(maps + "/big", big);
	child_result r = spawned({SMAP_MAKEMAP_PATH, maps + "/big"}).finish(10000);
	ASSERT_EQ(r.status, 0) << r.err;
	unlink((maps + "/big").c_str());
	std::string whole = read_file(maps + "/big.cdb");
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	EXPECT_EQ(ask(fd, "big key4999"), "OK value4999");
	struct {
		const char* what;
		std::string bytes;
	} rows[] = {
	        {"truncated", whole.substr(0, whole.size() / 3)},
	        {"garbled", std::string(2048, '\xff') + whole.substr(2048)},
	};
	for (const auto& row : rows) {
		// In place, and after the server has looked at the file again.
		int w = open((maps + "/big.cdb").c_str(), O_WRONLY | O_TRUNC);
		ASSERT_EQ(write(w, row.bytes.data(), row.bytes.size()), ssize_t(row.bytes.size()));
		close(w);
		long long end = monotonic_ms() + 3000;
		std::string reply;
		while ((reply = ask(fd, "big key4999")) != "TEMP map big is damaged" &&
		       monotonic_ms() < end)
			usleep(50000);
		EXPECT_EQ(reply, "TEMP map big is damaged") << row.what;
		usleep(1100000);
		for (const char* key : {"key4999", "key0", "nokey"})
			EXPECT_EQ(ask(fd, std::string("big ") + key), "TEMP map big is damaged")
			        << row.what << " " << key;
	}
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	EXPECT_TRUE(serve.running());
	std::string log = read_file(serve.log());
	EXPECT_GE(count_of(log, "map big is damaged"), 2u) << log;
	EXPECT_LE(count_of(log, "map big is damaged"), 4u) << log;
	close(fd);
}

} // namespace
