// SPDX-License-Identifier: ISC
// The tools' clock: milliseconds on the monotonic clock, which no change of
// the system time moves. Every time bound of smap-serve and smap-query is
// kept with it, and smap-serve's metrics time queries with it; a test may
// shorten some of the bounds: only ever shorten, through an environment
// variable named SMAP_*_TEST_*_MS. Nothing here fails or keeps state.
#pragma once

#include <cstdint>

int64_t now_ms();

// The same clock in microseconds: now_ms() is now_us() / 1000.
int64_t now_us();

// `normal`, or for tests the number of milliseconds in the environment
// variable `name` when it holds a smaller one (0 included).
int64_t test_bound_ms(const char* name, int64_t normal);
