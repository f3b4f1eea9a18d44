// SPDX-License-Identifier: ISC
// End-to-end tests: the real smap-backend executable on pipes, playing the
// mail server, against a scriptable socketmap server on a real socket.
#include "harness/child.hpp"
#include "harness/fake_server.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

using strings = std::vector<std::string>;
using namespace std::string_literals;

const strings registrations = {
        "register|alias",       "register|domain", "register|credentials", "register|netaddr",
        "register|userinfo",    "register|source", "register|mailaddr",    "register|addrname",
        "register|mailaddrmap", "register|ready",
};

// Replies by key: "TABLE KEY" -> the scripted reply for KEY, else echo.
server_script by_key(std::map<std::string, server_reply> replies)
{
	return [replies = std::move(replies)](const std::string& query, int) {
		auto it = replies.find(query.substr(query.find(' ') + 1));
		return it != replies.end() ? it->second : echo_value(query);
	};
}

std::string request(const std::string& id, const std::string& key,
                    const std::string& service = "alias", const std::string& table = "aliases")
{
	return "table|0.1|1700000000.000001|" + table + "|lookup|" + service + "|" + id + "|" +
	       key + "\n";
}

class Backend : public ::testing::Test
{
protected:
	void SetUp() override
	{
		server = std::make_unique<fake_server>(echo_value);
	}

	void start(const std::string& path)
	{
		proc = std::make_unique<spawned>(strings{SMAP_BACKEND_PATH, path});
	}

	void start_ready()
	{
		start(server->endpoint());
		handshake();
	}

	void handshake()
	{
		proc->send("config|smtpd\nconfig|subsystem|lookup\nconfig|ready\n");
		EXPECT_EQ(read_lines(registrations.size()), registrations);
	}

	strings read_lines(size_t n)
	{
		strings lines;
		std::string line;
		while (lines.size() < n && proc->read_line(&line))
			lines.push_back(line);
		return lines;
	}

	std::string line_for(const std::string& text)
	{
		proc->send(text);
		std::string line;
		if (!proc->read_line(&line))
			return "<no result line>";
		return line;
	}

	std::string lookup(const std::string& id, const std::string& key,
	                   const std::string& service = "alias")
	{
		return line_for(request(id, key, service));
	}

	// The warnings written since the last call.
	strings new_messages()
	{
		std::string all = proc->err();
		std::string fresh = all.substr(seen_);
		seen_ = all.size();
		return log_messages(fresh);
	}

	std::unique_ptr<fake_server> server;
	std::unique_ptr<spawned> proc;
	size_t seen_ = 0;
};

} // namespace

// --- Handshake and result lines ---------------------------------------------

TEST_F(Backend, HandshakeRegistersNineServicesOnlyAfterReady)
{
	start(server->endpoint());
	proc->send("config|x\nconfig|ready \nconfig|\n");
	std::string line;
	EXPECT_FALSE(proc->read_line(&line, 300)) << line;
	proc->send("config|ready\n");
	EXPECT_EQ(read_lines(10), registrations);
	EXPECT_EQ(line_for("table|0.1|t|aliases|update|u1\n"), "update-result|u1|ok");
	auto r = proc->finish();
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(server->accepts(), 0) << "connected without a lookup";
}

TEST_F(Backend, EmptyInputEndsAtOnce)
{
	start(server->endpoint());
	auto r = proc->finish();
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
}

TEST_F(Backend, InputWithoutFinalNewline)
{
	start_ready();
	proc->send("table|0.1|t|aliases|lookup|alias|last|joe");
	auto r = proc->finish();
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "lookup-result|last|found|value-of-joe\n");
}

