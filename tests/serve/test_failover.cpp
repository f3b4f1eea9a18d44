// SPDX-License-Identifier: ISC
// The bridge's upstreams and which of them is up, in this process, on a
// clock that the test sets: where a query goes, the back-off, the share of
// a connect, the log lines.
#include "harness/child.hpp"
#include "support/log.hpp"
#include "tools/serve/failover.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

constexpr int64_t T0 = 1000000;

// Upstreams named a, b, c, ... on local sockets (nothing is dialed here).
void open_set(failover* f, size_t n)
{
	std::vector<endpoint> eps(n);
	std::string why;
	for (size_t i = 0; i < n; i++)
		EXPECT_TRUE(endpoint_parse("/nonexistent/" + std::string(1, char('a' + i)), &eps[i],
		                           &why));
	failover_open(f, eps);
}

failover_tried bits(std::initializer_list<int> upstreams)
{
	failover_tried t = 0;
	for (int i : upstreams)
		t |= failover_tried(1) << i;
	return t;
}

TEST(Failover, AQueryGoesToTheFirstUpstreamUpThatItHasNotTried)
{
	struct row {
		std::vector<int> down; // gone down at T0, in this order
		failover_tried tried;
		int64_t at; // ms after T0
		int expect;
	};
	const row rows[] = {
	        {{}, 0, 0, 0},
	        {{0}, 0, 0, 1},
	        {{0, 1}, 0, 0, 2},
	        {{}, bits({0}), 0, 1},
	        {{1}, bits({0}), 0, 2},
	        {{0}, 0, FAILOVER_BACKOFF_FIRST_MS, 0}, // its back-off ended: first again
	        {{2}, bits({0, 1}), 0, -1},             // tried one: answered
	        // Every upstream down: at once the one whose back-off ends first,
	        // the first to go down, when the query has tried none.
	        {{1, 0, 2}, 0, 0, 1},
	        {{1, 0, 2}, bits({1}), 0, -1},
	};
	for (const row& r : rows) {
		failover f;
		open_set(&f, 3);
		int64_t t = T0;
		for (int i : r.down)
			failover_down(&f, static_cast<size_t>(i), "gone", t++);
		EXPECT_EQ(failover_pick(&f, r.tried, T0 + r.at + 2), r.expect) << &r - rows;
		EXPECT_EQ(failover_all_down(&f, T0 + r.at + 2), r.down.size() == 3) << &r - rows;
	}
}

TEST(Failover, BackOffDoublesFromOneSecondToThirtyAndComesBackWithAnAnswer)
{
	failover f;
	open_set(&f, 2);
	const upstream_health& h = f.ups[0].health;
	int64_t now = T0;
	std::vector<int64_t> backoffs;
	for (int i = 0; i < 8; i++) {
		failover_down(&f, 0, "refused", now);
		backoffs.push_back(h.retry_at - now);
		// Failures of attempts begun before the back-off ended lengthen
		// nothing.
		failover_down(&f, 0, "refused", now + 1);
		EXPECT_EQ(h.retry_at - now, backoffs.back());
		EXPECT_EQ(failover_pick(&f, 0, h.retry_at - 1), 1);
		EXPECT_EQ(failover_pick(&f, 0, h.retry_at), 0);
		now = h.retry_at;
	}
	EXPECT_EQ(backoffs,
	          (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
	EXPECT_EQ(h.downs, 1u);
	failover_answered(&f, 0, 0);
	EXPECT_TRUE(h.down) << "the answer to a query sent before it went down";
	failover_answered(&f, 0, 1);
	EXPECT_FALSE(h.down);
	failover_down(&f, 0, "refused", now);
	EXPECT_EQ(h.retry_at - now, FAILOVER_BACKOFF_FIRST_MS) << "a new outage starts over";
	EXPECT_EQ(h.downs, 2u);
}

TEST(Failover, AConnectHasItsShareOfTheTimeLeft)
{
	struct row {
		size_t upstreams;
		std::vector<int> down;
		failover_tried tried;
		int64_t expect; // ms after T0, of 900 left
	};
	const row rows[] = {
	        {1, {}, 0, 900},         {2, {}, 0, 450},     {3, {}, 0, 300},
	        {3, {}, bits({0}), 450}, {3, {1, 2}, 0, 900}, // the others down: all of it
	        {3, {0, 1, 2}, 0, 900},
	};
	for (const row& r : rows) {
		failover f;
		open_set(&f, r.upstreams);
		for (int i : r.down)
			failover_down(&f, static_cast<size_t>(i), "gone", T0);
		EXPECT_EQ(failover_connect_deadline(&f, r.tried, T0, T0 + 900), T0 + r.expect)
		        << &r - rows;
	}
}

TEST(Failover, OneLineWhenAnUpstreamGoesDownAndOneWhenItAnswersAgain)
{
	child_result r = logged_child([] {
		failover f;
		open_set(&f, 2);
		for (int i = 0; i < 50; i++)
			failover_down(&f, 0, "cannot connect: Connection refused", T0 + i * 1000);
		failover_answered(&f, 0, 1);
		failover_answered(&f, 0, 1);
		failover_answered(&f, 1, 0);
	});
	EXPECT_EQ(r.status, 0);
	std::vector<std::string> lines = log_messages(r.err);
	EXPECT_EQ(lines, (std::vector<std::string>{
	                         "warn: upstream /nonexistent/a is down: cannot connect: "
	                         "Connection refused",
	                         "upstream /nonexistent/a answers again"}));
}

} // namespace
