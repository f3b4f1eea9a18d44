// SPDX-License-Identifier: ISC
// smap-serve's metrics: the text format, the reply words, percentiles and
// the file writer in this process; the metrics file and the summary of a
// scripted run end to end, with maps and as a bridge.
#include "harness/logs.hpp"
#include "harness/sockets.hpp"
#include "serve/fixture.hpp"
#include "tools/serve/metrics.hpp"
#include "tools/serve/metricsfile.hpp"
#include "tools/serve/metricstext.hpp"
#include "tools/serve/promtext.hpp"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

TEST(PromText, EscapesNumbersAndHistograms)
{
	const std::pair<std::string, std::string> labels[] = {
	        {"plain", "plain"},
	        {"back\\slash", "back\\\\slash"},
	        {"say \"hi\"", "say \\\"hi\\\""},
	        {"two\nlines", "two\\nlines"},
	        {"caf\xc3\xa9 {x=1,y}", "caf\xc3\xa9 {x=1,y}"},
	};
	for (const auto& [value, want] : labels) {
		std::string out;
		prom_escape_label(&out, value);
		EXPECT_EQ(out, want) << value;
	}
	const std::pair<int64_t, std::string> micros[] = {
	        {0, "0"},         {500, "0.0005"},       {1000000, "1"},     {2500000, "2.5"},
	        {10000000, "10"}, {1234567, "1.234567"}, {-1500, "-0.0015"}, {7, "0.000007"},
	};
	for (const auto& [us, want] : micros)
		EXPECT_EQ(prom_micros(us), want) << us;

	std::string out;
	prom_text p(&out);
	p.family("x_seconds", "histogram", "A \\ help\ntext.");
	const int64_t bounds[] = {500, 2500000};
	const uint64_t buckets[] = {3, 0, 2};
	p.histogram("x_seconds", bounds, 2, buckets, 12345678);
	p.sample("y_total", {{"a", "1"}, {"b", "q\""}}, uint64_t(18446744073709551615u));
	EXPECT_EQ(out, "# HELP x_seconds A \\\\ help\\ntext.\n"
	               "# TYPE x_seconds histogram\n"
	               "x_seconds_bucket{le=\"0.0005\"} 3\n"
	               "x_seconds_bucket{le=\"2.5\"} 3\n"
	               "x_seconds_bucket{le=\"+Inf\"} 5\n"
	               "x_seconds_sum 12.345678\n"
	               "x_seconds_count 5\n"
	               "y_total{a=\"1\",b=\"q\\\"\"} 18446744073709551615\n");
}

TEST(Metrics, ResultWordsAndPercentiles)
{
	const std::pair<const char*, metrics_result> words[] = {
	        {"OK value", RESULT_OK},
	        {"ok", RESULT_OK},
	        {"OKsecret", RESULT_OTHER},
	        {"NOTFOUND ", RESULT_NOTFOUND},
	        {"NOTFOUND", RESULT_NOTFOUND},
	        {"TEMP why", RESULT_TEMP},
	        {"timeout x", RESULT_TIMEOUT},
	        {"PERM x", RESULT_PERM},
	        {"", RESULT_OTHER},
	        {"WHAT x", RESULT_OTHER},
	};
	for (const auto& [reply, want] : words)
		EXPECT_EQ(metrics_result_of(reply), want) << reply;

	// Observations in microseconds, and the bound of the bucket of the
	// 99th percentile: -1 past the last bound.
	const std::pair<std::vector<int64_t>, int64_t> rows[] = {
	        {{}, 0},
	        {{0}, 500},
	        {{500}, 500},
	        {{501}, 1000},
	        {std::vector<int64_t>(99, 100), 500},
	        {[] {
		         std::vector<int64_t> v(98, 100);
		         v.insert(v.end(), {3000000, 3000000});
		         return v;
	         }(),
	         5000000},
	        {{20000000}, -1},
	};
	for (const auto& [seen, want] : rows) {
		metrics_histogram h;
		for (int64_t us : seen)
			metrics_observe(&h, us);
		EXPECT_EQ(metrics_percentile_bound(h, 990), want) << seen.size();
	}
}

