// SPDX-License-Identifier: ISC
// String utilities: see strutil.hpp.
#include "support/strutil.hpp"

#include "support/compat.hpp"

#include <cctype>
#include <cstring>

char* trim_space(char* s)
{
	while (isspace(static_cast<unsigned char>(*s)))
		s++;
	size_t len = strlen(s);
	while (len > 0 && isspace(static_cast<unsigned char>(s[len - 1])))
		s[--len] = '\0';
	return s;
}

int lowercase_copy(char* dst, const char* src, size_t size)
{
	if (size == 0)
		return 0;
	if (strlcpy(dst, src, size) >= size)
		return 0;
	for (char* p = dst; *p != '\0'; p++)
		*p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
	return 1;
}
