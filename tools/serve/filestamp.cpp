// SPDX-License-Identifier: ISC
// File stamps: see filestamp.hpp.
#include "tools/serve/filestamp.hpp"

namespace
{

bool same_time(const timespec& a, const timespec& b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

file_stamp stamp_of(const struct stat& st)
{
	return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool same_stamp(const file_stamp& a, const file_stamp& b)
{
	return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
	       same_time(a.mtime, b.mtime) && same_time(a.ctime, b.ctime);
}
