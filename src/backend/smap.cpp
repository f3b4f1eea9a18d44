// Socketmap backend: see smap.hpp.
#include "backend/smap.hpp"

#include "support/compat.hpp"
#include "support/log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

const char* smap_socket_path;

namespace
{

int smap_fd = -1;
bool smap_connected;
char smap_reply[SMAP_REPLY_SIZE];
// Every byte of smap_reply from here on is zero, so clearing the buffer
// before a query touches only what has been written since the last clear.
size_t smap_reply_dirty;

// The reply line is read into this buffer, kept from one query to the next
// so that a lookup does not allocate. It starts at SMAP_READ_SIZE bytes; a
// buffer grown past SMAP_LINE_KEEP by a long reply is released after that
// reply. Of a line longer than SMAP_LINE_HOLD bytes only the first
// SMAP_LINE_HOLD are kept, which is enough to find it too large, so no
// reply can make the buffer grow without bound.
constexpr size_t SMAP_READ_SIZE = 4096;
constexpr size_t SMAP_LINE_KEEP = 8192;
constexpr size_t SMAP_LINE_HOLD = SMAP_REPLY_SIZE + 1;
char* smap_line;
size_t smap_line_capacity;
// Bytes beyond the reply line came in with it: the server has sent more
// than it was asked, and the next reply read would not answer the next
// query.
bool smap_surplus;

// The services whose values this backend serves: all but mailaddrmap.
constexpr bool served(service_kind kind)
{
	switch (kind) {
	case SVC_ALIAS:
	case SVC_DOMAIN:
	case SVC_CREDENTIALS:
	case SVC_NETADDR:
	case SVC_USERINFO:
	case SVC_SOURCE:
	case SVC_MAILADDR:
	case SVC_ADDRNAME:
		return true;
	case SVC_MAILADDRMAP:
		break;
	}
	return false;
}

struct reply_prefix {
	const char* text;
	size_t length;
	smap_outcome outcome;
};

// Compared without regard to case, in this order.
constexpr reply_prefix reply_prefixes[] = {
        {"OK ", 3, SMAP_FOUND},        {"NOTFOUND ", 9, SMAP_NOTFOUND}, {"TEMP ", 5, SMAP_FAILURE},
        {"TIMEOUT ", 8, SMAP_FAILURE}, {"PERM ", 5, SMAP_FAILURE},
};

// What one exchange on the open connection came to.
enum query_result {
	QUERY_ANSWERED, // a reply line was read and classified
	QUERY_LOST,     // the connection failed; it has been reset
	QUERY_TIMED_OUT // the time bound expired; the connection has been reset
};

// Copies text into smap_reply as strlcpy() does and returns its result.
size_t copy_reply(const char* text)
{
	size_t len = strlcpy(smap_reply, text, sizeof smap_reply);
	size_t written = (len < sizeof smap_reply ? len : sizeof smap_reply - 1) + 1;
	if (written > smap_reply_dirty)
		smap_reply_dirty = written;
	return len;
}

void clear_reply()
{
	memset(smap_reply, 0, smap_reply_dirty);
	smap_reply_dirty = 0;
}

void set_reply_text(const char* text)
{
	copy_reply(text);
}

bool timed_out(int error)
{
	return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

// Closes the connection and leaves the failure's own text in the reply
// buffer, so no earlier reply's value survives into later warnings. Bytes
// read ahead of a query are dropped with the connection.
void smap_reset(const char* why)
{
	shutdown(smap_fd, SHUT_RDWR);
	close(smap_fd);
	smap_fd = -1;
	smap_connected = false;
	smap_surplus = false;
	set_reply_text(why);
}

bool smap_connect()
{
	if ((smap_fd = socket(AF_UNIX, SOCK_STREAM, 0)) == -1) {
		log_warning_sys("warn: socket");
		return false;
	}

	const timeval bound = {SMAP_TIMEOUT_SECONDS, 0};
	sockaddr_un addr;
	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	if (setsockopt(smap_fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) == -1 ||
	    setsockopt(smap_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == -1) {
		log_warning_sys("warn: setsockopt");
	} else if (strlcpy(addr.sun_path, smap_socket_path, sizeof addr.sun_path) >=
	           sizeof addr.sun_path) {
		log_warning("warn: socket path too long");
	} else if (connect(smap_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
		int error = errno;
		log_warning_sys("warn: connect");
		if (timed_out(error))
			set_reply_text("socketmap timed out");
	} else {
		smap_connected = true;
		return true;
	}
	close(smap_fd);
	smap_fd = -1;
	return false;
}

// True when the server has sent something that no query asked for, or has
// closed its end: the next reply read would not answer the next query.
bool smap_out_of_step()
{
	char byte;
	ssize_t n = recv(smap_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
	if (n > 0) {
		log_warning("warn: socketmap sent more than one reply line");
		return true;
	}
	return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

// Ends an exchange that failed at the connection level.
query_result smap_lost(int error)
{
	if (timed_out(error)) {
		smap_reset("socketmap timed out");
		return QUERY_TIMED_OUT;
	}
	log_warning("warn: socketmap has lost its socket");
	smap_reset("lost connection to socket");
	return QUERY_LOST;
}

// Writes the query line "TABLE KEY\n" in one system call, or in as many
// as it takes when the socket accepts only part of it. False with errno
// set when a write fails.
bool smap_send(const char* table, const char* key)
{
	iovec parts[] = {
	        {const_cast<char*>(table), strlen(table)},
	        {const_cast<char*>(" "), 1},
	        {const_cast<char*>(key), strlen(key)},
	        {const_cast<char*>("\n"), 1},
	};
	iovec* part = parts;
	int left = 4;
	while (left > 0) {
		ssize_t n = writev(smap_fd, part, left);
		if (n == -1)
			return false;
		auto done = static_cast<size_t>(n);
		while (left > 0 && done >= part->iov_len) {
			done -= part->iov_len;
			part++;
			left--;
		}
		if (left > 0) {
			part->iov_base = static_cast<char*>(part->iov_base) + done;
			part->iov_len -= done;
		}
	}
	return true;
}

// Reads one reply line into smap_line, NUL-terminated, its length with
// the newline in *len. A line cut short by the end of the connection is
// a reply; one cut short by a read error or the time bound is not.
// Returns 0 for a reply, -1 when the connection ended before any byte or
// the buffer could not grow, else the read's error.
int smap_receive(size_t* len)
{
	size_t held = 0;       // bytes of the line kept at the start of smap_line
	bool dropping = false; // the line is longer than SMAP_LINE_HOLD
	for (;;) {
		// Once the line has outgrown what is kept, the rest of it is read
		// into the space after the kept bytes, only to find its end.
		size_t at = dropping ? SMAP_LINE_HOLD : held;
		if (smap_line_capacity < at + SMAP_READ_SIZE / 2) {
			size_t grown =
			        smap_line_capacity == 0 ? SMAP_READ_SIZE : 2 * smap_line_capacity;
			auto* bigger = static_cast<char*>(realloc(smap_line, grown));
			if (bigger == nullptr)
				return -1;
			smap_line = bigger;
			smap_line_capacity = grown;
		}
		// One byte stays free for the terminating NUL.
		ssize_t n = read(smap_fd, smap_line + at, smap_line_capacity - 1 - at);
		if (n == -1)
			return errno;
		if (n == 0) {
			if (held == 0)
				return -1;
			*len = held;
			break;
		}
		char* end = smap_line + at + n;
		auto* nl = static_cast<char*>(memchr(smap_line + at, '\n', static_cast<size_t>(n)));
		if (nl != nullptr) {
			smap_surplus = nl + 1 < end;
			auto through_nl = static_cast<size_t>(nl + 1 - smap_line);
			*len = dropping ? SMAP_LINE_HOLD : std::min(through_nl, SMAP_LINE_HOLD);
			break;
		}
		if (!dropping) {
			held = std::min(static_cast<size_t>(end - smap_line), SMAP_LINE_HOLD);
			dropping = held == SMAP_LINE_HOLD;
		}
	}
	smap_line[*len] = '\0';
	return 0;
}

query_result smap_query(const char* table, const char* key, smap_outcome* outcome)
{
	clear_reply();
	if (smap_out_of_step())
		return smap_lost(0);
	// Bytes that came in with the last reply are as stale as those the
	// check above finds, and end the connection the same way.
	if (smap_surplus)
		return smap_lost(0);
	if (!smap_send(table, key))
		return smap_lost(errno);

	size_t len = 0;
	int error = smap_receive(&len);
	query_result result = QUERY_ANSWERED;
	if (error != 0)
		result = smap_lost(error == -1 ? 0 : error);
	else
		*outcome = smap_classify_reply(smap_line, len);
	if (smap_line_capacity > SMAP_LINE_KEEP) {
		free(smap_line);
		smap_line = nullptr;
		smap_line_capacity = 0;
	}
	return result;
}

// Asks the server, connecting first when needed. A lost connection is
// reopened once and the query sent again. Returns false when no
// connection could be made (its warnings are logged); otherwise the
// outcome, with a failure's text in the reply buffer.
bool smap_ask(const char* table, const char* key, smap_outcome* outcome)
{
	for (int attempt = 1;; attempt++) {
		if (!smap_connected && !smap_connect()) {
			log_warning("error connecting to %s", smap_socket_path);
			log_warning("warn: %s", smap_reply);
			return false;
		}
		query_result result = smap_query(table, key, outcome);
		if (result == QUERY_ANSWERED)
			return true;
		if (result == QUERY_TIMED_OUT || attempt == 2) {
			*outcome = SMAP_FAILURE;
			return true;
		}
	}
}

} // namespace

smap_outcome smap_classify_reply(char* line, size_t len)
{
	if (len > 0 && line[len - 1] == '\n')
		line[--len] = '\0';
	size_t copied = copy_reply(line);
	if (copied >= sizeof smap_reply) {
		log_warning("warn: socketmap reply too large (>%zu bytes)", sizeof smap_reply);
		set_reply_text("socketmap reply too large");
		return SMAP_FAILURE;
	}
	for (const auto& p : reply_prefixes) {
		if (strncasecmp(smap_reply, p.text, p.length) == 0) {
			// A match means the text holds the whole prefix.
			memmove(smap_reply, smap_reply + p.length, copied - p.length + 1);
			return p.outcome;
		}
	}
	set_reply_text("unrecognized socketmap reply");
	return SMAP_FAILURE;
}

const char* smap_reply_text()
{
	return smap_reply;
}

int smap_update()
{
	return 1;
}

int smap_check(service_kind, dict*, const char*)
{
	return -1;
}

int smap_fetch(service_kind, dict*, char*, size_t)
{
	return -1;
}

int smap_lookup(service_kind kind, dict*, const char* key, char* dst, size_t size)
{
	smap_outcome outcome = SMAP_FAILURE;
	if (!smap_ask(tproto_table_name(), key, &outcome))
		return -1;
	switch (outcome) {
	case SMAP_NOTFOUND:
		return 0;
	case SMAP_FAILURE:
		log_warning("warn: %s", smap_reply);
		return -1;
	case SMAP_FOUND:
		break;
	}
	if (strlcpy(dst, smap_reply, size) >= size) {
		log_warning("warn: result too large");
		return -1;
	}
	if (!served(kind)) {
		log_warning("warn: unknown service %d", static_cast<int>(kind));
		return -1;
	}
	return 1;
}
