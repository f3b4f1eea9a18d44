// SPDX-License-Identifier: ISC
// The tools' clock: milliseconds on the monotonic clock, which no change of
// the system time moves. Every time bound of smap-serve and smap-query is
// kept with it, and smap-serve's metrics time queries with it. Nothing here fails or keeps state.
#pragma once

#include <cstdint>

int64_t now_ms();
// The same clock in microseconds: now_ms() is now_us() / 1000.
int64_t now_us();
