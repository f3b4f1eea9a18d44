// SPDX-License-Identifier: ISC
// smap-query against scripted servers, and the whole chain: the backend
// asking smap-serve, as the demo shows it.
#include "harness/child.hpp"
#include "harness/fake_server.hpp"
#include "harness/sockets.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Runs a program to its end with `input` on its standard input.
child_result run(const std::vector<std::string>& argv, const std::string& input = "")
{
	spawned p(argv);
	p.send(input);
	return p.finish(20000);
}

// Line replies picked by key.
server_reply line_by_key(const std::string& request, int)
{
	std::string key = request.substr(request.find(' ') + 1);
	if (key == "found")
		return {"OK the value\n"};
	if (key == "missing")
		return {"NOTFOUND \n"};
	if (key == "temp")
		return {"TEMP try later\n"};
	if (key == "timeout")
		return {"TIMEOUT slow\n"};
	if (key == "perm")
		return {"PERM no\n"};
	if (key == "bare")
		return {"NOTFOUND\n"};
	if (key == "huge")
		return {"OK " + std::string(100000, 'v') + "\n"};
	if (key == "hangup")
		return {"", true};
	if (key == "twice")
		return {"OK first\nOK stale\n"};
	if (key == "endless")
		return {.data = "OK " + std::string(300000, 'v'), .stall = true};
	if (key == "trickle") // a byte every 100 ms: a line that never ends
		return {.data = "OK " + std::string(1000, 'v'), .trickle_ms = 100};
	return {"what?\n"};
}

server_reply netstring_by_key(const std::string& request, int)
{
	std::string key = request.substr(request.find(' ') + 1);
	if (key == "found")
		return {"12:OK the value,"};
	if (key == "bare")
		return {"8:NOTFOUND,"};
	if (key == "temp")
		return {"6:TEMP x,"};
	if (key == "newline")
		return {"5:OK a\nb,"};
	if (key == "twice")
		return {"8:OK first,8:OK stale,"};
	return {"5:OK xy;"};
}

// smap-query's bound of 10 s, shortened for a test that waits for it.
constexpr const char* QUICK_BOUND = "SMAP_QUERY_TEST_TIMEOUT_MS=1500";

struct Query : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	child_result query(const std::vector<std::string>& args)
	{
		std::vector<std::string> argv = {SMAP_QUERY_PATH};
		argv.insert(argv.end(), args.begin(), args.end());
		return run(argv);
	}
};

