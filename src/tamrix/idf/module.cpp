// tamrix.idf: the binding of the document model (model.hpp). IDF (a loaded
// document) and IDFObject (one object): argument handling, one Python object
// per live slot, typed values, pickling, and errors turned into exceptions.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <limits>
#include <new>
#include <optional>

#include "tamrix/binding/pickling.hpp"
#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idd/idd_capi.hpp"
#include "tamrix/idf/epjson.hpp"
#include "tamrix/idf/idf_capi.hpp"
#include "tamrix/utils/file.hpp"
#include "tamrix/utils/text.hpp"
#include "tamrix/utils/utils_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

/*** Bound neighbours ***/

const IddCAPI* idd_api = nullptr;
const UtilsCAPI* utils_api = nullptr;
PyObject* write_file_func = nullptr;  // tamrix._fileio.write_file

PyTypeObject IDF_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject IDFObject_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

FormatConfig DEFAULT_FORMAT_CONFIG;
FormatConfig MINIMAL_FORMAT_CONFIG;

constexpr const char* kNotLoaded =
    "IDF is not loaded: create documents with IDF.from_file() or IDF.from_string()";
constexpr const char* kObjectNotInitialised =
    "IDFObject is not initialised: create objects with IDFObject(idd, class_name) or through an IDF";

IDFRecord* as_idf(PyObject* o) { return reinterpret_cast<IDFRecord*>(o); }
IDFObjectRecord* as_object(PyObject* o) { return reinterpret_cast<IDFObjectRecord*>(o); }

bool is_idd(PyObject* o) { return o != nullptr && PyObject_TypeCheck(o, idd_api->IDD_type); }
const c_IDD& c_idd_of(PyObject* idd) { return reinterpret_cast<IDDObject*>(idd)->c_idd; }

// The document's dictionary, or null with TypeError for a document that was
// allocated but never loaded.
const c_IDD* loaded_idd(IDFRecord* self) {
  if (!is_idd(self->idd) || self->objects == nullptr || !PyList_Check(self->objects)) {
    PyErr_SetString(PyExc_TypeError, kNotLoaded);
    return nullptr;
  }
  return &c_idd_of(self->idd);
}

// The Python object of slot `obj_idx` if it has been made; null for a
// removed slot and for one whose object nobody has asked for yet.
IDFObjectRecord* made_object(IDFRecord* self, size_t obj_idx) {
  if (obj_idx >= static_cast<size_t>(PyList_GET_SIZE(self->objects))) return nullptr;
  PyObject* item = PyList_GET_ITEM(self->objects, static_cast<Py_ssize_t>(obj_idx));
  if (!PyObject_TypeCheck(item, &IDFObject_Type)) return nullptr;
  return as_object(item);
}

// A new object with no class (and, unless `with_data`, no values), or null
// with an exception.
IDFObjectRecord* alloc_object(PyTypeObject* type, bool with_data = true);

// The dictionary's name of class `class_idx` (borrowed), or null with
// ValueError.
PyObject* class_name_at(PyObject* idd, size_t class_idx) {
  const IDDObject* dict = reinterpret_cast<IDDObject*>(idd);
  if (class_idx >= dict->c_idd.ordered_classes.size() ||
      class_idx >= static_cast<size_t>(PyTuple_GET_SIZE(dict->class_names))) {
    PyErr_Format(PyExc_ValueError, "Class index out of bounds: %zu", class_idx);
    return nullptr;
  }
  return PyTuple_GET_ITEM(dict->class_names, static_cast<Py_ssize_t>(class_idx));
}

// Makes `rec` the object of the document's live slot `obj_idx`, sharing its
// values; -1 with an exception.
int bind_to_slot(IDFObjectRecord* rec, IDFRecord* self, size_t obj_idx) {
  const ObjectPtr& data = self->model.shared(obj_idx);
  PyObject* class_name = class_name_at(self->idd, data->class_idx);
  if (class_name == nullptr) return -1;
  Py_SETREF(rec->idd, Py_NewRef(self->idd));
  Py_SETREF(rec->parent_idf, Py_NewRef(reinterpret_cast<PyObject*>(self)));
  Py_SETREF(rec->class_name, Py_NewRef(class_name));
  rec->class_idx = data->class_idx;
  rec->data = data;
  rec->obj_idx = obj_idx;
  return 0;
}

// A document makes the Python object of a slot the first time a caller asks
// for it (a load makes none), and keeps it, so an object is always the same
// one. The live object at `obj_idx`: null for a removed slot, or null with
// an exception when it cannot be made.
IDFObjectRecord* object_at(IDFRecord* self, size_t obj_idx) {
  if (IDFObjectRecord* made = made_object(self, obj_idx)) return made;
  auto live = [&] {
    return obj_idx < static_cast<size_t>(PyList_GET_SIZE(self->objects)) && obj_idx < self->model.slot_count() &&
           self->model.shared(obj_idx) != nullptr;
  };
  if (!live()) return nullptr;
  PyRef obj = PyRef::steal(reinterpret_cast<PyObject*>(alloc_object(&IDFObject_Type, false)));
  if (!obj) return nullptr;
  // Allocating may run a collection, and with it code that asks for this
  // same object or removes it: what is there now wins.
  if (IDFObjectRecord* made = made_object(self, obj_idx)) return made;
  if (!live()) return nullptr;
  IDFObjectRecord* rec = as_object(obj.get());
  if (bind_to_slot(rec, self, obj_idx) < 0) return nullptr;
  PyList_SetItem(self->objects, static_cast<Py_ssize_t>(obj_idx), obj.release());  // drops the None
  return rec;
}

// Makes the Python object of every live slot; -1 with an exception.
int make_all_objects(IDFRecord* self) {
  for (size_t obj_idx = 0; obj_idx < self->model.slot_count(); ++obj_idx) {
    if (object_at(self, obj_idx) == nullptr && PyErr_Occurred()) return -1;
  }
  return 0;
}

/*** Reference index ***/

// The native entry points that other modules may call: failures are reported
// as unraisable, and the model carries on.
void IDF_register_target(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                         int field_idx) {
  binding::run_or_report("tamrix.idf.IDF.register_target",
                         [&] { ref_register(self->model.targets(), tag, val, obj_idx, field_idx); });
}

void IDF_register_referencer(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                             int field_idx) {
  binding::run_or_report("tamrix.idf.IDF.register_referencer",
                         [&] { ref_register(self->model.referencers(), tag, val, obj_idx, field_idx); });
}

void IDF_unregister_target(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                           int field_idx) {
  binding::run_or_report("tamrix.idf.IDF.unregister_target",
                         [&] { ref_unregister(self->model.targets(), tag, val, obj_idx, field_idx); });
}

void IDF_unregister_referencer(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                               int field_idx) {
  binding::run_or_report("tamrix.idf.IDF.unregister_referencer",
                         [&] { ref_unregister(self->model.referencers(), tag, val, obj_idx, field_idx); });
}

bool no_memory(EditStatus status) {
  if (status == EditStatus::kOk) return false;
  PyErr_NoMemory();
  return true;
}

/*** IDFObject: native methods ***/

// No checks: callers have a valid object (see checked_class_def).
const ClassDef* IDFObject_get_class_def(IDFObjectRecord* self) {
  return &c_idd_of(self->idd).ordered_classes[self->class_idx];
}

// The object's class, or null (no exception) when it was never initialised.
const ClassDef* class_def_or_null(IDFObjectRecord* self) {
  if (!is_idd(self->idd) || self->class_idx >= c_idd_of(self->idd).ordered_classes.size()) return nullptr;
  return IDFObject_get_class_def(self);
}

// The object's class, or null with TypeError for an object that was never
// initialised or whose class index does not fit its dictionary.
const ClassDef* checked_class_def(IDFObjectRecord* self) {
  const ClassDef* cls = class_def_or_null(self);
  if (cls == nullptr) PyErr_SetString(PyExc_TypeError, kObjectNotInitialised);
  return cls;
}

// The model holding the object, or null for a free-standing one.
Model* owner_model(IDFObjectRecord* self) {
  if (!PyObject_TypeCheck(self->parent_idf, &IDF_Type)) return nullptr;
  Model& model = as_idf(self->parent_idf)->model;
  return model.object(self->obj_idx) == self->data.get() ? &model : nullptr;
}

ValueList& values_of(IDFObjectRecord* self) { return self->data->values; }

// Initialises an object of class `class_idx` with `values` (taken over).
int init_object(IDFObjectRecord* self, PyObject* idd, PyObject* parent_idf, size_t class_idx, ValueList& values) {
  Py_INCREF(idd);
  Py_SETREF(self->idd, idd);
  Py_INCREF(parent_idf);
  Py_SETREF(self->parent_idf, parent_idf);
  if (!is_idd(idd)) {
    PyErr_Format(PyExc_TypeError, "expected an IDD, got %.200s", Py_TYPE(idd)->tp_name);
    return -1;
  }
  PyObject* name = class_name_at(idd, class_idx);
  if (name == nullptr) return -1;
  self->class_idx = class_idx;
  self->data->class_idx = class_idx;
  Py_SETREF(self->class_name, Py_NewRef(name));
  self->data->values = std::move(values);
  self->data->as_loaded = false;
  return 0;
}

// init_object for native callers, with the values as strings (moved out).
int IDFObject_c_init(IDFObjectRecord* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                     std::vector<std::string>& values) {
  ValueList list;
  if (!binding::guard(false, [&] {
        list = values;
        return true;
      })) {
    return -1;
  }
  values.clear();
  return init_object(self, idd, parent_idf, class_idx, list);
}

// Appends the object's text; throws when the buffer cannot grow.
void write_one(IDFObjectRecord* self, std::string& out, const FormatConfig* config) {
  const ClassDef* cls = class_def_or_null(self);
  if (cls != nullptr) write_object_data(out, *config, *cls, *self->data);
}

void IDFObject_write_to_buffer(IDFObjectRecord* self, std::string& out, const FormatConfig* config) {
  binding::run_or_report("tamrix.idf.IDFObject.write_to_buffer", [&] { write_one(self, out, config); });
}

/*** IDFObject: type slots ***/

IDFObjectRecord* alloc_object(PyTypeObject* type, bool with_data) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  IDFObjectRecord* obj = as_object(self);
  obj->idd = Py_NewRef(Py_None);
  obj->parent_idf = Py_NewRef(Py_None);
  obj->class_idx = 0;
  obj->class_name = Py_NewRef(Py_None);
  new (&obj->data) ObjectPtr();
  obj->obj_idx = 0;
  obj->weakreflist = nullptr;
  if (!with_data) return obj;
  bool ok = binding::guard(false, [&] {
    obj->data = std::make_shared<ObjectData>();
    return true;
  });
  if (!ok) {
    Py_DECREF(self);
    return nullptr;
  }
  return obj;
}

PyObject* IDFObject_new(PyTypeObject* type, PyObject*, PyObject*) {
  return reinterpret_cast<PyObject*>(alloc_object(type));
}

int IDFObject_traverse(PyObject* op, visitproc visit, void* arg) {
  IDFObjectRecord* self = as_object(op);
  Py_VISIT(self->idd);
  Py_VISIT(self->parent_idf);
  Py_VISIT(self->class_name);
  return 0;
}

int IDFObject_clear(PyObject* op) {
  IDFObjectRecord* self = as_object(op);
  Py_CLEAR(self->idd);
  Py_CLEAR(self->parent_idf);
  Py_CLEAR(self->class_name);
  return 0;
}

void IDFObject_dealloc(PyObject* op) {
  IDFObjectRecord* self = as_object(op);
  PyObject_GC_UnTrack(op);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  IDFObject_clear(op);
  self->data.~ObjectPtr();
  Py_TYPE(op)->tp_free(op);
}

PyObject* IDFObject_repr(PyObject* op) {
  IDFObjectRecord* self = as_object(op);
  if (!is_idd(self->idd)) return PyUnicode_FromFormat("<%s (not initialised)>", Py_TYPE(op)->tp_name);
  std::string out;
  bool ok = binding::guard(false, [&] {
    write_one(self, out, &DEFAULT_FORMAT_CONFIG);
    return true;
  });
  return ok ? binding::str_from_utf8(out) : nullptr;
}

PyObject* IDFObject_get_class_name(PyObject* op, void*) { return Py_NewRef(as_object(op)->class_name); }

/*** IDFObject: field values ***/

// `val`: a value of an object's ValueList, or empty.
inline PyObject* convert_field_value(const FieldDef* fd, std::string_view val) {
  TypedValue typed = type_value(fd, val, true);
  switch (typed.kind) {
    case TypedValue::kBlank:
      Py_RETURN_NONE;
    case TypedValue::kInteger:
      return PyLong_FromLong(typed.integer);
    case TypedValue::kBigInteger:
      return PyLong_FromString(std::string(val).c_str(), nullptr, 10);
    case TypedValue::kReal:
      return PyFloat_FromDouble(typed.real);
    case TypedValue::kAutosize:
      return PyUnicode_FromString("Autosize");
    case TypedValue::kAutocalculate:
      return PyUnicode_FromString("Autocalculate");
    case TypedValue::kText:
      break;
  }
  return binding::str_from_utf8(val);
}

void IDFObject_trim_trailing_empty_fields(IDFObjectRecord* self) {
  Model::trim_trailing_empty(owner_model(self), *self->data);
}

int IDFObject_set_string_by_index(IDFObjectRecord* self, int field_idx, const std::string& value) {
  if (field_idx < 0) {
    PyErr_Format(PyExc_IndexError, "Field index %d out of range", field_idx);
    return -1;
  }
  if (checked_class_def(self) == nullptr) return -1;
  EditStatus status =
      Model::set_value(owner_model(self), *self->data, self->obj_idx, static_cast<size_t>(field_idx), value);
  return no_memory(status) ? -1 : 0;
}

// The highest field index a key can name: field positions are ints.
constexpr long long kMaxFieldIndex = std::numeric_limits<int>::max();

// Resolves a field key of an object of `cls` holding `stored` values; -1
// with an exception. An integer below `stored` names a stored value, and
// any integer from 0 names a field of an extensible class (its later
// groups); everything else is the dictionary's to accept or refuse.
int resolve_field(const ClassDef* cls, size_t stored, PyObject* key) {
  if (PyLong_Check(key)) {
    int overflow = 0;
    long long index = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (index == -1 && PyErr_Occurred()) return -1;
    bool extensible = cls->extensible.is_extensible && cls->extensible.size > 0;
    if (overflow == 0 && index >= 0 && index <= kMaxFieldIndex &&
        (static_cast<unsigned long long>(index) < stored || extensible)) {
      return static_cast<int>(index);
    }
    if (extensible && overflow >= 0 && index >= 0) {
      PyErr_Format(PyExc_IndexError, "Field index %R out of range for class '%s' (0 to %lld)", key,
                   cls->name.c_str(), kMaxFieldIndex);
      return -1;
    }
  }
  return idd_api->resolve_key_to_field_index(cls, key);
}

// Resolves a key against the object's class and stored values.
int resolve_key(IDFObjectRecord* self, PyObject* key, const ClassDef** cls_out = nullptr) {
  const ClassDef* cls = checked_class_def(self);
  if (cls == nullptr) return -1;
  if (cls_out != nullptr) *cls_out = cls;
  return resolve_field(cls, values_of(self).size(), key);
}

// "Field "Name" of Zone", or "Field 12 of Zone" for a field the dictionary
// does not name.
PyObject* describe_field(const ClassDef* cls, size_t idx) {
  std::string name;
  if (!binding::guard(false, [&] {
        name = get_field_name(cls, static_cast<int>(idx), false);
        return true;
      })) {
    return nullptr;
  }
  if (name.empty()) return PyUnicode_FromFormat("Field %zu of %s", idx, cls->name.c_str());
  PyRef text = PyRef::steal(binding::str_from_utf8(name));
  return text ? PyUnicode_FromFormat("Field \"%U\" of %s", text.get(), cls->name.c_str()) : nullptr;
}

// The text field `idx` of `cls` stores for a Python value; -1 with an
// exception. None and anything equal to "" are a blank; otherwise
// any_to_string's text (which refuses separators), refused when it holds a
// control character other than tab (the file has no way to carry one), and
// without leading and trailing blanks (space, tab), as reading the written
// file back gives it.
int value_to_text(const ClassDef* cls, size_t idx, PyObject* value, std::string& text) {
  text.clear();
  bool blank;
  if (value == Py_None) {
    blank = true;
  } else if (PyUnicode_Check(value)) {
    blank = PyUnicode_GET_LENGTH(value) == 0;
  } else {
    PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return -1;
    int eq = PyObject_RichCompareBool(value, empty.get(), Py_EQ);
    if (eq < 0) return -1;
    blank = eq != 0;
  }
  if (blank) return 0;
  if (utils_api->any_to_string(value, text) < 0 || PyErr_Occurred()) return -1;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      PyRef field = PyRef::steal(describe_field(cls, idx));
      char code[8];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(byte));
      if (field) PyErr_Format(PyExc_ValueError, "%U cannot hold the control character %s", field.get(), code);
      return -1;
    }
  }
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    text.clear();
  } else {
    text.erase(text.find_last_not_of(" \t") + 1);
    text.erase(0, first);
  }
  return 0;
}

