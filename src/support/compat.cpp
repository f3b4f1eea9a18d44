// SPDX-License-Identifier: ISC
// BSD string and process functions for platforms without them.
#include "support/compat.hpp"

#include <cerrno>

#ifdef SMAP_NEED_STRLCPY
size_t strlcpy(char* dst, const char* src, size_t size)
{
	size_t len = strlen(src);
	if (size != 0) {
		size_t n = len < size - 1 ? len : size - 1;
		memcpy(dst, src, n);
		dst[n] = '\0';
	}
	return len;
}
#endif

#ifdef SMAP_NEED_STRLCAT
size_t strlcat(char* dst, const char* src, size_t size)
{
	// Like BSD, never look past `size` bytes for the end of dst.
	size_t dlen = strnlen(dst, size);
	if (dlen == size)
		return size + strlen(src);
	return dlen + strlcpy(dst + dlen, src, size - dlen);
}
#endif

#ifdef SMAP_NEED_GETPROGNAME
const char* getprogname()
{
	// glibc's err() and errx() print this name; use it so that both kinds
	// of diagnostic name the program the same way.
	return program_invocation_short_name;
}
#endif
