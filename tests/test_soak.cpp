// Soak: twenty thousand lookups through one backend process while the
// socketmap server misbehaves in every way it can, checking each result
// against its request and the process's descriptors and memory.
//
// SMAP_TEST_WRAPPER, when set, is a command prefixed to the backend's
// command line (for example a valgrind invocation).
#include "harness/child.hpp"
#include "harness/fake_server.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace
{

using strings = std::vector<std::string>;

constexpr int LOOKUPS = 20000;
constexpr int BATCH = 100;
constexpr int CLOSE_EVERY = 300;

// What the server does for request i, and so what its result must be. (A
// server that stalls costs the full time bound; that is tested elsewhere.)
enum class kind { normal, too_long, unrecognized, surplus };

kind kind_of(int i)
{
	if (i % 1499 == 0)
		return kind::surplus;
	if (i % 997 == 0)
		return kind::too_long;
	if (i % 409 == 0)
		return kind::unrecognized;
	return kind::normal;
}

std::string key_of(int i)
{
	static const char* prefix[] = {"k", "long", "junk", "twice"};
	return std::string(prefix[static_cast<int>(kind_of(i))]) + "-" + std::to_string(i);
}

int requests_of(kind k)
{
	int n = 0;
	for (int i = 0; i < LOOKUPS; i++)
		n += kind_of(i) == k;
	return n;
}

std::string expected_result(int i)
{
	std::string id = std::to_string(i);
	if (kind_of(i) == kind::normal || kind_of(i) == kind::surplus)
		return "lookup-result|" + id + "|found|value-of-" + key_of(i);
	return "lookup-result|" + id + "|error";
}

server_reply soak_script(const std::string& query, int* replies)
{
	std::string key = query.substr(query.find(' ') + 1);
	server_reply r;
	if (key.rfind("twice-", 0) == 0)
		r.data = echo_value(query).data + "OK stale\n";
	else if (key.rfind("long-", 0) == 0)
		r.data = "OK " + std::string(100001, 'L') + "\n";
	else if (key.rfind("junk-", 0) == 0)
		r.data = "MAYBE " + key + "\n";
	else
		r = echo_value(query);
	r.close = ++*replies % CLOSE_EVERY == 0;
	return r;
}

strings backend_command(const std::string& socket)
{
	strings argv;
	if (const char* wrapper = getenv("SMAP_TEST_WRAPPER")) {
		std::istringstream words(wrapper);
		for (std::string w; words >> w;)
			argv.push_back(w);
	}
	argv.push_back(SMAP_BACKEND_PATH);
	argv.push_back(socket);
	return argv;
}

} // namespace

TEST(Soak, TwentyThousandLookupsThroughAFailingServer)
{
	int replies = 0;
	fake_server server(
	        [&replies](const std::string& q, int) { return soak_script(q, &replies); });
	spawned proc(backend_command(server.endpoint()));
	proc.send("config|ready\n");
	std::string line;
	for (int i = 0; i < 10; i++)
		ASSERT_TRUE(proc.read_line(&line, 60000));

	int fds_after_warmup = -1;
	long rss_after_warmup = -1;
	for (int start = 0; start < LOOKUPS; start += BATCH) {
		if (start == LOOKUPS / 2) {
			server.stop();
			server.start();
		}
		std::string batch;
		for (int i = start; i < start + BATCH; i++)
			batch += "table|0.1|0|soak|lookup|alias|" + std::to_string(i) + "|" +
			         key_of(i) + "\n";
		proc.send(batch);
		for (int i = start; i < start + BATCH; i++) {
			ASSERT_TRUE(proc.read_line(&line, 60000)) << "no result for request " << i;
			ASSERT_EQ(line, expected_result(i));
		}
		if (start + BATCH == 2000) {
			fds_after_warmup = proc.open_fds();
			rss_after_warmup = proc.resident_kib();
		}
	}
	EXPECT_EQ(proc.open_fds(), fds_after_warmup);
	// A wrapper such as valgrind, or a sanitizer's quarantine, has memory of
	// its own that grows; both check the backend's heap themselves.
	long growth = proc.resident_kib() - rss_after_warmup;
#ifdef SMAP_SANITIZED
	bool memory_is_own = false;
#else
	bool memory_is_own = getenv("SMAP_TEST_WRAPPER") == nullptr;
#endif
	if (memory_is_own) {
		EXPECT_LE(growth, 128) << "resident memory grew by " << growth << " KiB";
	}

	auto r = proc.finish(120000);
	EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
	auto messages = log_messages(r.err);
	auto count = [&messages](const char* text) {
		return std::count(messages.begin(), messages.end(), text);
	};
	EXPECT_EQ(count("warn: socketmap sent more than one reply line"),
	          requests_of(kind::surplus));
	EXPECT_EQ(count("warn: unrecognized socketmap reply"), requests_of(kind::unrecognized));
	EXPECT_EQ(count("warn: socketmap reply too large"), requests_of(kind::too_long));
	EXPECT_GE(server.accepts(), LOOKUPS / CLOSE_EVERY / 2);
}
