// SPDX-License-Identifier: ISC
// throughput: lookups per second through smap-backend, set against the
// floor that any backend pays on this machine.
//
//   throughput [-n N] [-b BLOCK] [-c CPU] [-t SECONDS] [-S SMAP_SERVE [-M SMAP_MAKEMAP]]
//              BACKEND
//   throughput -C backend|relay [-n N] [-w WRAPPER] BACKEND
//   throughput --relay|--checked-relay SOCKET
//   throughput --bridge UPSTREAM SOCKET
//
// The first form is the benchmark. It starts a socketmap server of its own
// (tp_server), the backend, two copies of a minimal relay (tp_relay) and
// a checked relay (the relay plus the backend's check for stale bytes on
// the socket before each query, which shows what that check costs),
// plays the mail server through the handshake with each, and measures
// two phases: closed loop (each lookup waits for its result line) and
// pipelined (one thread writes the lookups while another reads the
// results). In the closed loop it also times query/reply round trips made
// directly on the socket. Every result line is checked.
//
// With -S, a third phase measures the bridge, closed loop: the backend
// asking SMAP_SERVE --upstream, which asks a fast netstring server
// (tp_nsserver) over a local socket or over TCP, against the backend
// asking the line server directly, a second direct backend to calibrate,
// and the backend asking a minimal bridge (tp_bridge) over a local
// socket, the floor for any bridge; beside them, the backend asking
// SMAP_SERVE with a map file that holds every key asked, and with -M also
// SMAP_SERVE answering from that map's cdb index, built by SMAP_MAKEMAP;
// and asking SMAP_SERVE --upstream with a cache that holds every key asked
// (all hits).
// It reports the ratios to the direct path and the latency that each adds
// to a lookup.
//
// The benchmark, its threads and its children are pinned to one CPU, and
// the programs take turns in blocks of BLOCK lookups, the order rotating
// from one round to the next, so that bursts of other load on the machine
// hit all of them alike. Each figure is a median over the rounds; each
// ratio is the median of the ratios within a round. The two relay copies
// calibrate the method: their ratio must come out at 1.00 +- 0.02 before
// the other ratios mean anything.
//
// The second form runs N closed-loop lookups through one program, started
// under WRAPPER (words split at blanks, for instance a valgrind command),
// and nothing else: bench/callgrind.sh counts instructions with it. The
// third form is a relay itself, run by the other two as a child, and the
// fourth the minimal bridge, run by the first.
#include "tp_bridge.hpp"
#include "tp_child.hpp"
#include "tp_io.hpp"
#include "tp_nsserver.hpp"
#include "tp_relay.hpp"
#include "tp_server.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <getopt.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

// --- The text of one lookup -------------------------------------------------

// Request, expected result line, socketmap query and expected reply for
// lookup number `seq`: fixed templates whose digits are rewritten in
// place, so producing a lookup costs next to nothing.
struct lookup_text {
	std::string request, result, query, reply;
	size_t request_id, request_key, result_id, result_key, query_key, reply_key;
};

constexpr int ID_DIGITS = 8;
constexpr int KEY_DIGITS = 6;
constexpr unsigned long KEY_SPACE = 1000000;

void lookup_text_init(lookup_text* t)
{
	const std::string id(ID_DIGITS, '0');
	const std::string key = "user" + std::string(KEY_DIGITS, '0') + "@example.org";
	const std::string value = TP_VALUE_PREFIX + key;
	const std::string request_head =
	        std::string("table|0.1|1700000000.000000|") + TP_TABLE + "|lookup|alias|";
	t->request = request_head + id + "|" + key + "\n";
	t->request_id = request_head.size();
	t->request_key = t->request_id + ID_DIGITS + 1 + 4;
	t->result = "lookup-result|" + id + "|found|" + value;
	t->result_id = 14;
	t->result_key = t->result.size() - value.size() + strlen(TP_VALUE_PREFIX) + 4;
	t->query = std::string(TP_TABLE) + " " + key + "\n";
	t->query_key = strlen(TP_TABLE) + 1 + 4;
	t->reply = "OK " + value;
	t->reply_key = 3 + strlen(TP_VALUE_PREFIX) + 4;
}

