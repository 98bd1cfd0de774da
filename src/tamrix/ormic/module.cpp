// tamrix.ormic: the attribute-style scripting layer. A document (IDF), its
// per-class object lists (IDFObjectsProxy) and objects (IDFObject) that turn
// attribute names into dictionary field names and forward everything to the
// document model in tamrix.idf. No model logic lives here.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tamrix/binding/pickling.hpp"
#include "tamrix/binding/toolkit.hpp"
// after Python.h, which the toolkit includes
#include <structmember.h>
#include "tamrix/idd/idd_capi.hpp"
#include "tamrix/idf/idf_capi.hpp"
#include "tamrix/lexer/lexer_capi.hpp"
#include "tamrix/utils/utils_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

/*** Bound neighbours ***/

const IdfCAPI* idf_api = nullptr;
const IddCAPI* idd_api = nullptr;
const LexerCAPI* lexer_api = nullptr;
// Bound at import like the other neighbours (a missing one fails the
// import), though no facade path calls into it.
const UtilsCAPI* utils_api = nullptr;

/*** Records ***/

struct FacadeIDF {
  PyObject_HEAD
  PyObject* core_idf;      // tamrix.idf.IDF, or None before __init__ ran
  PyObject* idfobjsproxy;  // IDFObjectsProxy bound to this document, or None
  PyObject* weakreflist;
};

struct ObjectsProxy {
  PyObject_HEAD
  PyObject* parent;  // the facade IDF, or None when unbound
};

struct FacadeObject {
  PyObject_HEAD
  PyObject* core_obj;  // tamrix.idf.IDFObject, or None when unbound
};

// Native methods, in table order.
struct ObjectsProxyMethods {
  int (*c_init)(ObjectsProxy* self, PyObject* parent);
};

struct FacadeObjectMethods {
  int (*c_init)(FacadeObject* self, PyObject* core_obj);
};

PyTypeObject FacadeIDF_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ObjectsProxy_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject FacadeObject_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

FacadeIDF* as_facade_idf(PyObject* o) { return reinterpret_cast<FacadeIDF*>(o); }
ObjectsProxy* as_proxy(PyObject* o) { return reinterpret_cast<ObjectsProxy*>(o); }
FacadeObject* as_facade_object(PyObject* o) { return reinterpret_cast<FacadeObject*>(o); }

/*** Module state ***/

// Scripts choose one dictionary for the whole process, so this state is
// process-wide rather than per document.
PyObject* shared_iddname = nullptr;     // str; "" until setiddname
PyObject* shared_idd = nullptr;         // IDD, or None until setiddname
PyObject* field_key_to_name = nullptr;  // upper-cased class name -> {field key: field name}

// Interned names and the str methods used for case folding; taken from the
// str type so that a str subclass cannot change how names are folded.
PyObject* str_upper = nullptr;
PyObject* str_lower = nullptr;
PyObject* name_from_file = nullptr;
PyObject* name_class_name = nullptr;
PyObject* name_add_object = nullptr;
PyObject* name_get_object_by_name = nullptr;
PyObject* name_remove_object = nullptr;
PyObject* name_remove_all_objects = nullptr;
PyObject* name_save = nullptr;
PyObject* add_object_kwnames = nullptr;  // ("initial_values", "default_values")
PyObject* save_kwnames = nullptr;        // ("field_size",)
PyObject* facade_field_size = nullptr;   // 25: one wider than the document model's default

constexpr const char* kNoDictionary =
    "No dictionary chosen: call IDF.setiddname(path) before opening a document";
constexpr const char* kNotLoaded = "IDF is not loaded: open documents with IDF(path) after IDF.setiddname(path)";
constexpr const char* kUnboundObject =
    "IDFObject wraps no document object: get objects through IDF.idfobjects, IDF.newidfobject() or "
    "IDF.getobject()";
constexpr const char* kUnboundProxy = "IDFObjectsProxy is not bound to a document: use IDF(path).idfobjects";

void raise_cannot_convert(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(obj)->tp_name, target);
}

/*** Arguments ***/

// The first argument of a method declared as f(name, *args, **kwargs):
// positional or by keyword; everything else is accepted and ignored.
int first_arg(const char* func, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out) {
  *out = nargs > 0 ? args[0] : nullptr;
  if (kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (PyUnicode_CompareWithASCIIString(key, name) != 0) continue;
      if (*out != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
        return -1;
      }
      *out = args[nargs + k];
    }
  }
  if (*out == nullptr) {
    binding::raise_argtuple_invalid(func, 1, PY_SSIZE_T_MAX, 0);
    return -1;
  }
  return 0;
}

int first_arg(const char* func, const char* name, PyObject* args, PyObject* kwargs, PyObject** out) {
  *out = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (kwargs != nullptr) {
    PyObject* value = PyDict_GetItemString(kwargs, name);
    if (value != nullptr) {
      if (*out != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'", func, name);
        return -1;
      }
      *out = value;
    }
  }
  if (*out == nullptr) {
    binding::raise_argtuple_invalid(func, 1, PY_SSIZE_T_MAX, 0);
    return -1;
  }
  return 0;
}

/*** Field keys ***/

// How attribute keys become field names is the dictionary's knowledge
// (idd_core.hpp: attribute_key, field_name_for_attribute_key); this layer
// adds the process-wide choice of dictionary and the interpreter's Unicode
// case folding of class names and keys.

