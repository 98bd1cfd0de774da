// tamrix.idf: the document model. IDF (a loaded document) and IDFObject
// (one object), loading, the reference index, formatting and saving.
#include <new>

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idd/idd_capi.hpp"
#include "tamrix/idf/idf_capi.hpp"
#include "tamrix/lexer/lexer_capi.hpp"
#include "tamrix/utils/text.hpp"
#include "tamrix/utils/utils_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

/*** Bound neighbours ***/

const LexerCAPI* lexer_api = nullptr;
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

// The live object at `obj_idx` of the document, or null for a removed slot
// (or anything that is not an IDFObject).
IDFObjectRecord* object_at(IDFRecord* self, size_t obj_idx) {
  if (obj_idx >= static_cast<size_t>(PyList_GET_SIZE(self->objects))) return nullptr;
  PyObject* item = PyList_GET_ITEM(self->objects, static_cast<Py_ssize_t>(obj_idx));
  if (!PyObject_TypeCheck(item, &IDFObject_Type)) return nullptr;
  return as_object(item);
}

/*** Reference index ***/

void IDF_register_target(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                         int field_idx) {
  try {
    ref_register(self->targets, tag, val, obj_idx, field_idx);
  } catch (...) {
    binding::report_current_exception("tamrix.idf.IDF.register_target");
  }
}

void IDF_register_referencer(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                             int field_idx) {
  try {
    ref_register(self->referencers, tag, val, obj_idx, field_idx);
  } catch (...) {
    binding::report_current_exception("tamrix.idf.IDF.register_referencer");
  }
}

void IDF_unregister_target(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                           int field_idx) {
  try {
    ref_unregister(self->targets, tag, val, obj_idx, field_idx);
  } catch (...) {
    binding::report_current_exception("tamrix.idf.IDF.unregister_target");
  }
}

void IDF_unregister_referencer(IDFRecord* self, const std::string& tag, const std::string& val, size_t obj_idx,
                               int field_idx) {
  try {
    ref_unregister(self->referencers, tag, val, obj_idx, field_idx);
  } catch (...) {
    binding::report_current_exception("tamrix.idf.IDF.unregister_referencer");
  }
}

// Registers (or unregisters) every non-empty field of an object that the
// dictionary gives reference or object lists.
void register_fields(IDFRecord* idf, const ClassDef* cls, const std::vector<std::string>& values, size_t obj_idx) {
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& value = values[i];
    if (value.empty()) continue;
    const FieldDef* fd = idd_api->get_field_def(cls, i);
    if (fd == nullptr) continue;
    for (const std::string& name : fd->references) {
      IDF_register_target(idf, name, value, obj_idx, static_cast<int>(i));
    }
    for (const std::string& name : fd->object_lists) {
      IDF_register_referencer(idf, name, value, obj_idx, static_cast<int>(i));
    }
  }
}

void unregister_fields(IDFRecord* idf, const ClassDef* cls, const std::vector<std::string>& values,
                       size_t obj_idx) {
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& value = values[i];
    if (value.empty()) continue;
    const FieldDef* fd = idd_api->get_field_def(cls, i);
    if (fd == nullptr) continue;
    for (const std::string& name : fd->references) {
      IDF_unregister_target(idf, name, value, obj_idx, static_cast<int>(i));
    }
    for (const std::string& name : fd->object_lists) {
      IDF_unregister_referencer(idf, name, value, obj_idx, static_cast<int>(i));
    }
  }
}

/*** IDFObject: native methods ***/

// No checks: callers have a valid object (see checked_class_def).
const ClassDef* IDFObject_get_class_def(IDFObjectRecord* self) {
  return &c_idd_of(self->idd).ordered_classes[self->class_idx];
}

// The object's class, or null with TypeError for an object that was never
// initialised or whose class index does not fit its dictionary.
const ClassDef* checked_class_def(IDFObjectRecord* self) {
  if (!is_idd(self->idd) || self->class_idx >= c_idd_of(self->idd).ordered_classes.size()) {
    PyErr_SetString(PyExc_TypeError, kObjectNotInitialised);
    return nullptr;
  }
  return IDFObject_get_class_def(self);
}

