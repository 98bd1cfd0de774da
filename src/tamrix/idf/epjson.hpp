// epJSON, the JSON form of a model: writing a Model as the engine converts
// IDF to it, and reading such a document back into a Model. Plain C++ with
// errors as values; the names come from the dictionary by fixed rules:
//   * the document maps class name -> object key -> property -> value,
//     keys sorted by code point, 4-space indentation, no final line break;
//   * a field's property key is its name lower-cased with every run of
//     characters other than a-z and 0-9 made one '_' (a key a class already
//     has gets "_1", "_2", ... from one counter per class); fields without
//     a name are left out;
//   * the field keyed "name" (the first field of the two VRF classes that
//     name it otherwise) gives the object key; objects of classes without
//     one, or with it blank, are keyed "<class> <n>";
//   * extensible groups become one array of items (its name from the
//     engine's table, else "extensions"), keyed by the first group's names
//     without their group numbers;
//   * values are typed by their field: numbers as JSON numbers, choice keys
//     in the dictionary's spelling, everything else as written.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tamrix/idd/idd_core.hpp"

namespace tamrix {

class Model;

// One row of the generated table of extension array names (epjson_names.cpp).
struct EpjsonExtensionName {
  const char* class_name;
  const char* array_name;
};
extern const EpjsonExtensionName kEpjsonExtensionNames[];
extern const size_t kEpjsonExtensionNameCount;

// Why writing or reading epJSON failed; `message` names the class, the
// object key and the property (or the line and column of a syntax error).
struct EpjsonError {
  enum Kind { kNone, kNoMemory, kInvalid };
  Kind kind = kNone;
  std::string message;
  explicit operator bool() const noexcept { return kind != kNone; }
};

// The per-class names and value rules of a dictionary, made once and kept
// with it (thread-safe). Throws std::bad_alloc.
std::shared_ptr<const EpjsonSchema> epjson_schema(const c_IDD& idd);

// The property key of a field name ("Zone Name" -> "zone_name").
std::string epjson_key(std::string_view field_name);

// Storage the writer writes into: `data` holds `capacity` bytes. grow()
// makes room for `needed` bytes in all, keeping the first `used`, and sets
// data and capacity; false when it cannot (the write then fails as out of
// memory).
class EpjsonSink {
 public:
  char* data = nullptr;
  size_t capacity = 0;
  // Set by write_epjson: false when the document may hold bytes past
  // ASCII, true when it surely does not.
  bool ascii = false;
  virtual bool grow(size_t used, size_t needed) noexcept = 0;

 protected:
  ~EpjsonSink() = default;
};

// Writes the model as an epJSON document into `sink`, from its start;
// `size` is the document's length. Refuses (kInvalid) what the document
// cannot hold: two objects of a class under one key, values past the
// declared fields of a class that does not repeat, and values in fields the
// dictionary leaves unnamed.
EpjsonError write_epjson(const Model& model, EpjsonSink& sink, size_t& size) noexcept;

// The room write_epjson's document is likely to need (not a bound).
size_t epjson_size_hint(const Model& model) noexcept;

// Appends the model as an epJSON document (nothing on failure).
EpjsonError write_epjson(const Model& model, std::string& out) noexcept;

// Reads an epJSON document (UTF-8, an optional byte-order mark first) into
// `model`, which must be empty and have its dictionary. The model keeps no
// source text. On failure the model is left empty. Needs no interpreter.
EpjsonError load_epjson(Model& model, std::string_view text) noexcept;

// Whether `text` reads as epJSON rather than IDF: its first character that
// is not blank (after an optional UTF-8 byte-order mark) is '{'.
bool looks_like_epjson(std::string_view text) noexcept;

// The version_identifier of the first object of "Version" in an epJSON
// document; nullopt when there is none or the document cannot be read.
std::optional<std::string> epjson_version(std::string_view text);

// The JSON number a field's text stands for, as the engine writes it, or
// false (nothing appended) when the text is not a decimal number that a
// double can hold: an integer literal as Python's int() prints it, any other
// number as Python's repr of its float.
bool append_json_number(std::string& out, std::string_view text);

}  // namespace tamrix
