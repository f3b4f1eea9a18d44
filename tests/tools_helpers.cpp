// Test helpers for the tools: see tools_helpers.hpp.
#include "tools_helpers.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

temp_dir::temp_dir()
{
	char tmpl[] = "/tmp/smapt.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		abort();
	path = tmpl;
}

temp_dir::~temp_dir()
{
	std::string cmd = "rm -rf '" + path + "'";
	if (system(cmd.c_str()) != 0)
		fprintf(stderr, "cannot remove %s\n", path.c_str());
}

void write_file(const std::string& path, const std::string& text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
}

std::string read_file(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

long long monotonic_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path,
            const spawn_options& options)
{
	pid_t pid = fork();
	if (pid == 0) {
		int in = open("/dev/null", O_RDONLY);
		int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
		dup2(in, 0);
		dup2(log, 1);
		dup2(log, 2);
		// Only what the options ask for is inherited, not the test's own
		// sockets.
		for (int fd = 3; fd < 1024; fd++)
			close(fd);
		if (options.no_output) {
			close(1);
			close(2);
		}
		for (int i = 0; i < options.inherited; i++)
			fcntl(0, F_DUPFD, 3); // without FD_CLOEXEC: passed on by execv
		if (options.nofile > 0) {
			rlimit lim = {rlim_t(options.nofile), rlim_t(options.nofile)};
			setrlimit(RLIMIT_NOFILE, &lim);
		}
		std::vector<char*> args;
		for (const auto& a : argv)
			args.push_back(const_cast<char*>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
	return pid;
}

int wait_exit(pid_t pid, int ms)
{
	long long end = monotonic_ms() + ms;
	int status;
	for (;;) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid)
			return status;
		if (monotonic_ms() >= end)
			break;
		usleep(5000);
	}
	kill(pid, SIGKILL);
	waitpid(pid, &status, 0);
	return -1;
}

namespace
{

bool local_address(const std::string& path, sockaddr_un* addr)
{
	*addr = {};
	addr->sun_family = AF_UNIX;
	if (path.size() >= sizeof addr->sun_path)
		return false;
	memcpy(addr->sun_path, path.c_str(), path.size());
	return true;
}

int raw_connect(const std::string& path)
{
	sockaddr_un addr;
	if (!local_address(path, &addr))
		return -1;
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
		close(fd);
		return -1;
	}
	return fd;
}

} // namespace

int listen_on(const std::string& path, int backlog)
{
	sockaddr_un addr;
	if (!local_address(path, &addr))
		return -1;
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 ||
	    listen(fd, backlog) == -1) {
		close(fd);
		return -1;
	}
	return fd;
}

bool wait_listening(const std::string& path, int ms)
{
	long long end = monotonic_ms() + ms;
	while (monotonic_ms() < end) {
		int fd = raw_connect(path);
		if (fd != -1) {
			close(fd);
			return true;
		}
		usleep(5000);
	}
	return false;
}

