// SPDX-License-Identifier: ISC
// Error texts: see errtext.hpp.
#include "tools/net/errtext.hpp"

#include <cstring>

std::string with_error(std::string_view what, int error)
{
	std::string text(what);
	text += ": ";
	text += strerror(error);
	return text;
}
