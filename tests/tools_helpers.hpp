// Test helpers for the tools: temporary directories, child processes,
// socket clients with time bounds, and a scriptable socketmap server
// (line or netstring framing) running in threads of the test process.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// A directory under /tmp, removed with its contents at destruction. Kept
// short: socket paths must fit sun_path.
struct temp_dir {
	std::string path;
	temp_dir();
	~temp_dir();
	std::string file(const std::string& name) const
	{
		return path + "/" + name;
	}
};

void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// What spawn() changes in the child beyond its standard descriptors.
struct spawn_options {
	int nofile = 0;         // when > 0, the soft and hard RLIMIT_NOFILE
	int inherited = 0;      // descriptors left open on /dev/null for it
	bool no_output = false; // standard output and error closed
};

// Starts `argv` with standard error (and output) appended to `log_path`;
// standard input is /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path,
            const spawn_options& options = {});
// Waits up to `ms` for the child; its wait status, or -1 on time-out (the
// child is then killed).
int wait_exit(pid_t pid, int ms);
// True once something accepts connections on `path`, within `ms`.
bool wait_listening(const std::string& path, int ms);

// A local socket listening on `path` with room for `backlog` pending
// connections; -1 when it cannot listen.
int listen_on(const std::string& path, int backlog);

// A blocking client socket whose reads and writes give up after 5 s; -1
// when it cannot connect.
int connect_to(const std::string& path);
void send_text(int fd, const std::string& text);
// One line from fd without its newline; "<eof>" at the end of the stream,
// "<timeout>" when nothing came within the socket's bound.
std::string read_line(int fd);
std::string ask(int fd, const std::string& query);

// Runs smap-serve with `args` (its socket path among them) and waits for
// its socket; the log goes to dir/serve.log.
struct serve_process {
	pid_t pid = -1;
	std::string log;
	serve_process(const temp_dir& dir, const std::vector<std::string>& args,
	              const std::string& socket_path, const spawn_options& options = {});
	~serve_process();
	// Sends `sig` and returns the wait status.
	int stop(int sig);
};

// What the scripted server does with one request.
struct script_action {
	enum kind_t { SEND, CLOSE, STALL } kind = SEND;
	std::string bytes; // sent as they are (framing included); also before CLOSE
	std::string later; // sent unasked later_ms after `bytes`
	int later_ms = 0;
};
using script_handler = std::function<script_action(const std::string& request, int connection)>;

// A socketmap server for the tests. Requests are framed as lines or as
// netstrings (parsed naively: this side trusts its client); replies are
// the handler's raw bytes. Connections are numbered from 1.
struct script_server {
	// Listens on the local socket `path`.
	script_server(const std::string& path, bool netstring, script_handler handler);
	// Listens on a kernel-chosen TCP port of the loopback address of
	// `family` (AF_INET or AF_INET6); listening() is false when that
	// address is not available.
	script_server(int family, bool netstring, script_handler handler);
	~script_server();
	bool listening() const
	{
		return listen_fd != -1;
	}
	// "inet:127.0.0.1:PORT", "inet:[::1]:PORT", or the socket path.
	std::string endpoint;
	int port = 0;
	int connections() const
	{
		return accepted.load();
	}
	std::vector<std::string> requests();

	std::string path;
	bool netstring;
	script_handler handler;
	int listen_fd = -1;
	std::atomic<int> accepted{0};
	std::mutex lock;
	std::vector<std::string> seen;
	std::vector<int> conn_fds;
	std::vector<std::thread> threads;
	std::thread acceptor;

	void accept_connections();
	void serve_connection(int fd, int number);
};

// Milliseconds on a monotonic clock.
long long monotonic_ms();
