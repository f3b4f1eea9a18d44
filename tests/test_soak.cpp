// SPDX-License-Identifier: ISC
// Soaks: twenty thousand lookups through one backend process while the
// socketmap server misbehaves in every way it can, twenty thousand from
// several clients through the smap-serve bridge while its netstring
// upstream does, sixty backends sharing smap-serve's few client slots
// for fifteen seconds, one backend beside floods of silent connections
// and beside slow readers, sixty backends while a cdb index is renamed over
// and over, sixty backends on fifty keys cached by the bridge while its
// upstream stops, and backends through a bridge whose first upstream stops
// and starts; each checks every answer against its query and the server's
// descriptors, and prints what it measured.
//
// SMAP_TEST_WRAPPER, when set, is a command prefixed to the command line
// of the program under test (for example a valgrind invocation).
#include "harness/child.hpp"
#include "harness/fake_server.hpp"
#include "harness/logs.hpp"
#include "harness/sockets.hpp"
#include "harness/temp_dir.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

// `command` behind SMAP_TEST_WRAPPER, if that is set.
strings wrapped(const strings& command)
{
	strings argv;
	if (const char* wrapper = getenv("SMAP_TEST_WRAPPER")) {
		std::istringstream words(wrapper);
		for (std::string w; words >> w;)
			argv.push_back(w);
	}
	argv.insert(argv.end(), command.begin(), command.end());
	return argv;
}

// Whether the resident memory of the program under test is its own: a
// wrapper such as valgrind, or a sanitizer's quarantine, has memory of
// its own that grows; both check the program's heap themselves.
bool memory_is_own()
{
#ifdef SMAP_SANITIZED
	return false;
#else
	return getenv("SMAP_TEST_WRAPPER") == nullptr;
#endif
}

} // namespace