TEST(Metrics, OnlyTablesThatExistAndCanBeLabelsGetSlots)
{
	metrics_begin(METRICS_BRIDGE);
	const struct {
		std::string name;
		bool exists;
		bool labelled;
	} rows[] = {
	        {"aliases", true, true},
	        {"domains", false, false}, // asked, but answered with an error
	        {"caf\xc3\xa9", true, true},
	        {"say \"hi\" \\", true, true},
	        {"_other", true, false},
	        {"", true, false},
	        {std::string(255, 'a'), true, true},
	        {std::string(256, 'a'), true, false},
	        {"tab\there", true, false},
	        {"del\x7f", true, false},
	        {"c1\xc2\x85", true, false},   // a C1 control
	        {"bad\xc3", true, false},      // cut short
	        {"over\xc0\xaf", true, false}, // an overlong "/"
	        {"sur\xed\xa0\x80", true, false},
	};
	for (const auto& row : rows) {
		size_t slot = metrics_table_slot(row.name, row.exists);
		EXPECT_EQ(slot != 0, row.labelled) << row.name;
		// Once given, a slot is found again, exists or not.
		EXPECT_EQ(metrics_table_slot(row.name, false), slot) << row.name;
	}
	// 256 tables at most, whatever exists after them.
	for (int i = 0; i < 300; i++)
		metrics_table_slot(std::string("t").append(std::to_string(i)), true);
	EXPECT_EQ(metrics_now().tables.size(), METRICS_TABLES_MAX + 1);
	EXPECT_EQ(metrics_table_slot("t299", true), 0u);
	EXPECT_EQ(metrics_now().tables[metrics_table_slot("aliases", false)].name, "aliases");
}

TEST(Metrics, SummaryLines)
{
	metrics_begin(METRICS_MAPS);
	size_t aliases = metrics_table_slot("aliases", true);
	metrics_query(aliases, RESULT_OK, 400);
	metrics_query(aliases, RESULT_OK, 600);
	metrics_query(aliases, RESULT_NOTFOUND, 20000000);
	metrics_query(0, RESULT_PERM, 100);
	metrics_clients(2, 1018);
	metrics_client_closed(CLOSE_EOF);
	metrics_client_closed(CLOSE_STUCK);
	metrics_client_closed(CLOSE_UNCOUNTED);
	metrics_table_slot("domains", true);
	std::vector<std::string> want = {
	        "summary: 4 queries: ok 2, notfound 1, temp 0, timeout 0, perm 1, other 0; mean "
	        "5000.275 ms, p99 > 10000 ms; clients 2 of 1018, closed idle 0, stuck 1, error 0, "
	        "eof 1",
	        "summary: table _other: 1 queries: ok 0, notfound 0, temp 0, timeout 0, perm 1, "
	        "other 0; mean 0.100 ms, p99 <= 0.5 ms",
	        "summary: table aliases: 3 queries: ok 2, notfound 1, temp 0, timeout 0, perm 0, "
	        "other 0; mean 6667.000 ms, p99 > 10000 ms",
	        "summary: table domains: 0 queries: ok 0, notfound 0, temp 0, timeout 0, perm 0, "
	        "other 0; mean -, p99 -",
	};
	EXPECT_EQ(metrics_summary(metrics_now()), want);
}

TEST(MetricsFile, WritesWholeWith0644OrSaysWhy)
{
	temp_dir dir;
	mode_t old = umask(077);
	std::string why;
	std::string path = dir.file("m.prom");
	EXPECT_TRUE(metrics_file_write(path, "a 1\n", &why)) << why;
	umask(old);
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	EXPECT_EQ(read_file(path), "a 1\n");
	EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);

	// A symbolic link or a FIFO in place of the temporary file, a missing
	// directory: refused, the old file kept.
	ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), (path + ".tmp").c_str()), 0);
	EXPECT_FALSE(metrics_file_write(path, "b 2\n", &why));
	EXPECT_NE(why.find("cannot create " + path + ".tmp: "), std::string::npos) << why;
	unlink((path + ".tmp").c_str());
	mkfifo((path + ".tmp").c_str(), 0600);
	EXPECT_FALSE(metrics_file_write(path, "b 2\n", &why));
	unlink((path + ".tmp").c_str());
	EXPECT_EQ(read_file(path), "a 1\n");
	EXPECT_FALSE(metrics_file_write(dir.file("no/m.prom"), "b 2\n", &why));
	EXPECT_EQ(why,
	          "cannot create " + dir.file("no/m.prom.tmp") + ": No such file or directory");
}

