// SPDX-License-Identifier: ISC
// Fuzz target: classification and size check of one socketmap reply line,
// checked against a second, independent reading of the line.
#include "backend/smap.hpp"
#include "support/log.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <vector>

namespace
{

struct expected {
	smap_outcome outcome;
	std::string_view text;
};

bool starts_with_nocase(std::string_view s, std::string_view prefix)
{
	return s.size() >= prefix.size() &&
	       strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

expected read_reply(std::string_view line)
{
	if (line.ends_with('\n'))
		line.remove_suffix(1);
	// The reply is a C string: a NUL ends it.
	line = line.substr(0, line.find('\0'));
	if (line.size() >= SMAP_REPLY_SIZE)
		return {SMAP_FAILURE, "socketmap reply too large"};
	struct prefix {
		std::string_view text;
		smap_outcome outcome;
	};
	for (const prefix& p : {prefix{"OK ", SMAP_FOUND}, prefix{"NOTFOUND ", SMAP_NOTFOUND},
	                        prefix{"TEMP ", SMAP_FAILURE}, prefix{"TIMEOUT ", SMAP_FAILURE},
	                        prefix{"PERM ", SMAP_FAILURE}})
		if (starts_with_nocase(line, p.text))
			return {p.outcome, line.substr(p.text.size())};
	return {SMAP_FAILURE, "unrecognized socketmap reply"};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static bool started = (log_start(1), true);
	(void)started;

	std::vector<char> line(data, data + size);
	line.push_back('\0');
	expected e = read_reply(std::string_view(line.data(), size));
	smap_outcome outcome = smap_classify_reply(line.data(), size);
	if (outcome != e.outcome || e.text != smap_reply_text())
		abort();
	return 0;
}
