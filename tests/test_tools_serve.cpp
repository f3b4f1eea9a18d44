// SPDX-License-Identifier: ISC
// smap-serve with map files, end to end over real sockets.
#include "harness/child.hpp"
#include "harness/fake_server.hpp"
#include "harness/sockets.hpp"

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

struct ServeMaps : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string maps = dir.file("maps");
	spawn_options logged = {.log = dir.file("serve.log")};

	void SetUp() override
	{
		mkdir(maps.c_str(), 0755);
		write_file(maps + "/aliases", "# sample aliases\n"
		                              "postmaster root\n"
		                              "  alice\t alice@example.org, a@example.net\n"
		                              "\n"
		                              "   # indented comment\n"
		                              "listonly\n"
		                              "alice second-wins-not\n");
	}
};

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

TEST_F(ServeMaps, OverlongAndBrokenLinesLeaveOthersServed)
{
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	// 8192 bytes is the longest query served; one byte more is refused,
	// and the next query on the same connection is answered.
	std::string longest = "aliases " + std::string(8192 - 8, 'k');
	EXPECT_EQ(ask(fd, longest), "NOTFOUND ");
	EXPECT_EQ(ask(fd, longest + "k"), "PERM query too long");
	EXPECT_EQ(ask(fd, "aliases " + std::string(1 << 20, 'k')), "PERM query too long");
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");

	// A client that leaves in the middle of a line gets nothing and
	// disturbs nobody.
	int other = connect_to(sock);
	send_text(other, "aliases post");
	close(other);
	// A client that half-closes after a complete line still gets its reply.
	other = connect_to(sock);
	send_text(other, "aliases postmaster\naliases unfinished");
	shutdown(other, SHUT_WR);
	EXPECT_EQ(read_line(other), "OK root");
	EXPECT_EQ(read_line(other), "<eof>");
	close(other);

	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
	EXPECT_TRUE(serve.running()) << "smap-serve is gone";
}

TEST_F(ServeMaps, ServesSeveralClientsAndIsNotStalledByOne)
{
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	// Connected first, so that a server that waits on either of them would
	// never get to the others: one client floods queries and never reads
	// its replies, one sends half a line and waits.
	int flood = connect_to(sock);
	int slow = connect_to(sock);
	std::vector<int> clients;
	for (int i = 0; i < 8; i++) {
		clients.push_back(connect_to(sock));
		ASSERT_NE(clients.back(), -1);
	}
	send_text(slow, "aliases post");
	fcntl(flood, F_SETFL, O_NONBLOCK);
	std::string burst;
	for (int i = 0; i < 1000; i++)
		burst += "aliases alice\n";
	size_t flooded = 0;
	for (int i = 0; i < 2000; i++) {
		ssize_t n = send(flood, burst.data(), burst.size(), MSG_NOSIGNAL);
		if (n <= 0) {
			usleep(20000); // let the server fill its side too
			if ((n = send(flood, burst.data(), burst.size(), MSG_NOSIGNAL)) <= 0)
				break;
		}
		flooded += static_cast<size_t>(n);
	}
	ASSERT_LT(flooded, 2000 * burst.size()) << "the flood should fill the socket buffers";
	usleep(100000);

	long long start = monotonic_ms();
	for (int round = 0; round < 3; round++)
		for (int fd : clients)
			EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	EXPECT_LT(monotonic_ms() - start, 2000);
	// The slow client's line completes and is answered.
	send_text(slow, "master\n");
	EXPECT_EQ(read_line(slow), "OK root");
	close(flood);
	close(slow);
	for (int fd : clients)
		close(fd);
}