TEST_F(Backend, ResultLinesForEachReply)
{
	server->set_script(by_key({
	        {"found", {"OK the value\n"}},
	        {"lower", {"ok lower case\n"}},
	        {"empty", {"OK \n"}},
	        {"crlf", {"OK v\r\n"}},
	        {"missing", {"NOTFOUND \n"}},
	        {"temp", {"TEMP try later\n"}},
	        {"timeout", {"TIMEOUT slow db\n"}},
	        {"perm", {"PERM no such map\n"}},
	        {"bare-ok", {"OK\n"}},
	        {"bare-notfound", {"NOTFOUND\n"}},
	        {"junk", {"what?\n"}},
	}));
	start_ready();
	EXPECT_EQ(lookup("1", "found"), "lookup-result|1|found|the value");
	EXPECT_EQ(lookup("2", "lower"), "lookup-result|2|found|lower case");
	EXPECT_EQ(lookup("3", "empty"), "lookup-result|3|found|");
	EXPECT_EQ(lookup("4", "crlf"), "lookup-result|4|found|v\r");
	EXPECT_EQ(lookup("5", "missing"), "lookup-result|5|not-found");
	EXPECT_EQ(new_messages(), strings{});
	EXPECT_EQ(lookup("6", "temp"), "lookup-result|6|error");
	EXPECT_EQ(lookup("7", "timeout"), "lookup-result|7|error");
	EXPECT_EQ(lookup("8", "perm"), "lookup-result|8|error");
	EXPECT_EQ(new_messages(),
	          (strings{"warn: try later", "warn: slow db", "warn: no such map"}));
	EXPECT_EQ(lookup("9", "bare-ok"), "lookup-result|9|error");
	EXPECT_EQ(lookup("10", "bare-notfound"), "lookup-result|10|error");
	EXPECT_EQ(lookup("11", "junk"), "lookup-result|11|error");
	EXPECT_EQ(new_messages(), strings(3, "warn: unrecognized socketmap reply"));
	EXPECT_EQ(server->accepts(), 1);
}

TEST_F(Backend, FixedResultsForUpdateCheckAndFetch)
{
	start_ready();
	EXPECT_EQ(line_for("table|0.1|t|aliases|update|\n"), "update-result||ok");
	EXPECT_EQ(line_for("table|0.1|t|aliases|update|a|b\n"), "update-result|a|b|ok");
	EXPECT_EQ(line_for("table|0.1|t|aliases|check|alias|c1|joe\n"), "check-result|c1|error");
	EXPECT_EQ(line_for("table|0.1|t|aliases|fetch|source|f1\n"), "fetch-result|f1|error");
	EXPECT_EQ(line_for("table|0.1|t|aliases|fetch|source|f|2\n"), "fetch-result|f|2|error");
	EXPECT_EQ(server->queries(), strings{});
}

TEST_F(Backend, QueryCarriesTableAndKeyAsSent)
{
	start_ready();
	EXPECT_EQ(line_for(request("1", "joe|x y", "alias", "aliases")),
	          "lookup-result|1|found|value-of-joe|x y");
	EXPECT_EQ(line_for(request("id with blanks", "example.org", "domain", "domains")),
	          "lookup-result|id with blanks|found|value-of-example.org");
	std::string long_table(300, 't');
	line_for(request("3", "k", "alias", long_table));
	EXPECT_EQ(server->queries(), (strings{"aliases joe|x y", "domains example.org",
	                                      std::string(127, 't') + " k"}));
}

TEST_F(Backend, ManyRequestsInOneWriteAreAnsweredInOrder)
{
	start_ready();
	std::string batch;
	for (int i = 0; i < 200; i++) {
		std::string id = std::to_string(i);
		batch += request(id, "k" + id);
	}
	proc->send(batch);
	for (int i = 0; i < 200; i++) {
		std::string line;
		ASSERT_TRUE(proc->read_line(&line));
		EXPECT_EQ(line, "lookup-result|" + std::to_string(i) + "|found|value-of-k" +
		                        std::to_string(i));
	}
}

TEST_F(Backend, MailaddrmapIsAskedButNotServed)
{
	start_ready();
	EXPECT_EQ(lookup("m", "joe", "mailaddrmap"), "lookup-result|m|error");
	EXPECT_EQ(server->queries(), strings{"aliases joe"});
	EXPECT_EQ(new_messages(), strings{"warn: unknown service 256"});
	for (const char* service :
	     {"domain", "credentials", "netaddr", "userinfo", "source", "mailaddr", "addrname"})
		EXPECT_EQ(lookup("s", "k", service), "lookup-result|s|found|value-of-k") << service;
}

TEST_F(Backend, ValueLimitIs2047Bytes)
{
	server->set_script(by_key({{"fits", {"OK " + std::string(2047, 'v') + "\n"}},
	                           {"big", {"OK " + std::string(2048, 'v') + "\n"}}}));
	start_ready();
	EXPECT_EQ(lookup("1", "fits"), "lookup-result|1|found|" + std::string(2047, 'v'));
	EXPECT_EQ(lookup("2", "big"), "lookup-result|2|error");
	EXPECT_EQ(new_messages(), strings{"warn: result too large"});
	// The result buffer was cleared: a shorter value shows nothing of it.
	EXPECT_EQ(lookup("3", "x"), "lookup-result|3|found|value-of-x");
}

