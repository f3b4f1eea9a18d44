// SPDX-License-Identifier: ISC
#include "temp_dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

temp_dir::temp_dir()
{
	char tmpl[] = "/tmp/smapt.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	path = tmpl;
}

temp_dir::~temp_dir()
{
	std::error_code ignored;
	std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string& path, const std::string& text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
}

std::string read_file(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}
