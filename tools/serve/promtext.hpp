// SPDX-License-Identifier: ISC
// Prometheus's text exposition format, version 0.0.4: the lines of a
// metrics file, appended to a string.
//
// Rules:
// 1. Every family starts with its HELP and TYPE lines; its samples follow
//    it and no other family's come between.
// 2. Label values escape backslash, double quote and newline as \\, \"
//    and \n; HELP texts escape backslash and newline. Nothing else is
//    changed: names and label names are the caller's constants.
// 3. Samples carry no timestamp.
// 4. Times in microseconds are written as exact decimal seconds, with no
//    trailing zeros ("0.0005", "2.5", "10"); counts as integers.
// 5. A histogram writes cumulative _bucket samples with `le` from its
//    bounds, then le="+Inf", _sum and _count.
//
// The caller owns the string. Nothing here fails or keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

struct prom_label {
	std::string_view name;
	std::string_view value;
};

// Appends `value` escaped as rule 2 says for a label value.
void prom_escape_label(std::string* out, std::string_view value);
// Rule 4.
std::string prom_micros(int64_t us);

class prom_text
{
public:
	explicit prom_text(std::string* out) : out_(out) {}

	// The HELP and TYPE lines of family `name`.
	void family(std::string_view name, std::string_view type, std::string_view help);
	// One sample; `value` is written as it is given.
	void sample(std::string_view name, std::initializer_list<prom_label> labels,
	            std::string_view value);
	void sample(std::string_view name, std::initializer_list<prom_label> labels,
	            uint64_t value);
	// The samples of histogram `name` (rule 5): `buckets[i]` observations
	// up to `bounds_us[i]` and not in an earlier bucket, for i < n, and
	// buckets[n] beyond the last bound.
	void histogram(std::string_view name, const int64_t* bounds_us, size_t n,
	               const uint64_t* buckets, int64_t sum_us);

private:
	std::string* out_;
};