TEST_F(ServeMaps, SocketModeAndCleanExit)
{
	{
		server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
		struct stat st;
		ASSERT_EQ(lstat(sock.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0660u);
		int idle = connect_to(sock); // an idle client does not delay the exit
		EXPECT_EQ(serve.stop(SIGTERM).status, 0);
		EXPECT_NE(access(sock.c_str(), F_OK), 0) << "socket left behind";
		close(idle);
	}
	{
		server_process serve({SMAP_SERVE_PATH, "--mode", "0600", sock, maps}, sock, logged);
		struct stat st;
		ASSERT_EQ(lstat(sock.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0600u);
		EXPECT_EQ(serve.stop(SIGINT).status, 0);
		EXPECT_NE(access(sock.c_str(), F_OK), 0);
	}
	// A socket path that was replaced while it ran is not removed.
	{
		server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
		unlink(sock.c_str());
		write_file(sock, "not ours");
		serve.stop(SIGTERM);
		EXPECT_EQ(read_file(sock), "not ours");
		unlink(sock.c_str());
	}
}

// Runs smap-serve expecting it to refuse to start; returns its log.
std::string refused_start(const temp_dir& dir, const std::vector<std::string>& args)
{
	std::vector<std::string> argv = {SMAP_SERVE_PATH};
	argv.insert(argv.end(), args.begin(), args.end());
	std::string log = dir.file("refused.log");
	unlink(log.c_str());
	child_result r = spawned(argv, {.log = log}).finish(5000);
	EXPECT_EQ(r.status, 1);
	return r.err;
}

TEST_F(ServeMaps, TakesOverOnlyAStaleSocket)
{
	// A socket file that nobody listens on is removed and reused.
	{
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		memcpy(addr.sun_path, sock.c_str(), sock.size());
		int fd = socket(AF_UNIX, SOCK_STREAM, 0);
		ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
		close(fd);
		server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
		int c = connect_to(sock);
		EXPECT_EQ(ask(c, "aliases postmaster"), "OK root");
		close(c);
	}
	// A live server's socket is left alone.
	{
		fake_server live([](const std::string&, int) { return server_reply{"OK live\n"}; },
		                 sock);
		std::string log = refused_start(dir, {sock, maps});
		EXPECT_NE(log.find("another server is listening on"), std::string::npos) << log;
		int c = connect_to(sock);
		EXPECT_EQ(ask(c, "t k"), "OK live");
		close(c);
	}
	// Neither is a file that is not a socket.
	write_file(sock, "precious");
	EXPECT_NE(refused_start(dir, {sock, maps}).find("exists and is not a socket"),
	          std::string::npos);
	EXPECT_EQ(read_file(sock), "precious");
	unlink(sock.c_str());

	for (const char* mode : {"0999", " 660", "+660", "-1", "", "017777", "00000000010000"})
		EXPECT_NE(refused_start(dir, {"--mode", mode, sock, maps}).find("bad mode"),
		          std::string::npos)
		        << mode;
	EXPECT_NE(refused_start(dir, {sock, dir.file("nomaps")}).find("map directory"),
	          std::string::npos);
	EXPECT_NE(refused_start(dir, {sock}).find("usage"), std::string::npos);
	std::string too_long = dir.file(std::string(120, 's'));
	EXPECT_NE(refused_start(dir, {too_long, maps}).find("socket path too long"),
	          std::string::npos);
}

} // namespace

namespace
{

size_t count_of(const std::string& text, const std::string& what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

// Waits up to 5 s for `what` to show in the log.
bool log_shows(const std::string& log, const std::string& what)
{
	long long end = monotonic_ms() + 5000;
	while (read_file(log).find(what) == std::string::npos) {
		if (monotonic_ms() >= end)
			return false;
		usleep(10000);
	}
	return true;
}

// One line, or "<timeout>" when none comes within `ms`.
std::string read_line_within(int fd, int ms)
{
	timeval bound = {ms / 1000, (ms % 1000) * 1000};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	std::string line = read_line(fd);
	bound = {5, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	return line;
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

TEST_F(ServeMaps, OversizedMapIsRefused)
{
	std::string huge = maps + "/huge";
	write_file(huge, "");
	// Sparse: one byte over the 1 GiB that a map may have.
	ASSERT_EQ(truncate(huge.c_str(), (off_t(1) << 30) + 1), 0);
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, logged);
	int fd = connect_to(sock);
	EXPECT_EQ(ask(fd, "huge key"), "TEMP map huge is larger than 1073741824 bytes");
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
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

TEST_F(ServeMaps, StartsWithOutputAndErrorClosed)
{
	// Started so, a socket or pipe must not take descriptor 1 or 2, where
	// the log lines of -v would go.
	server_process serve({SMAP_SERVE_PATH, "-v", sock, maps}, sock,
	                     {.log = logged.log, .closed = {1, 2}});
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
	EXPECT_TRUE(serve.running());
	// Opened on /dev/null: the log lines go nowhere, and nothing else
	// took those numbers.
	for (int std_fd : {1, 2}) {
		std::string link =
		        "/proc/" + std::to_string(serve.pid()) + "/fd/" + std::to_string(std_fd);
		char target[256] = "";
		ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
		EXPECT_EQ(std::string(target, n > 0 ? size_t(n) : 0), "/dev/null") << link;
	}
	EXPECT_EQ(serve.stop(SIGTERM).status, 0);
	EXPECT_NE(access(sock.c_str(), F_OK), 0) << "socket left behind";
}

// Connects `n` clients that ask once and then stay idle, as a backend
// does between lookups.
std::vector<int> idle_clients(const std::string& sock, int n)
{
	std::vector<int> fds;
	for (int i = 0; i < n; i++) {
		fds.push_back(connect_to(sock));
		EXPECT_EQ(ask(fds.back(), "aliases postmaster"), "OK root");
	}
	return fds;
}

// An upstream that answers "OK value-KEY"; see below.
server_reply upstream_values(const std::string& request, int);

TEST_F(ServeMaps, LowDescriptorLimitAdmitsByClosingIdleClients)
{
	// With 24 descriptors there is room for a handful of clients: the
	// server neither dies nor locks newcomers out.
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock,
	                     {.log = logged.log, .nofile = 24});
	std::vector<int> idle = idle_clients(sock, 30);
	int fresh = connect_to(sock);
	EXPECT_EQ(ask(fresh, "aliases postmaster"), "OK root");
	// The ones idle longest made room; the latest are still served.
	EXPECT_EQ(read_line(idle.front()), "<eof>");
	EXPECT_EQ(ask(idle.back(), "aliases postmaster"), "OK root");
	for (int fd : idle)
		close(fd);
	close(fresh);
	EXPECT_TRUE(serve.running());
	EXPECT_TRUE(log_shows(serve.log(), "client slots in use"));
}

TEST_F(ServeMaps, DescriptorsTakenByOthersShrinkTheTable)
{
	// Inherited descriptors leave fewer than the table was sized for.
	// One client asks, more connect until the table is full and then ask
	// in turn, and newcomers follow. With maps, accept() runs out and
	// pauses; as a bridge, the clients are accepted but the last one's
	// upstream connection finds no descriptor. Either way the table
	// shrinks to what its clients hold, closing idle ones, and every query
	// is answered.
	std::string up = dir.file("up");
	fake_server upstream(upstream_values, up, framing::netstrings);
	struct {
		std::vector<std::string> args;
		int inherited;
		std::string answer;
		const char* logged;
	} rows[] = {
	        {{sock, maps}, 12, "OK root", "warn: accept: Too many open files"},
	        {{"--upstream", up, sock}, 16, "OK value-postmaster", "client table reduced to"},
	};
	for (const auto& row : rows) {
#ifdef SMAP_SANITIZED
		// With no descriptor left, the sanitizers' own checks fail (they
		// need a pipe to probe memory) and report what is not there.
		if (row.inherited > 12)
			continue;
#endif
		std::vector<std::string> argv = {SMAP_SERVE_PATH};
		argv.insert(argv.end(), row.args.begin(), row.args.end());
		server_process serve(argv, sock,
		                     {.log = logged.log, .nofile = 24, .inherited = row.inherited});
		ASSERT_TRUE(log_shows(serve.log(), "clients at once"));
		std::string log = read_file(serve.log());
		int table = atoi(log.c_str() + log.find("up to ") + 6);
		std::vector<int> clients = {connect_to(sock)};
		EXPECT_EQ(ask(clients[0], "aliases postmaster"), row.answer);
		for (int i = 1; i < table; i++)
			clients.push_back(connect_to(sock));
		for (size_t i = 1; i < clients.size(); i++)
			EXPECT_EQ(ask(clients[i], "aliases postmaster"), row.answer)
			        << "client " << i;
		for (int i = 0; i < 5; i++) {
			clients.push_back(connect_to(sock));
			EXPECT_EQ(ask(clients.back(), "aliases postmaster"), row.answer)
			        << "newcomer";
		}
		EXPECT_TRUE(serve.running());
		log = read_file(serve.log());
		EXPECT_NE(log.find(row.logged), std::string::npos) << log;
		EXPECT_NE(log.find("client table reduced to"), std::string::npos) << log;
		for (int fd : clients)
			close(fd);
		serve.stop(SIGTERM);
		unlink(logged.log.c_str());
	}
}

TEST_F(ServeMaps, BusyClientsAreNotClosedForNewOnes)
{
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock,
	                     {.log = logged.log, .nofile = 24});
	ASSERT_TRUE(log_shows(serve.log(), "clients at once"));
	std::string log = read_file(serve.log());
	size_t at = log.find("up to ") + 6;
	int table = atoi(log.c_str() + at);
	ASSERT_GT(table, 0);
	ASSERT_LT(table, 20);

	// Every client floods queries and reads no reply: none is idle. Each
	// is busy before the next one comes, so none is closed for another.
	std::string burst;
	for (int i = 0; i < 1000; i++)
		burst += "aliases alice\n";
	std::vector<int> busy;
	for (int i = 0; i < table; i++) {
		int fd = connect_to(sock);
		ASSERT_NE(fd, -1);
		busy.push_back(fd);
		fcntl(fd, F_SETFL, O_NONBLOCK);
		for (int tries = 0; tries < 1000; tries++) {
			if (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) <= 0) {
				usleep(20000); // let the server fill its side too
				if (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) <= 0)
					break;
			}
		}
	}
	// A newcomer waits in the listen queue...
	int fresh = connect_to(sock);
	send_text(fresh, "aliases postmaster\n");
	EXPECT_EQ(read_line_within(fresh, 500), "<timeout>");
	// ...until a client leaves.
	close(busy.back());
	busy.pop_back();
	EXPECT_EQ(read_line(fresh), "OK root");
	for (int fd : busy)
		close(fd);
	close(fresh);
}

TEST_F(ServeMaps, PipelinedRepliesPastTheOutputLimitAllArrive)
{
	// One reply of 70,000 bytes fills a round's output at once; 3000
	// queries with 100-byte values fill it while the client still writes.
	// Either way the rest of the client's input must still be served once
	// the output has gone, and a table full of such clients must still
	// admit a newcomer when they are done.
	std::string big(70000, 'b'), mid(100, 'm');
	write_file(maps + "/load", "big " + big + "\nmid " + mid + "\n");
	std::string queries, replies;
	for (int i = 0; i < 3000; i++) {
		queries += "load mid\n";
		replies += "OK " + mid + "\n";
	}
	std::pair<std::string, std::string> bursts[] = {
	        {"load big\nload mid\n", "OK " + big + "\nOK " + mid + "\n"}, {queries, replies}};
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock,
	                     {.log = logged.log, .nofile = 24});
	ASSERT_TRUE(log_shows(serve.log(), "up to 6 clients at once"));
	std::vector<int> fds;
	for (int i = 0; i < 6; i++) {
		fds.push_back(connect_to(sock));
		send_text(fds.back(), bursts[i % 2].first);
	}
	for (size_t i = 0; i < fds.size(); i++) {
		const std::string& want = bursts[i % 2].second;
		std::string got(want.size(), '\0');
		ssize_t n = recv(fds[i], got.data(), got.size(), MSG_WAITALL);
		EXPECT_TRUE(n == ssize_t(want.size()) && got == want)
		        << "client " << i << ": " << n << " bytes of " << want.size();
	}
	int fresh = connect_to(sock);
	EXPECT_EQ(ask(fresh, "aliases postmaster"), "OK root");
	for (int fd : fds)
		close(fd);
	close(fresh);
}

