// SPDX-License-Identifier: ISC
#include "fake_server.hpp"

#include "sockets.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

fake_server::fake_server(server_script script, std::string where, framing framing)
    : framing_(framing), script_(std::move(script))
{
	if (where.rfind("inet:", 0) == 0) {
		size_t colon = where.rfind(':');
		std::string host = where.substr(5, colon - 5);
		port_ = std::stoi(where.substr(colon + 1));
		if (host.starts_with('[')) {
			auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr_);
			in6->sin6_family = AF_INET6;
			inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(),
			          &in6->sin6_addr);
			addr_len_ = sizeof *in6;
		} else {
			auto* in = reinterpret_cast<sockaddr_in*>(&addr_);
			in->sin_family = AF_INET;
			inet_pton(AF_INET, host.c_str(), &in->sin_addr);
			addr_len_ = sizeof *in;
		}
		endpoint_ = where.substr(0, colon + 1);
	} else {
		if (where.empty()) {
			dir_ = std::make_unique<temp_dir>();
			where = dir_->file("smap.sock");
		}
		auto* un = reinterpret_cast<sockaddr_un*>(&addr_);
		un->sun_family = AF_UNIX;
		where.copy(un->sun_path, sizeof un->sun_path - 1);
		addr_len_ = sizeof *un;
		endpoint_ = where;
	}
	start();
}

fake_server::~fake_server()
{
	stop();
}

void fake_server::start()
{
	int family = addr_.ss_family;
	auto* addr = reinterpret_cast<sockaddr*>(&addr_);
	listen_fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int on = 1;
	if (family == AF_UNIX)
		unlink(endpoint_.c_str());
	else
		setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	if (listen_fd_ < 0 || bind(listen_fd_, addr, addr_len_) != 0 ||
	    listen(listen_fd_, 16) != 0 || getsockname(listen_fd_, addr, &addr_len_) != 0) {
		if (family == AF_UNIX)
			ADD_FAILURE() << "fake_server cannot listen on " << endpoint_ << ": "
			              << strerror(errno);
		if (listen_fd_ >= 0)
			close(listen_fd_);
		listen_fd_ = -1;
		return;
	}
	if (family != AF_UNIX && port_ == 0) {
		port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(addr)->sin6_port
		                                 : reinterpret_cast<sockaddr_in*>(addr)->sin_port);
		endpoint_ += std::to_string(port_);
	}
	if (pipe2(wake_, O_CLOEXEC) != 0)
		ADD_FAILURE() << "fake_server: pipe: " << strerror(errno);
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
	if (addr_.ss_family == AF_UNIX)
		unlink(endpoint_.c_str());
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

// One accepted connection.
struct peer {
	int number;
	std::string pending; // bytes read, not yet a whole query
	bool stalled = false;
};

// Sends one byte every `ms` milliseconds, until the peer has gone.
void send_slowly(int fd, const std::string& data, int ms)
{
	for (char c : data) {
		std::this_thread::sleep_for(std::chrono::milliseconds(ms));
		if (send(fd, &c, 1, MSG_NOSIGNAL) != 1)
			return;
	}
}

// Takes the next whole query out of `pending` into *query: 1 when taken,
// 0 when none is complete yet, -1 when the bytes are no netstring.
int next_query(std::string* pending, framing framing, std::string* query)
{
	if (framing == framing::lines) {
		size_t nl = pending->find('\n');
		if (nl == std::string::npos)
			return 0;
		*query = pending->substr(0, nl);
		pending->erase(0, nl + 1);
		return 1;
	}
	size_t digits = 0;
	while (digits < pending->size() && digits < 10 && isdigit((*pending)[digits]))
		digits++;
	if (digits == pending->size())
		return digits < 10 ? 0 : -1;
	if (digits == 0 || (*pending)[digits] != ':')
		return -1;
	size_t len = std::stoul(pending->substr(0, digits));
	if (pending->size() < digits + 1 + len + 1)
		return 0;
	if ((*pending)[digits + 1 + len] != ',')
		return -1;
	*query = pending->substr(digits + 1, len);
	pending->erase(0, digits + 1 + len + 1);
	return 1;
}

} // namespace

void fake_server::serve()
{
	std::map<int, peer> conns; // descriptor -> its connection
	std::vector<int> deaf;     // connections that no longer read
	auto drop = [&conns](int fd) {
		close(fd);
		conns.erase(fd);
	};
	for (;;) {
		std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
		for (auto& [fd, p] : conns)
			fds.push_back({fd, POLLIN, 0});
		if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
			break;
		if (fds[0].revents != 0)
			break;
		if (fds[1].revents != 0) {
			int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
			if (fd >= 0) {
				int number = ++accepts_;
				if (close_on_accept_)
					close(fd);
				else
					conns[fd] = {number, {}};
			}
		}
		for (size_t i = 2; i < fds.size(); i++) {
			if (fds[i].revents == 0)
				continue;
			int fd = fds[i].fd;
			char buf[65536];
			ssize_t n = read(fd, buf, sizeof buf);
			if (n <= 0) {
				drop(fd);
				continue;
			}
			peer& p = conns[fd];
			if (p.stalled)
				continue;
			p.pending.append(buf, static_cast<size_t>(n));
			std::string query;
			int got;
			while ((got = next_query(&p.pending, framing_, &query)) == 1) {
				server_reply reply;
				{
					std::lock_guard<std::mutex> lock(mutex_);
					queries_.push_back(query);
					reply = script_(query, p.number);
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
					send_text(fd, reply.data);
				if (!reply.later.empty()) {
					std::this_thread::sleep_for(
					        std::chrono::milliseconds(reply.later_ms));
					send_text(fd, reply.later);
				}
				if (reply.shutdown_read) {
					// Kept open but no longer polled: it would read as ended.
					deaf.push_back(fd);
					conns.erase(fd);
					break;
				}
				if (reply.close) {
					drop(fd);
					break;
				}
				if (reply.stall) {
					p.stalled = true;
					break;
				}
			}
			if (got < 0)
				drop(fd);
		}
	}
	for (auto& [fd, p] : conns)
		close(fd);
	for (int fd : deaf)
		close(fd);
}

server_reply echo_value(const std::string& query, int)
{
	size_t blank = query.find(' ');
	return {"OK value-of-" + query.substr(blank + 1) + "\n"};
}

std::string netstring(std::string_view payload)
{
	return std::to_string(payload.size()) + ":" + std::string(payload) + ",";
}
