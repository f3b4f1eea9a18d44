// SPDX-License-Identifier: ISC
// smap-serve under a service manager: a listening socket passed at start
// (socket activation, driven by systemd-socket-activate where it is
// installed), READY/STOPPING notifications to NOTIFY_SOCKET, and log lines
// written for the journal.
#include "harness/child.hpp"
#include "harness/sockets.hpp"
#include "harness/temp_dir.hpp"
#include "serve/fixture.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

// A datagram socket standing in for the service manager's notify socket.
struct notify_listener {
	std::string path;
	int fd = -1;

	explicit notify_listener(const std::string& p) : path(p)
	{
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		path.copy(addr.sun_path, sizeof addr.sun_path - 1);
		fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		const timeval bound = {5, 0};
		setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
		if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1)
			ADD_FAILURE() << "cannot bind " << path;
	}
	~notify_listener()
	{
		close(fd);
	}
	// The next message, or "<timeout>".
	std::string receive()
	{
		char buf[256];
		ssize_t n = recv(fd, buf, sizeof buf, 0);
		return n < 0 ? "<timeout>" : std::string(buf, static_cast<size_t>(n));
	}
};

struct ServeActivation : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string maps = dir.file("maps");
	std::string log = dir.file("serve.log");

	void SetUp() override
	{
		mkdir(maps.c_str(), 0755);
		write_file(maps + "/aliases", "postmaster root\n");
	}

	// smap-serve with `args`, started by systemd-socket-activate listening
	// on `listen_path`; the first connection to it starts the server.
	std::unique_ptr<spawned> activate(const std::string& listen_path,
	                                  const std::vector<std::string>& args)
	{
		std::string notify = "NOTIFY_SOCKET=" + dir.file("notify");
		std::vector<std::string> argv = {
		        SMAP_SOCKET_ACTIVATE, "-l", listen_path, "-E", notify, SMAP_SERVE_PATH};
		argv.insert(argv.end(), args.begin(), args.end());
		auto p = std::make_unique<spawned>(argv, spawn_options{.log = log});
		// The socket file exists before it listens: a connection tells.
		// Being the first, it starts the server.
		EXPECT_TRUE(wait_listening(listen_path, 5000)) << read_file(log);
		return p;
	}

	// smap-serve started by a shell that hands it `env` (LISTEN_*) and a
	// descriptor 3 opened by `fd3` (a shell redirection).
	int run_with_fds(const std::string& env, const std::string& fd3)
	{
		spawned p({"/bin/sh", "-c", "exec env " + env + " \"$@\" " + fd3, "sh",
		           SMAP_SERVE_PATH, sock, maps},
		          {.log = log});
		return p.finish(5000).status;
	}
};

