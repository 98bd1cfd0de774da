// tamrix.idd: the IDD type, a data dictionary read from IDD text.
#include <cstdio>
#include <new>

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idd/idd_capi.hpp"
#include "tamrix/utils/text.hpp"
#include "tamrix/utils/utils_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

const UtilsCAPI* utils_api = nullptr;
PyTypeObject IDD_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
// Every dictionary this process has loaded, by digest (weak references):
// unpickling a model hands back the dictionary already here instead of
// reading it again, so a worker that receives many models shares one.
PyObject* loaded_by_digest = nullptr;
// The dictionaries registered with this process (tamrix.dask.register):
// held strongly by digest, so that a worker keeps them for every model it
// receives, and pickled by digest alone, without their text.
PyObject* registered_by_digest = nullptr;
PyObject* restore_idd_func = nullptr;

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
    IddCAPI::kAbiVersion,        &IDD_Type,
    resolve_key_to_field_index,  capi_get_field_def,
    capi_get_field_name,         capi_find_field_index,
    attribute_key,               has_irregular_attribute_key,
    field_name_for_attribute_key, find_field_by_attribute_key,
    attribute_names,
};

// The interpreter's lower-casing of UTF-8 text, for attribute keys that hold
// letters beyond ASCII: scripts' attribute names are folded the same way.
// Text that does not decode is kept as it is.
std::string unicode_lower(std::string_view text) {
  PyRef str = PyRef::steal(binding::str_from_utf8(text));
  PyRef lower = str ? PyRef::steal(PyObject_CallMethod(str.get(), "lower", nullptr)) : PyRef();
  std::string_view folded;
  if (!lower || !PyUnicode_Check(lower.get()) || !binding::utf8_view(lower.get(), folded)) {
    PyErr_Clear();
    return std::string(text);
  }
  return std::string(folded);
}

// Re-indexes the attribute keys of the classes whose keys hold non-ASCII
// letters, which the reader folds as ASCII only.
void fold_attribute_keys(c_IDD& dict) {
  for (ClassDef& cls : dict.ordered_classes) {
    bool non_ascii = false;
    for (const auto& entry : cls.attribute_key_index_map) {
      for (char c : entry.first) non_ascii = non_ascii || static_cast<unsigned char>(c) >= 0x80;
    }
    if (non_ascii) index_attribute_keys(cls, unicode_lower);
  }
}

/*** Type slots ***/

IDDObject* as_idd(PyObject* o) { return reinterpret_cast<IDDObject*>(o); }

