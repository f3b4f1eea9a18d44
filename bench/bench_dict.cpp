// SPDX-License-Identifier: ISC
// The dictionary against std::map and std::unordered_map on the same keys.
//
// Keys are mail addresses: a random local part of 4 to 12 characters, "@",
// and one of 500 domains, 20 to 35 bytes in all. Every workload runs at
// 1k, 100k and 1M entries; times are per operation. After the runs a table
// gives, for every workload and size, each container's median time and
// its ratio to std::map measured in the same run.
#include "support/dict.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr size_t sizes[] = {1000, 100000, 1000000};
// Lookups of the skewed workload: HOT_KEYS keys take HOT_SHARE of them, the
// rest are spread over all keys. The hot workload looks up nothing but the
// hot keys, which shows the cost of a hit apart from the cold misses.
constexpr size_t HOT_KEYS = 8;
constexpr double HOT_SHARE = 0.95;

struct key_set {
	std::vector<std::string> random; // distinct, in random order
	std::vector<std::string> sorted;
	std::vector<uint32_t> skewed; // indices into `random`
	std::vector<uint32_t> hot;
};

key_set make_keys(size_t n)
{
	std::mt19937_64 rng(n);
	const char alnum[] = "abcdefghijklmnopqrstuvwxyz0123456789._-";
	std::vector<std::string> domains;
	for (int i = 0; i < 500; i++) {
		std::string d;
		for (int j = 0; j < 5 + static_cast<int>(rng() % 8); j++)
			d += alnum[rng() % 26];
		domains.push_back(d + (i % 3 == 0 ? ".example.org" : ".example.com"));
	}
	key_set ks;
	std::unordered_set<std::string> seen;
	while (ks.random.size() < n) {
		std::string k;
		for (int j = 0; j < 4 + static_cast<int>(rng() % 9); j++)
			k += alnum[rng() % (sizeof alnum - 1)];
		k += '@';
		k += domains[rng() % domains.size()];
		if (seen.insert(k).second)
			ks.random.push_back(std::move(k));
	}
	// Copied once more after sorting, so that the sorted keys' own bytes
	// lie in memory in their order, as the random keys' lie in theirs:
	// reading the search keys costs every container the same.
	std::vector<std::string> sorted = ks.random;
	std::sort(sorted.begin(), sorted.end());
	ks.sorted.reserve(n);
	for (const auto& k : sorted)
		ks.sorted.push_back(std::string(k.data(), k.size()));

	std::uniform_real_distribution<double> share(0, 1);
	size_t len = std::max<size_t>(n, 1 << 20);
	ks.skewed.resize(len);
	for (auto& i : ks.skewed)
		i = static_cast<uint32_t>(share(rng) < HOT_SHARE ? rng() % HOT_KEYS : rng() % n);
	ks.hot.resize(len);
	for (auto& i : ks.hot)
		i = static_cast<uint32_t>(rng() % HOT_KEYS);
	return ks;
}

const key_set& keys_for(size_t n)
{
	static std::map<size_t, key_set> cache;
	auto it = cache.find(n);
	if (it == cache.end())
		it = cache.emplace(n, make_keys(n)).first;
	return it->second;
}

void* value_of(const std::string& k)
{
	return const_cast<std::string*>(&k);
}

struct dict_c {
	dict d{};
	void insert(const std::string& k)
	{
		dict_set(&d, k.c_str(), value_of(k));
	}
	void* find(const std::string& k)
	{
		return dict_get(&d, k.c_str());
	}
	size_t walk()
	{
		void* cursor = nullptr;
		void* v;
		size_t n = 0;
		while (dict_next(&d, &cursor, nullptr, &v) == 1) {
			benchmark::DoNotOptimize(v);
			n++;
		}
		return n;
	}
	void clear()
	{
		while (dict_pop_root(&d, nullptr) == 1) {
		}
	}
	~dict_c()
	{
		clear();
	}
};

template <class M> struct std_c {
	M m;
	void insert(const std::string& k)
	{
		m.try_emplace(k, value_of(k));
	}
	void* find(const std::string& k)
	{
		auto it = m.find(k);
		return it == m.end() ? nullptr : it->second;
	}
	size_t walk()
	{
		size_t n = 0;
		for (auto& kv : m) {
			benchmark::DoNotOptimize(kv.second);
			n++;
		}
		return n;
	}
	void clear()
	{
		m.clear();
	}
};

using map_c = std_c<std::map<std::string, void*>>;
using umap_c = std_c<std::unordered_map<std::string, void*>>;