// The dictionary the table was built from (kept alive: resolution reads its
// classes), and its classes by upper-cased name (UTF-8).
PyObject* table_idd = nullptr;
std::unordered_map<std::string, size_t> table_classes;

// Fills the table from the shared dictionary, once per process: a later
// dictionary keeps the first one's table. The table lists, for scripts,
// the keys that the underscore rule cannot read back (names with "-", "/"
// or "*").
int build_field_key_to_name_dict() {
  if (PyDict_GET_SIZE(field_key_to_name) > 0) return 0;
  if (!PyObject_TypeCheck(shared_idd, idd_api->IDD_type)) return 0;
  Py_XSETREF(table_idd, Py_NewRef(shared_idd));
  table_classes.clear();
  const c_IDD& dict = reinterpret_cast<IDDObject*>(table_idd)->c_idd;
  for (size_t i = 0; i < dict.ordered_classes.size(); ++i) {
    const ClassDef& cls = dict.ordered_classes[i];
    PyRef class_name = PyRef::steal(binding::str_from_utf8(cls.name));
    if (!class_name) return -1;
    PyRef search_key = PyRef::steal(PyObject_CallOneArg(str_upper, class_name.get()));
    if (!search_key) return -1;
    PyRef inner = PyRef::borrow(PyDict_GetItemWithError(field_key_to_name, search_key.get()));
    if (!inner) {
      if (PyErr_Occurred()) return -1;
      inner = PyRef::steal(PyDict_New());
      if (!inner || PyDict_SetItem(field_key_to_name, search_key.get(), inner.get()) < 0) return -1;
    }
    std::string_view search_utf8;
    if (!binding::utf8_view(search_key.get(), search_utf8)) return -1;
    if (!binding::guard(false, [&] {
          table_classes.emplace(search_utf8, i);
          return true;
        })) {
      return -1;
    }
    for (const FieldDef& field : cls.fields) {
      if (!idd_api->has_irregular_attribute_key(field.name)) continue;
      PyRef field_name = PyRef::steal(binding::str_from_utf8(field.name));
      if (!field_name) return -1;
      PyRef ascii_key = PyRef::steal(binding::guard<PyObject*>(
          nullptr, [&] { return binding::str_from_utf8(idd_api->attribute_key(field.name)); }));
      if (!ascii_key) return -1;
      PyRef key = PyRef::steal(PyObject_CallOneArg(str_lower, ascii_key.get()));
      if (!key || PyObject_SetItem(inner.get(), key.get(), field_name.get()) < 0) return -1;
    }
  }
  return 0;
}

// The field name an attribute key stands for in a class of the table's
// dictionary (KeyError with the upper-cased class name for a class it does
// not have). The result need not name a field: the document model's field
// lookup reports that in its own words.
PyObject* resolve_field_key_to_field_name(PyObject* class_name, PyObject* field_key) {
  if (!binding::check_arg_type(class_name, &PyUnicode_Type, "class_name", false) ||
      !binding::check_arg_type(field_key, &PyUnicode_Type, "field_key", false)) {
    return nullptr;
  }
  PyRef class_upper = PyRef::steal(PyObject_CallOneArg(str_upper, class_name));
  if (!class_upper) return nullptr;
  PyRef key = PyRef::steal(PyObject_CallOneArg(str_lower, field_key));
  if (!key) return nullptr;
  constexpr size_t kAbsent = static_cast<size_t>(-1);
  size_t class_idx = kAbsent;
  std::string_view class_utf8;
  if (!binding::utf8_view(class_upper.get(), class_utf8)) {
    PyErr_Clear();  // no class is named by text that does not encode
  } else if (table_idd != nullptr) {
    class_idx = binding::guard(kAbsent - 1, [&] {
      auto found = table_classes.find(std::string(class_utf8));
      return found == table_classes.end() ? kAbsent : found->second;
    });
    if (class_idx == kAbsent - 1) return nullptr;
  }
  if (class_idx == kAbsent) {
    PyErr_SetObject(PyExc_KeyError, class_upper.get());
    return nullptr;
  }
  const ClassDef* cls = &reinterpret_cast<IDDObject*>(table_idd)->c_idd.ordered_classes[class_idx];
  std::string_view key_utf8;
  if (!binding::utf8_view(key.get(), key_utf8)) return nullptr;
  return binding::guard<PyObject*>(nullptr, [&] {
    return binding::str_from_utf8(idd_api->field_name_for_attribute_key(cls, key_utf8));
  });
}

/*** IDFObject ***/

int FacadeObject_c_init(FacadeObject* self, PyObject* core_obj) {
  if (core_obj != Py_None && !PyObject_TypeCheck(core_obj, idf_api->IDFObject_type)) {
    raise_cannot_convert(core_obj, "tamrix.idf.IDFObject");
    return -1;
  }
  Py_INCREF(core_obj);
  Py_SETREF(self->core_obj, core_obj);
  return 0;
}

const FacadeObjectMethods facade_object_methods = {FacadeObject_c_init};

// A new wrapper around a document-model object.
PyObject* wrap_object(PyObject* core_obj) {
  PyRef obj = PyRef::steal(binding::new_instance(&FacadeObject_Type, &FacadeObject_Type));
  if (!obj) return nullptr;
  if (facade_object_methods.c_init(as_facade_object(obj.get()), core_obj) < 0) return nullptr;
  return obj.release();
}

