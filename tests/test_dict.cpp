// SPDX-License-Identifier: ISC
// Tests of the splay-tree dictionary.
#include "support/dict.hpp"

#include "harness/child.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <vector>

namespace
{

void* val(uintptr_t v)
{
	return reinterpret_cast<void*>(v);
}

// In-order keys, walked with an explicit stack so that a degenerate tree of
// any depth can be checked. Fails the test on a key out of order.
std::vector<std::string> inorder(const dict* d)
{
	std::vector<std::string> keys;
	std::vector<const dict_node*> stack;
	const dict_node* n = d->root;
	while (n != nullptr || !stack.empty()) {
		while (n != nullptr) {
			stack.push_back(n);
			n = n->left;
		}
		n = stack.back();
		stack.pop_back();
		if (!keys.empty()) {
			EXPECT_LT(strcmp(keys.back().c_str(), n->key), 0)
			        << "order broken at " << n->key;
		}
		keys.emplace_back(n->key);
		n = n->right;
	}
	return keys;
}

// Every link in preorder, nulls included: equal shapes give equal vectors.
std::vector<const dict_node*> shape(const dict* d)
{
	std::vector<const dict_node*> out;
	std::vector<const dict_node*> stack{d->root};
	while (!stack.empty()) {
		const dict_node* n = stack.back();
		stack.pop_back();
		out.push_back(n);
		if (n != nullptr) {
			stack.push_back(n->right);
			stack.push_back(n->left);
		}
	}
	return out;
}

// "(key left right)", "." for an empty subtree, a bare key for a leaf. Only
// for small trees.
std::string show(const dict_node* n)
{
	if (n == nullptr)
		return ".";
	if (n->left == nullptr && n->right == nullptr)
		return n->key;
	std::string out = std::string("(") + n->key + " ";
	out += show(n->left) + " ";
	return out + show(n->right) + ")";
}

std::string root_key(const dict* d)
{
	return d->root != nullptr ? d->root->key : "<empty>";
}

void drain(dict* d)
{
	while (dict_pop_root(d, nullptr) == 1) {
	}
}

// Builds a dictionary from "s<key>" (dict_set), "x<key>" (dict_xset),
// "g<key>" (dict_get) and "p<key>" (dict_pop) words, one-letter keys.
std::string shape_after(const char* ops)
{
	dict d{};
	std::string s(ops);
	size_t i = 0;
	while (i < s.size()) {
		size_t j = s.find(' ', i);
		if (j == std::string::npos)
			j = s.size();
		std::string key = s.substr(i + 1, j - i - 1);
		switch (s[i]) {
		case 's':
			dict_set(&d, key.c_str(), nullptr);
			break;
		case 'x':
			dict_xset(&d, key.c_str(), nullptr);
			break;
		case 'g':
			dict_get(&d, key.c_str());
			break;
		case 'p':
			dict_pop(&d, key.c_str());
			break;
		}
		i = j + 1;
	}
	std::string out = show(d.root);
	drain(&d);
	return out;
}

TEST(DictShape, LookupsAndRemovalsReshapeTheTree)
{
	// Ascending stores leave a left path; looking up its bottom rotates
	// pairwise (zig-zig) all the way up.
	EXPECT_EQ(shape_after("sa sb sc sd se sf sg"), "(g (f (e (d (c (b a .) .) .) .) .) .)");
	EXPECT_EQ(shape_after("sa sb sc sd se sf sg ga"), "(a . (f (d (b . c) e) g))");
	EXPECT_EQ(shape_after("sa sb sc sd se sf sg ga gd"), "(d (a . (b . c)) (f e g))");
	// A missing key leaves its last neighbour met at the root.
	EXPECT_EQ(shape_after("sd sb sf sa sc se sg gcc"), "(c (b a .) (f (d . e) g))");
	// Removal: the largest entry below comes up; without one, the right
	// subtree's top.
	EXPECT_EQ(shape_after("sd sb sf sa sc se sg pd"), "(c (b a .) (f e g))");
	EXPECT_EQ(shape_after("sd sb sf sa sc se sg pa pg"), "(f (d (b . c) e) .)");
}

TEST(DictShape, SetSplaysTwiceXsetOnce)
{
	// dict_set searches, then links with a second splay; dict_xset links
	// straight away. Same keys, different shapes.
	EXPECT_EQ(shape_after("sd sb sf sa sc se sg sbb"), "(bb (b a .) (c . (d . (f e g))))");
	EXPECT_EQ(shape_after("xd xb xf xa xc xe xg xbb"), "(bb (b a .) (f (d c e) g))");
}

TEST(Dict, EmptyDictionary)
{
	dict d{};
	const char* key = "untouched";
	void* value = val(7);
	void* cursor = nullptr;
	EXPECT_EQ(dict_has(&d, "a"), 0);
	EXPECT_EQ(dict_get(&d, "a"), nullptr);
	EXPECT_EQ(dict_pop(&d, "a"), nullptr);
	EXPECT_EQ(dict_pop_root(&d, &value), 0);
	EXPECT_EQ(dict_peek_root(&d, &key, &value), 0);
	EXPECT_EQ(dict_next(&d, &cursor, &key, &value), 0);
	EXPECT_EQ(dict_next_from(&d, &cursor, "a", &key, &value), 0);
	EXPECT_EQ(dict_next_from(&d, &cursor, nullptr, &key, &value), 0);
	EXPECT_STREQ(key, "untouched");
	EXPECT_EQ(value, val(7));
	EXPECT_EQ(cursor, nullptr);
	dict_node probe{nullptr, nullptr, "a", nullptr};
	EXPECT_EQ(dict_unlink(&d, &probe), nullptr);
	dict_splay(&d, &probe);
	dict_splay_edge(&d, -1);
	dict_splay_edge(&d, 1);
	dict_merge(&d, &d);
	EXPECT_EQ(d.root, nullptr);
	EXPECT_EQ(d.count, 0u);
}

TEST(Dict, StoreReplaceAndNullValues)
{
	dict d{};
	EXPECT_EQ(dict_set(&d, "k", val(1)), nullptr);
	const char* copy = d.root->key;
	EXPECT_EQ(dict_set(&d, "k", val(2)), val(1));
	EXPECT_EQ(d.count, 1u);
	EXPECT_EQ(d.root->key, copy) << "a replaced entry keeps its key copy";

	// A null value looks like a missing key to dict_get, not to dict_has.
	EXPECT_EQ(dict_set(&d, "nil", nullptr), nullptr);
	EXPECT_EQ(dict_get(&d, "nil"), nullptr);
	EXPECT_EQ(dict_has(&d, "nil"), 1);
	EXPECT_EQ(dict_has(&d, "nix"), 0);
	EXPECT_EQ(dict_set(&d, "nil", val(3)), nullptr);
	EXPECT_EQ(dict_get(&d, "nil"), val(3));
	EXPECT_EQ(d.count, 2u);

	// Neither store keeps the caller's string; the entry is one block
	// with the key right after the node.
	char buf[] = "temp";
	dict_xset(&d, buf, val(4));
	EXPECT_NE(d.root->key, buf);
	EXPECT_EQ(d.root->key, reinterpret_cast<const char*>(d.root + 1));
	strcpy(buf, "gone");
	EXPECT_EQ(dict_get(&d, "temp"), val(4));
	EXPECT_EQ(dict_has(&d, "gone"), 0);

	// A long key is stored whole.
	std::string big(100000, 'x');
	big += "end";
	dict_set(&d, big.c_str(), val(5));
	EXPECT_EQ(dict_get(&d, big.c_str()), val(5));
	EXPECT_EQ(strlen(d.root->key), big.size());
	big.back() = 'e';
	EXPECT_EQ(dict_has(&d, big.c_str()), 0);
	drain(&d);
	EXPECT_EQ(d.root, nullptr);
	EXPECT_EQ(d.count, 0u);
}

TEST(Dict, RootAfterStoreLookupAndPeek)
{
	dict d{};
	const char* keys[] = {"m", "c", "x", "a", "q"};
	for (const char* k : keys) {
		dict_set(&d, k, nullptr);
		EXPECT_EQ(root_key(&d), k);
	}
	dict_xset(&d, "e", val(9));
	EXPECT_EQ(root_key(&d), "e");
	dict_get(&d, "x");
	EXPECT_EQ(root_key(&d), "x");

	auto before = shape(&d);
	const char* key = nullptr;
	void* value = nullptr;
	EXPECT_EQ(dict_peek_root(&d, &key, &value), 1);
	EXPECT_STREQ(key, "x");
	EXPECT_EQ(dict_peek_root(&d, nullptr, nullptr), 1);
	EXPECT_EQ(shape(&d), before) << "peeking changes nothing";
	drain(&d);
}

TEST(Dict, IterationOrderIsStrcmpOrder)
{
	dict d{};
	const char* keys[] = {"b", "ab", "a", "", "B", "Ab", "A", "\xe9", "a\xe9", "aa"};
	for (const char* k : keys)
		dict_set(&d, k, nullptr);
	std::vector<std::string> got;
	void* cursor = nullptr;
	const char* key;
	while (dict_next(&d, &cursor, &key, nullptr) == 1)
		got.emplace_back(key);
	std::vector<std::string> want = {"", "A", "Ab", "B", "a", "aa", "ab", "a\xe9", "b", "\xe9"};
	EXPECT_EQ(got, want);
	drain(&d);
}

TEST(Dict, IterationEndAndResume)
{
	dict d{};
	dict_set(&d, "a", val(1));
	dict_set(&d, "b", val(2));
	void* cursor = nullptr;
	const char* key = nullptr;
	void* value = nullptr;
	ASSERT_EQ(dict_next(&d, &cursor, &key, &value), 1);
	EXPECT_STREQ(key, "a");
	ASSERT_EQ(dict_next(&d, &cursor, &key, &value), 1);
	EXPECT_STREQ(key, "b");
	void* last = cursor;
	key = "unchanged";
	EXPECT_EQ(dict_next(&d, &cursor, &key, &value), 0);
	EXPECT_EQ(cursor, last);
	EXPECT_STREQ(key, "unchanged");

	// Entries added or removed beside the cursor's entry do not upset it.
	dict_set(&d, "c", val(3));
	dict_pop(&d, "a");
	ASSERT_EQ(dict_next(&d, &cursor, &key, &value), 1);
	EXPECT_STREQ(key, "c");
	EXPECT_EQ(value, val(3));
	EXPECT_EQ(dict_next(&d, &cursor, nullptr, nullptr), 0);
	drain(&d);
}

TEST(Dict, IterationFromAKey)
{
	dict d{};
	for (const char* k : {"b", "d", "f"})
		dict_set(&d, k, nullptr);
	auto next_key = [&](const char* start) {
		void* cursor = nullptr;
		const char* key = nullptr;
		if (dict_next_from(&d, &cursor, start, &key, nullptr) != 1)
			return std::string(cursor == nullptr ? "<end>" : "<cursor set>");
		EXPECT_STREQ(static_cast<dict_node*>(cursor)->key, key);
		return std::string(key);
	};
	EXPECT_EQ(next_key("d"), "d");
	EXPECT_EQ(next_key("c"), "d");
	EXPECT_EQ(next_key("cz"), "d");
	EXPECT_EQ(next_key(""), "b");
	EXPECT_EQ(next_key("a"), "b");
	EXPECT_EQ(next_key("e"), "f");
	EXPECT_EQ(next_key("ff"), "<end>");
	EXPECT_EQ(next_key("g"), "<end>");
	EXPECT_EQ(next_key(nullptr), "b");
	EXPECT_EQ(d.count, 3u);
	EXPECT_EQ(inorder(&d), (std::vector<std::string>{"b", "d", "f"}));

	// Continuing with the cursor, through either call, goes on in order
	// and ignores a start key.
	void* cursor = nullptr;
	const char* key;
	ASSERT_EQ(dict_next_from(&d, &cursor, "c", &key, nullptr), 1);
	ASSERT_EQ(dict_next_from(&d, &cursor, "a", &key, nullptr), 1);
	EXPECT_STREQ(key, "f");
	EXPECT_EQ(dict_next(&d, &cursor, &key, nullptr), 0);
	drain(&d);
}

TEST(Dict, PopRootDrains)
{
	dict d{};
	std::vector<int> owned(50);
	for (size_t i = 0; i < owned.size(); i++)
		dict_set(&d, std::to_string(i).c_str(), &owned[i]);
	std::vector<bool> seen(owned.size());
	void* value;
	while (dict_pop_root(&d, &value) == 1) {
		auto idx = static_cast<int*>(value) - owned.data();
		ASSERT_GE(idx, 0);
		ASSERT_LT(static_cast<size_t>(idx), owned.size());
		EXPECT_FALSE(seen[static_cast<size_t>(idx)]);
		seen[static_cast<size_t>(idx)] = true;
	}
	EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 50);
	EXPECT_EQ(d.root, nullptr);
	EXPECT_EQ(d.count, 0u);
}

