#include "tamrix/idf/model.hpp"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <new>

#include "tamrix/lexer/lexer_core.hpp"
#include "tamrix/utils/text.hpp"

namespace tamrix {

/*** Value typing ***/

namespace {

// Numbers are read as strtol / strtod read them in the C locale, whatever
// locale the process has set.
locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

TypedValue type_value(const FieldDef* field, const std::string& value) {
  TypedValue typed;
  typed.text = value;
  if (field == nullptr) return typed;
  if (value.empty()) {
    if (field->field_type == FIELDTYPE_INTEGER || field->field_type == FIELDTYPE_REAL) typed.kind = TypedValue::kBlank;
    return typed;
  }
  if (field->autosizable && value.size() == 8 && ascii_iequals(value, "autosize")) {
    typed.kind = TypedValue::kAutosize;
    return typed;
  }
  if (field->autocalculatable && value.size() == 13 && ascii_iequals(value, "autocalculate")) {
    typed.kind = TypedValue::kAutocalculate;
    return typed;
  }
  // Only when the whole stored text is the number (an embedded NUL byte
  // included, which ends the C string early).
  const char* begin = value.c_str();
  const char* whole_end = begin + value.size();
  char* end = nullptr;
  if (field->field_type == FIELDTYPE_INTEGER) {
    errno = 0;
    long number = strtol_l(begin, &end, 10, c_locale());
    if (end == whole_end) {
      // Beyond the range of a long, strtol returns its bound; the text is
      // still a whole number, to be read exactly by the caller.
      if (errno == ERANGE) {
        typed.kind = TypedValue::kBigInteger;
      } else {
        typed.kind = TypedValue::kInteger;
        typed.integer = number;
      }
    }
  } else if (field->field_type == FIELDTYPE_REAL) {
    double number = strtod_l(begin, &end, c_locale());
    if (end == whole_end) {
      typed.kind = TypedValue::kReal;
      typed.real = number;
    }
  }
  return typed;
}

void write_object_data(std::string& out, const FormatConfig& config, const ClassDef& cls, const ObjectData& data) {
  write_object(out, config, cls.name, data.values, cls, get_field_name);
}

/*** Loading ***/

LoadError Model::load(std::string_view text) noexcept {
  clear();
  LoadError error;
  try {
    std::vector<c_IDFObject> raw;
    {
      LexerCore lexer;
      lexer.reset(std::string(text), false);
      error.parse = parse_idf_tokens([&] { return lexer.take_token(); }, lexer.line_num, raw);
    }  // the lexer's copy of the text goes here
    if (error.parse) {
      error.kind = error.parse.kind == ParseErrorKind::kNoMemory ? LoadError::kNoMemory : LoadError::kSyntax;
      return error;
    }
    error = build(raw);
  } catch (const std::bad_alloc&) {
    error.kind = LoadError::kNoMemory;
  }
  if (error) clear();
  return error;
}

LoadError Model::build(std::vector<c_IDFObject>& raw) noexcept {
  LoadError error;
  try {
    slots_.reserve(slots_.size() + raw.size());
    // Consecutive objects are often of one class: remember the last one.
    std::string last_class_name;
    std::string key;
    size_t class_idx = 0;
    std::vector<size_t>* positions = nullptr;
    for (c_IDFObject& c_object : raw) {
      if (positions == nullptr || c_object.class_name != last_class_name) {
        key = to_ascii_upper(c_object.class_name);
        bool known = false;
        if (idd_ != nullptr) {
          auto it = idd_->class_map.find(key);
          known = it != idd_->class_map.end() && it->second < idd_->ordered_classes.size();
          if (known) class_idx = it->second;
        }
        if (!known) {
          error.kind = LoadError::kUnknownClass;
          error.class_name = std::move(c_object.class_name);
          return error;
        }
        positions = &class_positions_[key];
        last_class_name = c_object.class_name;
      }
      ObjectPtr data = std::make_shared<ObjectData>();
      data->class_idx = class_idx;
      data->values = std::move(c_object.values);
      data->lines = std::move(c_object.lines);
      size_t obj_idx = slots_.size();
      slots_.push_back(std::move(data));
      positions->push_back(obj_idx);
      register_fields(*slots_.back(), obj_idx);
    }
  } catch (const std::bad_alloc&) {
    error.kind = LoadError::kNoMemory;
  }
  return error;
}

void Model::clear() noexcept {
  slots_.clear();
  slots_.shrink_to_fit();
  class_positions_.clear();
  targets_.clear();
  referencers_.clear();
  name_indexes_.clear();
}

/*** Reference index upkeep ***/

namespace {

// Calls fn(map, list name, value, field) for every reference list (into
// `targets`) and then every object list (into `referencers`) of each
// non-empty value with a definition, in field order.
template <class Fn>
void for_each_listed_value(const ClassDef& cls, const std::vector<std::string>& values, RefMap& targets,
                           RefMap& referencers, Fn&& fn) {
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& value = values[i];
    if (value.empty()) continue;
    const FieldDef* fd = get_field_def(&cls, i);
    if (fd == nullptr) continue;
    for (const std::string& name : fd->references) fn(targets, name, value, static_cast<int>(i));
    for (const std::string& name : fd->object_lists) fn(referencers, name, value, static_cast<int>(i));
  }
}

}  // namespace

void Model::register_fields(const ObjectData& data, size_t obj_idx) {
  for_each_listed_value(class_of(data), data.values, targets_, referencers_,
                        [&](RefMap& map, const std::string& tag, const std::string& value, int field) {
                          ref_register(map, tag, value, obj_idx, field);
                        });
}

void Model::unregister_fields(const ObjectData& data, size_t obj_idx) noexcept {
  for_each_listed_value(class_of(data), data.values, targets_, referencers_,
                        [&](RefMap& map, const std::string& tag, const std::string& value, int field) {
                          try {
                            ref_unregister(map, tag, value, obj_idx, field);
                          } catch (const std::bad_alloc&) {
                            // Upper-casing the probe failed: the entry stays and
                            // points at a slot that is gone, which lookups skip.
                          }
                        });
}

/*** Editing ***/

EditStatus Model::append(const ObjectPtr& data, size_t& obj_idx) noexcept {
  try {
    const ClassDef& cls = class_of(*data);
    auto [entry, created] = class_positions_.try_emplace(to_ascii_upper(cls.name));
    std::vector<size_t>& positions = entry->second;
    try {
      slots_.push_back(data);
    } catch (const std::bad_alloc&) {
      if (created) class_positions_.erase(entry);
      throw;
    }
    obj_idx = slots_.size() - 1;
    try {
      positions.push_back(obj_idx);
      register_fields(*data, obj_idx);
    } catch (const std::bad_alloc&) {
      // Out of memory part-way: nothing of the object stays behind.
      unregister_fields(*data, obj_idx);
      if (!positions.empty() && positions.back() == obj_idx) positions.pop_back();
      if (created) class_positions_.erase(entry);
      slots_.pop_back();
      throw;
    }
    forget_names(data->class_idx);
    return EditStatus::kOk;
  } catch (const std::bad_alloc&) {
    return EditStatus::kNoMemory;
  }
}

void Model::remove(size_t obj_idx) noexcept {
  ObjectData* data = object(obj_idx);
  if (data == nullptr) return;
  forget_names(data->class_idx);
  unregister_fields(*data, obj_idx);
  try {
    auto it = class_positions_.find(to_ascii_upper(class_of(*data).name));
    if (it != class_positions_.end()) {
      std::vector<size_t>& positions = it->second;
      for (auto pos = positions.begin(); pos != positions.end(); ++pos) {
        if (*pos == obj_idx) {
          positions.erase(pos);
          break;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    // The class list keeps the position of an empty slot, which every
    // reader skips.
  }
  slots_[obj_idx].reset();
}

std::vector<size_t> Model::remove_class(const std::string& class_key) {
  std::vector<size_t> removed;
  auto it = class_positions_.find(class_key);
  if (it == class_positions_.end() || it->second.empty()) return removed;
  removed.reserve(it->second.size());
  std::vector<size_t> positions = std::move(it->second);
  class_positions_.erase(it);
  for (size_t position : positions) {
    ObjectData* data = object(position);
    if (data == nullptr) continue;
    forget_names(data->class_idx);
    unregister_fields(*data, position);
    slots_[position].reset();
    removed.push_back(position);
  }
  return removed;
}

EditStatus Model::set_value(Model* model, ObjectData& data, size_t obj_idx, size_t idx, std::string_view value) noexcept {
  size_t n = data.values.size();
  if (idx < n && data.values[idx] == value) return EditStatus::kOk;
  if (idx >= n && value.empty()) return EditStatus::kOk;
  std::string stored;
  try {
    stored.assign(value);
    // Room first: growing the values cannot fail once the indexes have changed.
    if (idx >= data.values.capacity()) data.values.reserve(std::max(idx + 1, 2 * data.values.capacity()));
  } catch (const std::bad_alloc&) {
    return EditStatus::kNoMemory;
  }
  bool attached = model != nullptr && model->idd_ != nullptr && model->object(obj_idx) == &data;
  if (attached) {
    const FieldDef* fd = get_field_def(&model->class_of(data), idx);
    if (fd != nullptr) {
      static const std::string kBlank;
      const std::string& old = idx < n ? data.values[idx] : kBlank;
      int field = static_cast<int>(idx);
      auto unregister = [&](const std::string& text) noexcept {
        try {
          for (const std::string& r : fd->references) ref_unregister(model->targets_, r, text, obj_idx, field);
          for (const std::string& l : fd->object_lists) ref_unregister(model->referencers_, l, text, obj_idx, field);
        } catch (const std::bad_alloc&) {
          // The probe could not be upper-cased: the entry stays behind.
        }
      };
      auto enter = [&](const std::string& text) {
        for (const std::string& r : fd->references) ref_register(model->targets_, r, text, obj_idx, field);
        for (const std::string& l : fd->object_lists) ref_register(model->referencers_, l, text, obj_idx, field);
      };
      if (!old.empty()) unregister(old);
      if (!stored.empty()) {
        try {
          enter(stored);
        } catch (const std::bad_alloc&) {
          // Back to the old text's entries, as far as memory allows.
          unregister(stored);
          try {
            if (!old.empty()) enter(old);
          } catch (const std::bad_alloc&) {
            unregister(old);
          }
          return EditStatus::kNoMemory;
        }
      }
    }
    // A new first value, or a first value at all: the object's name changed.
    if (idx == 0 || n == 0) model->forget_names(data.class_idx);
  }
  if (idx >= n) data.values.resize(idx + 1);
  data.values[idx].swap(stored);
  std::vector<int32_t>().swap(data.lines);
  return EditStatus::kOk;
}

EditStatus Model::set_values(Model* model, ObjectData& data, size_t obj_idx,
                             const std::vector<std::pair<size_t, std::string>>& writes, bool trim) noexcept {
  std::optional<ObjectData> saved;
  try {
    saved.emplace(data);
  } catch (const std::bad_alloc&) {
    return EditStatus::kNoMemory;
  }
  size_t done = 0;
  while (done < writes.size() &&
         set_value(model, data, obj_idx, writes[done].first, writes[done].second) == EditStatus::kOk) {
    ++done;
  }
  if (done == writes.size()) {
    if (trim) trim_trailing_empty(model, data);
    return EditStatus::kOk;
  }
  // Out of memory part-way: the written fields get their old text back
  // (which moves their index entries back), last write first; then the
  // object is restored whole.
  static const std::string kBlank;
  while (done-- > 0) {
    size_t idx = writes[done].first;
    set_value(model, data, obj_idx, idx, idx < saved->values.size() ? saved->values[idx] : kBlank);
  }
  data = std::move(*saved);
  if (model != nullptr) model->forget_names(data.class_idx);
  return EditStatus::kNoMemory;
}

void Model::trim_trailing_empty(Model* model, ObjectData& data) noexcept {
  if (data.values.empty() || !data.values.back().empty()) return;
  while (!data.values.empty() && data.values.back().empty()) data.values.pop_back();
  std::vector<int32_t>().swap(data.lines);
  // No first field: no longer a name candidate.
  if (data.values.empty() && model != nullptr) model->forget_names(data.class_idx);
}

/*** Lookups ***/

const std::vector<size_t>* Model::class_positions(const std::string& class_key) const noexcept {
  auto it = class_positions_.find(class_key);
  return it == class_positions_.end() ? nullptr : &it->second;
}

EditStatus Model::find_by_name(size_t class_idx, const std::string& class_key, std::string_view name,
                               std::optional<size_t>& found) {
  found.reset();
  auto pos_it = class_positions_.find(class_key);
  if (pos_it == class_positions_.end()) return EditStatus::kOk;
  try {
    auto [it, created] = name_indexes_.try_emplace(class_idx);
    if (created) {
      try {
        // The first live candidate of each name, in insertion order, as a
        // scan of the class would find it.
        for (size_t position : pos_it->second) {
          ObjectData* data = object(position);
          if (data == nullptr || data->values.empty()) continue;
          it->second.first_by_name.try_emplace(to_ascii_lower(data->values[0]), position);
        }
      } catch (const std::bad_alloc&) {
        name_indexes_.erase(it);
        throw;
      }
    }
    auto hit = it->second.first_by_name.find(to_ascii_lower(name));
    if (hit != it->second.first_by_name.end() && object(hit->second) != nullptr) found = hit->second;
    return EditStatus::kOk;
  } catch (const std::bad_alloc&) {
    return EditStatus::kNoMemory;
  }
}

std::optional<size_t> Model::referenced(const FieldDef& field, const std::string& upper_value) const noexcept {
  for (const std::string& list_name : field.object_lists) {
    const std::vector<FieldLoc>* locs = ref_find(targets_, list_name, upper_value);
    if (locs == nullptr) continue;
    for (const FieldLoc& loc : *locs) {
      if (object(loc.first) != nullptr) return loc.first;
    }
  }
  return std::nullopt;
}

void Model::referencing(const FieldDef& field, const std::string& upper_value, std::vector<size_t>& out) const {
  for (const std::string& list_name : field.references) {
    if (const std::vector<FieldLoc>* locs = ref_find(referencers_, list_name, upper_value)) {
      for (const FieldLoc& loc : *locs) {
        if (object(loc.first) != nullptr) out.push_back(loc.first);
      }
    }
  }
}

/*** Writing ***/

void Model::write(std::string& out, const FormatConfig& config, bool preserve_order) const {
  if (idd_ == nullptr) return;
  size_t total = 0;
  for (const auto& [key, positions] : class_positions_) total += positions.size();
  size_t estimate = estimated_output_size(out, config, total);
  if (out.capacity() < estimate) out.reserve(estimate);

  if (preserve_order) {
    for (const ObjectPtr& data : slots_) {
      if (data == nullptr) continue;
      out += '\n';
      write_object_data(out, config, class_of(*data), *data);
    }
    return;
  }

  std::string current_group;
  std::string search_key;
  for (const ClassDef& cls : idd_->ordered_classes) {
    search_key = to_ascii_upper(cls.name);
    auto it = class_positions_.find(search_key);
    if (it == class_positions_.end() || it->second.empty()) continue;
    if (!config.compact && cls.group != current_group) {
      current_group = cls.group;
      if (!current_group.empty()) write_group_header(out, current_group);
    }
    for (size_t position : it->second) {
      const ObjectData* data = object(position);
      if (data == nullptr) continue;
      out += '\n';
      write_object_data(out, config, class_of(*data), *data);
    }
    if (config.compact) out += '\n';
  }
}

}  // namespace tamrix
