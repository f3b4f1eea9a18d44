// SPDX-License-Identifier: ISC
// Tests of the allocation wrappers and the string utilities.
#include "support/alloc.hpp"
#include "support/strutil.hpp"

#include "harness/child.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/resource.h>

namespace
{

// Sizes no allocator can satisfy, hidden from the compiler's size checks.
volatile size_t huge = SIZE_MAX;

TEST(Alloc, ReturnsUsableBlocks)
{
	auto p = static_cast<char*>(alloc_or_die(64, "test"));
	memset(p, 'x', 64);
	free(p);

	auto z = static_cast<unsigned char*>(calloc_or_die(100, 3, "test"));
	for (size_t i = 0; i < 300; i++)
		ASSERT_EQ(z[i], 0) << i;
	free(z);

	const char* src = "hello";
	char* s = strdup_or_die(src, "test");
	EXPECT_NE(s, src);
	EXPECT_STREQ(s, "hello");
	free(s);

	const unsigned char bytes[] = {0, 1, 2, 0, 255, 7};
	auto m = static_cast<unsigned char*>(memdup_or_die(bytes, sizeof bytes, "test"));
	EXPECT_NE(m, bytes);
	EXPECT_EQ(memcmp(m, bytes, sizeof bytes), 0);
	free(m);

	// A size of 0 is handed on; glibc gives a block for it.
	free(alloc_or_die(0, "test"));
	free(memdup_or_die(nullptr, 0, "test"));
}

TEST(AllocFatal, WarningThenExiting)
{
#ifdef SMAP_SANITIZED
	GTEST_SKIP() << "AddressSanitizer reports impossible sizes itself";
#endif
	auto r = logged_child([] {
		errno = 0;
		alloc_or_die(huge, "reader");
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "reader: malloc(" + std::to_string(SIZE_MAX) + ")") +
	                         log_line(r.pid, "fatal: exiting"));

	r = logged_child([] { calloc_or_die(huge / 2, 3, "table"); });
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "table: calloc(" + std::to_string(SIZE_MAX / 2) + ", 3)") +
	                         log_line(r.pid, "fatal: exiting"));

	r = logged_child([] { memdup_or_die("abc", huge, "copy"); });
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, "copy: malloc(" + std::to_string(SIZE_MAX) + ")") +
	                         log_line(r.pid, "fatal: exiting"));
}

TEST(AllocFatal, StrdupNamesTheAddress)
{
#ifdef SMAP_SANITIZED
	GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#endif
	// The string is made first; then the address space is capped below
	// what its copy needs.
	static std::string big(64u << 20, 's');
	char addr[32];
	snprintf(addr, sizeof addr, "%p", static_cast<const void*>(big.c_str()));
	auto r = logged_child([] {
		long pages = 0;
		if (FILE* f = fopen("/proc/self/statm", "r")) {
			if (fscanf(f, "%ld", &pages) != 1)
				pages = 0;
			fclose(f);
		}
		rlimit lim{};
		getrlimit(RLIMIT_AS, &lim);
		lim.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) +
		               (8u << 20);
		setrlimit(RLIMIT_AS, &lim);
		strdup_or_die(big.c_str(), "names");
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, log_line(r.pid, std::string("names: strdup(") + addr + ")") +
	                         log_line(r.pid, "fatal: exiting"));
}

TEST(TrimSpace, BothEnds)
{
	char buf[] = " \t\n a b\tc \v\f\r";
	char* t = trim_space(buf);
	EXPECT_EQ(t, buf + 4);
	EXPECT_STREQ(t, "a b\tc");
	EXPECT_EQ(memcmp(buf, " \t\n ", 4), 0) << "leading blanks stay in the buffer";
	EXPECT_EQ(memcmp(buf + 9, "\0\0\0\0\0", 5), 0) << "trailing blanks become NULs";

	char plain[] = "word";
	EXPECT_EQ(trim_space(plain), plain);
	EXPECT_STREQ(plain, "word");
}

TEST(TrimSpace, EmptyAndAllWhite)
{
	char empty[] = "";
	EXPECT_EQ(trim_space(empty), empty);

	char white[] = " \t\r\n";
	char* t = trim_space(white);
	EXPECT_EQ(t, white + 4);
	EXPECT_EQ(*t, '\0');
	EXPECT_EQ(memcmp(white, " \t\r\n", 5), 0) << "no byte changes";
}

TEST(TrimSpace, OnlyPosixWhiteSpace)
{
	// A no-break space in Latin-1 or UTF-8 is not white space.
	char buf[] = "\xa0x\xc2\xa0";
	EXPECT_EQ(trim_space(buf), buf);
	EXPECT_STREQ(buf, "\xa0x\xc2\xa0");
}

TEST(LowercaseCopy, Folds)
{
	char dst[32];
	EXPECT_EQ(lowercase_copy(dst, "MiXeD Case 123 !@[`{", sizeof dst), 1);
	EXPECT_STREQ(dst, "mixed case 123 !@[`{");
	EXPECT_EQ(lowercase_copy(dst, "\xc9T\xc9\xff", sizeof dst), 1);
	EXPECT_STREQ(dst, "\xc9t\xc9\xff") << "only ASCII letters fold";
	EXPECT_EQ(lowercase_copy(dst, "", sizeof dst), 1);
	EXPECT_STREQ(dst, "");
}

TEST(LowercaseCopy, Bounds)
{
	char dst[8];
	memset(dst, '#', sizeof dst);
	EXPECT_EQ(lowercase_copy(dst, "ABC", 0), 0);
	EXPECT_EQ(dst[0], '#') << "size 0 writes nothing";

	// Length size - 1 fits whole.
	EXPECT_EQ(lowercase_copy(dst, "ABCDEFG", 8), 1);
	EXPECT_STREQ(dst, "abcdefg");
	// Length size does not: truncated and left unfolded.
	EXPECT_EQ(lowercase_copy(dst, "ABCDEFGH", 8), 0);
	EXPECT_STREQ(dst, "ABCDEFG");
	EXPECT_EQ(lowercase_copy(dst, "ABCDEFGHIJKL", 4), 0);
	EXPECT_STREQ(dst, "ABC");
}

} // namespace