TEST(Dict, MergeMovesNodes)
{
	dict dst{}, src{};
	for (const char* k : {"a", "c", "e"})
		dict_set(&dst, k, nullptr);
	std::map<std::string, std::pair<const char*, void*>> moved;
	uintptr_t v = 1;
	for (const char* k : {"b", "d", "f", "g"}) {
		dict_set(&src, k, val(v++));
		moved[k] = {src.root->key, src.root->value};
	}
	dict_merge(&dst, &src);
	EXPECT_EQ(src.root, nullptr);
	EXPECT_EQ(src.count, 0u);
	EXPECT_EQ(dst.count, 7u);
	EXPECT_EQ(inorder(&dst), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}));
	for (auto& [k, kv] : moved) {
		dict_get(&dst, k.c_str());
		EXPECT_EQ(dst.root->key, kv.first) << "key copies move with their nodes";
		EXPECT_EQ(dst.root->value, kv.second);
	}

	// An empty source, and a dictionary merged with itself, change
	// nothing.
	auto before = shape(&dst);
	dict_merge(&dst, &src);
	EXPECT_EQ(shape(&dst), before);
	dict_merge(&dst, &dst);
	EXPECT_EQ(shape(&dst), before);
	EXPECT_EQ(dst.count, 7u);
	// Into an empty destination.
	dict_merge(&src, &dst);
	EXPECT_EQ(src.count, 7u);
	EXPECT_EQ(dst.root, nullptr);
	EXPECT_EQ(inorder(&src).size(), 7u);
	drain(&src);
}

