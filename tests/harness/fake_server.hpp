// Test harness: a scriptable socketmap server on a real local socket.
//
// It serves any number of connections from one thread, reads query lines
// and answers each through the script, which can reply, close, stall or
// send more than it was asked. It records every query and every accepted
// connection so tests can see what the backend did on the wire.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct server_reply {
	std::string data;   // bytes to send, usually one "OK value\n" line
	bool close = false; // close the connection after sending
	int delay_ms = 0;   // wait this long before sending
	std::string later;  // bytes sent later_ms after `data`, unasked
	int later_ms = 0;
	bool shutdown_read = false; // stop reading: the peer's next write fails
	int trickle_ms = 0;         // send `data` one byte at a time, this far apart
};

using server_script = std::function<server_reply(const std::string& query)>;

class fake_server
{
public:
	// Listens on `path`, or on a fresh socket in a new temporary directory
	// when `path` is empty.
	explicit fake_server(server_script script, std::string path = {});
	~fake_server();
	fake_server(const fake_server&) = delete;
	fake_server& operator=(const fake_server&) = delete;

	// Stops listening, closes every connection and removes the socket.
	void stop();
	// Listens again on the same path (after stop()).
	void start();

	const std::string& path() const
	{
		return path_;
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

	std::string dir_, path_;
	int listen_fd_ = -1;
	int wake_[2] = {-1, -1};
	std::thread thread_;
	mutable std::mutex mutex_;
	server_script script_;
	std::vector<std::string> queries_;
	std::atomic<int> accepts_{0};
	std::atomic<bool> close_on_accept_{false};
};

// The usual script: "OK value-of-KEY" for every query "TABLE KEY".
server_reply echo_value(const std::string& query);