TEST_F(ServeMaps, AdmissionClosesNoClientWhoseQueryIsOnItsWay)
{
	// Stopped, the server lets connections pile up in its listen queue,
	// three times as many as its six slots: six that have sent nothing
	// yet, as a client between connect() and its first write, then twelve
	// whose query waits in their socket. Every one gets its answer.
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock,
	                     {.log = logged.log, .nofile = 24});
	ASSERT_TRUE(log_shows(serve.log(), "up to 6 clients at once"));
	kill(serve.pid(), SIGSTOP);
	std::vector<int> quiet, asking;
	for (int i = 0; i < 6; i++)
		quiet.push_back(connect_to(sock));
	for (int i = 0; i < 12; i++) {
		asking.push_back(connect_to(sock));
		send_text(asking.back(), "aliases postmaster\n");
	}
	kill(serve.pid(), SIGCONT);
	for (int fd : quiet)
		send_text(fd, "aliases alice\n");
	for (int fd : quiet)
		EXPECT_EQ(read_line(fd), "OK alice@example.org, a@example.net");
	for (int fd : asking)
		EXPECT_EQ(read_line(fd), "OK root");
	for (int fd : quiet)
		close(fd);
	for (int fd : asking)
		close(fd);
	EXPECT_TRUE(serve.running());
}

