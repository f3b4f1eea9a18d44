// SPDX-License-Identifier: ISC
// The framing parsers, reply rules, endpoint syntax and dialing shared by
// smap-serve and smap-query.
#include "tools/net/endpoint.hpp"
#include "tools/net/lineframe.hpp"
#include "tools/net/netstring.hpp"
#include "tools/net/reply.hpp"
#include "tools/net/usock.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// Feeds `input` to a fresh decoder in pieces of `step` bytes; returns the
// final status and the number of bytes consumed.
ns_status decode_all(const std::string& input, size_t max, size_t step, ns_decoder* d,
                     size_t* consumed)
{
	ns_decoder_init(d, max);
	ns_status status = NS_PARTIAL;
	*consumed = 0;
	while (status == NS_PARTIAL && *consumed < input.size()) {
		size_t n = std::min(step, input.size() - *consumed);
		size_t used;
		status = ns_decode(d, input.data() + *consumed, n, &used);
		*consumed += used;
	}
	return status;
}

TEST(Netstring, EncodesAndDecodesInAnyPieces)
{
	std::string wire;
	netstring_append(&wire, "aliases alice");
	netstring_append(&wire, "");
	EXPECT_EQ(wire, "13:aliases alice,0:,");

	for (size_t step : {1, 2, 5, 100}) {
		ns_decoder d;
		size_t consumed;
		EXPECT_EQ(decode_all(wire, 100, step, &d, &consumed), NS_COMPLETE) << step;
		EXPECT_EQ(d.payload, "aliases alice");
		// Stops right after the ",": the next netstring is untouched.
		EXPECT_EQ(consumed, 17u);
		EXPECT_EQ(decode_all(wire.substr(consumed), 100, step, &d, &consumed), NS_COMPLETE);
		EXPECT_EQ(d.payload, "");
	}
}

TEST(Netstring, PayloadMayHoldAnyByte)
{
	std::string payload("a,b:c\n\0d", 8);
	std::string wire;
	netstring_append(&wire, payload);
	ns_decoder d;
	size_t consumed;
	ASSERT_EQ(decode_all(wire, 100, 3, &d, &consumed), NS_COMPLETE);
	EXPECT_EQ(d.payload, payload);
}

TEST(Netstring, MalformedLengths)
{
	for (const char* bad :
	     {":abc,", "x:abc,", "3x:abc,", " 3:abc,", "-3:abc,", "03:abc,", "00:,"}) {
		ns_decoder d;
		size_t consumed;
		EXPECT_EQ(decode_all(bad, 100, 1, &d, &consumed), NS_BAD_LENGTH) << bad;
	}
}

TEST(Netstring, MissingCommaIsAnError)
{
	ns_decoder d;
	size_t consumed;
	EXPECT_EQ(decode_all("3:abc.", 100, 4, &d, &consumed), NS_NO_COMMA);
	EXPECT_EQ(decode_all("3:abcd,", 100, 1, &d, &consumed), NS_NO_COMMA);
	// Until the byte after the payload arrives, the netstring is incomplete.
	EXPECT_EQ(decode_all("3:abc", 100, 1, &d, &consumed), NS_PARTIAL);
}

TEST(Netstring, OversizeIsRefusedBeforeThePayload)
{
	ns_decoder d;
	size_t consumed;
	EXPECT_EQ(decode_all("10:0123456789,", 10, 1, &d, &consumed), NS_COMPLETE);
	EXPECT_EQ(decode_all("11:01234567890,", 10, 1, &d, &consumed), NS_TOO_LARGE);
	// Refused at the digit that crosses the limit: nothing is stored, and
	// a huge length cannot make the decoder allocate.
	EXPECT_EQ(consumed, 2u);
	EXPECT_TRUE(d.payload.empty());
	EXPECT_EQ(decode_all("99999999999999999999999:", SMAP_REPLY_MAX, 64, &d, &consumed),
	          NS_TOO_LARGE);
	EXPECT_LT(d.payload.capacity(), 1000u);
}

