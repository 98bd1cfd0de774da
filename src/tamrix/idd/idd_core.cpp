#include "tamrix/idd/idd_core.hpp"

#include <charconv>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "tamrix/utils/text.hpp"

namespace tamrix {

const FieldDef* get_field_def(const ClassDef* cls, size_t index) noexcept {
  if (cls == nullptr) return nullptr;
  if (index < cls->fields.size()) return &cls->fields[index];
  const ExtensibleDef& ext = cls->extensible;
  if (!ext.is_extensible || ext.size <= 0) return nullptr;
  size_t begin = static_cast<size_t>(ext.begin_index);
  size_t declared = begin + (index - begin) % static_cast<size_t>(ext.size);
  return declared < cls->fields.size() ? &cls->fields[declared] : nullptr;
}

namespace {

std::string with_units(std::string name, const FieldDef& def, bool add_units) {
  if (add_units && !def.units.empty()) {
    name += " {";
    name += def.units;
    name += '}';
  }
  return name;
}

}  // namespace

std::string extensible_field_name(const ClassDef* cls, size_t i) {
  const ExtensibleDef& ext = cls->extensible;
  if (!ext.is_extensible || ext.size <= 0 || ext.patterns.size() != static_cast<size_t>(ext.size) ||
      i < static_cast<size_t>(ext.begin_index)) {
    return {};
  }
  size_t offset = i - static_cast<size_t>(ext.begin_index);
  size_t group = offset / static_cast<size_t>(ext.size);
  size_t member = offset % static_cast<size_t>(ext.size);
  const ExtPattern& pattern = ext.patterns[member];
  if (pattern.number < 0) return pattern.prefix;
  // Built in one allocation: dictionaries name thousands of fields so.
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits,
                                 static_cast<long long>(pattern.number) +
                                     static_cast<long long>(pattern.step) * static_cast<long long>(group));
  size_t count = static_cast<size_t>(end - digits);
  std::string name;
  name.reserve(pattern.prefix.size() + count + pattern.suffix.size());
  name += pattern.prefix;
  name.append(digits, count);
  name += pattern.suffix;
  return name;
}

std::string get_field_name(const ClassDef* cls, int index, bool add_units) {
  if (cls == nullptr || index < 0) return {};
  size_t i = static_cast<size_t>(index);
  if (i < cls->fields.size()) return with_units(cls->fields[i].name, cls->fields[i], add_units);
  const FieldDef* def = get_field_def(cls, i);
  if (def == nullptr) return {};
  return with_units(extensible_field_name(cls, i), *def, add_units);
}

void append_field_name(std::string& out, const ClassDef* cls, int index, bool add_units) {
  if (cls == nullptr || index < 0) return;
  size_t i = static_cast<size_t>(index);
  const FieldDef* def;
  if (i < cls->fields.size()) {
    def = &cls->fields[i];
    out += def->name;
  } else {
    def = get_field_def(cls, i);
    if (def == nullptr) return;
    const ExtensibleDef& ext = cls->extensible;
    if (ext.patterns.size() == static_cast<size_t>(ext.size) && i >= static_cast<size_t>(ext.begin_index)) {
      size_t offset = i - static_cast<size_t>(ext.begin_index);
      const ExtPattern& pattern = ext.patterns[offset % static_cast<size_t>(ext.size)];
      out += pattern.prefix;
      if (pattern.number >= 0) {
        char digits[24];
        long long number = static_cast<long long>(pattern.number) +
                           static_cast<long long>(pattern.step) * static_cast<long long>(offset / static_cast<size_t>(ext.size));
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
        out.append(digits, static_cast<size_t>(end - digits));
        out += pattern.suffix;
      }
    }
  }
  if (add_units && !def->units.empty()) {
    out += " {";
    out += def->units;
    out += '}';
  }
}

namespace {

// A hash under which names equal but for ASCII letter case agree: eight
// bytes at a time, each with its 0x20 bit set (which folds A-Z onto a-z;
// the few other bytes it merges are told apart by the comparison after).
uint32_t folded_name_hash(std::string_view name) noexcept {
  constexpr uint64_t kFold = 0x2020202020202020ULL;
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  const char* p = name.data();
  size_t n = name.size();
  uint64_t h = kMul ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    h = (h ^ (word | kFold)) * kMul;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p + i, n - i);
  h = (h ^ (tail | kFold)) * kMul;
  h ^= h >> 32;
  return static_cast<uint32_t>(h);
}

// The same name, ASCII case-insensitively; most lookups spell it exactly.
bool same_field_name(const std::string& held, std::string_view name) noexcept {
  return held.size() == name.size() &&
         (std::memcmp(held.data(), name.data(), name.size()) == 0 || ascii_iequals(held, name));
}

}  // namespace

void FieldNameIndex::build(const FieldList& fields) {
  size_t size = 8;
  while (size < 2 * fields.size()) size *= 2;
  slots_.assign(size, -1);
  size_t mask = size - 1;
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string& name = fields[i].name;
    size_t at = folded_name_hash(name) & mask;
    for (;;) {
      int32_t held = slots_[at];
      if (held < 0) {
        slots_[at] = static_cast<int32_t>(i);
        break;
      }
      if (same_field_name(fields[static_cast<size_t>(held)].name, name)) break;  // the first one stays
      at = (at + 1) & mask;
    }
  }
}

