// tamrix.idd: the IDD type, a data dictionary read from IDD text.
#include <new>

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idd/idd_capi.hpp"
#include "tamrix/utils/utils_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

const UtilsCAPI* utils_api = nullptr;
PyTypeObject IDD_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

/*** Dictionary functions ***/

int resolve_key_to_field_index(const ClassDef* cls, PyObject* key) {
  if (cls == nullptr) {
    PyErr_SetString(PyExc_ValueError, "no dictionary class to resolve a field key against");
    return -1;
  }
  if (PyLong_Check(key)) {
    Py_ssize_t index = PyLong_AsSsize_t(key);
    if (index == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
      PyErr_Clear();
    } else if (index >= 0 && static_cast<size_t>(index) < cls->fields.size()) {
      return static_cast<int>(index);
    }
    PyErr_Format(PyExc_IndexError, "Field index %R out of range for class '%s' (0 to %zd)", key,
                 cls->name.c_str(), static_cast<Py_ssize_t>(cls->fields.size()) - 1);
    return -1;
  }
  if (PyUnicode_Check(key)) {
    std::string_view name;
    if (!binding::utf8_view(key, name)) return -1;
    int index = binding::guard(-2, [&] { return find_field_index(cls, name); });
    if (index == -2) return -1;
    if (index < 0) {
      PyErr_Format(PyExc_KeyError, "Field %R not found in class '%s'", key, cls->name.c_str());
      return -1;
    }
    return index;
  }
  PyErr_Format(PyExc_TypeError, "Field key must be an int index or a str field name, not '%.200s'",
               Py_TYPE(key)->tp_name);
  return -1;
}

const FieldDef* capi_get_field_def(const ClassDef* cls, size_t index) { return get_field_def(cls, index); }
std::string capi_get_field_name(const ClassDef* cls, int index, bool with_units) {
  return get_field_name(cls, index, with_units);
}
int capi_find_field_index(const ClassDef* cls, const std::string& name) { return find_field_index(cls, name); }

const IddCAPI idd_capi = {
    IddCAPI::kAbiVersion, &IDD_Type, resolve_key_to_field_index, capi_get_field_def, capi_get_field_name,
    capi_find_field_index,
};

/*** Type slots ***/

IDDObject* as_idd(PyObject* o) { return reinterpret_cast<IDDObject*>(o); }

PyObject* IDD_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  IDDObject* idd = as_idd(self);
  new (&idd->c_idd) c_IDD();
  idd->initialized = false;
  idd->version = Py_NewRef(Py_None);
  idd->class_names = PyTuple_New(0);
  if (idd->class_names == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

void IDD_dealloc(PyObject* self) {
  IDDObject* idd = as_idd(self);
  idd->c_idd.~c_IDD();
  Py_CLEAR(idd->version);
  Py_CLEAR(idd->class_names);
  Py_TYPE(self)->tp_free(self);
}

int IDD_init(PyObject*, PyObject* args, PyObject* kwargs) {
  if (binding::parse_no_args("__init__", args, kwargs) < 0) return -1;
  PyErr_SetString(PyExc_TypeError, "IDD cannot be instantiated directly. Use IDD.from_file() or IDD.from_string().");
  return -1;
}

PyObject* IDD_repr(PyObject* self) {
  IDDObject* idd = as_idd(self);
  if (!idd->initialized) return PyUnicode_FromFormat("<%s (not loaded)>", Py_TYPE(self)->tp_name);
  return PyUnicode_FromFormat("<%s version=%R classes=%zd>", Py_TYPE(self)->tp_name, idd->version,
                              static_cast<Py_ssize_t>(idd->c_idd.ordered_classes.size()));
}

Py_ssize_t IDD_len(PyObject* self) { return static_cast<Py_ssize_t>(as_idd(self)->c_idd.ordered_classes.size()); }

int IDD_contains(PyObject* self, PyObject* key) {
  if (!PyUnicode_Check(key)) return 0;
  std::string_view name;
  if (!binding::utf8_view(key, name)) return -1;
  return binding::guard(-1, [&] { return find_class(as_idd(self)->c_idd, name) != nullptr ? 1 : 0; });
}

/*** Loading ***/

// Fills `self` from UTF-8 dictionary text held by `text` (bytes).
int load_text(IDDObject* self, PyObject* text) {
  std::string_view view(PyBytes_AS_STRING(text), static_cast<size_t>(PyBytes_GET_SIZE(text)));
  IddError error;
  bool ok = binding::guard(false, [&] {
    binding::GilRelease nogil;
    error = read_idd(view, self->c_idd);
    return true;
  });
  if (!ok) return -1;
  if (error) {
    PyErr_Format(PyExc_ValueError, "IDD parsing error (Line %d): %s", error.line, error.message.c_str());
    return -1;
  }
  PyObject* version =
      self->c_idd.version.empty() ? Py_NewRef(Py_None) : binding::str_from_utf8(self->c_idd.version);
  if (version == nullptr) return -1;
  Py_SETREF(self->version, version);
  const auto& classes = self->c_idd.ordered_classes;
  PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(classes.size()));
  if (names == nullptr) return -1;
  Py_SETREF(self->class_names, names);
  for (size_t i = 0; i < classes.size(); ++i) {
    PyObject* name = binding::str_from_utf8(classes[i].name);
    if (name == nullptr) return -1;
    PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), name);
  }
  self->initialized = true;
  return 0;
}