// An upstream that answers "OK value-KEY", and two replies with a value
// glued to their status word.
server_reply upstream_values(const std::string& request, int)
{
	std::string key = request.substr(request.find(' ') + 1);
	if (key == "tab")
		return {netstring("OK\tsecret-tab")};
	if (key == "glued")
		return {netstring("OKsecret-glued")};
	return {netstring("OK value-" + key)};
}

struct ServeBridge : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string up = dir.file("up");
	spawn_options logged = {.log = dir.file("serve.log")};
	fake_server upstream{upstream_values, up, framing::netstrings};
};

TEST_F(ServeBridge, VerboseLogShowsNoValue)
{
	server_process serve({SMAP_SERVE_PATH, "-v", "--upstream", up, sock}, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	// -v shows the status word of a reply, never what follows it.
	EXPECT_EQ(ask(fd, "t plain"), "OK value-plain");
	EXPECT_EQ(ask(fd, "t tab"), "OK\tsecret-tab");
	EXPECT_EQ(ask(fd, "t glued"), "OKsecret-glued");
	close(fd);
	serve.stop(SIGTERM);
	std::string log = read_file(serve.log());
	EXPECT_EQ(log.find("secret"), std::string::npos) << log;
	EXPECT_EQ(log.find("value-"), std::string::npos) << log;
	EXPECT_EQ(count_of(log, "reply OK\n"), 2u) << log;
	EXPECT_EQ(count_of(log, "reply ?\n"), 1u) << log;
}

TEST_F(ServeBridge, HangupIsIgnored)
{
	server_process serve({SMAP_SERVE_PATH, "--upstream", up, sock}, sock, logged);
	int fd = connect_to(sock);
	EXPECT_EQ(ask(fd, "t before"), "OK value-before");
	kill(serve.pid(), SIGHUP);
	ASSERT_TRUE(log_shows(serve.log(), "SIGHUP ignored"));
	EXPECT_EQ(ask(fd, "t after"), "OK value-after");
	close(fd);
	EXPECT_EQ(serve.stop(SIGTERM).status, 0);
}

TEST_F(ServeBridge, LowDescriptorLimitAdmitsNewClients)
{
	// Two descriptors a client: each newcomer still gets in and gets its
	// answer, far past the limit.
	server_process serve({SMAP_SERVE_PATH, "--upstream", up, sock}, sock,
	                     {.log = logged.log, .nofile = 24});
	std::vector<int> clients;
	for (int i = 0; i < 30; i++) {
		clients.push_back(connect_to(sock));
		EXPECT_EQ(ask(clients.back(), "t k" + std::to_string(i)),
		          "OK value-k" + std::to_string(i));
	}
	EXPECT_EQ(read_line(clients.front()), "<eof>");
	for (int fd : clients)
		close(fd);
	EXPECT_TRUE(serve.running());
}

} // namespace

