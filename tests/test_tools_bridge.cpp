// smap-serve as a bridge to a netstring server started by the test, on a
// local socket or over TCP.
#include "harness/child.hpp"
#include "tools_helpers.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
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
	// The TEMP reply for a failure of the upstream as written: `up`.
	std::string temp(const std::string& why)
	{
		return "TEMP upstream " + up + ": " + why;
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
	EXPECT_EQ(ask(fd, "t huge"), temp("reply exceeds 100000 bytes"));
	EXPECT_EQ(ask(fd, "t nocomma"), temp("netstring not terminated by ','"));
	EXPECT_EQ(ask(fd, "t badlen"), temp("malformed netstring length"));
	EXPECT_EQ(ask(fd, "t zero"), temp("malformed netstring length"));
	EXPECT_EQ(ask(fd, "t newline"), temp("reply contains a newline"));
	EXPECT_EQ(ask(fd, "t nul"), temp("reply contains a NUL byte"));
	// A second reply in the same read makes neither an answer: the query
	// is sent once more on a new connection, which does the same.
	EXPECT_EQ(ask(fd, "t twice"), temp("sent more than one reply"));
	EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	close(fd);
	// Every failure dropped its connection; each next query reconnected.
	EXPECT_EQ(upstream.connections(), 9);
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
	EXPECT_EQ(ask(fd, "t close"), temp("connection closed"));
	EXPECT_EQ(upstream.connections(), 3);

	long long start = monotonic_ms();
	EXPECT_EQ(ask(fd, "t stall"), temp("timed out"));
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
	EXPECT_EQ(reply.rfind(temp("cannot connect: "), 0), 0u) << reply;
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

TEST_F(Bridge, ReachesTheUpstreamInEveryEndpointForm)
{
	script_server local(up, true, upstream_by_key);
	script_server tcp4(AF_INET, true, upstream_by_key);
	ASSERT_TRUE(tcp4.listening());
	std::string port = std::to_string(tcp4.port);
	std::vector<std::string> forms = {up,
	                                  "unix:" + up,
	                                  "local:" + up,
	                                  "unix://" + up,
	                                  tcp4.endpoint,
	                                  "inet://127.0.0.1:" + port,
	                                  "INET:localhost:" + port};
	script_server tcp6(AF_INET6, true, upstream_by_key);
	if (tcp6.listening()) {
		forms.push_back(tcp6.endpoint);
		forms.push_back("inet://[::1]:" + std::to_string(tcp6.port));
	} else {
		printf("no ::1 here: the IPv6 forms are not tried\n");
	}
	for (const std::string& form : forms) {
		serve_process serve(dir, {"--upstream", form, sock}, sock);
		int fd = connect_to(sock);
		ASSERT_NE(fd, -1) << form;
		EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org") << form;
		EXPECT_EQ(ask(fd, "t bare"), "NOTFOUND ") << form;
		close(fd);
	}
	EXPECT_EQ(local.connections(), 4);
	EXPECT_EQ(tcp4.connections(), 3);

	// A port on which nothing listens: the reply and the warning name the
	// upstream as it was written.
	int bound = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof addr;
	ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&addr), len), 0);
	ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&addr), &len), 0);
	std::string refusing = "inet://localhost:" + std::to_string(ntohs(addr.sin_port));
	serve_process serve(dir, {"--upstream", refusing, sock}, sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	std::string why = "upstream " + refusing + ": cannot connect: Connection refused";
	EXPECT_EQ(ask(fd, "t alice"), "TEMP " + why);
	// Every address failed, so the name is resolved again; the port
	// then listens, and the next query gets through.
	ASSERT_EQ(listen(bound, 1), 0);
	const timeval wait = {5, 0};
	setsockopt(bound, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
	send_text(fd, "t alice\n");
	int conn = accept(bound, nullptr, nullptr);
	ASSERT_NE(conn, -1);
	char request[64];
	EXPECT_GT(recv(conn, request, sizeof request, 0), 0);
	send_text(conn, ns("OK listening now"));
	EXPECT_EQ(read_line(fd), "OK listening now");
	close(conn);
	close(fd);
	close(bound);
	std::string log = read_file(serve.log);
	EXPECT_NE(log.find("warn: " + why), std::string::npos) << log;
	EXPECT_EQ(log.find("cannot resolve"), std::string::npos) << log;
}

TEST_F(Bridge, AMalformedUpstreamIsACommandLineError)
{
	for (const char* bad : {"", "unix:", "inet:localhost", "inet:::1:25", "tcp:localhost:25"}) {
		spawned p({SMAP_SERVE_PATH, "--upstream", bad, sock});
		child_result r = p.finish(5000);
		EXPECT_EQ(r.status, 1) << bad;
		EXPECT_NE(r.err.find(std::string("bad upstream ") + bad + ": "), std::string::npos)
		        << r.err;
		EXPECT_NE(r.err.find("expected one of unix:PATH, local:PATH"), std::string::npos)
		        << r.err;
	}
	EXPECT_EQ(access(sock.c_str(), F_OK), -1) << "it never listened";
}

TEST_F(Bridge, PipelinedQueriesKeepTheirOrderAndNoSurplusAnswers)
{
	// "OK KEY" for every key; on the first connection, the reply to k7
	// comes with a stale netstring after it, and the reply to k12 is
	// followed later by one sent unasked on the idle connection.
	script_server upstream(up, true, [](const std::string& request, int connection) {
		std::string key = request.substr(request.find(' ') + 1);
		script_action a = {script_action::SEND, ns("OK " + key)};
		if (key == "k7" && connection == 1)
			a.bytes = ns("OK stale") + a.bytes;
		if (key == "k12")
			a = {script_action::SEND, a.bytes, ns("OK stale"), 100};
		return a;
	});
	serve_process serve(dir, args(), sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	std::string burst;
	for (int i = 0; i < 13; i++)
		burst += "t k" + std::to_string(i) + "\n";
	send_text(fd, burst);
	for (int i = 0; i < 13; i++)
		EXPECT_EQ(read_line(fd), "OK k" + std::to_string(i));
	usleep(300000);
	EXPECT_EQ(ask(fd, "t after"), "OK after");
	close(fd);
	// k7 was sent again on a second connection; the stale netstring on
	// it, idle after k12, made the next query take a third.
	EXPECT_EQ(upstream.connections(), 3);
	std::string log = read_file(serve.log);
	EXPECT_NE(log.find("sent more than one reply, reconnecting"), std::string::npos) << log;
	EXPECT_NE(log.find("sent data nobody asked for"), std::string::npos) << log;
}

TEST_F(Bridge, AFullListenQueueIsWaitedForWithinTheBound)
{
	// An upstream whose listen queue holds one connection, taken by a
	// filler: the bridge's connect finds the queue full.
	int listener = listen_on(up, 0);
	ASSERT_NE(listener, -1);
	int filler = connect_to(up);
	ASSERT_NE(filler, -1);
	const timeval bound = {5, 0};
	setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

	serve_process serve(dir, {"--timeout", "3", "--upstream", up, sock}, sock);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	send_text(fd, "t k\n");
	usleep(300000);
	close(accept(listener, nullptr, nullptr)); // the filler's place
	int conn = accept(listener, nullptr, nullptr);
	ASSERT_NE(conn, -1);
	setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	std::string request;
	char c;
	while (request.size() < 6 && recv(conn, &c, 1, 0) == 1)
		request.push_back(c);
	EXPECT_EQ(request, ns("t k"));
	send_text(conn, ns("OK waited"));
	EXPECT_EQ(read_line(fd), "OK waited");
	close(conn);
	close(fd);
	close(filler);
	close(listener);
}

} // namespace
