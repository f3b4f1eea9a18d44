// SPDX-License-Identifier: ISC
// Test harness: a scriptable socketmap server on a real socket.
//
// It listens on a local socket, or on a TCP port of a loopback address,
// and serves every connection from one thread. Queries come as lines or
// as netstrings (parsed for a trusted peer: a malformed netstring ends
// its connection); the script answers each one, knowing the number of its
// connection (from 1, in the order of acceptance), and can reply, close,
// stall, wait, trickle, stop reading or send more than it was asked.
// Replies go out as the script wrote them, framing included. The server
// records every query and counts the connections it accepted.
//
// Waits (delay_ms, later_ms, trickle_ms) hold up the whole server: a
// script keeps them short where several peers are served at once. A
// server that cannot listen on a local socket fails the current test; on
// a loopback address it only reports listening() false, as the address
// may be missing here.
#pragma once

#include "temp_dir.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// What the server does with one query.
struct server_reply {
	std::string data;           // bytes to send: "OK value\n", "8:OK value,"
	bool close = false;         // close the connection after sending
	int delay_ms = 0;           // wait this long before sending
	std::string later;          // bytes sent later_ms after `data`, unasked
	int later_ms = 0;           //
	bool shutdown_read = false; // stop reading: the peer's next write fails
	int trickle_ms = 0;         // send `data` one byte at a time, this far apart
	bool stall = false;         // after `data`, answer nothing more on this connection
};

using server_script = std::function<server_reply(const std::string& query, int connection)>;

enum class framing { lines, netstrings };

class fake_server
{
public:
	// Listens on `where`: a local socket path; empty for a fresh socket
	// in a new temporary directory; "inet:127.0.0.1:PORT" or
	// "inet:[::1]:PORT" for TCP, where PORT 0 lets the kernel choose.
	explicit fake_server(server_script script, std::string where = {},
	                     framing framing = framing::lines);
	~fake_server();
	fake_server(const fake_server&) = delete;
	fake_server& operator=(const fake_server&) = delete;

	// Stops listening, closes every connection and removes the socket.
	void stop();
	// Listens again at the same place (after stop()).
	void start();

	bool listening() const
	{
		return listen_fd_ != -1;
	}
	// Where a client reaches it: the socket path, or "inet:HOST:PORT".
	const std::string& endpoint() const
	{
		return endpoint_;
	}
	int port() const
	{
		return port_;
	}
	int accepts() const
	{
		return accepts_;
	}
	std::vector<std::string> queries() const;
	void set_script(server_script script);
	// When set, each new connection is closed as soon as it is accepted.
	void set_close_on_accept(bool on)
	{
		close_on_accept_ = on;
	}

private:
	void serve();

	std::unique_ptr<temp_dir> dir_;
	std::string endpoint_;
	framing framing_;
	sockaddr_storage addr_{};
	socklen_t addr_len_ = 0;
	int port_ = 0;
	int listen_fd_ = -1;
	int wake_[2] = {-1, -1};
	std::thread thread_;
	mutable std::mutex mutex_;
	server_script script_;
	std::vector<std::string> queries_;
	std::atomic<int> accepts_{0};
	std::atomic<bool> close_on_accept_{false};
};

// The usual script: "OK value-of-KEY" as a line for every query "TABLE KEY".
server_reply echo_value(const std::string& query, int connection = 0);

// `payload` as a netstring.
std::string netstring(std::string_view payload);
