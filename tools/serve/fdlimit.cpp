// SPDX-License-Identifier: ISC
// Descriptor limit: see fdlimit.hpp.
#include "tools/serve/fdlimit.hpp"

#include <sys/resource.h>

size_t fdlimit_raise()
{
	rlimit lim;
	if (getrlimit(RLIMIT_NOFILE, &lim) == -1)
		return 0;
	if (lim.rlim_cur != lim.rlim_max) {
		rlimit raised = {lim.rlim_max, lim.rlim_max};
		// An unlimited hard limit may be more than the kernel allows a
		// process (Linux's nr_open): then the soft limit stays.
		if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
			lim = raised;
	}
	if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur > FDLIMIT_UNLIMITED)
		return FDLIMIT_UNLIMITED;
	return static_cast<size_t>(lim.rlim_cur);
}
