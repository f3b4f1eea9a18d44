// SPDX-License-Identifier: ISC
// Map directory: see maps.hpp.
#include "tools/serve/maps.hpp"

#include "support/log.hpp"
#include "tools/net/clock.hpp"
#include "tools/net/errtext.hpp"
#include "tools/serve/cdbmap.hpp"
#include "tools/serve/filestamp.hpp"
#include "tools/serve/mapdir.hpp"
#include "tools/serve/mapfault.hpp"
#include "tools/serve/mapfile.hpp"
#include "tools/serve/mapskip.hpp"
#include "tools/serve/metrics.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace
{

// The answer for a name that is no table.
constexpr char NO_TABLE[] = "PERM unknown table";

// One loaded version of a map file: the file's stamp when the load
// started, and its text and index (mapfile.hpp), sized from the file's
// size then, so that every step of a load costs about the same. Freeing a
// version is a few large frees, whatever its size.
struct map_version {
	file_stamp stamp;
	mapfile file;
};

struct map_load {
	int fd = -1;
	std::unique_ptr<map_version> v;
};

struct map_table {
	std::unique_ptr<map_version> current; // null before the first load
	std::unique_ptr<map_load> load;       // the load in progress
	bool stale = false;                   // read again even if unchanged
	std::string failure;                  // why the file at `failed` was not loaded
	file_stamp failed;
};

std::unordered_map<std::string, map_table> maps_tables;
// Loads in progress, each holding its file open.
size_t maps_loading;
bool maps_load_ended;
// How long a query waits for a first version: see maps_wait_ms().
int64_t maps_wait = MAPS_WAIT_MS;

// Logs a line skipped by the load of `name`.
void warn_skipped(const std::string& name, const mapfile& file, size_t line, const char* why)
{
	mapskip_line(name, file.skipped, line, why);
}

// Ends the load of `t`: the new version replaces the old one, or, when
// `why` is not empty, the failure replaces both.
void end_load(const std::string& name, map_table* t, const std::string& why)
{
	map_load* l = t->load.get();
	if (l->fd != -1)
		close(l->fd);
	if (why.empty()) {
		mapskip_end(name, l->v->file.skipped);
		log_note("loaded map %s: %zu entries", name.c_str(), mapfile_count(l->v->file));
		metrics_map_loaded(name, t->current ? mapfile_count(t->current->file) : 0,
		                   mapfile_count(l->v->file));
		t->current = std::move(l->v);
		t->failure.clear();
	} else {
		mapfault_warn(name, name, l->v->stamp, why);
		t->failed = l->v->stamp;
		t->failure = why;
		metrics_map_dropped(name, t->current ? mapfile_count(t->current->file) : 0);
		t->current.reset();
	}
	t->load.reset();
	maps_loading--;
	maps_load_ended = true;
}

// Reads and indexes up to MAPS_STEP bytes each; ends the load when the
// file is done or fails.
void load_step(const std::string& name, map_table* t)
{
	map_load* l = t->load.get();
	mapfile* file = &l->v->file;
	std::string why;
	bool done = false;
	try {
		size_t read_budget = MAPS_STEP;
		// With the budget spent, one more read of a byte tells whether the
		// file ends there: a file of MAPS_STEP bytes takes one step.
		bool probed = false;
		while (l->fd != -1 && (read_budget > 0 || !probed)) {
			char chunk[65536];
			size_t want = std::min(sizeof chunk, read_budget);
			if (want == 0) {
				probed = true;
				want = 1;
			}
			ssize_t n = read(l->fd, chunk, want);
			if (n < 0 && errno == EINTR)
				continue;
			if (n < 0) {
				why = with_error("cannot read map " + name, errno);
				break;
			}
			if (n == 0) {
				close(l->fd);
				l->fd = -1;
			} else if (file->text.size() + static_cast<size_t>(n) > MAPS_FILE_MAX) {
				why = "map " + name + " is larger than " +
				      std::to_string(MAPS_FILE_MAX) + " bytes";
				break;
			} else {
				mapfile_append(file, {chunk, static_cast<size_t>(n)});
				read_budget -= std::min(read_budget, static_cast<size_t>(n));
			}
		}
		// Complete lines only, and the last one once the file is read.
		auto skipped = [&](size_t line, const char* reason) {
			warn_skipped(name, *file, line, reason);
		};
		if (why.empty())
			done = mapfile_index(file, MAPS_STEP, l->fd == -1, skipped);
	} catch (const std::bad_alloc&) {
		why = "cannot load map " + name + ": out of memory";
	}
	if (!why.empty() || done)
		end_load(name, t, why);
}

enum start_result { START_OK, START_NO_TABLE, START_FAILED };

void warn_link(const std::string& name, const file_stamp& stamp)
{
	mapfault_warn(name, name, stamp, mapdir_link_warning(name));
}

// Opens the file of `name`, last seen as `seen`, and starts loading it
// into *t; otherwise the reply is in *reply.
start_result start_load(const std::string& name, const file_stamp& seen, map_table* t,
                        std::string* reply)
{
	int fd, error;
	struct stat st;
	std::string why;
	file_stamp stamp = seen;
	switch (mapdir_open_file(name, &fd, &st, &error)) {
	case MAPDIR_LINK:
		warn_link(name, seen);
		*reply = NO_TABLE;
		return START_NO_TABLE;
	case MAPDIR_NONE:
	case MAPDIR_OTHER:
		*reply = NO_TABLE;
		return START_NO_TABLE;
	case MAPDIR_OPEN_FAILED:
		why = with_error("cannot open map " + name, error);
		break;
	case MAPDIR_STAT_FAILED:
		why = with_error("cannot stat map " + name, error);
		break;
	case MAPDIR_FILE:
		stamp = stamp_of(st);
		if (static_cast<uintmax_t>(st.st_size) > MAPS_FILE_MAX)
			why = "map " + name + " is larger than " + std::to_string(MAPS_FILE_MAX) +
			      " bytes";
		break;
	}
	std::unique_ptr<map_load> l;
	if (why.empty()) {
		try {
			l = std::make_unique<map_load>();
			l->v = std::make_unique<map_version>();
			l->v->stamp = stamp;
		} catch (const std::bad_alloc&) {
			l.reset();
		}
		if (l == nullptr || !mapfile_init(&l->v->file, static_cast<size_t>(st.st_size)))
			why = "cannot load map " + name + ": out of memory";
	}
	if (!why.empty()) {
		if (fd != -1)
			close(fd);
		mapfault_warn(name, name, stamp, why);
		*reply = "TEMP " + why;
		return START_FAILED;
	}
	l->fd = fd;
	t->load = std::move(l);
	t->stale = false;
	maps_loading++;
	return START_OK;
}

// Gives up the load in progress of `t`: its file will be read again.
void drop_load(map_table* t)
{
	if (t->load->fd != -1)
		close(t->load->fd);
	t->load.reset();
	t->stale = true;
	maps_loading--;
	maps_load_ended = true;
}

void forget(const std::string& name)
{
	auto it = maps_tables.find(name);
	if (it == maps_tables.end())
		return;
	if (it->second.load != nullptr)
		drop_load(&it->second);
	const auto& gone = it->second.current;
	metrics_map_dropped(name, gone ? mapfile_count(gone->file) : 0);
	maps_tables.erase(it);
}

// The table for `name`, its load started when its file is new or has
// changed; null with the reply in *reply when there is no table to ask.
map_table* find_table(const std::string& name, std::string* reply)
{
	struct stat st;
	int error;
	mapdir_found found = mapdir_stat(name, &st, &error);
	if (found != MAPDIR_FILE) {
		forget(name);
		*reply = NO_TABLE;
		if (found == MAPDIR_NONE) {
			mapfault_gone(name);
		} else if (found == MAPDIR_LINK) {
			warn_link(name, stamp_of(st));
		} else if (found == MAPDIR_STAT_FAILED) {
			*reply = "TEMP " + with_error("cannot read map " + name, error);
			mapfault_warn(name, name, {}, reply->substr(5));
		}
		return nullptr;
	}
	file_stamp stamp = stamp_of(st);
	mapfault_seen(name, stamp);

	map_table* t = &maps_tables[name];
	// A file of up to MAPS_STEP bytes is read whole within the query and
	// closed: it needs no load slot, and is not held up by a load of a
	// version that it has since replaced.
	bool small = static_cast<uintmax_t>(st.st_size) <= MAPS_STEP;
	if (small && t->load != nullptr && !same_stamp(t->load->v->stamp, stamp))
		drop_load(t);
	bool up_to_date = t->current ? same_stamp(t->current->stamp, stamp)
	                             : !t->failure.empty() && same_stamp(t->failed, stamp);
	if ((t->stale || !up_to_date) && t->load == nullptr &&
	    (small || maps_loading < MAPS_LOADS_MAX)) {
		switch (start_load(name, stamp, t, reply)) {
		case START_OK:
			load_step(name, t);
			// Grown past one step since it was looked at: a big file,
			// which waits for a load slot like any other.
			if (t->load != nullptr && maps_loading > MAPS_LOADS_MAX)
				drop_load(t);
			break;
		case START_NO_TABLE:
			forget(name);
			return nullptr;
		case START_FAILED:
			return nullptr;
		}
	}
	if (t->current == nullptr && t->load == nullptr && !t->failure.empty()) {
		*reply = "TEMP " + t->failure;
		return nullptr;
	}
	return t;
}

} // namespace