int IDFObject_set_by_index(IDFObjectRecord* self, int field_idx, PyObject* value) {
  const ClassDef* cls = checked_class_def(self);
  if (cls == nullptr) return -1;
  if (field_idx < 0) {
    PyErr_Format(PyExc_IndexError, "Field index %d out of range", field_idx);
    return -1;
  }
  std::string text;
  if (value_to_text(cls, static_cast<size_t>(field_idx), value, text) < 0) return -1;
  return IDFObject_set_string_by_index(self, field_idx, text);
}

PyObject* IDFObject_subscript(PyObject* op, PyObject* key) {
  IDFObjectRecord* self = as_object(op);
  const ClassDef* cls = nullptr;
  int idx = resolve_key(self, key, &cls);
  if (idx < 0) return nullptr;
  const FieldDef* fd = get_field_def(cls, static_cast<size_t>(idx));
  size_t i = static_cast<size_t>(idx);
  return convert_field_value(fd, i < values_of(self).size() ? values_of(self)[i] : std::string_view());
}

int IDFObject_ass_subscript(PyObject* op, PyObject* key, PyObject* value) {
  if (value == nullptr) {
    PyErr_Format(PyExc_NotImplementedError, "Subscript %.10s not supported by %.200s", "deletion",
                 Py_TYPE(op)->tp_name);
    return -1;
  }
  IDFObjectRecord* self = as_object(op);
  int idx = resolve_key(self, key);
  if (idx < 0) return -1;
  if (IDFObject_set_by_index(self, idx, value) < 0) return -1;
  IDFObject_trim_trailing_empty_fields(self);
  return 0;
}

PyObject* IDFObject_item(PyObject* op, Py_ssize_t i) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? IDFObject_subscript(op, key.get()) : nullptr;
}

int IDFObject_ass_item(PyObject* op, Py_ssize_t i, PyObject* value) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? IDFObject_ass_subscript(op, key.get(), value) : -1;
}

PyObject* IDFObject_getitem_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("__getitem__", {"key"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  return IDFObject_subscript(op, argv[0]);
}

PyObject* IDFObject_setitem_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("__setitem__", {"key", "value"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  if (IDFObject_ass_subscript(op, argv[0], argv[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* object_values(IDFObjectRecord* self) {
  const ClassDef* cls = checked_class_def(self);
  if (cls == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values_of(self).size())));
  if (!list) return nullptr;
  // Making the values runs no Python code: the object stays as it is.
  const ValueList& values = values_of(self);
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* value = convert_field_value(get_field_def(cls, i), values[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list.release();
}

PyObject* IDFObject_get_values(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("get_values", nargs, kwnames) < 0) return nullptr;
  return object_values(as_object(op));
}

// len(obj): the number of stored values.
Py_ssize_t IDFObject_length(PyObject* op) {
  IDFObjectRecord* self = as_object(op);
  if (checked_class_def(self) == nullptr) return -1;
  return static_cast<Py_ssize_t>(values_of(self).size());
}

// iter(obj): the stored values, typed, as they are when iteration starts.
PyObject* IDFObject_iter(PyObject* op) {
  PyRef values = PyRef::steal(object_values(as_object(op)));
  return values ? PyObject_GetIter(values.get()) : nullptr;
}

// An object is true even with no values: it is not a container to test
// for emptiness.
int IDFObject_bool(PyObject*) { return 1; }

// Field writes resolved and converted, ready to apply: (index, text).
using Writes = std::vector<std::pair<size_t, std::string>>;

// Resolves every key of `values` (a list or dict) for an object of `cls`
// holding `stored` values, then converts every value to its text: all the
// errors of a bulk write happen here, before anything is written. -1 with
// an exception.
int prepare_writes(const ClassDef* cls, size_t stored, PyObject* values, Writes& writes) {
  std::vector<std::pair<int, PyRef>> pending;
  auto add = [&](PyObject* key, PyObject* value) {
    int idx = resolve_field(cls, stored, key);
    if (idx < 0) return false;
    return binding::guard(false, [&] {
      pending.emplace_back(idx, PyRef::borrow(value));
      return true;
    });
  };
  if (PyList_Check(values)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
      PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
      if (!key || !add(key.get(), PyList_GET_ITEM(values, i))) return -1;
    }
  } else if (PyDict_Check(values)) {
    PyRef items = PyRef::steal(PyMapping_Items(values));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      if (!add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1))) return -1;
    }
  } else {
    PyRef name = PyRef::steal(binding::type_name(Py_TYPE(values)));
    if (name) PyErr_Format(PyExc_TypeError, "Invalid values type: %U. Expected list or dict", name.get());
    return -1;
  }
  if (!binding::guard(false, [&] {
        writes.resize(pending.size());
        return true;
      })) {
    return -1;
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    writes[i].first = static_cast<size_t>(pending[i].first);
    if (value_to_text(cls, writes[i].first, pending[i].second.get(), writes[i].second) < 0) return -1;
  }
  return 0;
}

int update_values(IDFObjectRecord* self, PyObject* values, bool trim) {
  const ClassDef* cls = checked_class_def(self);
  if (cls == nullptr) return -1;
  if (values == Py_None) return 0;
  Writes writes;
  if (prepare_writes(cls, values_of(self).size(), values, writes) < 0) return -1;
  EditStatus status = Model::set_values(owner_model(self), *self->data, self->obj_idx, writes, trim);
  return no_memory(status) ? -1 : 0;
}

PyObject* IDFObject_update(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("update", {"values", "trim_empty_trails"}, 1);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  bool trim = true;
  if (argv[1] != nullptr) {
    int truth = argv[1] == Py_None ? 0 : PyObject_IsTrue(argv[1]);
    if (truth < 0) return nullptr;
    trim = truth != 0;
  }
  if (update_values(as_object(op), argv[0], trim) < 0) return nullptr;
  Py_RETURN_NONE;
}

// The host's error for calling a str method on None, which the entry points
// that take a class or object name give for None.
bool raise_none_has_no_encode() {
  PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
  return false;
}

// ASCII-upper-cased UTF-8 of a class name (str); false with an exception.
bool class_key(PyObject* class_name, std::string& key) {
  if (class_name == Py_None) return raise_none_has_no_encode();
  std::string_view name;
  if (!binding::utf8_view(class_name, name)) return false;
  return binding::guard(false, [&] {
    key = to_ascii_upper(name);
    return true;
  });
}

// The class of `class_name` in `idd`, by ASCII-upper-cased name; -1 with
// ValueError "Unknown class: '...'" when absent, AttributeError for None.
Py_ssize_t class_index(PyObject* idd, PyObject* class_name, std::string* key_out = nullptr) {
  std::string key;
  if (!class_key(class_name, key)) return -1;
  const c_IDD& dict = c_idd_of(idd);
  auto it = dict.class_map.find(key);
  if (it == dict.class_map.end()) {
    PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name);
    return -1;
  }
  if (key_out != nullptr) *key_out = std::move(key);
  return static_cast<Py_ssize_t>(it->second);
}

// The values a new object of `cls` starts with: min_fields blanks.
bool blank_values(const ClassDef& cls, ValueList& values) {
  return binding::guard(false, [&] {
    if (cls.min_fields > 0) values.resize(static_cast<size_t>(cls.min_fields));
    return true;
  });
}

int IDFObject_init(PyObject* op, PyObject* args, PyObject* kwargs) {
  static const binding::ArgParser parser("__init__", {"idd", "class_name"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, kwargs, argv) < 0) return -1;
  if (as_object(op)->parent_idf != Py_None) {
    // Re-initialising would change the object under its model's indexes.
    PyErr_SetString(PyExc_TypeError, "cannot re-initialise an IDFObject that belongs to an IDF");
    return -1;
  }
  if (!binding::check_arg_type(argv[0], idd_api->IDD_type, "idd", false) ||
      !binding::check_arg_type(argv[1], &PyUnicode_Type, "class_name", true, true)) {
    return -1;
  }
  Py_ssize_t class_idx = class_index(argv[0], argv[1]);
  if (class_idx < 0) return -1;
  const ClassDef& cls = c_idd_of(argv[0]).ordered_classes[static_cast<size_t>(class_idx)];
  ValueList values;
  if (!blank_values(cls, values)) return -1;
  return init_object(as_object(op), argv[0], Py_None, static_cast<size_t>(class_idx), values);
}

PyObject* IDFObject_init_method(PyObject* op, PyObject* args, PyObject* kwargs) {
  if (IDFObject_init(op, args, kwargs) < 0) return nullptr;
  Py_RETURN_NONE;
}

/*** IDF: loading ***/

PyObject* parse_error_to_exception(const ParseError& error) {
  if (error.kind == ParseErrorKind::kNoMemory) return PyErr_NoMemory();
  if (error.kind == ParseErrorKind::kUnterminated) {
    PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): unterminated object before EOF; missing ';'.",
                 error.line);
    return nullptr;
  }
  if (error.kind == ParseErrorKind::kUnrecognizedToken) {
    PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): unrecognized token type '%d'.", error.line,
                 error.token_type);
    return nullptr;
  }
  PyRef token = PyRef::steal(binding::str_from_utf8(error.token));
  if (!token) return nullptr;
  PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): missing delimiter before '%U'.", error.line,
               token.get());
  return nullptr;
}

PyObject* load_error_to_exception(const LoadError& error) {
  switch (error.kind) {
    case LoadError::kNone:
      return nullptr;
    case LoadError::kNoMemory:
      return PyErr_NoMemory();
    case LoadError::kSyntax:
      return parse_error_to_exception(error.parse);
    case LoadError::kUnknownClass: {
      PyRef name = PyRef::steal(binding::str_from_utf8(error.class_name));
      if (name) PyErr_Format(PyExc_ValueError, "IDF parsing error: Unknown class: '%U'", name.get());
      return nullptr;
    }
  }
  return nullptr;
}

PyObject* epjson_error_to_exception(const EpjsonError& error) {
  if (error.kind == EpjsonError::kNoMemory) return PyErr_NoMemory();
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// Gives every slot of the model from `first` on its place in `objects`,
// where its Python object goes when first asked for; -1 with an exception.
int attach_new_slots(IDFRecord* self, size_t first) {
  for (size_t obj_idx = first; obj_idx < self->model.slot_count(); ++obj_idx) {
    if (PyList_Append(self->objects, Py_None) < 0) return -1;
  }
  return 0;
}

void IDF_build_objects(IDFRecord* self, std::vector<c_IDFObject>& c_idf_objects) {
  if (!is_idd(self->idd) || !PyList_Check(self->objects)) {
    PyErr_SetString(PyExc_TypeError, kNotLoaded);
    return;
  }
  self->model.set_idd(&c_idd_of(self->idd));
  size_t first = self->model.slot_count();
  LoadError error = self->model.build(c_idf_objects);
  // What was built before a failure is given its objects too, so that the
  // model and its object list stay in step.
  if (attach_new_slots(self, first) < 0) return;
  if (error) load_error_to_exception(error);
}

// A load frees as much as it keeps (the parser's raw objects, the text's
// temporary copies); the allocator holds on to it unless asked to give it
// back, and a process loading many models would grow by that much.
void release_free_memory(size_t text_size) {
#ifdef __GLIBC__
  if (text_size >= (size_t{1} << 20)) malloc_trim(0);
#else
  (void)text_size;
#endif
}

// Loads under way in any thread. malloc_trim walks every arena under its
// lock: run while another thread loads, it stalls that load and hands back
// pages the load is about to take again. So only the last load to finish
// gives the memory back, for all of them.
std::atomic<int> loads_in_flight{0};

class LoadInFlight {
 public:
  LoadInFlight() noexcept { loads_in_flight.fetch_add(1, std::memory_order_relaxed); }
  ~LoadInFlight() {
    if (!done_) loads_in_flight.fetch_sub(1, std::memory_order_relaxed);
  }
  LoadInFlight(const LoadInFlight&) = delete;
  LoadInFlight& operator=(const LoadInFlight&) = delete;

  // The load succeeded: gives the freed memory back unless another load
  // is still running (the interpreter lock released meanwhile).
  void finish(size_t text_size) {
    done_ = true;
    if (loads_in_flight.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    binding::GilRelease nogil;
    release_free_memory(text_size);
  }

 private:
  bool done_ = false;
};

// Loads `text` (UTF-8 IDF text, taken over) into `self` with the
// interpreter lock released, then gives every object its Python object.
// `unchecked`: the text was read without checking it is UTF-8 (epJSON,
// whose reader checks as it goes); -2, with no exception set, when it
// fails to load because it is not.
int load_document(IDFRecord* self, PyObject* idd, std::string&& text, bool unchecked = false) {
  Py_INCREF(idd);
  Py_SETREF(self->idd, idd);
  PyObject* objects = PyList_New(0);
  if (objects == nullptr) return -1;
  Py_SETREF(self->objects, objects);
  if (!is_idd(idd)) {
    PyErr_Format(PyExc_TypeError, "expected an IDD, got %.200s", Py_TYPE(idd)->tp_name);
    return -1;
  }
  size_t size = text.size();
  self->model.clear();
  self->model.set_idd(&c_idd_of(idd));
  LoadInFlight in_flight;
  if (looks_like_epjson(text)) {
    // epJSON: read into objects; the model keeps no source text.
    EpjsonError error;
    bool not_utf8 = false;
    {
      binding::GilRelease nogil;
      error = load_epjson(self->model, text);
      not_utf8 = error && unchecked && !is_valid_utf8(text);
    }
    std::string().swap(text);
    if (not_utf8) return -2;
    if (error) {
      epjson_error_to_exception(error);
      return -1;
    }
  } else if (unchecked && !is_valid_utf8(text)) {
    return -2;  // not reached: only epJSON text is left unchecked
  } else {
    LoadError error;
    {
      // The dictionary is read-only here.
      binding::GilRelease nogil;
      error = self->model.load(std::move(text));
    }
    if (error) {
      load_error_to_exception(error);
      return -1;
    }
  }
  if (attach_new_slots(self, 0) < 0) {
    self->model.clear();
    return -1;
  }
  in_flight.finish(size);
  return 0;
}

int IDF_c_init(IDFRecord* self, PyObject* idd, PyObject* idf_content) {
  char* buffer = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(idf_content, &buffer, &size) < 0) return -1;
  std::string text;
  if (!binding::guard(false, [&] {
        text.assign(buffer, static_cast<size_t>(size));
        return true;
      })) {
    return -1;
  }
  return load_document(self, idd, std::move(text));
}

PyObject* new_document(PyTypeObject* type) { return binding::new_instance(type, &IDF_Type, "an IDF"); }

struct OutputEncoding {
  SourceText::Encoding kind = SourceText::kUtf8;
  std::string name = "utf-8";  // the codec's own name
};

bool encoding_arg(PyObject* obj, OutputEncoding& out);

constexpr const char* kEpjsonNotUtf8 = "epJSON: %R is not valid UTF-8 (epJSON text is UTF-8)";

PyObject* IDF_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_file", {"idd", "filepath", "encoding"}, 2);
  PyObject* argv[3];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject* encoding = argv[2] ? argv[2] : Py_None;
  if (!binding::check_arg_type(argv[0], idd_api->IDD_type, "idd", false) ||
      !binding::check_arg_type(encoding, &PyUnicode_Type, "encoding", true, true)) {
    return nullptr;
  }
  SourceReading reading;
  reading.json_checks_itself = true;
  std::string text;
  if (utils_api->read_source_text(argv[1], encoding, &reading, text) < 0) return nullptr;
  if (reading.encoding != SourceReading::kUtf8 && looks_like_epjson(text)) {
    // epJSON is UTF-8 only: a file read as another encoding is refused,
    // whether it was asked for or the bytes were not UTF-8.
    OutputEncoding given;
    if (reading.encoding == SourceReading::kGiven && !encoding_arg(encoding, given)) return nullptr;
    if (reading.encoding == SourceReading::kCp1252) {
      PyErr_Format(PyExc_ValueError, kEpjsonNotUtf8, argv[1]);
      return nullptr;
    }
    if (given.name != "utf-8" && given.name != "utf-8-sig") {
      PyErr_Format(PyExc_ValueError, "epJSON: text is UTF-8; encoding=%R does not apply to %R", encoding, argv[1]);
      return nullptr;
    }
  }
  PyRef self = PyRef::steal(new_document(reinterpret_cast<PyTypeObject*>(cls)));
  if (!self) return nullptr;
  int loaded = load_document(as_idf(self.get()), argv[0], std::move(text), reading.unchecked);
  if (loaded == -2) PyErr_Format(PyExc_ValueError, kEpjsonNotUtf8, argv[1]);
  if (loaded < 0) return nullptr;
  if (SourceText* source = as_idf(self.get())->model.source()) {
    // Saving in the original layout writes the file as it was written.
    source->bom = reading.bom;
    if (reading.encoding == SourceReading::kCp1252) {
      source->encoding = SourceText::kCp1252;
    } else if (reading.encoding == SourceReading::kGiven) {
      OutputEncoding given;
      if (!encoding_arg(encoding, given)) return nullptr;
      source->encoding = given.kind;
      source->encoding_name = given.name;
    }
  }
  return self.release();
}

PyObject* IDF_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_string", {"idd", "content"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  if (!binding::check_arg_type(argv[0], idd_api->IDD_type, "idd", false) ||
      !binding::check_arg_type(argv[1], &PyUnicode_Type, "content", true, true)) {
    return nullptr;
  }
  PyRef self = PyRef::steal(new_document(reinterpret_cast<PyTypeObject*>(cls)));
  if (!self) return nullptr;
  if (argv[1] == Py_None) {
    raise_none_has_no_encode();
    return nullptr;
  }
  // The str's own UTF-8 form (for ASCII text, its characters): copied
  // once, into the model's source.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(argv[1], &size);
  if (utf8 == nullptr) return nullptr;
  std::string text;
  if (!binding::guard(false, [&] {
        reserve_advised(text, static_cast<size_t>(size));
        text.assign(utf8, static_cast<size_t>(size));
        return true;
      })) {
    return nullptr;
  }
  if (load_document(as_idf(self.get()), argv[0], std::move(text)) < 0) return nullptr;
  return self.release();
}

