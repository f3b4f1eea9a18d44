// SPDX-License-Identifier: ISC
// Queries in flight: one upstream query per key. A query that finds an
// identical one (the same line) with an upstream waits for that one's
// reply instead of going out again, so a hundred clients asking for the
// same domain cost the upstream one query.
//
// Rules:
// 1. At most one flight per key, the query line as the client sent it;
//    a client waits on at most one flight (source.hpp, rule 1).
// 2. A flight is carried by its first waiter: that client's upstream
//    connection carries the exchange (bridge.hpp).
// 3. A waiter that leaves is dropped from its flight. When the carrier
//    leaves while others wait, the waiter that came next carries the
//    flight on; when none is left, the flight ends unanswered.
// 4. When the flight lands, every waiter gets its reply, whatever it is,
//    and the flight ends.
//
// The table owns its flights; clients are only names here. A flight that
// lands is kept, up to FLIGHT_SPARES of them, for the next to take off in
// its place without allocating anything. Nothing here is fatal or logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct client;

struct flight {
	std::string key;
	std::vector<client*> waiters; // the carrier first, then in the order they came
	uint64_t generation = 0;      // the owner's mark of when it took off
};

// Landed flights kept for reuse, and as many entries of who waits where.
constexpr size_t FLIGHT_SPARES = 16;

struct flight_table {
	using key_map = std::unordered_map<std::string_view, std::unique_ptr<flight>>;
	using waiter_map = std::unordered_map<const client*, flight*>;
	key_map by_key; // keys view the flights' own keys
	waiter_map by_waiter;
	std::vector<key_map::node_type> spare_flights;
	std::vector<waiter_map::node_type> spare_waiters;
	uint64_t joined = 0; // queries that waited on another's flight
};

// The flight of `key`, or null.
flight* flights_find(flight_table* t, std::string_view key);
// The flight `who` waits on, or null.
flight* flights_of(const flight_table* t, const client* who);
// A new flight of `key`, carried by `carrier` (rules 1 and 2).
flight* flights_start(flight_table* t, std::string_view key, client* carrier, uint64_t generation);
// `who` waits on `f` too.
void flights_join(flight_table* t, flight* f, client* who);
// `who` leaves (rule 3). *carried tells whether it carried its flight;
// returns the waiter that carries it on, or null (also when the flight
// ended, or `who` waited on none).
client* flights_leave(flight_table* t, const client* who, bool* carried);
// Ends `f` (rule 4), its waiters in *waiters (what it held is dropped);
// `f` is gone.
void flights_land(flight_table* t, flight* f, std::vector<client*>* waiters);

inline size_t flights_in_the_air(const flight_table* t)
{
	return t->by_key.size();
}