namespace
{

// --help, -h and --version of both tools answer on standard output with
// status 0, whatever else the command line holds.
TEST(ToolsCommandLine, HelpAndVersion)
{
	const std::string serve_usage = "usage: smap-serve [-v] [-m mode] [-g group] SOCKET";
	const std::string query_usage = "usage: smap-query [-n | --netstring] SERVER";
	const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
	        {{SMAP_SERVE_PATH, "--help"}, serve_usage},
	        {{SMAP_SERVE_PATH, "-v", "-h", "/nonexistent/s"}, serve_usage},
	        {{SMAP_SERVE_PATH, "--version"}, "smap-serve " SMAP_VERSION "\n"},
	        {{SMAP_QUERY_PATH, "--help"}, query_usage},
	        {{SMAP_QUERY_PATH, "-h", "/nonexistent/s", "t", "k"}, query_usage},
	        {{SMAP_QUERY_PATH, "--version"}, "smap-query " SMAP_VERSION "\n"},
	};
	for (const auto& [argv, out] : cases) {
		child_result r = spawned(argv).finish(5000);
		EXPECT_EQ(r.status, 0) << argv[1] << r.err;
		EXPECT_EQ(r.err, "") << argv[1];
		// A version line is all of the output; the usage begins with the line.
		EXPECT_EQ(out.back() == '\n' ? r.out : r.out.substr(0, out.size()), out) << argv[1];
	}
}

