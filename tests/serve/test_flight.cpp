// SPDX-License-Identifier: ISC
// Queries in flight, in this process: who waits on which, who carries a
// flight when its carrier leaves, who gets the reply.
#include "tools/serve/client.hpp"
#include "tools/serve/flight.hpp"

#include <gtest/gtest.h>
#include <vector>

namespace
{

TEST(Flight, OneFlightPerKeyWithEveryWaiterOnIt)
{
	flight_table t;
	client a, b, c, d;
	flight* f = flights_start(&t, "t k", &a, 7);
	EXPECT_EQ(flights_find(&t, "t k"), f);
	EXPECT_EQ(flights_find(&t, "t k "), nullptr) << "the key is the line exactly";
	flights_join(&t, f, &b);
	flights_join(&t, f, &c);
	flight* other = flights_start(&t, "t other", &d, 7);
	EXPECT_EQ(flights_of(&t, &c), f);
	EXPECT_EQ(flights_of(&t, &d), other);
	EXPECT_EQ(flights_in_the_air(&t), 2u);
	EXPECT_EQ(t.joined, 2u);
	std::vector<client*> waiters = {&d};
	flights_land(&t, f, &waiters);
	EXPECT_EQ(waiters, (std::vector<client*>{&a, &b, &c}));
	EXPECT_EQ(flights_find(&t, "t k"), nullptr);
	EXPECT_EQ(flights_of(&t, &b), nullptr);
	EXPECT_EQ(flights_of(&t, &d), other);
	EXPECT_EQ(flights_in_the_air(&t), 1u);
	// A landed flight's place serves the next.
	flight* again = flights_start(&t, "t again", &a, 8);
	EXPECT_EQ(again, f);
	EXPECT_EQ(flights_find(&t, "t again"), again);
	EXPECT_EQ(flights_find(&t, "t k"), nullptr);
	EXPECT_EQ(flights_of(&t, &a), again);
	EXPECT_EQ(again->waiters, std::vector<client*>{&a});
	EXPECT_EQ(again->generation, 8u);
}

TEST(Flight, AFlightGoesOnWhileAnyoneWaits)
{
	// Who leaves, in turn, from a flight of a (the carrier), b and c; and
	// who carries it on after each: null when the flight goes on with its
	// carrier, or ended.
	struct row {
		std::vector<int> leave;
		std::vector<int> carried;    // 1 when that one carried it
		std::vector<int> carries_on; // index of the new carrier, -1 for none
		int carrier;                 // at the end; -1 when the flight ended
	};
	const row rows[] = {
	        {{1}, {0}, {-1}, 0},
	        {{0}, {1}, {1}, 1},
	        {{0, 1}, {1, 1}, {1, 2}, 2},
	        {{0, 2, 1}, {1, 0, 1}, {1, -1, -1}, -1},
	        {{2, 1, 0}, {0, 0, 1}, {-1, -1, -1}, -1},
	};
	for (const row& r : rows) {
		flight_table t;
		client who[3];
		flight* f = flights_start(&t, "t k", &who[0], 0);
		flights_join(&t, f, &who[1]);
		flights_join(&t, f, &who[2]);
		for (size_t i = 0; i < r.leave.size(); i++) {
			bool carried;
			client* next = flights_leave(&t, &who[r.leave[i]], &carried);
			EXPECT_EQ(carried, r.carried[i] == 1) << &r - rows << " " << i;
			EXPECT_EQ(next, r.carries_on[i] == -1 ? nullptr : &who[r.carries_on[i]])
			        << &r - rows << " " << i;
			EXPECT_EQ(flights_of(&t, &who[r.leave[i]]), nullptr);
		}
		flight* left = flights_find(&t, "t k");
		ASSERT_EQ(left == nullptr, r.carrier == -1) << &r - rows;
		if (left != nullptr) {
			std::vector<client*> waiters;
			flights_land(&t, left, &waiters);
			EXPECT_EQ(waiters.size(), 3 - r.leave.size());
			EXPECT_EQ(waiters.front(), &who[r.carrier]) << "the carrier first";
		}
	}
	flight_table t;
	client nobody;
	bool carried = true;
	EXPECT_EQ(flights_leave(&t, &nobody, &carried), nullptr);
	EXPECT_FALSE(carried);
}

} // namespace
