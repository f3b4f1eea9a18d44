// SPDX-License-Identifier: ISC
// Admission's rules in this process: clients on socket pairs, driven
// through the client module by a scripted source, judged at times the test
// sets.
#include "harness/sockets.hpp"
#include "harness/temp_dir.hpp"
#include "support/log.hpp"
#include "tools/net/usock.hpp"
#include "tools/serve/admission.hpp"
#include "tools/serve/source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// Answers "T KEY" at once with "OK v", "T big" with a reply bigger than a
// socket takes, and leaves "T wait" pending.
class script_source : public source
{
public:
	bool ask(client*, std::string_view query, int64_t, std::string* reply) override
	{
		if (query.ends_with(" wait"))
			return false;
		*reply = query.ends_with(" big") ? std::string(1 << 20, 'x') : "OK v";
		return true;
	}
	void client_left(client*, size_t) override {}
	void poll_set(std::vector<pollfd>*) override {}
	int64_t deadline() const override
	{
		return -1;
	}
	void run(const pollfd*, int64_t, std::vector<source_answer>*) override {}
	void hangup() override {}
	size_t fds_per_client() const override
	{
		return 0;
	}
	size_t fds_per_query() const override
	{
		return 1;
	}
	size_t descriptors() const override
	{
		return 0;
	}
	bool short_of_descriptors() override
	{
		return false;
	}
};

// How a client of the table got to where it is, at time `at` (and `took`).
enum kind {
	SILENT,     // accepted at `at`, has sent nothing
	IDLE,       // asked and was answered at `at`
	WAITING,    // its query is pending with the source
	ON_ITS_WAY, // idle since `at`, and its next query waits in its socket
	SLOW,       // a reply waits for it since `at`; it took some at `took`
};

struct table_fixture {
	script_source src;
	client_table t;
	std::vector<int> peers; // the test's end of each client, in order
	std::vector<client*> made;

	table_fixture()
	{
		log_start(1);
		t.src = &src;
	}
	~table_fixture()
	{
		while (!t.clients.empty())
			client_remove(&t, t.clients.back().get());
		for (int fd : peers)
			close(fd);
	}

	client* add(kind k, int64_t at, int64_t took = 0)
	{
		int pair[2];
		EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair),
		          0);
		peers.push_back(pair[1]);
		client* c = client_add(&t, pair[0], k == SILENT ? at : 0);
		made.push_back(c);
		const char* query = k == WAITING ? "t wait\n" : k == SLOW ? "t big\n" : "t k\n";
		if (k != SILENT)
			say(c, query, at);
		if (k == ON_ITS_WAY) {
			EXPECT_EQ(send(pair[1], "t k\n", 4, 0), 4);
		}
		if (k == SLOW) {
			// It takes all that its socket holds, and the server sends more.
			char chunk[65536];
			size_t taken = 0;
			for (ssize_t n; (n = recv(pair[1], chunk, sizeof chunk, 0)) > 0;)
				taken += static_cast<size_t>(n);
			size_t unsent = client_unsent(c);
			client_polled(c, &src, POLLOUT, took);
			EXPECT_GT(taken, 0u);
			EXPECT_LT(client_unsent(c), unsent) << "more went out";
			EXPECT_GT(client_unsent(c), 0u) << "and more waits";
		}
		return c;
	}

	void say(client* c, const char* text, int64_t at)
	{
		int peer = peers[index_of(c)];
		EXPECT_EQ(send(peer, text, strlen(text), 0), ssize_t(strlen(text)));
		client_polled(c, &src, POLLIN, at);
	}

	size_t index_of(const client* c) const
	{
		return static_cast<size_t>(std::find(made.begin(), made.end(), c) - made.begin());
	}

	// The indexes, in `made`, of the clients closable at `now`, in order.
	std::vector<size_t> order(int64_t now)
	{
		std::vector<size_t> out;
		for (client* c : admission_order(&t, now))
			out.push_back(index_of(c));
		return out;
	}
};

constexpr int64_t FRESH = ADMISSION_FRESH_MS, STUCK = ADMISSION_STUCK_MS;

