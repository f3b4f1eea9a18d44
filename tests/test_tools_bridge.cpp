// smap-serve as a bridge to a netstring server started by the test.
#include "tools_helpers.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string ns(const std::string& payload)
{
	return std::to_string(payload.size()) + ":" + payload + ",";
}

script_action send_bytes(const std::string& bytes)
{
	return {script_action::SEND, bytes};
}

// How often "closeonce" and "stallonce" were asked.
std::atomic<int> close_once_seen;
std::atomic<int> stall_once_seen;

// Answers by key: the query's key picks the upstream's behaviour.
script_action upstream_by_key(const std::string& request, int)
{
	std::string key = request.substr(request.find(' ') + 1);
	if (key == "alice")
		return send_bytes(ns("OK alice@example.org"));
	if (key == "bare")
		return send_bytes(ns("NOTFOUND"));
	if (key == "spaced")
		return send_bytes(ns("NOTFOUND "));
	if (key == "max")
		return send_bytes(ns("OK " + std::string(100000 - 3, 'v')));
	if (key == "huge")
		return send_bytes(ns("OK " + std::string(100000 - 2, 'v')));
	if (key == "nocomma")
		return send_bytes("5:OK xy;");
	if (key == "badlen")
		return send_bytes("5x:OK xy,");
	if (key == "zero")
		return send_bytes("05:OK xy,");
	if (key == "newline")
		return send_bytes(ns("OK two\nlines"));
	if (key == "nul")
		return send_bytes(ns(std::string("OK a\0b", 6)));
	if (key == "twice")
		return send_bytes(ns("OK first") + ns("OK stale"));
	if (key == "closeonce" && close_once_seen++ == 0)
		return {script_action::CLOSE, ""};
	if (key == "closeonce")
		return send_bytes(ns("OK second connection"));
	if (key == "close")
		return {script_action::CLOSE, "3:OK "}; // a partial reply, then gone
	if (key == "stall")
		return {script_action::STALL, ""};
	if (key == "stallonce" && stall_once_seen++ == 0)
		return {script_action::STALL, ""};
	if (key == "stallonce")
		return send_bytes(ns("OK after stall"));
	return send_bytes(ns("NOTFOUND "));
}

struct Bridge : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string up = dir.file("up");

	void SetUp() override
	{
		close_once_seen = 0;
		stall_once_seen = 0;
	}
	std::vector<std::string> args()
	{
		return {"--timeout", "0.3", "--upstream", up, sock};
	}
};

TEST_F(Bridge, ForwardsAndTranslatesReplies)
{
	script_server upstream(up, true, upstream_by_key);
	serve_process serve(dir, args(), sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "aliases alice"), "OK alice@example.org");
	EXPECT_EQ(ask(fd, "aliases bare"), "NOTFOUND ");
	EXPECT_EQ(ask(fd, "aliases spaced"), "NOTFOUND ");
	EXPECT_EQ(ask(fd, "aliases max"), "OK " + std::string(100000 - 3, 'v'));
	EXPECT_EQ(ask(fd, "aliases alice"), "OK alice@example.org");
	// Each query went out as one netstring of the query line, on one
	// connection.
	std::vector<std::string> seen = upstream.requests();
	ASSERT_EQ(seen.size(), 5u);
	EXPECT_EQ(seen[0], "aliases alice");
	EXPECT_EQ(seen[3], "aliases max");
	EXPECT_EQ(upstream.connections(), 1);
	close(fd);
}

TEST_F(Bridge, RepliesThatCannotBeOneLineBecomeTemp)
{
	script_server upstream(up, true, upstream_by_key);
	serve_process serve(dir, args(), sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "t huge"), "TEMP reply exceeds 100000 bytes");
	EXPECT_EQ(ask(fd, "t nocomma"), "TEMP netstring not terminated by ','");
	EXPECT_EQ(ask(fd, "t badlen"), "TEMP malformed netstring length");
	EXPECT_EQ(ask(fd, "t zero"), "TEMP malformed netstring length");
	EXPECT_EQ(ask(fd, "t newline"), "TEMP reply contains a newline");
	EXPECT_EQ(ask(fd, "t nul"), "TEMP reply contains a NUL byte");
	// A second reply nobody asked for is never taken as a later answer.
	EXPECT_EQ(ask(fd, "t twice"), "OK first");
	EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	close(fd);
	// Every failure dropped its connection; each next query reconnected.
	EXPECT_EQ(upstream.connections(), 8);
}

TEST_F(Bridge, ReconnectsOnceWhenTheUpstreamClosesOrStalls)
{
	script_server upstream(up, true, upstream_by_key);
	serve_process serve(dir, args(), sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "t closeonce"), "OK second connection");
	EXPECT_EQ(upstream.connections(), 2);
	// Closed on the reused connection, then on the new one: given up.
	EXPECT_EQ(ask(fd, "t close"), "TEMP connection closed");
	EXPECT_EQ(upstream.connections(), 3);

	long long start = monotonic_ms();
	EXPECT_EQ(ask(fd, "t stall"), "TEMP timed out");
	long long took = monotonic_ms() - start;
	EXPECT_GE(took, 500); // two attempts of 0.3 s each
	EXPECT_EQ(upstream.connections(), 5);
	EXPECT_EQ(ask(fd, "t stallonce"), "OK after stall");
	EXPECT_EQ(upstream.connections(), 7);
	close(fd);
	std::string log = read_file(serve.log);
	EXPECT_NE(log.find("connection closed, reconnecting"), std::string::npos) << log;
	EXPECT_NE(log.find("timed out, reconnecting"), std::string::npos) << log;
}

TEST_F(Bridge, SurvivesAnUpstreamRestartAndAnAbsentUpstream)
{
	serve_process serve(dir, args(), sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	// Nothing listens: answered at once, no retry loop.
	std::string reply = ask(fd, "t alice");
	EXPECT_EQ(reply.rfind("TEMP cannot connect: ", 0), 0u) << reply;
	{
		script_server upstream(up, true, upstream_by_key);
		EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	}
	// The idle connection died with the upstream; the new upstream is
	// reached by the next query.
	script_server upstream(up, true, upstream_by_key);
	EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	close(fd);
}

TEST_F(Bridge, AStalledExchangeHoldsUpOnlyItsClient)
{
	script_server upstream(up, true, upstream_by_key);
	serve_process serve(dir, {"--timeout", "3", "--upstream", up, sock}, sock);
	int stalled = connect_to(sock);
	int other = connect_to(sock);
	ASSERT_NE(stalled, -1);
	ASSERT_NE(other, -1);
	send_text(stalled, "t stall\n");
	usleep(50000);
	long long start = monotonic_ms();
	for (int i = 0; i < 20; i++)
		EXPECT_EQ(ask(other, "t alice"), "OK alice@example.org");
	EXPECT_LT(monotonic_ms() - start, 1500);
	// The stalled client leaves; the server goes on.
	close(stalled);
	EXPECT_EQ(ask(other, "t bare"), "NOTFOUND ");
	close(other);
	EXPECT_EQ(waitpid(serve.pid, nullptr, WNOHANG), 0);
}

} // namespace