/*** IDF: writing ***/

// Appends the whole document's text; throws when the buffer cannot grow.
void write_model(IDFRecord* self, std::string& out, const FormatConfig* config, bool preserve_order) {
  if (!is_idd(self->idd) || self->objects == nullptr || !PyList_Check(self->objects)) return;
  self->model.write(out, *config, preserve_order);
}

void IDF_write_to_buffer(IDFRecord* self, std::string& out, const FormatConfig* config, bool preserve_order) {
  binding::run_or_report("tamrix.idf.IDF.write_to_buffer", [&] { write_model(self, out, config, preserve_order); });
}

// format(), save() and repr() raise when the text cannot be built in full
// (MemoryError) rather than hand out, or write over a file with, a
// truncated model.
bool write_model_or_raise(IDFRecord* self, std::string& out, const FormatConfig* config, bool preserve_order) {
  return binding::guard(false, [&] {
    write_model(self, out, config, preserve_order);
    return true;
  });
}

// The style chosen by format() and save(): MINIMAL_FORMAT_CONFIG when
// compact, else the three sizes (each a non-negative 32-bit integer).
bool size_arg(PyObject* obj, const char* name, uint32_t fallback, uint32_t& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value > INT32_MAX || value < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  if (value < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative, got %lld", name, value);
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool flag_arg(PyObject* obj, bool& out) {
  if (obj == nullptr) {
    out = false;
    return true;
  }
  int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

struct WriteOptions {
  FormatConfig local;
  const FormatConfig* config = nullptr;
  bool preserve_order = false;
  bool keep_comments = false;
  bool original_layout = false;
};

bool style_args(PyObject* const* sizes, PyObject* compact_obj, PyObject* preserve_obj, WriteOptions& opts) {
  uint32_t class_indent = 0, field_indent = 0, field_size = 0;
  bool compact = false;
  if (!size_arg(sizes[0], "class_indent_size", 0, class_indent) ||
      !size_arg(sizes[1], "field_indent_size", 4, field_indent) ||
      !size_arg(sizes[2], "field_size", 24, field_size) || !flag_arg(compact_obj, compact) ||
      !flag_arg(preserve_obj, opts.preserve_order)) {
    return false;
  }
  if (compact) {
    opts.config = &MINIMAL_FORMAT_CONFIG;
    return true;
  }
  return binding::guard(false, [&] {
    opts.local = generate_format_config(class_indent, field_indent, field_size);
    opts.config = &opts.local;
    return true;
  });
}

// The model's text in the chosen layout; false with an exception.
bool write_text(IDFRecord* self, std::string& out, const WriteOptions& opts) {
  return binding::guard(false, [&] {
    if (opts.original_layout) {
      self->model.write_original(out, *opts.config);
    } else {
      self->model.write(out, *opts.config, opts.preserve_order, opts.keep_comments);
    }
    return true;
  });
}

// The exact size of the model's text in the standard layout; false with
// MemoryError.
bool written_size(IDFRecord* self, const WriteOptions& opts, size_t& size) {
  return binding::guard(false, [&] {
    size = self->model.written_size(*opts.config, opts.preserve_order);
    return true;
  });
}

// format() without comments or the source layout: the text is written
// straight into the str it returns (one pass of the text through memory,
// not two), then checked to be ASCII; text that is not is decoded as
// UTF-8, as a str made from the written bytes would be.
PyObject* format_in_place(IDFRecord* self, const WriteOptions& opts) {
  const Model& model = self->model;
  size_t size = 0;
  if (!written_size(self, opts, size)) return nullptr;
  // A text that is not empty starts with the line break before its first
  // object, which format() leaves out: it is not written at all.
  if (size <= 1) return PyUnicode_FromStringAndSize("", 0);
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  size -= 1;
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
  if (str == nullptr) return nullptr;
  char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str));
  advise_huge_pages(data, size);
  if (!binding::guard(false, [&] {
        model.write_at(data, *opts.config, opts.preserve_order, true);
        return true;
      })) {
    Py_DECREF(str);
    return nullptr;
  }
  std::string_view text(data, size);
  size_t first = text.find_first_not_of("\r\n");
  if (first == std::string_view::npos) {
    Py_DECREF(str);
    return PyUnicode_FromStringAndSize("", 0);
  }
  size_t last = text.find_last_not_of("\r\n");
  std::string_view kept = text.substr(first, last - first + 1);
  if (!is_ascii(kept)) {
    PyObject* decoded = binding::str_from_utf8(kept);
    Py_DECREF(str);
    return decoded;
  }
  if (kept.size() == size) return str;
  // Usually only the break after the last object goes: the str shrinks in
  // place; anything else moves what is kept to the front first.
  if (kept.data() != data) std::memmove(data, kept.data(), kept.size());
  if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(kept.size())) < 0) {
    Py_XDECREF(str);
    return nullptr;
  }
  return str;
}

PyObject* IDF_format(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("format",
                                         {"class_indent_size", "field_indent_size", "field_size", "compact",
                                          "preserve_order", "keep_comments", "original_layout"},
                                         0, 3);
  PyObject* argv[7];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  WriteOptions opts;
  if (!style_args(argv, argv[3], argv[4], opts) || !flag_arg(argv[5], opts.keep_comments) ||
      !flag_arg(argv[6], opts.original_layout)) {
    return nullptr;
  }
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  if (!opts.original_layout &&
      !(opts.keep_comments && !opts.config->compact && self->model.source() != nullptr)) {
    return format_in_place(self, opts);
  }
  std::string out;
  if (!write_text(self, out, opts)) return nullptr;
  if (opts.original_layout) return binding::str_from_utf8(out);
  std::string_view text(out);
  size_t first = text.find_first_not_of("\r\n");
  if (first == std::string_view::npos) return PyUnicode_FromStringAndSize("", 0);
  size_t last = text.find_last_not_of("\r\n");
  return binding::str_from_utf8(text.substr(first, last - first + 1));
}

/*** IDF: epJSON ***/

// The model as an epJSON document; false with an exception.
bool epjson_text(IDFRecord* self, std::string& out) {
  EpjsonError error = write_epjson(self->model, out);
  if (error) {
    epjson_error_to_exception(error);
    return false;
  }
  return true;
}

// Lets the writer write straight into a str: an ASCII str made with room
// to spare, grown in place (for large sizes the allocator moves pages,
// not bytes) and cut to the text at the end.
class StrSink final : public EpjsonSink {
 public:
  ~StrSink() { Py_XDECREF(str_); }
  bool grow(size_t, size_t needed) noexcept override {
    if (needed > static_cast<size_t>(PY_SSIZE_T_MAX)) return false;
    if (str_ == nullptr) {
      str_ = PyUnicode_New(static_cast<Py_ssize_t>(needed), 127);
      if (str_ == nullptr) {
        PyErr_Clear();
        return false;
      }
    } else if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(needed)) < 0) {
      PyErr_Clear();
      return false;
    }
    data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_));
    capacity = needed;
    advise_huge_pages(data, capacity);
    return true;
  }
  // The text as a str (UTF-8 text that is not ASCII is decoded anew; the
  // writer tells when it is surely ASCII).
  PyObject* finish(size_t size) {
    if (!ascii && !is_ascii(std::string_view(data, size))) return binding::str_from_utf8(std::string_view(data, size));
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size)) < 0) return nullptr;
    PyObject* done = str_;
    str_ = nullptr;
    return done;
  }

 private:
  PyObject* str_ = nullptr;
};

PyObject* IDF_to_epjson(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("to_epjson", nargs, kwnames) < 0) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  StrSink sink;
  if (!sink.grow(0, epjson_size_hint(self->model))) return PyErr_NoMemory();
  size_t size = 0;
  EpjsonError error = write_epjson(self->model, sink, size);
  if (error) return epjson_error_to_exception(error);
  return sink.finish(size);
}

/*** IDF: saving in an encoding ***/

// None leaves `out` alone; a str names a codec, looked up as Python does.
bool encoding_arg(PyObject* obj, OutputEncoding& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!binding::check_arg_type(obj, &PyUnicode_Type, "encoding", false)) return false;
  PyRef codecs = PyRef::steal(PyImport_ImportModule("codecs"));
  if (!codecs) return false;
  PyRef info = PyRef::steal(PyObject_CallMethod(codecs.get(), "lookup", "O", obj));
  if (!info) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(info.get(), "name"));
  if (!name) return false;
  std::string_view view;
  if (!binding::utf8_view(name.get(), view)) return false;
  out.name.assign(view);
  if (view == "utf-8") {
    out.kind = SourceText::kUtf8;
  } else if (view == "cp1252") {
    out.kind = SourceText::kCp1252;
  } else if (view == "iso8859-1") {
    out.kind = SourceText::kLatin1;
  } else {
    out.kind = SourceText::kOther;
  }
  return true;
}

// Raises UnicodeEncodeError for the character at byte `bad` of `text`,
// with `where` saying where it stands in the model.
void raise_encode_error(const std::string& codec, std::string_view text, size_t bad, const std::string& where) {
  PyRef str = PyRef::steal(binding::str_from_utf8(text));
  PyRef prefix = PyRef::steal(binding::str_from_utf8(text.substr(0, bad)));
  if (!str || !prefix) return;
  Py_ssize_t start = PyUnicode_GET_LENGTH(prefix.get());
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", codec.c_str(), str.get(), start,
                                                   start + 1, where.c_str()));
  if (error) PyErr_SetObject(PyExc_UnicodeEncodeError, error.get());
}

// Every value of every live object must fit the target; the first that
// does not is named with its object and field.
bool check_values_fit(IDFRecord* self, SingleByte target, const std::string& codec) {
  const Model& model = self->model;
  std::string scratch;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    const ObjectData* data = model.object(i);
    if (data == nullptr) continue;
    const ClassDef* cls_def = model.class_of(*data);
    if (cls_def == nullptr) continue;
    const ClassDef& cls = *cls_def;
    for (size_t k = 0; k < data->values.size(); ++k) {
      size_t bad = utf8_to_single_byte(data->values[k], target, scratch);
      if (bad == std::string_view::npos) continue;
      std::string where = "in " + cls.name;
      if (!data->values.empty() && !data->values[0].empty()) {
        where += " \"";
        where += data->values[0];
        where += '"';
      }
      std::string field = get_field_name(&cls, static_cast<int>(k), false);
      where += ", field " + (field.empty() ? std::to_string(k + 1) : field);
      raise_encode_error(codec, data->values[k], bad, where);
      return false;
    }
  }
  return true;
}

// The text as bytes in `encoding`; a byte-order mark first when asked for.
PyObject* encode_text(IDFRecord* self, const std::string& text, const OutputEncoding& encoding, bool bom) {
  if (encoding.kind == SourceText::kUtf8) {
    if (!bom) return binding::bytes_from(text);
    std::string with_bom;
    if (!binding::guard(false, [&] {
          with_bom.reserve(text.size() + 3);
          with_bom += "\xEF\xBB\xBF";
          with_bom += text;
          return true;
        })) {
      return nullptr;
    }
    return binding::bytes_from(with_bom);
  }
  if (encoding.kind == SourceText::kOther) {
    PyRef str = PyRef::steal(binding::str_from_utf8(text));
    if (!str) return nullptr;
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(str.get(), encoding.name.c_str(), "strict"));
    if (!encoded || !bom) return encoded.release();
    PyRef mark = PyRef::steal(PyBytes_FromStringAndSize("\xEF\xBB\xBF", 3));
    if (!mark) return nullptr;
    return PyNumber_Add(mark.get(), encoded.get());
  }
  SingleByte target = encoding.kind == SourceText::kCp1252 ? SingleByte::kCp1252 : SingleByte::kLatin1;
  if (!check_values_fit(self, target, encoding.name)) return nullptr;
  std::string encoded;
  size_t bad = std::string_view::npos;
  if (!binding::guard(false, [&] {
        bad = utf8_to_single_byte(text, target, encoded);
        return true;
      })) {
    return nullptr;
  }
  if (bad != std::string_view::npos) {
    // Not a value: a comment or other text the user wrote.
    long line = 1 + static_cast<long>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bad), '\n'));
    size_t line_start = text.rfind('\n', bad);
    line_start = line_start == std::string::npos ? 0 : line_start + 1;
    size_t line_end = text.find('\n', bad);
    std::string_view line_text = std::string_view(text).substr(line_start, line_end == std::string::npos ? std::string::npos : line_end - line_start);
    raise_encode_error(encoding.name, line_text, bad - line_start, "on line " + std::to_string(line) + " of the text");
    return nullptr;
  }
  if (bom && !binding::guard(false, [&] {
        encoded.insert(0, "\xEF\xBB\xBF");
        return true;
      })) {
    return nullptr;
  }
  return binding::bytes_from(encoded);
}

constexpr std::string_view kHeader = "! Generated using Tamrix.py\n";

// `head` then the model's text (no comments), as bytes written in place.
PyObject* bytes_in_place(IDFRecord* self, const std::string& head, const WriteOptions& opts) {
  const Model& model = self->model;
  size_t size = 0;
  if (!written_size(self, opts, size)) return nullptr;
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX) - head.size()) return PyErr_NoMemory();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head.size() + size));
  if (bytes == nullptr) return nullptr;
  char* data = PyBytes_AS_STRING(bytes);
  advise_huge_pages(data, head.size() + size);
  std::memcpy(data, head.data(), head.size());
  if (!binding::guard(false, [&] {
        model.write_at(data + head.size(), *opts.config, opts.preserve_order);
        return true;
      })) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return bytes;
}

// Whether save() writes epJSON: file_format "epjson" or "idf" (any case)
// says so; None chooses epJSON for a path ending in ".epJSON" (any case).
// -1 with an exception.
int saves_epjson(PyObject* path, PyObject* file_format) {
  if (file_format != nullptr && file_format != Py_None) {
    if (!binding::check_arg_type(file_format, &PyUnicode_Type, "file_format", true)) return -1;
    std::string_view view;
    if (!binding::utf8_view(file_format, view)) return -1;
    if (ascii_iequals(view, "epjson")) return 1;
    if (ascii_iequals(view, "idf")) return 0;
    PyErr_Format(PyExc_ValueError, "file_format must be 'idf', 'epjson' or None, got %R", file_format);
    return -1;
  }
  if (PyLong_Check(path)) return 0;
  PyRef fs = PyRef::steal(PyOS_FSPath(path));
  if (!fs) {
    PyErr_Clear();
    return 0;
  }
  std::string_view name;
  if (PyBytes_Check(fs.get())) {
    name = std::string_view(PyBytes_AS_STRING(fs.get()), static_cast<size_t>(PyBytes_GET_SIZE(fs.get())));
  } else if (!binding::utf8_view(fs.get(), name)) {
    PyErr_Clear();
    return 0;
  }
  constexpr std::string_view kSuffix = ".epjson";
  return name.size() >= kSuffix.size() && ascii_iequals(name.substr(name.size() - kSuffix.size()), kSuffix) ? 1 : 0;
}

