// SPDX-License-Identifier: ISC
// Throughput benchmark: a program under test, run as a child process with
// pipes on its standard input and output, as the mail server runs a
// backend.
//
// The module owns the parent's pipe ends and the reader on the child's
// output; the child's standard error is the benchmark's own. A child that
// cannot be started, breaks the handshake or exits with a status other
// than 0 is fatal.
#pragma once

#include <memory>
#include <sys/resource.h>
#include <sys/types.h>

#include "tp_io.hpp"

struct tp_child {
	const char* name;
	pid_t pid;
	int in;                         // the child's standard input
	std::unique_ptr<tp_reader> out; // the child's standard output
};

// Starts argv[0] (searched in PATH) with argv.
void tp_child_spawn(tp_child* c, const char* name, char* const argv[]);
// Plays the mail server's side of the configuration handshake and checks
// the ten registration lines.
void tp_child_handshake(tp_child* c);
// CPU time the child's threads have used so far, in nanoseconds (from
// /proc/PID/task/*/schedstat: user and system time, at scheduler
// precision).
unsigned long long tp_child_cpu_ns(const tp_child* c);
// The same for any child process.
unsigned long long tp_pid_cpu_ns(pid_t pid);
// Peak resident memory so far (VmHWM), in KiB; -1 when unreadable.
long tp_child_peak_kib(const tp_child* c);
// Closes the child's input, expects its output to end without another
// line, and reaps it with its resource usage.
void tp_child_finish(tp_child* c, rusage* usage);
