// SPDX-License-Identifier: ISC
// Fuzz target: splitting and checking of one table-protocol request line,
// through the same function the protocol loop uses, checked against a
// second, independent reading of the line.
#include "backend/smap.hpp"
#include "tableproto/tproto.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

struct expected {
	tproto_status status = TP_OK;
	tproto_action action = TP_UPDATE;
	std::string_view version, table, action_name, service, id, key;
	bool key_has_nul = false;
	bool table_seen = false;
};

bool find_kind(std::string_view name)
{
	for (const char* s : {"alias", "domain", "credentials", "netaddr", "userinfo", "source",
	                      "mailaddr", "addrname", "mailaddrmap"})
		if (name == s)
			return true;
	return false;
}

// What the line means, read with string views. Separators are searched
// only up to the first NUL, as the C string functions see the line.
expected read_line(std::string_view full)
{
	expected e;
	std::string_view s = full.substr(0, full.find('\0'));
	if (!s.starts_with("table|")) {
		e.status = TP_MALFORMED;
		return e;
	}
	s.remove_prefix(6);
	auto next = [&s](std::string_view* field) {
		size_t bar = s.find('|');
		if (bar == std::string_view::npos)
			return false;
		*field = s.substr(0, bar);
		s.remove_prefix(bar + 1);
		return true;
	};
	std::string_view timestamp;
	if (!next(&e.version))
		return e.status = TP_MISSING_VERSION, e;
	if (e.version != "0.1")
		return e.status = TP_BAD_VERSION, e;
	if (!next(&timestamp))
		return e.status = TP_MISSING_TIMESTAMP, e;
	if (!next(&e.table))
		return e.status = TP_MISSING_TABLE, e;
	e.table_seen = true;
	if (!next(&e.action_name))
		return e.status = TP_MISSING_TYPE, e;
	if (e.action_name == "update") {
		e.action = TP_UPDATE;
		e.id = s;
		return e;
	}
	if (!next(&e.service))
		return e.status = TP_MISSING_SERVICE, e;
	if (e.action_name == "fetch") {
		e.action = TP_FETCH;
		e.id = s;
	} else {
		if (!next(&e.id))
			return e.status = TP_MISSING_KEY, e;
		e.key = s;
		if (e.action_name == "check")
			e.action = TP_CHECK;
		else if (e.action_name == "lookup")
			e.action = TP_LOOKUP;
		else
			return e.status = TP_UNKNOWN_ACTION, e;
		size_t key_at = static_cast<size_t>(s.data() - full.data());
		e.key_has_nul = full.find('\0', key_at) != std::string_view::npos;
	}
	if (!find_kind(e.service))
		e.status = TP_UNKNOWN_SERVICE;
	return e;
}

void same(const char* got, std::string_view want)
{
	if (got == nullptr || want != got)
		abort();
}

int init()
{
	tproto_set_update_handler(smap_update);
	tproto_set_check_handler(smap_check);
	tproto_set_lookup_handler(smap_lookup);
	tproto_set_fetch_handler(smap_fetch);
	return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static int ready = init();
	(void)ready;

	std::vector<char> line(data, data + size);
	line.push_back('\0');
	std::string_view full(line.data(), size);
	expected e = read_line(full);

	tproto_request req;
	tproto_status status = tproto_parse_request(line.data(), size, &req);

	if (status != e.status)
		abort();
	if (strlen(tproto_table_name()) >= TPROTO_TABLE_NAME_SIZE)
		abort();
	if (e.table_seen && e.table.substr(0, TPROTO_TABLE_NAME_SIZE - 1) != tproto_table_name())
		abort();
	if (status == TP_BAD_VERSION)
		same(req.version, e.version);
	if (status == TP_UNKNOWN_ACTION)
		same(req.action_name, e.action_name);
	if (status == TP_UNKNOWN_SERVICE)
		same(req.service, e.service);
	if (status == TP_OK) {
		if (req.action != e.action)
			abort();
		same(req.id, e.id);
		if (req.action == TP_CHECK || req.action == TP_LOOKUP) {
			same(req.key, e.key);
			if (req.key_has_nul != e.key_has_nul)
				abort();
		}
		if (req.action != TP_UPDATE)
			same(req.service, e.service);
	}
	return 0;
}
