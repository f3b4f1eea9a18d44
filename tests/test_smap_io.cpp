// SPDX-License-Identifier: ISC
// The backend's exchange with the socketmap server, in process, against a
// server on a real socket: reply lines longer than the limit, lines that
// arrive in pieces, bytes sent beyond the reply line, the reply buffer
// left clean between queries, and the time bound (shortened here, so
// that no test waits the full bound).
#include "backend/smap.hpp"
#include "harness/child.hpp"
#include "harness/fake_server.hpp"
#include "harness/sockets.hpp"
#include "support/log.hpp"
#include "tableproto/tproto.hpp"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

// "OK KEY" for the query "TABLE KEY".
server_reply echo(const std::string& query, int = 0)
{
	return {"OK " + query.substr(query.find(' ') + 1) + "\n"};
}

struct lookup_result {
	int status;
	std::string value;
};

lookup_result lookup(const char* key)
{
	static dict params;
	char dst[TPROTO_RESULT_SIZE] = {};
	int r = smap_lookup(SVC_ALIAS, &params, key, dst, sizeof dst);
	return {r, dst};
}

class SmapIo : public ::testing::Test
{
protected:
	void serve(server_script script)
	{
		log_start(1);
		server_ = std::make_unique<fake_server>(std::move(script));
		smap_socket_path = server_->endpoint().c_str();
	}
	std::unique_ptr<fake_server> server_;
};

// The time bound of the tests below, restored afterwards.
class SmapBound : public SmapIo
{
protected:
	static constexpr int BOUND_MS = 400;
	void SetUp() override
	{
		log_start(1);
		smap_set_timeout_ms(BOUND_MS);
		// Start without a connection: a lookup on a path that names
		// nothing drops whatever an earlier test left open.
		smap_socket_path = "/nonexistent/smap.sock";
		lookup("none");
	}
	void TearDown() override
	{
		smap_set_timeout_ms(SMAP_TIMEOUT_SECONDS * 1000);
	}
};

// The lookups that must show their warnings run in a child, which ends
// with _exit(): the server thread of this process is not the child's, and
// its memory must not count as the child's leak.

// A socket at `path` that never accepts or reads; `fill` connections
// already wait in its queue of one.
struct deaf_listener {
	int fd;
	std::vector<int> queued;
	deaf_listener(const std::string& path, int fill) : fd(listen_on(path, 0))
	{
		if (fd == -1)
			ADD_FAILURE() << "cannot listen on " << path;
		for (int i = 0; i < fill; i++) {
			int c = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
			sockaddr_un addr{};
			addr.sun_family = AF_UNIX;
			path.copy(addr.sun_path, sizeof addr.sun_path - 1);
			connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
			queued.push_back(c);
		}
	}
	~deaf_listener()
	{
		for (int c : queued)
			close(c);
		close(fd);
	}
};

void on_alarm(int) {}

} // namespace

TEST_F(SmapIo, LongReplyLinesMeetTheLimitAndNeverLeaveTheirRestBehind)
{
	// Reply lengths without the newline, and what the reply buffer holds.
	const std::string big(1000000, 'v');
	struct length_case {
		size_t length;
		std::string text;
		int connections; // a line too large to keep ends its connection
	};
	for (const auto& c : {length_case{100000, std::string(99997, 'v'), 1},
	                      length_case{100001, "socketmap reply too large", 2},
	                      length_case{1000000, "socketmap reply too large", 2}}) {
		serve([&](const std::string& q, int) -> server_reply {
			if (q.ends_with(" big"))
				return {"OK " + big.substr(0, c.length - 3) + "\n"};
			return echo(q);
		});
		// Too long for the 2048-byte result either way.
		EXPECT_EQ(lookup("big").status, -1) << c.length;
		EXPECT_EQ(smap_reply_text(), c.text) << c.length;
		// No byte of the long line answers the next query.
		EXPECT_EQ(lookup("next").value, "next") << c.length;
		EXPECT_EQ(server_->accepts(), c.connections) << c.length;
	}
}

