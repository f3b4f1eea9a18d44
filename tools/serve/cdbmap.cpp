// SPDX-License-Identifier: ISC
// cdb tables: see cdbmap.hpp.
#include "tools/serve/cdbmap.hpp"

#include "tools/net/errtext.hpp"
#include "tools/serve/filestamp.hpp"
#include "tools/serve/mapdir.hpp"
#include "tools/serve/mapfault.hpp"
#include "tools/serve/mapfile.hpp"

#include <cdb.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <unistd.h>
#include <unordered_map>

namespace
{

// An open index: its descriptor and the stamp of the file open on it,
// when its name was last looked at, and when it was last asked (a count of
// queries, for rule 3).
struct cdb_table {
	int fd = -1;
	file_stamp stamp;
	int64_t looked = 0;
	uint64_t used = 0;
};

std::unordered_map<std::string, cdb_table> cdb_tables;
uint64_t cdb_queries;

// Subjects of the fault notes about table `name`'s index (mapfault.hpp):
// the file itself, its values, and its age beside the text file.
std::string file_subject(const std::string& name)
{
	return name + MAPDIR_CDB_SUFFIX;
}

std::string value_subject(const std::string& name)
{
	return name + MAPDIR_CDB_SUFFIX + " values";
}

std::string age_subject(const std::string& name)
{
	return name + MAPDIR_CDB_SUFFIX + " age";
}

void forget_notes(const std::string& name)
{
	mapfault_gone(file_subject(name));
	mapfault_gone(value_subject(name));
	mapfault_gone(age_subject(name));
}

void drop(const std::string& name)
{
	auto it = cdb_tables.find(name);
	if (it == cdb_tables.end())
		return;
	close(it->second.fd);
	cdb_tables.erase(it);
}

// Closes the index asked least recently (rule 3).
void make_room()
{
	auto oldest = cdb_tables.end();
	for (auto it = cdb_tables.begin(); it != cdb_tables.end(); ++it)
		if (oldest == cdb_tables.end() || it->second.used < oldest->second.used)
			oldest = it;
	close(oldest->second.fd);
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
		mapfault_warn(age_subject(name), stamp_of(st),
		              "map " + name + MAPDIR_CDB_SUFFIX + " is " + std::to_string(newer) +
		                      " s older than " + name +
		                      ", which it answers for: build it again (smap-makemap)");
}

// A reply for a fault of the index of `name` in state `stamp`, logged once.
void answer_fault(const std::string& subject, const file_stamp& stamp, const std::string& reason,
                  const std::string& logged, std::string* reply)
{
	mapfault_warn(subject, stamp, logged);
	*reply = "TEMP " + reason;
}

// Opens the file of `name`'s index into *t, which holds a file or none;
// false when there is none to answer from, with the reply in *reply when
// the file is there but cannot be opened.
bool open_index(const std::string& name, const std::string& file, cdb_table* t, std::string* reply)
{
	int fd, error;
	struct stat st;
	switch (mapdir_open_file(file, &fd, &st, &error)) {
	case MAPDIR_FILE:
		break;
	case MAPDIR_LINK:
		mapfault_warn(file_subject(name), {}, mapdir_link_warning(file));
		return false;
	case MAPDIR_NONE:
	case MAPDIR_OTHER:
		return false;
	case MAPDIR_OPEN_FAILED:
		*reply = "TEMP " + with_error("cannot open map " + file, error);
		mapfault_warn(file_subject(name), {}, reply->substr(5));
		return false;
	case MAPDIR_STAT_FAILED:
		*reply = "TEMP " + with_error("cannot stat map " + file, error);
		mapfault_warn(file_subject(name), {}, reply->substr(5));
		return false;
	}
	// The new file first, then the old one goes.
	if (t->fd != -1)
		close(t->fd);
	t->fd = fd;
	t->stamp = stamp_of(st);
	mapfault_seen(file_subject(name), t->stamp);
	mapfault_seen(value_subject(name), t->stamp);
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
	std::string file = file_subject(name);
	struct stat st;
	int error;
	mapdir_found found = mapdir_stat(file, &st, &error);
	if (found != MAPDIR_FILE) {
		drop(name);
		if (found == MAPDIR_LINK)
			mapfault_warn(file_subject(name), stamp_of(st), mapdir_link_warning(file));
		else if (found == MAPDIR_NONE || found == MAPDIR_OTHER)
			forget_notes(name);
		if (found != MAPDIR_STAT_FAILED)
			return nullptr;
		*reply = "TEMP " + with_error("cannot read map " + file, error);
		mapfault_warn(file_subject(name), {}, reply->substr(5));
		return nullptr;
	}
	cdb_table scratch;
	cdb_table* t = it != cdb_tables.end() ? &it->second : &scratch;
	if (t->fd == -1 || !same_stamp(t->stamp, stamp_of(st))) {
		if (!open_index(name, file, t, reply)) {
			drop(name);
			return nullptr;
		}
	} else {
		check_age(name, st.st_mtim);
	}
	t->looked = now;
	if (t != &scratch)
		return t;
	if (cdb_tables.size() >= CDBMAP_OPEN_MAX)
		make_room();
	return &cdb_tables.emplace(name, scratch).first->second;
}

} // namespace