TEST_F(Query, ExitStatusFollowsTheReplies)
{
	fake_server server(line_by_key, sock);
	child_result r = query({sock, "aliases", "found"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "OK the value\n");
	EXPECT_EQ(query({sock, "aliases", "missing"}).status, 1);
	for (const char* key : {"temp", "timeout", "perm", "bare", "garbage", "huge"})
		EXPECT_EQ(query({sock, "aliases", key}).status, 2) << key;
	// Several keys: one reply line each, in order; the worst status wins.
	r = query({sock, "aliases", "found", "missing", "found"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "OK the value\nNOTFOUND \nOK the value\n");
	r = query({sock, "aliases", "temp", "found"});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "TEMP try later\nOK the value\n");
	EXPECT_EQ(server.queries().back(), "aliases found");
	EXPECT_NE(query({sock, "aliases", "huge"}).err.find("longer than 100000"),
	          std::string::npos);
	// Operands after the table are keys, whatever they begin with.
	r = query({sock, "aliases", "--help", "-n"});
	EXPECT_EQ(r.out, "what?\nwhat?\n");
	std::vector<std::string> asked = server.queries();
	EXPECT_EQ(std::vector<std::string>(asked.end() - 2, asked.end()),
	          (std::vector<std::string>{"aliases --help", "aliases -n"}));
}

TEST_F(Query, UnreachableServerAndBadCommandLines)
{
	child_result r = query({sock, "aliases", "found"});
	EXPECT_EQ(r.status, 3);
	EXPECT_NE(r.err.find("cannot connect to"), std::string::npos) << r.err;
	{
		fake_server server(line_by_key, sock);
		r = query({sock, "aliases", "found", "hangup"});
		EXPECT_EQ(r.status, 3);
		EXPECT_EQ(r.out, "OK the value\n");
		EXPECT_NE(r.err.find("closed the connection"), std::string::npos) << r.err;
	}
	EXPECT_EQ(query({dir.file(std::string(120, 'p')), "t", "k"}).status, 64);
	EXPECT_EQ(query({sock, "aliases"}).status, 64);
	EXPECT_EQ(query({"--bogus", sock, "t", "k"}).status, 64);
	EXPECT_EQ(query({sock, "two words", "k"}).status, 64);
	EXPECT_EQ(query({sock, "t", "line\nbreak"}).status, 64);
}

TEST_F(Query, NetstringFraming)
{
	fake_server server(netstring_by_key, sock, framing::netstrings);
	child_result r = query({"--netstring", sock, "aliases", "found", "bare"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "OK the value\nNOTFOUND\n");
	EXPECT_EQ(server.queries()[0], "aliases found");
	EXPECT_EQ(query({"--netstring", sock, "aliases", "temp"}).status, 2);
	EXPECT_EQ(query({"--netstring", sock, "aliases", "newline"}).status, 2);
	r = query({"--netstring", sock, "aliases", "malformed", "found"});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "") << "nothing is trusted after a framing error";
	EXPECT_NE(r.err.find("not terminated"), std::string::npos) << r.err;
}

TEST_F(Query, BackendAsksSmapServe)
{
	std::string maps = dir.file("maps");
	mkdir(maps.c_str(), 0755);
	write_file(maps + "/aliases", "postmaster root\n");
	write_file(maps + "/mailaddrmap", "alice@example.org alice@example.org\n");
	server_process serve({SMAP_SERVE_PATH, sock, maps}, sock, {.log = dir.file("serve.log")});
	std::string session = "config|protocol|0.1\n"
	                      "config|ready\n"
	                      "table|0.1|1|aliases|lookup|alias|id1|postmaster\n"
	                      "table|0.1|1|aliases|lookup|alias|id2|nobody\n"
	                      "table|0.1|1|nosuch|lookup|alias|id3|postmaster\n"
	                      "table|0.1|1|mailaddrmap|lookup|mailaddrmap|id4|alice@example.org\n";
	child_result r = run({SMAP_BACKEND_PATH, sock}, session);
	EXPECT_EQ(r.status, 0) << r.err;
	std::string registers;
	for (const char* s : {"alias", "domain", "credentials", "netaddr", "userinfo", "source",
	                      "mailaddr", "addrname", "mailaddrmap", "ready"})
		registers += std::string("register|") + s + "\n";
	EXPECT_EQ(r.out, registers + "lookup-result|id1|found|root\n"
	                             "lookup-result|id2|not-found\n"
	                             "lookup-result|id3|error\n"
	                             "lookup-result|id4|error\n");
	EXPECT_NE(r.err.find("warn: unknown table"), std::string::npos) << r.err;
	EXPECT_NE(r.err.find("warn: unknown service 256"), std::string::npos) << r.err;
}

TEST_F(Query, ReachesServersAtEveryKindOfEndpoint)
{
	fake_server lines(line_by_key, "inet:127.0.0.1:0");
	ASSERT_TRUE(lines.listening());
	child_result r = query({lines.endpoint(), "aliases", "found", "missing"});
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_EQ(r.out, "OK the value\nNOTFOUND \n");
	fake_server netstrings(netstring_by_key, "inet:127.0.0.1:0", framing::netstrings);
	r = query({"--netstring", "inet://127.0.0.1:" + std::to_string(netstrings.port()), "t",
	           "found"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "OK the value\n");
	fake_server local(line_by_key, sock);
	EXPECT_EQ(query({"unix:" + sock, "aliases", "found"}).out, "OK the value\n");
	EXPECT_EQ(query({"unix://" + sock, "aliases", "found"}).out, "OK the value\n");
	EXPECT_EQ(local.accepts(), 2);

	r = query({"inet:localhost", "t", "k"});
	EXPECT_EQ(r.status, 64);
	EXPECT_NE(r.err.find("bad server inet:localhost: expected HOST:PORT; expected one of "
	                     "unix:PATH, local:PATH"),
	          std::string::npos)
	        << r.err;
	EXPECT_EQ(query({"unix:", "t", "k"}).status, 64);
}

TEST_F(Query, ASurplusReplyIsNeverPrintedAsTheNextAnswer)
{
	for (bool netstring : {false, true}) {
		fake_server server(netstring ? netstring_by_key : line_by_key, sock,
		                   netstring ? framing::netstrings : framing::lines);
		std::vector<std::string> args = {sock, "aliases", "twice", "found"};
		if (netstring)
			args.insert(args.begin(), "--netstring");
		child_result r = query(args);
		EXPECT_EQ(r.status, 2);
		// Neither reply in the read is the key's answer.
		EXPECT_EQ(r.out, "OK the value\n");
		EXPECT_NE(r.err.find("sent more than one reply to twice: none is shown"),
		          std::string::npos)
		        << r.err;
		// The next key went out on a new connection.
		EXPECT_EQ(server.accepts(), 2);
		EXPECT_EQ(server.queries().size(), 2u);
	}
}

TEST_F(Query, OverlongAndEndlessRepliesEndWithStatus2)
{
	fake_server server(line_by_key, sock);
	// Stopped at the limit, without waiting for a newline that never comes.
	child_result r = query({sock, "aliases", "endless", "found"});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "");
	EXPECT_NE(r.err.find("reply to endless: longer than 100000 bytes"), std::string::npos)
	        << r.err;
	EXPECT_EQ(server.queries().size(), 1u) << "nothing is asked after it";

	// With the bound shortened for the test.
	r = run({"/usr/bin/env", QUICK_BOUND, SMAP_QUERY_PATH, sock, "aliases", "trickle"});
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("reply to trickle did not end within 1.5 seconds"), std::string::npos)
	        << r.err;
}

