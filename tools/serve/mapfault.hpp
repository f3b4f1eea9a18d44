// SPDX-License-Identifier: ISC
// Fault notes: a warning about a file of the map directory is logged once
// for each state of the file, not at every query.
//
// Rules:
// 1. A note is kept for each subject (a file's name, or a name for one
//    kind of fault of a file): the last warning logged about it and the
//    state of the file then, its stamp (filestamp.hpp), or an empty stamp
//    when the file could not be looked up.
// 2. mapfault_warn() logs "warn: TEXT" unless the subject's note holds the
//    same text and the same stamp; each fault logged counts for its table
//    in the metrics (metrics.hpp).
// 3. A note goes when its file is found in another state, goes away, or
//    at mapfault_forget_all() (SIGHUP): the next fault is logged again.
//
// The module owns the notes; nothing here is fatal.
#pragma once

#include "tools/serve/filestamp.hpp"

#include <string>

// A fault of table `table`'s file; `subject` is the note's (the table's
// name, or a name for one kind of fault of it).
void mapfault_warn(const std::string& table, const std::string& subject, const file_stamp& stamp,
                   const std::string& text);
// The subject's file is in state `stamp`: a note about another state goes.
void mapfault_seen(const std::string& subject, const file_stamp& stamp);
void mapfault_gone(const std::string& subject);
void mapfault_forget_all();
