// SPDX-License-Identifier: ISC
// Fault notes: see mapfault.hpp.
#include "tools/serve/mapfault.hpp"

#include "support/log.hpp"
#include "tools/serve/metrics.hpp"

#include <unordered_map>

namespace
{

struct fault_note {
	file_stamp stamp;
	std::string text;
};

std::unordered_map<std::string, fault_note> mapfault_notes;

} // namespace

void mapfault_warn(const std::string& table, const std::string& subject, const file_stamp& stamp,
                   const std::string& text)
{
	auto [it, fresh] = mapfault_notes.try_emplace(subject);
	if (!fresh && it->second.text == text && same_stamp(it->second.stamp, stamp))
		return;
	it->second = {stamp, text};
	log_warning("warn: %s", text.c_str());
	metrics_map_fault(table, stamp.ino != 0);
}

void mapfault_seen(const std::string& subject, const file_stamp& stamp)
{
	if (mapfault_notes.empty())
		return;
	auto note = mapfault_notes.find(subject);
	if (note != mapfault_notes.end() && !same_stamp(note->second.stamp, stamp))
		mapfault_notes.erase(note);
}

void mapfault_gone(const std::string& subject)
{
	mapfault_notes.erase(subject);
}

void mapfault_forget_all()
{
	mapfault_notes.clear();
}