PyObject* IDF_save(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("save",
                                         {"output_path", "class_indent_size", "field_indent_size", "field_size",
                                          "compact", "preserve_order", "include_timestamp", "keep_comments",
                                          "original_layout", "encoding", "file_format"},
                                         1, 4);
  PyObject* argv[11];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  WriteOptions opts;
  bool include_timestamp = true;
  if (!style_args(argv + 1, argv[4], argv[5], opts)) return nullptr;
  if (argv[6] != nullptr && !flag_arg(argv[6], include_timestamp)) return nullptr;
  if (!flag_arg(argv[7], opts.keep_comments) || !flag_arg(argv[8], opts.original_layout)) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  int epjson = saves_epjson(argv[0], argv[10]);
  if (epjson < 0) return nullptr;
  if (epjson) {
    // Layout, comments and time stamp have no place in epJSON; its text is UTF-8.
    OutputEncoding chosen;
    if (!encoding_arg(argv[9], chosen)) return nullptr;
    if (chosen.name != "utf-8") {
      PyErr_Format(PyExc_ValueError, "epJSON is written in UTF-8; encoding=%R does not apply", argv[9]);
      return nullptr;
    }
    PyRef data;
    {
      std::string out;
      if (!epjson_text(self, out)) return nullptr;
      data = PyRef::steal(binding::bytes_from(out));
    }
    if (!data) return nullptr;
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(write_file_func, argv[0], data.get(), nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
  }
  // The original layout keeps the source's encoding and byte-order mark
  // unless told otherwise; the standard layout is UTF-8.
  OutputEncoding encoding;
  const SourceText* source = self->model.source();
  bool bom = false;
  if (opts.original_layout && source != nullptr) {
    encoding.kind = source->encoding;
    encoding.name = source->encoding == SourceText::kCp1252   ? "cp1252"
                    : source->encoding == SourceText::kLatin1 ? "iso8859-1"
                    : source->encoding == SourceText::kOther  ? source->encoding_name
                                                              : "utf-8";
  }
  if (!encoding_arg(argv[9], encoding)) return nullptr;
  if (opts.original_layout && source != nullptr && source->bom) {
    bom = encoding.kind == source->encoding && (encoding.kind != SourceText::kOther || encoding.name == source->encoding_name);
  }
  std::string out;
  if (!opts.original_layout) {
    bool ok = binding::guard(false, [&] {
      out += kHeader;
      if (include_timestamp) {
        out += "! Saved at: ";
        out += utils_api->get_current_time();
        out += '\n';
      }
      return true;
    });
    if (!ok) return nullptr;
  }
  PyRef data;
  if (!opts.original_layout && encoding.kind == SourceText::kUtf8 && !bom &&
      !(opts.keep_comments && !opts.config->compact && source != nullptr)) {
    // UTF-8 in the standard layout: the header and the text written
    // straight into the bytes to save.
    data = PyRef::steal(bytes_in_place(self, out, opts));
  } else {
    if (!write_text(self, out, opts)) return nullptr;
    data = PyRef::steal(encode_text(self, out, encoding, bom));
  }
  if (!data) return nullptr;
  std::string().swap(out);
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(write_file_func, argv[0], data.get(), nullptr));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyObject* IDF_repr(PyObject* op) {
  IDFRecord* self = as_idf(op);
  if (!is_idd(self->idd) || self->objects == nullptr) {
    return PyUnicode_FromFormat("<%s (not loaded)>", Py_TYPE(op)->tp_name);
  }
  std::string out;
  if (!write_model_or_raise(self, out, &DEFAULT_FORMAT_CONFIG, false)) return nullptr;
  return binding::str_from_utf8(out);
}

/*** IDFObjectTuple ***/

PyTypeObject IDFObjectTuple_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* tuple_missing_attribute(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  auto is = [&](const char* word) { return PyUnicode_CompareWithASCIIString(name, word) == 0; };
  if (is("append") || is("extend") || is("insert")) {
    PyErr_SetString(PyExc_AttributeError,
                    "This is a read-only tuple. To add new objects, use the idf.add_object() method.");
  } else if (is("remove") || is("pop") || is("clear")) {
    PyErr_SetString(PyExc_AttributeError,
                    "This is a read-only tuple. To remove objects, use the idf.remove_object() or "
                    "idf.remove_all_objects() methods.");
  } else {
    PyRef type = PyRef::steal(binding::type_name(Py_TYPE(self)));
    if (type) PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type.get(), name);
  }
  return nullptr;
}

PyObject* IDFObjectTuple_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return tuple_missing_attribute(self, name);
}

PyObject* IDFObjectTuple_getattr_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const binding::ArgParser parser("__getattr__", {"name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  return tuple_missing_attribute(self, argv[0]);
}

PyObject* make_object_tuple(PyObject* list) { return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&IDFObjectTuple_Type), list); }

// Keeps the first `count` items of a list sized up front.
int truncate_list(PyObject* list, Py_ssize_t count) {
  if (count >= PyList_GET_SIZE(list)) return 0;
  return PyList_SetSlice(list, count, PyList_GET_SIZE(list), nullptr);
}

/*** IDF: editing and lookup ***/

bool class_name_arg(PyObject* obj, const char* name) {
  return binding::check_arg_type(obj, &PyUnicode_Type, name, true);
}

PyObject* IDF_get_objects_raw(IDFRecord* self, PyObject* class_name) {
  std::string key;
  if (!class_key(class_name, key)) return nullptr;
  if (loaded_idd(self) == nullptr) return nullptr;
  const std::vector<size_t>* positions = self->model.class_positions(key);
  if (positions == nullptr || positions->empty()) return PyList_New(0);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(positions->size())));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
  Py_ssize_t valid = 0;
  for (size_t position : *positions) {
    IDFObjectRecord* obj = object_at(self, position);
    if (obj == nullptr) {
      if (PyErr_Occurred()) return nullptr;
      continue;
    }
    PyList_SetItem(list.get(), valid++, Py_NewRef(reinterpret_cast<PyObject*>(obj)));
  }
  if (truncate_list(list.get(), valid) < 0) return nullptr;
  return list.release();
}

PyObject* IDF_get_objects(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("get_objects", {"class_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !class_name_arg(argv[0], "class_name")) return nullptr;
  PyRef list = PyRef::steal(IDF_get_objects_raw(as_idf(op), argv[0]));
  return list ? make_object_tuple(list.get()) : nullptr;
}

PyObject* IDF_subscript(PyObject* op, PyObject* key) {
  if (!class_name_arg(key, "class_name")) return nullptr;
  return PyObject_CallMethod(op, "get_objects", "O", key);
}

PyObject* IDF_item(PyObject* op, Py_ssize_t i) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? IDF_subscript(op, key.get()) : nullptr;
}

PyObject* IDF_getitem_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("__getitem__", {"class_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  return IDF_subscript(op, argv[0]);
}

PyObject* IDF_get_object_by_name(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("get_object_by_name", {"class_name", "obj_name"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !class_name_arg(argv[0], "class_name") ||
      !class_name_arg(argv[1], "obj_name")) {
    return nullptr;
  }
  if (argv[1] == Py_None) {
    raise_none_has_no_encode();
    return nullptr;
  }
  std::string_view wanted;
  if (!binding::utf8_view(argv[1], wanted)) return nullptr;
  IDFRecord* self = as_idf(op);
  std::string key;
  if (!class_key(argv[0], key) || loaded_idd(self) == nullptr) return nullptr;
  const c_IDD& dict = c_idd_of(self->idd);
  auto cls_it = dict.class_map.find(key);
  if (cls_it == dict.class_map.end()) Py_RETURN_NONE;
  std::optional<size_t> found;
  if (no_memory(self->model.find_by_name(cls_it->second, key, wanted, found))) return nullptr;
  IDFObjectRecord* obj = found ? object_at(self, *found) : nullptr;
  if (obj == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(obj));
}

PyObject* IDF_get_class_names(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("get_class_names", nargs, kwnames) < 0) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  PyRef names = PyRef::steal(PyList_New(0));
  if (!names) return nullptr;
  PyObject* class_names = reinterpret_cast<IDDObject*>(self->idd)->class_names;
  for (const auto& [key, positions] : self->model.index_map()) {
    // The first live object names the class; a removed one is skipped.
    for (size_t position : positions) {
      const ObjectData* data = self->model.object(position);
      if (data == nullptr || data->class_idx >= static_cast<size_t>(PyTuple_GET_SIZE(class_names))) continue;
      if (PyList_Append(names.get(), PyTuple_GET_ITEM(class_names, static_cast<Py_ssize_t>(data->class_idx))) < 0) {
        return nullptr;
      }
      break;
    }
  }
  return names.release();
}

// Puts an object into a new slot at the end of the document: its list and
// its model together, or neither; -1 with an exception.
int append_slot(IDFRecord* self, IDFObjectRecord* rec) {
  Py_ssize_t position = PyList_GET_SIZE(self->objects);
  if (PyList_Append(self->objects, reinterpret_cast<PyObject*>(rec)) < 0) return -1;
  size_t obj_idx = 0;
  if (no_memory(self->model.append(rec->data, obj_idx))) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyList_SetSlice(self->objects, position, position + 1, nullptr);
    PyErr_Restore(type, value, traceback);
    return -1;
  }
  rec->obj_idx = obj_idx;
  return 0;
}

// Appends a new attached object of class `class_idx`, with its values
// complete, to the document; the model registers them all at once.
IDFObjectRecord* append_object(IDFRecord* self, size_t class_idx, ValueList& values) {
  PyRef obj = PyRef::steal(reinterpret_cast<PyObject*>(alloc_object(&IDFObject_Type)));
  if (!obj) return nullptr;
  IDFObjectRecord* rec = as_object(obj.get());
  if (init_object(rec, self->idd, reinterpret_cast<PyObject*>(self), class_idx, values) < 0) return nullptr;
  if (append_slot(self, rec) < 0) return nullptr;
  return rec;  // borrowed: the document's list holds it
}

// All or nothing: the new object's values (blanks up to min_fields, the
// defaults, then the initial values) are complete, every key resolved and
// every value converted, before the object joins the model.
PyObject* IDF_add_object(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("add_object", {"class_name", "initial_values", "default_values"}, 1);
  PyObject* argv[3];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  bool default_values = true;
  if (argv[2] != nullptr) {
    int truth = PyObject_IsTrue(argv[2]);
    if (truth < 0) return nullptr;
    default_values = truth != 0;
  }
  if (!class_name_arg(argv[0], "class_name")) return nullptr;
  IDFRecord* self = as_idf(op);
  if (argv[0] != Py_None && loaded_idd(self) == nullptr) return nullptr;
  Py_ssize_t class_idx = class_index(self->idd, argv[0]);
  if (class_idx < 0) return nullptr;
  const ClassDef& cls = c_idd_of(self->idd).ordered_classes[static_cast<size_t>(class_idx)];
  ObjectData data;
  data.class_idx = static_cast<size_t>(class_idx);
  if (!blank_values(cls, data.values)) return nullptr;
  if (default_values) {
    for (size_t idx : cls.field_idx_with_default) {
      if (no_memory(Model::set_value(nullptr, data, 0, idx, cls.fields[idx].default_val))) return nullptr;
    }
  }
  PyObject* initial = argv[1] ? argv[1] : Py_None;
  if (initial != Py_None) {
    Writes writes;
    if (prepare_writes(&cls, data.values.size(), initial, writes) < 0) return nullptr;
    if (no_memory(Model::set_values(nullptr, data, 0, writes, true))) return nullptr;
  }
  IDFObjectRecord* rec = append_object(self, static_cast<size_t>(class_idx), data.values);
  return rec == nullptr ? nullptr : Py_NewRef(reinterpret_cast<PyObject*>(rec));
}

constexpr const char* kNotInThisModel = "Error: The object belongs to a different IDF model or is detached.";

// Empties the object's slot in the document's list and detaches it; the
// model has already let go of it.
int detach_slot(IDFRecord* self, size_t position) {
  IDFObjectRecord* obj = made_object(self, position);
  if (obj == nullptr) return 0;
  PyRef keep = PyRef::borrow(reinterpret_cast<PyObject*>(obj));
  Py_SETREF(obj->parent_idf, Py_NewRef(Py_None));
  // Out of the model, the object's values need not keep the model's text
  // alive: copied out when memory allows (they keep the text otherwise).
  try {
    obj->data->values = obj->data->values.owned();
  } catch (const std::bad_alloc&) {
  }
  return PyList_SetItem(self->objects, static_cast<Py_ssize_t>(position), Py_NewRef(Py_None));
}

PyObject* IDF_remove_object(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("remove_object", {"obj"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !binding::check_arg_type(argv[0], &IDFObject_Type, "obj", true)) {
    return nullptr;
  }
  IDFRecord* self = as_idf(op);
  if (argv[0] == Py_None || loaded_idd(self) == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kNotInThisModel);
    return nullptr;
  }
  IDFObjectRecord* obj = as_object(argv[0]);
  if (obj->parent_idf != op || made_object(self, obj->obj_idx) != obj ||
      self->model.object(obj->obj_idx) != obj->data.get()) {
    PyErr_SetString(PyExc_ValueError, kNotInThisModel);
    return nullptr;
  }
  if (checked_class_def(obj) == nullptr) return nullptr;
  self->model.remove(obj->obj_idx);
  if (detach_slot(self, obj->obj_idx) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* IDF_remove_all_objects(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("remove_all_objects", {"class_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !class_name_arg(argv[0], "class_name")) return nullptr;
  IDFRecord* self = as_idf(op);
  std::string key;
  if (!class_key(argv[0], key) || loaded_idd(self) == nullptr) return nullptr;
  std::vector<size_t> removed;
  if (!binding::guard(false, [&] {
        removed = self->model.remove_class(key);
        return true;
      })) {
    return nullptr;
  }
  for (size_t position : removed) {
    if (detach_slot(self, position) < 0) return nullptr;
  }
  return PyLong_FromSize_t(removed.size());
}

/*** Reference queries ***/

// The stored, upper-cased value of the queried field and its definition;
// false (and no exception) for every miss that gives the empty answer.
bool query_field(IDFObjectRecord* self, PyObject* key, const FieldDef** fd, std::string& upper_val, bool& failed) {
  failed = false;
  const ClassDef* cls = nullptr;
  int idx = resolve_key(self, key, &cls);
  if (idx < 0) {
    failed = true;
    return false;
  }
  *fd = get_field_def(cls, static_cast<size_t>(idx));
  if (*fd == nullptr || !PyObject_TypeCheck(self->parent_idf, &IDF_Type)) return false;
  if (static_cast<size_t>(idx) >= values_of(self).size()) return false;
  std::string_view value = values_of(self)[static_cast<size_t>(idx)];
  if (value.empty()) return false;
  if (!binding::guard(false, [&] {
        upper_val = to_ascii_upper(value);
        return true;
      })) {
    failed = true;
    return false;
  }
  return loaded_idd(as_idf(self->parent_idf)) != nullptr || (failed = true, false);
}

PyObject* IDFObject_get_referenced_object(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  static const binding::ArgParser parser("get_referenced_object", {"key"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  const FieldDef* fd = nullptr;
  std::string upper_val;
  bool failed;
  if (!query_field(self, argv[0], &fd, upper_val, failed)) {
    if (failed) return nullptr;
    Py_RETURN_NONE;
  }
  IDFRecord* idf = as_idf(self->parent_idf);
  std::optional<size_t> target = idf->model.referenced(*fd, upper_val);
  IDFObjectRecord* obj = target ? object_at(idf, *target) : nullptr;
  if (obj == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(obj));
}

PyObject* IDFObject_get_referencing_objects(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  static const binding::ArgParser parser("get_referencing_objects", {"key"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  const FieldDef* fd = nullptr;
  std::string upper_val;
  bool failed;
  std::vector<size_t> indices;
  if (query_field(self, argv[0], &fd, upper_val, failed)) {
    IDFRecord* idf = as_idf(self->parent_idf);
    bool ok = binding::guard(false, [&] {
      idf->model.referencing(*fd, upper_val, indices);
      return true;
    });
    if (!ok) return nullptr;
  } else if (failed) {
    return nullptr;
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  if (!indices.empty()) {
    IDFRecord* idf = as_idf(self->parent_idf);
    for (size_t index : indices) {
      IDFObjectRecord* obj = object_at(idf, index);
      if (obj == nullptr && PyErr_Occurred()) return nullptr;
      if (obj != nullptr && PyList_Append(list.get(), reinterpret_cast<PyObject*>(obj)) < 0) return nullptr;
    }
  }
  return make_object_tuple(list.get());
}

/*** Source record ***/

PyObject* IDFObject_raw_values(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("_raw_values", nargs, kwnames) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  if (checked_class_def(self) == nullptr) return nullptr;
  const ValueList& values = values_of(self);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* text = binding::str_from_utf8(values[i]);
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

PyObject* IDFObject_source_lines(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("_source_lines", nargs, kwnames) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  if (checked_class_def(self) == nullptr) return nullptr;
  Model* model = owner_model(self);
  std::vector<int32_t> lines;
  if (model != nullptr && !binding::guard(false, [&] {
        lines = model->source_lines(*self->data);
        return true;
      })) {
    return nullptr;
  }
  if (lines.empty()) Py_RETURN_NONE;
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(lines.size())));
  if (!tuple) return nullptr;
  for (size_t i = 0; i < lines.size(); ++i) {
    PyObject* line = PyLong_FromLong(lines[i]);
    if (line == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), line);
  }
  return tuple.release();
}

/*** Pickling ***/

constexpr binding::PickleFormat kIdfFormat = {
    {0xf3ac116, 0x53e964f, 0xe152989}, "idd, objects, objects_index_map, referencers, targets"};
constexpr binding::PickleFormat kIdfObjectFormat = {
    {0x562c8f1, 0xafde926, 0xd91aabf}, "c_class_name, class_idx, class_name, idd, obj_idx, parent_idf, values"};

PyObject* restore_idf_func = nullptr;
PyObject* restore_object_func = nullptr;

PyObject* ref_map_to_dict(const RefMap& map) {
  PyRef outer = PyRef::steal(PyDict_New());
  if (!outer) return nullptr;
  for (const auto& [tag, values] : map) {
    PyRef inner = PyRef::steal(PyDict_New());
    PyRef tag_bytes = PyRef::steal(binding::bytes_from(tag));
    if (!inner || !tag_bytes) return nullptr;
    bool ok = true;
    values.for_each([&](std::string_view value, const LocList& locs) {
      if (!ok) return;
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(locs.size())));
      PyRef key = PyRef::steal(binding::bytes_from(value));
      if (!list || !key) {
        ok = false;
        return;
      }
      for (size_t i = 0; i < locs.size(); ++i) {
        PyObject* pair = Py_BuildValue("(ni)", static_cast<Py_ssize_t>(locs[i].first), locs[i].second);
        if (pair == nullptr) {
          ok = false;
          return;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
      }
      ok = PyDict_SetItem(inner.get(), key.get(), list.get()) == 0;
    });
    if (!ok) return nullptr;
    if (PyDict_SetItem(outer.get(), tag_bytes.get(), inner.get()) < 0) return nullptr;
  }
  return outer.release();
}

// The source record, after the state's fields: (text, trailing, encoding,
// byte-order mark, line end, one entry per slot: None or (begin, head, end,
// first line, as loaded)); None for a model read from nothing.
PyObject* source_state(IDFRecord* self) {
  const SourceText* source = self->model.source();
  if (source == nullptr) Py_RETURN_NONE;
  const Model& model = self->model;
  PyRef spans = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(model.slot_count())));
  if (!spans) return nullptr;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    const ObjectData* data = model.object(i);
    PyObject* entry;
    if (data == nullptr || !model.from_source(*data)) {
      entry = Py_NewRef(Py_None);
    } else {
      entry = Py_BuildValue("(nnniO)", static_cast<Py_ssize_t>(data->span.begin), static_cast<Py_ssize_t>(data->span.head),
                            static_cast<Py_ssize_t>(data->span.end), data->first_line,
                            data->as_loaded ? Py_True : Py_False);
      if (entry == nullptr) return nullptr;
    }
    PyList_SET_ITEM(spans.get(), static_cast<Py_ssize_t>(i), entry);
  }
  const char* encoding = source->encoding == SourceText::kCp1252   ? "cp1252"
                         : source->encoding == SourceText::kLatin1 ? "iso8859-1"
                         : source->encoding == SourceText::kOther  ? source->encoding_name.c_str()
                                                                   : "utf-8";
  return Py_BuildValue("(y#nsOy#O)", source->text.data(), static_cast<Py_ssize_t>(source->text.size()),
                       static_cast<Py_ssize_t>(source->trailing), encoding, source->bom ? Py_True : Py_False,
                       source->line_end.data(), static_cast<Py_ssize_t>(source->line_end.size()), spans.get());
}

// Reads a source record back (see source_state); -1 with ValueError or
// TypeError naming what does not fit.
int apply_source_state(IDFRecord* self, PyObject* record) {
  if (!PyTuple_Check(record) || PyTuple_GET_SIZE(record) != 6) {
    PyErr_Format(PyExc_ValueError, "source: expected a tuple of 6 items, got %.200s", Py_TYPE(record)->tp_name);
    return -1;
  }
  auto source = std::make_shared<SourceText>();
  Py_ssize_t trailing = 0;
  int bom = 0;
  if (!binding::bytes_from_state(PyTuple_GET_ITEM(record, 0), source->text) ||
      (trailing = PyLong_AsSsize_t(PyTuple_GET_ITEM(record, 1))) == -1 ||
      (bom = PyObject_IsTrue(PyTuple_GET_ITEM(record, 3))) < 0 ||
      !binding::bytes_from_state(PyTuple_GET_ITEM(record, 4), source->line_end)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "source: a negative position");
    return -1;
  }
  OutputEncoding encoding;
  if (!encoding_arg(PyTuple_GET_ITEM(record, 2), encoding)) return -1;
  source->encoding = encoding.kind;
  source->encoding_name = encoding.name;
  source->bom = bom != 0;
  size_t size = source->text.size();
  if (static_cast<size_t>(trailing) > size) {
    PyErr_Format(PyExc_ValueError, "source: position %zd is beyond the %zu bytes of the text", trailing, size);
    return -1;
  }
  source->trailing = static_cast<size_t>(trailing);
  PyObject* spans = PyTuple_GET_ITEM(record, 5);
  Model& model = self->model;
  if (!PyList_Check(spans) || static_cast<size_t>(PyList_GET_SIZE(spans)) != model.slot_count()) {
    PyErr_Format(PyExc_ValueError, "source: expected a list of %zu spans", model.slot_count());
    return -1;
  }
  std::vector<std::pair<SourceSpan, std::pair<int32_t, bool>>> read(model.slot_count());
  for (size_t i = 0; i < model.slot_count(); ++i) {
    PyObject* entry = PyList_GET_ITEM(spans, static_cast<Py_ssize_t>(i));
    if (entry == Py_None) continue;
    Py_ssize_t begin, head, end;
    int first_line, as_loaded;
    if (!PyTuple_Check(entry) || !PyArg_ParseTuple(entry, "nnnip", &begin, &head, &end, &first_line, &as_loaded)) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "source: span %zu is not a tuple", i);
      return -1;
    }
    if (begin < 0 || head < begin || end < head || static_cast<size_t>(end) > size) {
      PyErr_Format(PyExc_ValueError, "source: span %zu (%zd, %zd, %zd) does not fit the %zu bytes of the text", i, begin,
                   head, end, size);
      return -1;
    }
    read[i] = {SourceSpan{static_cast<size_t>(begin), static_cast<size_t>(head), static_cast<size_t>(end)},
               {first_line, as_loaded != 0}};
  }
  source->id = next_source_id();
  for (size_t i = 0; i < model.slot_count(); ++i) {
    ObjectData* data = model.object(i);
    if (data == nullptr || PyList_GET_ITEM(spans, static_cast<Py_ssize_t>(i)) == Py_None) continue;
    data->source_id = source->id;
    data->span = read[i].first;
    data->first_line = read[i].second.first;
    data->as_loaded = read[i].second.second;
  }
  model.set_source(std::move(source));
  return 0;
}

// The full state: every object pickled on its own and the whole reference
// index; for models without a source text, and what older versions wrote.
PyObject* full_reduce(PyObject* op) {
  IDFRecord* self = as_idf(op);
  // The state lists every object.
  if (PyList_Check(self->objects) && is_idd(self->idd) && make_all_objects(self) < 0) return nullptr;
  PyRef index_map = PyRef::steal(PyDict_New());
  if (!index_map) return nullptr;
  for (const auto& [key, positions] : self->model.index_map()) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    PyRef key_bytes = PyRef::steal(binding::bytes_from(key));
    if (!list || !key_bytes) return nullptr;
    for (size_t i = 0; i < positions.size(); ++i) {
      PyObject* n = PyLong_FromSize_t(positions[i]);
      if (n == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
    }
    if (PyDict_SetItem(index_map.get(), key_bytes.get(), list.get()) < 0) return nullptr;
  }
  PyRef referencers = PyRef::steal(ref_map_to_dict(self->model.referencers()));
  PyRef targets = PyRef::steal(ref_map_to_dict(self->model.targets()));
  if (!referencers || !targets) return nullptr;
  // A copy of the list: the state must not hand out the model's own.
  PyRef objects = PyList_Check(self->objects)
                      ? PyRef::steal(PyList_GetSlice(self->objects, 0, PyList_GET_SIZE(self->objects)))
                      : PyRef::borrow(self->objects);
  if (!objects) return nullptr;
  PyRef source = PyRef::steal(source_state(self));
  if (!source) return nullptr;
  PyObject* fields = Py_BuildValue("(OOOOO)", self->idd, objects.get(), index_map.get(), referencers.get(), targets.get());
  bool two_step = self->idd != Py_None || self->objects != Py_None;
  return binding::reduce_with(op, restore_idf_func, kIdfFormat.checksums[0], fields, two_step,
                              source.get() == Py_None ? nullptr : source.get());
}

PyObject* IDF_reduce(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames);

// _full_state(): the state in the full form, whatever the model.
PyObject* IDF_full_state(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("_full_state", nargs, kwnames) < 0) return nullptr;
  PyRef reduced = PyRef::steal(full_reduce(op));
  if (!reduced) return nullptr;
  if (PyTuple_GET_SIZE(reduced.get()) == 3) return Py_NewRef(PyTuple_GET_ITEM(reduced.get(), 2));
  return Py_NewRef(PyTuple_GET_ITEM(PyTuple_GET_ITEM(reduced.get(), 1), 2));
}

