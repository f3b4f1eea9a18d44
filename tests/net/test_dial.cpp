// SPDX-License-Identifier: ISC
// Dialing: the next address started beside a silent one, every loser closed.
#include "harness/child.hpp"
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
#include <sstream>
#include <sys/resource.h>
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
			fds.push_back(
			        socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
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

// Lowers the descriptor limit of this process so that one more can be
// opened.
void leave_one_descriptor()
{
	int lowest_free = dup(0);
	close(lowest_free);
	rlimit one = {rlim_t(lowest_free + 1), rlim_t(lowest_free + 1)};
	setrlimit(RLIMIT_NOFILE, &one);
}

TEST(Endpoint, DialingStartsTheNextAddressBesideASilentOne)
{
	struct row {
		const char* kinds;
		size_t first;
		int64_t bound_ms;
		endpoint_dial_result result;
		size_t address;      // that connected
		int error;           // or why none did
		bool one_fd = false; // dialed with one descriptor left
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
	        // No descriptor for the next address: the silent one gives way.
	        {"SG", 0, 5000, ENDPOINT_DIAL_DONE, 1, 0, true},
	};
	// What went otherwise than `c` says, or "".
	auto check = [](const row& c, const std::vector<endpoint_address>& addresses) {
		std::ostringstream wrong;
		int fds_before = open_fds();
		endpoint_dialed out;
		endpoint_dial_result result = dial(addresses, c.first, c.bound_ms, &out);
		if (result != c.result)
			wrong << " result " << result;
		else if (c.result == ENDPOINT_DIAL_DONE &&
		         (out.address != c.address || out.fd == -1))
			wrong << " address " << out.address << " fd " << out.fd;
		else if (c.result == ENDPOINT_DIAL_FAILED && out.error != c.error)
			wrong << " error " << out.error;
		if (out.fd != -1)
			close(out.fd);
		// Every connect that lost was closed.
		if (open_fds() != fds_before)
			wrong << " descriptors " << fds_before << " before, " << open_fds()
			      << " after";
		return wrong.str();
	};
	for (const auto& c : cases) {
		std::vector<std::unique_ptr<test_address>> made;
		std::vector<endpoint_address> addresses;
		for (const char* k = c.kinds; *k != '\0'; k++) {
			made.push_back(std::make_unique<test_address>(*k));
			addresses.push_back(made.back()->address);
		}
		if (!c.one_fd) {
			EXPECT_EQ(check(c, addresses), "") << c.kinds;
			continue;
		}
		child_result r = run_in_child([&] {
			leave_one_descriptor();
			std::string wrong = check(c, addresses);
			fputs(wrong.c_str(), stdout);
			fflush(stdout);
			_exit(wrong.empty() ? 0 : 1);
		});
		EXPECT_EQ(r.status, 0) << c.kinds << " with one descriptor:" << r.out;
	}
}

} // namespace
