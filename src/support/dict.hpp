// SPDX-License-Identifier: ISC
// String dictionary: a map from NUL-terminated keys to untyped pointers,
// held as a top-down splay tree ordered by strcmp().
//
// A zeroed record is an empty dictionary; it needs no constructor or
// destructor. The dictionary owns its entries and their key copies, never
// the values: each entry it creates is one malloc() block holding the
// dict_node followed by the key bytes and their NUL, released with one
// free() when the entry is removed. No call retains the key string its
// caller passed. An owner drains a dictionary with dict_pop_root() until it
// returns 0, disposing of each value itself.
//
// Every operation except dict_peek_root() restructures the tree, lookups
// and iteration included; the entry that an operation brings to the root
// is part of its contract (see each declaration). No recursion, no parent
// links, no balance data; only new entries allocate memory.
//
// Fatal (through die_sys/die_msg, exit status 1): dict_set/dict_xset when
// the entry's block cannot be allocated ("dict_set: malloc", "dict_xset:
// malloc"); dict_xset of a key already present ("dict_xset(%p, %s)");
// dict_xget and dict_xpop of an absent key ("dict_xget(%p, %s)",
// "dict_xpop(%p, %s)"); dict_merge when both dictionaries hold a key
// ("dict_merge: duplicate"). Nothing is undone before the exit.
//
// Out-pointers may be null and are then skipped. Keys reported through
// them point at the dictionary's own copy, valid until the entry goes, and
// must not be written. Not thread-safe, not even for lookups only.
//
// Choices made here where the design left them open:
// - dict_splay_edge() with direction 0 names no edge and leaves the tree
//   unchanged.
// - dict_merge(d, d) is a no-op: moving a dictionary's entries into itself
//   changes nothing (and would otherwise never end).
// - dict_splay() and dict_splay_edge() on an empty dictionary do nothing.
// - dict_unlink() returns the node that it took out of the tree. That is
//   the node given whenever the caller passes the dictionary's own node for
//   the key; given another node with an equal key, the caller gets back the
//   node that actually left the tree instead of losing track of it.
#pragma once

#include <cstdint>

struct dict_node {
	dict_node* left;
	dict_node* right;
	const char* key;
	void* value;
};

struct dict {
	dict_node* root;
	uint64_t count;
};

// Lookups: an absent key leaves its nearest neighbour (on either side) at
// the root; a present one leaves its own entry there.
int dict_has(dict* d, const char* key);
void* dict_get(dict* d, const char* key);
void* dict_xget(dict* d, const char* key);

// Stores the value under the key and returns the value it replaced, or null
// when it created the entry; either way the entry ends at the root. A
// replaced entry keeps its key copy.
void* dict_set(dict* d, const char* key, void* value);
// Allocates the entry first, then links it with a single splay; a key
// already present is fatal.
void dict_xset(dict* d, const char* key, void* value);

// Removes the entry and returns its value (null when absent; fatal for
// dict_xpop). The root becomes the largest entry below the removed key if
// there is one, else the top of the removed entry's right subtree. An
// absent key leaves its nearest neighbour at the root, as a lookup does.
void* dict_pop(dict* d, const char* key);
void* dict_xpop(dict* d, const char* key);
// Removes the root entry, storing its value through `value`: 1, or 0 when
// the dictionary is empty. The new root is chosen as for dict_pop().
int dict_pop_root(dict* d, void** value);
// Reports the root entry without changing anything: 1, or 0 when empty.
int dict_peek_root(dict* d, const char** key, void** value);

// Ascending iteration. The cursor is the caller's, null before the first
// call; after a call that returns 1 it designates the entry produced (its
// node), and that entry must stay in the dictionary until the next call. At
// the end the result is 0 and the cursor is left as it was, so a key stored
// later after the last one is produced by the next call.
int dict_next(dict* d, void** cursor, const char** key, void** value);
// With a null cursor and a start key, the first entry is the start key's
// own or else the smallest after it; then as dict_next(). The tree is
// searched through a temporary node on the stack: nothing is allocated and
// `count` does not change.
int dict_next_from(dict* d, void** cursor, const char* start, const char** key, void** value);

// Moves every entry of `src` into `dst` without copying or freeing
// anything; `src` ends empty. A key held by both is fatal.
void dict_merge(dict* dst, dict* src);

// Low level. dict_link() links a caller's node (its `key` set; `left` and
// `right` are overwritten, `value` untouched) and puts it at the root,
// returning null, or returns the node that already holds an equal key and
// links nothing. dict_unlink() takes out the entry with the node's key and
// returns it (null when absent); it frees nothing. Neither touches `count`.
// A caller's node may live on the stack if it is unlinked before it goes.
dict_node* dict_link(dict* d, dict_node* node);
dict_node* dict_unlink(dict* d, dict_node* node);
// Brings to the root the entry with the search node's key, or the last
// entry met on the way down; only `search->key` is read.
void dict_splay(dict* d, const dict_node* search);
// Brings the smallest entry (direction < 0) or the largest (> 0) to the
// root.
void dict_splay_edge(dict* d, int direction);
