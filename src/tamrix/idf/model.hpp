// The document model: a loaded IDF text as objects of dictionary classes,
// with everything kept in step on every edit: the per-class lists, the name
// index behind lookups by name and the reference index. Plain C++ with errors
// as values; the tamrix.idf binding gives each live object one Python object
// and translates these results into exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tamrix/idd/idd_core.hpp"
#include "tamrix/idf/parser.hpp"
#include "tamrix/idf/reader.hpp"
#include "tamrix/idf/refindex.hpp"
#include "tamrix/idf/values.hpp"
#include "tamrix/idf/writer.hpp"

namespace tamrix {

// The text a model was loaded from, kept so that what the user wrote can
// be written back: comments, layout, line ends and encoding.
struct SourceText {
  enum Encoding { kUtf8, kCp1252, kLatin1, kOther };
  // As read, in UTF-8, without a byte-order mark. Never changed once
  // objects are read from it: their values point into it (and keep it).
  std::string text;
  size_t trailing = 0;    // where the text after the last object starts
  uint64_t id = 0;        // tells this text's objects from any other's
  Encoding encoding = kUtf8;
  std::string encoding_name;  // kOther: the codec the file was read with
  bool bom = false;           // the file started with a UTF-8 byte-order mark
  std::string line_end = "\n";  // the first line break of the text
};

// One object's class and values. Shared between the model's slot and the
// object's Python handle, so an object removed from its model keeps its
// values (which keep the text they were read from).
struct ObjectData {
  size_t class_idx = 0;
  ValueList values;  // field 0 first, as text
  // Where the object stood in the text it was loaded from (source_id 0:
  // nowhere), and whether it is still exactly as read there.
  uint64_t source_id = 0;
  SourceSpan span;
  int32_t first_line = 0;
  bool as_loaded = false;
};

using ObjectPtr = std::shared_ptr<ObjectData>;

// First live object of a class by ASCII-lower-cased first value, for lookups
// by name; built on demand and dropped when an object of the class is added,
// removed, or has its first field changed.
struct NameIndex {
  std::unordered_map<std::string, size_t, StringHash, std::equal_to<>> first_by_name;
};

// Why a load failed. Nothing of a failed load is kept.
struct LoadError {
  enum Kind { kNone, kNoMemory, kSyntax, kUnknownClass };
  Kind kind = kNone;
  ParseError parse;        // kSyntax: the parser's error
  std::string class_name;  // kUnknownClass: the class as written
  explicit operator bool() const noexcept { return kind != kNone; }
};

// An object to build whose class is already known, by its index in the
// dictionary (a reader that matched the class itself).
struct KnownObject {
  size_t class_idx = 0;
  ValueList values;
};

// The result of an edit: only running out of memory can fail one.
enum class EditStatus { kOk, kNoMemory };

// A number no other source text has had in this process.
uint64_t next_source_id() noexcept;

// Why a rename was refused; `taken_by`: the object already holding the
// name (kNameTaken).
struct RenameResult {
  enum Kind { kOk, kNoMemory, kNoObject, kBlankName, kNameTaken };
  Kind kind = kOk;
  size_t taken_by = 0;
};

// A field value read as its field's type says: what field access hands out.
struct TypedValue {
  enum Kind {
    kText,           // `text`, as stored
    kBlank,          // an empty numeric field
    kInteger,        // `integer`
    kBigInteger,     // a whole number beyond a long: `text` holds its digits
    kReal,           // `real`
    kAutosize,       // "Autosize", whatever case was stored
    kAutocalculate,  // "Autocalculate"
  };
  Kind kind = kText;
  std::string_view text;
  long integer = 0;
  double real = 0.0;
};

// Types `value` by its field's definition (null: plain text). Numbers are
// read in the C locale and only when the whole stored text is the number.
// `in_list`: `value` is a value of a ValueList, whose next byte can be
// read (see values.hpp), so that a number is read without a copy.
TypedValue type_value(const FieldDef* field, std::string_view value, bool in_list = false);

// Appends one object in the standard layout; throws std::bad_alloc.
void write_object_data(std::string& out, const FormatConfig& config, const ClassDef& cls, const ObjectData& data);

class Model {
 public:
  Model() = default;
  explicit Model(const c_IDD* idd) : idd_(idd) {}
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  const c_IDD* idd() const noexcept { return idd_; }
  void set_idd(const c_IDD* idd) noexcept { idd_ = idd; }

