// SPDX-License-Identifier: ISC
// What the tests of smap-serve share: a map directory with a sample table
// beside a socket path, and an upstream script.
#pragma once

#include "harness/child.hpp"
#include "harness/fake_server.hpp"
#include "harness/temp_dir.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct ServeMaps : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string maps = dir.file("maps");
	spawn_options logged = {.log = dir.file("serve.log")};

	void SetUp() override
	{
		mkdir(maps.c_str(), 0755);
		write_file(maps + "/aliases", "# sample aliases\n"
		                              "postmaster root\n"
		                              "  alice\t alice@example.org, a@example.net\n"
		                              "\n"
		                              "   # indented comment\n"
		                              "listonly\n"
		                              "alice second-wins-not\n");
	}
};

// Runs smap-serve expecting it to refuse to start; returns its log.
inline std::string refused_start(const temp_dir& dir, const std::vector<std::string>& args)
{
	std::vector<std::string> argv = {SMAP_SERVE_PATH};
	argv.insert(argv.end(), args.begin(), args.end());
	std::string log = dir.file("refused.log");
	unlink(log.c_str());
	child_result r = spawned(argv, {.log = log}).finish(5000);
	EXPECT_EQ(r.status, 1);
	return r.err;
}

// An upstream that answers "OK value-KEY", and two replies with a value
// glued to their status word.
inline server_reply upstream_values(const std::string& request, int)
{
	std::string key = request.substr(request.find(' ') + 1);
	if (key == "tab")
		return {netstring("OK\tsecret-tab")};
	if (key == "glued")
		return {netstring("OKsecret-glued")};
	return {netstring("OK value-" + key)};
}

struct ServeBridge : ::testing::Test {
	temp_dir dir;
	std::string sock = dir.file("s");
	std::string up = dir.file("up");
	spawn_options logged = {.log = dir.file("serve.log")};
	fake_server upstream{upstream_values, up, framing::netstrings};
};

// A group other than its own that this process may give its files: any
// as root, else a supplementary one; -1 when there is none.
inline gid_t another_group()
{
	std::vector<gid_t> ours(64);
	ours.resize(static_cast<size_t>(std::max(getgroups(64, ours.data()), 0)));
	if (geteuid() == 0) {
		setgrent();
		while (const group* g = getgrent())
			ours.push_back(g->gr_gid);
		endgrent();
	}
	for (gid_t g : ours)
		if (g != getegid() && getgrgid(g) != nullptr)
			return g;
	return static_cast<gid_t>(-1);
}
