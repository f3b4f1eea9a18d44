#include "fake_server.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

fake_server::fake_server(server_script script, std::string path) : script_(std::move(script))
{
	if (path.empty()) {
		char tmpl[] = "/tmp/smap-test.XXXXXX";
		if (mkdtemp(tmpl) == nullptr)
			throw std::runtime_error("mkdtemp failed");
		dir_ = tmpl;
		path = dir_ + "/smap.sock";
	}
	path_ = path;
	start();
}

fake_server::~fake_server()
{
	stop();
	if (!dir_.empty())
		rmdir(dir_.c_str());
}

void fake_server::start()
{
	listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
	unlink(path_.c_str());
	if (listen_fd_ < 0 ||
	    bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
	    listen(listen_fd_, 16) != 0)
		throw std::runtime_error(std::string("fake_server: ") + strerror(errno));
	if (pipe(wake_) != 0)
		throw std::runtime_error("pipe failed");
	thread_ = std::thread([this] { serve(); });
}

void fake_server::stop()
{
	if (!thread_.joinable())
		return;
	char c = 0;
	(void)!write(wake_[1], &c, 1);
	thread_.join();
	close(wake_[0]);
	close(wake_[1]);
	close(listen_fd_);
	listen_fd_ = -1;
	unlink(path_.c_str());
}

std::vector<std::string> fake_server::queries() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	return queries_;
}

void fake_server::set_script(server_script script)
{
	std::lock_guard<std::mutex> lock(mutex_);
	script_ = std::move(script);
}

namespace
{

// Sends one byte every `ms` milliseconds, until the peer has gone.
void send_slowly(int fd, const std::string& data, int ms)
{
	for (char c : data) {
		std::this_thread::sleep_for(std::chrono::milliseconds(ms));
		if (send(fd, &c, 1, MSG_NOSIGNAL) != 1)
			return;
	}
}

void send_all(int fd, const std::string& data)
{
	size_t off = 0;
	while (off < data.size()) {
		ssize_t w = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
		if (w <= 0)
			break;
		off += static_cast<size_t>(w);
	}
}

} // namespace

void fake_server::serve()
{
	std::map<int, std::string> conns; // descriptor -> bytes read, not yet a line
	std::vector<int> deaf;            // connections that no longer read
	for (;;) {
		std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
		for (auto& [fd, buf] : conns)
			fds.push_back({fd, POLLIN, 0});
		if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
			break;
		if (fds[0].revents != 0)
			break;
		if (fds[1].revents != 0) {
			int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
			if (fd >= 0) {
				accepts_++;
				if (close_on_accept_)
					close(fd);
				else
					conns[fd];
			}
		}
		for (size_t i = 2; i < fds.size(); i++) {
			if (fds[i].revents == 0)
				continue;
			int fd = fds[i].fd;
			char buf[65536];
			ssize_t n = read(fd, buf, sizeof buf);
			if (n <= 0) {
				close(fd);
				conns.erase(fd);
				continue;
			}
			std::string& pending = conns[fd];
			pending.append(buf, static_cast<size_t>(n));
			size_t nl;
			bool closed = false;
			while (!closed && (nl = pending.find('\n')) != std::string::npos) {
				std::string query = pending.substr(0, nl);
				pending.erase(0, nl + 1);
				server_reply reply;
				{
					std::lock_guard<std::mutex> lock(mutex_);
					queries_.push_back(query);
					reply = script_(query);
				}
				if (reply.delay_ms > 0)
					std::this_thread::sleep_for(
					        std::chrono::milliseconds(reply.delay_ms));
				// Reading stops before the reply goes out, so that the
				// peer's next write finds it stopped, however fast it is.
				if (reply.shutdown_read)
					shutdown(fd, SHUT_RD);
				if (reply.trickle_ms > 0)
					send_slowly(fd, reply.data, reply.trickle_ms);
				else
					send_all(fd, reply.data);
				if (!reply.later.empty()) {
					std::this_thread::sleep_for(
					        std::chrono::milliseconds(reply.later_ms));
					send_all(fd, reply.later);
				}
				if (reply.shutdown_read) {
					// Kept open but no longer polled: it would read as ended.
					deaf.push_back(fd);
					conns.erase(fd);
					closed = true;
				} else if (reply.close) {
					close(fd);
					conns.erase(fd);
					closed = true;
				}
			}
		}
	}
	for (auto& [fd, buf] : conns)
		close(fd);
	for (int fd : deaf)
		close(fd);
}

server_reply echo_value(const std::string& query)
{
	size_t blank = query.find(' ');
	return {"OK value-of-" + query.substr(blank + 1) + "\n"};
}
