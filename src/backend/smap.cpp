// Socketmap backend: see smap.hpp.
#include "backend/smap.hpp"

#include "support/compat.hpp"
#include "support/log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

const char* smap_socket_path;

namespace
{

int smap_fd = -1;
FILE* smap_stream;
bool smap_connected;
char smap_reply[SMAP_REPLY_SIZE];
// Every byte of smap_reply from this offset on is zero, so clearing the
// buffer before a query touches only what was written since the last one.
size_t smap_reply_dirty;

// The reply line is read into this buffer, kept from one query to the next
// so that a lookup does not allocate; a reply that grew it past
// SMAP_LINE_KEEP bytes releases it, so one long reply does not pin its
// memory for the rest of the run.
constexpr size_t SMAP_LINE_KEEP = 8192;
char* smap_line;
size_t smap_line_capacity;

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

// What one exchange on the open connection came to.
enum query_result {
	QUERY_ANSWERED, // a reply line was read and classified
	QUERY_LOST,     // the connection failed; it has been reset
	QUERY_TIMED_OUT // the time bound expired; the connection has been reset
};

// Copies text into smap_reply as strlcpy() does, and returns its result.
size_t set_reply_text(const char* text)
{
	size_t len = strlcpy(smap_reply, text, sizeof smap_reply);
	size_t written = std::min(len, sizeof smap_reply - 1) + 1;
	smap_reply_dirty = std::max(smap_reply_dirty, written);
	return len;
}

// Clears the whole reply buffer to zero bytes.
void clear_reply()
{
	memset(smap_reply, 0, smap_reply_dirty);
	smap_reply_dirty = 0;
}

bool timed_out(int error)
{
	return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

// Closes the connection and leaves the failure's own text in the reply
// buffer, so no earlier reply's value survives into later warnings.
void smap_reset(const char* why)
{
	// Shut the socket down first: fclose() then cannot block on output
	// that a stalled server never reads.
	shutdown(smap_fd, SHUT_RDWR);
	fclose(smap_stream);
	smap_stream = nullptr;
	smap_fd = -1;
	smap_connected = false;
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
	} else if ((smap_stream = fdopen(smap_fd, "w+")) == nullptr) {
		log_warning_sys("warn: fdopen");
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

// Writes the query line "TABLE KEY\n" and flushes it: the bytes of the
// format "%s %s\n". A line that fits the local buffer is put together there
// and handed to the stream in one call, which costs far less than parsing a
// format for every query; a longer one goes out piece by piece. False, with
// errno set, when a write fails.
bool smap_send(const char* table, const char* key)
{
	size_t table_len = strlen(table), key_len = strlen(key);
	char line[512];
	if (table_len + key_len + 2 <= sizeof line) {
		memcpy(line, table, table_len);
		line[table_len] = ' ';
		memcpy(line + table_len + 1, key, key_len);
		line[table_len + 1 + key_len] = '\n';
		if (fwrite(line, 1, table_len + key_len + 2, smap_stream) !=
		    table_len + key_len + 2)
			return false;
	} else if (fwrite(table, 1, table_len, smap_stream) != table_len ||
	           putc(' ', smap_stream) == EOF ||
	           fwrite(key, 1, key_len, smap_stream) != key_len ||
	           putc('\n', smap_stream) == EOF) {
		return false;
	}
	return fflush(smap_stream) == 0;
}

query_result smap_query(const char* table, const char* key, smap_outcome* outcome)
{
	clear_reply();
	if (smap_out_of_step())
		return smap_lost(0);
	if (!smap_send(table, key))
		return smap_lost(errno);

	ssize_t n = getline(&smap_line, &smap_line_capacity, smap_stream);
	int error = errno;
	char* line = smap_line;
	// A line cut short by the end of the connection is a reply; one cut
	// short by a read error or the time bound is not.
	bool complete = n > 0 && (line[n - 1] == '\n' || !ferror(smap_stream));
	query_result result = QUERY_ANSWERED;
	if (!complete)
		result = smap_lost(ferror(smap_stream) ? error : 0);
	else
		*outcome = smap_classify_reply(line, static_cast<size_t>(n));
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
	// The text is the line up to its first NUL.
	size_t text_len = set_reply_text(line);
	if (text_len >= sizeof smap_reply) {
		log_warning("warn: socketmap reply too large (>%zu bytes)", sizeof smap_reply);
		set_reply_text("socketmap reply too large");
		return SMAP_FAILURE;
	}
	const smap_prefix* p = smap_reply_prefix(smap_reply, text_len);
	if (p == nullptr) {
		set_reply_text("unrecognized socketmap reply");
		return SMAP_FAILURE;
	}
	memmove(smap_reply, smap_reply + p->length, text_len - p->length + 1);
	return p->outcome;
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
