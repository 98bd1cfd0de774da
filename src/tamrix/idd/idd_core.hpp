// The data dictionary (IDD) records and the dictionary functions over them.
// Plain C++: the reader and the field lookups know nothing of Python; the
// IDD type in module.cpp holds a c_IDD and binds these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tamrix {

enum FieldType : int {
  FIELDTYPE_DEFAULT = 0,
  FIELDTYPE_INTEGER = 1,
  FIELDTYPE_REAL = 2,
  FIELDTYPE_ALPHA = 3,
  FIELDTYPE_CHOICE = 4,
  FIELDTYPE_OBJLIST = 5,
  FIELDTYPE_NODE = 6,
};

struct FieldDef {
  // Ordered so that the flags share one word: a large dictionary holds
  // tens of thousands of fields.
  std::string name;
  std::string units;
  std::string default_val;
  std::vector<std::string> choices;
  std::vector<std::string> references;
  std::vector<std::string> object_lists;

  // Kept for model checks: the field code ("A3", "N7") and the bounds.
  std::string code;
  double minimum = 0.0;
  double maximum = 0.0;
  FieldType field_type = FIELDTYPE_DEFAULT;
  bool required = false;
  bool autosizable = false;
  bool autocalculatable = false;
  bool has_minimum = false;
  bool minimum_exclusive = false;  // \minimum>
  bool has_maximum = false;
  bool maximum_exclusive = false;  // \maximum<
};

struct ExtPattern {
  std::string prefix;         // name before its first digit run ("Vertex ")
  std::string suffix;         // name after it (" X-coordinate")
  std::string search_prefix;  // the two, ASCII-lower-cased
  std::string search_suffix;
  // Group number written in the first group's name (1 for "Vertex 1 ...",
  // 5 for "Wavelength 5"); -1 when the name holds no digit and repeats.
  int32_t number = -1;
  // What the number grows by from one group to the next: 1 for a named
  // field; for a field the dictionary leaves unnamed, whose name is its code
  // ("N20"), the number of fields of its kind (A or N) per group, so later
  // groups are named by their own codes ("N40" with twenty N fields a group).
  int32_t step = 1;
};

struct ExtensibleDef {
  bool is_extensible = false;
  int begin_index = 0;  // first field of the first repeated group
  int size = 0;         // fields per group
  std::vector<ExtPattern> patterns;  // one per field of the first group
};

// The fields of a class: a run of its dictionary's field storage
// (c_IDD::field_storage), so that a dictionary's tens of thousands of
// fields lie in one block rather than one allocation per class.
class FieldList {
 public:
  FieldList() = default;
  FieldList(FieldDef* data, size_t size) noexcept : data_(data), size_(size) {}
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  FieldDef& operator[](size_t i) noexcept { return data_[i]; }
  const FieldDef& operator[](size_t i) const noexcept { return data_[i]; }
  FieldDef* begin() noexcept { return data_; }
  FieldDef* end() noexcept { return data_ + size_; }
  const FieldDef* begin() const noexcept { return data_; }
  const FieldDef* end() const noexcept { return data_ + size_; }
  const FieldDef& back() const noexcept { return data_[size_ - 1]; }

 private:
  FieldDef* data_ = nullptr;
  size_t size_ = 0;
};

// Field indexes by name, ASCII case-insensitively: open addressing over the
// positions of the fields, hashing their own names, so a class costs one
// small table rather than a node and a key copy per field. Where two fields
// share a name, the first is found.
class FieldNameIndex {
 public:
  void build(const FieldList& fields);
  // Index of the field named `name`; -1 when none is.
  int find(const FieldList& fields, std::string_view name) const noexcept;

 private:
  std::vector<int32_t> slots_;  // field index, or -1; size a power of two
};

struct ClassDef {
  std::string name;
  std::string group;
  FieldList fields;  // in the dictionary's field_storage
  int min_fields = 0;
  FieldNameIndex field_index;  // the declared fields by name
  ExtensibleDef extensible;
  std::vector<size_t> field_idx_with_default;

  bool unique_object = false;
  bool required_object = false;

  // Attribute key (see attribute_key) -> index, for the declared fields
  // whose key does not read back as their name with blanks for underscores
  // (has_irregular_attribute_key); a later field with the same key replaces
  // an earlier one. Filled by index_attribute_keys.
  std::unordered_map<std::string, int> attribute_key_index_map;
};

struct EpjsonSchema;