TEST(Dict, LinkAndUnlinkCallerNodes)
{
	dict d{};
	dict_set(&d, "b", nullptr);
	dict_set(&d, "d", nullptr);
	dict_node mine{nullptr, nullptr, "c", val(5)};
	EXPECT_EQ(dict_link(&d, &mine), nullptr);
	EXPECT_EQ(d.root, &mine);
	EXPECT_EQ(d.count, 2u) << "linking does not count";
	EXPECT_EQ(dict_get(&d, "c"), val(5));
	EXPECT_EQ(inorder(&d), (std::vector<std::string>{"b", "c", "d"}));

	// A second node with a present key is not linked.
	dict_node junk{};
	dict_node dup{&junk, &junk, "d", val(6)};
	dict_node* existing = dict_link(&d, &dup);
	ASSERT_NE(existing, nullptr);
	EXPECT_STREQ(existing->key, "d");
	EXPECT_EQ(d.root, existing);
	EXPECT_EQ(dict_get(&d, "d"), nullptr);
	EXPECT_EQ(dup.value, val(6));
	EXPECT_EQ(dict_link(&d, &mine), &mine) << "a node already linked finds itself";

	EXPECT_EQ(dict_unlink(&d, &mine), &mine);
	EXPECT_EQ(d.count, 2u);
	EXPECT_EQ(dict_has(&d, "c"), 0);
	EXPECT_EQ(dict_unlink(&d, &mine), nullptr);

	// Given a stand-in with an equal key, the node handed back is the one
	// that left the tree, so that its block can still be freed.
	dict_node probe{nullptr, nullptr, "b", nullptr};
	dict_node* out = dict_unlink(&d, &probe);
	ASSERT_NE(out, nullptr);
	EXPECT_NE(out, &probe);
	EXPECT_STREQ(out->key, "b");
	free(out);
	d.count--;
	EXPECT_EQ(inorder(&d), (std::vector<std::string>{"d"}));
	drain(&d);
}