TEST_F(Backend, ReplyLimitIs100000BytesAndATooLargeReplyEndsItsConnection)
{
	server->set_script(by_key({{"fits", {"NOTFOUND " + std::string(100000 - 9, 'r') + "\n"}},
	                           {"big", {"TEMP " + std::string(100001 - 5, 'r') + "\n"}}}));
	start_ready();
	EXPECT_EQ(lookup("1", "fits"), "lookup-result|1|not-found");
	EXPECT_EQ(lookup("2", "big"), "lookup-result|2|error");
	EXPECT_EQ(new_messages(), (strings{"warn: socketmap reply too large (>100001 bytes)",
	                                   "warn: socketmap reply too large"}));
	// The rest of the line is never read: the next lookup connects anew,
	// without a warning.
	EXPECT_EQ(lookup("3", "next"), "lookup-result|3|found|value-of-next");
	EXPECT_EQ(new_messages(), strings{});
	EXPECT_EQ(server->accepts(), 2);
}

TEST_F(Backend, AnEndlessReplyLineIsNeverHeldInMemory)
{
	// 64 MiB without a newline: only the first 100001 bytes are read.
	server->set_script(by_key({{"endless", {"OK " + std::string(64 << 20, 'e')}}}));
	start_ready();
	EXPECT_EQ(lookup("1", "k"), "lookup-result|1|found|value-of-k");
	long before = proc->peak_resident_kib();
	EXPECT_EQ(lookup("2", "endless"), "lookup-result|2|error");
	EXPECT_EQ(new_messages(), (strings{"warn: socketmap reply too large (>100001 bytes)",
	                                   "warn: socketmap reply too large"}));
	long growth = proc->peak_resident_kib() - before;
	EXPECT_LT(growth, 4096) << "peak resident memory grew by " << growth << " KiB";
	EXPECT_EQ(lookup("3", "k"), "lookup-result|3|found|value-of-k");
}

// --- Fatal errors -------------------------------------------------------------

TEST_F(Backend, CommandLineErrors)
{
	struct cli_case {
		strings args;
		std::string message;
	};
	// Options end at the first operand: what follows it is an operand.
	for (const auto& c : std::vector<cli_case>{
	             {{}, "fatal: bogus argument(s)"},
	             {{"a", "b"}, "fatal: bogus argument(s)"},
	             {{"a", "--"}, "fatal: bogus argument(s)"},
	             {{"a", "-x"}, "fatal: bogus argument(s)"},
	             {{"-x", "a"}, "fatal: bad option"},
	             {{"--verbose", "a"}, "fatal: bad option"},
	     }) {
		strings argv{SMAP_BACKEND_PATH};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		// Nothing is written to it: it may have ended before a write
		// could reach it.
		spawned p(argv);
		auto r = p.finish();
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		auto m = log_messages(r.err);
		ASSERT_FALSE(m.empty());
		EXPECT_EQ(m.back(), c.message);
		EXPECT_NE(r.err.find("smap-backend["), std::string::npos) << r.err;
		// getopt's own complaint names the program as the logger does.
		if (c.args.size() > 0 && c.args[0] == "-x") {
			EXPECT_EQ(split_lines(r.err).front(),
			          "smap-backend: invalid option -- 'x'");
		}
	}
	spawned dashdash({SMAP_BACKEND_PATH, "--", server->endpoint()});
	EXPECT_EQ(dashdash.finish().status, 0);
}

