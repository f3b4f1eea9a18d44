// SPDX-License-Identifier: ISC
// smap-serve's loop and clients, end to end over real sockets: serving
// many clients at once, the socket's life, the command line, and admission
// under a low descriptor limit.
#include "harness/logs.hpp"
#include "harness/sockets.hpp"
#include "serve/fixture.hpp"

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
	for (const char* seconds : {"0x10", "+5", " 5", "5 ", "1e2", "inf", ".", "", "5s", "0"})
		EXPECT_NE(refused_start(dir, {"-t", seconds, "-u", "unix:/nonexistent", sock})
		                  .find("bad timeout"),
		          std::string::npos)
		        << seconds;
	EXPECT_NE(refused_start(dir, {sock, dir.file("nomaps")}).find("map directory"),
	          std::string::npos);
	EXPECT_NE(refused_start(dir, {sock}).find("usage"), std::string::npos);
	std::string too_long = dir.file(std::string(120, 's'));
	EXPECT_NE(refused_start(dir, {too_long, maps}).find("socket path too long"),
	          std::string::npos);
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
	        {{SMAP_MAKEMAP_PATH, "--help"}, "usage: smap-makemap [-f] FILE"},
	        {{SMAP_MAKEMAP_PATH, "-f", "-h", "/nonexistent/m"}, "usage: smap-makemap [-f] FILE"},
	        {{SMAP_MAKEMAP_PATH, "--version"}, "smap-makemap " SMAP_VERSION "\n"},
	};
	for (const auto& [argv, out] : cases) {
		child_result r = spawned(argv).finish(5000);
		EXPECT_EQ(r.status, 0) << argv[1] << r.err;
		EXPECT_EQ(r.err, "") << argv[1];
		// A version line is all of the output; the usage begins with the line.
		EXPECT_EQ(out.back() == '\n' ? r.out : r.out.substr(0, out.size()), out) << argv[1];
	}
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

} // namespace
