// SPDX-License-Identifier: ISC
// Prometheus's text format: see promtext.hpp.
#include "tools/serve/promtext.hpp"

#include <cinttypes>
#include <cstdio>

void prom_escape_label(std::string* out, std::string_view value)
{
	for (char c : value) {
		if (c == '\\')
			out->append("\\\\");
		else if (c == '"')
			out->append("\\\"");
		else if (c == '\n')
			out->append("\\n");
		else
			out->push_back(c);
	}
}

std::string prom_micros(int64_t us)
{
	// The magnitude as unsigned: -INT64_MIN does not fit an int64_t.
	uint64_t mag = us < 0 ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
	char text[40];
	int len = snprintf(text, sizeof text, "%s%" PRIu64, us < 0 ? "-" : "", mag / 1000000);
	unsigned fraction = static_cast<unsigned>(mag % 1000000);
	if (fraction != 0) {
		int digits = 6;
		while (fraction % 10 == 0) {
			fraction /= 10;
			digits--;
		}
		snprintf(text + len, sizeof text - static_cast<size_t>(len), ".%0*u", digits,
		         fraction);
	}
	return text;
}

void prom_text::family(std::string_view name, std::string_view type, std::string_view help)
{
	out_->append("# HELP ").append(name).push_back(' ');
	for (char c : help) {
		if (c == '\\')
			out_->append("\\\\");
		else if (c == '\n')
			out_->append("\\n");
		else
			out_->push_back(c);
	}
	out_->append("\n# TYPE ").append(name).append(" ").append(type).push_back('\n');
}

void prom_text::sample(std::string_view name, std::initializer_list<prom_label> labels,
                       std::string_view value)
{
	out_->append(name);
	if (labels.size() > 0) {
		char sep = '{';
		for (const prom_label& l : labels) {
			out_->push_back(sep);
			out_->append(l.name).append("=\"");
			prom_escape_label(out_, l.value);
			out_->push_back('"');
			sep = ',';
		}
		out_->push_back('}');
	}
	out_->append(" ").append(value).push_back('\n');
}

void prom_text::sample(std::string_view name, std::initializer_list<prom_label> labels,
                       uint64_t value)
{
	sample(name, labels, std::to_string(value));
}

void prom_text::histogram(std::string_view name, const int64_t* bounds_us, size_t n,
                          const uint64_t* buckets, int64_t sum_us)
{
	std::string bucket = std::string(name) + "_bucket";
	uint64_t cumulative = 0;
	for (size_t i = 0; i < n; i++) {
		cumulative += buckets[i];
		sample(bucket, {{"le", prom_micros(bounds_us[i])}}, cumulative);
	}
	cumulative += buckets[n];
	sample(bucket, {{"le", "+Inf"}}, cumulative);
	sample(std::string(name) + "_sum", {}, prom_micros(sum_us));
	sample(std::string(name) + "_count", {}, cumulative);
}