int IDFObject_c_init(IDFObjectRecord* self, PyObject* idd, PyObject* parent_idf, size_t class_idx,
                     std::vector<std::string>& values) {
  Py_INCREF(idd);
  Py_SETREF(self->idd, idd);
  Py_INCREF(parent_idf);
  Py_SETREF(self->parent_idf, parent_idf);
  if (!is_idd(idd)) {
    PyErr_Format(PyExc_TypeError, "expected an IDD, got %.200s", Py_TYPE(idd)->tp_name);
    return -1;
  }
  const IDDObject* dict = reinterpret_cast<IDDObject*>(idd);
  if (class_idx >= dict->c_idd.ordered_classes.size() ||
      class_idx >= static_cast<size_t>(PyTuple_GET_SIZE(dict->class_names))) {
    PyErr_Format(PyExc_ValueError, "Class index out of bounds: %zu", class_idx);
    return -1;
  }
  return binding::guard(-1, [&] {
    self->class_idx = class_idx;
    self->c_class_name = dict->c_idd.ordered_classes[class_idx].name;
    PyObject* name = PyTuple_GET_ITEM(dict->class_names, static_cast<Py_ssize_t>(class_idx));
    Py_INCREF(name);
    Py_SETREF(self->class_name, name);
    self->values = std::move(values);
    values.clear();
    return 0;
  });
}

void IDFObject_write_to_buffer(IDFObjectRecord* self, std::string& out, const FormatConfig* config) {
  try {
    if (!is_idd(self->idd) || self->class_idx >= c_idd_of(self->idd).ordered_classes.size()) return;
    write_object(out, *config, self->c_class_name, self->values, *IDFObject_get_class_def(self),
                 idd_api->get_field_name);
  } catch (...) {
    binding::report_current_exception("tamrix.idf.IDFObject.write_to_buffer");
  }
}

/*** IDFObject: type slots ***/

IDFObjectRecord* alloc_object(PyTypeObject* type) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  IDFObjectRecord* obj = as_object(self);
  obj->idd = Py_NewRef(Py_None);
  obj->parent_idf = Py_NewRef(Py_None);
  obj->class_idx = 0;
  new (&obj->c_class_name) std::string();
  obj->class_name = Py_NewRef(Py_None);
  new (&obj->values) std::vector<std::string>();
  obj->obj_idx = 0;
  obj->weakreflist = nullptr;
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
  self->c_class_name.~basic_string();
  self->values.~vector();
  Py_TYPE(op)->tp_free(op);
}

PyObject* IDFObject_repr(PyObject* op) {
  IDFObjectRecord* self = as_object(op);
  if (!is_idd(self->idd)) return PyUnicode_FromFormat("<%s (not initialised)>", Py_TYPE(op)->tp_name);
  std::string out;
  IDFObject_write_to_buffer(self, out, &DEFAULT_FORMAT_CONFIG);
  return binding::str_from_utf8(out);
}

PyObject* IDFObject_get_class_name(PyObject* op, void*) { return Py_NewRef(as_object(op)->class_name); }

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

// Tokenizes and parses with the interpreter lock released; raises the
// parser's ValueError on a syntax error.
int parse_idf(LexerObject* lexer, std::vector<c_IDFObject>& c_idf_objects) {
  ParseError error;
  {
    binding::GilRelease nogil;
    error = parse_idf_tokens([&] { return lexer_api->take_token(lexer); }, lexer->core.line_num, c_idf_objects);
  }
  if (!error) return 0;
  parse_error_to_exception(error);
  return -1;
}

void IDF_build_objects(IDFRecord* self, std::vector<c_IDFObject>& c_idf_objects) {
  const c_IDD& dict = c_idd_of(self->idd);
  std::string search_key;
  for (c_IDFObject& c_object : c_idf_objects) {
    bool found = binding::guard(false, [&] {
      search_key = to_ascii_upper(c_object.class_name);
      return true;
    });
    if (!found) return;
    auto it = dict.class_map.find(search_key);
    if (it == dict.class_map.end()) {
      PyRef name = PyRef::steal(binding::str_from_utf8(c_object.class_name));
      if (name) PyErr_Format(PyExc_ValueError, "IDF parsing error: Unknown class: '%U'", name.get());
      return;
    }
    size_t class_idx = it->second;
    PyRef obj = PyRef::steal(reinterpret_cast<PyObject*>(alloc_object(&IDFObject_Type)));
    if (!obj) return;
    IDFObjectRecord* rec = as_object(obj.get());
    if (IDFObject_c_init(rec, self->idd, reinterpret_cast<PyObject*>(self), class_idx, c_object.values) < 0) return;
    size_t obj_idx = static_cast<size_t>(PyList_GET_SIZE(self->objects));
    rec->obj_idx = obj_idx;
    if (PyList_Append(self->objects, obj.get()) < 0) return;
    bool indexed = binding::guard(false, [&] {
      self->objects_index_map[search_key].push_back(obj_idx);
      return true;
    });
    if (!indexed) return;
    register_fields(self, IDFObject_get_class_def(rec), rec->values, obj_idx);
  }
}

