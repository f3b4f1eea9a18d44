// SPDX-License-Identifier: ISC
// Fuzz target: the splay-tree dictionary. The input is decoded into a
// sequence of operations on two dictionaries, each mirrored on a std::map;
// after every operation the trees must hold the same entries in search
// order, count their nodes right and have the entry each operation
// promises at the root.
#include "support/dict.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace
{

using model = std::map<std::string, void*>;

void check(bool ok)
{
	if (!ok)
		abort();
}

// In-order walk without recursion: the keys must ascend, match the model
// and number `count`.
void check_tree(const dict& d, const model& m)
{
	std::vector<const dict_node*> stack;
	const dict_node* n = d.root;
	auto it = m.begin();
	uint64_t seen = 0;
	while (n != nullptr || !stack.empty()) {
		while (n != nullptr) {
			stack.push_back(n);
			n = n->left;
		}
		n = stack.back();
		stack.pop_back();
		check(it != m.end() && it->first == n->key && it->second == n->value);
		++it;
		seen++;
		n = n->right;
	}
	check(it == m.end() && seen == d.count && seen == m.size());
}

const char* root_key(const dict& d)
{
	return d.root != nullptr ? d.root->key : nullptr;
}

// After a miss the root is the key's neighbour on one side or the other.
void check_neighbour_at_root(const dict& d, const model& m, const std::string& key)
{
	if (m.empty())
		return check(d.root == nullptr);
	auto after = m.upper_bound(key);
	bool is_next = after != m.end() && after->first == root_key(d);
	bool is_prev = after != m.begin() && std::prev(after)->first == root_key(d);
	check(is_next || is_prev);
}

struct input {
	const uint8_t* data;
	size_t size;
	uint8_t byte()
	{
		if (size == 0)
			return 0;
		size--;
		return *data++;
	}
	// Keys from a small alphabet, so that they collide and share prefixes.
	std::string key()
	{
		uint8_t b = byte();
		std::string k(b % 4, 'a');
		for (size_t i = 0; i < k.size(); i++)
			k[i] = "aAb\x80"[(b >> (2 + i * 2)) & 3];
		return k;
	}
};

void* value_of(uint8_t b)
{
	return reinterpret_cast<void*>(static_cast<uintptr_t>(b) * 16);
}

void drain(dict* d)
{
	while (dict_pop_root(d, nullptr) != 0) {
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	input in{data, size};
	dict d[2] = {};
	model m[2];

	while (in.size > 0) {
		uint8_t op = in.byte();
		int which = op >> 7;
		dict& t = d[which];
		model& mm = m[which];
		std::string k = in.key();
		void* v = value_of(in.byte());
		auto found = mm.find(k);
		bool present = found != mm.end();

		switch (op % 12) {
		case 0: { // store
			void* old = dict_set(&t, k.c_str(), v);
			check(old == (present ? found->second : nullptr));
			mm[k] = v;
			check(root_key(t) == k);
			break;
		}
		case 1: // store a new key
			if (!present) {
				dict_xset(&t, k.c_str(), v);
				mm[k] = v;
				check(root_key(t) == k);
			}
			break;
		case 2: { // lookup
			check(dict_has(&t, k.c_str()) == (present ? 1 : 0));
			void* got = dict_get(&t, k.c_str());
			check(got == (present ? found->second : nullptr));
			if (present)
				check(root_key(t) == k &&
				      dict_xget(&t, k.c_str()) == found->second);
			else
				check_neighbour_at_root(t, mm, k);
			break;
		}
		case 3: { // removal
			void* got = present ? dict_xpop(&t, k.c_str()) : dict_pop(&t, k.c_str());
			check(got == (present ? found->second : nullptr));
			if (!present) {
				check_neighbour_at_root(t, mm, k);
				break;
			}
			auto below = mm.lower_bound(k);
			bool has_smaller = below != mm.begin();
			std::string smaller = has_smaller ? std::prev(below)->first : "";
			mm.erase(found);
			if (has_smaller)
				check(root_key(t) == smaller);
			break;
		}
		case 4: { // root removal
			const char* rk = nullptr;
			void* rv = nullptr;
			check(dict_peek_root(&t, &rk, &rv) == (mm.empty() ? 0 : 1));
			if (!mm.empty()) {
				std::string key = rk;
				void* got = nullptr;
				check(dict_pop_root(&t, &got) == 1 && got == rv);
				mm.erase(key);
			}
			break;
		}
		case 5: { // full iteration
			void* cursor = nullptr;
			const char* ik;
			void* iv;
			auto it = mm.begin();
			while (dict_next(&t, &cursor, &ik, &iv) != 0) {
				check(it != mm.end() && it->first == ik && it->second == iv);
				++it;
			}
			check(it == mm.end());
			break;
		}
		case 6: { // iteration from a key
			void* cursor = nullptr;
			const char* ik;
			void* iv;
			auto it = mm.lower_bound(k);
			while (dict_next_from(&t, &cursor, k.c_str(), &ik, &iv) != 0) {
				check(it != mm.end() && it->first == ik && it->second == iv);
				++it;
			}
			check(it == mm.end());
			break;
		}
		case 7: { // merge when no key is shared, else leave both alone
			dict& other = d[1 - which];
			model& om = m[1 - which];
			bool shared = false;
			for (const auto& [key, value] : om)
				shared = shared || mm.count(key) != 0;
			if (!shared) {
				dict_merge(&t, &other);
				mm.insert(om.begin(), om.end());
				om.clear();
				check(other.root == nullptr && other.count == 0);
			}
			break;
		}
		case 8: // merge with itself
			dict_merge(&t, &t);
			break;
		case 9: { // splay to an edge
			if (t.root == nullptr)
				break;
			int direction = static_cast<int>(in.byte() % 3) - 1;
			const char* before = root_key(t);
			dict_splay_edge(&t, direction);
			if (direction < 0)
				check(root_key(t) == mm.begin()->first && t.root->left == nullptr);
			else if (direction > 0)
				check(root_key(t) == mm.rbegin()->first &&
				      t.root->right == nullptr);
			else
				check(root_key(t) == before);
			break;
		}
		case 10: { // a caller's node linked and unlinked again
			dict_node node = {nullptr, nullptr, k.c_str(), v};
			dict_node* holder = dict_link(&t, &node);
			if (present) {
				check(holder != nullptr && holder->key == std::string(k));
				break;
			}
			check(holder == nullptr && t.root == &node);
			mm[k] = v;
			t.count++; // linking does not count; the model does
			check_tree(t, mm);
			check(dict_unlink(&t, &node) == &node);
			t.count--;
			mm.erase(k);
			break;
		}
		case 11: { // splay on a search node
			if (t.root == nullptr)
				break;
			dict_node search = {nullptr, nullptr, k.c_str(), nullptr};
			dict_splay(&t, &search);
			if (present)
				check(root_key(t) == k);
			else
				check_neighbour_at_root(t, mm, k);
			break;
		}
		}
		check_tree(d[0], m[0]);
		check_tree(d[1], m[1]);
	}
	drain(&d[0]);
	drain(&d[1]);
	return 0;
}
