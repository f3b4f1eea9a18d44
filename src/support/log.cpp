// SPDX-License-Identifier: ISC
// Logger and fatal exits: see log.hpp.
#include "support/log.hpp"

#include "support/compat.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

namespace
{

constexpr size_t FATAL_TEXT_SIZE = 1024;

int log_use_stderr;
int log_plain;
int log_levels;
int log_mask;
char fatal_text[FATAL_TEXT_SIZE];

// The journal's levels of the message kinds whose syslog priority does not
// tell them apart (LOG_CRIT for both).
constexpr int LEVEL_FATAL = LOG_ERR;
constexpr int LEVEL_WARNING = LOG_WARNING;

void emitv(int priority, int level, const char* fmt, va_list ap) SMAP_PRINTF(3, 0);
void emit(int priority, int level, const char* fmt, ...) SMAP_PRINTF(3, 4);

// Composes the fatal text from the format and the error saved on entry,
// and emits it. The text is an argument of "fatal: %s", never a format.
void die_compose(const char* fmt, va_list ap) SMAP_PRINTF(1, 0);

void die_compose(const char* fmt, va_list ap)
{
	int saved_errno = errno;

	if (fmt != nullptr) {
		vsnprintf(fatal_text, sizeof fatal_text, fmt, ap);
		if (saved_errno != 0) {
			strlcat(fatal_text, ": ", sizeof fatal_text);
			strlcat(fatal_text, strerror(saved_errno), sizeof fatal_text);
		}
	} else {
		strlcpy(fatal_text, strerror(saved_errno), sizeof fatal_text);
	}
	emit(LOG_CRIT, LEVEL_FATAL, "fatal: %s", fatal_text);
}

// One line at syslog `priority`, or on standard error, where `level` is
// the journal's level of the line.
void emitv(int priority, int level, const char* fmt, va_list ap)
{
	if (log_use_stderr == 0) {
		vsyslog(priority, fmt, ap);
		return;
	}

	const char* name = getprogname();
	auto pid = static_cast<unsigned>(getpid());
	char tag[16] = "";
	if (log_levels)
		snprintf(tag, sizeof tag, "<%d>", LOG_PRI(level));
	char* line = nullptr;
	// One format for the whole line, so the line leaves in one write. A
	// name with "%" in it would act as a conversion there: such a name
	// takes the three-call path, which prints it through "%s".
	int made = -1;
	if (log_plain)
		made = asprintf(&line, "%s%s\n", tag, fmt);
	else if (strchr(name, '%') == nullptr)
		made = asprintf(&line, "%s%s[%u]: %s\n", tag, name, pid, fmt);
	if (made != -1) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
		vfprintf(stderr, line, ap);
#pragma GCC diagnostic pop
		free(line);
	} else {
		fputs(tag, stderr);
		if (!log_plain)
			fprintf(stderr, "%s[%u]: ", name, pid);
		vfprintf(stderr, fmt, ap);
		fputc('\n', stderr);
	}
	fflush(stderr);
}

void emit(int priority, int level, const char* fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	emitv(priority, level, fmt, ap);
	va_end(ap);
}

} // namespace

void log_start(int use_stderr)
{
	log_use_stderr = use_stderr;
	if (use_stderr == 0)
		openlog(getprogname(), LOG_PID | LOG_NDELAY, LOG_MAIL);
	tzset();
}

void log_verbosity(int mask)
{
	log_mask = mask;
}

void log_plain_lines(int on)
{
	log_plain = on;
}

void log_level_prefix(int on)
{
	log_levels = on;
}

void log_emit(int priority, const char* fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	log_emitv(priority, fmt, ap);
	va_end(ap);
}

void log_emitv(int priority, const char* fmt, va_list ap)
{
	emitv(priority, priority, fmt, ap);
}

void log_warning_sys(const char* fmt, ...)
{
	const char* errtext = strerror(errno);

	if (fmt == nullptr) {
		emit(LOG_CRIT, LEVEL_WARNING, "%s", errtext);
		return;
	}

	va_list ap;
	va_start(ap, fmt);
	char* combined = nullptr;
	if (asprintf(&combined, "%s: %s", fmt, errtext) != -1) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
		emitv(LOG_CRIT, LEVEL_WARNING, combined, ap);
#pragma GCC diagnostic pop
		free(combined);
	} else {
		emitv(LOG_CRIT, LEVEL_WARNING, fmt, ap);
		emit(LOG_CRIT, LEVEL_WARNING, "%s", errtext);
	}
	va_end(ap);
}

void log_warning(const char* fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	emitv(LOG_CRIT, LEVEL_WARNING, fmt, ap);
	va_end(ap);
}

void log_note(const char* fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	log_emitv(LOG_INFO, fmt, ap);
	va_end(ap);
}

void log_dbg(const char* fmt, ...)
{
	if ((log_mask & 0x1) == 0)
		return;
	va_list ap;
	va_start(ap, fmt);
	log_emitv(LOG_DEBUG, fmt, ap);
	va_end(ap);
}

void log_trace_if(int mask, const char* fmt, ...)
{
	if ((mask & log_mask) == 0)
		return;
	va_list ap;
	va_start(ap, fmt);
	log_emitv(LOG_DEBUG, fmt, ap);
	va_end(ap);
}

void die_sys(const char* fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	die_compose(fmt, ap);
	va_end(ap);
	exit(1);
}

void die_msg(const char* fmt, ...)
{
	errno = 0;
	va_list ap;
	va_start(ap, fmt);
	die_compose(fmt, ap);
	va_end(ap);
	exit(1);
}