PyObject* IDD_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  IDDObject* idd = as_idd(self);
  new (&idd->c_idd) c_IDD();
  idd->initialized = false;
  idd->version = Py_NewRef(Py_None);
  idd->source_path = Py_NewRef(Py_None);
  idd->source_text = Py_NewRef(Py_None);
  idd->digest = 0;
  idd->weakreflist = nullptr;
  idd->class_names = PyTuple_New(0);
  if (idd->class_names == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

void IDD_dealloc(PyObject* self) {
  IDDObject* idd = as_idd(self);
  if (idd->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  idd->c_idd.~c_IDD();
  Py_CLEAR(idd->version);
  Py_CLEAR(idd->class_names);
  Py_CLEAR(idd->source_path);
  Py_CLEAR(idd->source_text);
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

// Fills `self` from UTF-8 dictionary text.
int load_text(IDDObject* self, std::string_view view) {
  IddError error;
  bool ok = binding::guard(false, [&] {
    binding::GilRelease nogil;
    error = read_idd(view, self->c_idd);
    self->digest = digest64(view);
    return true;
  });
  if (!ok) return -1;
  if (error) {
    PyErr_Format(PyExc_ValueError, "IDD parsing error (Line %d): %s", error.line, error.message.c_str());
    return -1;
  }
  if (!binding::guard(false, [&] {
        fold_attribute_keys(self->c_idd);
        return true;
      })) {
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

std::string digest_text(uint64_t digest) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(digest));
  return buf;
}

// Remembers a loaded dictionary under its digest, unless one is there.
int remember(PyObject* self) {
  PyRef key = PyRef::steal(PyUnicode_FromString(digest_text(as_idd(self)->digest).c_str()));
  if (!key) return -1;
  PyObject* known = PyDict_GetItemWithError(loaded_by_digest, key.get());
  if (known == nullptr && PyErr_Occurred()) return -1;
  if (known != nullptr && PyWeakref_GetObject(known) != Py_None) return 0;
  PyRef ref = PyRef::steal(PyWeakref_NewRef(self, nullptr));
  if (!ref) return -1;
  return PyDict_SetItem(loaded_by_digest, key.get(), ref.get());
}

// `source_path` (absolute str) or `source_text` (bytes): where the text came from.
PyObject* new_loaded(PyTypeObject* type, std::string_view text, PyObject* source_path, PyObject* source_text) {
  PyRef self = PyRef::steal(binding::new_instance(type, &IDD_Type, "an IDD"));
  if (!self) return nullptr;
  // Reading into a dictionary already in use would pull its classes from
  // under the documents that point into them.
  if (as_idd(self.get())->initialized) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__ returned an IDD that is already loaded", type->tp_name);
    return nullptr;
  }
  if (load_text(as_idd(self.get()), text) < 0) return nullptr;
  Py_INCREF(source_path);
  Py_SETREF(as_idd(self.get())->source_path, source_path);
  Py_INCREF(source_text);
  Py_SETREF(as_idd(self.get())->source_text, source_text);
  if (remember(self.get()) < 0) return nullptr;
  return self.release();
}

PyObject* absolute_path(PyObject* path) {
  PyRef fspath = PyRef::steal(PyOS_FSPath(path));
  if (!fspath) return nullptr;
  PyRef os_path = PyRef::steal(PyImport_ImportModule("os.path"));
  if (!os_path) return nullptr;
  PyRef absolute = PyRef::steal(PyObject_CallMethod(os_path.get(), "abspath", "O", fspath.get()));
  if (!absolute) return nullptr;
  return PyUnicode_Check(absolute.get()) ? absolute.release() : PyUnicode_FromEncodedObject(absolute.get(), nullptr, "surrogateescape");
}

std::string_view bytes_view(PyObject* bytes) {
  return std::string_view(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

PyObject* load_file(PyTypeObject* type, PyObject* path) {
  std::string text;
  if (utils_api->read_source_text(path, Py_None, nullptr, text) < 0) return nullptr;
  PyRef source = PyRef::steal(absolute_path(path));
  if (!source) return nullptr;
  return new_loaded(type, text, source.get(), Py_None);
}

PyObject* IDD_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_file", {"path"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  return load_file(reinterpret_cast<PyTypeObject*>(cls), argv[0]);
}

PyObject* IDD_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_string", {"text"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  if (!binding::check_arg_type(argv[0], &PyUnicode_Type, "text", false)) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_AsUTF8String(argv[0]));
  if (!text) return nullptr;
  return new_loaded(reinterpret_cast<PyTypeObject*>(cls), bytes_view(text.get()), Py_None, text.get());
}

/*** Pickling ***/

// A dictionary pickles as where it came from plus the digest of its text:
// its file's path, or the text itself when it was read from a string --
// unless it is registered with this process, when the digest is enough.
PyObject* IDD_reduce(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__reduce__", nargs, kwnames) < 0) return nullptr;
  IDDObject* self = as_idd(op);
  if (!self->initialized) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle an IDD that was never loaded");
    return nullptr;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(digest_text(self->digest).c_str()));
  if (!key) return nullptr;
  PyObject* held = PyDict_GetItemWithError(registered_by_digest, key.get());
  if (held == nullptr && PyErr_Occurred()) return nullptr;
  PyObject* text = held != nullptr ? Py_None : self->source_text;
  return Py_BuildValue("(O(OOOO))", restore_idd_func, reinterpret_cast<PyObject*>(Py_TYPE(op)), self->source_path,
                       key.get(), text);
}

// The live dictionary of this process with `digest` (a str), borrowed, or
// null (no exception unless the lookup failed).
PyObject* known_dictionary(PyObject* digest) {
  PyObject* held = PyDict_GetItemWithError(registered_by_digest, digest);
  if (held != nullptr || PyErr_Occurred()) return held;
  PyObject* known = PyDict_GetItemWithError(loaded_by_digest, digest);
  if (known == nullptr) return nullptr;
  PyObject* idd = PyWeakref_GetObject(known);
  return idd == Py_None ? nullptr : idd;
}

// The error for a dictionary that is neither here nor readable: `why` is
// the failure to read its file (or null for a dictionary read from text).
void raise_not_registered(PyObject* path, PyObject* digest) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  if (PyErr_Occurred()) {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
  }
  PyObject* kind = type != nullptr && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                       reinterpret_cast<PyTypeObject*>(PyExc_OSError))
                       ? PyExc_FileNotFoundError
                       : PyExc_LookupError;
  if (path == Py_None) {
    PyErr_Format(kind,
                 "the dictionary with digest %U (read from text) is not registered in this process; on a Dask "
                 "cluster, call tamrix.dask.register(client, idd) before sending models to it",
                 digest);
  } else {
    PyErr_Format(kind,
                 "the dictionary %R (digest %U) is not registered in this process and its file cannot be read "
                 "here (%S); on a Dask cluster, call tamrix.dask.register(client, idd) before sending models to it",
                 path, digest, value != nullptr ? value : Py_None);
  }
  if (value != nullptr) {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetCause(v2, Py_NewRef(value));
    PyErr_Restore(t2, v2, tb2);
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

PyObject* module_restore_idd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("_restore_IDD", {"cls", "path", "digest", "text"}, 4);
  PyObject* argv[4];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject* cls = argv[0];
  if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), &IDD_Type)) {
    PyErr_Format(PyExc_TypeError, "cannot restore an IDD into %R", cls);
    return nullptr;
  }
  if (!binding::check_arg_type(argv[2], &PyUnicode_Type, "digest", false)) return nullptr;
  PyObject* idd = known_dictionary(argv[2]);
  if (idd == nullptr && PyErr_Occurred()) return nullptr;
  if (idd != nullptr && Py_IS_TYPE(idd, reinterpret_cast<PyTypeObject*>(cls))) return Py_NewRef(idd);
  PyRef loaded;
  PyObject* text = argv[3];
  if (text != Py_None) {
    if (!binding::check_arg_type(text, &PyBytes_Type, "text", false)) return nullptr;
    loaded = PyRef::steal(new_loaded(reinterpret_cast<PyTypeObject*>(cls), bytes_view(text), Py_None, text));
  } else if (argv[1] == Py_None) {
    raise_not_registered(argv[1], argv[2]);
    return nullptr;
  } else {
    if (!binding::check_arg_type(argv[1], &PyUnicode_Type, "path", false)) return nullptr;
    loaded = PyRef::steal(load_file(reinterpret_cast<PyTypeObject*>(cls), argv[1]));
    if (!loaded && PyErr_ExceptionMatches(PyExc_OSError)) {
      raise_not_registered(argv[1], argv[2]);
      return nullptr;
    }
    if (!loaded && PyErr_ExceptionMatches(PyExc_ValueError)) {
      // It read when the model was pickled: the file has changed.
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyErr_NormalizeException(&type, &value, &traceback);
      PyErr_Format(PyExc_ValueError, "the dictionary file %R has changed since the model was pickled and no longer reads: %S",
                   argv[1], value);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      return nullptr;
    }
  }
  if (!loaded) return nullptr;
  PyRef digest = PyRef::steal(PyUnicode_FromString(digest_text(as_idd(loaded.get())->digest).c_str()));
  if (!digest) return nullptr;
  int same = PyObject_RichCompareBool(digest.get(), argv[2], Py_EQ);
  if (same < 0) return nullptr;
  if (!same) {
    if (text != Py_None) {
      PyErr_Format(PyExc_ValueError, "the pickled dictionary text does not match its digest (%U, expected %U)",
                   digest.get(), argv[2]);
    } else {
      PyErr_Format(PyExc_ValueError,
                   "the dictionary file %R has changed since the model was pickled (its text's digest is %U, the "
                   "pickle expects %U)",
                   argv[1], digest.get(), argv[2]);
    }
    return nullptr;
  }
  return loaded.release();
}