TEST_F(SmapIo, NulInALongReplyEndsItsTextAsWhenTheWholeLineIsKept)
{
	// The text ends at the first NUL; it is too large only when no NUL
	// comes within the first 100001 bytes, however long the line is.
	for (size_t nul : {50ul, 100000ul, 100001ul, 150000ul}) {
		std::string line = "OK " + std::string(199997, 'v') + "\n";
		line[nul] = '\0';
		serve([&](const std::string& q, int) -> server_reply {
			if (q.ends_with(" big"))
				return {line};
			return echo(q);
		});
		lookup("big");
		std::string want =
		        nul <= 100000 ? std::string(nul - 3, 'v') : "socketmap reply too large";
		EXPECT_EQ(smap_reply_text(), want) << nul;
		EXPECT_EQ(lookup("next").value, "next") << nul;
	}
}

TEST_F(SmapIo, RepliesArrivingInPiecesAreJoined)
{
	serve([](const std::string& q, int) -> server_reply {
		if (q.ends_with(" short"))
			return {"OK sp", false, 0, "lit\n", 5};
		return {"OK " + std::string(3000, 'a') + std::string(3000, 'b'), false, 0,
		        std::string(3000, 'c') + "\n", 5};
	});
	EXPECT_EQ(lookup("short").value, "split");
	EXPECT_EQ(lookup("long").status, -1); // 9000 bytes do not fit the result
	EXPECT_EQ(smap_reply_text(),
	          std::string(3000, 'a') + std::string(3000, 'b') + std::string(3000, 'c'));
	EXPECT_EQ(server_->accepts(), 1);
}

TEST_F(SmapIo, ExtraLineSentWithTheReplyIsNeverTakenAsTheNextAnswer)
{
	// The surplus arrives in the same read as the reply, after a short
	// reply and after one too long to keep.
	for (const std::string& first :
	     {std::string("OK first"), "OK " + std::string(200000, 'x')}) {
		serve([&](const std::string& q, int) -> server_reply {
			if (q.ends_with(" a"))
				return {first + "\nOK stale\n"};
			return echo(q);
		});
		lookup("a");
		EXPECT_EQ(lookup("b").value, "b");
		EXPECT_EQ(lookup("c").value, "c");
		// The connection that carried the surplus was given up.
		EXPECT_EQ(server_->accepts(), 2);
	}
}

TEST_F(SmapIo, ReplyBufferHoldsNothingOfAnEarlierLongerReply)
{
	serve([](const std::string& q, int) -> server_reply {
		if (q.ends_with(" long"))
			return {"OK " + std::string(90000, 'x') + "\n"};
		if (q.ends_with(" huge"))
			return {"OK " + std::string(150000, 'x') + "\n"};
		return {"OK y\n"};
	});
	for (const char* earlier : {"long", "huge"}) {
		lookup(earlier);
		EXPECT_EQ(lookup("short").value, "y");
		std::string whole(smap_reply_text(), SMAP_REPLY_SIZE);
		EXPECT_EQ(whole.find('x'), std::string::npos) << earlier;
	}
}

TEST_F(SmapIo, LongKeyReachesTheServerWhole)
{
	serve([](const std::string&, int) -> server_reply { return {"NOTFOUND \n"}; });
	const std::string key(300000, 'k');
	EXPECT_EQ(lookup(key.c_str()).status, 0);
	auto queries = server_->queries();
	ASSERT_EQ(queries.size(), 1u);
	EXPECT_EQ(queries[0], std::string(tproto_table_name()) + " " + key);
}

TEST_F(SmapBound, TheBoundCoversTheWholeExchangeNotEachRead)
{
	// Every byte arrives well within the bound, the whole reply does not.
	serve([](const std::string& q, int) -> server_reply {
		if (q.ends_with(" slow")) {
			server_reply r{"OK slow-value\n"};
			r.trickle_ms = BOUND_MS / 4;
			return r;
		}
		return echo(q);
	});
	EXPECT_EQ(lookup("warm").value, "warm");
	EXPECT_EQ(lookup("slow").status, -1);
	EXPECT_STREQ(smap_reply_text(), "socketmap timed out");
	// The late rest of that reply never answers a later query.
	EXPECT_EQ(lookup("next").value, "next");
	EXPECT_EQ(server_->accepts(), 2);
}