// A state's object index must name a slot of `objects`.
bool check_object_index(size_t obj_idx, Py_ssize_t n_objects, const char* field) {
  if (obj_idx < static_cast<size_t>(n_objects)) return true;
  PyErr_Format(PyExc_ValueError, "%s: object index %zu is beyond the %zd objects of the model", field, obj_idx,
               n_objects);
  return false;
}

bool ref_map_from_state(PyObject* obj, RefMap& map, Py_ssize_t n_objects, const char* field) {
  RefMap restored;
  bool ok = binding::for_each_pair(obj, [&](PyObject* tag_obj, PyObject* values_obj) {
    std::string tag;
    if (!binding::bytes_from_state(tag_obj, tag)) return false;
    RefValueMap values;
    bool inner_ok = binding::for_each_pair(values_obj, [&](PyObject* value_obj, PyObject* locs_obj) {
      std::string value;
      if (!binding::bytes_from_state(value_obj, value)) return false;
      LocList locs;
      bool locs_ok = binding::for_each_item(locs_obj, [&](PyObject* loc_obj) {
        PyRef pair = PyRef::steal(PySequence_Tuple(loc_obj));
        if (!pair) return false;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
          PyErr_Format(PyExc_ValueError, "%s: a field location needs 2 items, got %zd", field,
                       PyTuple_GET_SIZE(pair.get()));
          return false;
        }
        size_t obj_idx = 0;
        int field_idx = 0;
        if (!binding::size_from_state(PyTuple_GET_ITEM(pair.get(), 0), obj_idx) ||
            !binding::int_from_state(PyTuple_GET_ITEM(pair.get(), 1), field_idx) ||
            !check_object_index(obj_idx, n_objects, field)) {
          return false;
        }
        FieldLoc loc(static_cast<uint32_t>(obj_idx), field_idx);
        return binding::guard(false, [&] {
          locs.push_back(loc);
          return true;
        });
      });
      if (!locs_ok) return false;
      return binding::guard(false, [&] {
        values.insert(value).locs = std::move(locs);
        return true;
      });
    });
    if (!inner_ok) return false;
    return binding::guard(false, [&] {
      restored[std::move(tag)] = std::move(values);
      return true;
    });
  });
  if (!ok) return false;
  map = std::move(restored);
  return true;
}

int apply_compact_state(IDFRecord* self, PyObject* state);

int IDF_apply_state(IDFRecord* self, PyObject* state) {
  if (PyTuple_GET_SIZE(state) > 0 && PyUnicode_Check(PyTuple_GET_ITEM(state, 0))) {
    return apply_compact_state(self, state);
  }
  PyObject* item = binding::state_item(state, 0);
  if (item == nullptr || !binding::object_from_state(item, idd_api->IDD_type, self->idd)) return -1;

  if ((item = binding::state_item(state, 1)) == nullptr) return -1;
  if (item != Py_None && !PyList_CheckExact(item)) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "list", Py_TYPE(item)->tp_name);
    return -1;
  }
  // The model keeps a list of its own: code outside must not be able to
  // slip anything else into it later.
  PyRef objects = item == Py_None ? PyRef::borrow(Py_None) : PyRef::steal(PyList_GetSlice(item, 0, PyList_GET_SIZE(item)));
  if (!objects) return -1;
  Py_ssize_t n_objects = objects.get() == Py_None ? 0 : PyList_GET_SIZE(objects.get());
  for (Py_ssize_t i = 0; i < n_objects; ++i) {
    PyObject* obj = PyList_GET_ITEM(objects.get(), i);
    if (obj == Py_None) continue;
    if (!PyObject_TypeCheck(obj, &IDFObject_Type)) {
      PyErr_Format(PyExc_ValueError, "objects: item %zd is a %.200s, not an IDFObject or None", i, Py_TYPE(obj)->tp_name);
      return -1;
    }
    IDFObjectRecord* rec = as_object(obj);
    if (rec->parent_idf == reinterpret_cast<PyObject*>(self) && !check_object_index(rec->obj_idx, n_objects, "objects")) {
      return -1;
    }
  }
  Py_SETREF(self->objects, objects.release());
  // The model's slots are the objects' own values.
  if (!binding::guard(false, [&] {
        std::vector<ObjectPtr> slots(static_cast<size_t>(n_objects));
        for (Py_ssize_t i = 0; i < n_objects; ++i) {
          PyObject* obj = PyList_GET_ITEM(self->objects, i);
          if (obj != Py_None) slots[static_cast<size_t>(i)] = as_object(obj)->data;
        }
        self->model.slots() = std::move(slots);
        return true;
      })) {
    return -1;
  }
  self->model.set_idd(is_idd(self->idd) ? &c_idd_of(self->idd) : nullptr);

  if ((item = binding::state_item(state, 2)) == nullptr) return -1;
  std::unordered_map<std::string, std::vector<size_t>> index_map;
  bool ok = binding::for_each_pair(item, [&](PyObject* key_obj, PyObject* positions_obj) {
    std::string key;
    if (!binding::bytes_from_state(key_obj, key)) return false;
    std::vector<size_t> positions;
    bool list_ok = binding::for_each_item(positions_obj, [&](PyObject* n) {
      size_t position;
      if (!binding::size_from_state(n, position) || !check_object_index(position, n_objects, "objects_index_map")) {
        return false;
      }
      return binding::guard(false, [&] {
        positions.push_back(position);
        return true;
      });
    });
    return list_ok && binding::guard(false, [&] {
      index_map[std::move(key)] = std::move(positions);
      return true;
    });
  });
  if (!ok) return -1;
  self->model.index_map() = std::move(index_map);
  self->model.forget_name_indexes();

  if ((item = binding::state_item(state, 3)) == nullptr ||
      !ref_map_from_state(item, self->model.referencers(), n_objects, "referencers")) {
    return -1;
  }
  if ((item = binding::state_item(state, 4)) == nullptr || !ref_map_from_state(item, self->model.targets(), n_objects, "targets")) {
    return -1;
  }
  if (!binding::restore_instance_dict(reinterpret_cast<PyObject*>(self), state, 5)) return -1;
  // A pickle from before models kept their source has none.
  if (PyTuple_GET_SIZE(state) > 6) return apply_source_state(self, PyTuple_GET_ITEM(state, 6));
  return 0;
}


/*** Pickling: the compact state ***/

// A model read from a text pickles as that text (compressed) plus what has
// changed since:
//   ("source-1", idd, zlib(text), encoding, bom, slot_count, edited, added,
//    removed, class_orders, ref_orders, instance __dict__ or None)
// edited: [(obj_idx, values)] for objects of the text no longer as loaded;
// added: [(obj_idx, class_idx, values)] for the slots past the text's
// objects (or any slot that does not hold its text object); removed: the
// empty slots; class_orders: [(class key, obj_idx list)] for the classes
// whose order is not their slot order; ref_orders: [(0 targets | 1
// referencers, list name, value, [(obj_idx, field)])] for the reference
// entries not in (obj_idx, field) order. Restoring reads the text again and
// replays these, so the model comes back equal: values, slots, class order,
// reference index, original layout and source lines.
constexpr const char* kCompactTag = "source-1";

PyObject* zlib_call(const char* name, PyObject* data, int level) {
  static PyObject* zlib = nullptr;
  if (zlib == nullptr) {
    zlib = PyImport_ImportModule("zlib");
    if (zlib == nullptr) return nullptr;
  }
  if (level < 0) return PyObject_CallMethod(zlib, name, "O", data);
  return PyObject_CallMethod(zlib, name, "Oi", data, level);
}

bool locs_sorted(const LocList& locs) { return std::is_sorted(locs.begin(), locs.end()); }

// Whether the model can pickle in the compact state: it has a source text,
// its objects are plain IDFObjects of its own, and the objects of the text
// come first, in the text's order.
bool compact_ok(IDFRecord* self) {
  const Model& model = self->model;
  const SourceText* source = model.source();
  if (source == nullptr || !is_idd(self->idd) || !PyList_Check(self->objects) ||
      static_cast<size_t>(PyList_GET_SIZE(self->objects)) != model.slot_count()) {
    return false;
  }
  bool past_source = false;
  size_t last_begin = 0;
  bool any = false;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    PyObject* item = PyList_GET_ITEM(self->objects, static_cast<Py_ssize_t>(i));
    const ObjectData* data = model.object(i);
    if (data == nullptr) {
      if (item != Py_None) return false;
      continue;
    }
    if (item != Py_None && (!Py_IS_TYPE(item, &IDFObject_Type) || as_object(item)->data.get() != data ||
        as_object(item)->parent_idf != reinterpret_cast<PyObject*>(self) || as_object(item)->obj_idx != i)) {
      return false;
    }
    if (model.from_source(*data)) {
      if (past_source || (any && data->span.begin <= last_begin)) return false;
      last_begin = data->span.begin;
      any = true;
    } else {
      past_source = true;
    }
  }
  return true;
}

