// SPDX-License-Identifier: ISC
// map_load: what loading a big map costs the other clients of smap-serve.
//
//   map_load [-m MEGABYTES] [-r ROUNDS] [-M SMAP_MAKEMAP] SMAP_SERVE
//
// Writes a small map and two big ones (MEGABYTES each, 50 by default, lines
// of about 50 bytes) into a temporary directory, starts SMAP_SERVE on them,
// and keeps one client asking the small map in a closed loop throughout.
// Meanwhile a second client asks the big map for the first time, then
// rewrites it and asks until the new version answers, ROUNDS times (3 by
// default). Then, ROUNDS times, both big maps are rewritten and asked, so
// that two loads run at once, and a third client asks a small map that
// nobody asked before. Printed: the time until the big map answered (first
// load) and until the new version answered (reload), the time until the
// never-asked small map answered beside the two loads, the latencies of
// the small map's lookups while no load ran and while one did (median,
// 99th percentile and maximum), and the server's resident memory. With -M,
// the big map is then built as a cdb index with SMAP_MAKEMAP and served
// from it: the time until the index answered and the server's resident
// memory then, and ROUNDS times a new version built and renamed over it,
// with the time until it answered and the small map's latencies meanwhile.
// Every reply is checked; a wrong one ends the program with status 1. No
// figure is judged here.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using bench_clock = std::chrono::steady_clock;

double ms_since(bench_clock::time_point t0)
{
	return std::chrono::duration<double, std::milli>(bench_clock::now() - t0).count();
}

int connect_unix(const std::string& path)
{
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	if (path.size() >= sizeof addr.sun_path)
		errx(1, "socket path too long: %s", path.c_str());
	memcpy(addr.sun_path, path.c_str(), path.size());
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (fd == -1 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
		if (fd != -1)
			close(fd);
		return -1;
	}
	return fd;
}

void send_line(int fd, const std::string& query)
{
	std::string line = query + "\n";
	if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
		err(1, "send");
}

// One reply line (blocking).
std::string read_reply(int fd)
{
	std::string reply;
	char c;
	for (;;) {
		ssize_t n = recv(fd, &c, 1, 0);
		if (n <= 0)
			errx(1, "smap-serve closed the connection");
		if (c == '\n')
			return reply;
		reply.push_back(c);
	}
}

// One query line out, one reply line back (blocking).
std::string ask(int fd, const std::string& query)
{
	send_line(fd, query);
	return read_reply(fd);
}

// As ask(), asking again while the server answers that the table is still
// loading (it does not let a query wait for ever).
std::string ask_until_loaded(int fd, const std::string& query)
{
	std::string table = query.substr(0, query.find(' '));
	std::string loading = "TEMP map " + table + " is loading";
	std::string reply;
	while ((reply = ask(fd, query)) == loading)
		;
	return reply;
}

void write_big_map(const std::string& path, size_t megabytes, const std::string& tag)
{
	std::ofstream out(path + ".new", std::ios::binary | std::ios::trunc);
	std::string line;
	size_t bytes = 0;
	for (size_t i = 0; bytes < megabytes << 20; i++) {
		line = "user" + std::to_string(i) + "@example.org\t" + tag + "-" +
		       std::to_string(i) + "@mail.example.net\n";
		out << line;
		bytes += line.size();
	}
	out.close();
	// Renamed into place, as an operator should: the server never sees
	// half a file.
	if (rename((path + ".new").c_str(), path.c_str()) == -1)
		err(1, "rename");
}

std::string version_tag(int round)
{
	char tag[16];
	snprintf(tag, sizeof tag, "v%d", round);
	return tag;
}

std::string big_value(const std::string& tag, size_t i)
{
	return "OK " + tag + "-" + std::to_string(i) + "@mail.example.net";
}

// A line of /proc/PID/status ("VmRSS:" and the like), or "?".
std::string proc_status(pid_t pid, const std::string& field)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	std::string line;
	while (std::getline(in, line))
		if (line.compare(0, field.size(), field) == 0)
			return line.substr(line.find_first_not_of(" \t", field.size()));
	return "?";
}

struct latencies {
	std::mutex lock;
	std::vector<double> idle_ms, loading_ms, index_ms;
};

void print_latencies(const char* what, std::vector<double> v)
{
	if (v.empty()) {
		printf("  %-28s no lookups\n", what);
		return;
	}
	std::sort(v.begin(), v.end());
	auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * v.size()))]; };
	printf("  %-28s %8zu lookups  median %.3f ms  p99 %.3f ms  max %.3f ms\n", what, v.size(),
	       at(0.5), at(0.99), v.back());
}

