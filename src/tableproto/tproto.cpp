// SPDX-License-Identifier: ISC
// Table protocol dispatcher: see tproto.hpp.
#include "tableproto/tproto.hpp"

#include "support/compat.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <string_view>

namespace
{

struct service_entry {
	const char* name;
	service_kind kind;
};

// Matched in this order; also the order in which the services are
// registered during the handshake.
constexpr service_entry services[] = {
        {"alias", SVC_ALIAS},       {"domain", SVC_DOMAIN},     {"credentials", SVC_CREDENTIALS},
        {"netaddr", SVC_NETADDR},   {"userinfo", SVC_USERINFO}, {"source", SVC_SOURCE},
        {"mailaddr", SVC_MAILADDR}, {"addrname", SVC_ADDRNAME}, {"mailaddrmap", SVC_MAILADDRMAP},
};

update_handler update_slot;
check_handler check_slot;
lookup_handler lookup_slot;
fetch_handler fetch_slot;

char table_name[TPROTO_TABLE_NAME_SIZE];
dict params;

// Cuts the field that starts at *rest at the next "|", which becomes a
// NUL, and moves *rest past it. Null when no "|" follows.
char* split_field(char** rest)
{
	char* bar = strchr(*rest, '|');
	if (bar == nullptr)
		return nullptr;
	*bar = '\0';
	char* field = *rest;
	*rest = bar + 1;
	return field;
}

bool find_service(const char* name, service_kind* kind)
{
	for (const auto& s : services) {
		if (strcmp(name, s.name) == 0) {
			*kind = s.kind;
			return true;
		}
	}
	return false;
}

bool slot_filled(tproto_action action)
{
	switch (action) {
	case TP_UPDATE:
		return update_slot != nullptr;
	case TP_CHECK:
		return check_slot != nullptr;
	case TP_LOOKUP:
		return lookup_slot != nullptr;
	case TP_FETCH:
		return fetch_slot != nullptr;
	}
	return false;
}

void flush_stdout()
{
	if (fflush(stdout) != 0)
		err(1, "fflush");
}

// Configuration phase: returns true once "config|ready" has been answered
// with the service registrations.
bool configure(const char* line)
{
	if (strncmp(line, "config|", 7) != 0)
		errx(1, "unexpected config line: %s", line);
	if (strcmp(line + 7, "ready") != 0)
		return false;
	for (const auto& s : services)
		printf("register|%s\n", s.name);
	puts("register|ready");
	flush_stdout();
	return true;
}

// Writes the result line "HEAD|ID|OUTCOME\n", or "HEAD|ID|OUTCOME|VALUE\n"
// when there is a value: the bytes of the formats "lookup-result|%s|found|%s\n"
// and the like. A line that fits the local buffer is put together there and
// handed to stdio in one call, which costs far less than parsing a format
// for every line; a longer one goes out piece by piece.
void put_result(std::string_view head, const char* id, std::string_view outcome, const char* value)
{
	std::string_view id_text(id);
	std::string_view value_text(value != nullptr ? value : "");
	char line[TPROTO_RESULT_SIZE + 128];
	if (head.size() + id_text.size() + outcome.size() + value_text.size() + 4 > sizeof line) {
		for (std::string_view piece :
		     {head, std::string_view("|"), id_text, std::string_view("|"), outcome})
			fwrite(piece.data(), 1, piece.size(), stdout);
		if (value != nullptr) {
			putchar('|');
			fwrite(value_text.data(), 1, value_text.size(), stdout);
		}
		putchar('\n');
		return;
	}
	char* p = line;
	auto put = [&p](std::string_view text) {
		memcpy(p, text.data(), text.size());
		p += text.size();
	};
	put(head);
	*p++ = '|';
	put(id_text);
	*p++ = '|';
	put(outcome);
	if (value != nullptr) {
		*p++ = '|';
		put(value_text);
	}
	*p++ = '\n';
	fwrite(line, 1, static_cast<size_t>(p - line), stdout);
}

// The outcome word of a check, lookup or fetch handler's result.
std::string_view outcome_of(int r)
{
	return r == 0 ? "not-found" : r == 1 ? "found" : "error";
}

// Calls the handler for a checked request and writes its result line.
void answer(const tproto_request& req, char* result)
{
	int r;

	switch (req.action) {
	case TP_UPDATE:
		r = update_slot();
		put_result("update-result", req.id, r == -1 ? "error" : "ok", nullptr);
		break;
	case TP_FETCH:
		r = fetch_slot(req.kind, &params, result, TPROTO_RESULT_SIZE);
		put_result("fetch-result", req.id, outcome_of(r), r == 1 ? result : nullptr);
		break;
	case TP_CHECK:
		r = req.key_has_nul ? -1 : check_slot(req.kind, &params, req.key);
		put_result("check-result", req.id, outcome_of(r), nullptr);
		break;
	case TP_LOOKUP:
		r = req.key_has_nul
		            ? -1
		            : lookup_slot(req.kind, &params, req.key, result, TPROTO_RESULT_SIZE);
		put_result("lookup-result", req.id, outcome_of(r), r == 1 ? result : nullptr);
		break;
	}
	flush_stdout();
	if (req.action == TP_LOOKUP || req.action == TP_FETCH)
		memset(result, 0, TPROTO_RESULT_SIZE);
}

} // namespace

