// SPDX-License-Identifier: ISC
// cdb reads: one cdb file mapped into memory with tinycdb's library, and
// lookups in it that survive the file being cut short under them.
//
// Rules:
// 1. cdbread_open() maps the whole file; the mapping needs no descriptor
//    afterwards, and the caller closes its own.
// 2. Keys: the key itself, and when it is absent the key with a NUL byte
//    after it, whose value then loses its own trailing NUL (mail software
//    that stores both NULs writes such files). Of records with the same
//    key, the first answers.
// 3. Values: one longer than MAPFILE_VALUE_MAX is CDBREAD_TOO_LONG (its
//    length is checked before a byte of it is copied), one holding a
//    newline or a NUL byte CDBREAD_UNFIT: no reply could carry them.
// 4. cdbread_open() refuses a file over 4 GiB or whose header places a
//    hash table inside the header or past the file's end, as in a file of
//    zeros, which the library would take for an empty table; the library
//    checks every other position against the file's size: a garbled file
//    gives CDBREAD_DAMAGED (or answers from its garbled bytes), never a
//    read outside the mapping.
// 5. Letting go of the mapping of a file that was renamed over or removed
//    frees the file's pages in the system's cache, some 50 ms for 70 MB
//    on this machine: cdbread_retire() does that on a thread of its own
//    (on the caller's when no thread can be started), so that the caller
//    does not wait for it.
// 6. A file truncated in place after it was mapped makes a read of the
//    pages past its new end raise SIGBUS. A handler, installed at the
//    first open, jumps back out of the lookup under way, which gives
//    CDBREAD_DAMAGED; a SIGBUS anywhere else is handed to the action there
//    was before (by default, the process ends).
//
// The caller owns each cdbread; the module owns the SIGBUS handler, the
// state of the lookup under way and the threads that unmap. One lookup at a time (one thread).
// Nothing here is fatal; errno tells why a file is damaged.
#pragma once

#include <cdb.h>
#include <string>
#include <string_view>

struct cdbread {
	struct cdb db = CDB_STATIC_INIT;
	bool mapped = false;
	size_t entries = 0; // records, as the header counts them: half its slots
};

enum cdbread_result {
	CDBREAD_FOUND,    // *value holds the value
	CDBREAD_ABSENT,   // no record of the key (rule 2)
	CDBREAD_DAMAGED,  // not a whole cdb file (rules 4 and 6)
	CDBREAD_TOO_LONG, // rule 3
	CDBREAD_UNFIT,    // rule 3
};

// Maps the cdb file open on `fd` into *r; false (errno set) when it is no
// cdb file or cannot be mapped.
bool cdbread_open(cdbread* r, int fd);

// Unmaps *r, if mapped.
void cdbread_close(cdbread* r);

// As cdbread_close(), the unmapping done on a thread of its own (rule 5).
void cdbread_retire(cdbread* r);

// Looks `key` up in *r, which is mapped.
cdbread_result cdbread_find(cdbread* r, std::string_view key, std::string* value);
