#include "tamrix/idf/model.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <cstdlib>
#include <locale.h>
#include <new>
#include <unordered_set>

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

namespace {

// Reads the number at `begin` (a C string whose first `size` bytes are the
// value) into `typed` when it is the whole value.
[[gnu::always_inline]] inline void read_number(const FieldDef* field, const char* begin, size_t size, TypedValue& typed) {
  const char* whole_end = begin + size;
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
  } else {
    double number = strtod_l(begin, &end, c_locale());
    if (end == whole_end) {
      typed.kind = TypedValue::kReal;
      typed.real = number;
    }
  }
}

// read_number for a value whose next byte may continue a number: read from
// a copy (on the stack when short, as numbers are).
[[gnu::noinline]] void read_number_copied(const FieldDef* field, std::string_view value, TypedValue& typed) {
  char small[64];
  if (value.size() < sizeof small) {
    std::memcpy(small, value.data(), value.size());
    small[value.size()] = '\0';
    read_number(field, small, value.size(), typed);
  } else {
    std::string copy(value);
    read_number(field, copy.c_str(), value.size(), typed);
  }
}

}  // namespace

TypedValue type_value(const FieldDef* field, std::string_view value, bool in_list) {
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
  if (field->field_type != FIELDTYPE_INTEGER && field->field_type != FIELDTYPE_REAL) return typed;
  // strtol / strtod read C strings, and a number only counts when it is the
  // whole stored text (an embedded NUL byte included, which ends the C
  // string early). A value of a list is read where it stands when the byte
  // after it cannot continue a number: a control character, a blank, a
  // delimiter or a comment mark.
  if (in_list) {
    unsigned char after = static_cast<unsigned char>(value.data()[value.size()]);
    if (after <= ' ' || after == ',' || after == ';' || after == '!') {
      read_number(field, value.data(), value.size(), typed);
      return typed;
    }
  }
  read_number_copied(field, value, typed);
  return typed;
}

void write_object_data(std::string& out, const FormatConfig& config, const ClassDef& cls, const ObjectData& data) {
  write_object(out, config, cls.name, data.values, cls, get_field_name);
}

/*** Loading ***/

uint64_t next_source_id() noexcept {
  static std::atomic<uint64_t> counter{0};
  return ++counter;
}

namespace {

std::string first_line_end(std::string_view text) {
  size_t at = text.find_first_of("\r\n");
  if (at == std::string_view::npos || text[at] == '\n') return "\n";
  return at + 1 < text.size() && text[at + 1] == '\n' ? "\r\n" : "\r";
}

}  // namespace

LoadError Model::load(std::string_view text) noexcept {
  try {
    return load(std::string(text));
  } catch (const std::bad_alloc&) {
    clear();
    LoadError error;
    error.kind = LoadError::kNoMemory;
    return error;
  }
}

// The value map of each list name met so far in a bulk load, by the
// address of the dictionary's string naming it: a pointer lookup instead of
// hashing the list name again for every value. The map's nodes stay put
// while entries are only added.
struct Model::ListCache {
  struct Entry {
    const std::string* name;
    RefValueMap* values;
  };
  // Open addressing over a power-of-two table; list names are few (a few
  // hundred in the largest dictionaries).
  std::vector<Entry> table = std::vector<Entry>(64, Entry{nullptr, nullptr});
  size_t used = 0;
  std::string upper;  // the value being registered, upper-cased

  RefValueMap& values_of(RefMap& map, const std::string& name) {
    size_t mask = table.size() - 1;
    size_t i = (reinterpret_cast<uintptr_t>(&name) >> 3) & mask;
    while (table[i].name != nullptr) {
      if (table[i].name == &name) return *table[i].values;
      i = (i + 1) & mask;
    }
    auto it = map.find(name);
    if (it == map.end()) it = map.emplace(name, RefValueMap()).first;
    if (2 * (used + 1) > table.size()) {
      grow();
      return values_of_new(name, it->second);
    }
    table[i] = Entry{&name, &it->second};
    ++used;
    return it->second;
  }