/*** Registration ***/

// _register(idd_or_text, path=None): keeps a dictionary alive in this
// process under its digest, so that models pickled with it restore here
// whether or not its file exists. Given text (the UTF-8 bytes or str the
// dictionary was read from), the dictionary already here with that digest
// is used, else the text is read, remembering `path` as where it came from.
PyObject* module_register(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("_register", {"idd", "path"}, 1);
  PyObject* argv[2] = {nullptr, nullptr};
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject* path = argv[1] != nullptr ? argv[1] : Py_None;
  if (!binding::check_arg_type(path, &PyUnicode_Type, "path", true)) return nullptr;
  PyRef idd;
  if (PyObject_TypeCheck(argv[0], &IDD_Type)) {
    if (!as_idd(argv[0])->initialized) {
      PyErr_SetString(PyExc_ValueError, "cannot register an IDD that was never loaded");
      return nullptr;
    }
    idd = PyRef::borrow(argv[0]);
  } else {
    PyRef text;
    if (PyUnicode_Check(argv[0])) {
      text = PyRef::steal(PyUnicode_AsUTF8String(argv[0]));
    } else if (PyBytes_Check(argv[0])) {
      text = PyRef::borrow(argv[0]);
    } else {
      PyErr_Format(PyExc_TypeError, "_register() expects an IDD or its text (str or bytes), not %.200s",
                   Py_TYPE(argv[0])->tp_name);
      return nullptr;
    }
    if (!text) return nullptr;
    std::string_view view(PyBytes_AS_STRING(text.get()), static_cast<size_t>(PyBytes_GET_SIZE(text.get())));
    PyRef key = PyRef::steal(PyUnicode_FromString(digest_text(digest64(view)).c_str()));
    if (!key) return nullptr;
    PyObject* known = known_dictionary(key.get());
    if (known == nullptr && PyErr_Occurred()) return nullptr;
    if (known != nullptr && Py_IS_TYPE(known, &IDD_Type)) {
      idd = PyRef::borrow(known);
    } else {
      PyObject* source_text = path == Py_None ? text.get() : Py_None;
      idd = PyRef::steal(new_loaded(&IDD_Type, bytes_view(text.get()), path, source_text));
      if (!idd) return nullptr;
    }
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(digest_text(as_idd(idd.get())->digest).c_str()));
  if (!key || PyDict_SetItem(registered_by_digest, key.get(), idd.get()) < 0 || remember(idd.get()) < 0) return nullptr;
  return idd.release();
}

