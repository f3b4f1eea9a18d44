// SPDX-License-Identifier: ISC
// Socketmap server endpoints: see endpoint.hpp.
#include "tools/net/endpoint.hpp"

#include "tools/net/errtext.hpp"
#include "tools/net/usock.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

const char ENDPOINT_FORMS[] = "unix:PATH, local:PATH, unix:///PATH, PATH, inet:HOST:PORT, "
                              "inet:[IPV6]:PORT, inet://HOST:PORT";

namespace
{

bool is_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

// The type before the first ":" when the text begins with one (a letter,
// then letters, digits, "+", "-" or "."); empty otherwise.
std::string_view type_of(std::string_view text)
{
	if (text.empty() || !is_letter(text[0]))
		return {};
	for (size_t i = 1; i < text.size(); i++) {
		char c = text[i];
		if (c == ':')
			return text.substr(0, i);
		if (!is_letter(c) && !is_digit(c) && c != '+' && c != '-' && c != '.')
			return {};
	}
	return {};
}

bool type_is(std::string_view type, const char* name)
{
	return type.size() == strlen(name) && strncasecmp(type.data(), name, type.size()) == 0;
}

bool parse_port(std::string_view text, std::string* port, std::string* why)
{
	unsigned long value = 0;
	bool digits = !text.empty() && text.size() <= 5;
	for (char c : text) {
		digits = digits && is_digit(c);
		value = value * 10 + static_cast<unsigned long>(c - '0');
	}
	if (!digits || value == 0 || value > 65535) {
		*why = "the port must be a number from 1 to 65535";
		return false;
	}
	port->assign(text);
	return true;
}

bool is_ipv6_literal(const std::string& host)
{
	// A zone ("%eth0") may follow the address.
	std::string address = host.substr(0, host.find('%'));
	in6_addr unused;
	return inet_pton(AF_INET6, address.c_str(), &unused) == 1;
}

bool parse_inet(std::string_view rest, endpoint* ep, std::string* why)
{
	if (rest.substr(0, 2) == "//")
		rest.remove_prefix(2);
	std::string_view host, port;
	if (!rest.empty() && rest[0] == '[') {
		size_t close = rest.find(']');
		if (close == std::string_view::npos || close + 1 >= rest.size() ||
		    rest[close + 1] != ':') {
			*why = "expected [IPV6]:PORT";
			return false;
		}
		host = rest.substr(1, close - 1);
		port = rest.substr(close + 2);
		ep->host.assign(host);
		if (!is_ipv6_literal(ep->host)) {
			*why = "not an IPv6 address in the brackets";
			return false;
		}
	} else {
		size_t colon = rest.rfind(':');
		if (colon == std::string_view::npos) {
			*why = "expected HOST:PORT";
			return false;
		}
		host = rest.substr(0, colon);
		port = rest.substr(colon + 1);
		if (host.find(':') != std::string_view::npos) {
			*why = "an IPv6 address goes in brackets";
			return false;
		}
		for (char c : host) {
			if (!is_letter(c) && !is_digit(c) && c != '-' && c != '.' && c != '_') {
				*why = "the host must be a name or an address";
				return false;
			}
		}
		if (host.empty()) {
			*why = "the host is empty";
			return false;
		}
		ep->host.assign(host);
	}
	ep->kind = ENDPOINT_INET;
	return parse_port(port, &ep->port, why);
}

bool parse_path(std::string_view rest, bool typed, endpoint* ep, std::string* why)
{
	if (typed && rest.substr(0, 2) == "//") {
		// The URL form: an empty authority, then an absolute path.
		rest.remove_prefix(2);
		if (rest.empty() || rest[0] != '/') {
			*why = "expected unix:///PATH";
			return false;
		}
	}
	if (rest.empty()) {
		*why = "the socket path is empty";
		return false;
	}
	if (rest.find('\0') != std::string_view::npos) {
		*why = "the socket path holds a NUL byte";
		return false;
	}
	if (rest.size() >= sizeof(sockaddr_un::sun_path)) {
		*why = "socket path too long";
		return false;
	}
	ep->kind = ENDPOINT_UNIX;
	ep->path.assign(rest);
	return true;
}

} // namespace

bool endpoint_parse(std::string_view text, endpoint* ep, std::string* why)
{
	*ep = endpoint();
	ep->text.assign(text);
	std::string_view type = type_of(text);
	if (type.empty())
		return parse_path(text, false, ep, why);
	std::string_view rest = text.substr(type.size() + 1);
	if (type_is(type, "unix") || type_is(type, "local"))
		return parse_path(rest, true, ep, why);
	if (type_is(type, "inet"))
		return parse_inet(rest, ep, why);
	*why = "unknown endpoint type \"" + std::string(type) + ":\"";
	return false;
}

bool endpoint_has_name(const endpoint& ep)
{
	if (ep.kind != ENDPOINT_INET)
		return false;
	in_addr unused;
	return inet_pton(AF_INET, ep.host.c_str(), &unused) != 1 && !is_ipv6_literal(ep.host);
}

bool endpoint_resolve(const endpoint& ep, std::vector<endpoint_address>* out, std::string* why)
{
	out->clear();
	if (ep.kind == ENDPOINT_UNIX) {
		endpoint_address a = {};
		auto* sun = reinterpret_cast<sockaddr_un*>(&a.addr);
		if (!usock_address(ep.path.c_str(), sun)) {
			*why = "socket path too long";
			return false;
		}
		a.len = sizeof *sun;
		out->push_back(a);
		return true;
	}
	addrinfo hints = {};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICSERV;
	addrinfo* list = nullptr;
	int error = getaddrinfo(ep.host.c_str(), ep.port.c_str(), &hints, &list);
	if (error == EAI_SYSTEM) {
		*why = with_error("cannot resolve " + ep.host, errno);
		return false;
	}
	if (error != 0) {
		*why = std::string("cannot resolve ") + ep.host + ": " + gai_strerror(error);
		return false;
	}
	for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
		if (ai->ai_addrlen > sizeof(sockaddr_storage))
			continue;
		endpoint_address a = {};
		memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
		a.len = ai->ai_addrlen;
		out->push_back(a);
	}
	freeaddrinfo(list);
	if (out->empty()) {
		*why = std::string("cannot resolve ") + ep.host + ": no stream address";
		return false;
	}
	return true;
}
