// SPDX-License-Identifier: ISC
// What the metrics (metrics.hpp) are shown as: the text of the metrics
// file, and the summary that SIGUSR1 logs. Every metric's name, type and
// HELP text is here.
//
// Rules:
// 1. The file holds every family of the server's mode from the first
//    write, counters at zero included: the queries of METRICS_OTHER and
//    of every table with a slot, by each result; the maps' families only
//    with maps; the upstreams' only as a bridge; the cache's only once a
//    cache is on.
// 2. The summary is one line of totals, then one line for each table
//    slot: its queries by result, the mean time and the 99th percentile,
//    given as the upper bound of the histogram bucket that holds it.
//
// Nothing here is fatal; the text is the caller's.
#pragma once

#include "tools/serve/metrics.hpp"

#include <string>
#include <vector>

// Appends the metrics file's text for `s`.
void metrics_text(const metrics_state& s, std::string* out);

// The summary's lines, without newlines.
std::vector<std::string> metrics_summary(const metrics_state& s);

// The upper bound in microseconds of the bucket of `h` that holds the
// `permille`th observation in a thousand; -1 when it is past the last
// bound, 0 when `h` is empty.
int64_t metrics_percentile_bound(const metrics_histogram& h, unsigned permille);