// _registered(): the digests of the dictionaries registered with this process.
PyObject* module_registered(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("_registered", nargs, kwnames) < 0) return nullptr;
  return PyDict_Keys(registered_by_digest);
}

// _dictionary_text(idd): the UTF-8 text the dictionary was read from (what
// its digest is taken over), read again from its file when it came from
// one; ValueError when the file has changed since.
PyObject* module_dictionary_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("_dictionary_text", {"idd"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  if (!binding::check_arg_type(argv[0], &IDD_Type, "idd", false)) return nullptr;
  IDDObject* self = as_idd(argv[0]);
  if (!self->initialized) {
    PyErr_SetString(PyExc_ValueError, "the IDD was never loaded");
    return nullptr;
  }
  if (self->source_text != Py_None) return Py_NewRef(self->source_text);
  if (self->source_path == Py_None) {
    PyErr_SetString(PyExc_ValueError, "the dictionary's text is not kept (it came neither from a file nor from text)");
    return nullptr;
  }
  PyRef text = PyRef::steal(utils_api->read_utf8_bytes(self->source_path, Py_None));
  if (!text) return nullptr;
  std::string_view view(PyBytes_AS_STRING(text.get()), static_cast<size_t>(PyBytes_GET_SIZE(text.get())));
  uint64_t digest = digest64(view);
  if (digest != self->digest) {
    PyErr_Format(PyExc_ValueError,
                 "the dictionary file %R has changed since it was read (its text's digest is %s, the dictionary's %s)",
                 self->source_path, digest_text(digest).c_str(), digest_text(self->digest).c_str());
    return nullptr;
  }
  return text.release();
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

// The field index argument of field_name and field_info: an int naming a
// field of the class (declared, or of a later extensible group); -1 with
// TypeError or IndexError otherwise.
int field_index_arg(const ClassDef* cls, PyObject* index_obj) {
  if (!PyLong_Check(index_obj)) {
    PyErr_Format(PyExc_TypeError, "index must be int, not %.200s", Py_TYPE(index_obj)->tp_name);
    return -1;
  }
  int overflow = 0;
  long long index = PyLong_AsLongLongAndOverflow(index_obj, &overflow);
  if (index == -1 && PyErr_Occurred()) return -1;
  if (overflow < 0 || index < 0) {
    PyErr_Format(PyExc_IndexError, "field index %R must not be negative", index_obj);
    return -1;
  }
  if (overflow > 0 || index > INT32_MAX || get_field_def(cls, static_cast<size_t>(index)) == nullptr) {
    PyErr_Format(PyExc_IndexError, "field index %R is past the %zu fields of class %s", index_obj, cls->fields.size(),
                 cls->name.c_str());
    return -1;
  }
  return static_cast<int>(index);
}

PyObject* field_name_str(const ClassDef* cls, int index) {
  std::string name;
  if (!binding::guard(false, [&] {
        name = get_field_name(cls, index, false);
        return true;
      })) {
    return nullptr;
  }
  return binding::str_from_utf8(name);
}

// The (class_name, index) arguments of field_name and field_info; false
// with the error set.
bool class_and_index(PyObject* self, const binding::ArgParser& parser, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const ClassDef*& cls, int& index) {
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return false;
  cls = class_arg(self, argv[0]);
  if (cls == nullptr) return false;
  index = field_index_arg(cls, argv[1]);
  return index >= 0;
}

PyObject* IDD_field_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("field_name", {"class_name", "index"}, 2);
  const ClassDef* cls = nullptr;
  int index = 0;
  if (!class_and_index(self, parser, args, nargs, kwnames, cls, index)) return nullptr;
  return field_name_str(cls, index);
}

// The index of the field an attribute name reaches, as tamrix.ormic reads
// obj.<key>: letters folded as the interpreter lower-cases them.
PyObject* IDD_attribute_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("attribute_index", {"class_name", "key"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  const ClassDef* cls = class_arg(self, argv[0]);
  if (cls == nullptr) return nullptr;
  if (!binding::check_arg_type(argv[1], &PyUnicode_Type, "key", false)) return nullptr;
  PyRef lower = PyRef::steal(PyObject_CallMethod(argv[1], "lower", nullptr));
  if (!lower) return nullptr;
  std::string_view key;
  if (!PyUnicode_Check(lower.get())) {
    PyErr_Format(PyExc_TypeError, "key.lower() returned %.200s, not str", Py_TYPE(lower.get())->tp_name);
    return nullptr;
  }
  if (!binding::utf8_view(lower.get(), key)) return nullptr;
  int index = binding::guard(-2, [&] { return find_field_by_attribute_key(cls, key); });
  if (index == -2) return nullptr;
  if (index < 0) {
    PyErr_Format(PyExc_KeyError, "No field of class '%s' is reached by attribute %R", cls->name.c_str(), argv[1]);
    return nullptr;
  }
  return PyLong_FromLong(index);
}

const char* const kTypeNames[] = {"", "integer", "real", "alpha", "choice", "object-list", "node"};

PyObject* str_list(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = binding::str_from_utf8(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* bound(bool present, double value) {
  if (!present) Py_RETURN_NONE;
  return PyFloat_FromDouble(value);
}

PyObject* field_info(const FieldDef& f) {
  int type = (f.field_type >= FIELDTYPE_DEFAULT && f.field_type <= FIELDTYPE_NODE) ? f.field_type : 0;
  return Py_BuildValue(
      "{s:N,s:N,s:s,s:O,s:N,s:N,s:O,s:O,s:N,s:N,s:N,s:N,s:O,s:N,s:O}", "name", binding::str_from_utf8(f.name), "code",
      binding::str_from_utf8(f.code), "type", kTypeNames[type], "required", f.required ? Py_True : Py_False, "units",
      binding::str_from_utf8(f.units), "default", binding::str_from_utf8(f.default_val), "autosizable",
      f.autosizable ? Py_True : Py_False, "autocalculatable", f.autocalculatable ? Py_True : Py_False, "choices",
      str_list(f.choices), "references", str_list(f.references), "object_lists", str_list(f.object_lists), "minimum",
      bound(f.has_minimum, f.minimum), "minimum_exclusive", f.minimum_exclusive ? Py_True : Py_False, "maximum",
      bound(f.has_maximum, f.maximum), "maximum_exclusive", f.maximum_exclusive ? Py_True : Py_False);
}

PyObject* IDD_reference_lists(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("reference_lists", nargs, kwnames) < 0) return nullptr;
  PyRef lists = PyRef::steal(PyList_New(0));
  PyRef seen = PyRef::steal(PySet_New(nullptr));
  if (!lists || !seen) return nullptr;
  for (const ClassDef& cls : as_idd(self)->c_idd.ordered_classes) {
    for (const FieldDef& field : cls.fields) {
      for (const std::string& name : field.references) {
        PyRef item = PyRef::steal(binding::str_from_utf8(name));
        if (!item) return nullptr;
        int known = PySet_Contains(seen.get(), item.get());
        if (known < 0) return nullptr;
        if (known) continue;
        if (PySet_Add(seen.get(), item.get()) < 0 || PyList_Append(lists.get(), item.get()) < 0) return nullptr;
      }
    }
  }
  return lists.release();
}

PyObject* IDD_class_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("class_info", {"class_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  const ClassDef* cls = class_arg(self, argv[0]);
  if (cls == nullptr) return nullptr;
  PyRef fields = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cls->fields.size())));
  if (!fields) return nullptr;
  for (size_t i = 0; i < cls->fields.size(); ++i) {
    PyObject* info = field_info(cls->fields[i]);
    if (info == nullptr) return nullptr;
    PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), info);
  }
  PyRef extensible = cls->extensible.is_extensible
                         ? PyRef::steal(Py_BuildValue("{s:i,s:i}", "begin", cls->extensible.begin_index, "size",
                                                      cls->extensible.size))
                         : PyRef::borrow(Py_None);
  if (!extensible) return nullptr;
  return Py_BuildValue("{s:N,s:N,s:i,s:O,s:O,s:O,s:O}", "name", binding::str_from_utf8(cls->name), "group",
                       binding::str_from_utf8(cls->group), "min_fields", cls->min_fields, "unique_object",
                       cls->unique_object ? Py_True : Py_False, "required_object",
                       cls->required_object ? Py_True : Py_False, "extensible", extensible.get(), "fields",
                       fields.get());
}