void tproto_set_update_handler(update_handler handler)
{
	update_slot = handler;
}

void tproto_set_check_handler(check_handler handler)
{
	check_slot = handler;
}

void tproto_set_lookup_handler(lookup_handler handler)
{
	lookup_slot = handler;
}

void tproto_set_fetch_handler(fetch_handler handler)
{
	fetch_slot = handler;
}

const char* tproto_table_name()
{
	return table_name;
}

service_kind tproto_service_kind(const char* name)
{
	service_kind kind;
	if (!find_service(name, &kind))
		errx(1, "unknown service %s", name);
	return kind;
}

tproto_status tproto_parse_request(char* line, size_t len, tproto_request* req)
{
	*req = {};
	if (strncmp(line, "table|", 6) != 0)
		return TP_MALFORMED;
	char* rest = line + 6;

	if ((req->version = split_field(&rest)) == nullptr)
		return TP_MISSING_VERSION;
	if (strcmp(req->version, "0.1") != 0)
		return TP_BAD_VERSION;
	if (split_field(&rest) == nullptr)
		return TP_MISSING_TIMESTAMP;
	if ((req->table = split_field(&rest)) == nullptr)
		return TP_MISSING_TABLE;
	strlcpy(table_name, req->table, sizeof table_name);
	if ((req->action_name = split_field(&rest)) == nullptr)
		return TP_MISSING_TYPE;

	// Each action is recognized once its fields are complete, so a missing
	// field is reported before an unknown action.
	if (strcmp(req->action_name, "update") == 0) {
		req->action = TP_UPDATE;
		req->id = rest;
		return slot_filled(TP_UPDATE) ? TP_OK : TP_NO_HANDLER;
	}
	if ((req->service = split_field(&rest)) == nullptr)
		return TP_MISSING_SERVICE;
	if (strcmp(req->action_name, "fetch") == 0) {
		req->action = TP_FETCH;
		req->id = rest;
	} else {
		if ((req->id = split_field(&rest)) == nullptr)
			return TP_MISSING_KEY;
		req->key = rest;
		if (strcmp(req->action_name, "check") == 0)
			req->action = TP_CHECK;
		else if (strcmp(req->action_name, "lookup") == 0)
			req->action = TP_LOOKUP;
		else
			return TP_UNKNOWN_ACTION;
		// The key is the last field: a NUL byte anywhere before it would
		// have hidden a separator, so a NUL in the line is in the key.
		req->key_has_nul = rest + strlen(rest) != line + len;
	}
	if (!slot_filled(req->action))
		return TP_NO_HANDLER;
	if (!find_service(req->service, &req->kind))
		return TP_UNKNOWN_SERVICE;
	return TP_OK;
}

void tproto_fail(tproto_status status, const tproto_request* req)
{
	switch (status) {
	case TP_OK:
		break;
	case TP_MALFORMED:
		errx(1, "malformed line");
	case TP_MISSING_VERSION:
		errx(1, "malformed line: missing version");
	case TP_BAD_VERSION:
		errx(1, "unsupported protocol version: %s", req->version);
	case TP_MISSING_TIMESTAMP:
		errx(1, "malformed line: missing timestamp");
	case TP_MISSING_TABLE:
		errx(1, "malformed line: missing table name");
	case TP_MISSING_TYPE:
		errx(1, "malformed line: missing type");
	case TP_MISSING_SERVICE:
		errx(1, "malformed line: missing service");
	case TP_MISSING_KEY:
		errx(1, "malformed line: missing key");
	case TP_UNKNOWN_ACTION:
		errx(1, "unknown action %s", req->action_name);
	case TP_NO_HANDLER:
		switch (req->action) {
		case TP_UPDATE:
			errx(1, "no update handler registered");
		case TP_CHECK:
			errx(1, "no check handler registered");
		case TP_LOOKUP:
			errx(1, "no lookup handler registered");
		case TP_FETCH:
			errx(1, "no fetch handler registered");
		}
		break;
	case TP_UNKNOWN_SERVICE:
		errx(1, "unknown service %s", req->service);
	}
	abort(); // not reached for a failing status
}

int tproto_run()
{
	// Grown by getline() and reused for every line; released when the loop
	// ends.
	struct line_buffer {
		char* data = nullptr;
		size_t capacity = 0;
		~line_buffer()
		{
			free(data);
		}
	} line;
	char result[TPROTO_RESULT_SIZE] = {};
	bool configured = false;
	ssize_t n;

	params = {};
	while ((n = getline(&line.data, &line.capacity, stdin)) != -1) {
		char* text = line.data;
		auto len = static_cast<size_t>(n);
		if (len > 0 && text[len - 1] == '\n')
			text[--len] = '\0';

		if (!configured) {
			configured = configure(text);
			continue;
		}
		tproto_request req;
		tproto_status status = tproto_parse_request(text, len, &req);
		if (status != TP_OK)
			tproto_fail(status, &req);
		if (req.key_has_nul)
			warnx("key of request %s holds a NUL byte: not looked up", req.id);
		answer(req, result);
	}
	// getline() also gives up without setting the error indicator, when it
	// cannot grow its buffer: only a real end of input ends the run well.
	if (ferror(stdin) || !feof(stdin))
		err(1, "getline");
	return 0;
}