TEST(LineReader, SplitsLinesAcrossChunks)
{
	line_reader r;
	line_reader_init(&r, 10);
	std::string input = "ab";
	size_t used;
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_PARTIAL);
	EXPECT_TRUE(line_pending(&r));
	input = "c\nde\n";
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_COMPLETE);
	EXPECT_EQ(used, 2u);
	EXPECT_EQ(r.line, "abc");
	EXPECT_EQ(line_read(&r, input.data() + 2, 3, &used), LINE_COMPLETE);
	EXPECT_EQ(r.line, "de");
	EXPECT_FALSE(line_pending(&r));
}

TEST(LineReader, OverlongLineIsDiscardedAndStaysInStep)
{
	line_reader r;
	line_reader_init(&r, 4);
	std::string input = "abcd\nabcde";
	size_t used;
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_COMPLETE);
	EXPECT_EQ(r.line, "abcd"); // exactly the maximum fits
	EXPECT_EQ(line_read(&r, input.data() + used, input.size() - used, &used), LINE_PARTIAL);
	EXPECT_TRUE(r.line.empty()); // not stored past the maximum
	input = std::string(1000, 'x') + "\nok\n";
	EXPECT_EQ(line_read(&r, input.data(), input.size(), &used), LINE_TOO_LONG);
	EXPECT_EQ(line_read(&r, input.data() + used, input.size() - used, &used), LINE_COMPLETE);
	EXPECT_EQ(r.line, "ok");
}

TEST(Reply, ClassifiesLikeTheBackend)
{
	EXPECT_EQ(reply_classify("OK value"), REPLY_OK);
	EXPECT_EQ(reply_classify("ok "), REPLY_OK);
	EXPECT_EQ(reply_classify("NotFound "), REPLY_NOTFOUND);
	EXPECT_EQ(reply_classify("TEMP x"), REPLY_FAILURE);
	EXPECT_EQ(reply_classify("TIMEOUT x"), REPLY_FAILURE);
	EXPECT_EQ(reply_classify("PERM x"), REPLY_FAILURE);
	EXPECT_EQ(reply_classify("OK"), REPLY_UNRECOGNIZED);
	EXPECT_EQ(reply_classify("NOTFOUND"), REPLY_UNRECOGNIZED);
	EXPECT_EQ(reply_classify(""), REPLY_UNRECOGNIZED);
	EXPECT_TRUE(reply_is_bare_notfound("notfound"));
	EXPECT_FALSE(reply_is_bare_notfound("NOTFOUND "));
	EXPECT_FALSE(reply_is_bare_notfound("NOTFOUNDX"));
}

TEST(Endpoint, ParsesEveryForm)
{
	struct parsed {
		const char* text;
		endpoint_kind kind;
		const char* where; // path, or host
		const char* port;
	};
	for (const parsed& p : {
	             parsed{"/run/smap.sock", ENDPOINT_UNIX, "/run/smap.sock", ""},
	             parsed{"smap.sock", ENDPOINT_UNIX, "smap.sock", ""},
	             parsed{"./run:x", ENDPOINT_UNIX, "./run:x", ""},
	             parsed{"unix:/run/a:b", ENDPOINT_UNIX, "/run/a:b", ""},
	             parsed{"unix:relative", ENDPOINT_UNIX, "relative", ""},
	             parsed{"local:/run/smap.sock", ENDPOINT_UNIX, "/run/smap.sock", ""},
	             parsed{"unix:///run/smap.sock", ENDPOINT_UNIX, "/run/smap.sock", ""},
	             parsed{"UNIX:/x", ENDPOINT_UNIX, "/x", ""},
	             parsed{"inet:127.0.0.1:10028", ENDPOINT_INET, "127.0.0.1", "10028"},
	             parsed{"inet:policy.local:4321", ENDPOINT_INET, "policy.local", "4321"},
	             parsed{"inet:[::1]:1", ENDPOINT_INET, "::1", "1"},
	             parsed{"inet:[fe80::1%lo]:65535", ENDPOINT_INET, "fe80::1%lo", "65535"},
	             parsed{"inet://localhost:25", ENDPOINT_INET, "localhost", "25"},
	             parsed{"inet://[2001:db8::2]:25", ENDPOINT_INET, "2001:db8::2", "25"},
	     }) {
		endpoint ep;
		std::string why;
		ASSERT_TRUE(endpoint_parse(p.text, &ep, &why)) << p.text << ": " << why;
		EXPECT_EQ(ep.kind, p.kind) << p.text;
		EXPECT_EQ(ep.kind == ENDPOINT_UNIX ? ep.path : ep.host, p.where) << p.text;
		EXPECT_EQ(ep.port, p.port) << p.text;
		EXPECT_EQ(ep.text, p.text);
	}
}