PyObject* IDD_field_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("field_info", {"class_name", "index"}, 2);
  const ClassDef* cls = nullptr;
  int index = 0;
  if (!class_and_index(self, parser, args, nargs, kwnames, cls, index)) return nullptr;
  PyRef info = PyRef::steal(field_info(*get_field_def(cls, static_cast<size_t>(index))));
  if (!info) return nullptr;
  // Past the declared fields the definition is the first group's; the name
  // is this group's own.
  PyRef name = PyRef::steal(field_name_str(cls, index));
  if (!name || PyDict_SetItemString(info.get(), "name", name.get()) < 0) return nullptr;
  return info.release();
}

PyObject* IDD_get_path(PyObject* self, void*) { return Py_NewRef(as_idd(self)->source_path); }

PyObject* IDD_get_digest(PyObject* self, void*) {
  if (!as_idd(self)->initialized) Py_RETURN_NONE;
  return PyUnicode_FromString(digest_text(as_idd(self)->digest).c_str());
}

PyObject* IDD_get_version(PyObject* self, void*) { return Py_NewRef(as_idd(self)->version); }

PyMethodDef IDD_methods[] = {
    {"from_file", TAMRIX_FASTCALL(IDD_from_file) | METH_CLASS,
     "from_file(path)\n--\n\nRead a dictionary from an IDD file (str or path-like)."},
    {"from_string", TAMRIX_FASTCALL(IDD_from_string) | METH_CLASS,
     "from_string(text)\n--\n\nRead a dictionary from IDD text."},
    {"class_names", TAMRIX_FASTCALL(IDD_class_names), "class_names()\n--\n\nThe class names, in dictionary order."},
    {"field_names", TAMRIX_FASTCALL(IDD_field_names),
     "field_names(class_name)\n--\n\nThe declared field names of a class (any letter case)."},
    {"field_name", TAMRIX_FASTCALL(IDD_field_name),
     "field_name(class_name, index)\n--\n\n"
     "The name of field `index` (0-based) of a class: the declared name, or past the\n"
     "declared fields of an extensible class the name of that field's group, as the\n"
     "writer names it in its comments. IndexError past the last field of a class\n"
     "that does not repeat."},
    {"field_info", TAMRIX_FASTCALL(IDD_field_info),
     "field_info(class_name, index)\n--\n\n"
     "What the dictionary says of field `index` (0-based) of a class, as one entry of\n"
     "class_info()['fields']: past the declared fields of an extensible class, the\n"
     "definition of the matching field of the first group under this field's own\n"
     "name. IndexError where field_name() raises it."},
    {"attribute_index", TAMRIX_FASTCALL(IDD_attribute_index),
     "attribute_index(class_name, key)\n--\n\n"
     "The index of the field that the attribute `key` stands for, as tamrix.ormic\n"
     "reads obj.<key> (Zone_Name, Vertex_12_Xcoordinate; any letter case).\n"
     "KeyError when the key reaches no field of the class."},
    {"reference_lists", TAMRIX_FASTCALL(IDD_reference_lists),
     "reference_lists()\n--\n\nEvery list name that some field declares with \\reference, in dictionary order:\n"
     "the lists that hold object names (the others hold class or node names)."},
    {"class_info", TAMRIX_FASTCALL(IDD_class_info),
     "class_info(class_name)\n--\n\n"
     "What the dictionary says of a class: name, group, min_fields, unique_object,\n"
     "required_object, extensible ({'begin', 'size'} or None) and fields, a list of\n"
     "dicts (name, code, type, required, units, default, autosizable,\n"
     "autocalculatable, choices, references, object_lists, minimum,\n"
     "minimum_exclusive, maximum, maximum_exclusive)."},
    {"__reduce__", TAMRIX_FASTCALL(IDD_reduce), "__reduce__()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_restore_IDD", TAMRIX_FASTCALL(module_restore_idd),
     "_restore_IDD(cls, path, digest, text)\n--\n\n"
     "Restore a pickled dictionary: the one this process already holds with that\n"
     "digest, else read again from its file (or text) and checked against the digest."},
    {"_register", TAMRIX_FASTCALL(module_register),
     "_register(idd, path=None)\n--\n\n"
     "Keep a dictionary (an IDD, or the text it was read from) alive in this process\n"
     "under its digest: models pickled with it restore from it here, and it pickles\n"
     "by digest alone. Returns the registered IDD."},
    {"_registered", TAMRIX_FASTCALL(module_registered),
     "_registered()\n--\n\nThe digests of the dictionaries registered with this process."},
    {"_dictionary_text", TAMRIX_FASTCALL(module_dictionary_text),
     "_dictionary_text(idd)\n--\n\n"
     "The UTF-8 text a dictionary was read from, read again from its file (ValueError\n"
     "when the file has changed since)."},
    {nullptr, nullptr, 0, nullptr},
};