void per_op(benchmark::State& state, double ops_per_iteration)
{
	state.counters["per_op"] = benchmark::Counter(
	        ops_per_iteration,
	        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <class C> void bm_insert(benchmark::State& state, size_t n, bool sorted)
{
	const auto& ks = keys_for(n);
	const auto& order = sorted ? ks.sorted : ks.random;
	C c;
	for (auto _ : state) {
		for (const auto& k : order)
			c.insert(k);
		state.PauseTiming();
		c.clear();
		state.ResumeTiming();
	}
	per_op(state, static_cast<double>(n));
}

// One lookup per iteration: the keys in their own order, or picked by the
// indices of `seq`, cycling.
using key_list = std::vector<std::string> key_set::*;
using index_list = std::vector<uint32_t> key_set::*;

template <class C> void bm_lookup(benchmark::State& state, size_t n, key_list which, index_list by)
{
	const auto& ks = keys_for(n);
	const auto& keys = ks.*which;
	const std::vector<uint32_t>* seq = by != nullptr ? &(ks.*by) : nullptr;
	C c;
	for (const auto& k : ks.random)
		c.insert(k);
	size_t i = 0;
	size_t len = seq != nullptr ? seq->size() : keys.size();
	size_t misses = 0;
	for (auto _ : state) {
		const std::string& k = keys[seq != nullptr ? (*seq)[i] : i];
		void* v = c.find(k);
		misses += v == nullptr;
		benchmark::DoNotOptimize(v);
		if (++i == len)
			i = 0;
	}
	if (misses != 0)
		state.SkipWithError("lookup missed");
	per_op(state, 1);
}

template <class C> void bm_iterate(benchmark::State& state, size_t n)
{
	const auto& ks = keys_for(n);
	C c;
	for (const auto& k : ks.random)
		c.insert(k);
	for (auto _ : state) {
		if (c.walk() != n)
			state.SkipWithError("walk miscounted");
	}
	per_op(state, static_cast<double>(n));
}

template <class C> void register_all(const char* impl)
{
	for (size_t n : sizes) {
		auto add = [&](const char* workload, size_t iterations, auto fn) {
			std::string name =
			        std::string(workload) + "/" + impl + "/" + std::to_string(n);
			benchmark::RegisterBenchmark(name.c_str(), fn)
			        ->Iterations(static_cast<benchmark::IterationCount>(iterations));
		};
		// Whole-container runs: enough to fill 4M operations, at least 2.
		size_t whole = std::max<size_t>(2, 4000000 / n);
		size_t ops = 2000000;
		using S = benchmark::State;
		add("insert_random", whole, [n](S& s) { bm_insert<C>(s, n, false); });
		add("insert_sorted", whole, [n](S& s) { bm_insert<C>(s, n, true); });
		add("lookup_random", ops,
		    [n](S& s) { bm_lookup<C>(s, n, &key_set::random, nullptr); });
		add("lookup_sorted", ops,
		    [n](S& s) { bm_lookup<C>(s, n, &key_set::sorted, nullptr); });
		add("lookup_skewed", ops,
		    [n](S& s) { bm_lookup<C>(s, n, &key_set::random, &key_set::skewed); });
		add("lookup_hot", ops,
		    [n](S& s) { bm_lookup<C>(s, n, &key_set::random, &key_set::hot); });
		add("iterate", whole, [n](S& s) { bm_iterate<C>(s, n); });
	}
}

// The console output, then a table of per-operation medians (or single
// runs without repetitions) and their ratios to std::map.
class ratio_reporter : public benchmark::ConsoleReporter
{
public:
	void ReportRuns(const std::vector<Run>& runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const auto& r : runs) {
			bool single = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
			bool median =
			        r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
			auto c = r.counters.find("per_op");
			if (r.error_occurred || (!single && !median) || c == r.counters.end())
				continue;
			const std::string& name = r.run_name.function_name;
			size_t a = name.find('/');
			size_t b = name.find('/', a + 1);
			std::string row = name.substr(0, a) + " " + name.substr(b + 1);
			if (std::find(order.begin(), order.end(), row) == order.end())
				order.push_back(row);
			table[row][name.substr(a + 1, b - a - 1)] = c->second.value * 1e9;
		}
	}
	void Finalize() override
	{
		ConsoleReporter::Finalize();
		printf("\n%-24s %10s %10s %10s %9s %9s\n", "workload entries", "dict ns", "map ns",
		       "umap ns", "dict/map", "umap/map");
		for (const auto& row : order) {
			auto& t = table[row];
			double m = t["map"];
			printf("%-24s %10.1f %10.1f %10.1f %9.2f %9.2f\n", row.c_str(), t["dict"],
			       m, t["umap"], m > 0 ? t["dict"] / m : 0.0,
			       m > 0 ? t["umap"] / m : 0.0);
		}
		fflush(stdout);
	}

private:
	std::vector<std::string> order;
	std::map<std::string, std::map<std::string, double>> table;
};

} // namespace

int main(int argc, char** argv)
{
	register_all<dict_c>("dict");
	register_all<map_c>("map");
	register_all<umap_c>("umap");
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	ratio_reporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();
	return 0;
}
