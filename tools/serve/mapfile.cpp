// SPDX-License-Identifier: ISC
// Map file: see mapfile.hpp.
#include "tools/serve/mapfile.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace
{

// Entry blocks (invariant 6): block b holds MAPFILE_BLOCK_FIRST << b
// entries up to block BLOCK_DOUBLINGS, which holds MAPFILE_BLOCK_MAX, as
// does every block after it. Counting from n + MAPFILE_BLOCK_FIRST, a
// doubling block b starts at MAPFILE_BLOCK_FIRST << b, and the blocks of
// MAPFILE_BLOCK_MAX start at its multiples from twice it on.
constexpr unsigned FIRST_SHIFT = std::countr_zero(MAPFILE_BLOCK_FIRST);
constexpr unsigned MAX_SHIFT = std::countr_zero(MAPFILE_BLOCK_MAX);
constexpr size_t BLOCK_DOUBLINGS = MAX_SHIFT - FIRST_SHIFT;
static_assert(std::has_single_bit(MAPFILE_BLOCK_FIRST) && std::has_single_bit(MAPFILE_BLOCK_MAX) &&
              MAPFILE_BLOCK_FIRST <= MAPFILE_BLOCK_MAX);

// Where entry n lies, as its block times MAPFILE_BLOCK_MAX plus its place
// in the block. The buckets and chains hold slots, so that a lookup finds
// an entry with a shift and a mask, whatever the size of its block.
size_t slot_of(size_t n)
{
	size_t i = n + MAPFILE_BLOCK_FIRST;
	if (i < 2 * MAPFILE_BLOCK_MAX) {
		size_t b = static_cast<size_t>(std::bit_width(i)) - 1 - FIRST_SHIFT;
		return (b << MAX_SHIFT) | (i - (MAPFILE_BLOCK_FIRST << b));
	}
	return (((i >> MAX_SHIFT) + BLOCK_DOUBLINGS - 1) << MAX_SHIFT) |
	       (i & (MAPFILE_BLOCK_MAX - 1));
}

inline mapfile_entry& at_slot(const mapfile& m, size_t slot)
{
	return m.blocks[slot >> MAX_SHIFT][slot & (MAPFILE_BLOCK_MAX - 1)];
}

// Makes room for one more entry.
void grow(mapfile* m)
{
	size_t b = m->blocks.size();
	size_t size = b < BLOCK_DOUBLINGS ? MAPFILE_BLOCK_FIRST << b : MAPFILE_BLOCK_MAX;
	// Not zeroed: an entry is written whole when it is added, so the
	// block's pages are touched as entries fill it.
	m->blocks.push_back(std::make_unique_for_overwrite<mapfile_entry[]>(size));
	m->capacity += size;
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

uint32_t key_hash(std::string_view key)
{
	return static_cast<uint32_t>(std::hash<std::string_view>{}(key));
}

// The entry of `key`, or null.
const mapfile_entry* find_entry(const mapfile& m, std::string_view key, uint32_t hash)
{
	for (uint32_t n = m.buckets[hash & m.mask]; n != 0;) {
		const mapfile_entry& e = at_slot(m, n - 1);
		if (e.hash == hash && e.key_len == key.size() &&
		    memcmp(m.text.data() + e.key, key.data(), key.size()) == 0)
			return &e;
		n = e.next;
	}
	return nullptr;
}

void skip_line(mapfile* m, const mapfile_skip_fn& skip, const char* why)
{
	m->skipped++;
	if (skip)
		skip(m->lines, why);
}

// Indexes the line at text[start, start + len), its newline excluded.
void index_line(mapfile* m, size_t start, size_t len, const mapfile_skip_fn& skip)
{
	std::string_view line = std::string_view(m->text).substr(start, len);
	m->lines++;
	if (!line.empty() && line.back() == '\r')
		line.remove_suffix(1);

	size_t i = 0;
	while (i < line.size() && is_blank(line[i]))
		i++;
	if (i == line.size() || line[i] == '#')
		return;
	if (line.find('\0') != std::string_view::npos) {
		skip_line(m, skip, "NUL byte");
		return;
	}
	size_t key_end = i;
	while (key_end < line.size() && !is_blank(line[key_end]))
		key_end++;
	size_t value_start = key_end;
	while (value_start < line.size() && is_blank(line[value_start]))
		value_start++;
	std::string_view key = line.substr(i, key_end - i);
	if (line.size() - value_start > MAPFILE_VALUE_MAX) {
		static const std::string too_long =
		        "value longer than " + std::to_string(MAPFILE_VALUE_MAX) + " bytes";
		skip_line(m, skip, too_long.c_str());
		return;
	}
	uint32_t hash = key_hash(key);
	if (find_entry(*m, key, hash) != nullptr) {
		skip_line(m, skip, "duplicate key");
		return;
	}
	if (m->count == m->capacity)
		grow(m);
	size_t slot = slot_of(m->count++);
	uint32_t& bucket = m->buckets[hash & m->mask];
	at_slot(*m, slot) = {start + i,
	                     start + value_start,
	                     static_cast<uint32_t>(key.size()),
	                     static_cast<uint32_t>(line.size() - value_start),
	                     hash,
	                     bucket};
	bucket = static_cast<uint32_t>(slot + 1);
}

} // namespace

bool mapfile_init(mapfile* m, size_t size_hint)
{
	size_t buckets = std::bit_ceil(std::max<size_t>(64, size_hint / 32));
	try {
		*m = mapfile{};
		m->text.reserve(size_hint);
	} catch (const std::bad_alloc&) {
		return false;
	}
	m->buckets.reset(static_cast<uint32_t*>(calloc(buckets, sizeof(uint32_t))));
	m->mask = buckets - 1;
	return m->buckets != nullptr;
}

void mapfile_append(mapfile* m, std::string_view bytes)
{
	m->text.append(bytes);
}

bool mapfile_index(mapfile* m, size_t budget, bool at_end, const mapfile_skip_fn& skip)
{
	// Indexing writes to the buckets at random, and would fault in the
	// pages of the whole array at its first step: they are touched in
	// order first, a bounded part per step.
	size_t buckets = m->mask + 1;
	if (m->touched < buckets) {
		size_t n = std::min(buckets - m->touched, budget);
		memset(&m->buckets[m->touched], 0, n * sizeof(uint32_t));
		m->touched += n;
	}
	// Complete lines only, and the last one once the text is complete.
	size_t stop = m->parsed + std::min(budget, m->text.size() - m->parsed);
	while (m->touched == buckets && m->parsed < m->text.size()) {
		size_t nl = m->text.find('\n', std::max(m->parsed, m->scanned));
		if (nl == std::string::npos && !at_end) {
			m->scanned = m->text.size();
			break;
		}
		size_t end = nl == std::string::npos ? m->text.size() : nl;
		index_line(m, m->parsed, end - m->parsed, skip);
		m->parsed = nl == std::string::npos ? end : end + 1;
		if (m->parsed >= stop)
			break;
	}
	return at_end && m->parsed == m->text.size();
}

bool mapfile_find(const mapfile& m, std::string_view key, std::string_view* value)
{
	const mapfile_entry* e = find_entry(m, key, key_hash(key));
	if (e == nullptr)
		return false;
	*value = std::string_view(m.text).substr(e->value, e->value_len);
	return true;
}

size_t mapfile_count(const mapfile& m)
{
	return m.count;
}

std::string_view mapfile_key(const mapfile& m, size_t n)
{
	const mapfile_entry& e = at_slot(m, slot_of(n));
	return std::string_view(m.text).substr(e.key, e.key_len);
}

std::string_view mapfile_value(const mapfile& m, size_t n)
{
	const mapfile_entry& e = at_slot(m, slot_of(n));
	return std::string_view(m.text).substr(e.value, e.value_len);
}
