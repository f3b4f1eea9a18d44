// SPDX-License-Identifier: ISC
// Socketmap replies: see reply.hpp.
#include "tools/net/reply.hpp"

#include <cstring>
#include <strings.h>

reply_kind reply_classify(std::string_view line)
{
	const smap_prefix* p = smap_reply_prefix(line.data(), line.size());
	if (p == nullptr)
		return REPLY_UNRECOGNIZED;
	switch (p->outcome) {
	case SMAP_FOUND:
		return REPLY_OK;
	case SMAP_NOTFOUND:
		return REPLY_NOTFOUND;
	case SMAP_FAILURE:
		break;
	}
	return REPLY_FAILURE;
}

bool reply_is_bare_notfound(std::string_view payload)
{
	return payload.size() == 8 && strncasecmp(payload.data(), "NOTFOUND", 8) == 0;
}

std::string_view reply_status_word(std::string_view reply)
{
	size_t n = 0;
	while (n < reply.size() &&
	       ((reply[n] >= 'a' && reply[n] <= 'z') || (reply[n] >= 'A' && reply[n] <= 'Z')))
		n++;
	for (const auto& p : smap_reply_prefixes)
		if (n == p.length - 1 && strncasecmp(reply.data(), p.text, n) == 0)
			return reply.substr(0, n);
	return "?";
}

bool reply_is_transient(std::string_view reply)
{
	const smap_prefix* p = smap_reply_prefix(reply.data(), reply.size());
	return p != nullptr && (strcmp(p->text, "TEMP ") == 0 || strcmp(p->text, "TIMEOUT ") == 0);
}