TEST_F(Backend, ProtocolErrorsEndTheRunWithNothingWritten)
{
	struct fatal_case {
		std::string line;
		std::string message;
		bool configured = true;
	};
	std::string long_line = "table|0.1|t|" + std::string(3 << 20, 'x');
	for (const auto& c : std::vector<fatal_case>{
	             {"table|0.1|t|aliases|lookup|alias|1|k",
	              "unexpected config line: table|0.1|t|aliases|lookup|alias|1|k", false},
	             {"", "unexpected config line: ", false},
	             {"config|ready", "malformed line"},
	             {"tablex|0.1", "malformed line"},
	             {"table", "malformed line"},
	             {"table|0.1", "malformed line: missing version"},
	             {"table|0.2|t|aliases|lookup|alias|1|k", "unsupported protocol version: 0.2"},
	             {"table|0.1|t", "malformed line: missing timestamp"},
	             {"table|0.1|t|aliases", "malformed line: missing table name"},
	             {long_line, "malformed line: missing table name"},
	             {"table|0.1|t|aliases|update", "malformed line: missing type"},
	             {"table|0.1|t|aliases|lookup|alias", "malformed line: missing service"},
	             {"table|0.1|t|aliases|bogus|alias", "malformed line: missing service"},
	             {"table|0.1|t|aliases|bogus|alias|1", "malformed line: missing key"},
	             {"table|0.1|t|aliases|bogus|alias|1|k", "unknown action bogus"},
	             {"table|0.1|t|aliases|lookup|Alias|1|k", "unknown service Alias"},
	             {"table|0.1|t|aliases|fetch|nope|1", "unknown service nope"},
	             {"table|0.1|t|aliases|check|x|1|k", "unknown service x"},
	             {"table|0.1|t|aliases|lookup|alias|1|k\r", ""},
	     }) {
		spawned p({SMAP_BACKEND_PATH, server->endpoint()});
		std::string expected_out;
		if (c.configured) {
			p.send("config|ready\n");
			for (const auto& r : registrations)
				expected_out += r + "\n";
		}
		p.send(c.line + "\n");
		auto r = p.finish();
		if (c.message.empty()) { // a valid line, as a control
			EXPECT_EQ(r.status, 0);
			continue;
		}
		EXPECT_EQ(r.status, 1) << c.line.substr(0, 80);
		EXPECT_EQ(r.out, expected_out) << c.line.substr(0, 80);
		EXPECT_EQ(r.err, "smap-backend: " + c.message + "\n");
	}
	EXPECT_EQ(server->queries(), strings{"aliases k\r"});
}

TEST_F(Backend, ClosedStandardOutputEndsTheRun)
{
	start_ready();
	proc->close_output();
	proc->send("table|0.1|t|aliases|update|1\n");
	auto r = proc->finish();
	EXPECT_EQ(r.signal, 0) << "killed by a signal";
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "smap-backend: fflush: Broken pipe\n");
}

// --- The connection -----------------------------------------------------------

TEST_F(Backend, ConnectsOnFirstLookupAndKeepsTheConnection)
{
	start_ready();
	EXPECT_EQ(server->accepts(), 0);
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(lookup(std::to_string(i), "k"),
		          "lookup-result|" + std::to_string(i) + "|found|value-of-k");
	EXPECT_EQ(server->accepts(), 1);
}

TEST_F(Backend, ServerDownAtFirstLookupUpAtTheNext)
{
	std::string path = server->endpoint();
	server->stop();
	start(path);
	handshake();
	EXPECT_EQ(lookup("1", "k"), "lookup-result|1|error");
	EXPECT_EQ(new_messages(), (strings{"warn: connect: No such file or directory",
	                                   "error connecting to " + path, "warn: "}));
	server->start();
	EXPECT_EQ(lookup("2", "k"), "lookup-result|2|found|value-of-k");
	EXPECT_EQ(new_messages(), strings{});
}

TEST_F(Backend, SocketPathTooLong)
{
	std::string dir = server->endpoint().substr(0, server->endpoint().rfind('/') + 1);
	std::string path = dir + std::string(sizeof(sockaddr_un::sun_path) - dir.size(), 'p');
	ASSERT_EQ(path.size(), sizeof(sockaddr_un::sun_path));
	start(path);
	handshake();
	for (const char* id : {"1", "2"}) {
		EXPECT_EQ(lookup(id, "k"), "lookup-result|" + std::string(id) + "|error");
		EXPECT_EQ(new_messages(), (strings{"warn: socket path too long",
		                                   "error connecting to " + path, "warn: "}));
	}
}

TEST_F(Backend, EmptySocketPathNeverConnects)
{
	// An all-zero address would name an abstract socket that any local
	// user can bind. Take that name, as such a user would.
	int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
	sockaddr_un abstract{};
	abstract.sun_family = AF_UNIX;
	bool squatting =
	        bind(squatter, reinterpret_cast<sockaddr*>(&abstract), sizeof abstract) == 0 &&
	        listen(squatter, 4) == 0;
	start("");
	handshake();
	for (const char* id : {"1", "2"}) {
		EXPECT_EQ(lookup(id, "k"), "lookup-result|" + std::string(id) + "|error");
		EXPECT_EQ(new_messages(), (strings{"warn: connect: No such file or directory",
		                                   "error connecting to ", "warn: "}));
	}
	if (squatting) {
		EXPECT_EQ(accept(squatter, nullptr, nullptr), -1)
		        << "connected to the abstract socket";
	}
	close(squatter);
}

