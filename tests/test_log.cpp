// SPDX-License-Identifier: ISC
// The logger's line format, verbosity and fatal texts, each checked in a
// forked child so that exits and standard error can be observed.
#include "harness/child.hpp"
#include "support/compat.hpp"
#include "support/log.hpp"

#include <cctype>
#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

namespace
{

// True when the line starts with "name[pid]: ".
bool has_prefix(const std::string& line, const std::string& name)
{
	if (line.compare(0, name.size() + 1, name + "[") != 0)
		return false;
	size_t i = name.size() + 1, digits = 0;
	while (i < line.size() && isdigit(static_cast<unsigned char>(line[i])))
		i++, digits++;
	return digits > 0 && line.compare(i, 3, "]: ") == 0;
}

// The messages of the captured lines; empty lines (left by a format that
// ends in a newline) carry no prefix.
std::vector<std::string> messages_of(const child_result& r)
{
	for (const auto& line : split_lines(r.err)) {
		if (!line.empty()) {
			EXPECT_TRUE(has_prefix(line, getprogname())) << line;
		}
	}
	return log_messages(r.err);
}

using strings = std::vector<std::string>;

} // namespace

TEST(LogLines, EveryPriorityLooksTheSameAndEndsInOneNewline)
{
	auto r = logged_child([] {
		log_warning("w %d", 1);
		log_note("n %s", "x");
		log_emit(LOG_DEBUG, "e %c", 'y');
		log_warning("ends in newline\n");
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(messages_of(r), (strings{"w 1", "n x", "e y", "ends in newline", ""}));
	EXPECT_EQ(r.err.back(), '\n');
}

TEST(LogLines, PrefixCarriesThisProcessId)
{
	auto r = logged_child([] { log_note("pid %d", static_cast<int>(getpid())); });
	auto lines = split_lines(r.err);
	ASSERT_EQ(lines.size(), 1u);
	size_t open = lines[0].find('['), close = lines[0].find("]: pid ");
	ASSERT_NE(close, std::string::npos);
	EXPECT_EQ(lines[0].substr(open + 1, close - open - 1), lines[0].substr(close + 7));
}

TEST(LogLines, ProgramNameWithPercentPrintsLiterally)
{
	auto r = logged_child([] {
		program_invocation_short_name = const_cast<char*>("odd%s%nname");
		log_warning("message %d", 7);
	});
	EXPECT_EQ(r.status, 0);
	auto lines = split_lines(r.err);
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_TRUE(has_prefix(lines[0], "odd%s%nname")) << lines[0];
	EXPECT_EQ(log_messages(r.err), strings{"message 7"});
}

TEST(LogLines, WarningWithSystemError)
{
	auto r = logged_child([] {
		errno = ENOENT;
		log_warning_sys("warn: %s", "connect");
		errno = EACCES;
		log_warning_sys(nullptr);
	});
	EXPECT_EQ(messages_of(r),
	          (strings{"warn: connect: No such file or directory", "Permission denied"}));
}

TEST(LogVerbosity, MaskGatesDebugAndTrace)
{
	auto r = logged_child([] {
		log_dbg("hidden %d", 1);
		log_trace_if(0x4, "hidden %d", 2);
		log_verbosity(0x3);
		log_dbg("dbg shown");
		log_trace_if(0x4, "hidden %d", 3);
		log_trace_if(0x2, "trace shown");
		log_verbosity(-1);
		log_trace_if(0x4, "all bits");
		log_verbosity(0x2);
		log_dbg("hidden %d", 4);
	});
	EXPECT_EQ(messages_of(r), (strings{"dbg shown", "trace shown", "all bits"}));
}

TEST(LogSyslogMode, WritesNothingToStandardError)
{
	auto r = run_in_child([] {
		log_start(0);
		log_warning("to the system log");
		log_note("to the system log");
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
}

TEST(FatalExit, DieMsgLogsAndExitsOne)
{
	auto r = logged_child([] {
		errno = EIO;
		die_msg("bad option");
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(messages_of(r), (strings{"fatal: bad option"}));
}

TEST(FatalExit, DieSysAppendsTheErrorOnlyWhenSet)
{
	auto with = logged_child([] {
		errno = ENOMEM;
		die_sys("dict_set: %s", "malloc");
	});
	EXPECT_EQ(with.status, 1);
	EXPECT_EQ(messages_of(with), (strings{"fatal: dict_set: malloc: Cannot allocate memory"}));

	auto without = logged_child([] {
		errno = 0;
		die_sys("plain");
	});
	EXPECT_EQ(without.status, 1);
	EXPECT_EQ(messages_of(without), (strings{"fatal: plain"}));
}

TEST(FatalExit, NullFormatLogsTheSavedErrorText)
{
	auto sys = logged_child([&] {
		errno = EPIPE;
		die_sys(nullptr);
	});
	EXPECT_EQ(messages_of(sys), (strings{"fatal: Broken pipe"}));
	auto msg = logged_child([&] {
		errno = EPIPE;
		die_msg(nullptr);
	});
	EXPECT_EQ(msg.status, 1);
	EXPECT_EQ(messages_of(msg), (strings{std::string("fatal: ") + strerror(0)}));
}

TEST(FatalExit, PercentInArgumentsPrintsLiterally)
{
	auto r = logged_child([] { die_msg("dict_xget(%p, %s)", nullptr, "100%s%n"); });
	EXPECT_EQ(r.status, 1);
	auto m = messages_of(r);
	ASSERT_EQ(m.size(), 1u);
	EXPECT_NE(m[0].find(", 100%s%n)"), std::string::npos) << m[0];
}

TEST(FatalExit, StandardOutputIsFlushedBeforeExit)
{
	auto r = logged_child([] {
		fputs("pending", stdout);
		die_msg("x");
	});
	EXPECT_EQ(r.out, "pending");
}

// The fatal text holds at most 1023 characters; the pieces appended after
// the message fit as far as room remains.
TEST(FatalText, IsCutAt1023Characters)
{
	struct cut_case {
		size_t message_length;
		int error;
		std::string tail; // what follows the message's 'a's
	};
	const std::string enoent = "No such file or directory";
	for (const auto& c : std::vector<cut_case>{
	             {1023, 0, ""},
	             {1500, 0, ""},
	             {1023, ENOENT, ""},
	             {1022, ENOENT, ":"},
	             {1021, ENOENT, ": "},
	             {1020, ENOENT, ": N"},
	             {990, ENOENT, ": " + enoent.substr(0, 31)},
	             {10, ENOENT, ": " + enoent},
	     }) {
		std::string message(c.message_length, 'a');
		auto r = logged_child([&] {
			errno = c.error;
			die_sys("%s", message.c_str());
		});
		EXPECT_EQ(r.status, 1);
		auto m = messages_of(r);
		ASSERT_EQ(m.size(), 1u);
		size_t kept = std::min<size_t>(c.message_length, 1023);
		EXPECT_EQ(m[0], "fatal: " + std::string(kept, 'a') + c.tail)
		        << "length " << c.message_length << ", errno " << c.error;
		EXPECT_LE(m[0].size() - 7, 1023u);
	}
}
