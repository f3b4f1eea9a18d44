// SPDX-License-Identifier: ISC
// Descriptor limit: how many descriptors a server may hold at once.
//
// fdlimit_raise() lifts the soft RLIMIT_NOFILE to the hard one, the most
// an unprivileged process can have, and reports the soft limit in effect
// afterwards; the server sizes its client table from it, and poll() refuses
// more entries than it. When the limit cannot be raised the old one stays.
// Nothing here is fatal or logs.
#pragma once

#include <cstddef>

// The soft descriptor limit after raising it; an unlimited one counts as
// FDLIMIT_UNLIMITED, one that cannot be read as 0.
size_t fdlimit_raise();

constexpr size_t FDLIMIT_UNLIMITED = 1 << 30;
