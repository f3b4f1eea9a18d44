// SPDX-License-Identifier: ISC
#include "child.hpp"

#include "sockets.hpp"
#include "temp_dir.hpp"

#include "support/compat.hpp"
#include "support/log.hpp"

#include <gtest/gtest.h>
#ifdef SMAP_SANITIZED
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

void must(bool ok, const char* what)
{
	if (!ok)
		throw std::runtime_error(std::string(what) + ": " + strerror(errno));
}

// Appends whatever is readable on fd; returns false at end of file.
bool drain(int fd, std::string* into)
{
	char buf[65536];
	ssize_t n = read(fd, buf, sizeof buf);
	if (n > 0) {
		into->append(buf, static_cast<size_t>(n));
		return true;
	}
	return n < 0 && (errno == EINTR || errno == EAGAIN);
}

child_result collect(pid_t pid, int out, int err)
{
	child_result r;
	std::vector<pollfd> fds = {{out, POLLIN, 0}, {err, POLLIN, 0}};
	while (fds[0].fd >= 0 || fds[1].fd >= 0) {
		poll(fds.data(), fds.size(), 30000);
		for (size_t i = 0; i < fds.size(); i++) {
			if (fds[i].fd >= 0 && fds[i].revents != 0 &&
			    !drain(fds[i].fd, i == 0 ? &r.out : &r.err)) {
				close(fds[i].fd);
				fds[i].fd = -1;
			}
		}
	}
	int status;
	waitpid(pid, &status, 0);
	if (WIFEXITED(status))
		r.status = WEXITSTATUS(status);
	else if (WIFSIGNALED(status))
		r.signal = WTERMSIG(status);
	return r;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline)
{
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
	        deadline - std::chrono::steady_clock::now());
	return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

child_result run_in_child(const std::function<void()>& body)
{
	int out[2], err[2];
	must(pipe(out) == 0 && pipe(err) == 0, "pipe");
	fflush(nullptr);
	pid_t pid = fork();
	must(pid != -1, "fork");
	if (pid == 0) {
		dup2(out[1], STDOUT_FILENO);
		dup2(err[1], STDERR_FILENO);
		close(out[0]);
		close(out[1]);
		close(err[0]);
		close(err[1]);
		body();
		fflush(nullptr);
		_exit(0);
	}
	close(out[1]);
	close(err[1]);
	child_result r = collect(pid, out[0], err[0]);
	r.pid = pid;
	expect_no_sanitizer_report(r.err);
	return r;
}

child_result logged_child(const std::function<void()>& body)
{
	return run_in_child([&body] {
#ifdef SMAP_SANITIZED
		__lsan_disable();
#endif
		log_start(1);
		body();
	});
}

std::string log_line(pid_t pid, const std::string& text)
{
	return std::string(getprogname()) + "[" + std::to_string(pid) + "]: " + text + "\n";
}