void lookup_text_set(lookup_text* t, unsigned long seq)
{
	unsigned long key = (seq * 7919) % KEY_SPACE;
	tp_put_digits(t->request.data() + t->request_id, seq, ID_DIGITS);
	tp_put_digits(t->request.data() + t->request_key, key, KEY_DIGITS);
	tp_put_digits(t->result.data() + t->result_id, seq, ID_DIGITS);
	tp_put_digits(t->result.data() + t->result_key, key, KEY_DIGITS);
	tp_put_digits(t->query.data() + t->query_key, key, KEY_DIGITS);
	tp_put_digits(t->reply.data() + t->reply_key, key, KEY_DIGITS);
}

void expect_line(const char* who, const char* line, size_t len, const std::string& want)
{
	if (len != want.size() || memcmp(line, want.data(), len) != 0)
		errx(1, "%s: got \"%s\", expected \"%s\"", who, line, want.c_str());
}

// --- The programs under test ------------------------------------------------

// One program under test and what was measured of it.
struct program {
	const char* name = nullptr;
	bool direct = false; // the benchmark's own socket, not a child
	tp_child child = {}; // for a child
	int sock = -1;       // for direct round trips
	std::unique_ptr<tp_reader> sock_in;
	unsigned long next_seq = 0;
	std::vector<double> block_ns;     // wall time of each block
	std::vector<double> block_cpu_ns; // the child's CPU time per lookup
	pid_t helper = 0;                 // a process on its path (a bridge)
	std::vector<double> block_helper_cpu_ns;
};

// Splits a wrapper command at blanks and appends the program's argv.
std::vector<std::string> command(const char* wrapper, std::vector<std::string> argv)
{
	std::vector<std::string> words;
	if (wrapper != nullptr) {
		const char* p = wrapper;
		while (*p != '\0') {
			size_t n = strcspn(p, " \t");
			if (n > 0)
				words.emplace_back(p, n);
			p += n;
			p += strspn(p, " \t");
		}
	}
	words.insert(words.end(), argv.begin(), argv.end());
	return words;
}

void start_child(program* p, const std::vector<std::string>& words)
{
	std::vector<char*> argv;
	for (const auto& w : words)
		argv.push_back(const_cast<char*>(w.c_str()));
	argv.push_back(nullptr);
	tp_child_spawn(&p->child, p->name, argv.data());
	tp_child_handshake(&p->child);
}

