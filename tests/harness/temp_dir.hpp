// SPDX-License-Identifier: ISC
// Test harness: a temporary directory for one test, and whole-file reads
// and writes.
//
// The directory is removed with everything in it when the temp_dir goes;
// its path is kept short, because socket paths in it must fit sun_path.
#pragma once

#include <string>

struct temp_dir {
	std::string path;
	temp_dir();
	~temp_dir();
	temp_dir(const temp_dir&) = delete;
	temp_dir& operator=(const temp_dir&) = delete;
	std::string file(const std::string& name) const
	{
		return path + "/" + name;
	}
};

// Replaces the file's contents with `text`.
void write_file(const std::string& path, const std::string& text);
// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);
