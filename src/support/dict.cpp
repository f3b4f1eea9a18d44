// SPDX-License-Identifier: ISC
// String dictionary: see dict.hpp.
#include "support/dict.hpp"

#include "support/log.hpp"

#include <cstdlib>
#include <cstring>

namespace {

// strcmp() order (bytes as unsigned char); only the sign of the result
// counts. Inline, and eight bytes at a time: a splay compares at every
// node it passes, and most comparisons end within the first word, where a
// call into the C library or a byte loop with a branch per byte costs more
// than the comparison itself.
//
// A word load may read past the NUL, but never into another page: within
// eight bytes of a 4096-byte boundary (every page size is a multiple) either
// string is compared byte by byte. The extra bytes never decide the result.
// Builds with AddressSanitizer, which would report those bytes, and
// big-endian machines, where the lowest bit is not the first byte, compare
// byte by byte throughout.
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#define DICT_WORD_COMPARE 0
#elif defined(__SANITIZE_ADDRESS__)
#define DICT_WORD_COMPARE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DICT_WORD_COMPARE 0
#endif
#endif
#ifndef DICT_WORD_COMPARE
#define DICT_WORD_COMPARE 1
#endif

constexpr uintptr_t PAGE_TAIL = 4096 - sizeof(uint64_t);

inline bool near_page_end(const void* p)
{
	return (reinterpret_cast<uintptr_t>(p) & 4095) > PAGE_TAIL;
}

inline int key_cmp(const char* a, const char* b)
{
	auto p = reinterpret_cast<const unsigned char*>(a);
	auto q = reinterpret_cast<const unsigned char*>(b);
	for (;;) {
		if (!DICT_WORD_COMPARE || near_page_end(p) || near_page_end(q)) {
			if (*p != *q || *p == '\0')
				return static_cast<int>(*p) - static_cast<int>(*q);
			p++;
			q++;
			continue;
		}
		uint64_t x, y;
		memcpy(&x, p, sizeof x);
		memcpy(&y, q, sizeof y);
		// Bytes that differ, or that are NUL in the first string. The NUL
		// test may also flag bytes after a NUL, never before one, so the
		// lowest flagged byte decides.
		constexpr uint64_t ones = 0x0101010101010101u;
		constexpr uint64_t highs = 0x8080808080808080u;
		uint64_t stop = (x ^ y) | ((x - ones) & ~x & highs);
		if (stop != 0) {
			auto i = static_cast<unsigned>(__builtin_ctzll(stop)) / 8;
			return static_cast<int>(p[i]) - static_cast<int>(q[i]);
		}
		p += sizeof x;
		q += sizeof y;
	}
}

// Top-down splay of `key` in the non-empty tree `t`; returns the new root
// and stores in *cmp the sign of key_cmp(key, new root's key), so that no
// caller has to compare against the root once more.
//
// The lesser tree grows at its largest node `l` (new nodes become its
// `right`), the greater tree at its smallest node `r` (new nodes become its
// `left`); both start at the local header, whose `right` and `left` end up
// holding their tops. `c` always holds the comparison of the key with the
// current node, so that a child compared on the way down is not compared
// again once it becomes the current node.
dict_node* splay_key(dict_node* t, const char* key, int* cmp)
{
	dict_node header{nullptr, nullptr, nullptr, nullptr};
	dict_node* l = &header;
	dict_node* r = &header;
	int c = key_cmp(key, t->key);

	while (c != 0) {
		if (c < 0) {
			dict_node* y = t->left;
			if (y == nullptr)
				break;
			int cy = key_cmp(key, y->key);
			if (cy < 0) {
				// Rotate right.
				t->left = y->right;
				y->right = t;
				t = y;
				c = cy;
				if (t->left == nullptr)
					break;
				// Link right, walk on to the left.
				r->left = t;
				r = t;
				t = t->left;
				c = key_cmp(key, t->key);
			} else {
				// Link right; the child is already compared.
				r->left = t;
				r = t;
				t = y;
				c = cy;
			}
		} else {
			dict_node* y = t->right;
			if (y == nullptr)
				break;
			int cy = key_cmp(key, y->key);
			if (cy > 0) {
				// Rotate left.
				t->right = y->left;
				y->left = t;
				t = y;
				c = cy;
				if (t->right == nullptr)
					break;
				// Link left, walk on to the right.
				l->right = t;
				l = t;
				t = t->right;
				c = key_cmp(key, t->key);
			} else {
				// Link left; the child is already compared.
				l->right = t;
				l = t;
				t = y;
				c = cy;
			}
		}
	}

	l->right = t->left;
	r->left = t->right;
	t->left = header.right;
	t->right = header.left;
	*cmp = c;
	return t;
}

// The same walk towards the smallest key: every pass rotates right. The
// lesser tree stays empty, so the new root's `left` is null.
dict_node* splay_min(dict_node* t)
{
	dict_node header{nullptr, nullptr, nullptr, nullptr};
	dict_node* r = &header;

	for (;;) {
		dict_node* y = t->left;
		if (y == nullptr)
			break;
		t->left = y->right;
		y->right = t;
		t = y;
		if (t->left == nullptr)
			break;
		r->left = t;
		r = t;
		t = t->left;
	}
	r->left = t->right;
	t->right = header.left;
	return t;
}

// Mirror image of splay_min(): the largest key comes up with a null
// `right`.
dict_node* splay_max(dict_node* t)
{
	dict_node header{nullptr, nullptr, nullptr, nullptr};
	dict_node* l = &header;

	for (;;) {
		dict_node* y = t->right;
		if (y == nullptr)
			break;
		t->right = y->left;
		y->left = t;
		t = y;
		if (t->right == nullptr)
			break;
		l->right = t;
		l = t;
		t = t->right;
	}
	l->right = t->left;
	t->left = header.right;
	return t;
}

// Splays the key in a non-empty dictionary; the comparison with the new
// root's key.
inline int splay_in(dict* d, const char* key)
{
	int c;
	d->root = splay_key(d->root, key, &c);
	return c;
}

// Links the node: null, or the node already holding its key.
dict_node* link_node(dict* d, dict_node* node)
{
	if (d->root == nullptr) {
		node->left = nullptr;
		node->right = nullptr;
		d->root = node;
		return nullptr;
	}
	int c = splay_in(d, node->key);
	dict_node* t = d->root;
	if (c < 0) {
		node->left = t->left;
		node->right = t;
		t->left = nullptr;
	} else if (c > 0) {
		node->right = t->right;
		node->left = t;
		t->right = nullptr;
	} else {
		return t;
	}
	d->root = node;
	return nullptr;
}

// Takes the root node out and returns it. Splaying its own key again
// would leave it in place, so that step is skipped. Every key of its
// `left` subtree sorts before its key: splaying that key in the subtree is
// the walk to its largest entry, done without comparisons.
dict_node* unlink_root(dict* d)
{
	dict_node* t = d->root;
	if (t->left == nullptr) {
		d->root = t->right;
	} else {
		dict_node* top = splay_max(t->left);
		top->right = t->right;
		d->root = top;
	}
	return t;
}

// One block: the node, then the key and its NUL.
dict_node* new_entry(const char* key, void* value, const char* what)
{
	size_t len = strlen(key);
	auto node = static_cast<dict_node*>(malloc(sizeof(dict_node) + len + 1));
	if (node == nullptr)
		die_sys("%s", what);
	char* copy = reinterpret_cast<char*>(node + 1);
	memcpy(copy, key, len + 1);
	node->key = copy;
	node->value = value;
	return node;
}

// Removes the root entry, frees its block and returns its value.
void* pop_root(dict* d)
{
	dict_node* t = unlink_root(d);
	void* value = t->value;
	free(t);
	d->count--;
	return value;
}

inline int report(dict_node* n, void** cursor, const char** key, void** value)
{
	*cursor = n;
	if (key != nullptr)
		*key = n->key;
	if (value != nullptr)
		*value = n->value;
	return 1;
}

} // namespace