std::string self_path()
{
	char buf[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
	if (n == -1)
		err(1, "readlink /proc/self/exe");
	return std::string(buf, static_cast<size_t>(n));
}

// --- Blocks of lookups ------------------------------------------------------

// `count` lookups, each waiting for its answer; returns the wall time.
unsigned long long closed_block(program* p, unsigned count)
{
	lookup_text t;
	lookup_text_init(&t);
	unsigned long long start = tp_now_ns();
	for (unsigned i = 0; i < count; i++) {
		lookup_text_set(&t, p->next_seq++);
		char* line;
		size_t len;
		if (p->direct) {
			tp_write_all(p->sock, t.query.data(), t.query.size());
			if (!tp_read_line(p->sock_in.get(), &line, &len))
				errx(1, "%s: connection closed", p->name);
			expect_line(p->name, line, len, t.reply);
		} else {
			tp_write_all(p->child.in, t.request.data(), t.request.size());
			if (!tp_read_line(p->child.out.get(), &line, &len))
				errx(1, "%s: output ended", p->name);
			expect_line(p->name, line, len, t.result);
		}
	}
	return tp_now_ns() - start;
}

// `count` lookups written by a second thread, in writes of up to 4 KiB,
// while this one reads and checks the results; returns the wall time.
unsigned long long pipelined_block(program* p, unsigned count)
{
	unsigned long first = p->next_seq;
	p->next_seq += count;
	unsigned long long start = tp_now_ns();
	std::thread writer([p, first, count] {
		lookup_text t;
		lookup_text_init(&t);
		char batch[4096];
		size_t used = 0;
		for (unsigned i = 0; i < count; i++) {
			lookup_text_set(&t, first + i);
			if (used + t.request.size() > sizeof batch) {
				tp_write_all(p->child.in, batch, used);
				used = 0;
			}
			memcpy(batch + used, t.request.data(), t.request.size());
			used += t.request.size();
		}
		tp_write_all(p->child.in, batch, used);
	});
	lookup_text t;
	lookup_text_init(&t);
	for (unsigned i = 0; i < count; i++) {
		lookup_text_set(&t, first + i);
		char* line;
		size_t len;
		if (!tp_read_line(p->child.out.get(), &line, &len))
			errx(1, "%s: output ended", p->name);
		expect_line(p->name, line, len, t.result);
	}
	unsigned long long elapsed = tp_now_ns() - start;
	writer.join();
	return elapsed;
}

void measured_block(program* p, unsigned count, bool pipelined)
{
	unsigned long long cpu = p->direct ? 0 : tp_child_cpu_ns(&p->child);
	unsigned long long helper_cpu = p->helper ? tp_pid_cpu_ns(p->helper) : 0;
	unsigned long long ns = pipelined ? pipelined_block(p, count) : closed_block(p, count);
	p->block_ns.push_back(static_cast<double>(ns));
	if (!p->direct) {
		cpu = tp_child_cpu_ns(&p->child) - cpu;
		p->block_cpu_ns.push_back(static_cast<double>(cpu) / count);
	}
	if (p->helper) {
		helper_cpu = tp_pid_cpu_ns(p->helper) - helper_cpu;
		p->block_helper_cpu_ns.push_back(static_cast<double>(helper_cpu) / count);
	}
}

// --- Figures ----------------------------------------------------------------

double median(std::vector<double> v)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median over the rounds of b's throughput relative to a's in that round.
double ratio(const program& b, const program& a, const std::vector<unsigned>& counts)
{
	std::vector<double> r;
	for (size_t i = 0; i < counts.size(); i++)
		r.push_back(a.block_ns[i] / b.block_ns[i]);
	return median(r);
}

double rate(const program& p, const std::vector<unsigned>& counts)
{
	std::vector<double> r;
	for (size_t i = 0; i < counts.size(); i++)
		r.push_back(counts[i] * 1e9 / p.block_ns[i]);
	return median(r);
}

// Median over the rounds of the time per lookup that b takes beyond a's.
double added_ns(const program& b, const program& a, const std::vector<unsigned>& counts)
{
	std::vector<double> d;
	for (size_t i = 0; i < counts.size(); i++)
		d.push_back((b.block_ns[i] - a.block_ns[i]) / counts[i]);
	return median(d);
}

// A warm-up block each, then rounds of one block each in rotating order;
// returns the block sizes.
std::vector<unsigned> run_rounds(const std::vector<program*>& progs, unsigned long n,
                                 unsigned block, bool pipelined)
{
	unsigned warm_up = std::min(block, 200u);
	for (program* p : progs) {
		if (pipelined)
			pipelined_block(p, warm_up);
		else
			closed_block(p, warm_up);
	}

	std::vector<unsigned> counts;
	for (unsigned long done = 0; done < n; done += counts.back())
		counts.push_back(static_cast<unsigned>(std::min<unsigned long>(block, n - done)));
	for (program* p : progs) {
		p->block_ns.clear();
		p->block_cpu_ns.clear();
		p->block_helper_cpu_ns.clear();
	}
	// Blocks are recorded per program in round order, so block i of any
	// two programs ran in the same round.
	for (size_t round = 0; round < counts.size(); round++) {
		for (size_t k = 0; k < progs.size(); k++)
			measured_block(progs[(round + k) % progs.size()], counts[round], pipelined);
	}
	return counts;
}

// The programs of one phase; direct is null in the pipelined phase.
struct lineup {
	program* direct;
	program* relay;   // the floor
	program* copy;    // a second relay, for the calibration
	program* checked; // the relay plus the backend's stale-data check
	program* backend;
};

// Runs one phase: a warm-up block each, then rounds of one block each in
// rotating order, then prints the figures. Returns the calibration ratio.
double run_phase(const char* title, const lineup& l, unsigned long n, unsigned block,
                 bool pipelined)
{
	std::vector<program*> progs;
	for (program* p : {l.direct, l.relay, l.copy, l.checked, l.backend}) {
		if (p != nullptr)
			progs.push_back(p);
	}
	std::vector<unsigned> counts = run_rounds(progs, n, block, pipelined);

	double calibration = ratio(*l.copy, *l.relay, counts);
	bool trusted = calibration >= 0.98 && calibration <= 1.02;
	printf("\n%s: %lu lookups per program in %zu rounds of %u\n", title, n, counts.size(),
	       block);
	printf("  calibration, relay copy / minimal relay   %6.3f   %s\n", calibration,
	       trusted ? "(within 1.00 +- 0.02: ratios trusted)"
	               : "(OUTSIDE 1.00 +- 0.02: ratios below NOT trusted)");
	printf("  lookups/s, median of blocks:\n");
	for (program* p : progs)
		printf("    %-16s %10.0f\n", p->name, rate(*p, counts));
	printf("  smap-backend / minimal relay              %6.3f   (target >= 0.95)\n",
	       ratio(*l.backend, *l.relay, counts));
	printf("  checked relay / minimal relay             %6.3f   (cost of the stale-data "
	       "check)\n",
	       ratio(*l.checked, *l.relay, counts));
	printf("  smap-backend / checked relay              %6.3f\n",
	       ratio(*l.backend, *l.checked, counts));
	if (l.direct != nullptr)
		printf("  minimal relay / direct socket             %6.3f\n",
		       ratio(*l.relay, *l.direct, counts));
	printf("  CPU time per lookup, median of blocks:\n");
	for (program* p : progs) {
		if (!p->direct)
			printf("    %-16s %7.2f us\n", p->name, median(p->block_cpu_ns) / 1000);
	}
	return calibration;
}

// --- Modes ------------------------------------------------------------------

// Pins the process, and so every thread and child started later, to `cpu`;
// -1 picks the highest-numbered CPU it may run on.
int pin(int cpu)
{
	cpu_set_t set;
	if (sched_getaffinity(0, sizeof set, &set) == -1)
		err(1, "sched_getaffinity");
	if (cpu < 0) {
		for (int i = CPU_SETSIZE - 1; i >= 0 && cpu < 0; i--) {
			if (CPU_ISSET(i, &set))
				cpu = i;
		}
	}
	CPU_ZERO(&set);
	CPU_SET(cpu, &set);
	if (sched_setaffinity(0, sizeof set, &set) == -1)
		err(1, "sched_setaffinity to CPU %d", cpu);
	return cpu;
}

void report_child_end(program* p)
{
	long hwm = tp_child_peak_kib(&p->child);
	rusage usage;
	tp_child_finish(&p->child, &usage);
	double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
	             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
	printf("    %-16s VmHWM %5ld KiB, ru_maxrss %5ld KiB, CPU %.3f s, context switches %ld "
	       "voluntary %ld involuntary\n",
	       p->name, hwm, usage.ru_maxrss, cpu, usage.ru_nvcsw, usage.ru_nivcsw);
}

// --- The bridge phase --------------------------------------------------------

// A bridge started by the benchmark.
struct bridge {
	const char* name;
	std::string socket;
	pid_t pid = 0;
};

// Starts words[0] with `words` and waits until it accepts connections on
// b->socket.
void start_bridge(bridge* b, const std::vector<std::string>& words)
{
	std::vector<char*> argv;
	for (const auto& w : words)
		argv.push_back(const_cast<char*>(w.c_str()));
	argv.push_back(nullptr);
	int e = posix_spawn(&b->pid, argv[0], nullptr, nullptr, argv.data(), environ);
	if (e != 0) {
		errno = e;
		err(1, "cannot start %s", argv[0]);
	}
	for (int tries = 0;; tries++) {
		int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_un addr = {};
		addr.sun_family = AF_UNIX;
		snprintf(addr.sun_path, sizeof addr.sun_path, "%s", b->socket.c_str());
		bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
		close(fd);
		if (up)
			return;
		if (tries == 500 || waitpid(b->pid, nullptr, WNOHANG) != 0)
			errx(1, "%s did not start listening on %s", b->name, b->socket.c_str());
		usleep(10000);
	}
}

void stop_bridge(bridge* b)
{
	long hwm = -1;
	char path[64];
	snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(b->pid));
	if (FILE* f = fopen(path, "r")) {
		char line[256];
		while (fgets(line, sizeof line, f) != nullptr &&
		       sscanf(line, "VmHWM: %ld", &hwm) != 1)
			;
		fclose(f);
	}
	kill(b->pid, SIGTERM);
	int status;
	rusage usage;
	while (wait4(b->pid, &status, 0, &usage) == -1) {
		if (errno != EINTR)
			err(1, "wait4");
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		errx(1, "%s: ended with status 0x%x", b->name, status);
	double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
	             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
	printf("    %-16s VmHWM %5ld KiB, CPU %.3f s\n", b->name, hwm, cpu);
}

// Writes DIR/maps/aliases with the value of every key that `n` lookups of
// a program, and its warm-up block, ask.
std::string write_map(const std::string& dir, unsigned long n, unsigned block)
{
	std::string maps = dir + "/maps";
	if (mkdir(maps.c_str(), 0755) == -1)
		err(1, "mkdir %s", maps.c_str());
	std::string path = maps + "/" + TP_TABLE;
	FILE* f = fopen(path.c_str(), "w");
	if (f == nullptr)
		err(1, "%s", path.c_str());
	lookup_text t;
	lookup_text_init(&t);
	for (unsigned long seq = 0; seq < n + 2 * block; seq++) {
		lookup_text_set(&t, seq);
		// The query without its newline, and the reply's value.
		fprintf(f, "%.*s %s\n", static_cast<int>(t.query.size() - strlen(TP_TABLE) - 2),
		        t.query.c_str() + strlen(TP_TABLE) + 1, t.reply.c_str() + 3);
	}
	if (fclose(f) != 0)
		err(1, "%s", path.c_str());
	return maps;
}

// DIR/maps-cdb/aliases.cdb from the map of write_map(), by `makemap_path`;
// the text goes, so that the index alone answers.
std::string write_cdb_map(const std::string& dir, const char* makemap_path)
{
	std::string maps = dir + "/maps-cdb", path = maps + "/" + TP_TABLE;
	std::string cmd = "mkdir " + maps + " && cp " + dir + "/maps/" + TP_TABLE + " " + path +
	                  " && " + makemap_path + " " + path + " && rm " + path;
	if (system(cmd.c_str()) != 0)
		errx(1, "cannot build %s.cdb with %s", path.c_str(), makemap_path);
	return maps;
}

// Asks every key that program p will ask in run_rounds() once, so that a
// cache on its path holds them all, then starts p over from the first.
void warm_cache(program* p, unsigned long n, unsigned block)
{
	closed_block(p, static_cast<unsigned>(n + 2 * block));
	p->next_seq = 0;
}

// Closed loop through the backend alone and through the backend and a
// bridge to a netstring server: smap-serve over a local socket and over
// TCP, the minimal bridge over a local socket, smap-serve with every answer
// in its cache; and smap-serve with maps, text and (with `makemap_path`)
// cdb.
void bridge_phase(const char* backend_path, const char* serve_path, const char* makemap_path,
                  const char* line_sock, unsigned long n, unsigned block)
{
	tp_nsserver_address ns = tp_nsserver_start();
	std::string dir = ns.dir;
	bridge local = {"smap-serve unix", dir + "/bridge-unix.sock"};
	bridge tcp = {"smap-serve TCP", dir + "/bridge-tcp.sock"};
	bridge minimal = {"minimal bridge", dir + "/bridge-minimal.sock"};
	bridge maps = {"smap-serve maps", dir + "/maps.sock"};
	bridge cached = {"smap-serve cache", dir + "/bridge-cache.sock"};
	start_bridge(&local,
	             {serve_path, "--upstream", std::string("unix:") + ns.path, local.socket});
	start_bridge(&tcp, {serve_path, "--upstream", "inet:127.0.0.1:" + std::to_string(ns.port),
	                    tcp.socket});
	start_bridge(&minimal, {self_path(), "--bridge", ns.path, minimal.socket});
	start_bridge(&maps, {serve_path, maps.socket, write_map(dir, n, block)});
	bridge cdb = {"smap-serve cdb", dir + "/cdb.sock"};
	if (makemap_path != nullptr)
		start_bridge(&cdb, {serve_path, cdb.socket, write_cdb_map(dir, makemap_path)});
	start_bridge(&cached,
	             {serve_path, "--upstream", std::string("unix:") + ns.path, "--cache-ttl",
	              "3600", "--cache-size", std::to_string(n + 2 * block), cached.socket});

	program direct, copy, via_local, via_tcp, via_minimal, via_maps, via_cdb, via_cache;
	direct.name = "backend direct";
	copy.name = "backend copy";
	via_local.name = "via bridge unix";
	via_local.helper = local.pid;
	via_tcp.name = "via bridge TCP";
	via_tcp.helper = tcp.pid;
	via_minimal.name = "via minimal";
	via_minimal.helper = minimal.pid;
	via_maps.name = "via maps";
	via_maps.helper = maps.pid;
	via_cache.name = "cache hit";
	via_cache.helper = cached.pid;
	start_child(&direct, command(nullptr, {backend_path, line_sock}));
	start_child(&copy, command(nullptr, {backend_path, line_sock}));
	start_child(&via_local, command(nullptr, {backend_path, local.socket}));
	start_child(&via_tcp, command(nullptr, {backend_path, tcp.socket}));
	start_child(&via_minimal, command(nullptr, {backend_path, minimal.socket}));
	start_child(&via_maps, command(nullptr, {backend_path, maps.socket}));
	start_child(&via_cache, command(nullptr, {backend_path, cached.socket}));
	warm_cache(&via_cache, n, block);

	std::vector<program*> progs = {&direct,      &copy,     &via_local, &via_tcp,
	                               &via_minimal, &via_maps, &via_cache};
	std::vector<program*> map_progs = {&via_local, &via_tcp, &via_minimal, &via_maps, &via_cache};
	if (makemap_path != nullptr) {
		via_cdb.name = "via maps cdb";
		via_cdb.helper = cdb.pid;
		start_child(&via_cdb, command(nullptr, {backend_path, cdb.socket}));
		progs.push_back(&via_cdb);
		map_progs.push_back(&via_cdb);
	}
	std::vector<unsigned> counts = run_rounds(progs, n, block, false);
	double calibration = ratio(copy, direct, counts);
	printf("\nbridge, closed loop: %lu lookups per program in %zu rounds of %u\n", n,
	       counts.size(), block);
	printf("  calibration, backend copy / backend direct  %6.3f   %s\n", calibration,
	       calibration >= 0.98 && calibration <= 1.02
	               ? "(within 1.00 +- 0.02: ratios trusted)"
	               : "(OUTSIDE 1.00 +- 0.02: ratios below NOT trusted)");
	printf("  lookups/s, median of blocks:\n");
	for (const program* p : progs)
		printf("    %-16s %10.0f\n", p->name, rate(*p, counts));
	printf("  via bridge unix / backend direct            %6.3f   (target >= 0.6)\n",
	       ratio(via_local, direct, counts));
	printf("  via bridge TCP / backend direct             %6.3f\n",
	       ratio(via_tcp, direct, counts));
	printf("  via minimal / backend direct                %6.3f   (the floor of any bridge)\n",
	       ratio(via_minimal, direct, counts));
	printf("  via bridge unix / via minimal               %6.3f   (target >= 0.92)\n",
	       ratio(via_local, via_minimal, counts));
	printf("  via maps / backend direct                   %6.3f\n",
	       ratio(via_maps, direct, counts));
	if (makemap_path != nullptr)
		printf("  via maps cdb / via maps                     %6.3f   (target >= 0.9)\n",
		       ratio(via_cdb, via_maps, counts));
	printf("  cache hit / backend direct                  %6.3f\n",
	       ratio(via_cache, direct, counts));
	printf("  cache hit / via maps                        %6.3f   (target >= 0.95)\n",
	       ratio(via_cache, via_maps, counts));
	printf("  added latency per lookup, median of rounds:\n");
	for (const program* p : map_progs)
		printf("    %-16s %7.2f us\n", p->name, added_ns(*p, direct, counts) / 1000);
	printf("  CPU time per lookup, median of blocks:\n");
	printf("    %-16s %7.2f us\n", "smap-backend", median(direct.block_cpu_ns) / 1000);
	for (const program* p : map_progs)
		printf("    %-16s %7.2f us\n", p->name, median(p->block_helper_cpu_ns) / 1000);

	printf("  peak resident memory (VmHWM) and total CPU of the bridges:\n");
	for (program* p : progs) {
		rusage usage;
		tp_child_finish(&p->child, &usage);
	}
	stop_bridge(&local);
	stop_bridge(&tcp);
	stop_bridge(&minimal);
	stop_bridge(&maps);
	stop_bridge(&cached);
	unlink((dir + "/maps/" + TP_TABLE).c_str());
	rmdir((dir + "/maps").c_str());
	if (makemap_path != nullptr) {
		stop_bridge(&cdb);
		unlink((dir + "/maps-cdb/" + TP_TABLE + ".cdb").c_str());
		rmdir((dir + "/maps-cdb").c_str());
	}
	tp_nsserver_cleanup();
}

int benchmark(const char* backend_path, const char* serve_path, const char* makemap_path,
              unsigned long n, unsigned block, int cpu)
{
	cpu = pin(cpu);
	const char* sock = tp_server_start();
	std::string self = self_path();

	program direct, relay, copy, checked, backend;
	direct.name = "direct socket";
	direct.direct = true;
	relay.name = "minimal relay";
	copy.name = "relay copy";
	checked.name = "checked relay";
	backend.name = "smap-backend";
	direct.sock = tp_connect(sock);
	direct.sock_in = std::make_unique<tp_reader>();
	tp_reader_init(direct.sock_in.get(), direct.sock);
	start_child(&relay, command(nullptr, {self, "--relay", sock}));
	start_child(&copy, command(nullptr, {self, "--relay", sock}));
	start_child(&checked, command(nullptr, {self, "--checked-relay", sock}));
	start_child(&backend, command(nullptr, {backend_path, sock}));

	printf("throughput: smap-backend %s\n", backend_path);
	printf("pinned to CPU %d; every result line is checked\n", cpu);
	double c1 = run_phase("closed loop", {&direct, &relay, &copy, &checked, &backend}, n, block,
	                      false);
	double c2 = run_phase("pipelined", {nullptr, &relay, &copy, &checked, &backend}, n, block,
	                      true);
	if (serve_path != nullptr)
		bridge_phase(backend_path, serve_path, makemap_path, sock, n, block);

	// ru_maxrss also counts the pages the child shared with this process
	// before its exec, so VmHWM is the child's own peak.
	printf("\npeak resident memory (VmHWM; ru_maxrss includes the spawning process's pages "
	       "before exec) and total CPU:\n");
	report_child_end(&backend);
	report_child_end(&relay);
	report_child_end(&copy);
	report_child_end(&checked);
	close(direct.sock);
	bool trusted = c1 >= 0.98 && c1 <= 1.02 && c2 >= 0.98 && c2 <= 1.02;
	if (!trusted)
		printf("\ncalibration failed in this run: repeat it on a quieter machine\n");
	return 0;
}

int count_run(const char* which, const char* backend_path, unsigned long n, const char* wrapper)
{
	pin(-1);
	const char* sock = tp_server_start();
	program p;
	p.name = which;
	if (strcmp(which, "backend") == 0)
		start_child(&p, command(wrapper, {backend_path, sock}));
	else if (strcmp(which, "relay") == 0)
		start_child(&p, command(wrapper, {self_path(), "--relay", sock}));
	else
		errx(1, "-C takes backend or relay, not %s", which);
	unsigned long done = 0;
	while (done < n) {
		auto count = static_cast<unsigned>(std::min<unsigned long>(n - done, 1000));
		closed_block(&p, count);
		done += count;
	}
	rusage usage;
	tp_child_finish(&p.child, &usage);
	printf("%s: %lu lookups, every result checked\n", which, n);
	return 0;
}

[[noreturn]] void usage()
{
	fprintf(stderr, "usage: throughput [-n N] [-b BLOCK] [-c CPU] [-t SECONDS] [-S SMAP_SERVE "
	                "[-M SMAP_MAKEMAP]] BACKEND\n"
	                "       throughput -C backend|relay [-n N] [-w WRAPPER] BACKEND\n"
	                "       throughput --relay|--checked-relay SOCKET\n"
	                "       throughput --bridge UPSTREAM SOCKET\n");
	exit(2);
}

unsigned long number(const char* text, unsigned long min)
{
	char* end;
	errno = 0;
	unsigned long v = strtoul(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || v < min)
		usage();
	return v;
}

} // namespace