// The wrapped object (a new reference), or null with TypeError when unbound.
PyObject* bound_core_obj(PyObject* op) {
  PyObject* core = as_facade_object(op)->core_obj;
  if (core == nullptr || core == Py_None) {
    PyErr_SetString(PyExc_TypeError, kUnboundObject);
    return nullptr;
  }
  return Py_NewRef(core);
}

// The field name an attribute of the wrapped object stands for.
PyObject* field_name_for(PyObject* core, PyObject* name) {
  if (!binding::check_arg_type(name, &PyUnicode_Type, "name", false)) return nullptr;
  PyRef class_name = PyRef::steal(PyObject_GetAttr(core, name_class_name));
  if (!class_name) return nullptr;
  return resolve_field_key_to_field_name(class_name.get(), name);
}

PyObject* FacadeObject_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) return nullptr;
  as_facade_object(op)->core_obj = Py_NewRef(Py_None);
  return op;
}

int FacadeObject_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return binding::parse_no_args("__init__", args, kwargs);
}

int FacadeObject_traverse(PyObject* op, visitproc visit, void* arg) {
  Py_VISIT(as_facade_object(op)->core_obj);
  return 0;
}

int FacadeObject_clear(PyObject* op) {
  Py_CLEAR(as_facade_object(op)->core_obj);
  return 0;
}

void FacadeObject_dealloc(PyObject* op) {
  PyObject_GC_UnTrack(op);
  FacadeObject_clear(op);
  Py_TYPE(op)->tp_free(op);
}

PyObject* FacadeObject_repr(PyObject* op) {
  PyObject* core = as_facade_object(op)->core_obj;
  if (core == nullptr || core == Py_None) return PyUnicode_FromFormat("<%s (unbound)>", Py_TYPE(op)->tp_name);
  PyRef hold = PyRef::borrow(core);
  return PyObject_Repr(hold.get());
}

// "__name__"-style names: never a field (no field name starts or ends with
// a blank), and probed by the host's own tools (help(), copy, inspect).
bool is_dunder(PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  if (n < 5) return false;
  return PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 2) == '_' && PyUnicode_READ_CHAR(name, n - 1) == '_';
}

// Real attributes first; any other name is a field of the wrapped object.
// The field lookup's own errors are kept (a KeyError for an unknown field),
// not turned into AttributeError.
PyObject* FacadeObject_getattro(PyObject* op, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(op, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError) || is_dunder(name)) return found;
  PyErr_Clear();
  if (!binding::check_arg_type(name, &PyUnicode_Type, "name", false)) return nullptr;
  PyRef core = PyRef::steal(bound_core_obj(op));
  if (!core) return nullptr;
  PyRef field = PyRef::steal(field_name_for(core.get(), name));
  if (!field) return nullptr;
  return PyObject_GetItem(core.get(), field.get());
}

// Every assignment is a field write; deletion is the host's own.
int FacadeObject_setattro(PyObject* op, PyObject* name, PyObject* value) {
  if (value == nullptr) return PyObject_GenericSetAttr(op, name, nullptr);
  if (!binding::check_arg_type(name, &PyUnicode_Type, "name", false)) return -1;
  PyRef core = PyRef::steal(bound_core_obj(op));
  if (!core) return -1;
  PyRef field = PyRef::steal(field_name_for(core.get(), name));
  if (!field) return -1;
  return PyObject_SetItem(core.get(), field.get(), value);
}

// What object.__dir__ lists (instance dict keys, then the type's
// attributes), gathered without our attribute hook: object.__dir__ probes
// __dict__ through it, and an instance without one would read that as a field.
PyObject* plain_dir(PyObject* op) {
  PyRef names = PyRef::steal(PyList_New(0));
  if (!names) return nullptr;
  PyRef dict_name = PyRef::steal(PyUnicode_InternFromString("__dict__"));
  if (!dict_name) return nullptr;
  PyRef dict = PyRef::steal(PyObject_GenericGetAttr(op, dict_name.get()));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  } else if (PyDict_Check(dict.get())) {
    names = PyRef::steal(PyDict_Keys(dict.get()));
    if (!names) return nullptr;
  }
  PyRef type_names = PyRef::steal(PyObject_Dir(reinterpret_cast<PyObject*>(Py_TYPE(op))));
  if (!type_names) return nullptr;
  Py_ssize_t end = PyList_GET_SIZE(names.get());
  if (PyList_SetSlice(names.get(), end, end, type_names.get()) < 0) return nullptr;
  return names.release();
}

// The type's attributes and then the wrapped object's fields, so that
// interactive completion offers field names.
PyObject* FacadeObject_dir(PyObject* op, PyObject*) {
  PyRef names = PyRef::steal(plain_dir(op));
  if (!names) return nullptr;
  PyRef core = PyRef::borrow(as_facade_object(op)->core_obj);
  if (!core || !PyObject_TypeCheck(core.get(), idf_api->IDFObject_type)) return names.release();
  IDFObjectRecord* rec = reinterpret_cast<IDFObjectRecord*>(core.get());
  if (!PyObject_TypeCheck(rec->idd, idd_api->IDD_type)) return names.release();
  PyRef idd = PyRef::borrow(rec->idd);
  const c_IDD& dict = reinterpret_cast<IDDObject*>(idd.get())->c_idd;
  if (rec->class_idx >= dict.ordered_classes.size()) return names.release();
  PyRef seen = PyRef::steal(PySet_New(names.get()));
  if (!seen) return nullptr;
  std::vector<std::string> fields;
  if (!binding::guard(false, [&] {
        fields = idd_api->attribute_names(&dict.ordered_classes[rec->class_idx]);
        return true;
      })) {
    return nullptr;
  }
  for (const std::string& field : fields) {
    PyRef name = PyRef::steal(binding::str_from_utf8(field));
    if (!name) return nullptr;
    int present = PySet_Contains(seen.get(), name.get());
    if (present < 0) return nullptr;
    if (present) continue;
    if (PySet_Add(seen.get(), name.get()) < 0 || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  return names.release();
}

/*** IDFObjectsProxy ***/

int ObjectsProxy_c_init(ObjectsProxy* self, PyObject* parent) {
  Py_INCREF(parent);
  Py_SETREF(self->parent, parent);
  return 0;
}

const ObjectsProxyMethods objects_proxy_methods = {ObjectsProxy_c_init};

PyObject* ObjectsProxy_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) return nullptr;
  as_proxy(op)->parent = Py_NewRef(Py_None);
  return op;
}

