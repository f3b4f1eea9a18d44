// SPDX-License-Identifier: ISC
// smap-serve as a bridge to a netstring server started by the test, on a
// local socket or over TCP; and the bridge module itself, in this
// process, where a rule needs a clock that the test sets.
#include "harness/child.hpp"
#include "harness/fake_server.hpp"
#include "harness/logs.hpp"
#include "harness/sockets.hpp"
#include "serve/fixture.hpp"
#include "support/log.hpp"
#include "tools/serve/bridge.hpp"
#include "tools/serve/cacheconf.hpp"
#include "tools/serve/client.hpp"
#include "tools/serve/source.hpp"
#include "tools/serve/upconn.hpp"

#include <algorithm>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

// Answers by key: the query's key picks the upstream's behaviour.
// "closeonce", "stallonce" and "lateclose" misbehave when `first`.
server_reply reply_for_key(const std::string& request, bool first)
{
	std::string key = request.substr(request.find(' ') + 1);
	if (key == "alice")
		return {netstring("OK alice@example.org")};
	if (key == "bare")
		return {netstring("NOTFOUND")};
	if (key == "busy")
		return {netstring("TEMP busy")};
	if (key == "spaced")
		return {netstring("NOTFOUND ")};
	if (key == "max")
		return {netstring("OK " + std::string(100000 - 3, 'v'))};
	if (key == "huge")
		return {netstring("OK " + std::string(100000 - 2, 'v'))};
	if (key == "nocomma")
		return {"5:OK xy;"};
	if (key == "badlen")
		return {"5x:OK xy,"};
	if (key == "zero")
		return {"05:OK xy,"};
	if (key == "newline")
		return {netstring("OK two\nlines")};
	if (key == "nul")
		return {netstring(std::string("OK a\0b", 6))};
	if (key == "twice")
		return {netstring("OK first") + netstring("OK stale")};
	if (key == "closeonce")
		return first ? server_reply{"", true}
		             : server_reply{netstring("OK second connection")};
	if (key == "close")
		return {"3:OK ", true}; // a partial reply, then gone
	if (key == "stall" || key.starts_with("stall-"))
		return {.stall = true};
	if (key == "stallonce")
		return first ? server_reply{.stall = true}
		             : server_reply{netstring("OK after stall")};
	// Slow, as a resolver that does real work per query.
	if (key == "slow300")
		return {netstring("OK slow"), false, 300};
	if (key == "slow4500")
		return {netstring("OK slower"), false, 4500};
	// Closes the first connection late, then answers as late.
	if (key == "lateclose")
		return first ? server_reply{"", true, 1000}
		             : server_reply{netstring("OK late"), false, 1000};
	return {netstring("NOTFOUND ")};
}

server_reply upstream_by_key(const std::string& request, int)
{
	return reply_for_key(request, false);
}

struct Bridge : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string up = dir.file("up");
	spawn_options logged = {.log = dir.file("serve.log")};

	// smap-serve bridging to `up` with a bound of 0.3 s.
	std::vector<std::string> bridge()
	{
		return {SMAP_SERVE_PATH, "--timeout", "0.3", "--upstream", up, sock};
	}
	// The TEMP reply for a failure of the upstream as written: `up`.
	std::string temp(const std::string& why)
	{
		return "TEMP upstream " + up + ": " + why;
	}
};

