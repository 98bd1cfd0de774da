#include "tamrix/idd/idd_core.hpp"

#include <limits>

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
  std::string name = pattern.prefix;
  if (pattern.number >= 0) {
    name += std::to_string(static_cast<long long>(pattern.number) +
                           static_cast<long long>(pattern.step) * static_cast<long long>(group));
    name += pattern.suffix;
  }
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

int find_field_index(const ClassDef* cls, std::string_view name) {
  if (cls == nullptr) return -1;
  std::string key = to_ascii_lower(name);
  auto it = cls->base_field_index_map.find(key);
  if (it != cls->base_field_index_map.end()) return it->second;

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

const ClassDef* find_class(const c_IDD& idd, std::string_view name) {
  auto it = idd.class_map.find(to_ascii_upper(name));
  if (it == idd.class_map.end() || it->second >= idd.ordered_classes.size()) return nullptr;
  return &idd.ordered_classes[it->second];
}

}  // namespace tamrix