int IDF_c_init(IDFRecord* self, PyObject* idd, PyObject* idf_content) {
  Py_INCREF(idd);
  Py_SETREF(self->idd, idd);
  PyObject* objects = PyList_New(0);
  if (objects == nullptr) return -1;
  Py_SETREF(self->objects, objects);
  if (!is_idd(idd)) {
    PyErr_Format(PyExc_TypeError, "expected an IDD, got %.200s", Py_TYPE(idd)->tp_name);
    return -1;
  }
  PyRef lexer = PyRef::steal(reinterpret_cast<PyObject*>(new_lexer(lexer_api)));
  if (!lexer) return -1;
  LexerObject* lex = reinterpret_cast<LexerObject*>(lexer.get());
  lexer_api->c_init(lex, idf_content, false);
  std::vector<c_IDFObject> c_objects;
  if (parse_idf(lex, c_objects) < 0) return -1;
  lexer = PyRef();  // the content is no longer needed
  IDF_build_objects(self, c_objects);
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* new_document(PyTypeObject* type) {
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyRef self = PyRef::steal(type->tp_new(type, no_args.get(), nullptr));
  if (!self) return nullptr;
  if (!PyObject_TypeCheck(self.get(), &IDF_Type)) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__ did not return an IDF", type->tp_name);
    return nullptr;
  }
  return self.release();
}

PyObject* IDF_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("from_file", {"idd", "filepath", "encoding"}, 2);
  PyObject* argv[3];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  PyObject* encoding = argv[2] ? argv[2] : Py_None;
  if (!binding::check_arg_type(argv[0], idd_api->IDD_type, "idd", false) ||
      !binding::check_arg_type(encoding, &PyUnicode_Type, "encoding", true, true)) {
    return nullptr;
  }
  PyRef raw = PyRef::steal(utils_api->read_utf8_bytes(argv[1], encoding));
  if (!raw) return nullptr;
  PyRef self = PyRef::steal(new_document(reinterpret_cast<PyTypeObject*>(cls)));
  if (!self) return nullptr;
  if (IDF_c_init(as_idf(self.get()), argv[0], raw.get()) < 0) return nullptr;
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
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
    return nullptr;
  }
  PyRef content = PyRef::steal(PyUnicode_AsUTF8String(argv[1]));
  if (!content) return nullptr;
  if (IDF_c_init(as_idf(self.get()), argv[0], content.get()) < 0) return nullptr;
  return self.release();
}

/*** IDF: writing ***/

void IDF_write_to_buffer(IDFRecord* self, std::string& out, const FormatConfig* config, bool preserve_order) {
  try {
    if (!is_idd(self->idd) || self->objects == nullptr || !PyList_Check(self->objects)) return;
    size_t total = 0;
    for (const auto& [key, positions] : self->objects_index_map) total += positions.size();
    size_t estimate = estimated_output_size(out, *config, total);
    if (out.capacity() < estimate) out.reserve(estimate);

    if (preserve_order) {
      Py_ssize_t n = PyList_GET_SIZE(self->objects);
      for (Py_ssize_t i = 0; i < n; ++i) {
        IDFObjectRecord* obj = object_at(self, static_cast<size_t>(i));
        if (obj == nullptr) continue;
        out += '\n';
        IDFObject_write_to_buffer(obj, out, config);
      }
      return;
    }

    std::string current_group;
    std::string search_key;
    for (const ClassDef& cls : c_idd_of(self->idd).ordered_classes) {
      search_key = to_ascii_upper(cls.name);
      auto it = self->objects_index_map.find(search_key);
      if (it == self->objects_index_map.end() || it->second.empty()) continue;
      if (!config->compact && cls.group != current_group) {
        current_group = cls.group;
        if (!current_group.empty()) write_group_header(out, current_group);
      }
      for (size_t position : it->second) {
        IDFObjectRecord* obj = object_at(self, position);
        if (obj == nullptr) continue;
        out += '\n';
        IDFObject_write_to_buffer(obj, out, config);
      }
      if (config->compact) out += '\n';
    }
  } catch (...) {
    binding::report_current_exception("tamrix.idf.IDF.write_to_buffer");
  }
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

PyObject* IDF_format(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser(
      "format", {"class_indent_size", "field_indent_size", "field_size", "compact", "preserve_order"}, 0, 3);
  PyObject* argv[5];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  WriteOptions opts;
  if (!style_args(argv, argv[3], argv[4], opts)) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  std::string out;
  IDF_write_to_buffer(self, out, opts.config, opts.preserve_order);
  std::string_view text(out);
  size_t first = text.find_first_not_of("\r\n");
  if (first == std::string_view::npos) return PyUnicode_FromStringAndSize("", 0);
  size_t last = text.find_last_not_of("\r\n");
  return binding::str_from_utf8(text.substr(first, last - first + 1));
}

constexpr std::string_view kHeader = "! Generated using Tamrix.py\n";

PyObject* IDF_save(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("save",
                                         {"output_path", "class_indent_size", "field_indent_size", "field_size",
                                          "compact", "preserve_order", "include_timestamp"},
                                         1, 4);
  PyObject* argv[7];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  WriteOptions opts;
  bool include_timestamp = true;
  if (!style_args(argv + 1, argv[4], argv[5], opts)) return nullptr;
  if (argv[6] != nullptr && !flag_arg(argv[6], include_timestamp)) return nullptr;
  IDFRecord* self = as_idf(op);
  if (loaded_idd(self) == nullptr) return nullptr;
  std::string out;
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
  IDF_write_to_buffer(self, out, opts.config, opts.preserve_order);
  PyRef data = PyRef::steal(binding::bytes_from(out));
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
  IDF_write_to_buffer(self, out, &DEFAULT_FORMAT_CONFIG, false);
  return binding::str_from_utf8(out);
}

/*** IDF: type slots ***/

PyObject* IDF_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) return nullptr;
  IDFRecord* self = as_idf(op);
  self->idd = Py_NewRef(Py_None);
  self->objects = Py_NewRef(Py_None);
  new (&self->objects_index_map) decltype(self->objects_index_map)();
  new (&self->targets) RefMap();
  new (&self->referencers) RefMap();
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
  Py_CLEAR(self->idd);
  Py_CLEAR(self->objects);
  return 0;
}