TEST_F(Backend, ClosedStandardDescriptorsNeverCarryTheSocket)
{
	// Started with standard output or error closed, the backend must not
	// write its result lines or warnings to the socketmap server.
	server->set_script(by_key({{"temp", {"TEMP try later\n"}}}));
	for (int closed : {1, 2}) {
		proc = std::make_unique<spawned>(strings{SMAP_BACKEND_PATH, server->endpoint()},
		                                 spawn_options{.closed = {closed}});
		proc->send("config|ready\n" + request("1", "temp") + request("2", "k"));
		auto r = proc->finish();
		EXPECT_EQ(r.status, 0) << closed;
		if (closed == 2) {
			EXPECT_EQ(split_lines(r.out).back(), "lookup-result|2|found|value-of-k");
		}
	}
	EXPECT_EQ(server->queries(),
	          (strings{"aliases temp", "aliases k", "aliases temp", "aliases k"}));
}

TEST_F(Backend, LongestSocketPathThatFits)
{
	std::string dir = server->endpoint().substr(0, server->endpoint().rfind('/') + 1);
	std::string path = dir + std::string(sizeof(sockaddr_un::sun_path) - 1 - dir.size(), 'p');
	fake_server longest(echo_value, path);
	start(path);
	handshake();
	EXPECT_EQ(lookup("1", "k"), "lookup-result|1|found|value-of-k");
}

TEST_F(Backend, ServerRestartIsRecoveredWithinTheLookup)
{
	start_ready();
	EXPECT_EQ(lookup("1", "a"), "lookup-result|1|found|value-of-a");
	server->stop();
	server->start();
	EXPECT_EQ(lookup("2", "b"), "lookup-result|2|found|value-of-b");
	EXPECT_EQ(new_messages(), strings{"warn: socketmap has lost its socket"});
	EXPECT_EQ(server->accepts(), 2);
	EXPECT_EQ(lookup("3", "c"), "lookup-result|3|found|value-of-c");
}

TEST_F(Backend, ServerThatStopsReadingGetsNoSignalKill)
{
	// After the reply the server shuts its reading side: the next query's
	// write fails with EPIPE, which must not kill the process.
	server->set_script(by_key({{"a", {"OK first\n", false, 0, "", 0, true}}}));
	start_ready();
	EXPECT_EQ(lookup("1", "a"), "lookup-result|1|found|first");
	EXPECT_EQ(lookup("2", "b"), "lookup-result|2|found|value-of-b");
	EXPECT_EQ(new_messages(), strings{"warn: socketmap has lost its socket"});
	EXPECT_EQ(server->accepts(), 2);
}

TEST_F(Backend, ServerThatClosesAtOnceCostsTwoAttempts)
{
	server->set_close_on_accept(true);
	start_ready();
	EXPECT_EQ(lookup("1", "k"), "lookup-result|1|error");
	EXPECT_EQ(server->accepts(), 2);
	EXPECT_EQ(new_messages(), (strings{"warn: socketmap has lost its socket",
	                                   "warn: socketmap has lost its socket",
	                                   "warn: lost connection to socket"}));
	EXPECT_EQ(lookup("2", "k"), "lookup-result|2|error");
	EXPECT_EQ(server->accepts(), 4);
	server->set_close_on_accept(false);
	EXPECT_EQ(lookup("3", "k"), "lookup-result|3|found|value-of-k");
}

TEST_F(Backend, ServerThatClosesAfterEachReply)
{
	server->set_script([](const std::string& q, int) {
		auto r = echo_value(q);
		r.close = true;
		return r;
	});
	start_ready();
	for (int i = 0; i < 4; i++)
		EXPECT_EQ(lookup(std::to_string(i), "k"),
		          "lookup-result|" + std::to_string(i) + "|found|value-of-k");
	EXPECT_EQ(server->accepts(), 4);
}

TEST_F(Backend, ReplyCutShortByTheEndOfTheConnectionIsAccepted)
{
	server->set_script(by_key({{"cut", {"OK no newline", true}}}));
	start_ready();
	EXPECT_EQ(lookup("1", "cut"), "lookup-result|1|found|no newline");
	EXPECT_EQ(lookup("2", "x"), "lookup-result|2|found|value-of-x");
}

