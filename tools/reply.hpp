// Socketmap replies: the limits and prefixes that the backend applies to
// a reply line, shared by the tools that produce or check such lines.
//
// A reply is sorted by a case-insensitive comparison of its start against
// "OK ", "NOTFOUND ", "TEMP ", "TIMEOUT " and "PERM ", each with its
// blank, in that order. Nothing here allocates or fails.
#pragma once

#include <cstddef>
#include <string_view>

// The longest reply line the backend accepts, its newline not counted.
constexpr size_t REPLY_MAX = 100000;

enum reply_kind { REPLY_OK, REPLY_NOTFOUND, REPLY_FAILURE, REPLY_UNRECOGNIZED };

reply_kind reply_classify(std::string_view line);

// True for a bare "NOTFOUND" (any case), valid in the netstring framing
// but not a not-found reply to the backend.
bool reply_is_bare_notfound(std::string_view payload);