// Rules 3 to 5: who may be closed for a newcomer, and in which order.
TEST(Admission, ClosesTheSilentFirstThenTheStuckThenTheIdleLongest)
{
	struct {
		const char* what;
		std::vector<std::pair<kind, int64_t>> clients;
		int64_t now;
		std::vector<size_t> order;
	} rows[] = {
	        // A flood of connections that never speak cannot push out a
	        // backend that has: they go first, oldest first, once past
	        // the few milliseconds a backend takes to write its query.
	        {"silent first",
	         {{IDLE, 100},
	          {SILENT, 300},
	          {SILENT, 200},
	          {IDLE, 50},
	          {SILENT, 1000 - FRESH + 1}},
	         1000,
	         {2, 1, 3, 0}},
	        {"busy never", {{WAITING, 0}, {ON_ITS_WAY, 0}, {IDLE, 10}}, 5000, {1, 2}},
	        // A slow reader is stuck once what waited for it STUCK ago is
	        // still unsent, though it took bytes a moment ago.
	        {"slow reader, not yet", {{SLOW, 0}, {IDLE, 500}}, STUCK - 1, {1}},
	        {"slow reader, stuck", {{IDLE, 500}, {SLOW, 0}}, STUCK, {1, 0}},
	};
	for (const auto& row : rows) {
		table_fixture f;
		for (const auto& [k, at] : row.clients)
			f.add(k, at, row.now - 1);
		EXPECT_EQ(f.order(row.now), row.order) << row.what;
	}
}

// Rules 2 and 3, through accept(): a newcomer is admitted by closing the
// first closable client; a connection younger than FRESH and one whose
// query waits in its socket are passed over, whatever their age; with
// nobody closable, the listener waits until someone may be.
TEST(Admission, ANewcomerNeverTakesTheSlotOfAClientAboutToAsk)
{
	temp_dir dir;
	struct {
		const char* what;
		std::vector<std::pair<kind, int64_t>> clients;
		int64_t now;
		int closed;      // the index of the client closed, -1 for none
		int64_t open_at; // admission_open_at() before accepting
	} rows[] = {
	        {"young silent kept", {{SILENT, 1000 - FRESH / 2}, {IDLE, 900}}, 1000, 1, 1000},
	        {"query on its way kept", {{ON_ITS_WAY, 10}, {IDLE, 900}}, 1000, 1, 1000},
	        {"nobody closable",
	         {{WAITING, 0}, {SILENT, 1000 - FRESH / 2}},
	         1000,
	         -1,
	         1000 - FRESH / 2 + FRESH},
	};
	for (const auto& row : rows) {
		table_fixture f;
		for (const auto& [k, at] : row.clients)
			f.add(k, at);
		f.t.slots = f.t.clients.size();
		EXPECT_EQ(admission_open_at(&f.t, row.now), row.open_at) << row.what;

		std::string path = dir.file("listener");
		unlink(path.c_str());
		int listener = listen_on(path, 4);
		ASSERT_TRUE(usock_set_nonblocking(listener));
		int newcomer = connect_to(path);
		ASSERT_NE(newcomer, -1);

		admission_accept(&f.t, listener, row.now);
		for (size_t i = 0; i < f.peers.size(); i++) {
			// Past the replies it was sent, the end of a closed one.
			char chunk[256];
			ssize_t n;
			while ((n = recv(f.peers[i], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
				;
			// A socket closed with bytes unread is reset.
			bool gone = n == 0 || (n < 0 && errno == ECONNRESET);
			EXPECT_EQ(gone, int(i) == row.closed) << row.what << ": client " << i;
		}
		// The newcomer took the place of the one closed (its memory and its
		// descriptor number too, as likely as not: it tells by its time).
		bool admitted = f.t.clients.back()->accepted_at == row.now;
		EXPECT_EQ(admitted, row.closed != -1) << row.what;
		EXPECT_EQ(f.t.clients.size(), row.clients.size()) << row.what;
		close(newcomer);
		close(listener);
	}
}

// Rule 7: a table shrunk for want of descriptors leaves room for a
// newcomer and for what one query needs beside its clients' own.
TEST(Admission, AShrunkTableLeavesRoomForAQuery)
{
	struct {
		size_t per_client, per_query; // maps: a map file; a bridge: two connects
	} sources[] = {{1, 1}, {3, 2}};
	for (const auto& s : sources) {
		for (size_t held = 1; held < 64; held++) {
			size_t fit = admission_fit(held, s.per_client, s.per_query);
			EXPECT_GE(fit, 1u);
			if (fit > 1) {
				EXPECT_LE(fit * s.per_client + 1 + s.per_query, held)
				        << held << " held, " << s.per_client << " a client";
			}
			EXPECT_GT((fit + 1) * s.per_client + 1 + s.per_query, held)
			        << held << " held, " << s.per_client << " a client";
		}
	}
}

} // namespace
