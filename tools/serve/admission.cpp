// SPDX-License-Identifier: ISC
// Admission: see admission.hpp.
#include "tools/serve/admission.hpp"

#include "support/log.hpp"
#include "tools/net/clock.hpp"
#include "tools/net/peek.hpp"
#include "tools/serve/source.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace
{

int64_t admission_paused_until;
int64_t admission_warned = -1;
int64_t admission_stuck_ms = ADMISSION_STUCK_MS;

// The groups of rule 4, in the order they go.
enum closable_kind { KIND_SILENT, KIND_STUCK, KIND_IDLE };

closable_kind kind_of(const client* c)
{
	if (!c->spoke)
		return KIND_SILENT;
	return client_unsent(c) > 0 ? KIND_STUCK : KIND_IDLE;
}

// What orders clients within their group.
int64_t age_key(const client* c)
{
	switch (kind_of(c)) {
	case KIND_SILENT:
		return c->accepted_at;
	case KIND_STUCK:
		return c->waiting_since;
	case KIND_IDLE:
		break;
	}
	return c->last_active;
}

// The next client of `order`, from *next on, that can be closed now; null
// when none is left. One that looks idle may have sent a query since the
// last poll(): with bytes waiting in its socket it is skipped, and served
// in the next round. A stuck one goes whatever it has sent.
client* next_victim(const std::vector<client*>& order, size_t* next)
{
	while (*next < order.size()) {
		client* c = order[(*next)++];
		if (client_unsent(c) > 0 || peek_unread(c->fd) != PEEK_BYTES)
			return c;
	}
	return nullptr;
}

void evict(client_table* t, client* victim, int64_t now)
{
	if (admission_warned == -1 || now - admission_warned >= 60000) {
		log_warning("warn: all %zu client slots in use: closing the clients idle longest "
		            "to admit new ones",
		            t->slots);
		admission_warned = now;
	}
	if (client_verbose)
		log_dbg("client %d: idle longest, closed to admit a new client", victim->fd);
	victim->closing = kind_of(victim) == KIND_STUCK ? CLOSE_STUCK : CLOSE_IDLE;
	client_remove(t, victim);
}

bool is_shortage(int error)
{
	return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace

void admission_size(client_table* t, size_t limit)
{
	admission_stuck_ms = test_bound_ms("SMAP_SERVE_TEST_STUCK_MS", ADMISSION_STUCK_MS);
	size_t per_client = 1 + t->src->fds_per_client();
	size_t room = limit > ADMISSION_FD_RESERVE ? limit - ADMISSION_FD_RESERVE : 0;
	t->slots = std::clamp<size_t>(room / per_client, 1, ADMISSION_MAX_CLIENTS);
	log_note("descriptor limit %zu: up to %zu clients at once", limit, t->slots);
}

int64_t admission_closable_at(const client* c)
{
	if (c->waiting || c->dead)
		return -1;
	if (client_unsent(c) > 0)
		return c->waiting_since + admission_stuck_ms;
	if (c->in_len > 0)
		return -1;
	return c->spoke ? c->last_active : c->accepted_at + ADMISSION_FRESH_MS;
}

std::vector<client*> admission_order(const client_table* t, int64_t now)
{
	std::vector<client*> order;
	for (const auto& c : t->clients) {
		int64_t at = admission_closable_at(c.get());
		if (at != -1 && at <= now)
			order.push_back(c.get());
	}
	std::stable_sort(order.begin(), order.end(), [](const client* a, const client* b) {
		closable_kind ka = kind_of(a), kb = kind_of(b);
		return ka != kb ? ka < kb : age_key(a) < age_key(b);
	});
	return order;
}

int64_t admission_open_at(const client_table* t, int64_t now)
{
	if (now < admission_paused_until)
		return admission_paused_until;
	if (t->clients.size() < t->slots)
		return now;
	int64_t when = -1;
	for (const auto& c : t->clients) {
		int64_t at = admission_closable_at(c.get());
		if (at != -1 && (when == -1 || at < when))
			when = at;
	}
	return when == -1 ? -1 : std::max(when, now);
}

size_t admission_fit(size_t held, size_t per_client, size_t per_query)
{
	size_t spare = 1 + per_query;
	return std::max<size_t>(held > spare ? (held - spare) / per_client : 0, 1);
}

void admission_shrink(client_table* t, int64_t now)
{
	size_t held = t->clients.size() + t->src->descriptors();
	size_t fit = admission_fit(held, 1 + t->src->fds_per_client(), t->src->fds_per_query());
	if (fit < t->slots) {
		t->slots = fit;
		log_warning("warn: descriptors exhausted: client table reduced to %zu", t->slots);
	}
	std::vector<client*> order = admission_order(t, now);
	size_t next = 0;
	while (t->clients.size() > t->slots) {
		client* victim = next_victim(order, &next);
		if (victim == nullptr)
			break;
		evict(t, victim, now);
	}
}

void admission_accept(client_table* t, int listener, int64_t now)
{
	// Clients accepted here are not in the order: none is closed for
	// another in the same round.
	std::vector<client*> order = admission_order(t, now);
	size_t next = 0;
	for (;;) {
		client* victim = nullptr;
		if (t->clients.size() >= t->slots &&
		    (victim = next_victim(order, &next)) == nullptr)
			return;
		int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd != -1) {
			if (victim != nullptr)
				evict(t, victim, now);
			client_add(t, fd, now);
			continue;
		}
		int error = errno;
		if (!is_shortage(error)) {
			if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR &&
			    error != ECONNABORTED)
				log_warning_sys("warn: accept");
			return;
		}
		log_warning_sys("warn: accept");
		if (error == EMFILE && !t->clients.empty()) {
			// The client picked to make room goes first, and its
			// descriptors serve the next accept() at once.
			if (victim != nullptr)
				evict(t, victim, now);
			admission_shrink(t, now);
			if (victim != nullptr) {
				order = admission_order(t, now);
				next = 0;
				continue;
			}
		}
		admission_paused_until = now + ADMISSION_ACCEPT_PAUSE_MS;
		return;
	}
}