PyObject* loc_list(const LocList& locs) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(locs.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < locs.size(); ++i) {
    PyObject* pair = Py_BuildValue("(ni)", static_cast<Py_ssize_t>(locs[i].first), locs[i].second);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

bool append_ref_orders(PyObject* out, const RefMap& map, int which) {
  for (const auto& [tag, values] : map) {
    bool ok = true;
    values.for_each([&](std::string_view value, const LocList& locs) {
      if (!ok || locs_sorted(locs)) return;
      PyRef list = PyRef::steal(loc_list(locs));
      PyRef entry = list ? PyRef::steal(Py_BuildValue("(iy#y#O)", which, tag.data(), static_cast<Py_ssize_t>(tag.size()),
                                                      value.data(), static_cast<Py_ssize_t>(value.size()), list.get()))
                         : PyRef();
      ok = entry && PyList_Append(out, entry.get()) == 0;
    });
    if (!ok) return false;
  }
  return true;
}

PyObject* compact_state(IDFRecord* self) {
  const Model& model = self->model;
  const SourceText* source = model.source();
  PyRef edited = PyRef::steal(PyList_New(0));
  PyRef added = PyRef::steal(PyList_New(0));
  PyRef removed = PyRef::steal(PyList_New(0));
  PyRef class_orders = PyRef::steal(PyList_New(0));
  PyRef ref_orders = PyRef::steal(PyList_New(0));
  if (!edited || !added || !removed || !class_orders || !ref_orders) return nullptr;
  for (size_t i = 0; i < model.slot_count(); ++i) {
    const ObjectData* data = model.object(i);
    PyRef entry;
    PyObject* into;
    if (data == nullptr) {
      entry = PyRef::steal(PyLong_FromSize_t(i));
      into = removed.get();
    } else if (model.from_source(*data)) {
      if (data->as_loaded) continue;
      PyRef values = PyRef::steal(binding::bytes_list(data->values));
      if (!values) return nullptr;
      entry = PyRef::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(i), values.get()));
      into = edited.get();
    } else {
      PyRef values = PyRef::steal(binding::bytes_list(data->values));
      if (!values) return nullptr;
      entry = PyRef::steal(
          Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(data->class_idx), values.get()));
      into = added.get();
    }
    if (!entry || PyList_Append(into, entry.get()) < 0) return nullptr;
  }
  for (const auto& [key, positions] : self->model.index_map()) {
    bool ascending = true;
    for (size_t k = 1; k < positions.size() && ascending; ++k) ascending = positions[k - 1] < positions[k];
    if (ascending) continue;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < positions.size(); ++k) {
      PyObject* n = PyLong_FromSize_t(positions[k]);
      if (n == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), n);
    }
    PyRef entry = PyRef::steal(Py_BuildValue("(y#O)", key.data(), static_cast<Py_ssize_t>(key.size()), list.get()));
    if (!entry || PyList_Append(class_orders.get(), entry.get()) < 0) return nullptr;
  }
  if (!append_ref_orders(ref_orders.get(), model.targets(), 0) ||
      !append_ref_orders(ref_orders.get(), model.referencers(), 1)) {
    return nullptr;
  }
  PyRef raw = PyRef::steal(PyBytes_FromStringAndSize(source->text.data(), static_cast<Py_ssize_t>(source->text.size())));
  if (!raw) return nullptr;
  PyRef packed = PyRef::steal(zlib_call("compress", raw.get(), 1));
  if (!packed) return nullptr;
  raw = PyRef();
  const char* encoding = source->encoding == SourceText::kCp1252   ? "cp1252"
                         : source->encoding == SourceText::kLatin1 ? "iso8859-1"
                         : source->encoding == SourceText::kOther  ? source->encoding_name.c_str()
                                                                   : "utf-8";
  PyRef dict = PyRef::steal(binding::instance_dict(reinterpret_cast<PyObject*>(self)));
  return Py_BuildValue("(sOOsOnOOOOOO)", kCompactTag, self->idd, packed.get(), encoding,
                       source->bom ? Py_True : Py_False, static_cast<Py_ssize_t>(model.slot_count()), edited.get(),
                       added.get(), removed.get(), class_orders.get(), ref_orders.get(),
                       dict ? dict.get() : Py_None);
}

bool is_compact_state(PyObject* state) {
  return PyTuple_GET_SIZE(state) > 0 && PyUnicode_Check(PyTuple_GET_ITEM(state, 0));
}

// Values of a state: a list of bytes.
bool values_from_state(PyObject* obj, std::vector<std::string>& values) {
  return binding::for_each_item(obj, [&](PyObject* value) {
    std::string text;
    return binding::bytes_from_state(value, text) && binding::guard(false, [&] {
      values.push_back(std::move(text));
      return true;
    });
  });
}

bool values_from_state(PyObject* obj, ValueList& values) {
  std::vector<std::string> strings;
  return values_from_state(obj, strings) && binding::guard(false, [&] {
    values = strings;
    return true;
  });
}

// Gives `data` (an object of the model at `obj_idx`) exactly `values` (a
// std::vector of std::string or a ValueList), keeping the model's indexes
// in step.
template <class Values>
bool replace_values(Model& model, ObjectData& data, size_t obj_idx, const Values& values) {
  return binding::guard(false, [&] {
    std::vector<std::pair<size_t, std::string>> writes;
    size_t n = std::max(values.size(), data.values.size());
    writes.reserve(n);
    for (size_t k = 0; k < n; ++k) writes.emplace_back(k, k < values.size() ? std::string(values[k]) : std::string());
    if (Model::set_values(&model, data, obj_idx, writes, false) != EditStatus::kOk) throw std::bad_alloc();
    // Past the last write only blanks remain, which the index never holds.
    data.values.resize(values.size());
    return true;
  });
}

int compact_error(const char* what, size_t obj_idx, const char* why) {
  PyErr_Format(PyExc_ValueError, "%s: slot %zu %s", what, obj_idx, why);
  return -1;
}

int apply_compact_state(IDFRecord* self, PyObject* state) {
  PyObject *idd, *packed, *encoding_obj, *bom_obj, *edited, *added, *removed, *class_orders, *ref_orders, *dict;
  const char* tag;
  Py_ssize_t slot_count;
  if (!PyArg_ParseTuple(state, "sOOOOnOOOOOO:source state", &tag, &idd, &packed, &encoding_obj, &bom_obj, &slot_count,
                        &edited, &added, &removed, &class_orders, &ref_orders, &dict)) {
    return -1;
  }
  if (std::string_view(tag) != kCompactTag) {
    PyErr_Format(PyExc_ValueError, "unknown model state %R: this version reads %s", PyTuple_GET_ITEM(state, 0),
                 kCompactTag);
    return -1;
  }
  if (!binding::check_arg_type(idd, idd_api->IDD_type, "idd", false)) return -1;
  if (slot_count < 0) {
    PyErr_SetString(PyExc_ValueError, "slot_count: a negative count");
    return -1;
  }
  OutputEncoding encoding;
  int bom = PyObject_IsTrue(bom_obj);
  if (bom < 0 || !encoding_arg(encoding_obj, encoding)) return -1;
  PyRef text = PyRef::steal(zlib_call("decompress", packed, -1));
  if (!text) return -1;
  if (!PyBytes_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "source text: expected bytes");
    return -1;
  }
  // Objects of this model pickled beside it and restored before it (through
  // its instance __dict__): they take their slots below.
  PyRef pending = PyRef::borrow(self->objects);
  Py_INCREF(idd);
  Py_SETREF(self->idd, idd);
  PyObject* fresh = PyList_New(0);
  if (fresh == nullptr) return -1;
  Py_SETREF(self->objects, fresh);
  Model& model = self->model;
  model.clear();
  model.set_idd(&c_idd_of(idd));
  LoadError error;
  {
    binding::GilRelease nogil;
    error = model.load(std::string_view(PyBytes_AS_STRING(text.get()), static_cast<size_t>(PyBytes_GET_SIZE(text.get()))));
  }
  if (error) {
    load_error_to_exception(error);
    return -1;
  }
  text = PyRef();
  SourceText* source = model.source();
  source->encoding = encoding.kind;
  source->encoding_name = encoding.name;
  source->bom = bom != 0;
  size_t n_text = model.slot_count();
  size_t n_slots = static_cast<size_t>(slot_count);
  // What each slot becomes: 0 the text's object, 1 added, 2 removed.
  std::vector<char> kind;
  std::vector<std::pair<size_t, std::vector<std::string>>> edits;
  std::vector<std::pair<size_t, ObjectPtr>> additions;
  if (!binding::guard(false, [&] {
        kind.assign(n_slots, 0);
        return true;
      })) {
    return -1;
  }
  bool ok = binding::for_each_item(removed, [&](PyObject* n) {
    size_t i;
    if (!binding::size_from_state(n, i) || !check_object_index(i, slot_count, "removed")) return false;
    kind[i] = 2;
    return true;
  });
  const size_t n_classes = c_idd_of(idd).ordered_classes.size();
  ok = ok && binding::for_each_item(added, [&](PyObject* entry) {
    size_t i, class_idx;
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 3) {
      PyErr_SetString(PyExc_ValueError, "added: expected (obj_idx, class_idx, values) tuples");
      return false;
    }
    if (!binding::size_from_state(PyTuple_GET_ITEM(entry, 0), i) || !check_object_index(i, slot_count, "added") ||
        !binding::size_from_state(PyTuple_GET_ITEM(entry, 1), class_idx)) {
      return false;
    }
    if (class_idx >= n_classes) {
      PyErr_Format(PyExc_ValueError, "added: class_idx %zu is beyond the %zu classes of the dictionary", class_idx,
                   n_classes);
      return false;
    }
    if (kind[i] != 0) return compact_error("added", i, "is listed twice") == 0;
    kind[i] = 1;
    return binding::guard(false, [&] {
      auto data = std::make_shared<ObjectData>();
      data->class_idx = class_idx;
      additions.emplace_back(i, data);
      return true;
    }) && values_from_state(PyTuple_GET_ITEM(entry, 2), additions.back().second->values);
  });
  ok = ok && binding::for_each_item(edited, [&](PyObject* entry) {
    size_t i;
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      PyErr_SetString(PyExc_ValueError, "edited: expected (obj_idx, values) tuples");
      return false;
    }
    if (!binding::size_from_state(PyTuple_GET_ITEM(entry, 0), i) || !check_object_index(i, slot_count, "edited")) {
      return false;
    }
    if (i >= n_text || kind[i] != 0) return compact_error("edited", i, "holds no object of the text") == 0;
    return binding::guard(false, [&] {
      edits.emplace_back(i, std::vector<std::string>());
      return true;
    }) && values_from_state(PyTuple_GET_ITEM(entry, 1), edits.back().second);
  });
  if (!ok) {
    model.clear();
    return -1;
  }
  for (size_t i = n_text; i < n_slots; ++i) {
    if (kind[i] == 0) {
      model.clear();
      return compact_error("slot_count", i, "is past the objects of the text but neither added nor removed");
    }
  }
  if (n_slots < n_text) {
    model.clear();
    PyErr_Format(PyExc_ValueError, "slot_count: %zu slots for the %zu objects of the text", n_slots, n_text);
    return -1;
  }
  // Replay: removals, edits, then the slots past the text in order.
  for (size_t i = 0; i < n_text; ++i) {
    if (kind[i] != 0) model.remove(i);
  }
  for (auto& [i, values] : edits) {
    ObjectData* data = model.object(i);
    if (!replace_values(model, *data, i, values)) return -1;
    data->as_loaded = false;
  }
  size_t next_added = 0;
  std::sort(additions.begin(), additions.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  // Added objects standing in slots of the text: put in place by hand.
  while (next_added < additions.size() && additions[next_added].first < n_text) {
    auto& [i, data] = additions[next_added++];
    ValueList values = std::move(data->values);
    model.slots()[i] = data;
    if (!replace_values(model, *data, i, values)) return -1;
    const ClassDef& cls = c_idd_of(idd).ordered_classes[data->class_idx];
    if (!binding::guard(false, [&] {
          std::vector<size_t>& positions = model.index_map()[to_ascii_upper(cls.name)];
          positions.insert(std::lower_bound(positions.begin(), positions.end(), i), i);
          return true;
        })) {
      return -1;
    }
  }
  for (size_t i = n_text; i < n_slots; ++i) {
    if (kind[i] == 2) {
      if (!binding::guard(false, [&] {
            model.slots().emplace_back();
            return true;
          })) {
        return -1;
      }
      continue;
    }
    size_t obj_idx = 0;
    if (model.append(additions[next_added++].second, obj_idx) != EditStatus::kOk) {
      PyErr_NoMemory();
      return -1;
    }
  }
  // Orders: the reference entries sorted, then the ones pickled as they were.
  for (RefMap* map : {&model.targets(), &model.referencers()}) {
    for (auto& [tag_key, values] : *map) {
      values.for_each_mutable([](std::string_view, LocList& locs) {
        if (!locs_sorted(locs)) std::sort(locs.begin(), locs.end());
      });
    }
  }
  ok = binding::for_each_item(ref_orders, [&](PyObject* entry) {
    int which;
    const char *tag_data, *value_data;
    Py_ssize_t tag_size, value_size;
    PyObject* locs_obj;
    if (!PyTuple_Check(entry) ||
        !PyArg_ParseTuple(entry, "iy#y#O", &which, &tag_data, &tag_size, &value_data, &value_size, &locs_obj)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "ref_orders: expected tuples");
      return false;
    }
    RefMap& map = which == 0 ? model.targets() : model.referencers();
    auto outer = map.find(std::string_view(tag_data, static_cast<size_t>(tag_size)));
    LocList* locs = nullptr;
    if (outer != map.end()) {
      RefValueMap::Entry* inner = outer->second.find(std::string_view(value_data, static_cast<size_t>(value_size)));
      if (inner != nullptr) locs = &inner->locs;
    }
    std::vector<FieldLoc> order;
    bool read = binding::for_each_item(locs_obj, [&](PyObject* loc) {
      Py_ssize_t obj_idx = 0;
      int field = 0;
      if (!PyTuple_Check(loc) || !PyArg_ParseTuple(loc, "ni", &obj_idx, &field) || obj_idx < 0 ||
          obj_idx > static_cast<Py_ssize_t>(UINT32_MAX)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "ref_orders: expected (obj_idx, field) pairs");
        return false;
      }
      return binding::guard(false, [&] {
        order.push_back(FieldLoc(static_cast<uint32_t>(obj_idx), field));
        return true;
      });
    });
    if (!read) return false;
    std::vector<FieldLoc> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    if (locs == nullptr || !std::equal(sorted.begin(), sorted.end(), locs->begin(), locs->end())) {
      PyErr_Format(PyExc_ValueError, "ref_orders: the entry %R of %R does not match the restored model's",
                   PyTuple_GET_ITEM(entry, 2), PyTuple_GET_ITEM(entry, 1));
      return false;
    }
    // Same locations, pickled order: rewrite them in place.
    std::copy(order.begin(), order.end(), locs->begin());
    return true;
  });
  ok = ok && binding::for_each_item(class_orders, [&](PyObject* entry) {
    std::string key;
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      PyErr_SetString(PyExc_ValueError, "class_orders: expected (class key, positions) tuples");
      return false;
    }
    if (!binding::bytes_from_state(PyTuple_GET_ITEM(entry, 0), key)) return false;
    std::vector<size_t> order;
    bool read = binding::for_each_item(PyTuple_GET_ITEM(entry, 1), [&](PyObject* n) {
      size_t i;
      return binding::size_from_state(n, i) && binding::guard(false, [&] {
        order.push_back(i);
        return true;
      });
    });
    if (!read) return false;
    auto it = model.index_map().find(key);
    std::vector<size_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    std::vector<size_t> current = it == model.index_map().end() ? std::vector<size_t>() : it->second;
    std::sort(current.begin(), current.end());
    if (it == model.index_map().end() || sorted != current) {
      PyErr_Format(PyExc_ValueError, "class_orders: the order of %R does not match the restored model's objects",
                   PyTuple_GET_ITEM(entry, 0));
      return false;
    }
    it->second = std::move(order);
    return true;
  });
  if (!ok) return -1;
  model.forget_name_indexes();
  if (attach_new_slots(self, 0) < 0) return -1;
  if (pending && PyDict_Check(pending.get())) {
    bool adopted = binding::for_each_pair(pending.get(), [&](PyObject* key, PyObject* obj) {
      size_t i;
      if (!binding::size_from_state(key, i)) return false;
      if (model.object(i) == nullptr) {
        compact_error("objects", i, "is empty, but an object pickled with the model stands there");
        return false;
      }
      if (bind_to_slot(as_object(obj), self, i) < 0) return false;
      return PyList_SetItem(self->objects, static_cast<Py_ssize_t>(i), Py_NewRef(obj)) == 0;
    });
    if (!adopted) return -1;
  }
  if (dict != Py_None) {
    PyRef own = PyRef::steal(binding::instance_dict(reinterpret_cast<PyObject*>(self)));
    if (own) {
      PyRef updated = PyRef::steal(PyObject_CallMethod(own.get(), "update", "O", dict));
      if (!updated) return -1;
    }
  }
  return 0;
}

PyObject* IDF_reduce(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__reduce__", nargs, kwnames) < 0) return nullptr;
  IDFRecord* self = as_idf(op);
  if (!compact_ok(self)) return full_reduce(op);
  PyRef compact = PyRef::steal(compact_state(self));
  if (!compact) return nullptr;
  return Py_BuildValue("(O(OlO)O)", restore_idf_func, reinterpret_cast<PyObject*>(Py_TYPE(op)), kIdfFormat.checksums[0],
                       Py_None, compact.get());
}

// An object of a model pickled in the compact state pickles as (its model,
// its slot): restoring hands back the model's own object.
PyObject* object_of_restored_model(PyObject* parent, PyObject* obj_idx_obj) {
  size_t obj_idx;
  if (!binding::size_from_state(obj_idx_obj, obj_idx)) return nullptr;
  IDFRecord* doc = as_idf(parent);
  if (PyList_Check(doc->objects)) {
    IDFObjectRecord* obj = object_at(doc, obj_idx);
    if (obj == nullptr) {
      if (PyErr_Occurred()) return nullptr;
      PyErr_Format(PyExc_ValueError, "obj_idx: slot %zu of the restored model holds no object", obj_idx);
      return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(obj));
  }
  // The model is still being restored (the object is part of its own
  // state): a stand-in that takes the slot when the model is complete.
  if (!PyDict_Check(doc->objects)) {
    PyObject* pending = PyDict_New();
    if (pending == nullptr) return nullptr;
    Py_SETREF(doc->objects, pending);
  }
  PyRef key = PyRef::steal(PyLong_FromSize_t(obj_idx));
  if (!key) return nullptr;
  PyObject* known = PyDict_GetItemWithError(doc->objects, key.get());
  if (known != nullptr) return Py_NewRef(known);
  if (PyErr_Occurred()) return nullptr;
  PyRef made = PyRef::steal(reinterpret_cast<PyObject*>(alloc_object(&IDFObject_Type)));
  if (!made) return nullptr;
  Py_SETREF(as_object(made.get())->parent_idf, Py_NewRef(parent));
  as_object(made.get())->obj_idx = obj_idx;
  if (PyDict_SetItem(doc->objects, key.get(), made.get()) < 0) return nullptr;
  return made.release();
}