  // Reads and builds `text` (UTF-8 IDF text) into this empty model, and
  // keeps the text as the model's source. Needs no interpreter: run it
  // without the lock. On failure the model is left empty.
  LoadError load(std::string_view text) noexcept;
  // As load, taking the text over.
  LoadError load(std::string&& text) noexcept;
  // Matches parsed objects against the dictionary and appends them, their
  // values moved out of `raw`. On failure the objects built before it stay.
  LoadError build(std::vector<c_IDFObject>& raw) noexcept;
  // As build, for objects whose classes are known (indexes below the
  // dictionary's class count); fails only for want of memory.
  LoadError build(std::vector<KnownObject>& objects) noexcept;

  // --- objects ---
  size_t slot_count() const noexcept { return slots_.size(); }
  // The object at `obj_idx`, or null for a removed slot or one past the end.
  ObjectData* object(size_t obj_idx) const noexcept {
    return obj_idx < slots_.size() ? slots_[obj_idx].get() : nullptr;
  }
  const ObjectPtr& shared(size_t obj_idx) const noexcept { return slots_[obj_idx]; }
  // The object's class in this model's dictionary; null when it has none
  // there (an object restored from a damaged state).
  const ClassDef* class_of(const ObjectData& data) const noexcept {
    return idd_ != nullptr && data.class_idx < idd_->ordered_classes.size() ? &idd_->ordered_classes[data.class_idx]
                                                                            : nullptr;
  }

  // Appends `data` (whose values are already set and registered by the
  // caller through set_value, or blank) as a new object of its class.
  EditStatus append(const ObjectPtr& data, size_t& obj_idx) noexcept;
  // Removes a live object: out of its class list and both indexes; the
  // slot stays, empty. The object keeps its values.
  void remove(size_t obj_idx) noexcept;
  // Removes every object of a class (by upper-cased name); returns the
  // slots emptied, in class order.
  std::vector<size_t> remove_class(const std::string& class_key);
  // Moves a live object to `position` in its class list (clamped to the
  // end); the class's name index is dropped. False for a removed slot.
  bool move_in_class(size_t obj_idx, size_t position) noexcept;

  // Sets field `idx` of `data` to `value`, growing the values when needed;
  // keeps both indexes in step when `model` holds the object at `obj_idx`
  // (`model` null: a free-standing object). Setting the stored value again
  // changes nothing.
  static EditStatus set_value(Model* model, ObjectData& data, size_t obj_idx, size_t idx, std::string_view value) noexcept;
  // Sets several fields in order (a later write to a field wins), then,
  // with `trim`, drops trailing empty values. All or nothing: when memory
  // runs out part-way, the object and both indexes are put back.
  static EditStatus set_values(Model* model, ObjectData& data, size_t obj_idx,
                               const std::vector<std::pair<size_t, std::string>>& writes, bool trim) noexcept;
  // Drops trailing empty values.
  static void trim_trailing_empty(Model* model, ObjectData& data) noexcept;

  // --- lookups ---
  // The objects of a class (by upper-cased name), in insertion order; null
  // when the class has never had one.
  const std::vector<size_t>* class_positions(const std::string& class_key) const noexcept;
  // The first live object of a class whose first value equals `name`
  // (ASCII case-insensitively); EditStatus::kNoMemory when the index could
  // not be built.
  EditStatus find_by_name(size_t class_idx, const std::string& class_key, std::string_view name,
                          std::optional<size_t>& found);
  // The first live object defining the value of field `field` under one of
  // its object lists; the objects whose fields point at it under one of its
  // reference lists (in index order, one entry per referring field).
  std::optional<size_t> referenced(const FieldDef& field, const std::string& upper_value) const noexcept;
  void referencing(const FieldDef& field, const std::string& upper_value, std::vector<size_t>& out) const;