// The server's memory beside its index: before it was asked, after its
// first answer, and after 20000 lookups of keys all over it. The text maps
// loaded before are anonymous memory; the index's pages are the file's.
void index_memory(pid_t pid, int fd, size_t last_key, const std::string& before)
{
	auto memory = [&] {
		return "anonymous " + proc_status(pid, "RssAnon:") + ", file " +
		       proc_status(pid, "RssFile:");
	};
	printf("  server resident memory before the index: %s\n", before.c_str());
	printf("  after its first answer: %s\n", memory().c_str());
	for (size_t i = 0; i < 20000; i++) {
		size_t k = (i * 7919) % (last_key + 1);
		if (ask(fd, "bigcdb user" + std::to_string(k) + "@example.org") !=
		    big_value("c0", k))
			errx(1, "wrong reply from the index for key %zu", k);
	}
	printf("  after 20000 lookups all over it: %s\n", memory().c_str());
}

// The big map served from its cdb index: built from a text of version
// "c0", asked, then rebuilt `rounds` times from new versions while the small
// map's client goes on (its latencies filed under *indexing).
void index_rounds(const char* makemap, const std::string& maps, size_t megabytes, int rounds,
                  size_t last_key, pid_t pid, int fd, std::atomic<bool>* indexing)
{
	std::string text = maps + "/bigcdb",
	            key = "bigcdb user" + std::to_string(last_key) + "@example.org";
	std::string build = std::string(makemap) + " " + text;
	std::string memory_before = "anonymous " + proc_status(pid, "RssAnon:") + ", file " +
	                            proc_status(pid, "RssFile:");
	for (int r = 0; r <= rounds; r++) {
		// Appended: g++ 12 at -O3 sees an overlapping copy in "c" + a string.
		std::string tag = std::string("c").append(std::to_string(r));
		std::string old_tag = std::string("c").append(std::to_string(r - 1));
		write_big_map(text, megabytes, tag);
		*indexing = r > 0;
		auto t0 = bench_clock::now();
		if (system(build.c_str()) != 0)
			errx(1, "%s failed", build.c_str());
		double built_ms = ms_since(t0);
		std::string reply;
		size_t asked = 0;
		while ((reply = ask(fd, key)) != big_value(tag, last_key)) {
			asked++;
			if (r == 0 || reply != big_value(old_tag, last_key))
				errx(1, "wrong reply from the index: %s", reply.c_str());
		}
		if (r == 0) {
			printf("  index of %zu MB built in %.0f ms; first answer %.1f ms after\n",
			       megabytes, built_ms, ms_since(t0) - built_ms);
			index_memory(pid, fd, last_key, memory_before);
		} else {
			printf("  index rebuilt %d: built in %.0f ms, the new version answered "
			       "%.0f ms "
			       "after the rename (%zu lookups of the old one meanwhile)\n",
			       r, built_ms, ms_since(t0) - built_ms, asked);
		}
		*indexing = false;
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
	}
	printf("  server with the index: resident memory %s\n", proc_status(pid, "VmRSS:").c_str());
}

} // namespace