TEST_F(Backend, LinesBeyondTheReplyAreNeverTakenAsAnswers)
{
	server->set_script(by_key({
	        {"together", {"OK first\nOK stale-together\n"}},
	        {"apart", {"OK first\n", false, 0, "OK stale-apart\n", 200}},
	}));
	start_ready();
	EXPECT_EQ(lookup("1", "together"), "lookup-result|1|found|first");
	EXPECT_EQ(lookup("2", "x"), "lookup-result|2|found|value-of-x");
	EXPECT_EQ(lookup("3", "apart"), "lookup-result|3|found|first");
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	EXPECT_EQ(lookup("4", "y"), "lookup-result|4|found|value-of-y");
	EXPECT_EQ(lookup("5", "z"), "lookup-result|5|found|value-of-z");
	EXPECT_EQ(server->accepts(), 3);
	auto m = new_messages();
	EXPECT_EQ(std::count(m.begin(), m.end(), "warn: socketmap has lost its socket"), 2);
	EXPECT_EQ(std::count(m.begin(), m.end(), "warn: socketmap sent more than one reply line"),
	          2);
}

TEST_F(Backend, StalledServerTimesOutAndTheNextLookupReconnects)
{
	server->set_script(by_key({{"stall", {}}}));
	start_ready();
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(lookup("1", "stall"), "lookup-result|1|error");
	auto waited = std::chrono::steady_clock::now() - t0;
	EXPECT_GE(waited, std::chrono::seconds(9));
	EXPECT_LE(waited, std::chrono::seconds(14));
	EXPECT_EQ(new_messages(), strings{"warn: socketmap timed out"});
	EXPECT_EQ(server->accepts(), 1) << "retried after a timeout";
	EXPECT_EQ(lookup("2", "k"), "lookup-result|2|found|value-of-k");
	EXPECT_EQ(server->accepts(), 2);
}

TEST_F(Backend, FailureTextsNeverRepeatAnEarlierValue)
{
	server->set_script(by_key({{"secret", {"OK s3cr3t-credential\n"}}}));
	start_ready();
	EXPECT_EQ(lookup("1", "secret"), "lookup-result|1|found|s3cr3t-credential");
	std::string path = server->endpoint();
	server->stop();
	EXPECT_EQ(lookup("2", "k"), "lookup-result|2|error");
	EXPECT_EQ(lookup("3", "k"), "lookup-result|3|error");
	auto m = new_messages();
	// The connect warnings end with this attempt's text: here, none.
	EXPECT_EQ(m, (strings{"warn: socketmap has lost its socket",
	                      "warn: connect: No such file or directory",
	                      "error connecting to " + path,
	                      "warn: ", "warn: connect: No such file or directory",
	                      "error connecting to " + path, "warn: "}));
	EXPECT_EQ(proc->err().find("s3cr3t"), std::string::npos);
}

TEST_F(Backend, ThousandsOfLookupsKeepDescriptorsSteady)
{
	int n = 0;
	server->set_script([&n](const std::string& q, int) {
		auto r = echo_value(q);
		r.close = ++n % 500 == 0;
		return r;
	});
	start_ready();
	EXPECT_EQ(lookup("first", "k"), "lookup-result|first|found|value-of-k");
	int fds = proc->open_fds();
	// In batches small enough that neither pipe fills while the other waits.
	for (int i = 0; i < 3000; i += 100) {
		std::string batch;
		for (int j = i; j < i + 100; j++) {
			std::string key_number = std::to_string(j % 7);
			batch += request(std::to_string(j), "k" + key_number);
		}
		proc->send(batch);
		for (int j = i; j < i + 100; j++) {
			std::string line;
			ASSERT_TRUE(proc->read_line(&line));
			ASSERT_EQ(line, "lookup-result|" + std::to_string(j) + "|found|value-of-k" +
			                        std::to_string(j % 7));
		}
	}
	EXPECT_EQ(proc->open_fds(), fds);
	EXPECT_GE(server->accepts(), 6);
}

TEST_F(Backend, NulByteInAKeyIsNotLookedUp)
{
	start_ready();
	EXPECT_EQ(line_for("table|0.1|t|aliases|lookup|alias|n1|ab\0cd\n"s),
	          "lookup-result|n1|error");
	EXPECT_EQ(line_for("table|0.1|t|aliases|check|alias|n2|ab\0cd\n"s),
	          "check-result|n2|error");
	EXPECT_EQ(server->queries(), strings{});
	EXPECT_TRUE(proc->wait_for_err(
	        "smap-backend: key of request n1 holds a NUL byte: not looked up\n"));
	EXPECT_EQ(lookup("n3", "ab"), "lookup-result|n3|found|value-of-ab");
}