  // --- writing ---
  // Appends every live object: in dictionary order with group headers, or
  // in insertion order; with `keep_comments`, with the comments the user
  // wrote in the source. Throws std::bad_alloc.
  void write(std::string& out, const FormatConfig& config, bool preserve_order, bool keep_comments = false) const;
  // What write(out, config, preserve_order) appends (no comments), in two
  // steps: its exact size, then the text written at `p`, which has room
  // for it (returns its end). Lets a caller write straight into storage
  // of its own. The text starts with a line break unless it is empty:
  // `skip_first_break` leaves that out (the room needed is one less).
  size_t written_size(const FormatConfig& config, bool preserve_order) const;
  char* write_at(char* p, const FormatConfig& config, bool preserve_order, bool skip_first_break = false) const;
  // Appends the model as it was read: every object still as loaded exactly
  // as it stood, edited ones in the standard layout with their comments in
  // their place, added ones at the end, all line breaks as the source's.
  void write_original(std::string& out, const FormatConfig& config) const;

  // --- the source ---
  const SourceText* source() const noexcept { return source_.get(); }
  void set_source(std::shared_ptr<SourceText> source) noexcept { source_ = std::move(source); }
  SourceText* source() noexcept { return source_.get(); }
  bool from_source(const ObjectData& data) const noexcept {
    return source_ != nullptr && data.source_id == source_->id;
  }
  // The 1-based line of each value of an object still as loaded; empty
  // otherwise.
  std::vector<int32_t> source_lines(const ObjectData& data) const;

  // --- state, for pickling and its restore ---
  std::vector<ObjectPtr>& slots() noexcept { return slots_; }
  std::unordered_map<std::string, std::vector<size_t>>& index_map() noexcept { return class_positions_; }
  RefMap& targets() noexcept { return targets_; }
  RefMap& referencers() noexcept { return referencers_; }
  const RefMap& targets() const noexcept { return targets_; }
  const RefMap& referencers() const noexcept { return referencers_; }
  // The name indexes are derived: a restored model rebuilds them on demand.
  void forget_name_indexes() noexcept { name_indexes_.clear(); }
  const std::unordered_map<size_t, NameIndex>& name_indexes() const noexcept { return name_indexes_; }
  void clear() noexcept;

  // --- renaming ---
  // Every live field that points at `upper_value` through one of the
  // reference lists of `field` (a field defining names), once per
  // (object, field), in index order.
  void referring_fields(const FieldDef& field, const std::string& upper_value, std::vector<FieldLoc>& out) const;
  // Gives the live object at `obj_idx` the first value `new_name` (already
  // checked as a field write would check it) and rewrites every field that
  // points at its old name through one of field 0's reference lists.
  // `rewritten`: how many fields (the object's own first field not
  // counted) changed their text. All or nothing.
  RenameResult rename(size_t obj_idx, std::string_view new_name, size_t& rewritten) noexcept;

 private:
  void forget_names(size_t class_idx) noexcept { name_indexes_.erase(class_idx); }
  struct Loader;
  template <class Object, class Header, class Break>
  void walk_plain(const FormatConfig& config, bool preserve_order, Object&& object_fn, Header&& header,
                  Break&& line_break) const;
  void register_fields(const ObjectData& data, size_t obj_idx);
  struct ListCache;
  void register_loaded(const ObjectData& data, size_t obj_idx, ListCache& lists);
  void unregister_fields(const ObjectData& data, size_t obj_idx) noexcept;

  const c_IDD* idd_ = nullptr;
  std::vector<ObjectPtr> slots_;  // position = obj_idx; null once removed
  // ASCII-upper-cased class name -> obj_idx of its objects, in insertion order.
  std::unordered_map<std::string, std::vector<size_t>> class_positions_;
  RefMap targets_;      // reference list -> value -> where the name is defined
  RefMap referencers_;  // object list -> value -> which fields point at it
  std::unordered_map<size_t, NameIndex> name_indexes_;  // by class_idx
  std::shared_ptr<SourceText> source_;                  // null: built from nothing
};

// Appends the object standing at `span` of `text` with `values` written
// over its own, each in its place (a comment after a value keeps its
// column); false, with nothing appended, when the source does not hold as
// many values or a value cannot stand in the text.
bool write_values_in_place(std::string& out, std::string_view text, const SourceSpan& span, const ValueList& values);

}  // namespace tamrix
