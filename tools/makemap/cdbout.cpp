// SPDX-License-Identifier: ISC
// cdb output: see cdbout.hpp.
#include "tools/makemap/cdbout.hpp"

#include "tools/net/errtext.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

bool failed(cdbout* out, const std::string& what, int error)
{
	if (out->why.empty())
		out->why = with_error(what, error);
	return false;
}

// The directory of `path`, for opening it.
std::string directory_of(const std::string& path)
{
	size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

// Opens and locks the temporary file. The lock is taken on what the name
// holds when it is opened; the name is looked at again once the lock is
// held, since a writer that held it before has renamed that file over
// the target by then.
bool open_locked(cdbout* out)
{
	out->fd = open(out->tmp.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (out->fd == -1)
		return failed(out, "cannot create " + out->tmp, errno);
	if (flock(out->fd, LOCK_EX | LOCK_NB) == -1) {
		int error = errno;
		close(out->fd);
		out->fd = -1;
		if (error == EWOULDBLOCK)
			out->why = "cannot write " + out->tmp + ": another process is writing it";
		return failed(out, "cannot lock " + out->tmp, error);
	}
	struct stat held, named;
	if (fstat(out->fd, &held) == -1 || lstat(out->tmp.c_str(), &named) == -1 ||
	    held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
		close(out->fd);
		out->fd = -1;
		out->why = "cannot write " + out->tmp + ": another process replaced it";
		return false;
	}
	return true;
}

} // namespace

bool cdbout_start(cdbout* out, const std::string& target, const struct stat& like)
{
	out->target = target;
	out->tmp = target + ".tmp";
	if (!open_locked(out))
		return false;
	if (ftruncate(out->fd, 0) == -1)
		return failed(out, "cannot truncate " + out->tmp, errno);
	// Owner and group first, so that whoever reads the source reads the
	// index (root building a table of a service's own user). Where the
	// owner cannot be given, the group alone; where neither can, the file
	// keeps the user's, and the mode below still shuts others out as the
	// source does.
	if (fchown(out->fd, like.st_uid, like.st_gid) == -1) {
		if (errno != EPERM)
			return failed(out, "cannot set the owner of " + out->tmp, errno);
		if (fchown(out->fd, static_cast<uid_t>(-1), like.st_gid) == -1 && errno != EPERM)
			return failed(out, "cannot set the group of " + out->tmp, errno);
	}
	if (fchmod(out->fd, like.st_mode & 0666) == -1)
		return failed(out, "cannot set the mode of " + out->tmp, errno);
	if (cdb_make_start(&out->make, out->fd) < 0)
		return failed(out, "cannot write " + out->tmp, errno);
	return true;
}

bool cdbout_add(cdbout* out, std::string_view key, std::string_view value)
{
	if (key.size() > UINT_MAX || value.size() > UINT_MAX)
		return failed(out, "cannot write " + out->tmp, EFBIG);
	if (cdb_make_add(&out->make, key.data(), static_cast<unsigned>(key.size()), value.data(),
	                 static_cast<unsigned>(value.size())) < 0)
		return failed(out, "cannot write " + out->tmp, errno);
	return true;
}

bool cdbout_finish(cdbout* out)
{
	if (cdb_make_finish(&out->make) < 0)
		return failed(out, "cannot write " + out->tmp, errno);
	if (fsync(out->fd) == -1)
		return failed(out, "cannot sync " + out->tmp, errno);
	if (rename(out->tmp.c_str(), out->target.c_str()) == -1)
		return failed(out, "cannot rename " + out->tmp + " to " + out->target, errno);
	// Renamed: the lock is no longer needed, and a sync of the directory
	// that the file system refuses leaves the rename done all the same.
	close(out->fd);
	out->fd = -1;
	int dir = open(directory_of(out->target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir != -1) {
		fsync(dir);
		close(dir);
	}
	return true;
}

void cdbout_abandon(cdbout* out)
{
	if (out->fd == -1)
		return;
	unlink(out->tmp.c_str());
	close(out->fd);
	out->fd = -1;
}