// A group other than its own that this process may give its files: any
// as root, else a supplementary one; -1 when there is none.
gid_t another_group()
{
	std::vector<gid_t> ours(64);
	ours.resize(static_cast<size_t>(std::max(getgroups(64, ours.data()), 0)));
	if (geteuid() == 0) {
		setgrent();
		while (const group* g = getgrent())
			ours.push_back(g->gr_gid);
		endgrent();
	}
	for (gid_t g : ours)
		if (g != getegid() && getgrgid(g) != nullptr)
			return g;
	return static_cast<gid_t>(-1);
}

TEST_F(ServeMaps, GroupOfTheSocket)
{
	EXPECT_NE(refused_start(dir, {"--group", "no-such.group", sock, maps})
	                  .find("fatal: bad group no-such.group: no such group"),
	          std::string::npos);
	gid_t other = another_group();
	if (other == static_cast<gid_t>(-1))
		GTEST_SKIP() << "no group besides its own that this user may give its files";
	// By name or number, with the mode asked for kept.
	for (const std::string& named :
	     {std::string(getgrgid(other)->gr_name), std::to_string(other)}) {
		server_process serve(
		        {SMAP_SERVE_PATH, "--mode", "0640", "--group", named, sock, maps}, sock,
		        logged);
		struct stat st;
		ASSERT_EQ(lstat(sock.c_str(), &st), 0);
		EXPECT_EQ(st.st_gid, other) << named;
		EXPECT_EQ(st.st_mode & 07777, 0640u) << named;
	}
}

// Under the journal (JOURNAL_STREAM naming standard error's device and
// inode) smap-serve's lines leave out the name and process id that the
// journal adds, and begin with the "<N>" level it files them at; another
// file keeps the name and process id, and the backend keeps them always.
TEST_F(ServeMaps, UnderTheJournalLinesCarryTheirLevelNotTheName)
{
	write_file(logged.log, "");
	struct stat st;
	ASSERT_EQ(stat(logged.log.c_str(), &st), 0);
	std::string journal =
	        "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);

	// Notes, a warning and -v lines from a server that answers one query
	// and stops.
	{
		server_process serve({"/usr/bin/env", journal, "NOTIFY_SOCKET=x", SMAP_SERVE_PATH,
		                      "-v", sock, maps},
		                     sock, logged);
		int fd = connect_to(sock);
		ASSERT_NE(fd, -1);
		EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
		close(fd);
		serve.stop(SIGTERM, 5000);
	}
	// Each kind of line, by the start of one of them.
	std::string text = "\n" + read_file(logged.log);
	for (std::string start : {"<6>descriptor limit ", "<7>client ", "<6>stopped by signal 15",
	                          "<4>warn: NOTIFY_SOCKET x is not a usable socket name"})
		EXPECT_NE(text.find("\n" + start), std::string::npos) << start << " in:" << text;

	// Starts that fail: each writes one line.
	struct {
		std::string env;
		std::vector<std::string> argv;
		std::string prefix; // before "fatal: ", or the whole start of the line
	} cases[] = {
	        {journal, {SMAP_SERVE_PATH, "-g", "no-such.group", sock, maps}, "<3>"},
	        {journal,
	         {SMAP_SERVE_PATH, sock},
	         "<3>usage: smap-serve [-v] [-m mode] [-g group] SOCKET MAPDIR; smap-serve [-v]"},
	        {journal + "0", {SMAP_SERVE_PATH, "-g", "no-such.group", sock, maps}, "smap-serve"},
	        {journal, {SMAP_BACKEND_PATH}, "smap-backend"},
	};
	for (const auto& c : cases) {
		write_file(logged.log, "");
		std::vector<std::string> argv = {"/usr/bin/env", c.env};
		argv.insert(argv.end(), c.argv.begin(), c.argv.end());
		child_result r = spawned(argv, logged).finish(5000);
		std::string want = c.prefix;
		if (c.prefix == "<3>")
			want += "fatal: ";
		else if (c.prefix[0] != '<')
			want += "[" + std::to_string(r.pid) + "]: fatal: ";
		EXPECT_EQ(r.err.substr(0, want.size()), want) << c.env << " " << c.argv[0];
		if (c.prefix[0] == '<') {
			EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
		}
	}
}

} // namespace
