// SPDX-License-Identifier: ISC
// Socketmap backend: see smap.hpp.
#include "backend/smap.hpp"

#include "support/compat.hpp"
#include "support/log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <poll.h>
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
// Every byte of smap_reply from this offset on is zero, so clearing the
// buffer before a query touches only what was written since the last one.
size_t smap_reply_dirty;

// The bound on a connect and on one exchange, in milliseconds.
int smap_timeout_ms = SMAP_TIMEOUT_SECONDS * 1000;

// Bytes received from the server: room for a reply line of SMAP_REPLY_MAX
// bytes, its newline and a NUL after them. Nothing more of one reply is
// ever held: a longer line is decided on its first SMAP_REPLY_SIZE bytes.
char smap_in[SMAP_REPLY_SIZE + 1];
// A read brought bytes beyond the reply line: the server is out of step,
// and the connection must not be used for another query.
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

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the socket is ready for `events` or the deadline passes;
// false with errno ETIMEDOUT (or poll's error) when it is not ready. Not
// inlined: a lookup whose query and reply each take one call never waits,
// and its path stays as short as without the waits.
[[gnu::noinline]] bool wait_ready(short events, int64_t deadline)
{
	for (;;) {
		int64_t left = deadline - now_ms();
		if (left <= 0) {
			errno = ETIMEDOUT;
			return false;
		}
		pollfd p = {smap_fd, events, 0};
		int n = poll(&p, 1, static_cast<int>(left));
		if (n > 0)
			return true;
		if (n < 0 && errno != EINTR)
			return false;
	}
}

// Closes the connection. The next lookup connects again.
void smap_close()
{
	close(smap_fd);
	smap_fd = -1;
	smap_connected = false;
	smap_surplus = false;
}

// Closes the connection and leaves the failure's own text in the reply
// buffer, so no earlier reply's value survives into later warnings.
void smap_reset(const char* why)
{
	smap_close();
	set_reply_text(why);
}

