// SPDX-License-Identifier: ISC
// Logger and fatal exits.
//
// Messages go either to the system log (mail facility) or to standard
// error, chosen once by log_start(). A standard-error message is one line:
// program name, "[", process id, "]: ", the message and a newline; standard
// error is flushed after each. After log_plain_lines(1) the line is the
// message and the newline alone, for a reader that puts the name and
// process id before each line itself (the journal). Priorities are syslog
// priorities: LOG_CRIT for warnings and fatal messages, LOG_INFO for
// notes, LOG_DEBUG for debug and trace messages; only the system log sees
// them. After log_level_prefix(1) each standard-error line begins with
// "<N>", the level at which the journal files it: 3 (error) for fatal
// messages, 4 (warning) for warnings, 6 (info) for notes, 7 (debug) for
// debug and trace messages, and the priority itself for log_emit().
//
// The module owns its destination, plain-lines and level-prefix flags,
// its verbosity mask and one 1024-byte buffer in which fatal texts are
// composed (at most 1023 characters; longer texts are cut without notice). die_sys() and
// die_msg() log "fatal: " and the text, then exit(1); nothing else here
// ends the process or reports an error to its caller. Every format is
// printf-style; only log_warning_sys(), die_sys() and die_msg() accept a
// null format. Single-threaded: no locks.
//
// Choices left open elsewhere and made here:
// - When log_warning_sys() cannot build its combined format, its second
//   message names the error that was current on entry.
// - A program name containing "%" is never pasted into a format: such a
//   name is written with the three-call fallback, so it prints literally.
#pragma once

#include <cstdarg>

#define SMAP_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Non-zero: standard error; 0: the system log (opened with LOG_PID,
// LOG_NDELAY and LOG_MAIL). Calls tzset() in both cases. Call once, first.
void log_start(int use_stderr);
// Replaces the verbosity mask. Bit 0x1 enables log_dbg().
void log_verbosity(int mask);
// Non-zero: standard-error lines leave out the "name[pid]: " prefix.
void log_plain_lines(int on);
// Non-zero: standard-error lines begin with the journal's "<N>" level.
void log_level_prefix(int on);

void log_emit(int priority, const char* fmt, ...) SMAP_PRINTF(2, 3);
void log_emitv(int priority, const char* fmt, va_list ap) SMAP_PRINTF(2, 0);

// LOG_CRIT: the message, ": " and strerror(errno); a null format logs the
// error text alone.
void log_warning_sys(const char* fmt, ...) SMAP_PRINTF(1, 2);
void log_warning(const char* fmt, ...) SMAP_PRINTF(1, 2);
void log_note(const char* fmt, ...) SMAP_PRINTF(1, 2);
// LOG_DEBUG, only when bit 0x1 of the mask is set.
void log_dbg(const char* fmt, ...) SMAP_PRINTF(1, 2);
// LOG_DEBUG, only when `mask` shares a set bit with the verbosity mask.
void log_trace_if(int mask, const char* fmt, ...) SMAP_PRINTF(2, 3);

// Logs "fatal: " and the message, with ": " and the error text appended
// when errno is non-zero, then exits with status 1. A null format logs the
// error text alone.
[[noreturn]] void die_sys(const char* fmt, ...) SMAP_PRINTF(1, 2);
// As die_sys() with errno cleared first: no error text is appended.
[[noreturn]] void die_msg(const char* fmt, ...) SMAP_PRINTF(1, 2);
