// SPDX-License-Identifier: ISC
// Test harness: runs code or programs in child processes and collects what
// they write, for tests of fatal exits and of the real executables, and
// runs the servers under test.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// What a finished child left behind.
struct child_result {
	pid_t pid = -1;  // the child's process id
	int status = -1; // exit status, or -1 when killed by a signal
	int signal = 0;  // the terminating signal, if any
	std::string out; // everything written to standard output
	std::string err; // everything written to standard error
};

// Runs `body` in a forked child with standard output and standard error
// captured; the child exits with status 0 if `body` returns.
child_result run_in_child(const std::function<void()>& body);

// As run_in_child(), with the logger started on standard error first. In
// a sanitizer build the leak checker is off in the child: fatal exits
// leave blocks behind on purpose.
child_result logged_child(const std::function<void()>& body);

// The line the logger writes in standard-error mode for process `pid`.
std::string log_line(pid_t pid, const std::string& text);

// How spawned starts its program, beyond argv.
struct spawn_options {
	// When set, standard output and error are appended to this file and
	// standard input is /dev/null, instead of pipes: for a server that
	// writes while the test is busy elsewhere.
	std::string log;
	std::vector<int> closed; // standard descriptors (0, 1, 2) closed in the child
	int nofile = 0;          // when > 0, the child's soft and hard RLIMIT_NOFILE
	int inherited = 0;       // descriptors from 3 up left open on /dev/null for it
};

// A spawned program with pipes on its standard input, output and error,
// or its output in a log file. Standard error is drained whenever the
// test waits for output, so a chatty child never blocks on a full pipe.
// The child inherits no other descriptor of the test. The destructor
// finishes a child that is still running.
class spawned
{
public:
	explicit spawned(const std::vector<std::string>& argv, spawn_options options = {});
	virtual ~spawned();
	spawned(const spawned&) = delete;
	spawned& operator=(const spawned&) = delete;

	pid_t pid() const
	{
		return pid_;
	}
	const std::string& log() const
	{
		return options_.log;
	}

	// Writes all of `data` to the child's standard input.
	void send(std::string_view data);
	// Closes the child's standard input (end of input).
	void close_input();
	// Closes our end of the child's standard output.
	void close_output();
	// Reads one line of standard output (without its newline); false when
	// none arrives within the timeout or the output ended first.
	bool read_line(std::string* line, int timeout_ms = 15000);
	// Waits until standard error holds `text`, up to the timeout.
	bool wait_for_err(std::string_view text, int timeout_ms = 15000);
	// Closes standard input, collects the rest of both outputs and waits
	// for the exit; a child still running at the timeout is killed.
	// Output already consumed by read_line() is not repeated; with a log,
	// `err` is the log file as it is then.
	child_result finish(int timeout_ms = 15000);
	// Sends `sig`, then finishes.
	child_result stop(int sig, int timeout_ms = 15000);
	// True until the child has ended.
	bool running();
	// Standard error collected so far.
	const std::string& err() const
	{
		return err_buf_;
	}
	// Number of open descriptors of the child, from /proc.
	int open_fds() const;
	// The child's resident memory in KiB, now and at its peak, from /proc.
	long resident_kib() const;
	long peak_resident_kib() const;
	// The CPU time the child has used, user and system, in milliseconds.
	long cpu_ms() const;

private:
	// Waits up to timeout_ms for output; returns false on timeout or when
	// both outputs have ended.
	bool pump(int timeout_ms);

	spawn_options options_;
	pid_t pid_ = -1;
	int wait_status_ = -1; // once running() has seen the end
	int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
	std::string out_buf_, err_buf_;
};

// A server program: spawned with its output in `options.log`, then
// waited for until it accepts connections on the local socket `socket`
// (the test fails, showing the log, when it does not within 30 s). The
// destructor ends it with SIGTERM.
class server_process : public spawned
{
public:
	server_process(const std::vector<std::string>& argv, const std::string& socket,
	               spawn_options options);
	~server_process() override;
};

// Fails the current test if a sanitizer reported in this output. Every
// child's standard error is checked when it is collected.
void expect_no_sanitizer_report(const std::string& err);

// Splits text into lines without their newlines.
std::vector<std::string> split_lines(const std::string& text);

// Removes the "name[pid]: " prefix that the logger puts on every line.
std::vector<std::string> log_messages(const std::string& text);
