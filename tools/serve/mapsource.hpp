// SPDX-License-Identifier: ISC
// The maps as a source of answers (source.hpp): source_maps() makes it.
//
// Rules:
// 1. A query is answered from its table (maps.hpp) at once, unless the
//    table's first version is still loading: then it waits, as one with an
//    upstream does, and is asked again when a load has ended.
// 2. A query that has waited maps_wait_ms() is asked for the last time: it
//    is answered "TEMP map TABLE is loading" if it would still wait.
// 3. Loads go on a step in every round of the loop while any runs; SIGHUP
//    makes every map be read again at its next query.
// 4. Descriptors: none per client, and one for a query (a map file read
//    whole, an index being mapped); the directory and the loads are in
//    the loop's reserve, and an index keeps none once mapped.
//
// The source owns the waiting queries; the maps module owns the tables.
// Only opening the map directory is fatal.
#pragma once

#include "tools/serve/source.hpp"

#include <memory>

// Answers from the map files in `dir`; fatal when it cannot be opened.
std::unique_ptr<source> source_maps(const char* dir);