TEST(Dict, SplayEdges)
{
	dict d{};
	for (const char* k : {"m", "c", "x", "a", "q", "z", "b"})
		dict_set(&d, k, nullptr);
	dict_splay_edge(&d, -3);
	EXPECT_EQ(root_key(&d), "a");
	EXPECT_EQ(d.root->left, nullptr);
	dict_splay_edge(&d, 1);
	EXPECT_EQ(root_key(&d), "z");
	EXPECT_EQ(d.root->right, nullptr);
	auto before = shape(&d);
	dict_splay_edge(&d, 0);
	EXPECT_EQ(shape(&d), before) << "direction 0 leaves the tree alone";
	dict_node search{nullptr, nullptr, "p", nullptr};
	dict_splay(&d, &search);
	EXPECT_TRUE(root_key(&d) == "m" || root_key(&d) == "q") << root_key(&d);
	EXPECT_EQ(inorder(&d).size(), 7u);
	drain(&d);
}

TEST(DictKeys, ComparisonAcrossWordsAndPageEnds)
{
	// Keys that agree for 0 to 24 bytes and then differ, end, or carry a
	// high byte: the order must be strcmp's whatever the word boundaries.
	std::vector<std::string> keys;
	const char tails[] = {'\x01', 'a', 'b', '\x7f', '\x80', '\xff'};
	for (size_t len = 0; len <= 24; len++) {
		std::string prefix(len, 'x');
		keys.push_back(prefix);
		for (char t : tails)
			keys.push_back(prefix + t);
		keys.push_back(prefix + "a" + std::string(9, 'z'));
	}
	std::vector<std::string> want(keys);
	std::sort(want.begin(), want.end(), [](const std::string& a, const std::string& b) {
		return strcmp(a.c_str(), b.c_str()) < 0;
	});
	want.erase(std::unique(want.begin(), want.end()), want.end());
	dict d{};
	std::mt19937 rng(5);
	std::shuffle(keys.begin(), keys.end(), rng);
	for (const auto& k : keys)
		dict_set(&d, k.c_str(), nullptr);
	EXPECT_EQ(inorder(&d), want);

	// Search keys whose NUL is the last byte before an inaccessible page:
	// no comparison may read past it.
	long page = sysconf(_SC_PAGESIZE);
	void* map = mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ | PROT_WRITE,
	                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(map, MAP_FAILED);
	char* guard = static_cast<char*>(map) + page;
	ASSERT_EQ(mprotect(guard, static_cast<size_t>(page), PROT_NONE), 0);
	for (const auto& k : want) {
		char* at = guard - k.size() - 1;
		memcpy(at, k.c_str(), k.size() + 1);
		EXPECT_EQ(dict_has(&d, at), 1) << k;
		if (!k.empty()) {
			at[k.size() - 1] = '\x02';
			EXPECT_EQ(dict_has(&d, at), 0) << k;
		}
	}
	munmap(map, static_cast<size_t>(2 * page));
	drain(&d);
}