int ObjectsProxy_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return binding::parse_no_args("__init__", args, kwargs);
}

int ObjectsProxy_traverse(PyObject* op, visitproc visit, void* arg) {
  Py_VISIT(as_proxy(op)->parent);
  return 0;
}

int ObjectsProxy_clear(PyObject* op) {
  Py_CLEAR(as_proxy(op)->parent);
  return 0;
}

void ObjectsProxy_dealloc(PyObject* op) {
  PyObject_GC_UnTrack(op);
  ObjectsProxy_clear(op);
  Py_TYPE(op)->tp_free(op);
}

// A new list of new wrappers around the live objects of a class.
PyObject* ObjectsProxy_subscript(PyObject* op, PyObject* class_name) {
  if (!binding::check_arg_type(class_name, &PyUnicode_Type, "class_name", true)) return nullptr;
  PyObject* parent = as_proxy(op)->parent;
  if (parent == nullptr || !PyObject_TypeCheck(parent, &FacadeIDF_Type)) {
    PyErr_SetString(PyExc_TypeError, kUnboundProxy);
    return nullptr;
  }
  PyRef core = PyRef::borrow(as_facade_idf(parent)->core_idf);
  if (!core || !PyObject_TypeCheck(core.get(), idf_api->IDF_type)) {
    PyErr_SetString(PyExc_TypeError, kNotLoaded);
    return nullptr;
  }
  PyRef list = PyRef::steal(idf_api->idf->get_objects_raw(reinterpret_cast<IDFRecord*>(core.get()), class_name));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* wrapper = wrap_object(PyList_GET_ITEM(list.get(), i));
    if (wrapper == nullptr) return nullptr;
    PyList_SetItem(list.get(), i, wrapper);
  }
  return list.release();
}

/*** IDF: dictionary ***/

PyObject* FacadeIDF_setiddname(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* iddname;
  if (first_arg("setiddname", "iddname", args, nargs, kwnames, &iddname) < 0) return nullptr;
  PyRef hold = PyRef::borrow(iddname);
  PyRef name = PyUnicode_CheckExact(iddname) ? PyRef::borrow(iddname) : PyRef::steal(PyObject_Str(iddname));
  if (!name) return nullptr;
  Py_SETREF(shared_iddname, name.release());
  PyRef idd = PyRef::steal(
      PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(idd_api->IDD_type), name_from_file, iddname));
  if (!idd) return nullptr;
  if (idd.get() != Py_None && !PyObject_TypeCheck(idd.get(), idd_api->IDD_type)) {
    raise_cannot_convert(idd.get(), "tamrix.idd.IDD");
    return nullptr;
  }
  Py_SETREF(shared_idd, idd.release());
  if (build_field_key_to_name_dict() < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* FacadeIDF_getiddname(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("getiddname", nargs, kwnames) < 0) return nullptr;
  return Py_NewRef(shared_iddname);
}

/*** IDF: type slots ***/

PyObject* FacadeIDF_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) return nullptr;
  FacadeIDF* self = as_facade_idf(op);
  self->core_idf = Py_NewRef(Py_None);
  self->idfobjsproxy = Py_NewRef(Py_None);
  self->weakreflist = nullptr;
  return op;
}

int FacadeIDF_init(PyObject* op, PyObject* args, PyObject* kwargs) {
  PyObject* idfname;
  if (first_arg("__init__", "idfname", args, kwargs, &idfname) < 0) return -1;
  if (shared_idd == nullptr || shared_idd == Py_None) {
    PyErr_SetString(PyExc_TypeError, kNoDictionary);
    return -1;
  }
  PyRef idd = PyRef::borrow(shared_idd);
  PyRef name = PyRef::borrow(idfname);
  PyRef core = PyRef::steal(PyObject_CallMethodObjArgs(reinterpret_cast<PyObject*>(idf_api->IDF_type),
                                                       name_from_file, idd.get(), name.get(), nullptr));
  if (!core) return -1;
  if (!PyObject_TypeCheck(core.get(), idf_api->IDF_type)) {
    raise_cannot_convert(core.get(), "tamrix.idf.IDF");
    return -1;
  }
  PyRef proxy = PyRef::steal(binding::new_instance(&ObjectsProxy_Type, &ObjectsProxy_Type));
  if (!proxy || objects_proxy_methods.c_init(as_proxy(proxy.get()), op) < 0) return -1;
  FacadeIDF* self = as_facade_idf(op);
  Py_SETREF(self->core_idf, core.release());
  Py_SETREF(self->idfobjsproxy, proxy.release());
  return 0;
}

