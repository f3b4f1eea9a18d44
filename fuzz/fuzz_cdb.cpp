// SPDX-License-Identifier: ISC
// Fuzz target: a lookup in a cdb file of any bytes, as smap-serve makes it
// (cdbread.hpp): the file is mapped from a memory file and one key asked.
//
// Input: byte 0 is the key's length (at most the rest of the input), then
// the key, then the file's bytes. Checked: nothing is read outside the
// mapping, and a value found is one a reply can carry.
#include "tools/serve/cdbread.hpp"
#include "tools/serve/mapfile.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	size_t key_len = std::min<size_t>(data[0], size - 1);
	std::string_view key(reinterpret_cast<const char*>(data) + 1, key_len);
	std::string_view file(reinterpret_cast<const char*>(data) + 1 + key_len,
	                      size - 1 - key_len);
	static int fd = memfd_create("fuzz_cdb", 0);
	if (fd == -1 || ftruncate(fd, 0) == -1 ||
	    pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()))
		abort();
	cdbread r;
	if (!cdbread_open(&r, fd))
		return 0;
	std::string value;
	cdbread_result result = cdbread_find(&r, key, &value);
	if (result == CDBREAD_FOUND &&
	    (value.size() > MAPFILE_VALUE_MAX ||
	     value.find_first_of(std::string_view("\n\0", 2)) != std::string::npos))
		abort();
	cdbread_close(&r);
	return 0;
}