TEST_F(ServeActivation, ServesOnThePassedSocketLeavesItAloneAndNotifies)
{
	if (std::string(SMAP_SOCKET_ACTIVATE).empty())
		GTEST_SKIP() << "systemd-socket-activate is not installed";
	notify_listener notify(dir.file("notify"));
	// A group that the server could give the socket, if it wrongly did.
	gid_t other = another_group();
	gid_t asked = other != static_cast<gid_t>(-1) ? other : getegid();
	auto serve =
	        activate(sock, {"--mode", "0600", "--group", std::to_string(asked), sock, maps});
	struct stat before;
	ASSERT_EQ(lstat(sock.c_str(), &before), 0);

	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root") << read_file(log);
	EXPECT_EQ(notify.receive(), "READY=1");
	close(fd);

	EXPECT_EQ(serve->stop(SIGTERM, 5000).status, 0) << read_file(log);
	EXPECT_EQ(notify.receive(), "STOPPING=1");
	// The socket file is the manager's: still there, same file, mode and
	// group.
	struct stat after;
	ASSERT_EQ(lstat(sock.c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mode, before.st_mode);
	EXPECT_EQ(after.st_gid, before.st_gid);
	std::string text = read_file(log);
	EXPECT_NE(text.find("listening on " + sock + " (from the service manager), maps in"),
	          std::string::npos)
	        << text;
	EXPECT_NE(text.find("warn: --mode ignored"), std::string::npos) << text;
	EXPECT_NE(text.find("warn: --group ignored"), std::string::npos) << text;
	EXPECT_NE(text.find("socket left to the service manager"), std::string::npos) << text;
}

TEST_F(ServeActivation, TakesOnlyTheSocketItIsToldOf)
{
	if (std::string(SMAP_SOCKET_ACTIVATE).empty())
		GTEST_SKIP() << "systemd-socket-activate is not installed";
	// The manager binds `bound`; the server, started in the socket's
	// directory, is told `told`: another path is refused and left alone,
	// and no socket of the server's own is made; the same file under a
	// relative name is served.
	std::string other = dir.file("other");
	struct {
		std::string bound, told;
		int status;
		std::string logged;
	} rows[] = {
	        {other, sock, 1,
	         "fatal: descriptor 3 from the service manager is bound to another path, "
	         "expected a listening socket on " +
	                 sock},
	        {sock, "s", 0, "(from the service manager)"},
	};
	for (const auto& row : rows) {
		unlink(log.c_str());
		spawned serve({"/bin/sh", "-c", "cd \"$1\" && shift && exec \"$@\"", "sh", dir.path,
		               SMAP_SOCKET_ACTIVATE, "-l", row.bound, SMAP_SERVE_PATH, row.told,
		               maps},
		              {.log = log});
		ASSERT_TRUE(wait_listening(row.bound, 5000)) << read_file(log);
		int fd = connect_to(row.bound);
		ASSERT_NE(fd, -1);
		if (row.status == 0) {
			EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root") << read_file(log);
		}
		EXPECT_EQ(row.status == 0 ? serve.stop(SIGTERM, 5000).status
		                          : serve.finish(5000).status,
		          row.status);
		close(fd);
		EXPECT_NE(read_file(log).find(row.logged), std::string::npos) << read_file(log);
		struct stat st;
		EXPECT_EQ(lstat(row.bound.c_str(), &st), 0) << "the manager's socket is left alone";
		EXPECT_EQ(lstat(sock.c_str(), &st) == 0, row.status == 0) << row.told;
	}
}

TEST_F(ServeActivation, RefusesPassedDescriptorsThatAreNotOneListeningSocket)
{
	EXPECT_EQ(run_with_fds("LISTEN_PID=$$ LISTEN_FDS=1", "3<" + maps + "/aliases"), 1);
	EXPECT_EQ(run_with_fds("LISTEN_PID=$$ LISTEN_FDS=2", "3</dev/null 4</dev/null"), 1);
	EXPECT_EQ(run_with_fds("LISTEN_PID=$$ LISTEN_FDS=x", "3</dev/null"), 1);
	std::string text = read_file(log);
	EXPECT_NE(text.find("fatal: descriptor 3 from the service manager is not a socket"),
	          std::string::npos)
	        << text;
	EXPECT_NE(text.find("fatal: the service manager passed LISTEN_FDS=2; expected one socket"),
	          std::string::npos);
	EXPECT_NE(text.find("fatal: the service manager passed LISTEN_FDS=x"), std::string::npos);
	struct stat st;
	EXPECT_EQ(lstat(sock.c_str(), &st), -1);
}

// A start that fails under socket activation takes the connections
// already waiting and closes them, whether it fails before the passed
// socket is looked at (a usage error) or after: the manager, which goes on
// listening, would otherwise start the server again for them at once.
TEST_F(ServeActivation, AFailedStartClosesTheConnectionsWaiting)
{
	const std::vector<std::vector<std::string>> failures = {
	        {SMAP_SERVE_PATH, sock},
	        {SMAP_SERVE_PATH, sock, dir.file("no-such-maps")},
	};
	for (const auto& args : failures) {
		unlink(sock.c_str());
		// The test keeps its own copy of the socket, as the manager does.
		int listener = listen_on(sock, 8);
		ASSERT_NE(listener, -1);
		int waiting[] = {connect_to(sock), connect_to(sock)};
		child_result r = run_in_child([&] {
			dup2(listener, 3);
			fcntl(3, F_SETFD, 0);
			setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
			setenv("LISTEN_FDS", "1", 1);
			std::vector<char*> argv;
			for (const auto& a : args)
				argv.push_back(const_cast<char*>(a.c_str()));
			argv.push_back(nullptr);
			execv(argv[0], argv.data());
			_exit(127);
		});
		EXPECT_EQ(r.status, 1) << r.err;
		for (int fd : waiting) {
			EXPECT_EQ(read_line(fd), "<eof>") << args.size() << " arguments";
			close(fd);
		}
		pollfd left = {listener, POLLIN, 0};
		EXPECT_EQ(poll(&left, 1, 0), 0) << args.size() << " arguments";
		close(listener);
	}
}

TEST_F(ServeActivation, IgnoresSocketsPassedToAnotherProcess)
{
	// LISTEN_PID names the shell's parent: the server binds its own socket.
	server_process serve({"/bin/sh", "-c",
	                      "exec env LISTEN_PID=$PPID LISTEN_FDS=1 \"$@\" 3</dev/null", "sh",
	                      SMAP_SERVE_PATH, sock, maps},
	                     sock, {.log = log});
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
	EXPECT_EQ(serve.stop(SIGTERM, 5000).status, 0);
	EXPECT_NE(read_file(log).find("socket removed"), std::string::npos) << read_file(log);
}

TEST_F(ServeActivation, AFullNotifySocketCostsAWarningOnly)
{
	// The manager's queue is full: READY=1 and STOPPING=1 cannot be sent,
	// and the server serves and stops all the same.
	notify_listener notify(dir.file("notify"));
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	notify.path.copy(addr.sun_path, sizeof addr.sun_path - 1);
	int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	int queued = 0;
	while (queued < 100000 &&
	       sendto(filler, "X=1", 3, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 3)
		queued++;
	ASSERT_EQ(errno, EAGAIN) << "after " << queued << " datagrams";

	server_process serve(
	        {"/usr/bin/env", "NOTIFY_SOCKET=" + notify.path, SMAP_SERVE_PATH, sock, maps}, sock,
	        {.log = log});
	int fd = connect_to(sock);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
	EXPECT_EQ(serve.stop(SIGTERM, 5000).status, 0);
	std::string text = read_file(log);
	for (const char* state : {"READY=1", "STOPPING=1"})
		EXPECT_NE(text.find("warn: cannot notify " + notify.path + " of " + state +
		                    ": Resource temporarily unavailable"),
		          std::string::npos)
		        << text;
	close(filler);
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
	// Appended, not added: g++ 12 at -O3 sees an overlapping copy in
	// "\n" + std::string.
	std::string text = "\n";
	text += read_file(logged.log);
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
			want.append("[").append(std::to_string(r.pid)).append("]: fatal: ");
		EXPECT_EQ(r.err.substr(0, want.size()), want) << c.env << " " << c.argv[0];
		if (c.prefix[0] == '<') {
			EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
		}
	}
}

} // namespace