int FacadeIDF_traverse(PyObject* op, visitproc visit, void* arg) {
  FacadeIDF* self = as_facade_idf(op);
  Py_VISIT(self->core_idf);
  Py_VISIT(self->idfobjsproxy);
  return 0;
}

int FacadeIDF_clear(PyObject* op) {
  FacadeIDF* self = as_facade_idf(op);
  Py_CLEAR(self->core_idf);
  Py_CLEAR(self->idfobjsproxy);
  return 0;
}

void FacadeIDF_dealloc(PyObject* op) {
  PyObject_GC_UnTrack(op);
  if (as_facade_idf(op)->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  FacadeIDF_clear(op);
  Py_TYPE(op)->tp_free(op);
}

PyObject* FacadeIDF_repr(PyObject* op) {
  PyObject* core = as_facade_idf(op)->core_idf;
  if (core == nullptr || core == Py_None) return PyUnicode_FromFormat("<%s (not loaded)>", Py_TYPE(op)->tp_name);
  PyRef hold = PyRef::borrow(core);
  return PyObject_Repr(hold.get());
}

PyObject* FacadeIDF_get_idfobjects(PyObject* op, void*) { return Py_NewRef(as_facade_idf(op)->idfobjsproxy); }

/*** IDF: editing and output ***/

// The document (a new reference), or null with TypeError when not loaded.
PyObject* loaded_core(PyObject* op) {
  PyObject* core = as_facade_idf(op)->core_idf;
  if (core == nullptr || core == Py_None) {
    PyErr_SetString(PyExc_TypeError, kNotLoaded);
    return nullptr;
  }
  return Py_NewRef(core);
}

PyObject* FacadeIDF_newidfobject(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const func = "newidfobject";
  if (nargs > 2) {
    binding::raise_argtuple_invalid(func, 1, 2, nargs);
    return nullptr;
  }
  PyObject* class_name = nargs > 0 ? args[0] : nullptr;
  PyObject* defaultvalues = nargs > 1 ? args[1] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  // The two parameters may come by keyword anywhere among the fields.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject** slot = nullptr;
    if (PyUnicode_CompareWithASCIIString(key, "class_name") == 0) {
      slot = &class_name;
    } else if (PyUnicode_CompareWithASCIIString(key, "defaultvalues") == 0) {
      slot = &defaultvalues;
    } else {
      continue;
    }
    if (*slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
      return nullptr;
    }
    *slot = args[nargs + k];
  }
  if (class_name == nullptr) {
    binding::raise_argtuple_invalid(func, 1, 2, 0);
    return nullptr;
  }
  if (!binding::check_arg_type(class_name, &PyUnicode_Type, "class_name", true)) return nullptr;
  bool defaults = true;
  if (defaultvalues != nullptr) {
    int truth = PyObject_IsTrue(defaultvalues);
    if (truth < 0) return nullptr;
    defaults = truth != 0;
  }
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  PyRef initial_values = PyRef::steal(PyDict_New());
  if (!initial_values) return nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_CompareWithASCIIString(key, "class_name") == 0 ||
        PyUnicode_CompareWithASCIIString(key, "defaultvalues") == 0) {
      continue;
    }
    PyRef field = PyRef::steal(resolve_field_key_to_field_name(class_name, key));
    if (!field || PyDict_SetItem(initial_values.get(), field.get(), args[nargs + k]) < 0) return nullptr;
  }
  PyRef name = PyRef::borrow(class_name);
  PyObject* call_args[4] = {core.get(), name.get(), initial_values.get(), defaults ? Py_True : Py_False};
  PyRef created = PyRef::steal(PyObject_VectorcallMethod(name_add_object, call_args, 2, add_object_kwnames));
  if (!created) return nullptr;
  return wrap_object(created.get());
}

PyObject* FacadeIDF_getobject(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("getobject", {"key", "name"}, 2);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0 ||
      !binding::check_arg_type(argv[0], &PyUnicode_Type, "key", true) ||
      !binding::check_arg_type(argv[1], &PyUnicode_Type, "name", true)) {
    return nullptr;
  }
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  PyRef found = PyRef::steal(
      PyObject_CallMethodObjArgs(core.get(), name_get_object_by_name, argv[0], argv[1], nullptr));
  if (!found) return nullptr;
  if (found.get() == Py_None) Py_RETURN_NONE;
  return wrap_object(found.get());
}