int connect_to(const std::string& path)
{
	int fd = raw_connect(path);
	if (fd == -1)
		return -1;
	const timeval bound = {5, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
	return fd;
}

void send_text(int fd, const std::string& text)
{
	size_t off = 0;
	while (off < text.size()) {
		ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
		if (n <= 0)
			return;
		off += static_cast<size_t>(n);
	}
}

std::string read_line(int fd)
{
	std::string line;
	char c;
	for (;;) {
		ssize_t n = recv(fd, &c, 1, 0);
		if (n == 0)
			return line.empty() ? "<eof>" : line;
		if (n < 0)
			return errno == EINTR ? read_line(fd) : "<timeout>";
		if (c == '\n')
			return line;
		line.push_back(c);
	}
}

std::string ask(int fd, const std::string& query)
{
	send_text(fd, query + "\n");
	return read_line(fd);
}

serve_process::serve_process(const temp_dir& dir, const std::vector<std::string>& args,
                             const std::string& socket_path, const spawn_options& options)
    : log(dir.file("serve.log"))
{
	std::vector<std::string> argv = {SMAP_SERVE_PATH};
	argv.insert(argv.end(), args.begin(), args.end());
	pid = spawn(argv, log, options);
	if (!wait_listening(socket_path, 5000))
		fprintf(stderr, "smap-serve did not start: %s\n", read_file(log).c_str());
}

serve_process::~serve_process()
{
	if (pid > 0)
		stop(SIGTERM);
}

int serve_process::stop(int sig)
{
	kill(pid, sig);
	int status = wait_exit(pid, 5000);
	pid = -1;
	return status;
}

script_server::script_server(const std::string& p, bool ns, script_handler h)
    : endpoint(p), path(p), netstring(ns), handler(std::move(h))
{
	listen_fd = listen_on(path, 16);
	if (listen_fd == -1) {
		perror(path.c_str());
		abort();
	}
	acceptor = std::thread([this] { accept_connections(); });
}

script_server::script_server(int family, bool ns, script_handler h)
    : netstring(ns), handler(std::move(h))
{
	sockaddr_storage addr{};
	socklen_t len;
	if (family == AF_INET6) {
		auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
		in6->sin6_family = AF_INET6;
		in6->sin6_addr = in6addr_loopback;
		len = sizeof *in6;
	} else {
		auto* in = reinterpret_cast<sockaddr_in*>(&addr);
		in->sin_family = AF_INET;
		in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		len = sizeof *in;
	}
	listen_fd = socket(family, SOCK_STREAM, 0);
	if (listen_fd == -1 || bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), len) == -1 ||
	    listen(listen_fd, 16) == -1 ||
	    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) == -1) {
		if (listen_fd != -1)
			close(listen_fd);
		listen_fd = -1;
		return;
	}
	if (family == AF_INET6) {
		port = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
		endpoint = "inet:[::1]:" + std::to_string(port);
	} else {
		port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
		endpoint = "inet:127.0.0.1:" + std::to_string(port);
	}
	acceptor = std::thread([this] { accept_connections(); });
}

void script_server::accept_connections()
{
	for (;;) {
		int fd = accept(listen_fd, nullptr, nullptr);
		if (fd == -1)
			return;
		std::lock_guard<std::mutex> g(lock);
		int number = ++accepted;
		conn_fds.push_back(fd);
		threads.emplace_back([this, fd, number] { serve_connection(fd, number); });
	}
}

script_server::~script_server()
{
	if (listen_fd == -1)
		return;
	shutdown(listen_fd, SHUT_RDWR);
	close(listen_fd);
	acceptor.join();
	std::lock_guard<std::mutex> g(lock);
	for (int fd : conn_fds)
		shutdown(fd, SHUT_RDWR);
	for (auto& t : threads)
		t.join();
	for (int fd : conn_fds)
		close(fd);
	if (!path.empty())
		unlink(path.c_str());
}

std::vector<std::string> script_server::requests()
{
	std::lock_guard<std::mutex> g(lock);
	return seen;
}

void script_server::serve_connection(int fd, int number)
{
	std::string buf;
	char chunk[4096];
	bool stalled = false;
	for (;;) {
		// Take one complete request out of buf, if there is one.
		std::string request;
		bool have = false;
		if (netstring) {
			size_t colon = buf.find(':');
			if (colon != std::string::npos) {
				size_t len = std::stoul(buf.substr(0, colon));
				if (buf.size() >= colon + 1 + len + 1) {
					request = buf.substr(colon + 1, len);
					buf.erase(0, colon + 1 + len + 1);
					have = true;
				}
			}
		} else {
			size_t nl = buf.find('\n');
			if (nl != std::string::npos) {
				request = buf.substr(0, nl);
				buf.erase(0, nl + 1);
				have = true;
			}
		}
		if (have && !stalled) {
			{
				std::lock_guard<std::mutex> g(lock);
				seen.push_back(request);
			}
			script_action a = handler(request, number);
			send_text(fd, a.bytes);
			if (!a.later.empty()) {
				usleep(static_cast<useconds_t>(a.later_ms) * 1000);
				send_text(fd, a.later);
			}
			if (a.kind == script_action::CLOSE) {
				shutdown(fd, SHUT_RDWR);
				return;
			}
			stalled = a.kind == script_action::STALL;
			continue;
		}
		ssize_t n = recv(fd, chunk, sizeof chunk, 0);
		if (n <= 0)
			return;
		buf.append(chunk, static_cast<size_t>(n));
	}
}