TEST_F(Bridge, ForwardsAndTranslatesReplies)
{
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	server_process serve(bridge(), sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(ask(fd, "aliases alice"), "OK alice@example.org");
	EXPECT_EQ(ask(fd, "aliases bare"), "NOTFOUND ");
	EXPECT_EQ(ask(fd, "aliases spaced"), "NOTFOUND ");
	EXPECT_EQ(ask(fd, "aliases max"), "OK " + std::string(100000 - 3, 'v'));
	EXPECT_EQ(ask(fd, "aliases alice"), "OK alice@example.org");
	// Each query went out as one netstring of the query line, on one
	// connection.
	std::vector<std::string> seen = upstream.queries();
	ASSERT_EQ(seen.size(), 5u);
	EXPECT_EQ(seen[0], "aliases alice");
	EXPECT_EQ(seen[3], "aliases max");
	EXPECT_EQ(upstream.accepts(), 1);
	close(fd);
}

TEST_F(Bridge, RepliesThatCannotBeOneLineBecomeTemp)
{
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	server_process serve(bridge(), sock, logged);
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
	EXPECT_EQ(upstream.accepts(), 9);
}

TEST_F(Bridge, EachQueryHasOneBoundAndATimedOutOneIsNeverSentAgain)
{
	struct row {
		const char* key;
		const char* bound;  // null: the default
		std::string answer; // "TEMP upstream UPSTREAM: " and `failure`, when that is set
		size_t asked;
		const char* failure = nullptr;
		const char* logged = nullptr; // a warning that must be in the log
	};
	const row rows[] = {
	        {"stall", "0.3", "", 1, "timed out"},
	        // It would be answered if asked again.
	        {"stallonce", "0.3", "", 1, "timed out"},
	        {"slow300", "2", "OK slow", 1},
	        // Closed at 1 s and asked again: the second answer would come
	        // at 2 s, past the bound the two share.
	        {"lateclose", "1.5", "", 2, "timed out"},
	        // Past what two attempts of a per-attempt bound would allow.
	        {"slow4500", nullptr, "OK slower", 1},
	        // Closed once: asked again on a new connection. Closed on the new
	        // one too: given up, never asked a third time. A close before any
	        // byte of the reply marks the upstream down.
	        {"closeonce", "0.3", "OK second connection", 2, nullptr,
	         "is down: connection closed"},
	        {"close", "0.3", "", 2, "connection closed", "connection closed, reconnecting"},
	};
	// The rows run side by side, each with its own upstream and server:
	// the slow ones wait at the same time.
	auto run = [this](const row& c, size_t n) {
		std::string upstream_path = dir.file("up" + std::to_string(n));
		std::string socket = dir.file("s" + std::to_string(n));
		std::atomic<int> seen{0};
		fake_server upstream([&seen](const std::string& q,
		                             int) { return reply_for_key(q, seen++ == 0); },
		                     upstream_path, framing::netstrings);
		std::vector<std::string> argv = {SMAP_SERVE_PATH, "--upstream", upstream_path,
		                                 socket};
		if (c.bound != nullptr)
			argv.insert(argv.begin() + 1, {"--timeout", c.bound});
		std::string log = dir.file("serve" + std::to_string(n) + ".log");
		server_process serve(argv, socket, {.log = log});
		int fd = connect_to(socket, 15000);
		ASSERT_NE(fd, -1);
		std::string key = std::string("t ") + c.key;
		std::string answer = c.failure != nullptr
		                             ? "TEMP upstream " + upstream_path + ": " + c.failure
		                             : c.answer;
		EXPECT_EQ(ask(fd, key), answer) << c.key;
		std::vector<std::string> seen_queries = upstream.queries();
		EXPECT_EQ(std::count(seen_queries.begin(), seen_queries.end(), key), c.asked)
		        << c.key;
		// Whatever came late on the dropped connection answers nothing.
		EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org") << c.key;
		close(fd);
		if (c.logged != nullptr) {
			EXPECT_NE(read_file(log).find(c.logged), std::string::npos) << c.key;
		}
	};
	std::vector<std::future<void>> running;
	for (size_t n = 0; n < std::size(rows); n++)
		running.push_back(std::async(std::launch::async, run, std::cref(rows[n]), n));
	for (auto& r : running)
		r.get();
}

TEST_F(Bridge, SurvivesAnUpstreamRestartAndAnAbsentUpstream)
{
	server_process serve(bridge(), sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	// Nothing listens: answered at once, no retry loop.
	std::string reply = ask(fd, "t alice");
	EXPECT_EQ(reply.rfind(temp("cannot connect: "), 0), 0u) << reply;
	{
		fake_server upstream(upstream_by_key, up, framing::netstrings);
		EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	}
	// The idle connection died with the upstream; the new upstream is
	// reached by the next query.
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	close(fd);
}

TEST_F(Bridge, AStalledExchangeHoldsUpOnlyItsClient)
{
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	server_process serve({SMAP_SERVE_PATH, "--timeout", "3", "--upstream", up, sock}, sock,
	                     logged);
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
	EXPECT_TRUE(serve.running());
}

TEST_F(Bridge, ClientsThatLeaveWhileTheUpstreamStallsFreeTheirSlots)
{
	// Every slot holds a client waiting on a stalled upstream; they leave,
	// and a newcomer is admitted at once, not after the bound of 30 s.
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	server_process serve({SMAP_SERVE_PATH, "--timeout", "30", "--upstream", up, sock}, sock,
	                     {.log = logged.log, .nofile = 24});
	int slots = client_slots(logged.log);
	ASSERT_GT(slots, 0);
	std::vector<int> waiting;
	for (int i = 0; i < slots; i++) {
		waiting.push_back(connect_to(sock));
		// Keys of their own: identical queries would wait on one exchange.
		send_text(waiting.back(), "t stall-" + std::to_string(i) + "\n");
	}
	long long end = monotonic_ms() + 5000;
	while (upstream.queries().size() < size_t(slots) && monotonic_ms() < end)
		usleep(10000);
	ASSERT_EQ(upstream.queries().size(), size_t(slots)) << "every slot waits on the upstream";
	for (int fd : waiting)
		close(fd);
	int fresh = connect_to(sock);
	EXPECT_EQ(ask(fresh, "t alice"), "OK alice@example.org");
	close(fresh);
}

TEST_F(Bridge, ReachesTheUpstreamInEveryEndpointForm)
{
	fake_server local(upstream_by_key, up, framing::netstrings);
	fake_server tcp4(upstream_by_key, "inet:127.0.0.1:0", framing::netstrings);
	ASSERT_TRUE(tcp4.listening());
	std::string port = std::to_string(tcp4.port());
	std::vector<std::string> forms = {up,
	                                  "unix:" + up,
	                                  "local:" + up,
	                                  "unix://" + up,
	                                  tcp4.endpoint(),
	                                  "inet://127.0.0.1:" + port,
	                                  "INET:localhost:" + port};
	fake_server tcp6(upstream_by_key, "inet:[::1]:0", framing::netstrings);
	if (tcp6.listening()) {
		forms.push_back(tcp6.endpoint());
		forms.push_back("inet://[::1]:" + std::to_string(tcp6.port()));
	} else {
		printf("no ::1 here: the IPv6 forms are not tried\n");
	}
	for (const std::string& form : forms) {
		server_process serve({SMAP_SERVE_PATH, "--upstream", form, sock}, sock, logged);
		int fd = connect_to(sock);
		ASSERT_NE(fd, -1) << form;
		EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org") << form;
		EXPECT_EQ(ask(fd, "t bare"), "NOTFOUND ") << form;
		close(fd);
	}
	EXPECT_EQ(local.accepts(), 4);
	EXPECT_EQ(tcp4.accepts(), 3);

	// A port on which nothing listens: the reply and the warning name the
	// upstream as it was written.
	fake_server later([](const std::string&, int) { return server_reply{netstring("OK now")}; },
	                  "inet:127.0.0.1:0", framing::netstrings);
	later.stop();
	std::string refusing = "inet://localhost:" + std::to_string(later.port());
	server_process serve({SMAP_SERVE_PATH, "--upstream", refusing, sock}, sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	std::string why = "cannot connect: Connection refused";
	EXPECT_EQ(ask(fd, "t alice"), "TEMP upstream " + refusing + ": " + why);
	// Every address failed, so the name is resolved again; the port
	// then listens, and the next query gets through.
	later.start();
	ASSERT_TRUE(later.listening());
	EXPECT_EQ(ask(fd, "t alice"), "OK now");
	EXPECT_EQ(later.queries(), std::vector<std::string>{"t alice"});
	close(fd);
	std::string log = read_file(serve.log());
	EXPECT_NE(log.find("warn: upstream " + refusing + " is down: " + why), std::string::npos)
	        << log;
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
	auto script = [](const std::string& request, int connection) {
		std::string key = request.substr(request.find(' ') + 1);
		server_reply r = {netstring("OK " + key)};
		if (key == "k7" && connection == 1)
			r.data = netstring("OK stale") + r.data;
		if (key == "k12") {
			r.later = netstring("OK stale");
			r.later_ms = 100;
		}
		return r;
	};
	fake_server upstream(script, up, framing::netstrings);
	server_process serve(bridge(), sock, logged);
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
	EXPECT_EQ(upstream.accepts(), 3);
	std::string log = read_file(serve.log());
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

	server_process serve({SMAP_SERVE_PATH, "--timeout", "3", "--upstream", up, sock}, sock,
	                     logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	send_text(fd, "t k\n");
	usleep(300000);
	close(accept(listener, nullptr, nullptr)); // the filler's place
	int conn = accept(listener, nullptr, nullptr);
	ASSERT_NE(conn, -1);
	setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	EXPECT_EQ(read_bytes(conn, 6), netstring("t k"));
	send_text(conn, netstring("OK waited"));
	EXPECT_EQ(read_line(fd), "OK waited");
	close(conn);
	close(fd);
	close(filler);
	close(listener);
}

TEST_F(Bridge, AReusedConnectionClosedBeforeItTookTheQueryCostsNoAttempt)
{
	// The upstream, driven by hand, answers "t a" on its first connection
	// and closes that as "t b" arrives: unread (the upstream closing an
	// idle connection just as the query goes out), or read. Each later
	// connection reads "t b"; the next closes without a reply.
	for (bool read_first : {false, true}) {
		unlink(up.c_str());
		int listener = listen_on(up, 4);
		ASSERT_NE(listener, -1);
		server_process serve({SMAP_SERVE_PATH, "--timeout", "5", "--upstream", up, sock},
		                     sock, logged);
		int fd = connect_to(sock);
		ASSERT_NE(fd, -1);
		send_text(fd, "t a\n");
		int first = accept_within(listener);
		EXPECT_EQ(read_bytes(first, 6), netstring("t a"));
		send_text(first, netstring("OK a"));
		EXPECT_EQ(read_line(fd), "OK a");
		send_text(fd, "t b\n");
		pollfd arrived = {first, POLLIN, 0};
		ASSERT_EQ(poll(&arrived, 1, 5000), 1);
		if (read_first) {
			EXPECT_EQ(read_bytes(first, 6), netstring("t b"));
		}
		close(first);
		int second = accept_within(listener);
		EXPECT_EQ(read_bytes(second, 6), netstring("t b")) << read_first;
		close(second);
		if (read_first) {
			// Read twice: given up.
			EXPECT_EQ(read_line(fd), temp("connection closed"));
		} else {
			int third = accept_within(listener);
			EXPECT_EQ(read_bytes(third, 6), netstring("t b"));
			send_text(third, netstring("OK b"));
			EXPECT_EQ(read_line(fd), "OK b");
			close(third);
		}
		pollfd more = {listener, POLLIN, 0};
		EXPECT_EQ(poll(&more, 1, 0), 0) << "no further connection";
		close(fd);
		close(listener);
	}
}

// The bridge in this process, with the clock standing where the test puts
// it: the bound never runs out.
struct module_bridge {
	source* bridge;
	std::map<const client*, std::string> answered; // answers not yet taken

	// Asks as `who` at `now`; "<pending>" when the answer does not come at
	// once and `wait` is false.
	std::string ask(client* who, const std::string& query, int64_t now, bool wait = true)
	{
		std::string reply;
		if (bridge->ask(who, query, now, &reply))
			return reply;
		return wait ? answer(who, now) : "<pending>";
	}

	// Runs the bridge until `who` has its answer.
	std::string answer(const client* who, int64_t now)
	{
		std::vector<pollfd> fds;
		std::vector<source_answer> answers;
		for (int rounds = 0; rounds < 100 && answered.count(who) == 0; rounds++) {
			fds.clear();
			answers.clear();
			bridge->poll_set(&fds);
			poll(fds.data(), fds.size(), 100);
			bridge->run(fds.data(), now, &answers);
			for (source_answer& a : answers)
				answered[a.who] = a.reply;
		}
		auto it = answered.find(who);
		if (it == answered.end())
			return "<no answer>";
		std::string reply = it->second;
		answered.erase(it);
		return reply;
	}
};

std::string ask_module(source* bridge, const std::string& query, int64_t now)
{
	module_bridge m = {bridge, {}};
	client who;
	return m.ask(&who, query, now);
}

TEST_F(Bridge, AConnectionIdleForTheLimitIsNotReused)
{
	log_start(1);
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	endpoint ep;
	std::string why;
	ASSERT_TRUE(endpoint_parse(up, &ep, &why));
	std::unique_ptr<source> bridge = source_bridge(ep, 5000);
	int64_t t = 1000000, last = t + UPCONN_IDLE_MS - 1;
	EXPECT_EQ(ask_module(bridge.get(), "t alice", t), "OK alice@example.org");
	EXPECT_EQ(ask_module(bridge.get(), "t alice", last), "OK alice@example.org");
	EXPECT_EQ(upstream.accepts(), 1) << "reused within the limit";
	EXPECT_EQ(ask_module(bridge.get(), "t alice", last + UPCONN_IDLE_MS),
	          "OK alice@example.org");
	EXPECT_EQ(upstream.accepts(), 2);
}

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

// --- Several upstreams, one query per key, the cache ---------------------------

TEST_F(Bridge, AQueryGoesToTheFirstUpstreamUpAndOnToTheNextWhenItFails)
{
	// The first upstream as each row has it, the second answering every key.
	struct row {
		const char* first; // "absent", or the key its script answers with
		const char* key;
		std::string answer; // with "UP1" for the first upstream's name
		size_t first_read, second_read;
		const char* logged; // after "warn: upstream UP1", once; null: nothing
	};
	const row rows[] = {
	        {"absent", "alice", "OK alice@example.org", 0, 3, " is down: cannot connect: "},
	        // Closed before a byte of the reply: read once, never again.
	        {"closeonce", "x", "OK alice@example.org", 1, 3, " is down: connection closed"},
	        // It took the query and stays silent: the bound is its own.
	        {"stall", "x", "TEMP upstream UP1: timed out", 1, 0, ": timed out"},
	        // Its TEMP is its answer.
	        {"busy", "x", "TEMP busy", 3, 0, nullptr},
	        {"alice", "x", "OK alice@example.org", 3, 0, nullptr},
	};
	for (const row& r : rows) {
		unlink(logged.log.c_str());
		std::string up1 = dir.file("up1"), up2 = dir.file("up2");
		std::string mode = r.first;
		auto first_script = [mode](const std::string&, int connection) {
			return reply_for_key("t " + mode, connection == 1);
		};
		std::unique_ptr<fake_server> first;
		if (mode != "absent")
			first = std::make_unique<fake_server>(first_script, up1,
			                                      framing::netstrings);
		fake_server second(
		        [](const std::string&, int) { return reply_for_key("t alice", false); },
		        up2, framing::netstrings);
		server_process serve(
		        {SMAP_SERVE_PATH, "--timeout", "0.3", "-u", up1, "-u", up2, sock}, sock,
		        logged);
		int fd = connect_to(sock);
		ASSERT_NE(fd, -1);
		std::string want = r.answer;
		if (size_t at = want.find("UP1"); at != std::string::npos)
			want.replace(at, 3, up1);
		// The stalled query is asked once: a second would wait as long.
		int asks = mode == "stall" ? 1 : 3;
		for (int i = 0; i < asks; i++) {
			std::string key = "t " + std::string(r.key) + std::to_string(i);
			std::string got = ask(fd, key);
			EXPECT_EQ(got.substr(0, want.size()), want)
			        << mode << " " << i << ": " << got;
		}
		close(fd);
		EXPECT_EQ(first ? first->queries().size() : 0u,
		          std::min<size_t>(r.first_read, asks))
		        << mode;
		EXPECT_EQ(second.queries().size(), r.second_read) << mode;
		std::string log = read_file(serve.log());
		if (r.logged != nullptr) {
			EXPECT_EQ(count_of(log, "warn: upstream " + up1 + r.logged), 1u)
			        << mode << "\n"
			        << log;
		}
		EXPECT_NE(log.find("bridging to " + up1 + ", " + up2), std::string::npos) << log;
	}
}

TEST_F(Bridge, IdenticalQueriesWaitOnOneExchangeEvenWhenItsClientLeaves)
{
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	server_process serve({SMAP_SERVE_PATH, "--upstream", up, sock}, sock, logged);
	constexpr int CLIENTS = 8;
	std::vector<int> fds;
	for (int i = 0; i < CLIENTS; i++) {
		fds.push_back(connect_to(sock));
		ASSERT_NE(fds.back(), -1);
	}
	// The first to ask carries the exchange; it leaves once the upstream has
	// the query, and the others still get the reply. One of them asks
	// another key behind it: its replies keep their order.
	send_text(fds[0], "t slow300\n");
	long long end = monotonic_ms() + 5000;
	while (upstream.queries().empty() && monotonic_ms() < end)
		usleep(5000);
	for (int i = 1; i < CLIENTS; i++)
		send_text(fds[i], i == 1 ? "t slow300\nt alice\n" : "t slow300\n");
	usleep(50000);
	close(fds[0]);
	for (int i = 1; i < CLIENTS; i++)
		EXPECT_EQ(read_line(fds[i]), "OK slow") << i;
	EXPECT_EQ(read_line(fds[1]), "OK alice@example.org");
	for (int i = 1; i < CLIENTS; i++)
		close(fds[i]);
	EXPECT_EQ(count_of(read_file(serve.log()), "slow"), 0u);
	std::vector<std::string> seen = upstream.queries();
	EXPECT_EQ(std::count(seen.begin(), seen.end(), "t slow300"), 1) << "one query per key";
	EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Bridge, TheCacheAnswersRepeatsAndSighupEmptiesIt)
{
	fake_server upstream(upstream_by_key, up, framing::netstrings);
	server_process serve(
	        {SMAP_SERVE_PATH, "--cache-ttl", "300", "--cache-ttl", "off=0", "-u", up, sock},
	        sock, logged);
	int fd = connect_to(sock);
	ASSERT_NE(fd, -1);
	for (int round = 0; round < 3; round++) {
		EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
		EXPECT_EQ(ask(fd, "t bare"), "NOTFOUND ");
		EXPECT_EQ(ask(fd, "t busy"), "TEMP busy");
		EXPECT_EQ(ask(fd, "off alice"), "OK alice@example.org");
	}
	std::vector<std::string> seen = upstream.queries();
	auto read = [&seen](const char* q) { return std::count(seen.begin(), seen.end(), q); };
	EXPECT_EQ(read("t alice"), 1);
	EXPECT_EQ(read("t bare"), 1);
	EXPECT_EQ(read("t busy"), 3) << "a TEMP is never kept";
	EXPECT_EQ(read("off alice"), 3);
	kill(serve.pid(), SIGHUP);
	EXPECT_TRUE(log_shows(serve.log(), "SIGHUP: cache emptied, 2 entries dropped"));
	EXPECT_EQ(ask(fd, "t alice"), "OK alice@example.org");
	seen = upstream.queries();
	EXPECT_EQ(read("t alice"), 2);
	close(fd);
}

TEST_F(Bridge, ExpiredAnswersStandInWhileTheUpstreamFails)
{
	log_start(1);
	auto upstream = std::make_unique<fake_server>(upstream_by_key, up, framing::netstrings);
	endpoint ep;
	std::string why;
	ASSERT_TRUE(endpoint_parse(up, &ep, &why));
	cache_config config;
	ASSERT_TRUE(cacheconf_parse_ttl(&config.positive, "10", &why));
	config.stale_ms = 60000;
	std::unique_ptr<source> bridge = source_bridge({ep}, 5000, config);
	module_bridge m = {bridge.get(), {}};
	const int64_t t = 1000000, expired = t + 11000;
	client a, b;
	EXPECT_EQ(m.ask(&a, "t alice", t), "OK alice@example.org");
	EXPECT_EQ(m.ask(&a, "t spaced", t), "NOTFOUND ");
	// A flight under way when the cache is emptied does not fill it.
	EXPECT_EQ(m.ask(&b, "t slow300", t, false), "<pending>");
	m.bridge->hangup();
	EXPECT_EQ(m.ask(&a, "t alice", t), "OK alice@example.org");
	EXPECT_EQ(m.ask(&a, "t spaced", t), "NOTFOUND ");
	EXPECT_EQ(m.answer(&b, t), "OK slow");
	upstream.reset();

	// Expired, with the upstream gone: the connect fails, and the entry
	// stands in; a key never kept gets the failure.
	EXPECT_EQ(m.ask(&a, "t alice", expired), "OK alice@example.org");
	std::string failed = m.ask(&a, "t slow300", expired);
	EXPECT_EQ(failed.rfind("TEMP upstream " + up + ": cannot connect: ", 0), 0u) << failed;
	// Now the upstream is down: an expired entry answers at once, without a
	// connect, even to a listener that would take it.
	int listener = listen_on(up, 4);
	ASSERT_NE(listener, -1);
	EXPECT_EQ(m.ask(&a, "t spaced", expired, false), "NOTFOUND ");
	pollfd waiting = {listener, POLLIN, 0};
	EXPECT_EQ(poll(&waiting, 1, 50), 0) << "no connect";
	close(listener);
}

TEST_F(Bridge, CacheOptionsAndUpstreamsAreCheckedAtStart)
{
	struct row {
		std::vector<std::string> args;
		const char* error; // in the log
	};
	std::vector<std::string> seventeen;
	for (int i = 0; i < 17; i++)
		seventeen.insert(seventeen.end(), {"-u", up});
	seventeen.push_back(sock);
	const row rows[] = {
	        {{"--cache-ttl", "5m", "-u", up, sock},
	         "fatal: bad --cache-ttl 5m: expected whole seconds from 0 to 31536000"},
	        {{"--cache-size", "0", "-u", up, sock},
	         "fatal: bad --cache-size 0: expected a whole number from 1 to "},
	        {{"-u", up, "-u", "tcp:x:1", sock}, "fatal: bad upstream tcp:x:1: "},
	        {seventeen, "fatal: too many upstreams: at most 16"},
	        {{"--cache-ttl", "300", sock, dir.path}, "usage: smap-serve"},
	};
	for (const row& r : rows) {
		std::string err = refused_start(dir, r.args);
		EXPECT_NE(err.find(r.error), std::string::npos) << r.error << "\n" << err;
	}
}

} // namespace
