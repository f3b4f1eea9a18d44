// SPDX-License-Identifier: ISC
// Socketmap replies as the tools see them: the backend's reply rules
// (backend/smap_reply.hpp) sorted into the four kinds that the tools act
// on, the bare "NOTFOUND" that only the netstring framing allows, the
// status word that a log line may show, and when a server's reply is due.
// Nothing here allocates or fails.
#pragma once

#include "backend/smap_reply.hpp"

#include <cstdint>
#include <string_view>

// A server answers every query within this, a second inside the backend's
// bound, so that even a TEMP reaches the backend while it still waits.
constexpr int64_t REPLY_DUE_MS = (SMAP_TIMEOUT_SECONDS - 1) * 1000;

enum reply_kind { REPLY_OK, REPLY_NOTFOUND, REPLY_FAILURE, REPLY_UNRECOGNIZED };

reply_kind reply_classify(std::string_view line);

// True for a bare "NOTFOUND" (any case), valid in the netstring framing
// but not a not-found reply to the backend.
bool reply_is_bare_notfound(std::string_view payload);

// The status word of a reply, safe to log: the letters before its first
// character that is not a letter, when they are one of the prefixes' words
// (OK, NOTFOUND, TEMP, TIMEOUT, PERM, any case); "?" otherwise, so that a
// value glued to its status ("OKsecret") is not shown either.
std::string_view reply_status_word(std::string_view reply);

// True for a TEMP or TIMEOUT reply (any case): a failure that may pass,
// unlike PERM.
bool reply_is_transient(std::string_view reply);