// Present neighbours of a key: the largest below and the smallest above.
bool is_neighbour(const std::map<std::string, uintptr_t>& m, const std::string& key,
                  const std::string& got)
{
	auto hi = m.upper_bound(key);
	if (hi != m.end() && hi->first == got)
		return true;
	auto lo = m.lower_bound(key);
	return lo != m.begin() && std::prev(lo)->first == got;
}

// Random operations against std::map; after each one the tree must hold
// exactly the model's keys in order, count them, and have the root that the
// operation promises.
void differential(uint32_t seed, const std::string& alphabet, int max_len, int ops)
{
	std::mt19937 rng(seed);
	auto rand_key = [&] {
		int len = static_cast<int>(rng() % static_cast<uint32_t>(max_len + 1));
		std::string k;
		for (int i = 0; i < len; i++)
			k += alphabet[rng() % alphabet.size()];
		return k;
	};
	dict d{};
	std::map<std::string, uintptr_t> model;
	uintptr_t next_value = 1;

	for (int step = 0; step < ops; step++) {
		std::string k = rand_key();
		const char* kc = k.c_str();
		bool present = model.count(k) != 0;
		int op = static_cast<int>(rng() % 11);
		SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) +
		             " key \"" + k + "\"");
		switch (op) {
		case 0:
		case 1: {
			uintptr_t v = rng() % 8 == 0 ? 0 : next_value++;
			void* old = dict_set(&d, kc, val(v));
			EXPECT_EQ(old, present ? val(model[k]) : nullptr);
			model[k] = v;
			EXPECT_EQ(root_key(&d), k);
			break;
		}
		case 2:
			if (!present) {
				uintptr_t v = next_value++;
				dict_xset(&d, kc, val(v));
				model[k] = v;
				EXPECT_EQ(root_key(&d), k);
			}
			break;
		case 3:
		case 4: {
			void* got = op == 3 ? dict_get(&d, kc)
			                    : val(static_cast<uintptr_t>(dict_has(&d, kc)));
			if (op == 3) {
				EXPECT_EQ(got, present ? val(model[k]) : nullptr);
			} else {
				EXPECT_EQ(got, val(present ? 1 : 0));
			}
			if (present) {
				EXPECT_EQ(root_key(&d), k);
			} else if (!model.empty()) {
				EXPECT_TRUE(is_neighbour(model, k, root_key(&d))) << root_key(&d);
			}
			break;
		}
		case 5:
		case 6: {
			bool by_root = op == 6 && !model.empty();
			if (by_root) {
				k = root_key(&d);
				present = true;
				void* v = val(12345);
				EXPECT_EQ(dict_pop_root(&d, &v), 1);
				EXPECT_EQ(v, val(model[k]));
			} else {
				void* v = dict_pop(&d, kc);
				EXPECT_EQ(v, present ? val(model[k]) : nullptr);
			}
			if (!present) {
				if (!model.empty()) {
					EXPECT_TRUE(is_neighbour(model, k, root_key(&d)));
				}
				break;
			}
			model.erase(k);
			auto lo = model.lower_bound(k);
			if (lo != model.begin()) {
				EXPECT_EQ(root_key(&d), std::prev(lo)->first);
			} else if (!model.empty()) {
				EXPECT_GT(root_key(&d), k);
			}
			break;
		}
		case 7: {
			void* cursor = nullptr;
			const char* key = nullptr;
			int r = dict_next_from(&d, &cursor, kc, &key, nullptr);
			auto it = model.lower_bound(k);
			EXPECT_EQ(r, it != model.end() ? 1 : 0);
			if (r == 1 && it != model.end()) {
				EXPECT_EQ(it->first, key);
			}
			if (r == 0) {
				EXPECT_EQ(cursor, nullptr);
			}
			break;
		}
		case 8: {
			// A full pass; each step leaves the previous entry at the root.
			void* cursor = nullptr;
			const char* key;
			auto it = model.begin();
			while (dict_next(&d, &cursor, &key, nullptr) == 1) {
				ASSERT_NE(it, model.end());
				EXPECT_EQ(it->first, key);
				if (it != model.begin()) {
					EXPECT_EQ(root_key(&d), std::prev(it)->first);
				}
				++it;
			}
			EXPECT_EQ(it, model.end());
			break;
		}
		case 9:
			if (!model.empty()) {
				int dir = rng() % 2 == 0 ? -1 : 1;
				dict_splay_edge(&d, dir);
				EXPECT_EQ(root_key(&d),
				          dir < 0 ? model.begin()->first : model.rbegin()->first);
			}
			break;
		case 10:
			if (!present) {
				dict_node mine{nullptr, nullptr, kc, nullptr};
				EXPECT_EQ(dict_link(&d, &mine), nullptr);
				EXPECT_EQ(d.root, &mine);
				EXPECT_EQ(inorder(&d).size(), model.size() + 1);
				EXPECT_EQ(dict_unlink(&d, &mine), &mine);
			}
			break;
		}
		std::vector<std::string> want;
		for (auto& kv : model)
			want.push_back(kv.first);
		ASSERT_EQ(inorder(&d), want);
		ASSERT_EQ(d.count, model.size());
		if (::testing::Test::HasFailure())
			return;
	}
	drain(&d);
}

