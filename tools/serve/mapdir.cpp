// SPDX-License-Identifier: ISC
// Map directory files: see mapdir.hpp.
#include "tools/serve/mapdir.hpp"

#include "support/log.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int mapdir_fd = -1;

} // namespace

void mapdir_open(const char* dir)
{
	mapdir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (mapdir_fd == -1)
		die_sys("cannot open map directory %s", dir);
}

bool mapdir_valid_name(std::string_view name)
{
	if (name.empty() || name[0] == '.' || name.size() > 255 ||
	    name.ends_with(MAPDIR_CDB_SUFFIX) || name.ends_with(MAPDIR_TMP_SUFFIX))
		return false;
	for (char c : name) {
		bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
		          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '+';
		if (!ok)
			return false;
	}
	return true;
}

mapdir_found mapdir_stat(const std::string& file, struct stat* st, int* error)
{
	if (fstatat(mapdir_fd, file.c_str(), st, AT_SYMLINK_NOFOLLOW) == -1) {
		*error = errno;
		return *error == ENOENT || *error == ENOTDIR ? MAPDIR_NONE : MAPDIR_STAT_FAILED;
	}
	if (S_ISLNK(st->st_mode))
		return MAPDIR_LINK;
	return S_ISREG(st->st_mode) ? MAPDIR_FILE : MAPDIR_OTHER;
}

mapdir_found mapdir_open_file(const std::string& file, int* fd, struct stat* st, int* error)
{
	*fd = openat(mapdir_fd, file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (*fd == -1) {
		*error = errno;
		// ELOOP, or EMLINK on some systems: the name is now a link.
		if (*error == ELOOP || *error == EMLINK)
			return MAPDIR_LINK;
		return *error == ENOENT ? MAPDIR_NONE : MAPDIR_OPEN_FAILED;
	}
	mapdir_found found = MAPDIR_FILE;
	if (fstat(*fd, st) == -1) {
		*error = errno;
		found = MAPDIR_STAT_FAILED;
	} else if (!S_ISREG(st->st_mode)) {
		found = MAPDIR_OTHER;
	}
	if (found != MAPDIR_FILE) {
		close(*fd);
		*fd = -1;
	}
	return found;
}

std::string mapdir_link_warning(const std::string& file)
{
	return "map " + file + " is a symbolic link: not served";
}