int main(int argc, char* argv[])
{
	size_t megabytes = 50;
	int rounds = 3;
	const char* makemap = nullptr;
	int opt;
	const char* usage =
	        "usage: map_load [-m MEGABYTES] [-r ROUNDS] [-M SMAP_MAKEMAP] SMAP_SERVE";
	while ((opt = getopt(argc, argv, "m:r:M:")) != -1) {
		if (opt == 'm')
			megabytes = strtoul(optarg, nullptr, 10);
		else if (opt == 'r')
			rounds = atoi(optarg);
		else if (opt == 'M')
			makemap = optarg;
		else
			errx(1, "%s", usage);
	}
	if (argc - optind != 1 || megabytes == 0 || rounds < 1)
		errx(1, "%s", usage);
	const char* serve = argv[optind];

	char tmpl[] = "/tmp/maplo.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		err(1, "mkdtemp");
	std::string dir = tmpl, maps = dir + "/maps", sock = dir + "/s";
	if (mkdir(maps.c_str(), 0755) == -1)
		err(1, "mkdir");
	std::ofstream(maps + "/small") << "postmaster root\n";
	for (int r = 1; r <= rounds; r++)
		std::ofstream(maps + "/fresh" + std::to_string(r)) << "postmaster root\n";
	write_big_map(maps + "/big", megabytes, version_tag(0));
	write_big_map(maps + "/big2", megabytes, version_tag(0));
	size_t last_key = 0;
	{
		std::ifstream in(maps + "/big");
		std::string line;
		while (std::getline(in, line))
			last_key++;
		last_key--;
	}

	pid_t pid = fork();
	if (pid == 0) {
		// Its log lines would be mixed into the figures.
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 2);
		execl(serve, serve, sock.c_str(), maps.c_str(), static_cast<char*>(nullptr));
		_exit(127);
	}
	int small = -1;
	for (int i = 0; i < 500 && small == -1; i++) {
		usleep(10000);
		small = connect_unix(sock);
	}
	if (small == -1)
		errx(1, "%s did not start", serve);

	// The small map's client: closed loop, each latency filed under
	// whether a big load was under way when the lookup started or ended.
	std::atomic<bool> loading{false}, indexing{false}, done{false};
	latencies lat;
	std::thread asker([&] {
		while (!done) {
			bool during = loading;
			auto t0 = bench_clock::now();
			if (ask(small, "small postmaster") != "OK root")
				errx(1, "wrong reply from the small map");
			double ms = ms_since(t0);
			std::lock_guard<std::mutex> g(lat.lock);
			if (indexing)
				lat.index_ms.push_back(ms);
			else
				(during || loading ? lat.loading_ms : lat.idle_ms).push_back(ms);
		}
	});

	int big = connect_unix(sock);
	if (big == -1)
		err(1, "connect");
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	printf("map_load: big map %zu MB, %zu entries; %s\n", megabytes, last_key + 1, serve);

	std::string key = "big user" + std::to_string(last_key) + "@example.org";
	loading = true;
	auto t0 = bench_clock::now();
	if (ask_until_loaded(big, key) != big_value(version_tag(0), last_key))
		errx(1, "wrong reply from the big map");
	printf("  first load: answered after %.0f ms; server resident memory %s\n", ms_since(t0),
	       proc_status(pid, "VmRSS:").c_str());
	loading = false;
	std::this_thread::sleep_for(std::chrono::milliseconds(300));

	for (int r = 1; r <= rounds; r++) {
		std::string tag = version_tag(r), old_tag = version_tag(r - 1);
		write_big_map(maps + "/big", megabytes, tag);
		loading = true;
		t0 = bench_clock::now();
		std::string reply;
		size_t asked = 0;
		do {
			reply = ask(big, key);
			asked++;
			if (reply != big_value(tag, last_key) &&
			    reply != big_value(old_tag, last_key))
				errx(1, "wrong reply from the big map: %s", reply.c_str());
		} while (reply != big_value(tag, last_key));
		printf("  reload %d: new version answered after %.0f ms (%zu lookups of the big "
		       "map meanwhile)\n",
		       r, ms_since(t0), asked - 1);
		loading = false;
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
	}
	// Two loads at once, and a small map nobody asked before. The second
	// big map is loaded first; then both are rewritten and asked in one
	// write, so that both loads have started once the first reply is in.
	std::string key2 = "big2 user" + std::to_string(last_key) + "@example.org";
	if (ask_until_loaded(big, key2) != big_value(version_tag(0), last_key))
		errx(1, "wrong reply from the second big map");
	int fresh = connect_unix(sock);
	if (fresh == -1)
		err(1, "connect");
	// The version each big map answers from until its load is done.
	std::string old_tags[2] = {version_tag(rounds), version_tag(0)};
	const std::string* keys[2] = {&key, &key2};
	for (int r = 1; r <= rounds; r++) {
		std::string tag = version_tag(rounds + r);
		write_big_map(maps + "/big", megabytes, tag);
		write_big_map(maps + "/big2", megabytes, tag);
		loading = true;
		send_line(big, key + "\n" + key2);
		for (int i = 0; i < 2; i++) {
			std::string reply = read_reply(big);
			if (reply != big_value(tag, last_key) &&
			    reply != big_value(old_tags[i], last_key))
				errx(1, "wrong reply from a big map: %s", reply.c_str());
		}
		t0 = bench_clock::now();
		std::string reply = ask(fresh, "fresh" + std::to_string(r) + " postmaster");
		double first_ms = ms_since(t0);
		if (reply != "OK root")
			errx(1, "wrong reply from a small map beside two loads: %s", reply.c_str());
		for (int i = 0; i < 2; i++) {
			while ((reply = ask(big, *keys[i])) != big_value(tag, last_key))
				if (reply != big_value(old_tags[i], last_key))
					errx(1, "wrong reply from a big map: %s", reply.c_str());
			old_tags[i] = tag;
		}
		printf("  beside two loads %d: a never-asked small map answered after %.1f ms, "
		       "both loads done after %.0f ms\n",
		       r, first_ms, ms_since(t0));
		loading = false;
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
	}
	close(fresh);
	if (makemap != nullptr)
		index_rounds(makemap, maps, megabytes, rounds, last_key, pid, big, &indexing);
	done = true;
	asker.join();
	printf("  small map, one client in a closed loop:\n");
	print_latencies("with no load under way:", lat.idle_ms);
	print_latencies("while the big map loads:", lat.loading_ms);
	if (makemap != nullptr)
		print_latencies("while the index is rebuilt:", lat.index_ms);
	printf("  server: resident memory %s, peak %s\n", proc_status(pid, "VmRSS:").c_str(),
	       proc_status(pid, "VmHWM:").c_str());

	close(small);
	close(big);
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);
	std::string cmd = "rm -rf '" + dir + "'";
	if (system(cmd.c_str()) != 0)
		warnx("cannot remove %s", dir.c_str());
	return 0;
}
