// SPDX-License-Identifier: ISC
// Hostile input from the mail server's side: truncated, huge, binary and
// misspelt request lines. Each must get its exact result line or end the
// run with its exact message, status 1 and no partial output.
#include "harness/child.hpp"
#include "harness/fake_server.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

namespace
{

using strings = std::vector<std::string>;

std::string registrations()
{
	std::string out;
	for (const char* s : {"alias", "domain", "credentials", "netaddr", "userinfo", "source",
	                      "mailaddr", "addrname", "mailaddrmap", "ready"})
		out += std::string("register|") + s + "\n";
	return out;
}

// One backend run over the handshake and `lines`, to the end of its input.
child_result run_session(const fake_server& server, const std::string& lines)
{
	spawned p({SMAP_BACKEND_PATH, server.endpoint()});
	p.send("config|ready\n" + lines);
	return p.finish();
}

void expect_fatal(const fake_server& server, const std::string& line, const std::string& message)
{
	auto r = run_session(server, line + "\n");
	EXPECT_EQ(r.status, 1) << line;
	EXPECT_EQ(r.out, registrations()) << line;
	EXPECT_EQ(r.err, "smap-backend: " + message + "\n") << line;
}

} // namespace

TEST(BadInput, EveryTruncationOfALookupLine)
{
	fake_server server(echo_value);
	const std::string line = "table|0.1|1700000000.5|aliases|lookup|alias|id-1|joe";
	// The number of separators a prefix holds tells which field it lacks.
	const char* missing[] = {"malformed line",
	                         "malformed line: missing version",
	                         "malformed line: missing timestamp",
	                         "malformed line: missing table name",
	                         "malformed line: missing type",
	                         "malformed line: missing service",
	                         "malformed line: missing key"};
	for (size_t len = 0; len < line.size(); len++) {
		std::string cut = line.substr(0, len);
		auto bars = std::count(cut.begin(), cut.end(), '|');
		if (bars == 7) {
			auto r = run_session(server, cut + "\n");
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.out, registrations() + "lookup-result|id-1|found|value-of-" +
			                         cut.substr(cut.rfind('|') + 1) + "\n");
		} else {
			expect_fatal(server, cut, missing[bars]);
		}
	}
}

TEST(BadInput, MisspeltActionsAndServices)
{
	fake_server server(echo_value);
	for (std::string action : {"update", "check", "lookup", "fetch"}) {
		for (std::string wrong :
		     {action.substr(1), action + "s",
		      std::string(1, static_cast<char>(toupper(action[0]))).append(action, 1),
		      action + "\r", " " + action}) {
			expect_fatal(server, "table|0.1|t|aliases|" + wrong + "|alias|1|k",
			             "unknown action " + wrong);
		}
	}
	for (std::string service : {"alias", "domain", "credentials", "netaddr", "userinfo",
	                            "source", "mailaddr", "addrname", "mailaddrmap"}) {
		std::string wrong = service.substr(0, service.size() - 1);
		expect_fatal(server, "table|0.1|t|aliases|lookup|" + wrong + "|1|k",
		             "unknown service " + wrong);
		wrong = service;
		wrong[0] = static_cast<char>(toupper(wrong[0]));
		expect_fatal(server, "table|0.1|t|aliases|check|" + wrong + "|1|k",
		             "unknown service " + wrong);
		expect_fatal(server, "table|0.1|t|aliases|fetch|" + service + "x|1",
		             "unknown service " + service + "x");
	}
}

TEST(BadInput, LinesOfSeveralMegabytes)
{
	fake_server server(echo_value);
	std::string id(4 << 20, 'i');
	std::string key(3 << 20, 'k');
	auto r = run_session(server, "table|0.1|t|aliases|update|" + id + "\n" +
	                                     "table|0.1|t|aliases|lookup|alias|big|" + key + "\n" +
	                                     "table|0.1|t|aliases|lookup|alias|after|small\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, registrations() + "update-result|" + id + "|ok\n" +
	                         "lookup-result|big|error\n" +
	                         "lookup-result|after|found|value-of-small\n");
	// The whole key went to the server; its echoed reply was too large.
	auto q = server.queries();
	ASSERT_EQ(q.size(), 2u);
	EXPECT_EQ(q[0], "aliases " + key);
	EXPECT_EQ(log_messages(r.err), (strings{"warn: socketmap reply too large (>100001 bytes)",
	                                        "warn: socketmap reply too large"}));
}

TEST(BadInput, BytesThatAreNotUtf8PassThroughUnchanged)
{
	fake_server server(echo_value);
	std::string key = "\xff\xfe\xc3(\x80\x01\x7f";
	auto r = run_session(server, "table|0.1|t|aliases|lookup|alias|\xc0\xaf|" + key + "\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, registrations() + "lookup-result|\xc0\xaf|found|value-of-" + key + "\n");
}

TEST(BadInput, NulBytesInRequestLines)
{
	using namespace std::string_literals;
	fake_server server(echo_value);
	// Before the key a NUL hides the rest of the line, so a field is
	// missing and the run ends; in the key it would shorten what is asked,
	// so the request is answered with an error instead.
	expect_fatal(server, "table|0.1|t|ali\0ases|lookup|alias|1|k"s,
	             "malformed line: missing table name");
	expect_fatal(server, "table|0.1|t|aliases|lookup|alias|1\0|k"s,
	             "malformed line: missing key");
	expect_fatal(server, "\0table|0.1|t|aliases|lookup|alias|1|k"s, "malformed line");
	auto r = run_session(server, "table|0.1|t|aliases|lookup|alias|7|joe\0evil\n"s
	                             "table|0.1|t|aliases|lookup|alias|8|\0\n"s);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, registrations() + "lookup-result|7|error\nlookup-result|8|error\n");
	EXPECT_EQ(r.err, "smap-backend: key of request 7 holds a NUL byte: not looked up\n"
	                 "smap-backend: key of request 8 holds a NUL byte: not looked up\n");
	EXPECT_EQ(server.queries(), strings{});
}
