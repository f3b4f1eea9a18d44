// String dictionary: a map from NUL-terminated keys to untyped pointers.
//
// A zeroed record is an empty dictionary; it needs no constructor or
// destructor. The dictionary owns its entries and their key copies, never
// the values.
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
