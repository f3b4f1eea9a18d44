// SPDX-License-Identifier: ISC
// File stamps: what tells one version of a file from another, as a file
// replaced by rename or rewritten in place shows it: its device and inode,
// its size, and its modification and change times, to the nanosecond.
// Nothing here keeps state or fails.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

struct file_stamp {
	dev_t dev = 0;
	ino_t ino = 0;
	off_t size = 0;
	timespec mtime = {};
	timespec ctime = {};
};

file_stamp stamp_of(const struct stat& st);
bool same_stamp(const file_stamp& a, const file_stamp& b);
