// SPDX-License-Identifier: ISC
// Admission: how many clients smap-serve holds at once, and which one it
// closes to make room for a newcomer. A backend keeps its connection
// between lookups and connects again when it finds it closed, so closing
// an idle client costs it a reconnect and nothing more; closing one whose
// query is on its way would cost that lookup its one retry.
//
// Rules:
// 1. The table holds at most `slots` clients: as many as the descriptor
//    limit leaves room for beyond ADMISSION_FD_RESERVE, each client
//    counted with the descriptors that the source may hold for it, and no
//    more than ADMISSION_MAX_CLIENTS; so poll() is never handed more
//    entries than the limit.
// 2. A newcomer is accepted while a slot is free. When none is, it is
//    admitted by closing one client that rule 4 allows; when no client
//    may be closed, it waits in the listen queue, and the listener is
//    left out of poll() until a client may be.
// 3. A client is closable when it has no query pending with the source,
//    no input left to serve, no reply waiting to be sent, and nothing
//    unread in its socket (its next query may be on its way), except:
// 4. Closable clients go in this order: first the connections that have
//    never sent a byte, oldest first, each once it is ADMISSION_FRESH_MS
//    old (the time a backend takes from connect() to its first write);
//    then the stuck clients of rule 5, stuck longest first; then the
//    others, idle longest first.
// 5. A client is stuck, and closable whatever else holds for it, when
//    replies that waited for it ADMISSION_STUCK_MS ago are still unsent,
//    however much of them it has taken in between: its backend stopped
//    waiting for them long ago.
// 6. accept() failing for want of a descriptor of this process (EMFILE)
//    closes the client picked to make room first and accepts again at
//    once; with none picked, and for the system's shortages (ENFILE,
//    ENOBUFS, ENOMEM), accepting pauses for ADMISSION_ACCEPT_PAUSE_MS.
// 7. When descriptors run out although the table was sized for them
//    (EMFILE on accept, or the source short of them), the table shrinks to
//    what the descriptors its clients hold now leave room for, keeping
//    one for a newcomer accepted before the client it replaces is closed
//    and what one query may need beside them (source.hpp, rule 4); closable
//    clients beyond the new size are closed, in the order of rule 4.
// 8. "all N client slots in use" is logged at most once a minute.
//
// The module keeps the accept pause and the time of that warning; the
// table is the caller's. Nothing here is fatal.
#pragma once

#include "tools/net/reply.hpp"
#include "tools/serve/client.hpp"
#include "tools/serve/maps.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// The most clients served at once, whatever the descriptor limit.
constexpr size_t ADMISSION_MAX_CLIENTS = 1024;
// Descriptors kept for what is not a client: 0, 1 and 2, the listener, the
// signal pipe, the map directory, the map files being loaded, one open only
// for a moment (the new connection accepted before the idle client it
// replaces is closed, a small map file read whole, or a map index being
// mapped, which keeps no descriptor afterwards), and room for name
// resolution and descriptors inherited from the parent.
constexpr size_t ADMISSION_FD_RESERVE = 3 + 1 + 2 + 1 + MAPS_LOADS_MAX + 1 + 8;
constexpr int64_t ADMISSION_FRESH_MS = 200;
constexpr int64_t ADMISSION_STUCK_MS = SMAP_TIMEOUT_SECONDS * 1000;
constexpr int64_t ADMISSION_ACCEPT_PAUSE_MS = 1000;

// Sets t->slots for the descriptor `limit` (rule 1) and logs it. For tests
// only, the environment variable SMAP_SERVE_TEST_STUCK_MS, when it holds a
// smaller number of milliseconds, replaces ADMISSION_STUCK_MS.
void admission_size(client_table* t, size_t limit);

// When the listener is to be polled: `now` when a newcomer can be
// admitted now, a later time when a client becomes closable then (or the
// accept pause ends), -1 when only an event can make room.
int64_t admission_open_at(const client_table* t, int64_t now);

// Accepts the newcomers waiting on `listener` as far as rules 2 to 6 let.
void admission_accept(client_table* t, int listener, int64_t now);

// Rule 7.
void admission_shrink(client_table* t, int64_t now);

// --- The rules' parts, for tests --------------------------------------------

// When `c` becomes closable by time (rules 3 to 5, its socket not looked
// at): a time, or -1 while it is busy.
int64_t admission_closable_at(const client* c);
// The clients closable now by time, in the order they go (rule 4); one
// with bytes unread in its socket is skipped when its turn comes.
std::vector<client*> admission_order(const client_table* t, int64_t now);
// The table size that `held` descriptors leave room for (rule 7).
size_t admission_fit(size_t held, size_t per_client, size_t per_query);
