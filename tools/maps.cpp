// Map directory: see maps.hpp.
#include "tools/maps.hpp"

#include "support/log.hpp"
#include "tools/reply.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace
{

struct map_table {
	dev_t dev;
	ino_t ino;
	off_t size;
	timespec mtime;
	timespec ctime;
	std::unordered_map<std::string, std::string> entries;
};

int maps_dir = -1;
std::unordered_map<std::string, map_table> maps_cache;

bool valid_table_name(std::string_view name)
{
	if (name.empty() || name[0] == '.' || name.size() > 255)
		return false;
	for (char c : name) {
		bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
		          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '+';
		if (!ok)
			return false;
	}
	return true;
}

bool same_time(const timespec& a, const timespec& b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchanged(const map_table& t, const struct stat& st)
{
	return t.dev == st.st_dev && t.ino == st.st_ino && t.size == st.st_size &&
	       same_time(t.mtime, st.st_mtim) && same_time(t.ctime, st.st_ctim);
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

// Parses the file's text into t->entries, warning about lines it skips.
void parse_map(const std::string& name, std::string_view text, map_table* t)
{
	size_t lineno = 0;
	while (!text.empty()) {
		size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
		lineno++;

		size_t i = 0;
		while (i < line.size() && is_blank(line[i]))
			i++;
		if (i == line.size() || line[i] == '#')
			continue;
		if (line.find('\0') != std::string_view::npos) {
			log_warning("warn: map %s line %zu: NUL byte, line skipped", name.c_str(),
			            lineno);
			continue;
		}
		size_t key_end = i;
		while (key_end < line.size() && !is_blank(line[key_end]))
			key_end++;
		size_t value_start = key_end;
		while (value_start < line.size() && is_blank(line[value_start]))
			value_start++;
		std::string_view key = line.substr(i, key_end - i);
		std::string_view value = line.substr(value_start);
		if (value.size() > SMAP_REPLY_MAX - 3) {
			log_warning(
			        "warn: map %s line %zu: value longer than %zu bytes, line skipped",
			        name.c_str(), lineno, SMAP_REPLY_MAX - 3);
			continue;
		}
		if (!t->entries.emplace(key, value).second)
			log_warning("warn: map %s line %zu: duplicate key, line skipped",
			            name.c_str(), lineno);
	}
}

// Reads the open map file into a fresh table. Returns false with a reason.
bool load_map(const std::string& name, int fd, const struct stat& st, map_table* t,
              std::string* why)
{
	std::string text;
	char chunk[65536];
	for (;;) {
		ssize_t n = read(fd, chunk, sizeof chunk);
		if (n == 0)
			break;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			*why = std::string("cannot read map ") + name + ": " + strerror(errno);
			return false;
		}
		text.append(chunk, static_cast<size_t>(n));
	}
	t->dev = st.st_dev;
	t->ino = st.st_ino;
	t->size = st.st_size;
	t->mtime = st.st_mtim;
	t->ctime = st.st_ctim;
	parse_map(name, text, t);
	log_note("loaded map %s: %zu entries", name.c_str(), t->entries.size());
	return true;
}

// The loaded table for `name`, (re)reading its file when needed; null with
// a reply in *reply when there is no usable table.
const map_table* find_table(const std::string& name, std::string* reply)
{
	struct stat st;
	if (fstatat(maps_dir, name.c_str(), &st, 0) == -1) {
		int error = errno;
		maps_cache.erase(name);
		if (error == ENOENT || error == ENOTDIR) {
			*reply = "PERM unknown table";
		} else {
			*reply = std::string("TEMP cannot read map ") + name + ": " +
			         strerror(error);
			log_warning("warn: %s", reply->c_str() + 5);
		}
		return nullptr;
	}
	if (!S_ISREG(st.st_mode)) {
		maps_cache.erase(name);
		*reply = "PERM unknown table";
		return nullptr;
	}
	auto it = maps_cache.find(name);
	if (it != maps_cache.end() && unchanged(it->second, st))
		return &it->second;

	maps_cache.erase(name);
	// Non-blocking, so that a file swapped for a FIFO cannot hang the
	// server; the type is checked again on the open descriptor.
	int fd = openat(maps_dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	std::string why;
	map_table t;
	bool ok = false;
	if (fd == -1) {
		if (errno == ENOENT) {
			*reply = "PERM unknown table";
			return nullptr;
		}
		why = std::string("cannot open map ") + name + ": " + strerror(errno);
	} else if (fstat(fd, &st) == -1) {
		why = std::string("cannot stat map ") + name + ": " + strerror(errno);
	} else if (!S_ISREG(st.st_mode)) {
		close(fd);
		*reply = "PERM unknown table";
		return nullptr;
	} else {
		ok = load_map(name, fd, st, &t, &why);
	}
	if (fd != -1)
		close(fd);
	if (!ok) {
		log_warning("warn: %s", why.c_str());
		*reply = "TEMP " + why;
		return nullptr;
	}
	return &maps_cache.emplace(name, std::move(t)).first->second;
}

} // namespace

void maps_open(const char* dir)
{
	maps_dir = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (maps_dir == -1)
		die_sys("cannot open map directory %s", dir);
}

void maps_answer(std::string_view table, std::string_view key, std::string* reply)
{
	if (!valid_table_name(table)) {
		*reply = "PERM unknown table";
		return;
	}
	const map_table* t = find_table(std::string(table), reply);
	if (t == nullptr)
		return;
	auto it = t->entries.find(std::string(key));
	if (it == t->entries.end())
		*reply = "NOTFOUND ";
	else
		*reply = "OK " + it->second;
}
