// SPDX-License-Identifier: ISC
// Socketmap server endpoints: where smap-query and the bridge connect.
//
// An endpoint is written in one of the forms of ENDPOINT_FORMS:
//   unix:PATH, local:PATH, unix:///PATH, or a bare PATH: a local stream
//     socket. The path may not be empty (an empty path would name an
//     abstract socket, which is never used) and must fit sun_path.
//   inet:HOST:PORT, inet:[IPV6]:PORT, inet://HOST:PORT, inet://[IPV6]:PORT:
//     TCP. HOST is a name or an IPv4 address; an IPv6 address goes in
//     brackets; PORT is a decimal number from 1 to 65535.
// The type before the first ":" is compared without regard to case. A
// text that begins with any other "word:" is refused rather than taken
// for a relative path, so that a mistyped type is reported at once
// ("./word:x" names such a path).
//
// endpoint_parse() checks the syntax and keeps the text as written, for
// messages. endpoint_resolve() turns an endpoint into the addresses to
// try in turn: the socket path, or getaddrinfo()'s list (which may block
// for as long as name resolution takes).
//
// The connects themselves are dial.hpp's. Each caller owns its endpoint
// and its address list. Nothing here is fatal or logs.
#pragma once

#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

// The accepted forms, for command-line errors.
extern const char ENDPOINT_FORMS[];

enum endpoint_kind { ENDPOINT_UNIX, ENDPOINT_INET };

struct endpoint {
	endpoint_kind kind = ENDPOINT_UNIX;
	std::string text; // as written on the command line
	std::string path; // ENDPOINT_UNIX
	std::string host; // ENDPOINT_INET, without brackets
	std::string port; // ENDPOINT_INET, decimal
};

struct endpoint_address {
	sockaddr_storage addr;
	socklen_t len;
};

// Parses `text`; false, with the reason in *why, when it is malformed.
bool endpoint_parse(std::string_view text, endpoint* ep, std::string* why);

// True for a TCP endpoint whose host is a name (not an address literal):
// only then can resolving it again give other addresses.
bool endpoint_has_name(const endpoint& ep);

// Fills *out with the addresses of `ep`, in the order to try them; false,
// with the reason in *why, when there are none (a name that does not
// resolve; a path too long, which endpoint_parse() already refuses).
bool endpoint_resolve(const endpoint& ep, std::vector<endpoint_address>* out, std::string* why);