int main(int argc, char* argv[])
{
	if (argc == 3 && strcmp(argv[1], "--relay") == 0)
		return tp_relay_main(argv[2], false);
	if (argc == 3 && strcmp(argv[1], "--checked-relay") == 0)
		return tp_relay_main(argv[2], true);
	if (argc == 4 && strcmp(argv[1], "--bridge") == 0)
		tp_bridge_main(argv[2], argv[3]);

	unsigned long n = 50000;
	unsigned long block = 1000;
	int cpu = -1;
	unsigned long seconds = 900;
	const char* which = nullptr;
	const char* wrapper = nullptr;
	const char* serve_path = nullptr;
	const char* makemap_path = nullptr;
	int opt;
	while ((opt = getopt(argc, argv, "n:b:c:t:C:w:S:M:")) != -1) {
		switch (opt) {
		case 'n':
			n = number(optarg, 0);
			break;
		case 'b':
			block = number(optarg, 1);
			break;
		case 'c':
			cpu = static_cast<int>(number(optarg, 0));
			break;
		case 't':
			seconds = number(optarg, 1);
			break;
		case 'C':
			which = optarg;
			break;
		case 'w':
			wrapper = optarg;
			break;
		case 'S':
			serve_path = optarg;
			break;
		case 'M':
			makemap_path = optarg;
			break;
		default:
			usage();
		}
	}
	if (argc - optind != 1 || (makemap_path != nullptr && serve_path == nullptr))
		usage();
	// A benchmark that hangs ends; its children then see end of input.
	alarm(static_cast<unsigned>(seconds));
	atexit(tp_server_cleanup);
	atexit(tp_nsserver_cleanup);
	setvbuf(stdout, nullptr, _IOLBF, 0);
	if (which != nullptr)
		return count_run(which, argv[optind], n, wrapper);
	if (n == 0)
		usage();
	return benchmark(argv[optind], serve_path, makemap_path, n, static_cast<unsigned>(block),
	                 cpu);
}
