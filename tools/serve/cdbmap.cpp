// SPDX-License-Identifier: ISC
// cdb tables: see cdbmap.hpp.
#include "tools/serve/cdbmap.hpp"

#include "tools/net/errtext.hpp"
#include "tools/serve/cdbread.hpp"
#include "tools/serve/filestamp.hpp"
#include "tools/serve/mapdir.hpp"
#include "tools/serve/mapfault.hpp"
#include "tools/serve/mapfile.hpp"
#include "tools/serve/metrics.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <unistd.h>
#include <unordered_map>

namespace
{

// A mapped index: the file mapped and its stamp, or why the file at that
// stamp could not be mapped; when its name was last looked at, and when
// it was last asked (a count of queries, for rule 3).
struct cdb_table {
	cdbread file;
	file_stamp stamp;
	int unmapped = 0; // errno of a file that is no cdb file
	int64_t looked = 0;
	uint64_t used = 0;
};

std::unordered_map<std::string, cdb_table> cdb_tables;
uint64_t cdb_queries;
// When each name was last found to have no index (rule 2), so that a
// text table's query costs no look for one more than once a second; at
// most CDBMAP_ABSENT_MAX names, all forgotten when that is reached.
std::unordered_map<std::string, int64_t> cdb_absent;

// Subjects of the fault notes about table `name`'s index (mapfault.hpp):
// the file itself, each kind of value no reply can carry, and its age
// beside the text file.
std::string file_subject(const std::string& name)
{
	return name + MAPDIR_CDB_SUFFIX;
}

std::string value_subject(const std::string& name, cdbread_result kind)
{
	return name + MAPDIR_CDB_SUFFIX + (kind == CDBREAD_TOO_LONG ? " long" : " unfit");
}

std::string age_subject(const std::string& name)
{
	return name + MAPDIR_CDB_SUFFIX + " age";
}

void forget_notes(const std::string& name)
{
	mapfault_gone(file_subject(name));
	mapfault_gone(value_subject(name, CDBREAD_TOO_LONG));
	mapfault_gone(value_subject(name, CDBREAD_UNFIT));
	mapfault_gone(age_subject(name));
}

// The records of a table's index that the metrics count: those of its
// mapped file.
size_t counted(const cdb_table& t)
{
	return t.file.mapped ? t.file.entries : 0;
}

// The file of `name`'s index is gone or no longer one: its mapping goes.
void drop(const std::string& name)
{
	auto it = cdb_tables.find(name);
	if (it == cdb_tables.end())
		return;
	metrics_map_dropped(name, counted(it->second));
	cdbread_retire(&it->second.file);
	cdb_tables.erase(it);
}

// Unmaps the index asked least recently (rule 3).
void make_room()
{
	auto oldest = cdb_tables.end();
	for (auto it = cdb_tables.begin(); it != cdb_tables.end(); ++it)
		if (oldest == cdb_tables.end() || it->second.used < oldest->second.used)
			oldest = it;
	metrics_map_dropped(oldest->first, counted(oldest->second));
	cdbread_close(&oldest->second.file);
	cdb_tables.erase(oldest);
}

// Rule 7, for the index of `name` whose file was modified at `mtime`.
void check_age(const std::string& name, const timespec& mtime)
{
	struct stat st;
	int error;
	if (mapdir_stat(name, &st, &error) != MAPDIR_FILE)
		return;
	int64_t newer = static_cast<int64_t>(st.st_mtim.tv_sec) - mtime.tv_sec;
	if (newer > CDBMAP_STALE_SECONDS)
		mapfault_warn(name, age_subject(name), stamp_of(st),
		              "map " + name + MAPDIR_CDB_SUFFIX + " is " + std::to_string(newer) +
		                      " s older than " + name +
		                      ", which it answers for: build it again (smap-makemap)");
}

// A reply for a fault of the index of `name` in state `stamp`, logged once
// as `subject`'s.
void answer_fault(const std::string& name, const std::string& subject, const file_stamp& stamp,
                  const std::string& reason, const std::string& logged, std::string* reply)
{
	mapfault_warn(name, subject, stamp, logged);
	*reply = "TEMP " + reason;
}

// Maps the file of `name`'s index into *t, which holds a file or none;
// false when there is none to answer from, with the reply in *reply when
// the file is there but cannot be opened. A file that is no cdb file is
// kept as such: its queries are answered as damaged.
bool open_index(const std::string& name, const std::string& file, cdb_table* t, std::string* reply)
{
	int fd, error;
	struct stat st;
	switch (mapdir_open_file(file, &fd, &st, &error)) {
	case MAPDIR_FILE:
		break;
	case MAPDIR_LINK:
		mapfault_warn(name, file_subject(name), {}, mapdir_link_warning(file));
		return false;
	case MAPDIR_NONE:
	case MAPDIR_OTHER:
		return false;
	case MAPDIR_OPEN_FAILED:
		*reply = "TEMP " + with_error("cannot open map " + file, error);
		mapfault_warn(name, file_subject(name), {}, reply->substr(5));
		return false;
	case MAPDIR_STAT_FAILED:
		*reply = "TEMP " + with_error("cannot stat map " + file, error);
		mapfault_warn(name, file_subject(name), {}, reply->substr(5));
		return false;
	}
	// The new file first, then the old one goes; the mapping needs no
	// descriptor.
	cdbread fresh;
	t->unmapped = cdbread_open(&fresh, fd) ? 0 : errno;
	close(fd);
	if (fresh.mapped)
		metrics_map_loaded(name, counted(*t), fresh.entries);
	else
		metrics_map_dropped(name, counted(*t));
	cdbread_retire(&t->file);
	t->file = fresh;
	t->stamp = stamp_of(st);
	mapfault_seen(file_subject(name), t->stamp);
	mapfault_seen(value_subject(name, CDBREAD_TOO_LONG), t->stamp);
	mapfault_seen(value_subject(name, CDBREAD_UNFIT), t->stamp);
	check_age(name, st.st_mtim);
	return true;
}

// The open index of `name`, looked at again when rule 2 says so; null when
// the table has no index, or with the reply in *reply when it cannot be
// asked.
cdb_table* find_index(const std::string& name, int64_t now, std::string* reply)
{
	auto it = cdb_tables.find(name);
	if (it != cdb_tables.end() && now - it->second.looked < CDBMAP_CHECK_MS)
		return &it->second;
	if (it == cdb_tables.end() && !cdb_absent.empty()) {
		auto absent = cdb_absent.find(name);
		if (absent != cdb_absent.end() && now - absent->second < CDBMAP_CHECK_MS)
			return nullptr;
	}
	std::string file = file_subject(name);
	struct stat st;
	int error;
	mapdir_found found = mapdir_stat(file, &st, &error);
	if (found != MAPDIR_FILE) {
		drop(name);
		if (found == MAPDIR_LINK)
			mapfault_warn(name, file_subject(name), stamp_of(st), mapdir_link_warning(file));
		else if (found == MAPDIR_NONE || found == MAPDIR_OTHER)
			forget_notes(name);
		if (found != MAPDIR_STAT_FAILED) {
			if (cdb_absent.size() >= CDBMAP_ABSENT_MAX)
				cdb_absent.clear();
			cdb_absent[name] = now;
			return nullptr;
		}
		*reply = "TEMP " + with_error("cannot read map " + file, error);
		mapfault_warn(name, file_subject(name), {}, reply->substr(5));
		return nullptr;
	}
	cdb_table fresh;
	bool known = it != cdb_tables.end();
	cdb_table* t = known ? &it->second : &fresh;
	if ((!t->file.mapped && t->unmapped == 0) || !same_stamp(t->stamp, stamp_of(st))) {
		if (!open_index(name, file, t, reply)) {
			drop(name);
			return nullptr;
		}
	} else {
		check_age(name, st.st_mtim);
	}
	t->looked = now;
	if (!known) {
		if (cdb_tables.size() >= CDBMAP_MAPPED_MAX)
			make_room();
		it = cdb_tables.emplace(name, fresh).first;
	}
	return &it->second;
}

} // namespace

