// SPDX-License-Identifier: ISC
// Allocation wrappers that never return null.
//
// Each calls its allocator once and hands the block to the caller, who
// owns it and releases it with free(). The label names the caller or its
// purpose and appears only in the failure message. Running out of memory
// is fatal: a warning naming the label, the allocator and its arguments
// ("%s: malloc(%zu)", "%s: calloc(%zu, %zu)", "%s: strdup(%p)" with the
// source string's address), then die_msg("exiting"), exit status 1. A size
// of 0 goes to the allocator unchanged; only a null result is fatal.
#pragma once

#include <cstddef>

void* alloc_or_die(size_t size, const char* label);
// Zero-filled; the product of count and size is left to calloc().
void* calloc_or_die(size_t count, size_t size, const char* label);
char* strdup_or_die(const char* s, const char* label);
// A new block holding a copy of the first `size` bytes of `src`.
void* memdup_or_die(const void* src, size_t size, const char* label);