TEST(DictDifferential, SmallAlphabetManyCollisions)
{
	differential(1, "aAb\xe9", 3, 30000);
}

TEST(DictDifferential, LargerTree)
{
	differential(2, "abcdefghijklmnopqrstuvwxyz", 3, 20000);
}

TEST(DictDeep, MillionAscendingKeys)
{
	// Ascending stores build a path a million nodes deep; every walk
	// over it must be iterative.
	constexpr int n = 1000000;
	dict d{};
	char key[16];
	for (int i = 0; i < n; i++) {
		snprintf(key, sizeof key, "%08d", i);
		dict_set(&d, key, nullptr);
	}
	EXPECT_EQ(d.count, static_cast<uint64_t>(n));
	EXPECT_EQ(dict_has(&d, "00000000"), 1);
	EXPECT_EQ(root_key(&d), "00000000");
	EXPECT_EQ(dict_has(&d, "00999999"), 1);
	auto keys = inorder(&d);
	ASSERT_EQ(keys.size(), static_cast<size_t>(n));
	EXPECT_EQ(keys[123456], "00123456");
	void* cursor = nullptr;
	int seen = 0;
	while (dict_next(&d, &cursor, nullptr, nullptr) == 1)
		seen++;
	EXPECT_EQ(seen, n);
	drain(&d);
	EXPECT_EQ(d.count, 0u);
}

