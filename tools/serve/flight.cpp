// SPDX-License-Identifier: ISC
// Queries in flight: see flight.hpp.
#include "tools/serve/flight.hpp"

#include <algorithm>

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
	auto f = std::make_unique<flight>();
	f->key = key;
	f->waiters.push_back(carrier);
	f->generation = generation;
	flight* p = f.get();
	t->by_key.emplace(p->key, std::move(f));
	t->by_waiter[carrier] = p;
	return p;
}

void flights_join(flight_table* t, flight* f, client* who)
{
	f->waiters.push_back(who);
	t->by_waiter[who] = f;
	t->joined++;
}

client* flights_leave(flight_table* t, const client* who, bool* carried)
{
	*carried = false;
	auto at = t->by_waiter.find(who);
	if (at == t->by_waiter.end())
		return nullptr;
	flight* f = at->second;
	t->by_waiter.erase(at);
	*carried = f->waiters.front() == who;
	std::erase(f->waiters, who);
	if (f->waiters.empty()) {
		// By position: the key viewed is the flight's own.
		t->by_key.erase(t->by_key.find(f->key));
		return nullptr;
	}
	return *carried ? f->waiters.front() : nullptr;
}

std::vector<client*> flights_land(flight_table* t, flight* f)
{
	std::vector<client*> waiters = std::move(f->waiters);
	for (const client* w : waiters)
		t->by_waiter.erase(w);
	t->by_key.erase(t->by_key.find(f->key));
	return waiters;
}
