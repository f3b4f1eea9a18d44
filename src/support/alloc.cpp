// SPDX-License-Identifier: ISC
// Allocation wrappers: see alloc.hpp.
#include "support/alloc.hpp"

#include "support/log.hpp"

#include <cstdlib>
#include <cstring>

void* alloc_or_die(size_t size, const char* label)
{
	void* p = malloc(size);
	if (p == nullptr) {
		log_warning("%s: malloc(%zu)", label, size);
		die_msg("exiting");
	}
	return p;
}

void* calloc_or_die(size_t count, size_t size, const char* label)
{
	void* p = calloc(count, size);
	if (p == nullptr) {
		log_warning("%s: calloc(%zu, %zu)", label, count, size);
		die_msg("exiting");
	}
	return p;
}

char* strdup_or_die(const char* s, const char* label)
{
	char* p = strdup(s);
	if (p == nullptr) {
		log_warning("%s: strdup(%p)", label, static_cast<const void*>(s));
		die_msg("exiting");
	}
	return p;
}

void* memdup_or_die(const void* src, size_t size, const char* label)
{
	void* p = malloc(size);
	if (p == nullptr) {
		log_warning("%s: malloc(%zu)", label, size);
		die_msg("exiting");
	}
	// With a size of 0 there is nothing to copy, and src may be null.
	if (size != 0)
		memcpy(p, src, size);
	return p;
}
