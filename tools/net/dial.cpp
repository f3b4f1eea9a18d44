// SPDX-License-Identifier: ISC
// Dialing: see dial.hpp.
#include "tools/net/dial.hpp"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace
{

// A new non-blocking, close-on-exec stream socket whose connect to `a` has
// been started: *in_progress tells whether it is still under way. -1 with
// errno set when the connect failed at once; EAGAIN means the listen
// queue of a local socket is full for the moment.
int connect_start(const endpoint_address& a, bool* in_progress)
{
	*in_progress = false;
	int family = a.addr.ss_family;
	int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd == -1)
		return -1;
	int on = 1;
	bool ok =
	        family == AF_UNIX || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
	if (ok && connect(fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len) == -1) {
		ok = errno == EINPROGRESS;
		*in_progress = ok;
	}
	if (!ok) {
		int error = errno;
		close(fd);
		errno = error;
		return -1;
	}
	return fd;
}

// The outcome of a connect that was in progress: 0 or an errno value.
int connect_outcome(int fd)
{
	int error = 0;
	socklen_t len = sizeof error;
	if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1)
		return errno;
	return error;
}

bool slot_busy(const endpoint_dial_slot& s)
{
	return s.fd != -1 || s.retry_at != -1;
}

void slot_clear(endpoint_dial_slot* s)
{
	if (s->fd != -1)
		close(s->fd);
	*s = {};
}

bool any_busy(const endpoint_dialer* d)
{
	for (const endpoint_dial_slot& s : d->slots)
		if (slot_busy(s))
			return true;
	return false;
}

endpoint_dial_result dial_done(endpoint_dialer* d, endpoint_dial_slot* winner, endpoint_dialed* out)
{
	out->fd = winner->fd;
	out->address = winner->address;
	out->error = 0;
	*winner = {};
	endpoint_dial_abort(d);
	return ENDPOINT_DIAL_DONE;
}

endpoint_dial_result dial_failed(endpoint_dialer* d, int error, endpoint_dialed* out)
{
	endpoint_dial_abort(d);
	*out = {};
	out->error = error;
	return ENDPOINT_DIAL_FAILED;
}

// Connects slot s to its address. True when connected at once; a refusal
// other than a full listen queue or a want of descriptors frees the slot.
// With no descriptor for it, the connect under way beside it is given up
// for it: a process short of descriptors tries its addresses one at a
// time rather than wait on a silent one with none left for the next.
bool slot_connect(endpoint_dialer* d, endpoint_dial_slot* s, int64_t now)
{
	bool in_progress;
	s->retry_at = -1;
	s->fd = connect_start((*d->addresses)[s->address], &in_progress);
	if (s->fd == -1 && errno == EMFILE) {
		d->short_of_fds = true;
		for (endpoint_dial_slot& other : d->slots) {
			if (&other != s && other.fd != -1) {
				slot_clear(&other);
				s->fd = connect_start((*d->addresses)[s->address], &in_progress);
				break;
			}
		}
	}
	if (s->fd != -1)
		return !in_progress;
	d->last_error = errno;
	if (errno == EAGAIN || errno == EMFILE) {
		s->retry_at = std::min(now + ENDPOINT_DIAL_RETRY_MS, d->deadline);
		s->retry_error = errno;
	} else {
		*s = {};
	}
	return false;
}

// The slot for the next address: a free one, or else the one started
// last, given up.
endpoint_dial_slot* slot_for_next(endpoint_dialer* d)
{
	endpoint_dial_slot* last = nullptr;
	for (endpoint_dial_slot& s : d->slots) {
		if (!slot_busy(s))
			return &s;
		if (last == nullptr || s.started >= last->started)
			last = &s;
	}
	slot_clear(last);
	return last;
}

// Starts the addresses that are due: the next one when the stagger has
// run out or a connect failed, and those after it while they fail at once.
endpoint_dial_result start_due(endpoint_dialer* d, int64_t now, endpoint_dialed* out)
{
	size_t count = d->addresses->size();
	while (d->started < count && d->next_start != -1 && now >= d->next_start) {
		endpoint_dial_slot* s = slot_for_next(d);
		s->address = (d->first + d->started++) % count;
		s->started = now;
		if (slot_connect(d, s, now))
			return dial_done(d, s, out);
		if (!slot_busy(*s))
			continue; // failed at once: the next is due now
		// Under way: the next gets its turn after the stagger, or its
		// share of the time left if that is less.
		size_t left = count - d->started;
		d->next_start =
		        left == 0 ? -1
		                  : now + std::min<int64_t>(ENDPOINT_DIAL_STAGGER_MS,
		                                            (d->deadline - now) /
		                                                    static_cast<int64_t>(left + 1));
	}
	if (!any_busy(d))
		return dial_failed(d, d->last_error, out);
	return ENDPOINT_DIAL_PENDING;
}

} // namespace

endpoint_dial_result endpoint_dial_start(endpoint_dialer* d, endpoint_addresses addresses,
                                         size_t first, int64_t now, int64_t deadline,
                                         endpoint_dialed* out)
{
	*d = {};
	d->addresses = std::move(addresses);
	d->first = first < d->addresses->size() ? first : 0;
	d->deadline = deadline;
	d->next_start = now;
	return start_due(d, now, out);
}

void endpoint_dial_poll(const endpoint_dialer* d, pollfd* entries)
{
	for (int i = 0; i < ENDPOINT_DIAL_MAX; i++) {
		int fd = d->slots[i].fd;
		entries[i] = {fd, static_cast<short>(fd != -1 ? POLLOUT : 0), 0};
	}
}

int64_t endpoint_dial_wake(const endpoint_dialer* d)
{
	int64_t wake = d->deadline;
	if (d->next_start != -1 && d->started < d->addresses->size())
		wake = std::min(wake, d->next_start);
	for (const endpoint_dial_slot& s : d->slots)
		if (s.retry_at != -1)
			wake = std::min(wake, s.retry_at);
	return wake;
}

endpoint_dial_result endpoint_dial_step(endpoint_dialer* d, const pollfd* polled, int64_t now,
                                        endpoint_dialed* out)
{
	for (int i = 0; polled != nullptr && i < ENDPOINT_DIAL_MAX; i++) {
		endpoint_dial_slot* s = &d->slots[i];
		if (s->fd == -1 || polled[i].fd != s->fd || polled[i].revents == 0)
			continue;
		int error = connect_outcome(s->fd);
		if (error == 0)
			return dial_done(d, s, out);
		slot_clear(s);
		d->last_error = error;
		d->next_start = now; // the next address at once
	}
	if (now >= d->deadline) {
		bool under_way = false;
		int queued = 0;
		for (const endpoint_dial_slot& s : d->slots) {
			under_way |= s.fd != -1;
			if (s.retry_at != -1)
				queued = s.retry_error;
		}
		int error = under_way ? ETIMEDOUT : queued ? queued : d->last_error;
		return dial_failed(d, error != 0 ? error : ETIMEDOUT, out);
	}
	for (endpoint_dial_slot& s : d->slots) {
		if (s.retry_at == -1 || now < s.retry_at)
			continue;
		if (slot_connect(d, &s, now))
			return dial_done(d, &s, out);
		if (!slot_busy(s))
			d->next_start = now;
	}
	return start_due(d, now, out);
}

void endpoint_dial_abort(endpoint_dialer* d)
{
	for (endpoint_dial_slot& s : d->slots)
		slot_clear(&s);
	d->next_start = -1;
}
