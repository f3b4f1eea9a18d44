// SPDX-License-Identifier: ISC
// Skipped lines: see mapskip.hpp.
#include "tools/serve/mapskip.hpp"

#include "support/log.hpp"

void mapskip_line(const std::string& name, size_t nth, size_t line, const char* why)
{
	if (nth <= MAPSKIP_WARNINGS_MAX)
		log_warning("warn: map %s line %zu: %s, line skipped", name.c_str(), line, why);
}

void mapskip_end(const std::string& name, size_t skipped)
{
	if (skipped > MAPSKIP_WARNINGS_MAX)
		log_warning("warn: map %s: %zu more lines skipped", name.c_str(),
		            skipped - MAPSKIP_WARNINGS_MAX);
}
