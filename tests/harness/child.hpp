// Test harness: runs code or programs in child processes and collects what
// they write, for tests of fatal exits and of the real executables.
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

// A spawned program with pipes on its standard input, output and error.
// Standard error is drained whenever the test waits for output, so a
// chatty child never blocks on a full pipe.
class spawned
{
public:
	// The standard descriptors named in `closed` (0, 1 or 2) are closed in
	// the child instead of connected to a pipe.
	explicit spawned(const std::vector<std::string>& argv, std::vector<int> closed = {});
	~spawned();
	spawned(const spawned&) = delete;
	spawned& operator=(const spawned&) = delete;

	pid_t pid() const
	{
		return pid_;
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
	// for the exit. Output already consumed by read_line() is not repeated.
	child_result finish(int timeout_ms = 15000);
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

private:
	// Waits up to timeout_ms for output; returns false on timeout or when
	// both outputs have ended.
	bool pump(int timeout_ms);

	pid_t pid_ = -1;
	int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
	std::string out_buf_, err_buf_;
};

// Fails the current test if a sanitizer reported in this output. Every
// child's standard error is checked when it is collected.
void expect_no_sanitizer_report(const std::string& err);

// Splits text into lines without their newlines.
std::vector<std::string> split_lines(const std::string& text);

// Removes the "name[pid]: " prefix that the logger puts on every line.
std::vector<std::string> log_messages(const std::string& text);
