// SPDX-License-Identifier: ISC
// smap-makemap: builds FILE.cdb, the index that smap-serve answers from
// for the table FILE, from the text map FILE.
//
//   smap-makemap [-f] FILE
//   smap-makemap --help | --version
//
// The text is read with smap-serve's own parser (mapfile.hpp), so the
// index holds exactly the entries that smap-serve would serve from the
// text, in the order of their lines, and the lines it skips are logged as
// smap-serve logs them (mapskip.hpp). With -f (--fold) keys are folded to
// lower case (ASCII letters), for tables that mail software looks up in
// lower case; a key that folds to the key of an earlier entry is skipped
// like a duplicate. The index is written beside FILE so that a reader
// never sees half of it (cdbout.hpp).
//
// Exit status: 0 when every entry line was taken, 1 when a line was
// skipped (FILE.cdb is written all the same), 2 when FILE.cdb could not be
// written (it is left as it was: FILE cannot be read, or is too big, or
// the write failed) and for a bad command line. --help and --version print
// to standard output and exit 0.
#include "support/log.hpp"
#include "support/stdfd.hpp"
#include "tools/makemap/cdbout.hpp"
#include "tools/net/errtext.hpp"
#include "tools/serve/mapdir.hpp"
#include "tools/serve/mapfile.hpp"
#include "tools/serve/mapskip.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <new>
#include <string>
#include <unistd.h>
#include <unordered_set>

namespace
{

constexpr int EXIT_SKIPPED = 1;
constexpr int EXIT_NOT_WRITTEN = 2;
// getopt_long()'s value for --version, which has no short form.
constexpr int OPT_VERSION = 256;

const char USAGE[] = "usage: smap-makemap [-f] FILE\n"
                     "       smap-makemap --help | --version\n"
                     "Writes FILE.cdb for smap-serve from the text map FILE; -f folds keys "
                     "to lower case.\n";

[[noreturn]] void exit_printed()
{
	if (fflush(stdout) != 0) {
		log_warning_sys("fatal: cannot write to standard output");
		exit(EXIT_NOT_WRITTEN);
	}
	exit(0);
}

[[noreturn]] void not_written(const std::string& why)
{
	log_warning("fatal: %s", why.c_str());
	exit(EXIT_NOT_WRITTEN);
}

// Refuses `path` by its size, whether its status tells it or its reading
// does (a pipe, or a file that grew).
[[noreturn]] void too_big(const std::string& path)
{
	not_written(path + " is larger than " + std::to_string(MAPFILE_TEXT_MAX) + " bytes");
}

// Reads the whole of `path` into *m, whose status is *st.
void read_map(const std::string& path, mapfile* m, struct stat* st)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd == -1 || fstat(fd, st) == -1)
		not_written(with_error("cannot open " + path, errno));
	if (static_cast<uintmax_t>(st->st_size) > MAPFILE_TEXT_MAX)
		too_big(path);
	if (!mapfile_init(m, static_cast<size_t>(st->st_size)))
		not_written("cannot read " + path + ": out of memory");
	for (;;) {
		char chunk[65536];
		ssize_t n = read(fd, chunk, sizeof chunk);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			not_written(with_error("cannot read " + path, errno));
		if (n == 0)
			break;
		if (m->text.size() + static_cast<size_t>(n) > MAPFILE_TEXT_MAX)
			too_big(path);
		mapfile_append(m, {chunk, static_cast<size_t>(n)});
	}
	close(fd);
}

std::string folded(std::string_view key)
{
	std::string lower(key);
	for (char& c : lower)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return lower;
}

// Adds the entries of *m to *out, folded with `fold`; false when a write
// failed. *skipped counts the entries skipped as duplicates once folded.
bool add_entries(cdbout* out, const std::string& path, const mapfile& m, bool fold, size_t* skipped)
{
	std::unordered_set<std::string> keys;
	size_t line = 1, counted = 0;
	for (size_t n = 0; n < mapfile_count(m); n++) {
		std::string_view key = mapfile_key(m, n);
		if (!fold) {
			if (!cdbout_add(out, key, mapfile_value(m, n)))
				return false;
			continue;
		}
		std::string lower = folded(key);
		if (keys.insert(lower).second) {
			if (!cdbout_add(out, lower, mapfile_value(m, n)))
				return false;
			continue;
		}
		// The line of the entry: keys are views into the text, in order.
		size_t at = static_cast<size_t>(key.data() - m.text.data());
		for (; counted < at; counted++)
			line += m.text[counted] == '\n';
		mapskip_line(path, m.skipped + ++*skipped, line,
		             "duplicate key once folded to lower case");
	}
	return true;
}

// Writes the entries of *m to FILE.cdb; returns how many entries were
// skipped as duplicates once folded.
size_t write_index(const std::string& path, const mapfile& m, const struct stat& st, bool fold)
{
	cdbout out;
	size_t skipped = 0;
	bool ok = cdbout_start(&out, path + MAPDIR_CDB_SUFFIX, st);
	try {
		ok = ok && add_entries(&out, path, m, fold, &skipped) && cdbout_finish(&out);
	} catch (const std::bad_alloc&) {
		out.why = "cannot write " + out.tmp + ": out of memory";
		ok = false;
	}
	if (!ok) {
		cdbout_abandon(&out);
		not_written(out.why);
	}
	return skipped;
}

} // namespace

int main(int argc, char* argv[])
{
	if (!stdfd_ensure_open())
		return EXIT_NOT_WRITTEN;
	log_start(1);
	static const option longopts[] = {
	        {"fold", no_argument, nullptr, 'f'},
	        {"help", no_argument, nullptr, 'h'},
	        {"version", no_argument, nullptr, OPT_VERSION},
	        {nullptr, 0, nullptr, 0},
	};
	bool fold = false;
	int opt;
	while ((opt = getopt_long(argc, argv, "fh", longopts, nullptr)) != -1) {
		switch (opt) {
		case 'f':
			fold = true;
			break;
		case 'h':
			fputs(USAGE, stdout);
			exit_printed();
		case OPT_VERSION:
			printf("smap-makemap %s\n", SMAP_VERSION);
			exit_printed();
		default:
			fputs(USAGE, stderr);
			return EXIT_NOT_WRITTEN;
		}
	}
	if (argc - optind != 1) {
		fputs(USAGE, stderr);
		return EXIT_NOT_WRITTEN;
	}
	std::string path = argv[optind];
	mapfile m;
	struct stat st;
	try {
		read_map(path, &m, &st);
		mapfile_index(&m, SIZE_MAX, true, [&](size_t line, const char* why) {
			mapskip_line(path, m.skipped, line, why);
		});
		size_t skipped = m.skipped + write_index(path, m, st, fold);
		mapskip_end(path, skipped);
		return skipped > 0 ? EXIT_SKIPPED : 0;
	} catch (const std::bad_alloc&) {
		not_written("cannot read " + path + ": out of memory");
	}
}
