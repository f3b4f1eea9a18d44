// SPDX-License-Identifier: ISC
// String utilities: trimming white space in place and bounded lower-case
// copies.
//
// Bytes are classified with isspace() and tolower() of the current locale,
// taken as unsigned char; the process never leaves the POSIX locale, so
// white space is " \t\n\v\f\r" and only 'A'..'Z' fold. Nothing here
// allocates, holds state or is fatal.
#pragma once

#include <cstddef>

// Cuts trailing white space by writing NULs over it and returns a pointer
// past the leading white space; the skipped bytes stay untouched before it.
// An empty or all-white string is left unchanged and the result points at
// its NUL.
char* trim_space(char* s);
// Copies src into dst (size bytes) folded to lower case: 1. With size 0,
// 0 and nothing written; when src does not fit, 0 with dst holding its
// first size - 1 bytes and a NUL, not folded.
int lowercase_copy(char* dst, const char* src, size_t size);
