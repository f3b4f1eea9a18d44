// SPDX-License-Identifier: ISC
// The metrics file: see metricsfile.hpp.
#include "tools/serve/metricsfile.hpp"

#include "support/log.hpp"
#include "tools/net/errtext.hpp"
#include "tools/serve/metrics.hpp"
#include "tools/serve/metricstext.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace
{

// What the loop and the writer thread share.
struct writer {
	std::string path;
	std::mutex lock;
	std::condition_variable wake; // a text was handed over
	std::condition_variable done; // a write ended
	std::string text;             // waiting to be written
	bool waiting = false;
	uint64_t handed = 0; // texts handed over
	uint64_t ended = 0;  // the last of them whose write ended
	std::string outcome; // the reason that write failed, or ""
	bool outcome_new = false;
};

std::shared_ptr<writer> file_writer;
int64_t file_interval_ms;
int64_t file_due = -1;
std::string file_failure; // the reason last logged, until a write works

void write_forever(const std::shared_ptr<writer>& w)
{
	std::unique_lock<std::mutex> g(w->lock);
	for (;;) {
		w->wake.wait(g, [&] { return w->waiting; });
		std::string text = std::move(w->text);
		uint64_t number = w->handed;
		w->waiting = false;
		g.unlock();
		std::string why;
		metrics_file_write(w->path, text, &why);
		g.lock();
		w->outcome = why;
		w->outcome_new = true;
		w->ended = number;
		w->done.notify_all();
	}
}

// Logs the outcome of the last write, if it is new (rule 4).
void report(writer* w)
{
	std::string outcome;
	{
		std::lock_guard<std::mutex> g(w->lock);
		if (!w->outcome_new)
			return;
		w->outcome_new = false;
		outcome = w->outcome;
	}
	if (outcome.empty() && !file_failure.empty())
		log_note("metrics file %s written again", w->path.c_str());
	else if (!outcome.empty() && outcome != file_failure)
		log_warning("warn: metrics file %s not written: %s", w->path.c_str(),
		            outcome.c_str());
	file_failure = outcome;
}

// Hands the writer the text of the metrics now; returns its number.
uint64_t hand_over(writer* w)
{
	std::string text;
	metrics_text(metrics_now(), &text);
	std::lock_guard<std::mutex> g(w->lock);
	w->text = std::move(text);
	w->waiting = true;
	w->wake.notify_one();
	return ++w->handed;
}

} // namespace

void metrics_file_start(const char* path, int64_t interval_ms, int64_t now)
{
	auto w = std::make_shared<writer>();
	w->path = path;
	// The thread takes no signal: they stay with the loop.
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	try {
		std::thread([w] { write_forever(w); }).detach();
		file_writer = w;
		file_interval_ms = interval_ms;
		file_due = now;
	} catch (const std::system_error& e) {
		log_warning("warn: metrics file %s not written: cannot start its writer: %s", path,
		            e.what());
	}
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int64_t metrics_file_due()
{
	return file_due;
}

void metrics_file_run(int64_t now)
{
	if (file_due == -1 || now < file_due)
		return;
	file_due = now + file_interval_ms;
	report(file_writer.get());
	hand_over(file_writer.get());
}

void metrics_file_finish()
{
	if (file_writer == nullptr)
		return;
	writer* w = file_writer.get();
	uint64_t number = hand_over(w);
	bool ended;
	{
		std::unique_lock<std::mutex> g(w->lock);
		ended = w->done.wait_for(g, std::chrono::milliseconds(METRICS_FILE_EXIT_MS),
		                         [&] { return w->ended >= number; });
	}
	if (ended)
		report(w);
	else
		log_warning("warn: metrics file %s not written: the write at exit took more than "
		            "%d seconds",
		            w->path.c_str(), static_cast<int>(METRICS_FILE_EXIT_MS / 1000));
	file_due = -1;
}

bool metrics_file_write(const std::string& path, const std::string& text, std::string* why)
{
	std::string tmp = path + ".tmp";
	// Non-blocking: a FIFO put in its place cannot hang the writer.
	int fd = open(tmp.c_str(),
	              O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
	if (fd == -1) {
		*why = with_error("cannot create " + tmp, errno);
		return false;
	}
	struct stat st;
	if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
		*why = tmp + " is not a regular file";
		close(fd);
		return false;
	}
	int error = 0;
	std::string what;
	if (fchmod(fd, 0644) == -1) {
		error = errno;
		what = "cannot set the mode of " + tmp;
	}
	for (size_t done = 0; error == 0 && done < text.size();) {
		ssize_t n = write(fd, text.data() + done, text.size() - done);
		if (n > 0) {
			done += static_cast<size_t>(n);
		} else if (n == 0 || errno != EINTR) {
			error = n == 0 ? EIO : errno;
			what = "cannot write " + tmp;
		}
	}
	if (close(fd) == -1 && error == 0) {
		error = errno;
		what = "cannot write " + tmp;
	}
	if (error == 0 && rename(tmp.c_str(), path.c_str()) == -1) {
		error = errno;
		what = "cannot rename " + tmp + " to " + path;
	}
	if (error == 0)
		return true;
	unlink(tmp.c_str());
	*why = with_error(what, error);
	return false;
}