 private:
  RefValueMap& values_of_new(const std::string& name, RefValueMap& values) {
    size_t mask = table.size() - 1;
    size_t i = (reinterpret_cast<uintptr_t>(&name) >> 3) & mask;
    while (table[i].name != nullptr) i = (i + 1) & mask;
    table[i] = Entry{&name, &values};
    ++used;
    return values;
  }
  void grow() {
    std::vector<Entry> old = std::move(table);
    table.assign(old.size() * 2, Entry{nullptr, nullptr});
    used = 0;
    for (const Entry& e : old) {
      if (e.name != nullptr) values_of_new(*e.name, *e.values);
    }
  }
};

// Builds the objects of a load as they are read (or of raw objects),
// matching their classes and registering their names. After an object of
// an unknown class, nothing more is built: `error` says which.
struct Model::Loader final : ObjectSink {
  Loader(Model& model, std::shared_ptr<const SourceText> source) : model(model), source(std::move(source)) {}

  void object(std::string_view class_name, const std::vector<std::string_view>& values, const SourceSpan& span,
              int32_t first_line) override {
    if (error || !enter_class(class_name)) return;
    ObjectPtr data = std::make_shared<ObjectData>();
    data->class_idx = class_idx;
    // The values stay in the text: records relative to the object's class line.
    data->values = ValueList::in_text(std::shared_ptr<const char>(source, source->text.data() + span.head),
                                      values.data(), values.size());
    data->source_id = source->id;
    data->span = span;
    data->first_line = first_line;
    data->as_loaded = true;
    append(std::move(data));
  }

  void raw(c_IDFObject& c_object) {
    if (error || !enter_class(c_object.class_name)) return;
    ObjectPtr data = std::make_shared<ObjectData>();
    data->class_idx = class_idx;
    data->values = c_object.values;
    append(std::move(data));
  }

  Model& model;
  std::shared_ptr<const SourceText> source;  // null for raw objects
  LoadError error;

 private:
  // Consecutive objects are often of one class: the last one is remembered.
  bool enter_class(std::string_view class_name) {
    if (positions != nullptr && class_name == last_class_name) return true;
    key.assign(class_name);
    ascii_upper_in_place(key);
    const c_IDD* idd = model.idd_;
    auto it = idd == nullptr ? decltype(idd->class_map.end())() : idd->class_map.find(key);
    if (idd == nullptr || it == idd->class_map.end() || it->second >= idd->ordered_classes.size()) {
      error.kind = LoadError::kUnknownClass;
      error.class_name.assign(class_name);
      return false;
    }
    class_idx = it->second;
    positions = &model.class_positions_[key];
    last_class_name.assign(class_name);
    return true;
  }

  void append(ObjectPtr&& data) {
    size_t obj_idx = model.slots_.size();
    model.slots_.push_back(std::move(data));
    positions->push_back(obj_idx);
    model.register_loaded(*model.slots_.back(), obj_idx, lists);
  }

  std::string last_class_name;
  std::string key;
  size_t class_idx = 0;
  std::vector<size_t>* positions = nullptr;
  ListCache lists;
};

LoadError Model::load(std::string&& text) noexcept {
  clear();
  LoadError error;
  try {
    auto source = std::make_shared<SourceText>();
    source->text = std::move(text);
    source->id = next_source_id();
    source->line_end = first_line_end(source->text);
    source_ = source;
    // About one object per 600 bytes of model text (comments included).
    slots_.reserve(source->text.size() / 600 + 16);
    Loader loader(*this, source);
    error.parse = read_idf(source->text, loader, source->trailing);
    if (error.parse) {
      error.kind = error.parse.kind == ParseErrorKind::kNoMemory ? LoadError::kNoMemory : LoadError::kSyntax;
    } else {
      error = std::move(loader.error);
    }
  } catch (const std::bad_alloc&) {
    error.kind = LoadError::kNoMemory;
  }
  if (error) clear();
  return error;
}

LoadError Model::build(std::vector<c_IDFObject>& raw) noexcept {
  try {
    slots_.reserve(slots_.size() + raw.size());
    Loader loader(*this, nullptr);
    for (c_IDFObject& c_object : raw) {
      loader.raw(c_object);
      if (loader.error) break;
    }
    return std::move(loader.error);
  } catch (const std::bad_alloc&) {
    LoadError error;
    error.kind = LoadError::kNoMemory;
    return error;
  }
}

