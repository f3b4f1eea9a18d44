// SPDX-License-Identifier: ISC
// The metrics file: the text of the metrics (metricstext.hpp) written
// every interval and once at exit for a collector that reads it, such as
// node_exporter's textfile collector.
//
// The loop renders the text when a write is due (a few kilobytes, from
// counters in memory) and hands it to a thread of this module, which does
// the file system's part; the loop never waits for it. So a slow or stuck
// disk delays the file, never an answer. A thread rather than a child
// process: forking a server that holds big maps copies its page tables
// within the loop, and a thread needs no reaping.
//
// Rules:
// 1. The first write is due at start, then one every interval, and one at
//    exit, for which the loop waits METRICS_FILE_EXIT_MS at most.
// 2. A write creates or truncates PATH.tmp in the same directory (never
//    through a symbolic link, never anything but a regular file), gives
//    it mode 0644 whatever the umask, so that the collector's user can
//    read it, writes the text whole and renames it over PATH: a reader
//    sees the old file or the new one, never a part.
// 3. A text handed over while the thread is still writing the last one
//    waits for it; a newer text replaces a waiting one unwritten.
// 4. A failed write is logged by the loop, when it hands over the next
//    text, as "warn: metrics file PATH not written: REASON" once for each
//    reason, until a write works again, which is noted. Nothing stops the
//    server.
//
// The module owns the thread, its descriptor for the moment of a write
// and the text handed over. Nothing here is fatal.
#pragma once

#include <cstdint>
#include <string>

constexpr int64_t METRICS_FILE_EXIT_MS = 5000;

// Starts writing to `path` every `interval_ms`; a thread that cannot be
// started is logged, and no file is written.
void metrics_file_start(const char* path, int64_t interval_ms, int64_t now);
// When the next write is due: -1 without a metrics file.
int64_t metrics_file_due();
// Hands the writer the text of the metrics when a write is due.
void metrics_file_run(int64_t now);
// The write at exit (rule 1).
void metrics_file_finish();

// One write (rule 2), as the thread does it: true, or false with the
// reason in *why.
bool metrics_file_write(const std::string& path, const std::string& text, std::string* why);
