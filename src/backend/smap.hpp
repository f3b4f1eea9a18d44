// SPDX-License-Identifier: ISC
// Socketmap backend: the table protocol's four request handlers.
//
// Lookups are forwarded to a socketmap server on a local stream socket:
// the query line "TABLE KEY\n" out, one reply line back. The connection is
// opened by the first lookup, kept while it works, and reopened after the
// server closed it or the exchange fell out of step: a lookup whose
// exchange fails at the connection level reconnects once and asks again.
// Each connect, and each exchange (the query's write and the reply's read
// together), is bounded by SMAP_TIMEOUT_SECONDS, however slowly the server
// reads or writes and however often a signal interrupts the wait; a lookup
// that runs into the bound ends as error without a retry, and the next
// lookup reconnects. A reply line is read with a bound on its size as well: no
// more than SMAP_REPLY_SIZE bytes of it are ever held, and the connection
// that carried a reply too large to keep is closed, so that no part of it
// can answer a later query. No address connected to is ever abstract: an
// empty socket path names no socket.
//
// The module owns the socket, the buffer that replies are received into,
// the connection flag and the reply buffer. Nothing here is fatal: every
// failure of a lookup is logged as a warning and answered with -1; the
// process goes on serving.
#pragma once

#include "backend/smap_reply.hpp"
#include "tableproto/tproto.hpp"

#include <cstddef>

// The reply buffer: a reply line of up to SMAP_REPLY_MAX bytes and its NUL.
constexpr size_t SMAP_REPLY_SIZE = SMAP_REPLY_MAX + 1;

// The socketmap server's socket path, the command-line operand (not copied).
extern const char* smap_socket_path;

// update_handler: always succeeds (1).
int smap_update();
// check_handler and fetch_handler: always fail (-1).
int smap_check(service_kind kind, dict* params, const char* key);
int smap_fetch(service_kind kind, dict* params, char* dst, size_t size);
// lookup_handler: 1 with the value in dst, 0 for not found, -1 for error.
int smap_lookup(service_kind kind, dict* params, const char* key, char* dst, size_t size);

// --- Reply classification, exposed for tests -------------------------------

// Classifies one reply line of `len` bytes as read from the socket, with a
// NUL after them (a NUL within the line ends its text early): removes
// one trailing newline, enforces the size limit (logging
// "warn: socketmap reply too large (>%zu bytes)") and sorts the line by
// its prefix. Leaves the value, the reason or a diagnostic text in the
// reply buffer.
smap_outcome smap_classify_reply(char* line, size_t len);
// The reply buffer: the current reply's text or the last failure's text.
const char* smap_reply_text();

// Replaces the time bound on connects and exchanges, SMAP_TIMEOUT_SECONDS,
// for tests that must not wait that long. Call it before the first lookup.
void smap_set_timeout_ms(int ms);