TEST_F(SmapBound, AQueryThatCannotBeWrittenRunsIntoTheBound)
{
	// A server that accepted nothing and reads nothing: a query larger
	// than the socket buffers cannot be written whole.
	serve(echo);
	std::string path = server_->endpoint() + ".deaf";
	deaf_listener deaf(path, 0);
	smap_socket_path = path.c_str();
	const std::string key(8 << 20, 'k');
	auto r = logged_child([&] { _exit(lookup(key.c_str()).status == -1 ? 0 : 1); });
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(log_messages(r.err), std::vector<std::string>{"warn: socketmap timed out"});
	unlink(path.c_str());
}

TEST_F(SmapBound, ConnectIsBoundedToo)
{
	serve(echo);
	std::string path = server_->endpoint() + ".full";
	deaf_listener full(path, 4);
	smap_socket_path = path.c_str();
	auto r = logged_child([] { _exit(lookup("k").status == -1 ? 0 : 1); });
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(log_messages(r.err),
	          (std::vector<std::string>{"warn: connect: Resource temporarily unavailable",
	                                    "error connecting to " + path,
	                                    "warn: socketmap timed out"}));
	unlink(path.c_str());
}

TEST_F(SmapBound, AServerThatReadsSlowlyCannotStretchTheQuerysWrite)
{
	// Each wait for room in the socket is far shorter than the bound;
	// the whole key would take several bounds to be read.
	serve(echo);
	std::string path = server_->endpoint() + ".slow";
	int listener = listen_on(path, 1);
	ASSERT_NE(listener, -1);
	size_t taken = 0;
	std::thread reader([&] {
		int fd = accept_within(listener);
		char chunk[16384];
		for (ssize_t n; fd != -1 && (n = read(fd, chunk, sizeof chunk)) > 0; usleep(20000))
			taken += static_cast<size_t>(n);
		close(fd);
	});
	smap_socket_path = path.c_str();
	const std::string key(1 << 20, 'k');
	auto r = logged_child([&] { _exit(lookup(key.c_str()).status == -1 ? 0 : 1); });
	reader.join();
	close(listener);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(log_messages(r.err), std::vector<std::string>{"warn: socketmap timed out"});
	// The lookup gave up at its bound, before the server had the key.
	EXPECT_LT(taken, key.size());
	unlink(path.c_str());
}


TEST_F(SmapBound, AConnectInterruptedBySignalsCarriesOn)
{
	// The listen queue is full; signals keep arriving while the backend
	// waits for room in it, and the room comes only later.
	serve(echo);
	std::string path = server_->endpoint() + ".full";
	deaf_listener full(path, 4);
	int started[2];
	ASSERT_EQ(pipe(started), 0);
	std::thread server([&] {
		char byte;
		if (read(started[0], &byte, 1) != 1)
			return;
		usleep(300000);
		// The connection in the queue, then the backend's, which then
		// finds room.
		close(accept_within(full.fd));
		int fd = accept_within(full.fd);
		std::string query = read_line(fd);
		send_text(fd, "OK " + query.substr(query.find(' ') + 1) + "\n");
		close(fd);
	});
	smap_socket_path = path.c_str();
	auto r = logged_child([&] {
		smap_set_timeout_ms(10000);
		struct sigaction sa = {};
		sa.sa_handler = on_alarm; // no SA_RESTART
		sigaction(SIGALRM, &sa, nullptr);
		itimerval every = {{0, 50000}, {0, 50000}};
		setitimer(ITIMER_REAL, &every, nullptr);
		ssize_t ignored = write(started[1], "x", 1);
		(void)ignored;
		lookup_result found = lookup("k");
		_exit(found.status == 1 && found.value == "k" ? 0 : 1);
	});
	server.join();
	close(started[0]);
	close(started[1]);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(log_messages(r.err), std::vector<std::string>{});
	unlink(path.c_str());
}