// The samples of a metrics file: "name{labels}" to value.
std::map<std::string, std::string> samples(const std::string& text)
{
	std::map<std::string, std::string> out;
	for (const std::string& line : split_lines(text))
		if (!line.empty() && line[0] != '#')
			out[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
	return out;
}

std::string queries_of(const std::string& table, const std::string& result)
{
	return "smap_serve_queries_total{table=\"" + table + "\",result=\"" + result + "\"}";
}

TEST_F(ServeMaps, MetricsOfAScriptedRunAddUp)
{
	// domains answers from an index of two records.
	write_file(maps + "/domains", "example.org\nexample.net\n");
	ASSERT_EQ(spawned({SMAP_MAKEMAP_PATH, maps + "/domains"}).finish(10000).status, 0);
	std::string prom = dir.file("m.prom");
	server_process serve({SMAP_SERVE_PATH, "--metrics-file", prom, sock, maps}, sock, logged);
	// table, key, result, times
	const struct {
		const char* query;
		const char* table;
		const char* result;
		int times;
	} script[] = {
	        {"aliases postmaster", "aliases", "ok", 3},
	        {"aliases nobody", "aliases", "notfound", 2},
	        {"domains example.org", "domains", "ok", 1},
	        {"nosuch key", "_other", "perm", 2},
	        {"malformed", "_other", "perm", 1},
	};
	int sent = 0;
	for (const auto& row : script)
		for (int i = 0; i < row.times; i++, sent++) {
			int fd = connect_to(sock);
			send_text(fd, std::string(row.query) + "\n");
			EXPECT_NE(read_line(fd), "<eof>");
			close(fd);
		}
	kill(serve.pid(), SIGUSR1);
	EXPECT_TRUE(log_shows(serve.log(), "summary: table domains: 1 queries: ok 1, notfound 0"));
	EXPECT_TRUE(serve.running()) << "SIGUSR1 ended the server";
	EXPECT_EQ(serve.stop(SIGTERM).status, 0);
	std::string log = read_file(serve.log());
	EXPECT_NE(log.find("summary: 9 queries: ok 4, notfound 2, temp 0, timeout 0, perm 3, "
	                   "other 0; mean "),
	          std::string::npos)
	        << log;

	// The write at exit counts every query, by table and result.
	std::map<std::string, std::string> got = samples(read_file(prom));
	std::map<std::string, int> want;
	for (const auto& row : script)
		want[queries_of(row.table, row.result)] += row.times;
	int total = 0;
	for (const auto& [name, value] : got)
		if (name.rfind("smap_serve_queries_total{", 0) == 0) {
			EXPECT_EQ(atoi(value.c_str()), want[name]) << name;
			total += atoi(value.c_str());
		}
	EXPECT_EQ(total, sent);
	EXPECT_EQ(got[queries_of("domains", "temp")], "0");
	EXPECT_EQ(got["smap_serve_query_duration_seconds_count"], std::to_string(sent));
	// Each client closed its end, and so did the harness's one probe for
	// the socket.
	EXPECT_EQ(got["smap_serve_clients_closed_total{reason=\"eof\"}"], std::to_string(sent + 1));
	EXPECT_EQ(got["smap_serve_map_entries{table=\"aliases\"}"], "3");
	EXPECT_EQ(got["smap_serve_map_entries{table=\"domains\"}"], "2");
	EXPECT_GT(atof(got["smap_serve_map_loaded_timestamp_seconds{table=\"domains\"}"].c_str()),
	          static_cast<double>(time(nullptr) - 60));
	EXPECT_EQ(got["smap_serve_build_info{version=\"" SMAP_VERSION "\"}"], "1");
	EXPECT_EQ(got.count("smap_serve_upstream_up"), 0u);
}

TEST_F(ServeBridge, RandomTableNamesGiveAtMost257Labels)
{
	std::string prom = dir.file("m.prom");
	server_process serve({SMAP_SERVE_PATH, "--metrics-file", prom, "--upstream", up, sock},
	                     sock, logged);
	std::mt19937 random(22);
	int fd = connect_to(sock);
	for (int i = 0; i < 1000; i++) {
		// 1 to 40 printable bytes, quotes and backslashes among them; one
		// name in five of any byte but a blank, a newline or a NUL.
		std::string table(1 + random() % 40, 'x');
		bool any = random() % 5 == 0;
		for (char& c : table)
			do
				c = static_cast<char>(any ? random() % 256 : 0x21 + random() % 94);
			while (c == ' ' || c == '\n' || c == '\0');
		EXPECT_EQ(ask(fd, table + " k"), "OK value-k");
	}
	close(fd);
	serve.stop(SIGTERM);
	std::set<std::string> tables;
	uint64_t ok = 0;
	for (const auto& [name, value] : samples(read_file(prom)))
		if (name.rfind("smap_serve_queries_total{table=\"", 0) == 0) {
			tables.insert(name.substr(0, name.find("\",result=")));
			if (name.find("result=\"ok\"") != std::string::npos)
				ok += std::stoull(value);
		}
	EXPECT_EQ(tables.size(), 257u);
	EXPECT_EQ(ok, 1000u);
	EXPECT_EQ(samples(read_file(prom))["smap_serve_upstream_queries_total{upstream=\"" + up +
	                                   "\",result=\"ok\"}"],
	          "1000");
}

TEST_F(ServeBridge, PromtoolAcceptsTheFiles)
{
	if (system("command -v promtool >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "promtool not installed (Debian's prometheus package): the "
		                "format of the files was not checked by it";
	// As a bridge, with labels to escape; with maps, one loaded.
	std::string maps = dir.file("maps");
	mkdir(maps.c_str(), 0755);
	write_file(maps + "/aliases", "postmaster root\n");
	const std::vector<std::string> modes[] = {{"--upstream", up, sock}, {sock, maps}};
	for (const auto& mode : modes) {
		std::string prom = dir.file("m.prom");
		std::vector<std::string> argv = {SMAP_SERVE_PATH, "--metrics-file", prom};
		argv.insert(argv.end(), mode.begin(), mode.end());
		server_process serve(argv, sock, logged);
		int fd = connect_to(sock);
		for (const char* table : {"aliases", "say\"\\", "caf\xc3\xa9", "bad\xff", "_other"})
			EXPECT_NE(ask(fd, std::string(table) + " postmaster"), "<timeout>");
		close(fd);
		serve.stop(SIGTERM);
		std::string out = dir.file("check.out");
		int status =
		        system(("promtool check metrics <" + prom + " >" + out + " 2>&1").c_str());
		EXPECT_EQ(status, 0) << read_file(out);
		EXPECT_EQ(read_file(out), "") << mode.back();
	}
}

TEST_F(ServeBridge, UpstreamDownCountsAndReadersSeeWholeFiles)
{
	std::string prom = dir.file("m.prom");
	server_process serve({SMAP_SERVE_PATH, "--metrics-file", prom, "--metrics-interval",
	                      "0.002", "--timeout", "0.5", "--upstream", up, sock},
	                     sock, logged);
	int fd = connect_to(sock);
	ASSERT_EQ(ask(fd, "t k"), "OK value-k");
	upstream.stop();
	EXPECT_EQ(ask(fd, "t k").rfind("TEMP upstream ", 0), 0u);
	// A reader looping on the file while it is rewritten every 2 ms sees
	// one whole file each time.
	int reads = 0;
	for (long long end = monotonic_ms() + 500; monotonic_ms() < end; reads++) {
		std::string text = read_file(prom);
		ASSERT_EQ(text.rfind("# HELP smap_serve_queries_total ", 0), 0u) << text;
		ASSERT_NE(text.find("smap_serve_build_info{version=\"" SMAP_VERSION "\"} 1\n"),
		          std::string::npos)
		        << text;
	}
	EXPECT_GT(reads, 10);
	std::map<std::string, std::string> got = samples(read_file(prom));
	std::string label = "{upstream=\"" + up + "\"}";
	EXPECT_EQ(got["smap_serve_upstream_up" + label], "0");
	EXPECT_EQ(got["smap_serve_upstream_connect_failures_total" + label], "1");
	EXPECT_EQ(got["smap_serve_upstream_duration_seconds_count"], "2");
	upstream.start();
	EXPECT_EQ(ask(fd, "t k"), "OK value-k");
	EXPECT_TRUE(log_shows(prom, "smap_serve_upstream_up" + label + " 1"));
	close(fd);
}

TEST_F(ServeMaps, AFailedWriteWarnsOncePerReasonAndNeverStops)
{
	std::string folder = dir.file("collector");
	std::string prom = folder + "/m.prom";
	server_process serve(
	        {SMAP_SERVE_PATH, "--metrics-file", prom, "--metrics-interval", "0.02", sock, maps},
	        sock, logged);
	std::string warning = "warn: metrics file " + prom + " not written: cannot create " + prom +
	                      ".tmp: No such file or directory";
	ASSERT_TRUE(log_shows(serve.log(), warning));
	usleep(200000);
	mkdir(folder.c_str(), 0755);
	EXPECT_TRUE(log_shows(serve.log(), "metrics file " + prom + " written again"));
	EXPECT_TRUE(log_shows(prom, "smap_serve_clients 0"));
	int fd = connect_to(sock);
	EXPECT_EQ(ask(fd, "aliases postmaster"), "OK root");
	close(fd);
	EXPECT_EQ(count_of(read_file(serve.log()), warning), 1u);
	EXPECT_EQ(serve.stop(SIGTERM).status, 0);
}

TEST_F(ServeMaps, MetricsOptionsOnTheCommandLine)
{
	const std::pair<std::vector<std::string>, std::string> rows[] = {
	        {{"--metrics-interval", "5", sock, maps}, "usage: smap-serve"},
	        {{"--metrics-file", dir.file("m"), "--metrics-interval", "0", sock, maps},
	         "fatal: bad metrics interval 0: expected seconds, more than 0 and at most 3600"},
	        {{"--metrics-file", dir.file("m"), "--metrics-interval", "3601", sock, maps},
	         "fatal: bad metrics interval 3601"},
	        {{"--metrics-file", "", sock, maps}, "fatal: bad metrics file: the path is empty"},
	};
	for (const auto& [args, want] : rows)
		EXPECT_NE(refused_start(dir, args).find(want), std::string::npos) << want;
}

} // namespace
