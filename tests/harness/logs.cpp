// SPDX-License-Identifier: ISC
#include "logs.hpp"

#include "sockets.hpp"
#include "temp_dir.hpp"

#include <cstdlib>
#include <unistd.h>

size_t count_of(const std::string& text, const std::string& what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

bool log_shows(const std::string& log, const std::string& what)
{
	long long end = monotonic_ms() + 5000;
	while (read_file(log).find(what) == std::string::npos) {
		if (monotonic_ms() >= end)
			return false;
		usleep(10000);
	}
	return true;
}

int client_slots(const std::string& log)
{
	if (!log_shows(log, " clients at once"))
		return -1;
	std::string text = read_file(log);
	size_t at = text.find("up to ");
	return at == std::string::npos ? -1 : atoi(text.c_str() + at + 6);
}
