// SPDX-License-Identifier: ISC
// Endpoint forms: what parses, what is refused, what it resolves to.
#include "tools/net/endpoint.hpp"
#include "tools/net/usock.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/un.h>

namespace
{

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

} // namespace
