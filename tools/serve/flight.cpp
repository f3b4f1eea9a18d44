// SPDX-License-Identifier: ISC
// Queries in flight: see flight.hpp.
#include "tools/serve/flight.hpp"

#include <algorithm>

namespace
{

// Notes that `who` waits on `f`, in a spare entry if there is one.
void wait_on(flight_table* t, const client* who, flight* f)
{
	if (t->spare_waiters.empty()) {
		t->by_waiter[who] = f;
		return;
	}
	flight_table::waiter_map::node_type node = std::move(t->spare_waiters.back());
	t->spare_waiters.pop_back();
	node.key() = who;
	node.mapped() = f;
	t->by_waiter.insert(std::move(node));
}

void stop_waiting(flight_table* t, flight_table::waiter_map::iterator at)
{
	flight_table::waiter_map::node_type node = t->by_waiter.extract(at);
	if (t->spare_waiters.size() < FLIGHT_SPARES)
		t->spare_waiters.push_back(std::move(node));
}

// Removes `f`, keeping it as a spare if there is room.
void end(flight_table* t, flight* f)
{
	// By position: the key viewed is the flight's own.
	flight_table::key_map::node_type node = t->by_key.extract(t->by_key.find(f->key));
	if (t->spare_flights.size() < FLIGHT_SPARES)
		t->spare_flights.push_back(std::move(node));
}

} // namespace

flight* flights_find(flight_table* t, std::string_view key)
{
	auto it = t->by_key.find(key);
	return it == t->by_key.end() ? nullptr : it->second.get();
}

flight* flights_of(const flight_table* t, const client* who)
{
	auto it = t->by_waiter.find(who);
	return it == t->by_waiter.end() ? nullptr : it->second;
}

flight* flights_start(flight_table* t, std::string_view key, client* carrier, uint64_t generation)
{
	flight* f;
	if (t->spare_flights.empty()) {
		auto made = std::make_unique<flight>();
		f = made.get();
		f->key = key;
		t->by_key.emplace(f->key, std::move(made));
	} else {
		flight_table::key_map::node_type node = std::move(t->spare_flights.back());
		t->spare_flights.pop_back();
		f = node.mapped().get();
		f->key.assign(key);
		node.key() = f->key;
		t->by_key.insert(std::move(node));
	}
	f->waiters.clear();
	f->waiters.push_back(carrier);
	f->generation = generation;
	wait_on(t, carrier, f);
	return f;
}

void flights_join(flight_table* t, flight* f, client* who)
{
	f->waiters.push_back(who);
	wait_on(t, who, f);
	t->joined++;
}

client* flights_leave(flight_table* t, const client* who, bool* carried)
{
	*carried = false;
	auto at = t->by_waiter.find(who);
	if (at == t->by_waiter.end())
		return nullptr;
	flight* f = at->second;
	stop_waiting(t, at);
	*carried = f->waiters.front() == who;
	std::erase(f->waiters, who);
	if (f->waiters.empty()) {
		end(t, f);
		return nullptr;
	}
	return *carried ? f->waiters.front() : nullptr;
}

void flights_land(flight_table* t, flight* f, std::vector<client*>* waiters)
{
	waiters->clear();
	waiters->swap(f->waiters);
	for (const client* w : *waiters)
		stop_waiting(t, t->by_waiter.find(w));
	end(t, f);
}