void IDF_dealloc(PyObject* op) {
  IDFRecord* self = as_idf(op);
  PyObject_GC_UnTrack(op);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  IDF_clear(op);
  using IndexMap = decltype(self->objects_index_map);
  self->objects_index_map.~IndexMap();
  self->targets.~RefMap();
  self->referencers.~RefMap();
  Py_TYPE(op)->tp_free(op);
}

/*** Method tables ***/

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

#define STYLE_ARGS_DOC                                                                       \
  "    class_indent_size (int): Indent for class names\n"                                   \
  "    field_indent_size (int): Indent for fields\n"                                        \
  "    field_size (int): Minimum size for field values\n"                                   \
  "    compact (bint, optional): Whether to enable compact output. Overrides other style " \
  "settings\n"                                                                              \
  "    preserve_order (bint, optional): Whether to preserve object order\n"

PyMethodDef IDF_methods[] = {
    {"from_file", FASTCALL(IDF_from_file) | METH_CLASS,
     "from_file(idd, filepath, encoding=None)\n--\n\nParse IDF file"},
    {"from_string", FASTCALL(IDF_from_string) | METH_CLASS, "from_string(idd, content)\n--\n\nParse IDF from string"},
    {"format", FASTCALL(IDF_format),
     "format(class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, preserve_order=False)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n" STYLE_ARGS_DOC
     "\nReturns:\n"
     "    str: IDF str"},
    {"save", FASTCALL(IDF_save),
     "save(output_path, class_indent_size=0, field_indent_size=4, field_size=24, *, compact=False, "
     "preserve_order=False, include_timestamp=True)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n" STYLE_ARGS_DOC "    include_timestamp (bint, optional): Whether to include timestamp"},
    {nullptr, nullptr, 0, nullptr},
};

#undef STYLE_ARGS_DOC

PyGetSetDef IDFObject_getset[] = {
    {"class_name", IDFObject_get_class_name, nullptr, "The object's class name, as the dictionary spells it.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef IDFObject_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL

const IDFMethods idf_methods = {
    IDF_register_target, IDF_register_referencer, IDF_unregister_target, IDF_unregister_referencer,
    IDF_c_init,          IDF_build_objects,       nullptr,               IDF_write_to_buffer,
};

const IDFObjectMethods idf_object_methods = {
    IDFObject_get_class_def, IDFObject_c_init, nullptr, nullptr, nullptr, IDFObject_write_to_buffer,
};

const IdfCAPI idf_capi = {
    IdfCAPI::kAbiVersion, &IDF_Type, &IDFObject_Type, &idf_methods, &idf_object_methods,
};

PyModuleDef idf_module = {
    PyModuleDef_HEAD_INIT, "tamrix.idf", "The IDF document model.", -1, nullptr,
};

int bind_neighbours() {
  lexer_api = binding::import_capi<LexerCAPI>(kLexerCapsule);
  if (lexer_api == nullptr) return -1;
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
  IDF_Type.tp_weaklistoffset = offsetof(IDFRecord, weakreflist);
  return PyType_Ready(&IDF_Type);
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
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
  if (add_type(module.get(), "IDF", &IDF_Type) < 0 || add_type(module.get(), "IDFObject", &IDFObject_Type) < 0) {
    return nullptr;
  }
  if (binding::publish_capi(module.get(), &idf_capi, kIdfCapsule) < 0) return nullptr;
  return module.release();
}