void maps_open(const char* dir)
{
	mapdir_open(dir);
	maps_wait = test_bound_ms("SMAP_SERVE_TEST_MAP_WAIT_MS", MAPS_WAIT_MS);
}

int64_t maps_wait_ms()
{
	return maps_wait;
}

bool maps_answer(std::string_view table, std::string_view key, bool give_up, int64_t now,
                 std::string* reply)
{
	if (!mapdir_valid_name(table)) {
		*reply = NO_TABLE;
		return true;
	}
	std::string name(table);
	// An index beside the file answers for it; a text version loaded
	// before the index came is of no more use.
	if (cdbmap_answer(name, key, now, reply)) {
		forget(name);
		return true;
	}
	const map_table* t = find_table(name, reply);
	if (t == nullptr)
		return true;
	if (t->current == nullptr) {
		if (!give_up)
			return false;
		*reply = "TEMP map " + name + " is loading";
		return true;
	}
	std::string_view value;
	if (!mapfile_find(t->current->file, key, &value)) {
		*reply = "NOTFOUND ";
	} else {
		reply->assign("OK ");
		reply->append(value);
	}
	return true;
}

bool maps_busy()
{
	return maps_loading > 0;
}

bool maps_work()
{
	for (auto& [name, t] : maps_tables)
		if (t.load != nullptr)
			load_step(name, &t);
	bool ended = maps_load_ended;
	maps_load_ended = false;
	return ended;
}

void maps_reload()
{
	for (auto& [name, t] : maps_tables)
		t.stale = true;
	cdbmap_reload();
	mapfault_forget_all();
}