// Connects to addr within the time bound, which the socket's send time-out
// already holds. A connect interrupted by a signal (a stop and continue, a
// tracer attaching) is made again with what is left of the bound; where
// the interrupted attempt goes on by itself, its end is waited for. False
// with errno set when it fails, and EAGAIN, as the socket's own time-out
// reports it, when the bound passes first.
bool smap_connect_within(const sockaddr_un& addr)
{
	int64_t deadline = now_ms() + smap_timeout_ms;
	for (bool again = false;; again = true) {
		if (connect(smap_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
		    (again && errno == EISCONN))
			return true;
		if (errno == EALREADY || errno == EINPROGRESS) {
			int error = 0;
			socklen_t len = sizeof error;
			if (!wait_ready(POLLOUT, deadline))
				error = errno == ETIMEDOUT ? EAGAIN : errno;
			else if (getsockopt(smap_fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1)
				error = errno;
			errno = error;
			return error == 0;
		}
		if (errno != EINTR)
			return false;
		int64_t left = deadline - now_ms();
		if (left <= 0) {
			errno = EAGAIN;
			return false;
		}
		const timeval rest = {static_cast<time_t>(left / 1000),
		                      static_cast<suseconds_t>(left % 1000 * 1000)};
		setsockopt(smap_fd, SOL_SOCKET, SO_SNDTIMEO, &rest, sizeof rest);
	}
}

bool smap_connect()
{
	// The connect warnings end with this attempt's own text, if it has one.
	clear_reply();
	if ((smap_fd = socket(AF_UNIX, SOCK_STREAM, 0)) == -1) {
		log_warning_sys("warn: socket");
		return false;
	}

	const timeval bound = {smap_timeout_ms / 1000, smap_timeout_ms % 1000 * 1000};
	sockaddr_un addr;
	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	if (setsockopt(smap_fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) == -1 ||
	    setsockopt(smap_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == -1) {
		log_warning_sys("warn: setsockopt");
	} else if (strlcpy(addr.sun_path, smap_socket_path, sizeof addr.sun_path) >=
	           sizeof addr.sun_path) {
		log_warning("warn: socket path too long");
	} else if (addr.sun_path[0] == '\0') {
		// An all-zero path would name an abstract socket, which any local
		// user may bind. An empty path names no file.
		errno = ENOENT;
		log_warning_sys("warn: connect");
	} else if (!smap_connect_within(addr)) {
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
	ssize_t n = smap_surplus ? 1 : recv(smap_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
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

// Writes the query line "TABLE KEY\n", the bytes of the format "%s %s\n",
// in one call when the socket takes it whole. No call blocks: a query
// larger than the socket takes at once waits for room within what is left
// of the deadline, so that a server that reads slowly cannot stretch the
// exchange past its bound. False, with errno set, when the write fails or
// the deadline passes first.
bool smap_send(const char* table, const char* key, int64_t deadline)
{
	iovec iov[] = {{const_cast<char*>(table), strlen(table)},
	               {const_cast<char*>(" "), 1},
	               {const_cast<char*>(key), strlen(key)},
	               {const_cast<char*>("\n"), 1}};
	msghdr msg = {};
	msg.msg_iov = iov;
	msg.msg_iovlen = std::size(iov);
	for (;;) {
		ssize_t n = sendmsg(smap_fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n >= 0) {
			auto sent = static_cast<size_t>(n);
			while (msg.msg_iovlen > 0 && sent >= msg.msg_iov->iov_len) {
				sent -= msg.msg_iov->iov_len;
				msg.msg_iov++;
				msg.msg_iovlen--;
			}
			if (msg.msg_iovlen == 0)
				return true;
			msg.msg_iov->iov_base = static_cast<char*>(msg.msg_iov->iov_base) + sent;
			msg.msg_iov->iov_len -= sent;
		} else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
			return false;
		}
		if (!wait_ready(POLLOUT, deadline))
			return false;
	}
}

// Receives what the server sent into buf: the byte count, 0 at the end of
// the stream, or -1 with errno set (a timeout when the deadline passed).
// *may_block allows one read that waits on the socket's own time bound.
ssize_t smap_receive(char* buf, size_t size, int64_t deadline, bool* may_block)
{
	for (;;) {
		ssize_t n = recv(smap_fd, buf, size, *may_block ? 0 : MSG_DONTWAIT);
		bool blocked = *may_block;
		*may_block = false;
		if (n >= 0 || (errno != EINTR && (errno != EAGAIN || blocked)))
			return n;
		if (errno == EAGAIN && !wait_ready(POLLIN, deadline))
			return -1;
	}
}

// Reads the rest of a line whose text is already known, up to its newline.
query_result smap_skip_line(int64_t deadline)
{
	bool may_block = false;
	for (;;) {
		ssize_t n = smap_receive(smap_in, sizeof smap_in - 1, deadline, &may_block);
		if (n == 0)
			return QUERY_ANSWERED; // the line was the connection's last
		if (n < 0)
			return smap_lost(errno);
		auto* nl = static_cast<char*>(memchr(smap_in, '\n', static_cast<size_t>(n)));
		if (nl != nullptr) {
			smap_surplus = nl + 1 < smap_in + n;
			return QUERY_ANSWERED;
		}
	}
}

// Reads one reply line and classifies it.
query_result smap_read_reply(int64_t deadline, bool may_block, smap_outcome* outcome)
{
	size_t len = 0;
	for (;;) {
		ssize_t n =
		        smap_receive(smap_in + len, SMAP_REPLY_SIZE - len, deadline, &may_block);
		if (n < 0)
			return smap_lost(errno);
		if (n == 0) {
			// A line cut short by the end of the connection is a reply.
			if (len == 0)
				return smap_lost(0);
			smap_in[len] = '\0';
			*outcome = smap_classify_reply(smap_in, len);
			return QUERY_ANSWERED;
		}
		auto* nl = static_cast<char*>(memchr(smap_in + len, '\n', static_cast<size_t>(n)));
		len += static_cast<size_t>(n);
		if (nl != nullptr) {
			size_t line_len = static_cast<size_t>(nl - smap_in) + 1;
			smap_surplus = line_len < len;
			smap_in[line_len] = '\0';
			*outcome = smap_classify_reply(smap_in, line_len);
			return QUERY_ANSWERED;
		}
		if (len == SMAP_REPLY_SIZE) {
			// Longer than any reply: its text is too large, unless a NUL
			// ended it early. The rest of a too-large line is never read:
			// the connection goes, so that none of it can answer a later
			// query.
			smap_in[len] = '\0';
			*outcome = smap_classify_reply(smap_in, len);
			if (memchr(smap_in, '\0', len) != nullptr)
				return smap_skip_line(deadline);
			smap_close();
			return QUERY_ANSWERED;
		}
	}
}

// One exchange: the query out and its reply back, bounded together by
// the time bound.
query_result smap_query(const char* table, const char* key, smap_outcome* outcome)
{
	clear_reply();
	if (smap_out_of_step())
		return smap_lost(0);
	int64_t start = now_ms();
	int64_t deadline = start + smap_timeout_ms;
	if (!smap_send(table, key, deadline))
		return smap_lost(errno);
	// A reply that arrives in one read costs one blocking read, bounded by
	// the socket itself; that bound ends with the deadline as long as the
	// write took no time worth counting.
	return smap_read_reply(deadline, now_ms() - start <= 1, outcome);
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

void smap_set_timeout_ms(int ms)
{
	smap_timeout_ms = ms;
}

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