// The object's own state: class, dictionary, slot, model and values.
PyObject* object_full_reduce(PyObject* op) {
  IDFObjectRecord* self = as_object(op);
  PyRef values = PyRef::steal(binding::bytes_list(values_of(self)));
  const ClassDef* cls = class_def_or_null(self);
  PyRef c_class_name = PyRef::steal(binding::bytes_from(cls != nullptr ? std::string_view(cls->name) : std::string_view()));
  if (!values || !c_class_name) return nullptr;
  PyObject* fields = Py_BuildValue("(OnOOnOO)", c_class_name.get(), static_cast<Py_ssize_t>(self->class_idx),
                                   self->class_name, self->idd, static_cast<Py_ssize_t>(self->obj_idx),
                                   self->parent_idf, values.get());
  bool two_step = self->class_name != Py_None || self->idd != Py_None || self->parent_idf != Py_None;
  return binding::reduce_with(op, restore_object_func, kIdfObjectFormat.checksums[0], fields, two_step);
}

// An object of a model that pickles in the compact state pickles as (its
// model, its slot); any other as its own state.
PyObject* IDFObject_reduce(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__reduce__", nargs, kwnames) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  if (Py_IS_TYPE(op, &IDFObject_Type) && PyObject_TypeCheck(self->parent_idf, &IDF_Type) &&
      PyList_Check(as_idf(self->parent_idf)->objects) && made_object(as_idf(self->parent_idf), self->obj_idx) == self &&
      compact_ok(as_idf(self->parent_idf))) {
    return Py_BuildValue("(O(Ol(On)))", restore_object_func, reinterpret_cast<PyObject*>(Py_TYPE(op)),
                         kIdfObjectFormat.checksums[0], self->parent_idf, static_cast<Py_ssize_t>(self->obj_idx));
  }
  return object_full_reduce(op);
}

PyObject* IDFObject_full_state(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("_full_state", nargs, kwnames) < 0) return nullptr;
  PyRef reduced = PyRef::steal(object_full_reduce(op));
  if (!reduced) return nullptr;
  if (PyTuple_GET_SIZE(reduced.get()) == 3) return Py_NewRef(PyTuple_GET_ITEM(reduced.get(), 2));
  return Py_NewRef(PyTuple_GET_ITEM(PyTuple_GET_ITEM(reduced.get(), 1), 2));
}

int IDFObject_apply_state(IDFObjectRecord* self, PyObject* state) {
  PyObject* item;
  // The class name is kept for the state's shape; the dictionary spells it.
  std::string c_class_name;
  if ((item = binding::state_item(state, 0)) == nullptr || !binding::bytes_from_state(item, c_class_name)) return -1;
  if ((item = binding::state_item(state, 1)) == nullptr || !binding::size_from_state(item, self->class_idx)) return -1;
  if ((item = binding::state_item(state, 2)) == nullptr ||
      !binding::exact_from_state(item, &PyUnicode_Type, "str", self->class_name)) {
    return -1;
  }
  if ((item = binding::state_item(state, 3)) == nullptr ||
      !binding::object_from_state(item, idd_api->IDD_type, self->idd)) {
    return -1;
  }
  if (is_idd(self->idd) && self->class_idx >= c_idd_of(self->idd).ordered_classes.size()) {
    PyErr_Format(PyExc_ValueError, "class_idx: %zu is beyond the %zu classes of the dictionary", self->class_idx,
                 c_idd_of(self->idd).ordered_classes.size());
    return -1;
  }
  if ((item = binding::state_item(state, 4)) == nullptr || !binding::size_from_state(item, self->obj_idx)) return -1;
  if ((item = binding::state_item(state, 5)) == nullptr ||
      !binding::object_from_state(item, &IDF_Type, self->parent_idf)) {
    return -1;
  }
  // A model restored before this object (the object was pickled on its
  // own) must have a slot for it; a model still being restored checks its
  // objects itself.
  if (PyObject_TypeCheck(self->parent_idf, &IDF_Type)) {
    PyObject* objects = as_idf(self->parent_idf)->objects;
    if (objects != nullptr && PyList_Check(objects) &&
        !check_object_index(self->obj_idx, PyList_GET_SIZE(objects), "obj_idx")) {
      return -1;
    }
  }
  if ((item = binding::state_item(state, 6)) == nullptr) return -1;
  ValueList values;
  if (!values_from_state(item, values)) return -1;
  // In place: a model restored before this object already shares them.
  self->data->class_idx = self->class_idx;
  self->data->values = std::move(values);
  self->data->as_loaded = false;
  return binding::restore_instance_dict(reinterpret_cast<PyObject*>(self), state, 7) ? 0 : -1;
}

// copy.copy of a model is a whole new model (its objects belong to one
// model only); the dictionary is shared.
PyObject* IDF_copy(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__copy__", nargs, kwnames) < 0) return nullptr;
  PyRef copy_module = PyRef::steal(PyImport_ImportModule("copy"));
  if (!copy_module) return nullptr;
  return PyObject_CallMethod(copy_module.get(), "deepcopy", "O", op);
}

// copy.copy of an object is a free-standing object with the same class and
// values: a second object claiming the same model slot would corrupt the
// model's indexes.
PyObject* IDFObject_copy(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__copy__", nargs, kwnames) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  if (checked_class_def(self) == nullptr) return nullptr;
  PyRef copy = PyRef::steal(reinterpret_cast<PyObject*>(alloc_object(&IDFObject_Type)));
  if (!copy) return nullptr;
  // Its own copy of the values: the copy does not keep the text they were read from.
  ValueList values;
  if (!binding::guard(false, [&] {
        values = values_of(self).owned();
        return true;
      })) {
    return nullptr;
  }
  if (init_object(as_object(copy.get()), self->idd, Py_None, self->class_idx, values) < 0) return nullptr;
  return copy.release();
}

