// Socketmap replies: see reply.hpp.
#include "tools/reply.hpp"

#include <strings.h>

namespace
{

struct prefix {
	std::string_view text;
	reply_kind kind;
};

constexpr prefix prefixes[] = {
        {"OK ", REPLY_OK},           {"NOTFOUND ", REPLY_NOTFOUND}, {"TEMP ", REPLY_FAILURE},
        {"TIMEOUT ", REPLY_FAILURE}, {"PERM ", REPLY_FAILURE},
};

bool starts_with_nocase(std::string_view s, std::string_view p)
{
	return s.size() >= p.size() && strncasecmp(s.data(), p.data(), p.size()) == 0;
}

} // namespace

reply_kind reply_classify(std::string_view line)
{
	for (const auto& p : prefixes)
		if (starts_with_nocase(line, p.text))
			return p.kind;
	return REPLY_UNRECOGNIZED;
}

bool reply_is_bare_notfound(std::string_view payload)
{
	return payload.size() == 8 && starts_with_nocase(payload, "NOTFOUND");
}