PyGetSetDef IDD_getset[] = {
    {"version", IDD_get_version, nullptr, "The dictionary's version (from its first line), or None.", nullptr},
    {"digest", IDD_get_digest, nullptr,
     "A digest of the dictionary's text (16 hex digits): equal texts, equal digests. Pickles name it.", nullptr},
    {"path", IDD_get_path, nullptr, "The absolute path of the file read, or None for a dictionary read from text.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods IDD_as_sequence = {};

PyModuleDef idd_module = {
    PyModuleDef_HEAD_INIT, "tamrix.idd", "The IDD data dictionary.", -1, module_methods,
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
  IDD_Type.tp_weaklistoffset = offsetof(IDDObject, weakreflist);
  if (PyType_Ready(&IDD_Type) < 0) return nullptr;

  binding::PyRef module = binding::PyRef::steal(PyModule_Create(&idd_module));
  if (!module) return nullptr;
  if (binding::add_type(module.get(), "IDD", &IDD_Type) < 0) return nullptr;
  if (binding::publish_capi(module.get(), &idd_capi, kIddCapsule) < 0) return nullptr;
  loaded_by_digest = PyDict_New();
  registered_by_digest = PyDict_New();
  if (registered_by_digest == nullptr) return nullptr;
  restore_idd_func = PyObject_GetAttrString(module.get(), "_restore_IDD");
  if (loaded_by_digest == nullptr || restore_idd_func == nullptr) return nullptr;
  return module.release();
}