int dict_has(dict* d, const char* key)
{
	return d->root != nullptr && splay_in(d, key) == 0;
}

void* dict_get(dict* d, const char* key)
{
	if (d->root == nullptr || splay_in(d, key) != 0)
		return nullptr;
	return d->root->value;
}

void* dict_xget(dict* d, const char* key)
{
	if (d->root == nullptr || splay_in(d, key) != 0)
		die_msg("dict_xget(%p, %s)", static_cast<void*>(d), key);
	return d->root->value;
}

void* dict_set(dict* d, const char* key, void* value)
{
	if (d->root != nullptr && splay_in(d, key) == 0) {
		void* old = d->root->value;
		d->root->value = value;
		return old;
	}
	// Linking splays the key once more: the neighbour on the other side
	// comes up and the new node goes in against it.
	link_node(d, new_entry(key, value, "dict_set: malloc"));
	d->count++;
	return nullptr;
}

void dict_xset(dict* d, const char* key, void* value)
{
	if (link_node(d, new_entry(key, value, "dict_xset: malloc")) != nullptr)
		die_msg("dict_xset(%p, %s)", static_cast<void*>(d), key);
	d->count++;
}

void* dict_pop(dict* d, const char* key)
{
	if (d->root == nullptr || splay_in(d, key) != 0)
		return nullptr;
	return pop_root(d);
}