TEST(Soak, TwentyThousandLookupsThroughAFailingServer)
{
	int replies = 0;
	fake_server server(
	        [&replies](const std::string& q, int) { return soak_script(q, &replies); });
	spawned proc(wrapped({SMAP_BACKEND_PATH, server.endpoint()}));
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
	long growth = proc.resident_kib() - rss_after_warmup;
	if (memory_is_own()) {
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

// --- Through the bridge -------------------------------------------------------

namespace
{

constexpr int BRIDGE_LOOKUPS = 20000;
// Clients with an even number ask one query at a time, the others write
// PIPELINE queries at once.
constexpr int BRIDGE_CLIENTS = 6;
constexpr int PIPELINE = 8;
constexpr int RESTARTS = 4;
constexpr int UPSTREAM_CLOSE_EVERY = 250; // replies

// What the upstream does with lookup i. The first four kinds still get
// their right answer: the bridge asks once more on a new connection. A
// lookup that timed out is never asked again, so "stall_once" gets the
// answer of "stall", and its right answer would show that it was.
enum class up_kind {
	normal,
	close_once,   // the first time, closes the connection without a reply
	surplus_once, // the first time, a second netstring in the same write
	unasked_once, // the first time, a second netstring a moment after the reply
	stall_once,   // the first time, no reply at all
	malformed,    // a netstring that is not one
	oversized,    // a reply over the 100000-byte limit
	surplus,      // a second netstring in the same write, every time
	stall,        // no reply, every time
};
constexpr int UP_KINDS = 9;
const char* const up_kind_name[UP_KINDS] = {"normal", "close1", "twice1", "later1", "stall1",
                                            "bad",    "big",    "twice",  "stall"};

up_kind up_kind_of(int i)
{
	if (i % 4001 == 1000)
		return up_kind::stall;
	if (i % 1999 == 500)
		return up_kind::stall_once;
	// Even lookups only, which go to clients that ask one query at a time
	// and wait after the reply: an unasked netstring that came after the
	// next query was written could not be told from its reply, by the
	// bridge or by anyone.
	if (i % 400 == 8)
		return up_kind::unasked_once;
	if (i % 499 == 3)
		return up_kind::oversized;
	if (i % 307 == 5)
		return up_kind::malformed;
	if (i % 409 == 11)
		return up_kind::surplus;
	if (i % 211 == 13)
		return up_kind::surplus_once;
	if (i % 97 == 17)
		return up_kind::close_once;
	return up_kind::normal;
}

std::string up_key(int i)
{
	return std::string(up_kind_name[static_cast<int>(up_kind_of(i))]) + "-" + std::to_string(i);
}

std::string right_answer(int i)
{
	return "OK value-of-" + up_key(i);
}

// The TEMP reason for a lookup that cannot be answered, "" for the others.
std::string own_reason(int i)
{
	switch (up_kind_of(i)) {
	case up_kind::malformed:
		return i / 307 % 3 == 0 ? "netstring not terminated by ','"
		                        : "malformed netstring length";
	case up_kind::oversized:
		return "reply exceeds 100000 bytes";
	case up_kind::surplus:
		return "sent more than one reply";
	case up_kind::stall:
	case up_kind::stall_once:
		return "timed out";
	default:
		return "";
	}
}

// The upstream's side; used on the fake server's thread only.
struct upstream_script {
	std::map<int, int> asked; // lookup -> times asked
	int replies = 0;

	server_reply operator()(const std::string& query)
	{
		int i = std::stoi(query.substr(query.rfind('-') + 1));
		bool first = asked[i]++ == 0;
		// What a confused upstream would send: the answer to another key.
		std::string stale = netstring(right_answer((i + 1) % BRIDGE_LOOKUPS));
		server_reply r = {netstring(right_answer(i))};
		switch (up_kind_of(i)) {
		case up_kind::normal:
			break;
		case up_kind::close_once:
			if (first)
				r = {"", true};
			break;
		case up_kind::surplus_once:
			if (first)
				r.data += stale;
			break;
		case up_kind::unasked_once:
			if (first) {
				r.later = stale;
				r.later_ms = 5;
			}
			break;
		case up_kind::stall_once:
			if (first)
				r = {.stall = true};
			break;
		case up_kind::malformed:
			r.data = std::array{"5:OK xy;", "5x:OK xy,", "05:OK xy,"}[i / 307 % 3];
			break;
		case up_kind::oversized:
			r.data = netstring("OK " + std::string(100001, 'v'));
			break;
		case up_kind::surplus:
			r.data += stale;
			break;
		case up_kind::stall:
			r = {.stall = true};
			break;
		}
		if (!r.stall && ++replies % UPSTREAM_CLOSE_EVERY == 0)
			r.close = true;
		return r;
	}
};

// What the clients share with the test.
struct soak_clients {
	std::string socket;
	std::vector<std::string> answers = std::vector<std::string>(BRIDGE_LOOKUPS);
	// Whether the upstream restarted while the lookup was in flight.
	std::vector<char> restarted = std::vector<char>(BRIDGE_LOOKUPS);
	std::atomic<int> restart_epoch{0}; // odd while the upstream is down
	std::atomic<int> stalling{0};      // clients waiting on a stalled lookup
	std::atomic<int> done{0};
	std::atomic<int> finished{0};

	void run(int client)
	{
		std::vector<int> mine;
		for (int i = client; i < BRIDGE_LOOKUPS; i += BRIDGE_CLIENTS)
			mine.push_back(i);
		size_t depth = client % 2 == 0 ? 1 : PIPELINE;
		int fd = connect_to(socket, 60000);
		for (size_t b = 0; fd != -1 && b < mine.size(); b += depth) {
			size_t end = std::min(b + depth, mine.size());
			std::string batch;
			for (size_t k = b; k < end; k++)
				batch += "soak " + up_key(mine[k]) + "\n";
			bool stalls = false, unasked = false;
			for (size_t k = b; k < end; k++) {
				up_kind kind = up_kind_of(mine[k]);
				stalls |= kind == up_kind::stall || kind == up_kind::stall_once;
				unasked |= kind == up_kind::unasked_once;
			}
			stalling += stalls;
			int before = restart_epoch;
			send_text(fd, batch);
			for (size_t k = b; k < end; k++)
				answers[mine[k]] = read_line(fd);
			int after = restart_epoch;
			stalling -= stalls;
			for (size_t k = b; k < end; k++)
				restarted[mine[k]] = before != after || before % 2 == 1;
			done += static_cast<int>(end - b);
			// The unasked netstring follows within milliseconds: it is
			// there before the next query.
			if (unasked)
				usleep(100000);
		}
		if (fd != -1)
			close(fd);
		finished++;
	}
};

// The number of open descriptors of `p` once it has stayed the same for
// 100 ms (at most 10 s): connections that clients closed are gone.
int settled_fds(const spawned* p)
{
	int fds = p->open_fds(), same = 0;
	for (long long end = monotonic_ms() + 10000; same < 5 && monotonic_ms() < end;) {
		usleep(20000);
		int now = p->open_fds();
		same = now == fds ? same + 1 : 0;
		fds = now;
	}
	return fds;
}

// The reason of a TEMP answer from the bridge, up to its first colon;
// "" for any other answer.
std::string temp_cause(const std::string& answer, const std::string& upstream)
{
	std::string prefix = "TEMP upstream " + upstream + ": ";
	if (answer.rfind(prefix, 0) != 0)
		return "";
	std::string reason = answer.substr(prefix.size());
	return reason.substr(0, reason.find(':'));
}

} // namespace

TEST(Soak, TwentyThousandLookupsThroughTheBridge)
{
	temp_dir dir;
	std::string up = dir.file("up");
	upstream_script script;
	fake_server upstream([&script](const std::string& q, int) { return script(q); }, up,
	                     framing::netstrings);
	soak_clients clients;
	clients.socket = dir.file("s");
	// A short bound keeps the stalls cheap; valgrind needs more.
	const char* bound = getenv("SMAP_TEST_WRAPPER") ? "2" : "0.5";
	server_process serve(
	        wrapped({SMAP_SERVE_PATH, "--timeout", bound, "--upstream", up, clients.socket}),
	        clients.socket, {.log = dir.file("serve.log")});
	int fds_before = settled_fds(&serve);

	long long start = monotonic_ms();
	std::vector<std::thread> threads;
	for (int c = 0; c < BRIDGE_CLIENTS; c++)
		threads.emplace_back([&clients, c] { clients.run(c); });
	long rss_warm = -1;
	for (int r = 1; r <= RESTARTS; r++) {
		// Not while a lookup stalls: a restart would end the stall early.
		while ((clients.done < r * BRIDGE_LOOKUPS / (RESTARTS + 1) ||
		        clients.stalling > 0) &&
		       clients.finished < BRIDGE_CLIENTS)
			usleep(2000);
		if (rss_warm < 0)
			rss_warm = serve.resident_kib();
		clients.restart_epoch++;
		upstream.stop();
		upstream.start();
		clients.restart_epoch++;
	}
	for (auto& t : threads)
		t.join();
	long long elapsed = monotonic_ms() - start;

	// Every answer is the right one or a TEMP with a reason that fits: its
	// own for a lookup that cannot be answered, and the upstream's absence
	// only while it was restarting. A restart can cost a lookup in flight
	// its one new attempt (a connection taken into the old listen queue is
	// reset with the listener), so a lookup whose upstream misbehaves the
	// first time may then end with that.
	int right[UP_KINDS] = {}, own[UP_KINDS] = {}, restart_temps = 0, wrong = 0;
	std::map<std::string, int> causes;
	for (int i = 0; i < BRIDGE_LOOKUPS; i++) {
		int k = static_cast<int>(up_kind_of(i));
		const std::string& a = clients.answers[i];
		std::string cause = temp_cause(a, up);
		bool restart_cause = cause == "cannot connect" || cause == "connection closed" ||
		                     (up_kind_of(i) == up_kind::surplus_once &&
		                      cause == "sent more than one reply");
		if (a == right_answer(i) && own_reason(i).empty()) {
			right[k]++;
		} else if (!cause.empty() && cause == own_reason(i)) {
			own[k]++;
		} else if (restart_cause && clients.restarted[i]) {
			restart_temps++;
		} else if (wrong++ < 10) {
			ADD_FAILURE()
			        << "lookup " << i << " (" << up_key(i) << "): " << a.substr(0, 200);
		}
		if (!cause.empty())
			causes[cause]++;
	}
	EXPECT_EQ(wrong, 0);
	// Every kind of failure happened, and every kind of recovery.
	for (int k = 0; k < UP_KINDS; k++)
		EXPECT_GT(right[k] + own[k], 0) << up_kind_name[k];

	// Each query went to the upstream at most twice.
	int most_asked = 0;
	upstream.stop();
	for (auto& [i, n] : script.asked)
		most_asked = std::max(most_asked, n);
	EXPECT_LE(most_asked, 2);

	// With every client gone, the bridge holds what it held before.
	EXPECT_TRUE(serve.running());
	int fds_after = settled_fds(&serve);
	EXPECT_EQ(fds_after, fds_before);
	long rss_end = serve.resident_kib();
	if (memory_is_own()) {
		EXPECT_LE(rss_end - rss_warm, 256) << "resident memory grew";
	}
	child_result stopped = serve.stop(SIGTERM, 120000);
	EXPECT_EQ(stopped.status, 0) << stopped.err.substr(0, 2000);
	// Bytes sent unasked on an idle connection were seen before its reuse.
	auto messages = log_messages(stopped.err);
	auto unasked = std::count(messages.begin(), messages.end(),
	                          "warn: upstream " + up + ": sent data nobody asked for");
	EXPECT_GT(unasked, 0);
	std::map<std::string, int> reconnects;
	const std::string warned = "warn: upstream " + up + ": ", again = ", reconnecting";
	for (const std::string& m : messages)
		if (m.rfind(warned, 0) == 0 && m.ends_with(again))
			reconnects[m.substr(warned.size(),
			                    m.size() - warned.size() - again.size())]++;

	printf("bridge soak: %d lookups from %d clients in %.2f s: %.0f lookups/s\n",
	       BRIDGE_LOOKUPS, BRIDGE_CLIENTS, elapsed / 1000.0,
	       BRIDGE_LOOKUPS * 1000.0 / std::max(elapsed, 1LL));
	printf("  right answers by upstream behaviour:");
	for (int k = 0; k < UP_KINDS; k++)
		if (right[k] > 0)
			printf(" %s %d", up_kind_name[k], right[k]);
	printf("\n  TEMP by reason (%d while the upstream restarted):", restart_temps);
	for (auto& [cause, n] : causes)
		printf(" \"%s\" %d;", cause.c_str(), n);
	printf("\n  sent again on a new connection, by reason:");
	for (auto& [reason, n] : reconnects)
		printf(" \"%s\" %d;", reason.c_str(), n);
	printf("\n  upstream: %d restarts, %d connections accepted, %ld unasked replies seen; "
	       "most asked: %d times\n",
	       RESTARTS, upstream.accepts(), static_cast<long>(unasked), most_asked);
	printf("  smap-serve descriptors: %d before, %d after; resident memory: %ld KiB after "
	       "warm-up, %ld KiB at the end\n",
	       fds_before, fds_after, rss_warm, rss_end);
}

// --- Admission under load -----------------------------------------------------

namespace
{

// More backends than smap-serve has slots: 40 descriptors leave room for
// 22 clients with maps.
constexpr int ADMISSION_BACKENDS = 60;
constexpr int ADMISSION_NOFILE = 40;
constexpr int ADMISSION_SECONDS = 15;
constexpr int ADMISSION_KEYS = 1000;

// What one backend's closed loop saw.
struct loop_figures {
	long lookups = 0;
	long failed = 0;
	std::string first_failure;
};

// Lookups one at a time, each waiting for its result, until `end`.
void closed_loop(spawned* backend, int who, long long end, loop_figures* f)
{
	std::string line;
	for (long i = 0; monotonic_ms() < end; i++) {
		int key = static_cast<int>((i * ADMISSION_BACKENDS + who) % ADMISSION_KEYS);
		std::string id = std::to_string(i);
		backend->send("table|0.1|0|soak|lookup|alias|" + id + "|k" + std::to_string(key) +
		              "\n");
		f->lookups++;
		bool answered = backend->read_line(&line, 60000);
		if (answered &&
		    line == "lookup-result|" + id + "|found|value-" + std::to_string(key))
			continue;
		if (f->failed++ == 0)
			f->first_failure = answered ? line : "no result";
		if (!answered)
			return;
	}
}

} // namespace

TEST(Soak, SixtyBackendsOnFortyDescriptors)
{
	temp_dir dir;
	std::string sock = dir.file("s"), maps = dir.file("maps");
	mkdir(maps.c_str(), 0755);
	std::string map;
	// Appended piece by piece: g++ 12 at -O3 sees an overlapping copy in
	// "k" + std::to_string(k).
	for (int k = 0; k < ADMISSION_KEYS; k++) {
		std::string n = std::to_string(k);
		map.append("k").append(n).append(" value-").append(n).append("\n");
	}
	write_file(maps + "/soak", map);
	server_process serve(wrapped({SMAP_SERVE_PATH, sock, maps}), sock,
	                     {.log = dir.file("serve.log"), .nofile = ADMISSION_NOFILE});
	int fds_before = settled_fds(&serve);

	std::vector<std::unique_ptr<spawned>> backends;
	std::string line;
	for (int b = 0; b < ADMISSION_BACKENDS; b++) {
		backends.push_back(std::make_unique<spawned>(strings{SMAP_BACKEND_PATH, sock}));
		backends.back()->send("config|ready\n");
		for (int i = 0; i < 10; i++)
			ASSERT_TRUE(backends.back()->read_line(&line, 60000));
	}
	std::vector<loop_figures> figures(ADMISSION_BACKENDS);
	long long start = monotonic_ms(), end = start + ADMISSION_SECONDS * 1000;
	int fds_busy = -1;
	{
		std::vector<std::thread> threads;
		for (int b = 0; b < ADMISSION_BACKENDS; b++)
			threads.emplace_back(closed_loop, backends[b].get(), b, end, &figures[b]);
		usleep(ADMISSION_SECONDS * 1000000 / 2);
		fds_busy = serve.open_fds();
		for (auto& t : threads)
			t.join();
	}
	long long elapsed = monotonic_ms() - start;

	long lookups = 0, failed = 0, reconnects = 0, retries_failed = 0;
	for (int b = 0; b < ADMISSION_BACKENDS; b++) {
		lookups += figures[b].lookups;
		failed += figures[b].failed;
		if (figures[b].failed > 0)
			ADD_FAILURE() << "backend " << b << ": " << figures[b].failed
			              << " failed lookups, the first: " << figures[b].first_failure;
		child_result r = backends[b]->finish(30000);
		EXPECT_EQ(r.status, 0);
		for (const std::string& m : log_messages(r.err)) {
			reconnects += m == "warn: socketmap has lost its socket";
			retries_failed += m == "warn: lost connection to socket";
		}
	}
	EXPECT_EQ(failed, 0);
	// Far more backends than slots: clients were closed to admit others,
	// and each such lookup was saved by its reconnect.
	EXPECT_GT(reconnects, 0);
	EXPECT_TRUE(serve.running());
	int fds_after = settled_fds(&serve);
	EXPECT_EQ(fds_after, fds_before);
	std::string log = read_file(serve.log());
	size_t slots_at = log.find("up to ");
	int slots = slots_at == std::string::npos ? -1 : atoi(log.c_str() + slots_at + 6);

	printf("admission soak: %d backends on %d client slots (descriptor limit %d) for %.1f s\n",
	       ADMISSION_BACKENDS, slots, ADMISSION_NOFILE, elapsed / 1000.0);
	printf("  %ld lookups (%.0f/s), %ld failed; %ld reconnects after a closed connection, "
	       "%ld of them failing\n",
	       lookups, lookups * 1000.0 / std::max(elapsed, 1LL), failed, reconnects,
	       retries_failed);
	printf("  smap-serve descriptors: %d before, %d under load, %d after\n", fds_before,
	       fds_busy, fds_after);
}

// --- A real backend beside hostile clients ------------------------------------

namespace
{

// How long each hostile phase lasts; SMAP_SOAK_SECONDS sets it for a longer
// run by hand.
int hostile_seconds()
{
	const char* text = getenv("SMAP_SOAK_SECONDS");
	return text != nullptr && atoi(text) > 0 ? atoi(text) : 2;
}

// Opens `rate` connections a second that never send a byte, until `stop`;
// the oldest are closed beyond `keep`.
void silent_flood(const std::string& sock, int rate, size_t keep, const std::atomic<bool>* stop)
{
	std::deque<int> open;
	long long start = monotonic_ms();
	for (long n = 0; !*stop; n++) {
		long long due = start + n * 1000 / rate;
		if (due > monotonic_ms())
			usleep(static_cast<useconds_t>((due - monotonic_ms()) * 1000));
		int fd = connect_to(sock, 100);
		if (fd != -1)
			open.push_back(fd);
		while (open.size() > keep) {
			close(open.front());
			open.pop_front();
		}
	}
	for (int fd : open)
		close(fd);
}

// Asks for big replies and takes a little of them four times a second,
// until `stop`: the server sends to it all the time, and its replies wait
// for ever.
void slow_reader(const std::string& sock, const std::atomic<bool>* stop)
{
	int fd = connect_to(sock, 60000);
	if (fd == -1)
		return;
	std::string burst;
	for (int i = 0; i < 50; i++)
		burst += "soak big\n";
	send_text(fd, burst);
	char some[4096];
	while (!*stop && recv(fd, some, sizeof some, 0) > 0)
		usleep(250000);
	close(fd);
}

} // namespace

TEST(Soak, ARealBackendBesideFloodsAndSlowReaders)
{
	temp_dir dir;
	std::string sock = dir.file("s"), maps = dir.file("maps");
	mkdir(maps.c_str(), 0755);
	write_file(maps + "/soak", "k value\nbig " + std::string(60000, 'b') + "\n");
	struct {
		const char* what;
		int nofile; // 0: the test's own, a table of 1024
		int flood_rate, slow_readers;
	} phases[] = {
	        {"50 silent connections/s on 22 slots", 40, 50, 0},
	        {"1500 silent connections/s on 1024 slots", 0, 1500, 0},
	        {"22 slow readers on 22 slots", 40, 0, 22},
	};
	for (const auto& p : phases) {
		strings argv = {"/usr/bin/env", "SMAP_SERVE_TEST_STUCK_MS=1000"};
		for (const std::string& word : wrapped({SMAP_SERVE_PATH, sock, maps}))
			argv.push_back(word);
		server_process serve(argv, sock,
		                     {.log = dir.file("serve.log"), .nofile = p.nofile});
		std::atomic<bool> stop{false};
		std::vector<std::thread> hostile;
		if (p.flood_rate > 0)
			hostile.emplace_back(silent_flood, sock, p.flood_rate, 1100, &stop);
		for (int i = 0; i < p.slow_readers; i++)
			hostile.emplace_back(slow_reader, sock, &stop);
		// The slow readers' replies wait past the stuck time first.
		usleep(p.slow_readers > 0 ? 1500000 : 200000);

		spawned backend({SMAP_BACKEND_PATH, sock});
		backend.send("config|ready\n");
		std::string line;
		for (int i = 0; i < 10; i++)
			ASSERT_TRUE(backend.read_line(&line, 60000));
		std::vector<long long> took;
		int answered = 0;
		long long end = monotonic_ms() + hostile_seconds() * 1000;
		for (int i = 0; monotonic_ms() < end; i++) {
			long long asked = monotonic_ms();
			backend.send("table|0.1|0|soak|lookup|alias|" + std::to_string(i) + "|k\n");
			bool got = backend.read_line(&line, 30000);
			took.push_back(monotonic_ms() - asked);
			answered += got &&
			            line == "lookup-result|" + std::to_string(i) + "|found|value";
			usleep(100000);
		}
		stop = true;
		for (auto& t : hostile)
			t.join();
		EXPECT_EQ(answered, int(took.size())) << p.what;
		EXPECT_TRUE(serve.running()) << p.what;
		std::sort(took.begin(), took.end());
		long over = std::count_if(took.begin(), took.end(),
		                          [](long long ms) { return ms > 100; });
		printf("beside %s: %d of %zu lookups answered; median %lld ms, slowest %lld ms, "
		       "%ld "
		       "over 100 ms\n",
		       p.what, answered, took.size(), took[took.size() / 2], took.back(), over);
		backend.finish(30000);
		serve.stop(SIGTERM, 60000);
		unlink(dir.file("serve.log").c_str());
	}
}

// --- An index renamed over under load -----------------------------------------

namespace
{

constexpr int RENAME_BACKENDS = 60;
constexpr int RENAMES = 120;
// Not a divisor of the server's second between looks, so that its looks
// find either version.
constexpr int RENAME_EVERY_MS = 23;
constexpr int RENAME_KEYS = 500;

// What one backend's closed loop saw: answers from each version.
struct version_figures {
	long lookups = 0, from_a = 0, from_b = 0, failed = 0;
	std::string first_failure;
};

// Lookups one at a time until `done`; each must be found, with the value
// of version A or of version B.
void either_version(spawned* backend, int who, const std::atomic<bool>* done,
                    version_figures* f)
{
	std::string line;
	for (long i = 0; !*done; i++) {
		std::string key = std::to_string((i * RENAME_BACKENDS + who) % RENAME_KEYS);
		std::string id = std::to_string(i);
		backend->send("table|0.1|0|soak|lookup|alias|" + id + "|k" + key + "\n");
		f->lookups++;
		bool answered = backend->read_line(&line, 60000);
		std::string found = "lookup-result|" + id + "|found|";
		if (answered && line == found + "A-" + key) {
			f->from_a++;
			continue;
		}
		if (answered && line == found + "B-" + key) {
			f->from_b++;
			continue;
		}
		if (f->failed++ == 0)
			f->first_failure = answered ? line : "no result";
		if (!answered)
			return;
	}
}

// The index of a map whose values are "TAG-N", built by smap-makemap.
std::string index_of(const temp_dir& dir, const std::string& tag)
{
	std::string map;
	for (int k = 0; k < RENAME_KEYS; k++) {
		std::string n = std::to_string(k);
		map.append("k").append(n).append(" ").append(tag).append("-").append(n).append("\n");
	}
	std::string path = dir.file("version-" + tag);
	write_file(path, map);
	EXPECT_EQ(spawned({SMAP_MAKEMAP_PATH, path}).finish(30000).status, 0);
	return read_file(path + ".cdb");
}

} // namespace

TEST(Soak, SixtyBackendsWhileTheIndexIsRenamedOver)
{
	temp_dir dir;
	std::string sock = dir.file("s"), maps = dir.file("maps");
	mkdir(maps.c_str(), 0755);
	std::string versions[2] = {index_of(dir, "A"), index_of(dir, "B")};
	std::string index = maps + "/soak.cdb";
	write_file(index, versions[0]);
	server_process serve(wrapped({SMAP_SERVE_PATH, sock, maps}), sock,
	                     {.log = dir.file("serve.log")});
	std::vector<std::unique_ptr<spawned>> backends;
	std::string line;
	for (int b = 0; b < RENAME_BACKENDS; b++) {
		backends.push_back(std::make_unique<spawned>(strings{SMAP_BACKEND_PATH, sock}));
		backends.back()->send("config|ready\n");
		for (int i = 0; i < 10; i++)
			ASSERT_TRUE(backends.back()->read_line(&line, 60000));
	}
	std::vector<version_figures> figures(RENAME_BACKENDS);
	std::atomic<bool> done{false};
	long long start = monotonic_ms();
	int fds_before = -1, fds_busy = -1;
	{
		std::vector<std::thread> threads;
		for (int b = 0; b < RENAME_BACKENDS; b++)
			threads.emplace_back(either_version, backends[b].get(), b, &done, &figures[b]);
		// Each version written whole beside the index and renamed over it:
		// B three times out of four, so that the server's looks, once a
		// second, find B after the A of the start nearly always.
		for (int r = 1; r <= RENAMES; r++) {
			write_file(index + ".new", versions[r % 4 == 0 ? 0 : 1]);
			ASSERT_EQ(rename((index + ".new").c_str(), index.c_str()), 0);
			usleep(RENAME_EVERY_MS * 1000);
			// Every backend has connected by then.
			if (r == RENAMES / 4)
				fds_before = serve.open_fds();
		}
		fds_busy = serve.open_fds();
		done = true;
		for (auto& t : threads)
			t.join();
	}
	long long elapsed = monotonic_ms() - start;
	version_figures all;
	for (int b = 0; b < RENAME_BACKENDS; b++) {
		all.lookups += figures[b].lookups;
		all.from_a += figures[b].from_a;
		all.from_b += figures[b].from_b;
		all.failed += figures[b].failed;
		if (figures[b].failed > 0)
			ADD_FAILURE() << "backend " << b << ": " << figures[b].failed
			              << " failed lookups, the first: " << figures[b].first_failure;
		EXPECT_EQ(backends[b]->finish(30000).status, 0);
	}
	EXPECT_EQ(all.failed, 0);
	EXPECT_TRUE(serve.running());
	// No descriptor is kept for the index, whichever version is mapped.
	EXPECT_EQ(fds_busy, fds_before);
	printf("rename soak: %d backends, the index renamed over %d times in %.1f s\n",
	       RENAME_BACKENDS, RENAMES, elapsed / 1000.0);
	printf("  %ld lookups (%.0f/s), %ld failed; %ld answered from version A, %ld from B\n",
	       all.lookups, all.lookups * 1000.0 / std::max(elapsed, 1LL), all.failed, all.from_a,
	       all.from_b);
	printf("  smap-serve descriptors: %d after %d renames, %d after %d\n", fds_before,
	       RENAMES / 4, fds_busy, RENAMES);
}

// --- The bridge's cache and upstreams ----------------------------------------

namespace
{

constexpr int CACHE_BACKENDS = 60;
constexpr int CACHE_KEYS = 50;

// `n` backends asking `sock`, each past its handshake.
std::vector<std::unique_ptr<spawned>> started_backends(int n, const std::string& sock)
{
	std::vector<std::unique_ptr<spawned>> backends;
	std::string line;
	for (int b = 0; b < n; b++) {
		backends.push_back(std::make_unique<spawned>(strings{SMAP_BACKEND_PATH, sock}));
		backends.back()->send("config|ready\n");
		for (int i = 0; i < 10 && backends.back()->read_line(&line, 60000); i++)
			;
	}
	return backends;
}

// What the backends saw in each phase of a soak.
struct phase_figures {
	std::atomic<long> lookups{0}, failed{0};
	std::mutex lock;
	std::string first_failure;

	void count(bool ok, const std::string& line)
	{
		lookups++;
		if (ok || failed++ > 0)
			return;
		std::lock_guard<std::mutex> g(lock);
		first_failure = line;
	}
};

// Lookups of `key_of(i)`, one at a time, each checked against the upstream's
// "OK value-of-KEY", counted in the phase `phase` names, until `stop`.
void checked_loop(spawned* backend, const std::function<std::string(long)>& key_of,
                  const std::atomic<int>* phase, phase_figures* figures,
                  const std::atomic<bool>* stop)
{
	std::string line;
	for (long i = 0; !*stop; i++) {
		std::string id = std::to_string(i), key = key_of(i);
		int now = *phase;
		backend->send("table|0.1|0|soak|lookup|alias|" + id + "|" + key + "\n");
		bool answered = backend->read_line(&line, 60000);
		figures[now].count(answered &&
		                           line == "lookup-result|" + id + "|found|value-of-" + key,
		                   answered ? line : "no result");
		if (!answered)
			return;
	}
}

} // namespace

TEST(Soak, SixtyBackendsOnFiftyCachedKeysWhileTheUpstreamStops)
{
	temp_dir dir;
	std::string up = dir.file("up"), sock = dir.file("s");
	// When the upstream read each key; on its thread, read once it stopped.
	std::map<std::string, std::vector<long long>> asked;
	fake_server upstream(
	        [&asked](const std::string& q, int) {
		        asked[q].push_back(monotonic_ms());
		        return server_reply{netstring("OK value-of-" + q.substr(q.find(' ') + 1))};
	        },
	        up, framing::netstrings);
	server_process serve(wrapped({SMAP_SERVE_PATH, "--cache-ttl", "1", "--cache-stale", "60",
	                              "-u", up, sock}),
	                     sock, {.log = dir.file("serve.log")});
	int fds_before = settled_fds(&serve);
	std::vector<std::unique_ptr<spawned>> backends = started_backends(CACHE_BACKENDS, sock);

	// Up, then down for SMAP_SOAK_SECONDS (2 by default, 10 for the full
	// run), then up again.
	const int down_s = hostile_seconds(), up_s = std::max(2, down_s / 2);
	phase_figures figures[3];
	std::atomic<int> phase{0};
	std::atomic<bool> stop{false};
	std::vector<std::thread> threads;
	long long start = monotonic_ms();
	for (int b = 0; b < CACHE_BACKENDS; b++)
		threads.emplace_back(
		        checked_loop, backends[b].get(),
		        [b](long i) {
			        return "k" + std::to_string((i * CACHE_BACKENDS + b) % CACHE_KEYS);
		        },
		        &phase, figures, &stop);
	usleep(up_s * 1000000);
	long rss_warm = serve.resident_kib();
	long long up_before = monotonic_ms() - start;
	upstream.stop();
	phase = 1;
	usleep(down_s * 1000000);
	long long restarted = monotonic_ms();
	upstream.start();
	phase = 2;
	usleep(up_s * 1000000);
	stop = true;
	for (auto& t : threads)
		t.join();
	long long up_after = monotonic_ms() - restarted, elapsed = monotonic_ms() - start;
	upstream.stop();

	for (int p = 0; p < 3; p++)
		EXPECT_EQ(figures[p].failed, 0)
		        << "phase " << p << ": " << figures[p].first_failure;
	// One upstream query per key at a time, and none again while its answer
	// is fresh: a second apart at least.
	// A key's rate: its queries after the first over the time they span,
	// in each phase the upstream was up.
	long queries = 0, gaps[2] = {0, 0};
	long long closest = -1, spans[2] = {0, 0}, first_after = -1;
	for (auto& [key, times] : asked) {
		queries += static_cast<long>(times.size());
		long long first[2] = {-1, -1}, last[2] = {-1, -1};
		for (size_t i = 0; i < times.size(); i++) {
			int after = times[i] >= restarted;
			if (after && (first_after == -1 || times[i] < first_after))
				first_after = times[i];
			gaps[after] += first[after] != -1;
			if (first[after] == -1)
				first[after] = times[i];
			last[after] = times[i];
			if (i > 0 && (closest == -1 || times[i] - times[i - 1] < closest))
				closest = times[i] - times[i - 1];
		}
		for (int p = 0; p < 2; p++)
			spans[p] += last[p] - first[p];
	}
	double rate[2];
	for (int p = 0; p < 2; p++) {
		rate[p] = spans[p] > 0 ? gaps[p] * 1000.0 / spans[p] : 0;
		EXPECT_LE(rate[p], 1.0) << "queries per key per second";
	}
	EXPECT_GE(closest, 1000) << "a key asked again while its answer was fresh";
	for (auto& b : backends)
		EXPECT_EQ(b->finish(30000).status, 0);
	EXPECT_TRUE(serve.running());
	int fds_after = settled_fds(&serve);
	EXPECT_EQ(fds_after, fds_before);
	long rss_end = serve.resident_kib();
	if (memory_is_own()) {
		EXPECT_LE(rss_end - rss_warm, 256) << "resident memory grew";
	}
	// Under valgrind, a leak or an invalid access makes the status 99.
	child_result stopped = serve.stop(SIGTERM, 120000);
	EXPECT_EQ(stopped.status, 0) << stopped.err.substr(0, 2000);
	std::string log = stopped.err;
	EXPECT_EQ(count_of(log, "warn: stale answers"), 1u) << log;
	EXPECT_EQ(count_of(log, "is down"), 1u) << log;

	printf("cache soak: %d backends on %d keys, time to live 1 s, stale 60 s, %.1f s\n",
	       CACHE_BACKENDS, CACHE_KEYS, elapsed / 1000.0);
	const char* names[] = {"upstream up", "upstream stopped", "upstream up again"};
	double lengths[] = {up_before / 1000.0, double(down_s), up_after / 1000.0};
	for (int p = 0; p < 3; p++)
		printf("  %-18s %6.1f s: %7ld lookups (%6.0f/s), %ld failed\n", names[p],
		       lengths[p], figures[p].lookups.load(), figures[p].lookups / lengths[p],
		       figures[p].failed.load());
	printf("  upstream: %ld queries; per key per second %.2f before the stop, %.2f after "
	       "the restart; closest two of one key %lld ms apart\n",
	       queries, rate[0], rate[1], closest);
	if (first_after == -1)
		printf("  no query in the %.1f s after the restart: the back-off had not ended\n",
		       up_after / 1000.0);
	else
		printf("  first query %.1f s after the restart, when the back-off ended\n",
		       (first_after - restarted) / 1000.0);
	printf("  smap-serve descriptors: %d before, %d after; resident memory: %ld KiB after "
	       "warm-up, %ld KiB at the end\n",
	       fds_before, fds_after, rss_warm, rss_end);
}

TEST(Soak, TwoUpstreamsTheFirstStoppedAndStartedEveryTwoSeconds)
{
	temp_dir dir;
	std::string up1 = dir.file("up1"), up2 = dir.file("up2"), sock = dir.file("s");
	auto echo = [](const std::string& q, int) {
		return server_reply{netstring("OK value-of-" + q.substr(q.find(' ') + 1))};
	};
	fake_server first(echo, up1, framing::netstrings), second(echo, up2, framing::netstrings);
	server_process serve(wrapped({SMAP_SERVE_PATH, "-u", up1, "-u", up2, sock}), sock,
	                     {.log = dir.file("serve.log")});
	constexpr int BACKENDS = 6;
	std::vector<std::unique_ptr<spawned>> backends = started_backends(BACKENDS, sock);

	// 2 s stopped, 2 s started, for twice SMAP_SOAK_SECONDS (20 s in the full
	// run).
	const int seconds = 2 * std::max(hostile_seconds(), 2);
	phase_figures figures[2]; // first upstream started, stopped
	std::atomic<int> phase{0};
	std::atomic<bool> stop{false};
	std::vector<std::thread> threads;
	long long start = monotonic_ms();
	for (int b = 0; b < BACKENDS; b++)
		threads.emplace_back(
		        checked_loop, backends[b].get(),
		        [b](long i) { return "b" + std::to_string(b) + "-" + std::to_string(i); },
		        &phase, figures, &stop);
	int stops = 0;
	for (int s = 0; s < seconds; s += 4) {
		first.stop();
		stops++;
		phase = 1;
		usleep(2000000);
		first.start();
		phase = 0;
		usleep(2000000);
	}
	stop = true;
	for (auto& t : threads)
		t.join();
	long long elapsed = monotonic_ms() - start;
	first.stop();
	second.stop();

	for (int p = 0; p < 2; p++)
		EXPECT_EQ(figures[p].failed, 0)
		        << "phase " << p << ": " << figures[p].first_failure;
	size_t most = 0;
	std::vector<std::string> read[2] = {first.queries(), second.queries()};
	for (std::vector<std::string>& queries : read) {
		std::map<std::string, size_t> times;
		for (const std::string& q : queries)
			most = std::max(most, ++times[q]);
	}
	EXPECT_EQ(most, 1u) << "an upstream read a query twice";
	for (auto& b : backends)
		EXPECT_EQ(b->finish(30000).status, 0);
	child_result stopped = serve.stop(SIGTERM, 120000);
	EXPECT_EQ(stopped.status, 0) << stopped.err.substr(0, 2000);
	std::string log = stopped.err;
	size_t downs = count_of(log, "warn: upstream " + up1 + " is down: ");
	size_t again = count_of(log, "upstream " + up1 + " answers again");
	EXPECT_GE(downs, 1u);
	EXPECT_LE(downs, size_t(stops));
	EXPECT_LE(again, downs);
	// Nothing per query but a reconnect when a used connection was closed
	// as the query went out on it.
	size_t reconnects = count_of(log, ": connection closed, reconnecting");
	EXPECT_EQ(count_of(log, "warn: "), downs + reconnects) << log;

	printf("failover soak: %d backends, two upstreams, the first stopped %d times for 2 s "
	       "in %.1f s\n",
	       BACKENDS, stops, elapsed / 1000.0);
	printf("  %ld lookups (%.0f/s), %ld failed; %ld while the first was stopped\n",
	       figures[0].lookups + figures[1].lookups,
	       (figures[0].lookups + figures[1].lookups) * 1000.0 / std::max(elapsed, 1LL),
	       figures[0].failed + figures[1].failed, figures[1].lookups.load());
	printf("  queries read: first %zu, second %zu; most reads of one query by one upstream: "
	       "%zu\n",
	       read[0].size(), read[1].size(), most);
	printf("  log: %zu times down, %zu times answering again, %zu reconnects, no other "
	       "warning\n",
	       downs, again, reconnects);
}