int FieldNameIndex::find(const FieldList& fields, std::string_view name) const noexcept {
  if (slots_.empty()) return -1;
  size_t mask = slots_.size() - 1;
  size_t at = folded_name_hash(name) & mask;
  for (;;) {
    int32_t held = slots_[at];
    if (held < 0) return -1;
    if (static_cast<size_t>(held) < fields.size() && same_field_name(fields[static_cast<size_t>(held)].name, name)) {
      return held;
    }
    at = (at + 1) & mask;
  }
}

int find_field_index(const ClassDef* cls, std::string_view name) {
  if (cls == nullptr) return -1;
  int declared = cls->field_index.find(cls->fields, name);
  if (declared >= 0) return declared;
  std::string key = to_ascii_lower(name);

  // A name of a later extensible group: prefix, a group number, suffix.
  const ExtensibleDef& ext = cls->extensible;
  if (!ext.is_extensible || ext.size <= 0) return -1;
  for (size_t member = 0; member < ext.patterns.size(); ++member) {
    const ExtPattern& p = ext.patterns[member];
    if (p.number < 0) continue;
    if (key.size() <= p.search_prefix.size() + p.search_suffix.size()) continue;
    if (!key.starts_with(p.search_prefix) || !key.ends_with(p.search_suffix)) continue;
    std::string_view digits(key.data() + p.search_prefix.size(),
                            key.size() - p.search_prefix.size() - p.search_suffix.size());
    if (digits.size() > 9) continue;
    long long number = 0;
    bool all_digits = true;
    for (char c : digits) {
      if (c < '0' || c > '9') {
        all_digits = false;
        break;
      }
      number = number * 10 + (c - '0');
    }
    if (!all_digits || number < p.number || (number - p.number) % p.step != 0) continue;
    long long index = ext.begin_index + (number - p.number) / p.step * ext.size + static_cast<long long>(member);
    if (index > std::numeric_limits<int>::max()) continue;
    return static_cast<int>(index);
  }
  return -1;
}

/*** Attribute keys ***/

namespace {

bool dropped_from_attribute(char c) noexcept { return c == '-' || c == '/' || c == '*'; }

bool has_non_ascii(std::string_view s) noexcept {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

}  // namespace

std::string attribute_name(std::string_view field_name) {
  std::string name;
  name.reserve(field_name.size());
  for (char c : field_name) {
    if (dropped_from_attribute(c)) continue;
    name += c == ' ' ? '_' : c;
  }
  return name;
}

std::string attribute_key(std::string_view field_name) {
  std::string key = attribute_name(field_name);
  ascii_lower_in_place(key);
  return key;
}

bool has_irregular_attribute_key(std::string_view field_name) noexcept {
  // One table lookup per byte: every field name of a dictionary comes here.
  static constexpr auto kIrregular = byte_set("-/*");
  for (char c : field_name) {
    if (kIrregular[static_cast<unsigned char>(c)]) return true;
  }
  return false;
}

void index_attribute_keys(ClassDef& cls, std::string (*lower)(std::string_view key)) {
  cls.attribute_key_index_map.clear();
  for (size_t i = 0; i < cls.fields.size(); ++i) {
    const std::string& name = cls.fields[i].name;
    if (!has_irregular_attribute_key(name)) continue;
    std::string key = attribute_key(name);
    if (lower != nullptr && has_non_ascii(key)) key = lower(key);
    cls.attribute_key_index_map[std::move(key)] = static_cast<int>(i);
  }
}

std::string field_name_for_attribute_key(const ClassDef* cls, std::string_view key_text) {
  std::string key = to_ascii_lower(key_text);
  if (cls != nullptr) {
    const auto& indexed = cls->attribute_key_index_map;
    auto found = indexed.find(key);
    if (found != indexed.end()) return cls->fields[static_cast<size_t>(found->second)].name;
    auto [start, end] = first_digit_run(key);
    if (start >= 0) {
      std::string_view digits = std::string_view(key).substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
      std::string candidate = key.substr(0, static_cast<size_t>(start));
      candidate += '1';
      candidate += key.substr(static_cast<size_t>(end));
      found = indexed.find(candidate);
      if (found != indexed.end()) {
        const std::string& first_group = cls->fields[static_cast<size_t>(found->second)].name;
        std::string name;
        name.reserve(first_group.size() + digits.size());
        for (char c : first_group) {
          if (c == '1') {
            name += digits;
          } else {
            name += c;
          }
        }
        return name;
      }
    }
  }
  for (char& c : key) {
    if (c == '_') c = ' ';
  }
  return key;
}

int find_field_by_attribute_key(const ClassDef* cls, std::string_view key) {
  if (cls == nullptr) return -1;
  return find_field_index(cls, field_name_for_attribute_key(cls, key));
}

std::vector<std::string> attribute_names(const ClassDef* cls) {
  std::vector<std::string> names;
  if (cls == nullptr) return names;
  std::unordered_set<std::string> seen;
  names.reserve(cls->fields.size());
  for (const FieldDef& field : cls->fields) {
    std::string name = attribute_name(field.name);
    if (seen.insert(name).second) names.push_back(std::move(name));
  }
  return names;
}

const ClassDef* find_class(const c_IDD& idd, std::string_view name) {
  auto it = idd.class_map.find(to_ascii_upper(name));
  if (it == idd.class_map.end() || it->second >= idd.ordered_classes.size()) return nullptr;
  return &idd.ordered_classes[it->second];
}

}  // namespace tamrix