TEST(DictFatal, MissingAndDuplicateKeys)
{
	static dict d{};
	char addr[32];
	snprintf(addr, sizeof addr, "%p", static_cast<void*>(&d));
	std::string a(addr);

	auto r = logged_child([] { dict_xget(&d, "nope"); });
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_xget(" + a + ", nope)"));
	r = logged_child([] { dict_xpop(&d, "nope"); });
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_xpop(" + a + ", nope)"));

	dict_set(&d, "here", val(1));
	r = logged_child([] { dict_xget(&d, "there"); });
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_xget(" + a + ", there)"));
	r = logged_child([] { dict_xpop(&d, "there"); });
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_xpop(" + a + ", there)"));
	r = logged_child([] {
		errno = EINVAL; // must not show: the message carries no error text
		dict_xset(&d, "here", nullptr);
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_xset(" + a + ", here)"));
	r = logged_child([] {
		static dict src{};
		dict_set(&src, "here", nullptr);
		dict_merge(&d, &src);
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_merge: duplicate"));
	// The parent's dictionary is untouched by what the children did.
	EXPECT_EQ(dict_get(&d, "here"), val(1));
	drain(&d);
}

TEST(DictFatal, AllocationFailure)
{
#ifdef SMAP_SANITIZED
	GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#endif
	// The key is made first; then the address space is capped so that the
	// entry's block cannot be had.
	auto fail_with = [](void (*store)(const char*)) {
		return logged_child([store] {
			std::string big(64u << 20, 'k');
			rlimit lim{};
			getrlimit(RLIMIT_AS, &lim);
			long pages = 0;
			if (FILE* f = fopen("/proc/self/statm", "r")) {
				if (fscanf(f, "%ld", &pages) != 1)
					pages = 0;
				fclose(f);
			}
			lim.rlim_cur =
			        static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) +
			        (8u << 20);
			setrlimit(RLIMIT_AS, &lim);
			store(big.c_str());
		});
	};
	std::string enomem = strerror(ENOMEM);
	auto r = fail_with([](const char* k) {
		dict d{};
		dict_set(&d, k, nullptr);
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_set: malloc: " + enomem));
	r = fail_with([](const char* k) {
		dict d{};
		dict_xset(&d, k, nullptr);
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "fatal: dict_xset: malloc: " + enomem));
}

} // namespace
