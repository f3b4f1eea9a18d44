// SPDX-License-Identifier: ISC
// The tools' clock: see clock.hpp.
#include "tools/net/clock.hpp"

#include <cstdlib>
#include <ctime>

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t test_bound_ms(const char* name, int64_t normal)
{
	const char* text = getenv(name);
	if (text == nullptr || *text == '\0')
		return normal;
	char* end;
	long long ms = strtoll(text, &end, 10);
	return *end == '\0' && ms >= 0 && ms < normal ? ms : normal;
}

int64_t now_us()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
