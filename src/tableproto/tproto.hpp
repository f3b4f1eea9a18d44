// SPDX-License-Identifier: ISC
// Table protocol dispatcher: the mail server's line protocol, version "0.1",
// on standard input and standard output.
//
// tproto_run() is the process's main loop. It performs the configuration
// handshake ("config|..." lines up to "config|ready"), announces the nine
// services, then turns each "table|..." request line into one call of the
// registered handler and one result line, flushing standard output after
// each. It returns 0 when standard input ends.
//
// The module owns the four handler slots, the 128-byte table-name array,
// the request-parameter dict (created empty, never filled) and the
// 2048-byte result buffer that lookup and fetch handlers write into.
// Handlers report 1 for found (update: success), 0 for not found, anything
// else for error; a handler reporting found has written a NUL-terminated
// value of at most 2047 bytes into the result buffer.
//
// Fatal: every protocol error ends the process through errx() (or err()
// for a failed flush of standard output, "fflush", and a read error on
// standard input, "getline") with status 1, before any part of a result
// line is written. tproto_parse_request() reports the same errors as a
// status instead, for callers that must not exit.
#pragma once

#include "support/dict.hpp"

#include <cstddef>

enum service_kind {
	SVC_ALIAS = 0x001,
	SVC_DOMAIN = 0x002,
	SVC_CREDENTIALS = 0x004,
	SVC_NETADDR = 0x008,
	SVC_USERINFO = 0x010,
	SVC_SOURCE = 0x020,
	SVC_MAILADDR = 0x040,
	SVC_ADDRNAME = 0x080,
	SVC_MAILADDRMAP = 0x100,
};

using update_handler = int (*)();
using check_handler = int (*)(service_kind kind, dict* params, const char* key);
using lookup_handler = int (*)(service_kind kind, dict* params, const char* key, char* dst,
                               size_t size);
using fetch_handler = int (*)(service_kind kind, dict* params, char* dst, size_t size);

constexpr size_t TPROTO_TABLE_NAME_SIZE = 128;
constexpr size_t TPROTO_RESULT_SIZE = 2048;

void tproto_set_update_handler(update_handler handler);
void tproto_set_check_handler(check_handler handler);
void tproto_set_lookup_handler(lookup_handler handler);
void tproto_set_fetch_handler(fetch_handler handler);

// The table name of the request being served (at most 127 bytes); the
// empty string before the first request.
const char* tproto_table_name();

// Maps a service name, matched exactly, to its kind; an unknown name is
// fatal ("unknown service %s").
service_kind tproto_service_kind(const char* name);

// Runs the protocol until standard input ends; returns 0.
int tproto_run();

// --- Request parsing, for callers that must not exit -----------------------

enum tproto_action { TP_UPDATE, TP_CHECK, TP_LOOKUP, TP_FETCH };

// Outcome of checking one request line; each non-OK status is one of the
// fatal protocol errors.
enum tproto_status {
	TP_OK,
	TP_MALFORMED,         // "malformed line"
	TP_MISSING_VERSION,   // "malformed line: missing version"
	TP_BAD_VERSION,       // "unsupported protocol version: %s"
	TP_MISSING_TIMESTAMP, // "malformed line: missing timestamp"
	TP_MISSING_TABLE,     // "malformed line: missing table name"
	TP_MISSING_TYPE,      // "malformed line: missing type"
	TP_MISSING_SERVICE,   // "malformed line: missing service"
	TP_MISSING_KEY,       // "malformed line: missing key"
	TP_UNKNOWN_ACTION,    // "unknown action %s"
	TP_NO_HANDLER,        // "no <action> handler registered"
	TP_UNKNOWN_SERVICE,   // "unknown service %s"
};

// The fields of one request line. They point into the line, whose "|"
// separators have been replaced by NULs; fields that the action does not
// have, or that were not reached, are null.
struct tproto_request {
	const char* version;
	const char* table;
	const char* action_name;
	const char* service;
	const char* id;
	const char* key;
	tproto_action action;
	service_kind kind;
	// The key as sent holds a NUL byte: the key seen here is cut short and
	// must not be looked up.
	bool key_has_nul;
};

// Splits and checks one request line of `len` bytes (its newline removed)
// in place, in the protocol's order: fields, action, handler slot, service
// name. Copies the table name for tproto_table_name() once that field is
// complete. Never exits.
tproto_status tproto_parse_request(char* line, size_t len, tproto_request* req);

// Ends the process with the message for a non-OK status.
[[noreturn]] void tproto_fail(tproto_status status, const tproto_request* req);
