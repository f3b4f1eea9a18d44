// SPDX-License-Identifier: ISC
// Platform compatibility: the BSD functions that some C libraries lack.
//
// Each declaration is active only where the build found the platform
// without it (SMAP_NEED_*); elsewhere the C library's own is used. The
// functions follow their BSD contracts: strlcpy and strlcat never write
// more than `size` bytes, always NUL-terminate when `size` > 0, and return
// the length they tried to create. Nothing here allocates or fails.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

#ifdef SMAP_NEED_STRLCPY
size_t strlcpy(char* dst, const char* src, size_t size);
#endif
#ifdef SMAP_NEED_STRLCAT
size_t strlcat(char* dst, const char* src, size_t size);
#endif
#ifdef SMAP_NEED_GETPROGNAME
// The short program name, the same one that err() and errx() print.
const char* getprogname();
#endif
