// SPDX-License-Identifier: ISC
// cdb reads: see cdbread.hpp.
#include "tools/serve/cdbread.hpp"

#include "tools/serve/mapfile.hpp"

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

// The lookup under way (rule 6): where its file is mapped, and where the
// handler jumps to.
sigjmp_buf cdbread_jump;
volatile sig_atomic_t cdbread_guarding;
const unsigned char* volatile cdbread_lo;
volatile size_t cdbread_len;
struct sigaction cdbread_before;
bool cdbread_installed;

void on_sigbus(int sig, siginfo_t* info, void*)
{
	auto at = reinterpret_cast<uintptr_t>(info->si_addr);
	auto lo = reinterpret_cast<uintptr_t>(cdbread_lo);
	if (cdbread_guarding && at >= lo && at - lo < cdbread_len)
		siglongjmp(cdbread_jump, 1);
	// Not a read of a mapped cdb file: as if this handler were not there.
	// A fault happens again on return, under the action before; a signal
	// that was sent is sent again.
	sigaction(SIGBUS, &cdbread_before, nullptr);
	if (info->si_code <= 0)
		raise(sig);
}

void install_handler()
{
	if (cdbread_installed)
		return;
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = on_sigbus;
	// Not blocked while it runs: the jump back out of it leaves the mask
	// as it was, so the lookup need not save and restore it (a system
	// call each).
	sa.sa_flags = SA_SIGINFO | SA_NODEFER;
	sigemptyset(&sa.sa_mask);
	cdbread_installed = sigaction(SIGBUS, &sa, &cdbread_before) == 0;
}

// The lookup proper, every read of the mapping in it; `with_nul` is the
// key with a NUL byte after it, and *nul tells whether it was found.
cdbread_result lookup(cdbread* r, std::string_view key, std::string_view with_nul,
                      std::string* value, bool* nul)
{
	*nul = false;
	int found = cdb_find(&r->db, key.data(), static_cast<unsigned>(key.size()));
	if (found == 0) {
		*nul = true;
		found = cdb_find(&r->db, with_nul.data(), static_cast<unsigned>(with_nul.size()));
	}
	if (found < 0)
		return CDBREAD_DAMAGED;
	if (found == 0)
		return CDBREAD_ABSENT;
	unsigned len = cdb_datalen(&r->db);
	if (len > MAPFILE_VALUE_MAX + (*nul ? 1 : 0))
		return CDBREAD_TOO_LONG;
	const void* data = cdb_getdata(&r->db);
	if (data == nullptr) {
		errno = EPROTO;
		return CDBREAD_DAMAGED;
	}
	// Sized first: a fault in the copy leaves a whole string behind.
	value->resize(len);
	memcpy(value->data(), data, len);
	return CDBREAD_FOUND;
}

// lookup() under the guard of rule 6. No object with a destructor lives
// in this frame: a jump back leaves nothing undone.
cdbread_result guarded(cdbread* r, std::string_view key, std::string_view with_nul,
                       std::string* value, bool* nul)
{
	cdbread_lo = r->db.cdb_mem;
	cdbread_len = r->db.cdb_fsize;
	if (sigsetjmp(cdbread_jump, 0) != 0) {
		cdbread_guarding = 0;
		errno = EIO;
		return CDBREAD_DAMAGED;
	}
	cdbread_guarding = 1;
	cdbread_result result = lookup(r, key, with_nul, value, nul);
	cdbread_guarding = 0;
	return result;
}

// Rule 4's check of the header of the file open on `fd`, `size` bytes
// long; the records it counts in *entries. Read with pread(), not from the
// mapping, so that a file cut short meanwhile cannot fault here.
bool header_sound(int fd, uint64_t size, size_t* entries)
{
	unsigned char header[2048];
	if (size < sizeof header || pread(fd, header, sizeof header, 0) != sizeof header)
		return false;
	uint64_t slots = 0;
	for (size_t i = 0; i < sizeof header; i += 8) {
		uint64_t pos = cdb_unpack(header + i);
		uint64_t len = cdb_unpack(header + i + 4);
		if (pos < sizeof header || pos > size || len > (size - pos) / 8)
			return false;
		slots += len;
	}
	*entries = static_cast<size_t>(slots / 2);
	return true;
}

} // namespace

bool cdbread_open(cdbread* r, int fd)
{
	install_handler();
	struct stat st;
	if (fstat(fd, &st) < 0)
		return false;
	if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
		errno = EFBIG;
		return false;
	}
	if (!header_sound(fd, static_cast<uint64_t>(st.st_size), &r->entries)) {
		errno = EPROTO;
		return false;
	}
	if (cdb_init(&r->db, fd) < 0) {
		if (errno == 0)
			errno = EPROTO;
		return false;
	}
	r->mapped = true;
	return true;
}

void cdbread_close(cdbread* r)
{
	if (r->mapped)
		cdb_free(&r->db);
	r->mapped = false;
}

void cdbread_retire(cdbread* r)
{
	if (!r->mapped)
		return;
	struct cdb db = r->db;
	r->mapped = false;
	try {
		std::thread([db]() mutable { cdb_free(&db); }).detach();
	} catch (const std::system_error&) {
		cdb_free(&db);
	}
}

cdbread_result cdbread_find(cdbread* r, std::string_view key, std::string* value)
{
	if (key.size() >= UINT_MAX)
		return CDBREAD_ABSENT;
	// Kept from one lookup to the next: no allocation once it has grown.
	static std::string with_nul;
	with_nul.assign(key);
	with_nul.push_back('\0');
	bool nul;
	cdbread_result result = guarded(r, key, with_nul, value, &nul);
	if (result != CDBREAD_FOUND)
		return result;
	if (nul && !value->empty() && value->back() == '\0')
		value->pop_back();
	if (value->size() > MAPFILE_VALUE_MAX)
		return CDBREAD_TOO_LONG;
	if (value->find_first_of(std::string_view("\n\0", 2)) != std::string::npos)
		return CDBREAD_UNFIT;
	return CDBREAD_FOUND;
}