LoadError Model::build(std::vector<KnownObject>& objects) noexcept {
  LoadError error;
  if (idd_ == nullptr) {
    error.kind = LoadError::kUnknownClass;
    return error;
  }
  try {
    slots_.reserve(slots_.size() + objects.size());
    ListCache lists;
    std::vector<size_t>* positions = nullptr;
    size_t last_class = 0;
    std::string key;
    for (KnownObject& known : objects) {
      if (known.class_idx >= idd_->ordered_classes.size()) {
        error.kind = LoadError::kUnknownClass;
        return error;
      }
      if (positions == nullptr || known.class_idx != last_class) {
        key = to_ascii_upper(idd_->ordered_classes[known.class_idx].name);
        positions = &class_positions_[key];
        last_class = known.class_idx;
      }
      ObjectPtr data = std::make_shared<ObjectData>();
      data->class_idx = known.class_idx;
      data->values = std::move(known.values);
      size_t obj_idx = slots_.size();
      slots_.push_back(std::move(data));
      positions->push_back(obj_idx);
      register_loaded(*slots_.back(), obj_idx, lists);
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
  source_.reset();
}

/*** Reference index upkeep ***/

namespace {

// Calls fn(map, list name, value, field) for every reference list (into
// `targets`) and then every object list (into `referencers`) of each
// non-empty value with a definition, in field order.
template <class Fn>
void for_each_listed_value(const ClassDef& cls, const ValueList& values, RefMap& targets, RefMap& referencers,
                           Fn&& fn) {
  for (size_t i = 0; i < values.size(); ++i) {
    std::string_view value = values[i];
    if (value.empty()) continue;
    const FieldDef* fd = get_field_def(&cls, i);
    if (fd == nullptr) continue;
    for (const std::string& name : fd->references) fn(targets, name, value, static_cast<int>(i));
    for (const std::string& name : fd->object_lists) fn(referencers, name, value, static_cast<int>(i));
  }
}

}  // namespace

void Model::register_fields(const ObjectData& data, size_t obj_idx) {
  const ClassDef* cls = class_of(data);
  if (cls == nullptr) return;
  for_each_listed_value(*cls, data.values, targets_, referencers_,
                        [&](RefMap& map, const std::string& tag, std::string_view value, int field) {
                          ref_register(map, tag, value, obj_idx, field);
                        });
}

// register_fields for a load: the same entries in the same order, with
// each value upper-cased once and each list found through `lists`. Lists
// map pointers to map nodes, so nothing may erase from the index meanwhile.
void Model::register_loaded(const ObjectData& data, size_t obj_idx, ListCache& lists) {
  const ClassDef* cls = class_of(data);
  if (cls == nullptr) return;
  const ValueList& values = data.values;
  for (size_t i = 0; i < values.size(); ++i) {
    std::string_view value = values[i];
    if (value.empty()) continue;
    const FieldDef* fd = get_field_def(cls, i);
    if (fd == nullptr || (fd->references.empty() && fd->object_lists.empty())) continue;
    lists.upper.assign(value);
    ascii_upper_in_place(lists.upper);
    int field = static_cast<int>(i);
    auto enter = [&](RefMap& map, const std::string& name) {
      RefValueMap& by_value = lists.values_of(map, name);
      RefValueMap::Entry& entry = by_value.insert(std::string_view(lists.upper));
      try {
        entry.locs.push_back(FieldLoc(static_cast<uint32_t>(obj_idx), field));
      } catch (const std::bad_alloc&) {
        if (entry.locs.empty()) by_value.erase(&entry);
        throw;
      }
    };
    for (const std::string& name : fd->references) enter(targets_, name);
    for (const std::string& name : fd->object_lists) enter(referencers_, name);
  }
}

void Model::unregister_fields(const ObjectData& data, size_t obj_idx) noexcept {
  const ClassDef* cls = class_of(data);
  if (cls == nullptr) return;
  for_each_listed_value(*cls, data.values, targets_, referencers_,
                        [&](RefMap& map, const std::string& tag, std::string_view value, int field) {
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
    const ClassDef* cls = class_of(*data);
    if (cls == nullptr) return EditStatus::kNoMemory;
    auto [entry, created] = class_positions_.try_emplace(to_ascii_upper(cls->name));
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
    const ClassDef* cls = class_of(*data);
    auto it = cls == nullptr ? class_positions_.end() : class_positions_.find(to_ascii_upper(cls->name));
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

bool Model::move_in_class(size_t obj_idx, size_t position) noexcept {
  ObjectData* data = object(obj_idx);
  const ClassDef* cls = data == nullptr ? nullptr : class_of(*data);
  if (cls == nullptr) return false;
  decltype(class_positions_)::iterator it;
  try {
    it = class_positions_.find(to_ascii_upper(cls->name));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (it == class_positions_.end()) return false;
  std::vector<size_t>& positions = it->second;
  auto found = std::find(positions.begin(), positions.end(), obj_idx);
  if (found == positions.end()) return false;
  size_t from = static_cast<size_t>(found - positions.begin());
  if (position >= positions.size()) position = positions.size() - 1;
  // A rotation: no allocation, so nothing can fail half-way.
  if (from < position) {
    std::rotate(positions.begin() + from, positions.begin() + from + 1, positions.begin() + position + 1);
  } else if (from > position) {
    std::rotate(positions.begin() + position, positions.begin() + from, positions.begin() + from + 1);
  }
  forget_names(data->class_idx);
  return true;
}

EditStatus Model::set_value(Model* model, ObjectData& data, size_t obj_idx, size_t idx, std::string_view value) noexcept {
  size_t n = data.values.size();
  if (idx < n && data.values[idx] == value) return EditStatus::kOk;
  if (idx >= n && value.empty()) return EditStatus::kOk;
  std::string copy;
  try {
    // A view of the object's own values would not survive making room.
    if (data.values.holds(value.data())) {
      copy.assign(value);
      value = copy;
    }
    // Room first: storing the value cannot fail once the indexes have changed.
    data.values.prepare(idx, value.size());
  } catch (const std::bad_alloc&) {
    return EditStatus::kNoMemory;
  }
  bool attached = model != nullptr && model->idd_ != nullptr && model->object(obj_idx) == &data;
  if (attached) {
    const FieldDef* fd = get_field_def(model->class_of(data), idx);
    if (fd != nullptr) {
      std::string_view old = idx < n ? data.values[idx] : std::string_view();
      int field = static_cast<int>(idx);
      auto unregister = [&](std::string_view text) noexcept {
        try {
          for (const std::string& r : fd->references) ref_unregister(model->targets_, r, text, obj_idx, field);
          for (const std::string& l : fd->object_lists) ref_unregister(model->referencers_, l, text, obj_idx, field);
        } catch (const std::bad_alloc&) {
          // The probe could not be upper-cased: the entry stays behind.
        }
      };
      auto enter = [&](std::string_view text) {
        for (const std::string& r : fd->references) ref_register(model->targets_, r, text, obj_idx, field);
        for (const std::string& l : fd->object_lists) ref_register(model->referencers_, l, text, obj_idx, field);
      };
      if (!old.empty()) unregister(old);
      if (!value.empty()) {
        try {
          enter(value);
        } catch (const std::bad_alloc&) {
          // Back to the old text's entries, as far as memory allows.
          unregister(value);
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
  data.values.set(idx, value);  // made room for above: cannot fail
  data.as_loaded = false;
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
  while (done-- > 0) {
    size_t idx = writes[done].first;
    set_value(model, data, obj_idx, idx, idx < saved->values.size() ? saved->values[idx] : std::string_view());
  }
  data = std::move(*saved);
  if (model != nullptr) model->forget_names(data.class_idx);
  return EditStatus::kNoMemory;
}

void Model::trim_trailing_empty(Model* model, ObjectData& data) noexcept {
  if (data.values.empty() || !data.values.back().empty()) return;
  while (!data.values.empty() && data.values.back().empty()) data.values.pop_back();
  data.as_loaded = false;
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
    const LocList* locs = ref_find(targets_, list_name, upper_value);
    if (locs == nullptr) continue;
    for (const FieldLoc& loc : *locs) {
      if (object(loc.first) != nullptr) return loc.first;
    }
  }
  return std::nullopt;
}

void Model::referencing(const FieldDef& field, const std::string& upper_value, std::vector<size_t>& out) const {
  for (const std::string& list_name : field.references) {
    if (const LocList* locs = ref_find(referencers_, list_name, upper_value)) {
      for (const FieldLoc& loc : *locs) {
        if (object(loc.first) != nullptr) out.push_back(loc.first);
      }
    }
  }
}

/*** Writing ***/

namespace {

// Replaces every "\n" written from `from` on with the source's line break.
void convert_line_ends(std::string& out, size_t from, const std::string& line_end) {
  if (line_end == "\n") return;
  size_t count = 0;
  for (size_t i = from; i < out.size(); ++i) count += out[i] == '\n';
  if (count == 0) return;
  std::string converted;
  converted.reserve(out.size() - from + count * (line_end.size() - 1));
  for (size_t i = from; i < out.size(); ++i) {
    if (out[i] == '\n') {
      converted += line_end;
    } else {
      converted += out[i];
    }
  }
  out.resize(from);
  out += converted;
}

// The indents the source used for an object's class line and for the
// first line of its fields, so that an edited object keeps its place in a
// diff; unknown ones stay as configured.
void source_indents(std::string_view text, const SourceSpan& span, FormatConfig& config) {
  auto indent_at = [&](size_t pos) {
    size_t end = pos;
    while (end < span.end && (text[end] == ' ' || text[end] == '\t')) ++end;
    return end;
  };
  size_t class_start = indent_at(span.head);
  if (class_start >= span.end || text[class_start] == '!' || text[class_start] == '\n' || text[class_start] == '\r') {
    return;
  }
  config.class_indent.assign(text.substr(span.head, class_start - span.head));
  // The next line holding code after the class line.
  size_t pos = text.find_first_of("\r\n", class_start);
  while (pos != std::string_view::npos && pos < span.end) {
    while (pos < span.end && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
    size_t code = indent_at(pos);
    if (code >= span.end) return;
    if (text[code] != '!' && text[code] != '\r' && text[code] != '\n') {
      config.field_indent.assign(text.substr(pos, code - pos));
      return;
    }
    pos = text.find_first_of("\r\n", code);
  }
}

bool ends_line(const std::string& out) { return out.empty() || out.back() == '\n' || out.back() == '\r'; }

}  // namespace

std::vector<int32_t> Model::source_lines(const ObjectData& data) const {
  if (!data.as_loaded || !from_source(data)) return {};
  std::vector<int32_t> lines = value_lines(source_->text, data.span, data.first_line);
  if (lines.size() != data.values.size()) return {};
  return lines;
}

void Model::write(std::string& out, const FormatConfig& config, bool preserve_order, bool keep_comments) const {
  if (idd_ == nullptr) return;
  size_t total = 0;
  size_t fields = 0;
  for (const ObjectPtr& data : slots_) {
    if (data == nullptr) continue;
    ++total;
    size_t n = data->values.size();
    if (const ClassDef* cls = class_of(*data)) n = std::max(n, static_cast<size_t>(std::max(cls->min_fields, 0)));
    fields += n;
  }
  size_t estimate = estimated_output_size(out, config, total, fields);
  if (out.capacity() < estimate) out.reserve(estimate);
  bool comments = keep_comments && !config.compact && source_ != nullptr;

  auto write_one = [&](const ObjectData& data) {
    const ClassDef* cls = class_of(data);
    if (cls == nullptr) return;
    out += '\n';
    if (comments && from_source(data)) {
      write_object(out, config, cls->name, data.values, *cls, get_field_name,
                   user_comments(source_->text, data.span), true);
    } else {
      write_object_data(out, config, *cls, data);
    }
  };

  if (preserve_order) {
    for (const ObjectPtr& data : slots_) {
      if (data != nullptr) write_one(*data);
    }
  } else {
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
        if (const ObjectData* data = object(position)) write_one(*data);
      }
      if (config.compact) out += '\n';
    }
  }
  if (comments) {
    std::vector<std::string_view> tail = comment_lines(std::string_view(source_->text).substr(source_->trailing));
    if (!tail.empty()) out += '\n';
    for (std::string_view line : tail) {
      out += line;
      out += '\n';
    }
  }
}

// The pieces of write() without comments, in order: each object (after a
// line break), group headers, and in the compact layout a line break after
// each class. `object(cls, data)` and `header(group)` see them.
template <class Object, class Header, class Break>
void Model::walk_plain(const FormatConfig& config, bool preserve_order, Object&& object_fn, Header&& header,
                       Break&& line_break) const {
  if (preserve_order) {
    for (const ObjectPtr& data : slots_) {
      if (data == nullptr) continue;
      if (const ClassDef* cls = class_of(*data)) object_fn(*cls, *data);
    }
    return;
  }
  const std::string* current_group = nullptr;
  static const std::string kNoGroup;
  std::string search_key;
  for (const ClassDef& cls : idd_->ordered_classes) {
    search_key.assign(cls.name);
    ascii_upper_in_place(search_key);
    auto it = class_positions_.find(search_key);
    if (it == class_positions_.end() || it->second.empty()) continue;
    if (!config.compact && cls.group != (current_group != nullptr ? *current_group : kNoGroup)) {
      current_group = &cls.group;
      if (!cls.group.empty()) header(cls.group);
    }
    for (size_t position : it->second) {
      const ObjectData* data = object(position);
      if (data == nullptr) continue;
      if (const ClassDef* data_cls = class_of(*data)) object_fn(*data_cls, *data);
    }
    if (config.compact) line_break();
  }
}

size_t Model::written_size(const FormatConfig& config, bool preserve_order) const {
  if (idd_ == nullptr) return 0;
  size_t size = 0;
  walk_plain(
      config, preserve_order,
      [&](const ClassDef& cls, const ObjectData& data) {
        size += 1 + object_text_size(config, cls.name, data.values, cls);
      },
      [&](const std::string& group) { size += group.size() + 10; }, [&] { ++size; });
  return size;
}

char* Model::write_at(char* p, const FormatConfig& config, bool preserve_order, bool skip_first_break) const {
  if (idd_ == nullptr) return p;
  // Every piece starts with a line break: the text's first is skipped
  // when asked.
  bool skip = skip_first_break;
  walk_plain(
      config, preserve_order,
      [&](const ClassDef& cls, const ObjectData& data) {
        if (!skip) *p++ = '\n';
        skip = false;
        p = write_object_at(p, config, cls.name, data.values, cls);
      },
      [&](const std::string& group) {
        // As write_group_header writes it.
        if (!skip) *p++ = '\n';
        skip = false;
        std::memcpy(p, "! ***", 5);
        p += 5;
        for (char c : group) *p++ = ascii_upper(c);
        std::memcpy(p, "***\n", 4);
        p += 4;
      },
      [&] {
        if (!skip) *p++ = '\n';
        skip = false;
      });
  return p;
}

void Model::write_original(std::string& out, const FormatConfig& config) const {
  if (idd_ == nullptr) return;
  if (source_ == nullptr) {
    // Nothing was read: every object is new.
    size_t from = out.size();
    write(out, config, true);
    if (out.size() > from && out[from] == '\n') out.erase(from, 1);
    return;
  }
  const std::string& text = source_->text;
  out.reserve(out.size() + text.size() + 4096);
  for (const ObjectPtr& data : slots_) {
    if (data == nullptr || !from_source(*data)) continue;
    const SourceSpan& span = data->span;
    const ClassDef* cls = class_of(*data);
    if (cls == nullptr) continue;
    if (data->as_loaded) {
      out.append(text, span.begin, span.end - span.begin);
      continue;
    }
    // Edited values only: the object as it stood with them written in.
    if (!config.compact && write_values_in_place(out, text, span, data->values)) continue;
    // Edited: what stood before it as it was, then the object itself in the
    // standard layout with the comments on its lines.
    out.append(text, span.begin, span.head - span.begin);
    size_t from = out.size();
    std::vector<UserComment> comments = user_comments(text, span);
    FormatConfig local = config;
    if (!config.compact) source_indents(text, span, local);
    write_object(out, local, cls->name, data->values, *cls, get_field_name, comments, false);
    convert_line_ends(out, from, source_->line_end);
  }
  out.append(text, source_->trailing, std::string::npos);
  bool first_added = true;
  for (const ObjectPtr& data : slots_) {
    if (data == nullptr || from_source(*data)) continue;
    const ClassDef* cls = class_of(*data);
    if (cls == nullptr) continue;
    size_t from = out.size();
    if (first_added && !ends_line(out)) out += '\n';
    first_added = false;
    if (!out.empty()) out += '\n';
    write_object_data(out, config, *cls, *data);
    convert_line_ends(out, from, source_->line_end);
  }
}


/*** Renaming ***/

namespace {

struct FieldLocHash {
  size_t operator()(const FieldLoc& loc) const noexcept {
    return std::hash<size_t>{}(loc.first) * 31u + std::hash<int>{}(loc.second);
  }
};

// Where each value of the object standing at `span` is written in `text`:
// [begin, end) of its trimmed text; an empty value sits just before its
// delimiter. False when the span does not read as exactly one object.
bool source_value_ranges(std::string_view text, const SourceSpan& span, std::vector<std::pair<size_t, size_t>>& out) {
  out.clear();
  if (span.end > text.size() || span.begin > span.end) return false;
  bool class_done = false;
  bool have_piece = false;
  std::pair<size_t, size_t> piece{0, 0};
  size_t pos = span.begin;
  while (pos < span.end) {
    size_t line_end = pos;
    while (line_end < span.end && text[line_end] != '\n' && text[line_end] != '\r') ++line_end;
    size_t code_end = text.find('!', pos);
    if (code_end == std::string_view::npos || code_end > line_end) code_end = line_end;
    size_t run = pos;
    for (size_t i = pos; i <= code_end; ++i) {
      bool at_end = i == code_end;
      if (!at_end && text[i] != ',' && text[i] != ';') continue;
      std::string_view raw = text.substr(run, i - run);
      std::string_view trimmed = trim_view(raw);
      if (!trimmed.empty()) {
        if (have_piece) return false;
        size_t begin = run + static_cast<size_t>(trimmed.data() - raw.data());
        piece = {begin, begin + trimmed.size()};
        have_piece = true;
      }
      if (at_end) break;
      if (class_done) out.push_back(have_piece ? piece : std::pair<size_t, size_t>{i, i});
      class_done = true;
      have_piece = false;
      run = i + 1;
      if (text[i] == ';') return true;
    }
    pos = line_end;
    if (pos < span.end && text[pos] == '\r') ++pos;
    if (pos < span.end && text[pos] == '\n') ++pos;
  }
  return false;
}

}  // namespace

bool write_values_in_place(std::string& out, std::string_view text, const SourceSpan& span, const ValueList& values) {
  std::vector<std::pair<size_t, size_t>> ranges;
  if (!source_value_ranges(text, span, ranges) || ranges.size() != values.size()) return false;
  for (std::string_view value : values) {
    if (value.find_first_of(",;!\r\n") != std::string_view::npos) return false;
  }
  size_t cursor = span.begin;
  for (size_t i = 0; i < values.size(); ++i) {
    auto [begin, end] = ranges[i];
    std::string_view old = text.substr(begin, end - begin);
    if (old == values[i]) continue;
    out.append(text, cursor, begin - cursor);
    out += values[i];
    cursor = end;
    // A comment after the delimiter keeps its column, with a blank at least.
    if (end < span.end && (text[end] == ',' || text[end] == ';')) {
      size_t blanks = 0;
      while (end + 1 + blanks < span.end && text[end + 1 + blanks] == ' ') ++blanks;
      size_t after = end + 1 + blanks;
      if (blanks > 0 && after < span.end && text[after] == '!') {
        long wanted = static_cast<long>(blanks) - (static_cast<long>(values[i].size()) - static_cast<long>(old.size()));
        out += text[end];
        out.append(static_cast<size_t>(std::max(1L, wanted)), ' ');
        cursor = after;
      }
    }
  }
  out.append(text, cursor, span.end - cursor);
  return true;
}

void Model::referring_fields(const FieldDef& field, const std::string& upper_value, std::vector<FieldLoc>& out) const {
  std::unordered_set<FieldLoc, FieldLocHash> seen;
  bool several = field.references.size() > 1;
  for (const std::string& list_name : field.references) {
    const LocList* locs = ref_find(referencers_, list_name, upper_value);
    if (locs == nullptr) continue;
    for (const FieldLoc& loc : *locs) {
      if (object(loc.first) == nullptr) continue;
      // A field listed under two of the lists is still one field.
      if (several && !seen.insert(loc).second) continue;
      out.push_back(loc);
    }
  }
}

RenameResult Model::rename(size_t obj_idx, std::string_view new_name, size_t& rewritten) noexcept {
  rewritten = 0;
  RenameResult result;
  ObjectData* data = object(obj_idx);
  if (data == nullptr || idd_ == nullptr) {
    result.kind = RenameResult::kNoObject;
    return result;
  }
  if (new_name.empty()) {
    result.kind = RenameResult::kBlankName;
    return result;
  }
  // Fields changed so far and their former text, to put back on failure.
  struct Change {
    FieldLoc loc;
    std::string text;
    bool as_loaded;
  };
  std::vector<Change> changed;
  bool had_values = !data->values.empty();
  try {
    const ClassDef* cls_def = class_of(*data);
    if (cls_def == nullptr) {
      result.kind = RenameResult::kNoObject;
      return result;
    }
    const ClassDef& cls = *cls_def;
    const FieldDef* fd = get_field_def(&cls, 0);
    std::string old(data->values.empty() ? std::string_view() : data->values[0]);
    std::string upper_old = to_ascii_upper(old);
    std::string upper_new = to_ascii_upper(new_name);
    if (upper_new != upper_old) {
      // Two objects of a class under one name would merge their references.
      std::optional<size_t> holder;
      if (fd != nullptr && !fd->references.empty()) {
        if (const LocList* locs = ref_find(targets_, fd->references.front(), upper_new)) {
          for (const FieldLoc& loc : *locs) {
            const ObjectData* other = object(loc.first);
            if (loc.first != obj_idx && loc.second == 0 && other != nullptr && other->class_idx == data->class_idx) {
              holder = loc.first;
              break;
            }
          }
        }
      } else if (find_by_name(data->class_idx, to_ascii_upper(cls.name), new_name, holder) != EditStatus::kOk) {
        throw std::bad_alloc();
      }
      if (holder && *holder != obj_idx) {
        result.kind = RenameResult::kNameTaken;
        result.taken_by = *holder;
        return result;
      }
    }
    std::vector<FieldLoc> referring;
    if (fd != nullptr && !old.empty()) referring_fields(*fd, upper_old, referring);
    changed.reserve(referring.size() + 1);
    std::string name(new_name);
    auto write = [&](size_t idx, int field) {
      ObjectData* target = object(idx);
      size_t f = static_cast<size_t>(field);
      if (target == nullptr || (f >= target->values.size() && !(idx == obj_idx && f == 0))) return false;
      std::string_view current = f < target->values.size() ? target->values[f] : std::string_view();
      if (current == name) return false;
      changed.push_back(Change{FieldLoc(static_cast<uint32_t>(idx), field), std::string(current), target->as_loaded});
      if (set_value(this, *target, idx, f, name) != EditStatus::kOk) {
        changed.pop_back();
        throw std::bad_alloc();
      }
      return true;
    };
    write(obj_idx, 0);
    for (const FieldLoc& loc : referring) {
      if (loc.first == obj_idx && loc.second == 0) continue;
      if (write(loc.first, loc.second)) ++rewritten;
    }
    return result;
  } catch (const std::bad_alloc&) {
    // Last change first: each field gets its text, and its index entries, back.
    for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
      if (ObjectData* target = object(it->loc.first)) {
        set_value(this, *target, it->loc.first, static_cast<size_t>(it->loc.second), it->text);
        target->as_loaded = it->as_loaded;
      }
    }
    if (!had_values) data->values.clear();
    rewritten = 0;
    result.kind = RenameResult::kNoMemory;
    return result;
  }
}

}  // namespace tamrix