cdbmap_result cdbmap_find(int fd, std::string_view key, std::string* value)
{
	if (key.size() >= UINT_MAX)
		return CDBMAP_ABSENT;
	unsigned len = 0;
	bool nul = false;
	int found = cdb_seek(fd, key.data(), static_cast<unsigned>(key.size()), &len);
	if (found == 0) {
		std::string with_nul(key);
		with_nul.push_back('\0');
		nul = true;
		found = cdb_seek(fd, with_nul.data(), static_cast<unsigned>(with_nul.size()), &len);
	}
	if (found < 0)
		return CDBMAP_DAMAGED;
	if (found == 0)
		return CDBMAP_ABSENT;
	// Checked before anything is read or held: a damaged file may give
	// any length.
	if (len > MAPFILE_VALUE_MAX + (nul ? 1 : 0))
		return CDBMAP_TOO_LONG;
	value->resize(len);
	if (cdb_bread(fd, value->data(), static_cast<int>(len)) < 0)
		return CDBMAP_DAMAGED;
	if (nul && !value->empty() && value->back() == '\0')
		value->pop_back();
	if (value->size() > MAPFILE_VALUE_MAX)
		return CDBMAP_TOO_LONG;
	if (value->find_first_of(std::string_view("\n\0", 2)) != std::string::npos)
		return CDBMAP_UNFIT;
	return CDBMAP_FOUND;
}

bool cdbmap_answer(const std::string& name, std::string_view key, int64_t now, std::string* reply)
{
	// With no index to ask, a reply set means one that cannot be asked.
	reply->clear();
	cdb_table* t = find_index(name, now, reply);
	if (t == nullptr)
		return !reply->empty();
	t->used = ++cdb_queries;
	std::string value;
	cdbmap_result found = cdbmap_find(t->fd, key, &value);
	int error = errno;
	std::string file = file_subject(name);
	switch (found) {
	case CDBMAP_FOUND:
		reply->assign("OK ");
		reply->append(value);
		break;
	case CDBMAP_ABSENT:
		*reply = "NOTFOUND ";
		break;
	case CDBMAP_DAMAGED:
		answer_fault(file_subject(name), t->stamp, "map " + name + " is damaged",
		             "map " + name +
		                     " is damaged: " + with_error("cannot read " + file, error),
		             reply);
		break;
	case CDBMAP_TOO_LONG:
		answer_fault(value_subject(name), t->stamp,
		             "map " + name + ": value longer than " +
		                     std::to_string(MAPFILE_VALUE_MAX) + " bytes",
		             "map " + file + " holds a value longer than " +
		                     std::to_string(MAPFILE_VALUE_MAX) + " bytes: not served",
		             reply);
		break;
	case CDBMAP_UNFIT:
		answer_fault(value_subject(name), t->stamp,
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
	for (auto& [name, t] : cdb_tables)
		t.looked = INT64_MIN / 2;
}

size_t cdbmap_open_files()
{
	return cdb_tables.size();
}
