// The records of tamrix.idf and its native interface, published as the
// capsule "tamrix.idf._C_API" for the facade module.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idd/idd_core.hpp"
#include "tamrix/idf/model.hpp"

namespace tamrix {

// A loaded document: the model and one Python object per live slot.
struct IDFRecord {
  PyObject_HEAD
  PyObject* idd;      // the IDD the document follows; None until loaded
  PyObject* objects;  // list of IDFObject; position = obj_idx; None once removed
  Model model;        // values, class lists, name and reference indexes
  PyObject* weakreflist;
};

// One object of a document, or a free-standing one.
struct IDFObjectRecord {
  PyObject_HEAD
  PyObject* idd;         // the IDD holding the object's class; None until initialised
  PyObject* parent_idf;  // the owning IDF, or None when detached
  size_t class_idx;      // index in the dictionary's ordered_classes
  PyObject* class_name;  // str shared by every object of the class
  ObjectPtr data;        // the values; the model's slot shares them while attached
  size_t obj_idx;        // position in the owner's objects list
  PyObject* weakreflist;
};

// Native methods of IDF, in table order.
struct IDFMethods {
  void (*register_target)(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                          int field_idx);
  void (*register_referencer)(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                              int field_idx);
  void (*unregister_target)(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                            int field_idx);
  void (*unregister_referencer)(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                                int field_idx);
  int (*c_init)(IDFRecord* self, PyObject* idd, PyObject* idf_content);
  void (*build_objects)(IDFRecord* self, std::vector<c_IDFObject>& c_idf_objects);
  PyObject* (*get_objects_raw)(IDFRecord* self, PyObject* class_name);
  void (*write_to_buffer)(IDFRecord* self, std::string& out, const FormatConfig* config, bool preserve_order);
};

// Native methods of IDFObject, in table order.
struct IDFObjectMethods {
  const ClassDef* (*get_class_def)(IDFObjectRecord* self);
  int (*c_init)(IDFObjectRecord* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                std::vector<std::string>& values);
  int (*set_string_by_index)(IDFObjectRecord* self, int field_idx, const std::string& value);
  int (*set_by_index)(IDFObjectRecord* self, int field_idx, PyObject* value);
  void (*trim_trailing_empty_fields)(IDFObjectRecord* self);
  void (*write_to_buffer)(IDFObjectRecord* self, std::string& out, const FormatConfig* config);
};

struct IdfCAPI {
  static constexpr int kAbiVersion = 3;
  int abi_version;
  PyTypeObject* IDF_type;
  PyTypeObject* IDFObject_type;
  PyTypeObject* IDFObjectTuple_type;
  const IDFMethods* idf;
  const IDFObjectMethods* object;
};

inline constexpr const char* kIdfCapsule = "tamrix.idf._C_API";

}  // namespace tamrix
