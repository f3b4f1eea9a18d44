// Runs a function in a forked child whose standard error goes to a pipe,
// for testing paths that end the process.
#pragma once

#include "support/compat.hpp"
#include "support/log.hpp"

#include <cstdio>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define SMAP_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SMAP_TEST_ASAN 1
#endif
#endif

#ifdef SMAP_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

struct child_result {
	pid_t pid;
	int status; // exit status, or -1 when the child did not exit normally
	std::string err;
};

// The child logs to standard error; a function that returns ends it with
// status 99. Fatal paths leave memory allocated by design, so the leak
// checker of a sanitizer build is off in the child.
inline child_result run_in_child(const std::function<void()>& fn)
{
	child_result res{-1, -1, {}};
	int fds[2];
	if (pipe(fds) != 0)
		return res;
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		dup2(fds[1], STDERR_FILENO);
		close(fds[1]);
		log_start(1);
#ifdef SMAP_TEST_ASAN
		// Fatal exits leave blocks behind on purpose.
		__lsan_disable();
#endif
		fn();
		_exit(99);
	}
	close(fds[1]);
	res.pid = pid;
	char buf[4096];
	ssize_t n;
	while ((n = read(fds[0], buf, sizeof buf)) > 0)
		res.err.append(buf, static_cast<size_t>(n));
	close(fds[0]);
	int st = 0;
	if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
		res.status = WEXITSTATUS(st);
	return res;
}

// The line the logger writes in standard-error mode for process `pid`.
inline std::string log_line(pid_t pid, const std::string& text)
{
	return std::string(getprogname()) + "[" + std::to_string(pid) + "]: " + text + "\n";
}
