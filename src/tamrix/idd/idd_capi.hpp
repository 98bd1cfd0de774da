// The native interface of tamrix.idd, published as the capsule
// "tamrix.idd._C_API": the IDD type (whose c_IDD other modules read in
// place), the four dictionary functions, and the attribute-key rules of
// the scripting facade.
#pragma once

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idd/idd_core.hpp"

namespace tamrix {

struct IDDObject {
  PyObject_HEAD
  c_IDD c_idd;
  bool initialized;
  PyObject* version;  // str, or None when the text names no version
  // One str per class, in dictionary order: every object of a class shares
  // its class's str as its class_name. An empty tuple until loaded.
  PyObject* class_names;
  // Where the dictionary came from, for pickling: the absolute path of its
  // file (str), or its text (bytes) when it was read from a string.
  PyObject* source_path;
  PyObject* source_text;
  uint64_t digest;  // of the UTF-8 text read
  PyObject* weakreflist;
};

struct IddCAPI {
  static constexpr int kAbiVersion = 2;
  int abi_version;
  PyTypeObject* IDD_type;
  // An int index or a str field name to a field index; -1 with IndexError,
  // KeyError or TypeError set.
  int (*resolve_key_to_field_index)(const ClassDef* cls, PyObject* key);
  const FieldDef* (*get_field_def)(const ClassDef* cls, size_t index);
  std::string (*get_field_name)(const ClassDef* cls, int index, bool with_units);
  int (*find_field_index)(const ClassDef* cls, const std::string& name);
  // Attribute keys (idd_core.hpp). These may throw std::bad_alloc: callers
  // run them under binding::guard.
  std::string (*attribute_key)(std::string_view field_name);
  bool (*has_irregular_attribute_key)(std::string_view field_name);
  std::string (*field_name_for_attribute_key)(const ClassDef* cls, std::string_view key);
  int (*find_field_by_attribute_key)(const ClassDef* cls, std::string_view key);
  std::vector<std::string> (*attribute_names)(const ClassDef* cls);
};

inline constexpr const char* kIddCapsule = "tamrix.idd._C_API";

}  // namespace tamrix
