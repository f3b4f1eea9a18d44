// SPDX-License-Identifier: ISC
// Throughput benchmark child processes: see tp_child.hpp.
#include "tp_child.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

void tp_child_spawn(tp_child* c, const char* name, char* const argv[])
{
	int to_child[2], from_child[2];
	if (pipe2(to_child, O_CLOEXEC) == -1 || pipe2(from_child, O_CLOEXEC) == -1)
		err(1, "pipe");

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
	posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
	int e = posix_spawnp(&c->pid, argv[0], &actions, nullptr, argv, environ);
	posix_spawn_file_actions_destroy(&actions);
	if (e != 0) {
		errno = e;
		err(1, "cannot start %s", argv[0]);
	}
	close(to_child[0]);
	close(from_child[1]);

	c->name = name;
	c->in = to_child[1];
	c->out = std::make_unique<tp_reader>();
	tp_reader_init(c->out.get(), from_child[0]);
}

void tp_child_handshake(tp_child* c)
{
	static constexpr char hello[] = "config|smtpd|bench\nconfig|ready\n";
	static const char* const expected[] = {
	        "register|alias",    "register|domain",   "register|credentials",
	        "register|netaddr",  "register|userinfo", "register|source",
	        "register|mailaddr", "register|addrname", "register|mailaddrmap",
	        "register|ready",
	};
	tp_write_all(c->in, hello, sizeof hello - 1);
	for (const char* want : expected) {
		char* line;
		size_t len;
		if (!tp_read_line(c->out.get(), &line, &len))
			errx(1, "%s: output ended during the handshake", c->name);
		if (strcmp(line, want) != 0)
			errx(1, "%s: handshake line \"%s\", expected \"%s\"", c->name, line, want);
	}
}

unsigned long long tp_child_cpu_ns(const tp_child* c)
{
	return tp_pid_cpu_ns(c->pid);
}

unsigned long long tp_pid_cpu_ns(pid_t pid)
{
	// The sum over the process's threads that are still running.
	char path[64];
	snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
	DIR* tasks = opendir(path);
	if (tasks == nullptr)
		err(1, "%s", path);
	unsigned long long total = 0;
	while (dirent* e = readdir(tasks)) {
		if (e->d_name[0] == '.')
			continue;
		char stat_path[320];
		snprintf(stat_path, sizeof stat_path, "/proc/%d/task/%s/schedstat",
		         static_cast<int>(pid), e->d_name);
		unsigned long long ns = 0;
		if (FILE* f = fopen(stat_path, "r")) {
			if (fscanf(f, "%llu", &ns) != 1)
				ns = 0;
			fclose(f);
		}
		total += ns;
	}
	closedir(tasks);
	return total;
}

long tp_child_peak_kib(const tp_child* c)
{
	char path[64];
	snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(c->pid));
	FILE* f = fopen(path, "r");
	if (f == nullptr)
		return -1;
	char line[256];
	long kib = -1;
	while (fgets(line, sizeof line, f) != nullptr) {
		if (sscanf(line, "VmHWM: %ld kB", &kib) == 1)
			break;
	}
	fclose(f);
	return kib;
}

void tp_child_finish(tp_child* c, rusage* usage)
{
	close(c->in);
	char* line;
	size_t len;
	if (tp_read_line(c->out.get(), &line, &len))
		errx(1, "%s: unexpected line after the last request: %s", c->name, line);
	close(c->out->fd);

	int status;
	while (wait4(c->pid, &status, 0, usage) == -1) {
		if (errno != EINTR)
			err(1, "wait4");
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		errx(1, "%s: ended with status 0x%x", c->name, status);
}