PyObject* new_loaded(PyTypeObject* type, PyObject* text) {
  // A subclass's own __new__ runs here and reads its arguments, so they
  // must be a real (empty) tuple, not null.
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyRef self = PyRef::steal(type->tp_new(type, no_args.get(), nullptr));
  if (!self) return nullptr;
  if (!PyObject_TypeCheck(self.get(), &IDD_Type)) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__ did not return an IDD", type->tp_name);
    return nullptr;
  }
  // Reading into a dictionary already in use would pull its classes from
  // under the documents that point into them.
  if (as_idd(self.get())->initialized) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__ returned an IDD that is already loaded", type->tp_name);
    return nullptr;
  }
  if (load_text(as_idd(self.get()), text) < 0) return nullptr;
  return self.release();
}

PyObject* IDD_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_file", {"path"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyRef text = PyRef::steal(utils_api->read_utf8_bytes(argv[0], Py_None));
  if (!text) return nullptr;
  return new_loaded(reinterpret_cast<PyTypeObject*>(cls), text.get());
}

PyObject* IDD_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_string", {"text"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  if (!binding::check_arg_type(argv[0], &PyUnicode_Type, "text", false)) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_AsUTF8String(argv[0]));
  if (!text) return nullptr;
  return new_loaded(reinterpret_cast<PyTypeObject*>(cls), text.get());
}

/*** Queries ***/

PyObject* IDD_class_names(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("class_names", nargs, kwnames) < 0) return nullptr;
  return PySequence_List(as_idd(self)->class_names);
}

const ClassDef* class_arg(PyObject* self, PyObject* name_obj) {
  if (!binding::check_arg_type(name_obj, &PyUnicode_Type, "class_name", false)) return nullptr;
  std::string_view name;
  if (!binding::utf8_view(name_obj, name)) return nullptr;
  const ClassDef* cls = binding::guard<const ClassDef*>(nullptr, [&] { return find_class(as_idd(self)->c_idd, name); });
  if (cls == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "Unknown class: %R", name_obj);
  return cls;
}

PyObject* IDD_field_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("field_names", {"class_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  const ClassDef* cls = class_arg(self, argv[0]);
  if (cls == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cls->fields.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < cls->fields.size(); ++i) {
    PyObject* name = binding::str_from_utf8(cls->fields[i].name);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

PyObject* IDD_get_version(PyObject* self, void*) { return Py_NewRef(as_idd(self)->version); }

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef IDD_methods[] = {
    {"from_file", FASTCALL(IDD_from_file) | METH_CLASS,
     "from_file(path)\n--\n\nRead a dictionary from an IDD file (str or path-like)."},
    {"from_string", FASTCALL(IDD_from_string) | METH_CLASS,
     "from_string(text)\n--\n\nRead a dictionary from IDD text."},
    {"class_names", FASTCALL(IDD_class_names), "class_names()\n--\n\nThe class names, in dictionary order."},
    {"field_names", FASTCALL(IDD_field_names),
     "field_names(class_name)\n--\n\nThe declared field names of a class (any letter case)."},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL

PyGetSetDef IDD_getset[] = {
    {"version", IDD_get_version, nullptr, "The dictionary's version (from its first line), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods IDD_as_sequence = {};

PyModuleDef idd_module = {
    PyModuleDef_HEAD_INIT, "tamrix.idd", "The IDD data dictionary.", -1, nullptr,
};

}  // namespace
}  // namespace tamrix

PyMODINIT_FUNC PyInit_idd(void) {
  using namespace tamrix;
  utils_api = binding::import_capi<UtilsCAPI>(kUtilsCapsule);
  if (utils_api == nullptr) return nullptr;

  IDD_as_sequence.sq_length = IDD_len;
  IDD_as_sequence.sq_contains = IDD_contains;
  IDD_Type.tp_name = "tamrix.idd.IDD";
  IDD_Type.tp_basicsize = sizeof(IDDObject);
  IDD_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  IDD_Type.tp_doc = "An IDD data dictionary. Use IDD.from_file() or IDD.from_string().";
  IDD_Type.tp_new = IDD_new;
  IDD_Type.tp_init = IDD_init;
  IDD_Type.tp_dealloc = IDD_dealloc;
  IDD_Type.tp_repr = IDD_repr;
  IDD_Type.tp_as_sequence = &IDD_as_sequence;
  IDD_Type.tp_methods = IDD_methods;
  IDD_Type.tp_getset = IDD_getset;
  if (PyType_Ready(&IDD_Type) < 0) return nullptr;

  binding::PyRef module = binding::PyRef::steal(PyModule_Create(&idd_module));
  if (!module) return nullptr;
  Py_INCREF(&IDD_Type);
  if (PyModule_AddObject(module.get(), "IDD", reinterpret_cast<PyObject*>(&IDD_Type)) < 0) {
    Py_DECREF(&IDD_Type);
    return nullptr;
  }
  if (binding::publish_capi(module.get(), &idd_capi, kIddCapsule) < 0) return nullptr;
  return module.release();
}
