// Socketmap replies: see reply.hpp.
#include "tools/reply.hpp"

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