TEST_F(Query, AServerSilentInOneFramingHintsAtTheOther)
{
	// A line server waits for a newline that a netstring never has; a
	// netstring server drops a query line as a bad netstring.
	fake_server lines(line_by_key, dir.file("lines"));
	fake_server netstrings(netstring_by_key, dir.file("netstrings"), framing::netstrings);
	struct {
		std::vector<std::string> args;
		std::string said;
	} cases[] = {
	        {{"/usr/bin/env", QUICK_BOUND, SMAP_QUERY_PATH, "--netstring", lines.endpoint(),
	          "t", "found"},
	         "timed out after 1.5 seconds; a line server? try without --netstring"},
	        {{SMAP_QUERY_PATH, netstrings.endpoint(), "t", "found"},
	         "closed the connection before replying to found; a netstring server? try "
	         "--netstring"},
	};
	// All at once: the time-out takes the whole bound.
	std::vector<std::unique_ptr<spawned>> runs;
	for (const auto& c : cases)
		runs.push_back(std::make_unique<spawned>(c.args));
	for (size_t i = 0; i < runs.size(); i++) {
		child_result r = runs[i]->finish(20000);
		EXPECT_EQ(r.status, 3) << cases[i].said;
		EXPECT_NE(r.err.find(cases[i].said), std::string::npos) << r.err;
	}
}

// Runs smap-query with standard output set up by `prepare` in the child.
child_result query_with_stdout(const std::vector<std::string>& args,
                               const std::function<void()>& prepare)
{
	std::vector<std::string> argv = {SMAP_QUERY_PATH};
	argv.insert(argv.end(), args.begin(), args.end());
	return run_in_child([&] {
		std::vector<char*> words;
		for (const auto& a : argv)
			words.push_back(const_cast<char*>(a.c_str()));
		words.push_back(nullptr);
		prepare();
		execv(words[0], words.data());
		_exit(127);
	});
}

TEST_F(Query, NothingIsAskedWhenStandardOutputCannotTakeTheReplies)
{
	fake_server server(line_by_key, sock);
	child_result r = query_with_stdout({sock, "t", "found"}, [] { close(STDOUT_FILENO); });
	EXPECT_EQ(r.status, 74);
	EXPECT_NE(r.err.find("standard output is closed"), std::string::npos) << r.err;
	r = query_with_stdout({sock, "t", "found"}, [] {
		int p[2];
		if (pipe(p) == 0) {
			close(p[0]);
			dup2(p[1], STDOUT_FILENO);
		}
	});
	EXPECT_EQ(r.status, 74);
	EXPECT_NE(r.err.find("without a reader"), std::string::npos) << r.err;
	EXPECT_EQ(server.accepts(), 0);

	// A write that fails stops it before the next query.
	r = query_with_stdout({sock, "t", "found", "found"}, [] {
		int full = open("/dev/full", O_WRONLY);
		if (full != -1)
			dup2(full, STDOUT_FILENO);
	});
	EXPECT_EQ(r.status, 74);
	EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
	EXPECT_EQ(server.queries().size(), 1u);
}

} // namespace
