// SPDX-License-Identifier: ISC
// Dialing: the next address started beside a silent one, every loser closed.
#include "tools/net/clock.hpp"
#include "tools/net/dial.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace
{

int open_fds()
{
	int n = 0;
	DIR* d = opendir("/proc/self/fd");
	while (d != nullptr && readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}

// A TCP address on 127.0.0.1 that meets a connect as `kind` says: 'G'
// connects; 'S' never answers (a listener whose accept queue is full drops
// SYNs, as a silent firewall does); 'R' refuses (nothing listens there).
struct test_address {
	std::vector<int> fds;
	endpoint_address address = {};

	explicit test_address(char kind)
	{
		auto* in = reinterpret_cast<sockaddr_in*>(&address.addr);
		*in = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
		address.len = sizeof *in;
		fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
		auto* sa = reinterpret_cast<sockaddr*>(in);
		EXPECT_EQ(bind(fds[0], sa, address.len), 0);
		listen(fds[0], kind == 'S' ? 0 : 16);
		getsockname(fds[0], sa, &address.len);
		// Fill the accept queue until a connect stays unanswered.
		for (bool silent = kind != 'S'; !silent && fds.size() < 8;) {
			fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
			connect(fds.back(), sa, address.len);
			pollfd p = {fds.back(), POLLOUT, 0};
			silent = poll(&p, 1, 200) == 0;
		}
		if (kind == 'R') {
			close(fds[0]);
			fds.clear();
		}
	}
	~test_address()
	{
		for (int fd : fds)
			close(fd);
	}
};

// Dials `addresses` from `first` on the real clock, as a poll loop would.
endpoint_dial_result dial(const std::vector<endpoint_address>& addresses, size_t first,
                          int64_t bound_ms, endpoint_dialed* out)
{
	auto list = std::make_shared<const std::vector<endpoint_address>>(addresses);
	endpoint_dialer d;
	int64_t now = now_ms();
	endpoint_dial_result r = endpoint_dial_start(&d, list, first, now, now + bound_ms, out);
	while (r == ENDPOINT_DIAL_PENDING) {
		pollfd entries[ENDPOINT_DIAL_MAX];
		endpoint_dial_poll(&d, entries);
		poll(entries, ENDPOINT_DIAL_MAX,
		     static_cast<int>(std::max<int64_t>(0, endpoint_dial_wake(&d) - now)));
		now = now_ms();
		r = endpoint_dial_step(&d, entries, now, out);
	}
	return r;
}

TEST(Endpoint, DialingStartsTheNextAddressBesideASilentOne)
{
	struct {
		const char* kinds;
		size_t first;
		int64_t bound_ms;
		endpoint_dial_result result;
		size_t address; // that connected
		int error;      // or why none did
	} cases[] = {
	        {"SG", 0, 5000, ENDPOINT_DIAL_DONE, 1, 0},
	        // Two in flight at most: the second silent one gives way to the
	        // third address, and the first is kept.
	        {"SSG", 0, 5000, ENDPOINT_DIAL_DONE, 2, 0},
	        {"RG", 0, 5000, ENDPOINT_DIAL_DONE, 1, 0},
	        {"GS", 1, 5000, ENDPOINT_DIAL_DONE, 0, 0},
	        {"S", 0, 300, ENDPOINT_DIAL_FAILED, 0, ETIMEDOUT},
	        {"RS", 0, 300, ENDPOINT_DIAL_FAILED, 0, ETIMEDOUT},
	        {"RR", 0, 5000, ENDPOINT_DIAL_FAILED, 0, ECONNREFUSED},
	};
	for (const auto& c : cases) {
		std::vector<std::unique_ptr<test_address>> made;
		std::vector<endpoint_address> addresses;
		for (const char* k = c.kinds; *k != '\0'; k++) {
			made.push_back(std::make_unique<test_address>(*k));
			addresses.push_back(made.back()->address);
		}
		int fds_before = open_fds();
		endpoint_dialed out;
		EXPECT_EQ(dial(addresses, c.first, c.bound_ms, &out), c.result) << c.kinds;
		if (c.result == ENDPOINT_DIAL_DONE) {
			EXPECT_EQ(out.address, c.address) << c.kinds;
			EXPECT_NE(out.fd, -1);
			close(out.fd);
		} else {
			EXPECT_EQ(out.error, c.error) << c.kinds;
		}
		// Every connect that lost was closed.
		EXPECT_EQ(open_fds(), fds_before) << c.kinds;
	}
}

} // namespace