PyObject* FacadeIDF_removeidfobject(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("removeidfobject", {"idfobject"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0 ||
      !binding::check_arg_type(argv[0], &FacadeObject_Type, "idfobject", false)) {
    return nullptr;
  }
  PyRef target = PyRef::steal(bound_core_obj(argv[0]));
  if (!target) return nullptr;
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  PyRef done = PyRef::steal(PyObject_CallMethodOneArg(core.get(), name_remove_object, target.get()));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* FacadeIDF_removeallidfobjects(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("removeallidfobjects", {"class_name"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  PyRef done = PyRef::steal(PyObject_CallMethodOneArg(core.get(), name_remove_all_objects, argv[0]));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* FacadeIDF_save(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* idfname;
  if (first_arg("save", "idfname", args, nargs, kwnames, &idfname) < 0) return nullptr;
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  PyRef name = PyRef::borrow(idfname);
  PyObject* call_args[3] = {core.get(), name.get(), facade_field_size};
  PyRef done = PyRef::steal(PyObject_VectorcallMethod(name_save, call_args, 2, save_kwnames));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

// Goes through the instance's own save so that a subclass's override runs.
PyObject* FacadeIDF_saveas(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* idfname;
  if (first_arg("saveas", "idfname", args, nargs, kwnames, &idfname) < 0) return nullptr;
  PyRef name = PyRef::borrow(idfname);
  PyRef done = PyRef::steal(PyObject_CallMethodOneArg(op, name_save, name.get()));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* FacadeIDF_printidf(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("printidf", nargs, kwnames) < 0) return nullptr;
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return nullptr;
  PyRef print = PyRef::steal(PyObject_GetAttrString(builtins.get(), "print"));
  if (!print) return nullptr;
  PyRef done = PyRef::steal(PyObject_CallOneArg(print.get(), core.get()));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* FacadeIDF_idfstr(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("idfstr", nargs, kwnames) < 0) return nullptr;
  PyRef core = PyRef::steal(loaded_core(op));
  if (!core) return nullptr;
  return PyObject_Str(core.get());
}

/*** Pickling ***/

// The facade classes hold only references to other objects of the package;
// each pickles as the tuple of those references, in field-name order.
struct ReferenceField {
  size_t offset;        // of the PyObject* in the record
  PyTypeObject* type;   // what it must hold (or None)
};

struct FacadePickling {
  binding::PickleFormat format;
  const char* restore_name;
  PyTypeObject* type;
  ReferenceField fields[2];
  Py_ssize_t n_fields;
  PyObject* restore_func;
};

PyObject*& field_slot(PyObject* self, const ReferenceField& field) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + field.offset);
}

FacadePickling idf_pickling = {{{0x8c30425, 0xf4f0da9, 0xaf3896f}, "core_idf, idfobjsproxy"},
                               "_restore_IDF", &FacadeIDF_Type,
                               {{offsetof(FacadeIDF, core_idf), nullptr}, {offsetof(FacadeIDF, idfobjsproxy), &ObjectsProxy_Type}},
                               2, nullptr};
FacadePickling object_pickling = {{{0x805eb6e, 0x8e97549, 0x8fc4c89}, "core_obj"},
                                  "_restore_IDFObject", &FacadeObject_Type,
                                  {{offsetof(FacadeObject, core_obj), nullptr}, {}}, 1, nullptr};
FacadePickling proxy_pickling = {{{0xe471259, 0xd8fd39d, 0xd0e4587}, "parent"},
                                 "_restore_IDFObjectsProxy", &ObjectsProxy_Type,
                                 {{offsetof(ObjectsProxy, parent), &FacadeIDF_Type}, {}}, 1, nullptr};

PyObject* facade_reduce(PyObject* self, const FacadePickling& p) {
  PyRef fields = PyRef::steal(PyTuple_New(p.n_fields));
  if (!fields) return nullptr;
  bool any_set = false;
  for (Py_ssize_t i = 0; i < p.n_fields; ++i) {
    PyObject* value = field_slot(self, p.fields[i]);
    any_set = any_set || value != Py_None;
    PyTuple_SET_ITEM(fields.get(), i, Py_NewRef(value));
  }
  return binding::reduce_with(self, p.restore_func, p.format.checksums[0], fields.release(), any_set);
}

int facade_apply_state(PyObject* self, PyObject* state, const FacadePickling& p) {
  for (Py_ssize_t i = 0; i < p.n_fields; ++i) {
    PyObject* item = binding::state_item(state, i);
    if (item == nullptr || !binding::object_from_state(item, p.fields[i].type, field_slot(self, p.fields[i]))) {
      return -1;
    }
  }
  return binding::restore_instance_dict(self, state, p.n_fields) ? 0 : -1;
}

PyObject* facade_setstate(PyObject* self, PyObject* state, const FacadePickling& p) {
  if (!binding::check_setstate_arg(state) || facade_apply_state(self, state, p) < 0) return nullptr;
  Py_RETURN_NONE;
}

template <FacadePickling* P>
int apply_state(PyObject* self, PyObject* state) {
  return facade_apply_state(self, state, *P);
}

template <FacadePickling* P>
PyObject* reduce_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__reduce__", nargs, kwnames) < 0) return nullptr;
  return facade_reduce(self, *P);
}

template <FacadePickling* P>
PyObject* setstate_method(PyObject* self, PyObject* state) {
  return facade_setstate(self, state, *P);
}

template <FacadePickling* P>
PyObject* restore_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return binding::restore_instance<PyObject, apply_state<P>>(args, nargs, kwnames, P->restore_name, P->format, P->type);
}

/*** Module functions ***/

PyObject* module_field_key_to_name(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("_field_key_to_name", nargs, kwnames) < 0) return nullptr;
  return Py_NewRef(field_key_to_name);
}

/*** Method tables ***/

PyMethodDef FacadeIDF_methods[] = {
    {"setiddname", TAMRIX_FASTCALL(FacadeIDF_setiddname) | METH_CLASS,
     "setiddname(iddname, *args, **kwargs)\n--\n\n"
     "Choose the dictionary (IDD file) for every document of this process."},
    {"getiddname", TAMRIX_FASTCALL(FacadeIDF_getiddname) | METH_CLASS,
     "getiddname()\n--\n\nThe dictionary path given to setiddname(), or \"\" before it."},
    {"newidfobject", TAMRIX_FASTCALL(FacadeIDF_newidfobject),
     "newidfobject(class_name, defaultvalues=True, **kwargs)\n--\n\n"
     "Add a new idfobject to the model."},
    {"getobject", TAMRIX_FASTCALL(FacadeIDF_getobject),
     "getobject(key, name)\n--\n\nFetch an IDF object given key and name."},
    {"removeidfobject", TAMRIX_FASTCALL(FacadeIDF_removeidfobject),
     "removeidfobject(idfobject)\n--\n\nRemove an IDF object from the IDF."},
    {"removeallidfobjects", TAMRIX_FASTCALL(FacadeIDF_removeallidfobjects),
     "removeallidfobjects(class_name)\n--\n\nRemove all IDF object of a certain type from the IDF."},
    {"save", TAMRIX_FASTCALL(FacadeIDF_save),
     "save(idfname, *args, **kwargs)\n--\n\nSave the IDF to a file (values padded to 25 characters)."},
    {"saveas", TAMRIX_FASTCALL(FacadeIDF_saveas),
     "saveas(idfname, *args, **kwargs)\n--\n\nSave the IDF to a file through save()."},
    {"printidf", TAMRIX_FASTCALL(FacadeIDF_printidf), "printidf()\n--\n\nPrint the IDF."},
    {"idfstr", TAMRIX_FASTCALL(FacadeIDF_idfstr), "idfstr()\n--\n\nString representation of the IDF."},
    {"__reduce__", TAMRIX_FASTCALL(reduce_method<&idf_pickling>), "__reduce__()\n--\n\n"},
    {"__setstate__", setstate_method<&idf_pickling>, METH_O, "__setstate__(state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef FacadeIDF_members[] = {
    {"core_idf", T_OBJECT, offsetof(FacadeIDF, core_idf), READONLY, "The document-model IDF (tamrix.idf.IDF)."},
    {"idfobjsproxy", T_OBJECT, offsetof(FacadeIDF, idfobjsproxy), READONLY, "The IDFObjectsProxy of this document."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef FacadeIDF_getset[] = {
    {"idfobjects", FacadeIDF_get_idfobjects, nullptr, "The objects of the document by class: idfobjects[\"ZONE\"].",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef ObjectsProxy_members[] = {
    {"parent", T_OBJECT, offsetof(ObjectsProxy, parent), READONLY, "The IDF this proxy lists objects of."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMappingMethods ObjectsProxy_as_mapping = {nullptr, ObjectsProxy_subscript, nullptr};

PyMethodDef ObjectsProxy_methods[] = {
    {"__reduce__", TAMRIX_FASTCALL(reduce_method<&proxy_pickling>), "__reduce__()\n--\n\n"},
    {"__setstate__", setstate_method<&proxy_pickling>, METH_O, "__setstate__(state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef FacadeObject_methods[] = {
    {"__dir__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FacadeObject_dir)), METH_NOARGS,
     "__dir__()\n--\n\nThe type's attributes and the object's field names as attributes."},
    {"__reduce__", TAMRIX_FASTCALL(reduce_method<&object_pickling>), "__reduce__()\n--\n\n"},
    {"__setstate__", setstate_method<&object_pickling>, METH_O, "__setstate__(state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef FacadeObject_members[] = {
    {"core_obj", T_OBJECT, offsetof(FacadeObject, core_obj), READONLY,
     "The document-model object (tamrix.idf.IDFObject), or None."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_restore_IDF", TAMRIX_FASTCALL(restore_function<&idf_pickling>),
     "_restore_IDF(cls, checksum, state)\n--\n\nRestore a pickled facade IDF."},
    {"_restore_IDFObject", TAMRIX_FASTCALL(restore_function<&object_pickling>),
     "_restore_IDFObject(cls, checksum, state)\n--\n\nRestore a pickled facade IDFObject."},
    {"_restore_IDFObjectsProxy", TAMRIX_FASTCALL(restore_function<&proxy_pickling>),
     "_restore_IDFObjectsProxy(cls, checksum, state)\n--\n\nRestore a pickled IDFObjectsProxy."},
    {"_field_key_to_name", TAMRIX_FASTCALL(module_field_key_to_name),
     "_field_key_to_name()\n--\n\nThe attribute-key table: upper-cased class name -> {key: field name}."},
    {nullptr, nullptr, 0, nullptr},
};


PyModuleDef ormic_module = {
    PyModuleDef_HEAD_INIT, "tamrix.ormic", "Attribute-style scripting over the IDF document model.", -1,
    module_methods,
};

int bind_neighbours() {
  utils_api = binding::import_capi<UtilsCAPI>(kUtilsCapsule);
  if (utils_api == nullptr) return -1;
  lexer_api = binding::import_capi<LexerCAPI>(kLexerCapsule);
  if (lexer_api == nullptr) return -1;
  idd_api = binding::import_capi<IddCAPI>(kIddCapsule);
  if (idd_api == nullptr) return -1;
  idf_api = binding::import_capi<IdfCAPI>(kIdfCapsule);
  return idf_api == nullptr ? -1 : 0;
}

int intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot == nullptr ? -1 : 0;
}

int init_state() {
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  str_upper = PyObject_GetAttrString(str_type, "upper");
  str_lower = PyObject_GetAttrString(str_type, "lower");
  if (str_upper == nullptr || str_lower == nullptr) return -1;
  if (intern(name_from_file, "from_file") < 0 || intern(name_class_name, "class_name") < 0 ||
      intern(name_add_object, "add_object") < 0 || intern(name_get_object_by_name, "get_object_by_name") < 0 ||
      intern(name_remove_object, "remove_object") < 0 ||
      intern(name_remove_all_objects, "remove_all_objects") < 0 || intern(name_save, "save") < 0) {
    return -1;
  }
  add_object_kwnames = Py_BuildValue("(ss)", "initial_values", "default_values");
  save_kwnames = Py_BuildValue("(s)", "field_size");
  facade_field_size = PyLong_FromLong(25);
  shared_iddname = PyUnicode_FromStringAndSize("", 0);
  shared_idd = Py_NewRef(Py_None);
  field_key_to_name = PyDict_New();
  if (add_object_kwnames == nullptr || save_kwnames == nullptr || facade_field_size == nullptr ||
      shared_iddname == nullptr || field_key_to_name == nullptr) {
    return -1;
  }
  return 0;
}

int ready_types() {
  FacadeObject_Type.tp_name = "tamrix.ormic.IDFObject";
  FacadeObject_Type.tp_basicsize = sizeof(FacadeObject);
  FacadeObject_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  FacadeObject_Type.tp_doc = "An object of a document whose fields read and write as attributes (obj.Zone_Name).";
  FacadeObject_Type.tp_new = FacadeObject_new;
  FacadeObject_Type.tp_init = FacadeObject_init;
  FacadeObject_Type.tp_dealloc = FacadeObject_dealloc;
  FacadeObject_Type.tp_traverse = FacadeObject_traverse;
  FacadeObject_Type.tp_clear = FacadeObject_clear;
  FacadeObject_Type.tp_repr = FacadeObject_repr;
  FacadeObject_Type.tp_getattro = FacadeObject_getattro;
  FacadeObject_Type.tp_setattro = FacadeObject_setattro;
  FacadeObject_Type.tp_methods = FacadeObject_methods;
  FacadeObject_Type.tp_members = FacadeObject_members;
  if (PyType_Ready(&FacadeObject_Type) < 0) return -1;

  ObjectsProxy_Type.tp_name = "tamrix.ormic.IDFObjectsProxy";
  ObjectsProxy_Type.tp_basicsize = sizeof(ObjectsProxy);
  ObjectsProxy_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  ObjectsProxy_Type.tp_doc = "The objects of a document by class name: proxy[\"ZONE\"] is a new list.";
  ObjectsProxy_Type.tp_new = ObjectsProxy_new;
  ObjectsProxy_Type.tp_init = ObjectsProxy_init;
  ObjectsProxy_Type.tp_dealloc = ObjectsProxy_dealloc;
  ObjectsProxy_Type.tp_traverse = ObjectsProxy_traverse;
  ObjectsProxy_Type.tp_clear = ObjectsProxy_clear;
  ObjectsProxy_Type.tp_as_mapping = &ObjectsProxy_as_mapping;
  ObjectsProxy_Type.tp_members = ObjectsProxy_members;
  ObjectsProxy_Type.tp_methods = ObjectsProxy_methods;
  if (PyType_Ready(&ObjectsProxy_Type) < 0) return -1;

  FacadeIDF_Type.tp_name = "tamrix.ormic.IDF";
  FacadeIDF_Type.tp_basicsize = sizeof(FacadeIDF);
  FacadeIDF_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  FacadeIDF_Type.tp_doc =
      "A document opened with the process's dictionary: IDF.setiddname(idd_path), then IDF(idf_path).";
  FacadeIDF_Type.tp_new = FacadeIDF_new;
  FacadeIDF_Type.tp_init = FacadeIDF_init;
  FacadeIDF_Type.tp_dealloc = FacadeIDF_dealloc;
  FacadeIDF_Type.tp_traverse = FacadeIDF_traverse;
  FacadeIDF_Type.tp_clear = FacadeIDF_clear;
  FacadeIDF_Type.tp_repr = FacadeIDF_repr;
  FacadeIDF_Type.tp_methods = FacadeIDF_methods;
  FacadeIDF_Type.tp_members = FacadeIDF_members;
  FacadeIDF_Type.tp_getset = FacadeIDF_getset;
  FacadeIDF_Type.tp_weaklistoffset = offsetof(FacadeIDF, weakreflist);
  return PyType_Ready(&FacadeIDF_Type);
}

}  // namespace
}  // namespace tamrix

PyMODINIT_FUNC PyInit_ormic(void) {
  using namespace tamrix;
  if (bind_neighbours() < 0 || init_state() < 0 || ready_types() < 0) return nullptr;
  binding::PyRef module = binding::PyRef::steal(PyModule_Create(&ormic_module));
  if (!module) return nullptr;
  if (binding::add_type(module.get(), "IDF", &FacadeIDF_Type) < 0 ||
      binding::add_type(module.get(), "IDFObjectsProxy", &ObjectsProxy_Type) < 0 ||
      binding::add_type(module.get(), "IDFObject", &FacadeObject_Type) < 0) {
    return nullptr;
  }
  // The document-model types are bound at import, so the reference fields
  // can name them now.
  idf_pickling.fields[0].type = idf_api->IDF_type;
  object_pickling.fields[0].type = idf_api->IDFObject_type;
  for (FacadePickling* p : {&idf_pickling, &object_pickling, &proxy_pickling}) {
    p->restore_func = PyObject_GetAttrString(module.get(), p->restore_name);
    if (p->restore_func == nullptr) return nullptr;
  }
  return module.release();
}
