// SPDX-License-Identifier: ISC
// Test harness: what a server under test has written to its log.
#pragma once

#include <cstddef>
#include <string>

// How often `what` occurs in `text`.
size_t count_of(const std::string& text, const std::string& what);

// Waits up to 5 s for `what` to show in the file `log`.
bool log_shows(const std::string& log, const std::string& what);

// The size of smap-serve's client table, from its "up to N clients at
// once" line in the file `log` (waited for); -1 when it does not show.
int client_slots(const std::string& log);
