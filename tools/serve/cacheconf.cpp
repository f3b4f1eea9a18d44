// SPDX-License-Identifier: ISC
// What the cache keeps and for how long: see cacheconf.hpp.
#include "tools/serve/cacheconf.hpp"

namespace
{

// A whole number of at most `max`, digits only.
bool parse_whole(std::string_view text, uint64_t max, uint64_t* value)
{
	if (text.empty() || text.size() > 20)
		return false;
	uint64_t n = 0;
	for (char c : text) {
		if (c < '0' || c > '9')
			return false;
		n = n * 10 + static_cast<uint64_t>(c - '0');
		if (n > max)
			return false;
	}
	*value = n;
	return true;
}

bool seconds(std::string_view text, int64_t* ms, std::string* why)
{
	uint64_t s;
	if (!parse_whole(text, CACHECONF_SECONDS_MAX, &s)) {
		*why = "expected whole seconds from 0 to " + std::to_string(CACHECONF_SECONDS_MAX);
		return false;
	}
	*ms = static_cast<int64_t>(s) * 1000;
	return true;
}

// The table's own time of `ttl`, or -1.
int64_t own_ms(const cacheconf_ttl& ttl, std::string_view table)
{
	auto it = ttl.table_ms.find(table);
	return it == ttl.table_ms.end() ? -1 : it->second;
}

} // namespace

bool cacheconf_parse_ttl(cacheconf_ttl* ttl, const char* text, std::string* why)
{
	std::string_view t(text);
	size_t eq = t.rfind('=');
	int64_t ms;
	if (eq == std::string_view::npos) {
		if (!seconds(t, &ms, why))
			return false;
		ttl->all_ms = ms;
		return true;
	}
	std::string_view table = t.substr(0, eq);
	if (table.empty() || table.find_first_of(" \t") != std::string_view::npos) {
		*why = "expected SECONDS or TABLE=SECONDS, TABLE without blanks";
		return false;
	}
	if (!seconds(t.substr(eq + 1), &ms, why))
		return false;
	ttl->table_ms[std::string(table)] = ms;
	return true;
}

bool cacheconf_parse_seconds(const char* text, int64_t* ms, std::string* why)
{
	return seconds(text, ms, why);
}

bool cacheconf_parse_size(const char* text, size_t* size, std::string* why)
{
	uint64_t n;
	if (!parse_whole(text, CACHECONF_SIZE_MAX, &n) || n == 0) {
		*why = "expected a whole number from 1 to " + std::to_string(CACHECONF_SIZE_MAX);
		return false;
	}
	*size = static_cast<size_t>(n);
	return true;
}

int64_t cacheconf_positive_ms(const cache_config& c, std::string_view table)
{
	int64_t own = own_ms(c.positive, table);
	if (own != -1)
		return own;
	return c.positive.all_ms != -1 ? c.positive.all_ms : 0;
}

int64_t cacheconf_negative_ms(const cache_config& c, std::string_view table)
{
	int64_t own = own_ms(c.negative, table);
	if (own != -1)
		return own;
	if (own_ms(c.positive, table) == 0)
		return 0;
	if (c.negative.all_ms != -1)
		return c.negative.all_ms;
	return cacheconf_positive_ms(c, table);
}

bool cacheconf_enabled(const cache_config& c)
{
	for (const cacheconf_ttl* t : {&c.positive, &c.negative}) {
		if (t->all_ms > 0)
			return true;
		for (const auto& [table, ms] : t->table_ms)
			if (ms > 0)
				return true;
	}
	return false;
}