TEST(Endpoint, RefusesMalformedForms)
{
	for (const char* bad : {"",
	                        "unix:",
	                        "local:",
	                        "unix://",
	                        "unix://host/x",
	                        "unix://x",
	                        "inet:",
	                        "inet:host",
	                        "inet:host:",
	                        "inet::25",
	                        "inet:host:0",
	                        "inet:host:65536",
	                        "inet:host:123456",
	                        "inet:host:+25",
	                        "inet:host:25/",
	                        "inet:host:http",
	                        "inet:::1:25",
	                        "inet:[::1]",
	                        "inet:[::1]25",
	                        "inet:[host]:25",
	                        "inet:[]:25",
	                        "inet:a/b:25",
	                        "inet://host",
	                        "tcp:host:25",
	                        "inet6:[::1]:25",
	                        "http://x"}) {
		endpoint ep;
		std::string why;
		EXPECT_FALSE(endpoint_parse(bad, &ep, &why)) << bad;
		EXPECT_FALSE(why.empty()) << bad;
	}
	// An empty path would name an abstract socket: never connected to.
	sockaddr_un addr;
	EXPECT_FALSE(usock_address("", &addr));
}

TEST(Endpoint, ResolvesToTheAddressesToTry)
{
	endpoint ep;
	std::string why;
	std::vector<endpoint_address> addresses;
	ASSERT_TRUE(endpoint_parse("inet:127.0.0.1:10028", &ep, &why));
	EXPECT_FALSE(endpoint_has_name(ep));
	ASSERT_TRUE(endpoint_resolve(ep, &addresses, &why)) << why;
	ASSERT_EQ(addresses.size(), 1u);
	const auto* in = reinterpret_cast<const sockaddr_in*>(&addresses[0].addr);
	EXPECT_EQ(in->sin_family, AF_INET);
	EXPECT_EQ(ntohs(in->sin_port), 10028);
	EXPECT_EQ(ntohl(in->sin_addr.s_addr), INADDR_LOOPBACK);

	ASSERT_TRUE(endpoint_parse("inet:[::1]:25", &ep, &why));
	EXPECT_FALSE(endpoint_has_name(ep));
	ASSERT_TRUE(endpoint_resolve(ep, &addresses, &why)) << why;
	EXPECT_EQ(addresses[0].addr.ss_family, AF_INET6);

	ASSERT_TRUE(endpoint_parse("inet:localhost:25", &ep, &why));
	EXPECT_TRUE(endpoint_has_name(ep));

	ASSERT_TRUE(endpoint_parse("unix:/run/smap.sock", &ep, &why));
	ASSERT_TRUE(endpoint_resolve(ep, &addresses, &why));
	ASSERT_EQ(addresses.size(), 1u);
	EXPECT_STREQ(reinterpret_cast<const sockaddr_un*>(&addresses[0].addr)->sun_path,
	             "/run/smap.sock");
	// A path that does not fit sun_path is refused as it is written.
	EXPECT_FALSE(
	        endpoint_parse("/" + std::string(sizeof(sockaddr_un::sun_path), 'p'), &ep, &why));
	EXPECT_EQ(why, "socket path too long");
}

// --- Dialing ----------------------------------------------------------------

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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