spawned::spawned(const std::vector<std::string>& argv, spawn_options options)
    : options_(std::move(options))
{
	bool logged = !options_.log.empty();
	int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
	if (logged) {
		in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
		out[1] =
		        open(options_.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
		err[1] = out[1];
		must(in[0] != -1 && out[1] != -1, options_.log.c_str());
	} else {
		must(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 &&
		             pipe2(err, O_CLOEXEC) == 0,
		     "pipe");
	}
	std::vector<char*> args;
	for (const auto& a : argv)
		args.push_back(const_cast<char*>(a.c_str()));
	args.push_back(nullptr);
	pid_ = fork();
	must(pid_ != -1, "fork");
	if (pid_ == 0) {
		dup2(in[0], STDIN_FILENO);
		dup2(out[1], STDOUT_FILENO);
		dup2(err[1], STDERR_FILENO);
		// Only what the options ask for is inherited, not the test's own
		// sockets.
		for (int fd = 3; fd < 1024; fd++)
			close(fd);
		for (int fd : options_.closed)
			close(fd);
		for (int i = 0; i < options_.inherited; i++)
			fcntl(STDIN_FILENO, F_DUPFD, 3); // without FD_CLOEXEC: passed on
		if (options_.nofile > 0) {
			rlimit lim = {rlim_t(options_.nofile), rlim_t(options_.nofile)};
			setrlimit(RLIMIT_NOFILE, &lim);
		}
		signal(SIGPIPE, SIG_DFL);
		execvp(args[0], args.data());
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	if (logged)
		return;
	close(err[1]);
	in_fd_ = in[1];
	fcntl(in_fd_, F_SETFL, O_NONBLOCK);
	out_fd_ = out[0];
	err_fd_ = err[0];
	// A child that dies must not kill the test through SIGPIPE.
	signal(SIGPIPE, SIG_IGN);
}

spawned::~spawned()
{
	// End the child the normal way, so that what it reports on its way
	// out (a sanitizer's leak check, say) is seen.
	if (pid_ > 0)
		finish(5000);
	for (int fd : {in_fd_, out_fd_, err_fd_})
		if (fd >= 0)
			close(fd);
}

void spawned::send(std::string_view data)
{
	// Keep reading the child's output while writing, so that neither side
	// waits on a full pipe.
	if (in_fd_ < 0 && !data.empty())
		throw std::runtime_error("child has no input pipe");
	while (!data.empty()) {
		pollfd fds[3] = {{in_fd_, POLLOUT, 0}, {out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
		if (poll(fds, 3, 30000) <= 0)
			throw std::runtime_error("child takes no input");
		if (out_fd_ >= 0 && fds[1].revents != 0 && !drain(out_fd_, &out_buf_))
			close_output();
		if (err_fd_ >= 0 && fds[2].revents != 0 && !drain(err_fd_, &err_buf_)) {
			close(err_fd_);
			err_fd_ = -1;
		}
		if (fds[0].revents == 0)
			continue;
		size_t chunk = std::min<size_t>(data.size(), 65536);
		ssize_t n = write(in_fd_, data.data(), chunk);
		if (n < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		must(n > 0, "write to child");
		data.remove_prefix(static_cast<size_t>(n));
	}
}

void spawned::close_input()
{
	if (in_fd_ >= 0)
		close(in_fd_);
	in_fd_ = -1;
}

void spawned::close_output()
{
	if (out_fd_ >= 0)
		close(out_fd_);
	out_fd_ = -1;
}

bool spawned::pump(int timeout_ms)
{
	pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
	if (out_fd_ < 0 && err_fd_ < 0)
		return false;
	if (poll(fds, 2, timeout_ms) <= 0)
		return false;
	if (out_fd_ >= 0 && fds[0].revents != 0 && !drain(out_fd_, &out_buf_))
		close_output();
	if (err_fd_ >= 0 && fds[1].revents != 0 && !drain(err_fd_, &err_buf_)) {
		close(err_fd_);
		err_fd_ = -1;
	}
	return true;
}

bool spawned::read_line(std::string* line, int timeout_ms)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		size_t nl = out_buf_.find('\n');
		if (nl != std::string::npos) {
			*line = out_buf_.substr(0, nl);
			out_buf_.erase(0, nl + 1);
			return true;
		}
		if (out_fd_ < 0 || remaining_ms(deadline) == 0)
			return false;
		pump(remaining_ms(deadline));
	}
}

bool spawned::wait_for_err(std::string_view text, int timeout_ms)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	while (err_buf_.find(text) == std::string::npos) {
		if (err_fd_ < 0 || remaining_ms(deadline) == 0)
			return false;
		pump(remaining_ms(deadline));
	}
	return true;
}

child_result spawned::finish(int timeout_ms)
{
	close_input();
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	while ((out_fd_ >= 0 || err_fd_ >= 0) && remaining_ms(deadline) > 0)
		pump(remaining_ms(deadline));
	while (running() && remaining_ms(deadline) > 0)
		usleep(5000);
	if (running()) { // did not end in time: the test fails on the status
		kill(pid_, SIGKILL);
		waitpid(pid_, &wait_status_, 0);
	}
	child_result r;
	r.pid = pid_;
	r.out = out_buf_;
	r.err = options_.log.empty() ? err_buf_ : read_file(options_.log);
	out_buf_.clear();
	pid_ = -1;
	if (WIFEXITED(wait_status_))
		r.status = WEXITSTATUS(wait_status_);
	else if (WIFSIGNALED(wait_status_))
		r.signal = WTERMSIG(wait_status_);
	expect_no_sanitizer_report(r.err);
	return r;
}

child_result spawned::stop(int sig, int timeout_ms)
{
	if (running())
		kill(pid_, sig);
	return finish(timeout_ms);
}

bool spawned::running()
{
	if (pid_ <= 0 || wait_status_ != -1)
		return false;
	return waitpid(pid_, &wait_status_, WNOHANG) == 0;
}

int spawned::open_fds() const
{
	std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
	DIR* d = opendir(dir.c_str());
	if (d == nullptr)
		return -1;
	int n = 0;
	while (dirent* e = readdir(d))
		if (e->d_name[0] != '.')
			n++;
	closedir(d);
	return n;
}

namespace
{

// A "Name: N kB" figure of /proc/PID/status, or -1.
long status_kib(pid_t pid, const char* name)
{
	FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
	if (f == nullptr)
		return -1;
	std::string format = std::string(name) + ": %ld kB";
	char line[256];
	long kib = -1;
	while (fgets(line, sizeof line, f) != nullptr)
		if (sscanf(line, format.c_str(), &kib) == 1)
			break;
	fclose(f);
	return kib;
}

} // namespace

long spawned::resident_kib() const
{
	return status_kib(pid_, "VmRSS");
}

long spawned::peak_resident_kib() const
{
	return status_kib(pid_, "VmHWM");
}

long spawned::cpu_ms() const
{
	// utime and stime are the 14th and 15th fields, after the name in
	// parentheses, which may hold blanks.
	std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
	unsigned long utime = 0, stime = 0;
	size_t name_end = stat.rfind(')');
	const char* fields = " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu";
	if (name_end == std::string::npos ||
	    sscanf(stat.c_str() + name_end + 1, fields, &utime, &stime) != 2)
		return -1;
	auto ticks = static_cast<unsigned long>(sysconf(_SC_CLK_TCK));
	return static_cast<long>((utime + stime) * 1000 / ticks);
}

void expect_no_sanitizer_report(const std::string& err)
{
	for (const char* mark :
	     {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
		EXPECT_EQ(err.find(mark), std::string::npos) << "sanitizer report in child:\n"
		                                             << err;
}

std::vector<std::string> split_lines(const std::string& text)
{
	std::vector<std::string> lines;
	size_t start = 0;
	while (start < text.size()) {
		size_t nl = text.find('\n', start);
		if (nl == std::string::npos) {
			lines.push_back(text.substr(start));
			break;
		}
		lines.push_back(text.substr(start, nl - start));
		start = nl + 1;
	}
	return lines;
}

std::vector<std::string> log_messages(const std::string& text)
{
	std::vector<std::string> messages;
	for (auto& line : split_lines(text)) {
		size_t mark = line.find("]: ");
		messages.push_back(mark == std::string::npos ? line : line.substr(mark + 3));
	}
	return messages;
}

server_process::server_process(const std::vector<std::string>& argv, const std::string& socket,
                               spawn_options options)
    : spawned(argv, std::move(options))
{
	if (!wait_listening(socket, 30000))
		ADD_FAILURE() << argv[0] << " is not listening on " << socket << ":\n"
		              << read_file(log());
}

server_process::~server_process()
{
	if (pid() > 0)
		stop(SIGTERM, 5000);
}