struct c_IDD {
  c_IDD() = default;
  // The classes point into field_storage: a copy would point into the
  // original's. Moving keeps the storage where it is.
  c_IDD(const c_IDD&) = delete;
  c_IDD& operator=(const c_IDD&) = delete;
  c_IDD(c_IDD&&) noexcept = default;
  c_IDD& operator=(c_IDD&&) noexcept = default;

  std::string version;
  std::vector<FieldDef> field_storage;  // every class's fields, class after class
  std::unordered_map<std::string, size_t> class_map;  // ASCII-upper-cased name -> index
  std::vector<ClassDef> ordered_classes;
  // The epJSON names of the classes and fields, made on first use and only
  // through epjson_schema() (idf/epjson.hpp), which guards it.
  mutable std::shared_ptr<const EpjsonSchema> epjson_schema;
};

// A failure to read dictionary text: the line and what is wrong there.
struct IddError {
  int line = 0;
  std::string message;
  explicit operator bool() const noexcept { return !message.empty(); }
};

// Reads dictionary text (UTF-8) into `out`. On failure returns the error and
// leaves `out` in an unspecified but valid state.
IddError read_idd(std::string_view text, c_IDD& out);

// The text after "!IDD_Version " on the first line; empty when absent.
std::string idd_version_line(std::string_view text);

// Definition of field `index`: a declared field, or for an extensible class
// the matching field of the first group; null past the end otherwise.
const FieldDef* get_field_def(const ClassDef* cls, size_t index) noexcept;

// Name of field `index`: the declared name, or the generated name of a later
// extensible group ("Vertex 5 X-coordinate"); with `with_units` and units
// known, " {units}" is appended. Empty for an index with no field.
std::string get_field_name(const ClassDef* cls, int index, bool with_units);

// Appends what get_field_name returns to `out`, without a temporary.
void append_field_name(std::string& out, const ClassDef* cls, int index, bool with_units);

// The generated name of field `i` of an extensible class ("Vertex 5
// X-coordinate"), whether or not the field is declared; empty before the
// repeated region or for a class that does not repeat.
std::string extensible_field_name(const ClassDef* cls, size_t i);

// Index of a field name (ASCII case-insensitive), including the names of
// later extensible groups; -1 when the class has no such field.
int find_field_index(const ClassDef* cls, std::string_view name);

/*** Attribute keys ***/
// Scripts reach fields as attributes (obj.Zone_Name, obj.Vertex_3_Xcoordinate):
// the rules that turn field names into attribute names and back live here.

// The attribute spelling of a field name: each blank an underscore, "-",
// "/" and "*" left out ("Vertex 1 X-coordinate" -> "Vertex_1_Xcoordinate").
std::string attribute_name(std::string_view field_name);

// What attributes are matched on: attribute_name with A-Z lower-cased
// ("vertex_1_xcoordinate").
std::string attribute_key(std::string_view field_name);

// Whether the attribute key of a field name fails to read back as the name
// with blanks for underscores: the name holds "-", "/" or "*". Only such
// names need an entry in attribute_key_index_map.
bool has_irregular_attribute_key(std::string_view field_name) noexcept;

// Fills cls.attribute_key_index_map. A key holding non-ASCII text goes
// through `lower` when given (the dictionary module passes the
// interpreter's full lower-casing, so that keys match attribute names
// folded the same way); otherwise only A-Z are folded.
void index_attribute_keys(ClassDef& cls, std::string (*lower)(std::string_view key) = nullptr);

// The field name an attribute key stands for in a class (A-Z are folded
// here; other letters must come lower-cased). In order:
//   1. the indexed field whose key it is (attribute_key_index_map);
//   2. the key with its first digit run replaced by "1", if that is an
//      indexed key: that field's name with every "1" replaced by the run
//      (a later extensible group: "vertex_12_xcoordinate" ->
//      "Vertex 12 X-coordinate");
//   3. the key with blanks for underscores ("zone_name" -> "zone name"),
//      which find_field_index matches in any letter case.
// The class need not have the field: the field lookup that follows says so.
std::string field_name_for_attribute_key(const ClassDef* cls, std::string_view key);

// Index of the field an attribute key reaches:
// find_field_index(field_name_for_attribute_key(key)); -1 when none.
int find_field_by_attribute_key(const ClassDef* cls, std::string_view key);

// The attribute names of the declared fields, in field order, each once
// (unnumbered extensible groups repeat their names).
std::vector<std::string> attribute_names(const ClassDef* cls);

// Finds a class by name, ASCII case-insensitively; null when absent.
const ClassDef* find_class(const c_IDD& idd, std::string_view name);

}  // namespace tamrix