PyObject* IDF_setstate(PyObject* op, PyObject* state) {
  if (!binding::check_setstate_arg(state) || IDF_apply_state(as_idf(op), state) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* IDFObject_setstate(PyObject* op, PyObject* state) {
  if (!binding::check_setstate_arg(state) || IDFObject_apply_state(as_object(op), state) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* module_restore_idf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return binding::restore_instance<IDFRecord, IDF_apply_state>(args, nargs, kwnames, "_restore_IDF", kIdfFormat, &IDF_Type);
}

PyObject* module_restore_object(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // (model, obj_idx): the object of a model pickled in the compact state.
  if (nargs == 3 && kwnames == nullptr && PyTuple_CheckExact(args[2]) && PyTuple_GET_SIZE(args[2]) == 2 &&
      PyObject_TypeCheck(PyTuple_GET_ITEM(args[2], 0), &IDF_Type)) {
    if (!binding::check_restore_args(kIdfObjectFormat, args[1], args[2])) return nullptr;
    if (args[0] != reinterpret_cast<PyObject*>(&IDFObject_Type)) {
      PyErr_Format(PyExc_TypeError, "cannot restore an object of a model into %R", args[0]);
      return nullptr;
    }
    return object_of_restored_model(PyTuple_GET_ITEM(args[2], 0), PyTuple_GET_ITEM(args[2], 1));
  }
  return binding::restore_instance<IDFObjectRecord, IDFObject_apply_state>(args, nargs, kwnames, "_restore_IDFObject", kIdfObjectFormat,
                                                         &IDFObject_Type);
}

/*** IDF: type slots ***/

PyObject* IDF_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) return nullptr;
  IDFRecord* self = as_idf(op);
  self->idd = Py_NewRef(Py_None);
  self->objects = Py_NewRef(Py_None);
  new (&self->model) Model();
  self->weakreflist = nullptr;
  return op;
}

int IDF_init(PyObject*, PyObject* args, PyObject* kwargs) {
  if (binding::parse_no_args("__init__", args, kwargs) < 0) return -1;
  PyErr_SetString(PyExc_TypeError, "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string().");
  return -1;
}

int IDF_traverse(PyObject* op, visitproc visit, void* arg) {
  IDFRecord* self = as_idf(op);
  Py_VISIT(self->idd);
  Py_VISIT(self->objects);
  return 0;
}

int IDF_clear(PyObject* op) {
  IDFRecord* self = as_idf(op);
  // The model reads the dictionary the document holds: both go together.
  self->model.clear();
  self->model.set_idd(nullptr);
  Py_CLEAR(self->idd);
  Py_CLEAR(self->objects);
  return 0;
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void IDF_dealloc(PyObject* op) {
  IDFRecord* self = as_idf(op);
  PyObject_GC_UnTrack(op);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  IDF_clear(op);
  // Freeing a large model's values and indexes takes a while and touches
  // nothing of the interpreter: other threads run meanwhile (two threads
  // each loading and dropping models do not wait on each other). Not
  // while the interpreter shuts down, when the lock must stay put.
  if (self->model.slot_count() >= 4096 && !interpreter_finalizing()) {
    binding::GilRelease nogil;
    self->model.~Model();
  } else {
    self->model.~Model();
  }
  Py_TYPE(op)->tp_free(op);
}

PyObject* IDF_get_idd(PyObject* op, void*) { return Py_NewRef(as_idf(op)->idd); }

PyGetSetDef IDF_getset[] = {
    {"_idd", IDF_get_idd, nullptr, "The dictionary the model follows (None until loaded).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/*** Renaming and copying ***/

// `Zone "Office"`, or the class alone for an object without a first value.
PyObject* describe_object(const ClassDef* cls, const ValueList& values) {
  if (values.empty() || values[0].empty()) return PyUnicode_FromString(cls->name.c_str());
  PyRef name = PyRef::steal(binding::str_from_utf8(values[0]));
  return name ? PyUnicode_FromFormat("%s \"%U\"", cls->name.c_str(), name.get()) : nullptr;
}

PyObject* IDFObject_rename(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("rename", {"new_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  IDFObjectRecord* self = as_object(op);
  const ClassDef* cls = checked_class_def(self);
  if (cls == nullptr) return nullptr;
  std::string name;
  if (value_to_text(cls, 0, argv[0], name) < 0) return nullptr;
  if (name.empty()) {
    PyRef what = PyRef::steal(describe_object(cls, values_of(self)));
    if (what) PyErr_Format(PyExc_ValueError, "cannot rename %U to a blank name (got %R)", what.get(), argv[0]);
    return nullptr;
  }
  Model* model = owner_model(self);
  if (model == nullptr) {
    // Free-standing: nothing refers to it.
    if (no_memory(Model::set_value(nullptr, *self->data, self->obj_idx, 0, name))) return nullptr;
    return PyLong_FromLong(0);
  }
  size_t rewritten = 0;
  RenameResult result = model->rename(self->obj_idx, name, rewritten);
  switch (result.kind) {
    case RenameResult::kOk:
      return PyLong_FromSize_t(rewritten);
    case RenameResult::kNoMemory:
      return PyErr_NoMemory();
    case RenameResult::kNameTaken: {
      PyRef what = PyRef::steal(describe_object(cls, values_of(self)));
      const ObjectData* holder = model->object(result.taken_by);
      PyRef other = PyRef::steal(holder != nullptr ? describe_object(cls, holder->values) : PyUnicode_FromString("?"));
      PyRef wanted = PyRef::steal(binding::str_from_utf8(name));
      if (what && other && wanted) {
        PyErr_Format(PyExc_ValueError, "cannot rename %U to \"%U\": %U already has that name", what.get(),
                     wanted.get(), other.get());
      }
      return nullptr;
    }
    case RenameResult::kBlankName:
    case RenameResult::kNoObject:
      break;
  }
  PyErr_SetString(PyExc_RuntimeError, "the object is not in its model");
  return nullptr;
}

PyObject* IDFObject_get_referencing_fields(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  static const binding::ArgParser parser("get_referencing_fields", {"key"}, 0);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyRef default_key;
  if (argv[0] == nullptr) {
    default_key = PyRef::steal(PyUnicode_FromString("Name"));
    if (!default_key) return nullptr;
    argv[0] = default_key.get();
  }
  IDFObjectRecord* self = as_object(op);
  const FieldDef* fd = nullptr;
  std::string upper_val;
  bool failed;
  std::vector<FieldLoc> locs;
  if (query_field(self, argv[0], &fd, upper_val, failed)) {
    Model& model = as_idf(self->parent_idf)->model;
    if (!binding::guard(false, [&] {
          model.referring_fields(*fd, upper_val, locs);
          return true;
        })) {
      return nullptr;
    }
  } else if (failed) {
    return nullptr;
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const FieldLoc& loc : locs) {
    IDFObjectRecord* obj = object_at(as_idf(self->parent_idf), loc.first);
    if (obj == nullptr) {
      if (PyErr_Occurred()) return nullptr;
      continue;
    }
    const ClassDef* obj_cls = checked_class_def(obj);
    if (obj_cls == nullptr) return nullptr;
    std::string field_name;
    if (!binding::guard(false, [&] {
          field_name = get_field_name(obj_cls, loc.second, false);
          if (field_name.empty()) field_name = "Field " + std::to_string(loc.second);
          return true;
        })) {
      return nullptr;
    }
    PyRef text = PyRef::steal(binding::str_from_utf8(field_name));
    if (!text) return nullptr;
    PyRef pair = PyRef::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(obj), text.get()));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

// Whether two dictionaries are one: the same object, or read from equal text.
bool same_dictionary(PyObject* a, PyObject* b) {
  if (a == b) return true;
  return is_idd(a) && is_idd(b) &&
         reinterpret_cast<IDDObject*>(a)->digest == reinterpret_cast<IDDObject*>(b)->digest;
}

PyObject* IDF_copy_object(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("copy_object", {"obj", "new_name"}, 1);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0 ||
      !binding::check_arg_type(argv[0], &IDFObject_Type, "obj", false)) {
    return nullptr;
  }
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  IDFObjectRecord* source = as_object(argv[0]);
  const ClassDef* source_cls = checked_class_def(source);
  if (source_cls == nullptr) return nullptr;
  if (!same_dictionary(source->idd, self->idd)) {
    PyRef what = PyRef::steal(describe_object(source_cls, values_of(source)));
    if (what) {
      PyErr_Format(PyExc_ValueError,
                   "cannot copy %U: it follows another dictionary (version %S) than this model's (version %S)",
                   what.get(), reinterpret_cast<IDDObject*>(source->idd)->version,
                   reinterpret_cast<IDDObject*>(self->idd)->version);
    }
    return nullptr;
  }
  const c_IDD& dict = c_idd_of(self->idd);
  size_t class_idx = source->class_idx;
  if (source->idd != self->idd) {
    // Equal texts give equal class lists; look the class up all the same.
    std::string key;
    if (!binding::guard(false, [&] {
          key = to_ascii_upper(source_cls->name);
          return true;
        })) {
      return nullptr;
    }
    auto it = dict.class_map.find(key);
    if (it == dict.class_map.end()) {
      PyErr_Format(PyExc_ValueError, "Unknown class: '%s'", source_cls->name.c_str());
      return nullptr;
    }
    class_idx = it->second;
  }
  const ClassDef& cls = dict.ordered_classes[class_idx];
  ObjectData data;
  data.class_idx = class_idx;
  if (!binding::guard(false, [&] {
        data.values = values_of(source).owned();
        return true;
      })) {
    return nullptr;
  }
  if (argv[1] != nullptr && argv[1] != Py_None) {
    std::string name;
    if (value_to_text(&cls, 0, argv[1], name) < 0) return nullptr;
    if (no_memory(Model::set_value(nullptr, data, 0, 0, name))) return nullptr;
  }
  IDFObjectRecord* rec = append_object(self, class_idx, data.values);
  return rec == nullptr ? nullptr : Py_NewRef(reinterpret_cast<PyObject*>(rec));
}

/*** Placing objects: private entries for tamrix.compat ***/

// The live object of this document at `arg`, or null with ValueError.
IDFObjectRecord* live_object_of(IDFRecord* self, PyObject* arg) {
  if (!PyObject_TypeCheck(arg, &IDFObject_Type)) {
    PyErr_Format(PyExc_TypeError, "expected an IDFObject, got %.200s", Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  IDFObjectRecord* obj = as_object(arg);
  if (obj->parent_idf != reinterpret_cast<PyObject*>(self) || made_object(self, obj->obj_idx) != obj ||
      self->model.object(obj->obj_idx) != obj->data.get()) {
    PyErr_SetString(PyExc_ValueError, kNotInThisModel);
    return nullptr;
  }
  return obj;
}

// _place(obj, position): moves a live object to `position` in its class's
// order (what get_objects returns and the writer writes).
PyObject* IDF_place(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("_place", {"obj", "position"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  IDFObjectRecord* obj = live_object_of(self, argv[0]);
  if (obj == nullptr) return nullptr;
  Py_ssize_t position = PyLong_AsSsize_t(argv[1]);
  if (position == -1 && PyErr_Occurred()) return nullptr;
  if (position < 0) {
    PyErr_Format(PyExc_ValueError, "position must not be negative, got %zd", position);
    return nullptr;
  }
  if (!self->model.move_in_class(obj->obj_idx, static_cast<size_t>(position))) {
    PyErr_SetString(PyExc_ValueError, kNotInThisModel);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// _attach(obj): a detached object of the same dictionary joins the document
// at the end of its class, keeping its identity and values; it counts as an
// added object (its place in the source text is forgotten).
PyObject* IDF_attach(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("_attach", {"obj"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  if (!PyObject_TypeCheck(argv[0], &IDFObject_Type)) {
    PyErr_Format(PyExc_TypeError, "expected an IDFObject, got %.200s", Py_TYPE(argv[0])->tp_name);
    return nullptr;
  }
  IDFObjectRecord* obj = as_object(argv[0]);
  if (checked_class_def(obj) == nullptr) return nullptr;
  if (owner_model(obj) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "the object already belongs to a model");
    return nullptr;
  }
  if (obj->idd != self->idd) {
    PyErr_SetString(PyExc_ValueError, "the object follows another dictionary");
    return nullptr;
  }
  obj->data->source_id = 0;
  obj->data->as_loaded = false;
  if (append_slot(self, obj) < 0) return nullptr;
  Py_SETREF(obj->parent_idf, Py_NewRef(op));
  Py_RETURN_NONE;
}

/*** Method tables ***/


#define STYLE_ARGS_DOC                                                                       \
  "    class_indent_size (int): Indent for class names\n"                                   \
  "    field_indent_size (int): Indent for fields\n"                                        \
  "    field_size (int): Minimum size for field values\n"                                   \
  "    compact (bint, optional): Whether to enable compact output. Overrides other style " \
  "settings\n"                                                                              \
  "    preserve_order (bint, optional): Whether to preserve object order\n"

#define LAYOUT_ARGS_DOC                                                                          \
  "    keep_comments (bool, optional): Carry the comments written in the source\n"             \
  "    original_layout (bool, optional): Objects as they stood in the source, in its order;\n" \
  "        edited ones in the standard layout, added ones at the end\n"

PyMethodDef IDF_methods[] = {
    {"from_file", TAMRIX_FASTCALL(IDF_from_file) | METH_CLASS,
     "from_file(idd, filepath, encoding=None)\n--\n\nParse IDF file"},
    {"from_string", TAMRIX_FASTCALL(IDF_from_string) | METH_CLASS, "from_string(idd, content)\n--\n\nParse IDF from string"},
    {"get_objects", TAMRIX_FASTCALL(IDF_get_objects),
     "get_objects(class_name)\n--\n\nGet tuple of IDFObjects from class name.\nAlias of IDF[class_name]"},
    {"__getitem__", TAMRIX_FASTCALL(IDF_getitem_method) | METH_COEXIST,
     "__getitem__(class_name)\n--\n\nGet tuple of IDFObjects from class name"},
    {"get_object_by_name", TAMRIX_FASTCALL(IDF_get_object_by_name),
     "get_object_by_name(class_name, obj_name)\n--\n\nGet object by first field (likely name)"},
    {"get_class_names", TAMRIX_FASTCALL(IDF_get_class_names), "get_class_names()\n--\n\nGet list of class names"},
    {"add_object", TAMRIX_FASTCALL(IDF_add_object),
     "add_object(class_name, initial_values=None, default_values=True)\n--\n\n"
     "Add object to IDF\n\n"
     "Args:\n"
     "    class_name (str): class name\n"
     "    initial_values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    default_values (bool, optional): Whether to include default values\n"},
    {"remove_object", TAMRIX_FASTCALL(IDF_remove_object), "remove_object(obj)\n--\n\nRemove object from IDF"},
    {"remove_all_objects", TAMRIX_FASTCALL(IDF_remove_all_objects),
     "remove_all_objects(class_name)\n--\n\n"
     "Remove all objects of a certain class from IDF\n\n"
     "Returns:\n"
     "    int: Number of objects removed. 0 if class was not found."},
    {"format", TAMRIX_FASTCALL(IDF_format),
     "format(class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, preserve_order=False, "
     "keep_comments=False, original_layout=False)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n" STYLE_ARGS_DOC LAYOUT_ARGS_DOC
     "\nReturns:\n"
     "    str: IDF str"},
    {"__reduce__", TAMRIX_FASTCALL(IDF_reduce), "__reduce__()\n--\n\n"},
    {"_full_state", TAMRIX_FASTCALL(IDF_full_state),
     "_full_state()\n--\n\nThe model's state in the full form (every object, the whole reference index)."},
    {"__copy__", TAMRIX_FASTCALL(IDF_copy), "__copy__()\n--\n\nA new, independent model with the same objects' values."},
    {"__setstate__", IDF_setstate, METH_O, "__setstate__(state)\n--\n\n"},
    {"save", TAMRIX_FASTCALL(IDF_save),
     "save(output_path, class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, "
     "preserve_order=False, include_timestamp=True, keep_comments=False, original_layout=False, encoding=None, file_format=None)"
     "\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n" STYLE_ARGS_DOC "    include_timestamp (bint, optional): Whether to include timestamp\n" LAYOUT_ARGS_DOC
     "    encoding (str, optional): utf-8, cp1252, latin-1 or another codec; None: the source's encoding in the\n"
     "        original layout, else utf-8\n"
     "    file_format (str, optional): 'idf' or 'epjson'; None: epJSON when the path ends in .epJSON (any case)"},
    {"to_epjson", TAMRIX_FASTCALL(IDF_to_epjson),
     "to_epjson()\n--\n\n"
     "The model as an epJSON document (str), as the engine converts IDF: classes, object keys and\n"
     "properties sorted, 4-space indentation, no final line break.\n"
     "Raises ValueError for what epJSON cannot hold (two objects of a class with one name, values past\n"
     "the declared fields, values of unnamed fields)."},
    {"copy_object", TAMRIX_FASTCALL(IDF_copy_object),
     "copy_object(obj, new_name=None)\n--\n\n"
     "Append a new object with the values of obj\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this model, of another model with the same dictionary, or free-standing\n"
     "    new_name (optional): the copy's first field (Name)\n"
     "\nReturns:\n"
     "    IDFObject: the copy, added to this model"},
    {"_place", TAMRIX_FASTCALL(IDF_place),
     "_place(obj, position)\n--\n\nMove a live object to a position in its class's order."},
    {"_attach", TAMRIX_FASTCALL(IDF_attach),
     "_attach(obj)\n--\n\nAttach a detached object of the same dictionary at the end of its class."},
    {nullptr, nullptr, 0, nullptr},
};

#undef STYLE_ARGS_DOC
#undef LAYOUT_ARGS_DOC

PyGetSetDef IDFObject_getset[] = {
    {"class_name", IDFObject_get_class_name, nullptr, "The object's class name, as the dictionary spells it.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define KEY_DOC "    key (int | str): field index or field name (case-insensitive)\n"

PyMethodDef IDFObject_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(IDFObject_init_method)),
     METH_VARARGS | METH_KEYWORDS | METH_COEXIST,
     "__init__(idd, class_name)\n--\n\nPython-level initialization"},
    {"__getitem__", TAMRIX_FASTCALL(IDFObject_getitem_method) | METH_COEXIST,
     "__getitem__(key)\n--\n\nGet field value by key\n\nArgs:\n" KEY_DOC
     "\nReturns:\n    str | int | float | None: field value based on field_type"},
    {"get_values", TAMRIX_FASTCALL(IDFObject_get_values),
     "get_values()\n--\n\nGet all field values as list\n\n"
     "Returns:\n    list[str | int | float | None]: list of field values based on field_types"},
    {"__setitem__", TAMRIX_FASTCALL(IDFObject_setitem_method) | METH_COEXIST,
     "__setitem__(key, value)\n--\n\nSet field value by key\n\nArgs:\n" KEY_DOC
     "    value (bool | int | float | str | None): field value"},
    {"update", TAMRIX_FASTCALL(IDFObject_update),
     "update(values, trim_empty_trails=True)\n--\n\nUpdate multiple field values\n\n"
     "Args:\n"
     "    values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    trim_empty_trails (bool, optional): Whether to trim trailing empty fields"},
    {"__reduce__", TAMRIX_FASTCALL(IDFObject_reduce), "__reduce__()\n--\n\n"},
    {"_full_state", TAMRIX_FASTCALL(IDFObject_full_state),
     "_full_state()\n--\n\nThe object's state in the full form (class, dictionary, slot, model, values)."},
    {"__copy__", TAMRIX_FASTCALL(IDFObject_copy), "__copy__()\n--\n\nA free-standing object of the same class with the same values."},
    {"__setstate__", IDFObject_setstate, METH_O, "__setstate__(state)\n--\n\n"},
    {"get_referenced_object", TAMRIX_FASTCALL(IDFObject_get_referenced_object),
     "get_referenced_object(key)\n--\n\nReturn objects referenced by this object.\n"
     "ex. (BuildingSurface:Detailed)[\"Zone Name\"] -> (Zone)\n\nArgs:\n" KEY_DOC},
    {"get_referencing_objects", TAMRIX_FASTCALL(IDFObject_get_referencing_objects),
     "get_referencing_objects(key)\n--\n\nReturn objects that are referencing this object.\n"
     "ex. (Zone)[\"Name\"] -> [(BuildingSurface:Detailed), (People), (Lights), (Sizing:Zone), ...]\n\nArgs:\n" KEY_DOC},
    {"_raw_values", TAMRIX_FASTCALL(IDFObject_raw_values),
     "_raw_values()\n--\n\nThe stored values as text, exactly as held (no typing)."},
    {"_source_lines", TAMRIX_FASTCALL(IDFObject_source_lines),
     "_source_lines()\n--\n\nThe 1-based source line of each stored value, or None for an object added or "
     "changed since loading."},
    {"rename", TAMRIX_FASTCALL(IDFObject_rename),
     "rename(new_name)\n--\n\nRename the object and every field of the model that refers to its name.\n\n"
     "Args:\n"
     "    new_name (str): checked as a field write; refused when another object of the class has it\n"
     "\nReturns:\n"
     "    int: the number of referring fields rewritten"},
    {"get_referencing_fields", TAMRIX_FASTCALL(IDFObject_get_referencing_fields),
     "get_referencing_fields(key=\"Name\")\n--\n\nReturn the fields that refer to this object's field.\n"
     "ex. (Zone).get_referencing_fields() -> [((BuildingSurface:Detailed), \"Zone Name\"), ...]\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n"
     "\nReturns:\n"
     "    list[tuple[IDFObject, str]]: each referring object and the name of its field, once per field"},
    {nullptr, nullptr, 0, nullptr},
};

#undef KEY_DOC

PyMethodDef IDFObjectTuple_methods[] = {
    {"__getattr__", TAMRIX_FASTCALL(IDFObjectTuple_getattr_method), "__getattr__(name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods IDFObject_as_mapping = {IDFObject_length, IDFObject_subscript, IDFObject_ass_subscript};
PyNumberMethods IDFObject_as_number = {};
PySequenceMethods IDFObject_as_sequence = {};
PyMappingMethods IDF_as_mapping = {nullptr, IDF_subscript, nullptr};
PySequenceMethods IDF_as_sequence = {};


const IDFMethods idf_methods = {
    IDF_register_target, IDF_register_referencer, IDF_unregister_target, IDF_unregister_referencer,
    IDF_c_init,          IDF_build_objects,       IDF_get_objects_raw,   IDF_write_to_buffer,
};

const IDFObjectMethods idf_object_methods = {
    IDFObject_get_class_def,        IDFObject_c_init,
    IDFObject_set_string_by_index,  IDFObject_set_by_index,
    IDFObject_trim_trailing_empty_fields, IDFObject_write_to_buffer,
};

const IdfCAPI idf_capi = {
    IdfCAPI::kAbiVersion, &IDF_Type, &IDFObject_Type, &IDFObjectTuple_Type, &idf_methods, &idf_object_methods,
};

PyMethodDef module_methods[] = {
    {"_restore_IDF", TAMRIX_FASTCALL(module_restore_idf), "_restore_IDF(cls, checksum, state)\n--\n\nRestore a pickled IDF."},
    {"_restore_IDFObject", TAMRIX_FASTCALL(module_restore_object),
     "_restore_IDFObject(cls, checksum, state)\n--\n\nRestore a pickled IDFObject."},
    {nullptr, nullptr, 0, nullptr},
};


PyModuleDef idf_module = {
    PyModuleDef_HEAD_INIT, "tamrix.idf", "The IDF document model.", -1, module_methods,
};

int bind_neighbours() {
  idd_api = binding::import_capi<IddCAPI>(kIddCapsule);
  if (idd_api == nullptr) return -1;
  utils_api = binding::import_capi<UtilsCAPI>(kUtilsCapsule);
  if (utils_api == nullptr) return -1;
  PyRef fileio = PyRef::steal(PyImport_ImportModule("tamrix._fileio"));
  if (!fileio) return -1;
  write_file_func = PyObject_GetAttrString(fileio.get(), "write_file");
  return write_file_func == nullptr ? -1 : 0;
}

int ready_types() {
  IDFObject_Type.tp_name = "tamrix.idf.IDFObject";
  IDFObject_Type.tp_basicsize = sizeof(IDFObjectRecord);
  IDFObject_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  IDFObject_Type.tp_doc = "One object of an IDF document.";
  IDFObject_Type.tp_new = IDFObject_new;
  IDFObject_Type.tp_dealloc = IDFObject_dealloc;
  IDFObject_Type.tp_traverse = IDFObject_traverse;
  IDFObject_Type.tp_clear = IDFObject_clear;
  IDFObject_Type.tp_repr = IDFObject_repr;
  IDFObject_Type.tp_methods = IDFObject_methods;
  IDFObject_Type.tp_getset = IDFObject_getset;
  IDFObject_Type.tp_init = IDFObject_init;
  IDFObject_Type.tp_iter = IDFObject_iter;
  IDFObject_as_number.nb_bool = IDFObject_bool;
  IDFObject_Type.tp_as_number = &IDFObject_as_number;
  IDFObject_as_sequence.sq_item = IDFObject_item;
  IDFObject_as_sequence.sq_ass_item = IDFObject_ass_item;
  IDFObject_Type.tp_as_mapping = &IDFObject_as_mapping;
  IDFObject_Type.tp_as_sequence = &IDFObject_as_sequence;
  IDFObject_Type.tp_weaklistoffset = offsetof(IDFObjectRecord, weakreflist);
  if (PyType_Ready(&IDFObject_Type) < 0) return -1;

  IDF_Type.tp_name = "tamrix.idf.IDF";
  IDF_Type.tp_basicsize = sizeof(IDFRecord);
  IDF_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  IDF_Type.tp_doc = "An IDF document. Use IDF.from_file() or IDF.from_string().";
  IDF_Type.tp_new = IDF_new;
  IDF_Type.tp_init = IDF_init;
  IDF_Type.tp_dealloc = IDF_dealloc;
  IDF_Type.tp_traverse = IDF_traverse;
  IDF_Type.tp_clear = IDF_clear;
  IDF_Type.tp_repr = IDF_repr;
  IDF_Type.tp_methods = IDF_methods;
  IDF_Type.tp_getset = IDF_getset;
  IDF_Type.tp_weaklistoffset = offsetof(IDFRecord, weakreflist);
  IDF_as_sequence.sq_item = IDF_item;
  IDF_Type.tp_as_mapping = &IDF_as_mapping;
  IDF_Type.tp_as_sequence = &IDF_as_sequence;
  if (PyType_Ready(&IDF_Type) < 0) return -1;

  IDFObjectTuple_Type.tp_name = "tamrix.idf.IDFObjectTuple";
  IDFObjectTuple_Type.tp_basicsize = PyTuple_Type.tp_basicsize;
  IDFObjectTuple_Type.tp_itemsize = PyTuple_Type.tp_itemsize;
  IDFObjectTuple_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  IDFObjectTuple_Type.tp_doc = "tuple of IDFObjects with custom error messages";
  IDFObjectTuple_Type.tp_base = &PyTuple_Type;
  IDFObjectTuple_Type.tp_getattro = IDFObjectTuple_getattro;
  IDFObjectTuple_Type.tp_methods = IDFObjectTuple_methods;
  return PyType_Ready(&IDFObjectTuple_Type);
}

}  // namespace
}  // namespace tamrix

PyMODINIT_FUNC PyInit_idf(void) {
  using namespace tamrix;
  if (bind_neighbours() < 0 || ready_types() < 0) return nullptr;
  DEFAULT_FORMAT_CONFIG = generate_format_config();
  MINIMAL_FORMAT_CONFIG = FormatConfig{"", "", 0, true};

  PyRef module = PyRef::steal(PyModule_Create(&idf_module));
  if (!module) return nullptr;
  if (binding::add_type(module.get(), "IDF", &IDF_Type) < 0 || binding::add_type(module.get(), "IDFObject", &IDFObject_Type) < 0 ||
      binding::add_type(module.get(), "IDFObjectTuple", &IDFObjectTuple_Type) < 0) {
    return nullptr;
  }
  if (binding::publish_capi(module.get(), &idf_capi, kIdfCapsule) < 0) return nullptr;
  restore_idf_func = PyObject_GetAttrString(module.get(), "_restore_IDF");
  restore_object_func = PyObject_GetAttrString(module.get(), "_restore_IDFObject");
  if (restore_idf_func == nullptr || restore_object_func == nullptr) return nullptr;
  return module.release();
}
