// SPDX-License-Identifier: ISC
// Skipped lines: how the lines that the text-map parser skips
// (mapfile.hpp, rule 3) are logged, by smap-serve as it loads a map and by
// smap-makemap as it builds a cdb file from one.
//
// Rules:
// 1. Each reading of a file logs its first MAPSKIP_WARNINGS_MAX skipped
//    lines one by one: "warn: map NAME line N: WHY, line skipped".
// 2. Once the reading is complete, the skipped lines beyond those are
//    counted in one line: "warn: map NAME: COUNT more lines skipped".
//
// Nothing is kept here; nothing is fatal.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t MAPSKIP_WARNINGS_MAX = 10;

// The skipped line `line` of the map `name`, the `nth` (from 1) that this
// reading skipped, for `why` (rule 1).
void mapskip_line(const std::string& name, size_t nth, size_t line, const char* why);

// The reading is complete, with `skipped` lines skipped in all (rule 2).
void mapskip_end(const std::string& name, size_t skipped);