bool cdbmap_answer(const std::string& name, std::string_view key, int64_t now, std::string* reply)
{
	// With no index to ask, a reply set means one that cannot be asked.
	reply->clear();
	cdb_table* t = find_index(name, now, reply);
	if (t == nullptr)
		return !reply->empty();
	t->used = ++cdb_queries;
	std::string value;
	cdbread_result found = CDBREAD_DAMAGED;
	errno = t->unmapped;
	if (t->file.mapped)
		found = cdbread_find(&t->file, key, &value);
	int error = errno;
	std::string file = file_subject(name);
	switch (found) {
	case CDBREAD_FOUND:
		reply->assign("OK ");
		reply->append(value);
		break;
	case CDBREAD_ABSENT:
		*reply = "NOTFOUND ";
		break;
	case CDBREAD_DAMAGED:
		answer_fault(name, file_subject(name), t->stamp, "map " + name + " is damaged",
		             "map " + name +
		                     " is damaged: " + with_error("cannot read " + file, error),
		             reply);
		break;
	case CDBREAD_TOO_LONG:
		answer_fault(name, value_subject(name, found), t->stamp,
		             "map " + name + ": value longer than " +
		                     std::to_string(MAPFILE_VALUE_MAX) + " bytes",
		             "map " + file + " holds a value longer than " +
		                     std::to_string(MAPFILE_VALUE_MAX) + " bytes: not served",
		             reply);
		break;
	case CDBREAD_UNFIT:
		answer_fault(name, value_subject(name, found), t->stamp,
		             "map " + name + ": value holds a newline or NUL byte",
		             "map " + file +
		                     " holds a value with a newline or NUL byte: not served",
		             reply);
		break;
	}
	return true;
}

void cdbmap_reload()
{
	cdb_absent.clear();
	for (auto& [name, t] : cdb_tables)
		t.looked = INT64_MIN / 2;
}

size_t cdbmap_mapped_files()
{
	return cdb_tables.size();
}