void* dict_xpop(dict* d, const char* key)
{
	if (d->root == nullptr || splay_in(d, key) != 0)
		die_msg("dict_xpop(%p, %s)", static_cast<void*>(d), key);
	return pop_root(d);
}

int dict_pop_root(dict* d, void** value)
{
	if (d->root == nullptr)
		return 0;
	void* v = pop_root(d);
	if (value != nullptr)
		*value = v;
	return 1;
}

int dict_peek_root(dict* d, const char** key, void** value)
{
	if (d->root == nullptr)
		return 0;
	if (key != nullptr)
		*key = d->root->key;
	if (value != nullptr)
		*value = d->root->value;
	return 1;
}

int dict_next(dict* d, void** cursor, const char** key, void** value)
{
	dict_node* n;
	if (*cursor != nullptr) {
		// The cursor's entry comes to the root; its successor is the
		// leftmost node of its right subtree, left where it is.
		splay_in(d, static_cast<dict_node*>(*cursor)->key);
		n = d->root->right;
		if (n == nullptr)
			return 0;
		while (n->left != nullptr)
			n = n->left;
	} else {
		if (d->root == nullptr)
			return 0;
		d->root = splay_min(d->root);
		n = d->root;
	}
	return report(n, cursor, key, value);
}

int dict_next_from(dict* d, void** cursor, const char* start, const char** key, void** value)
{
	if (*cursor != nullptr || start == nullptr)
		return dict_next(d, cursor, key, value);
	if (d->root == nullptr)
		return 0;

	dict_node* n;
	if (splay_in(d, start) == 0) {
		n = d->root;
	} else {
		// A stand-in for the start key, linked just long enough to read
		// its successor off its right subtree.
		dict_node probe{nullptr, nullptr, start, nullptr};
		link_node(d, &probe);
		n = probe.right;
		if (n != nullptr) {
			while (n->left != nullptr)
				n = n->left;
		}
		unlink_root(d);
	}
	if (n == nullptr)
		return 0;
	return report(n, cursor, key, value);
}

void dict_merge(dict* dst, dict* src)
{
	if (dst == src)
		return;
	while (src->root != nullptr) {
		// The source's root is taken out as unlinking it would (its own
		// key splays to where it is) and goes into the destination as is.
		dict_node* n = unlink_root(src);
		if (link_node(dst, n) != nullptr)
			die_msg("dict_merge: duplicate");
	}
	dst->count += src->count;
	src->count = 0;
}

dict_node* dict_link(dict* d, dict_node* node)
{
	return link_node(d, node);
}

dict_node* dict_unlink(dict* d, dict_node* node)
{
	if (d->root == nullptr || splay_in(d, node->key) != 0)
		return nullptr;
	return unlink_root(d);
}

void dict_splay(dict* d, const dict_node* search)
{
	if (d->root != nullptr)
		splay_in(d, search->key);
}

void dict_splay_edge(dict* d, int direction)
{
	if (d->root == nullptr || direction == 0)
		return;
	d->root = direction < 0 ? splay_min(d->root) : splay_max(d->root);
}
