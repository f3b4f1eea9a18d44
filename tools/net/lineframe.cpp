// SPDX-License-Identifier: ISC
// Line framing: see lineframe.hpp.
#include "tools/net/lineframe.hpp"

#include <cstring>

void line_reader_init(line_reader* r, size_t max)
{
	r->line.clear();
	r->max = max;
	r->overlong = false;
	r->complete = false;
}

line_status line_read(line_reader* r, const char* data, size_t len, size_t* used)
{
	if (r->complete) {
		r->line.clear();
		r->overlong = false;
		r->complete = false;
	}
	const char* nl = static_cast<const char*>(memchr(data, '\n', len));
	size_t take = nl ? static_cast<size_t>(nl - data) : len;
	*used = nl ? take + 1 : len;

	if (!r->overlong && r->line.size() + take > r->max) {
		r->overlong = true;
		r->line.clear();
		r->line.shrink_to_fit();
	}
	if (!r->overlong)
		r->line.append(data, take);
	if (nl == nullptr)
		return LINE_PARTIAL;
	r->complete = true;
	return r->overlong ? LINE_TOO_LONG : LINE_COMPLETE;
}

bool line_pending(const line_reader* r)
{
	return !r->complete && (r->overlong || !r->line.empty());
}
