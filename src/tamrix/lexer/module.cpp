// tamrix.lexer: the Lexer type over the tokenizer core.
#include <new>

#include "tamrix/binding/pickling.hpp"
#include "tamrix/binding/toolkit.hpp"
#include "tamrix/idf/epjson.hpp"
#include "tamrix/lexer/lexer_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

/*** Native methods ***/

void Lexer_c_init(LexerObject* self, PyObject* file_content, bool is_idd) {
  try {
    std::string content;
    if (PyByteArray_Check(file_content)) {
      content.assign(PyByteArray_AS_STRING(file_content), static_cast<size_t>(PyByteArray_GET_SIZE(file_content)));
    } else if (PyBytes_Check(file_content)) {
      content.assign(PyBytes_AS_STRING(file_content), static_cast<size_t>(PyBytes_GET_SIZE(file_content)));
    } else {
      PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(file_content)->tp_name);
      binding::report_unraisable("tamrix.lexer.Lexer.c_init");
      return;
    }
    self->core.reset(std::move(content), is_idd);
  } catch (...) {
    binding::report_current_exception("tamrix.lexer.Lexer.c_init");
  }
}

bool Lexer_scan_next_line(LexerObject* self, std::string& line) { return self->core.scan_next_line(line); }
Token Lexer_next_token(LexerObject* self) { return self->core.next_token(); }
void Lexer_tokenize_line(LexerObject* self, const std::string& line) { self->core.tokenize_line(line); }
void Lexer_push_text_token(LexerObject* self, std::string& builder) { self->core.push_text_token(builder); }
Token Lexer_take_token(LexerObject* self) { return self->core.take_token(); }

/*** Type slots ***/

PyObject* Lexer_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<LexerObject*>(self)->core) LexerCore();
  return self;
}

void Lexer_dealloc(PyObject* self) {
  reinterpret_cast<LexerObject*>(self)->core.~LexerCore();
  Py_TYPE(self)->tp_free(self);
}

int Lexer_init(PyObject*, PyObject* args, PyObject* kwargs) {
  if (binding::parse_no_args("__init__", args, kwargs) < 0) return -1;
  PyErr_SetString(PyExc_TypeError, "Lexer is an internal component and cannot be instantiated directly.");
  return -1;
}

/*** Python methods ***/

PyObject* Lexer_test(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("test", nargs, kwnames) < 0) return nullptr;
  auto* self = reinterpret_cast<LexerObject*>(op);
  PyRef result = PyRef::steal(PyList_New(0));
  if (!result) return nullptr;
  for (;;) {
    Token tok;
    {
      binding::GilRelease nogil;
      tok = self->core.next_token();
    }
    PyRef value = PyRef::steal(binding::str_from_utf8(tok.value));
    if (!value) return nullptr;
    PyRef item = PyRef::steal(Py_BuildValue("(iO)", static_cast<int>(tok.type), value.get()));
    if (!item || PyList_Append(result.get(), item.get()) < 0) return nullptr;
    if (tok.type == TOKEN_EOF) break;
  }
  return result.release();
}

/*** Pickling ***/

constexpr binding::PickleFormat kLexerFormat = {{0x5fe9da1, 0x70cf7cf, 0x3281b55},
                                                "buffer, buffer_idx, content, is_idd, line_num, pos"};
PyObject* restore_lexer_func = nullptr;

PyObject* Lexer_reduce(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("__reduce__", nargs, kwnames) < 0) return nullptr;
  const LexerCore& core = reinterpret_cast<LexerObject*>(op)->core;
  size_t buffer_idx = 0;
  std::vector<Token> tokens;
  if (!binding::guard(false, [&] {
        tokens = core.buffered_tokens(buffer_idx);
        return true;
      })) {
    return nullptr;
  }
  PyRef buffer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!buffer) return nullptr;
  for (size_t i = 0; i < tokens.size(); ++i) {
    PyObject* token = Py_BuildValue("{s:i,s:N}", "type", static_cast<int>(tokens[i].type), "value",
                                    binding::bytes_from(tokens[i].value));
    if (token == nullptr) return nullptr;
    PyList_SET_ITEM(buffer.get(), static_cast<Py_ssize_t>(i), token);
  }
  PyRef content = PyRef::steal(binding::bytes_from(core.content));
  if (!content) return nullptr;
  PyObject* fields = Py_BuildValue("(OnOOin)", buffer.get(), static_cast<Py_ssize_t>(buffer_idx), content.get(),
                                   core.is_idd ? Py_True : Py_False, core.line_num,
                                   static_cast<Py_ssize_t>(core.pos));
  return binding::reduce_with(op, restore_lexer_func, kLexerFormat.checksums[0], fields, false);
}

// A token's "type" or "value" from its mapping in the state.
PyObject* token_item(PyObject* token, const char* key) {
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  if (!name) return nullptr;
  PyObject* value = PyObject_GetItem(token, name.get());
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "No value specified for struct attribute %R", name.get());
  }
  return value;
}

int Lexer_apply_state(LexerObject* self, PyObject* state) {
  LexerCore& core = self->core;
  PyObject* item;
  if ((item = binding::state_item(state, 0)) == nullptr) return -1;
  std::vector<Token> buffer;
  bool ok = binding::for_each_item(item, [&](PyObject* token) {
    PyRef type = PyRef::steal(token_item(token, "type"));
    if (!type) return false;
    PyRef value = PyRef::steal(token_item(token, "value"));
    if (!value) return false;
    int type_value;
    Token tok;
    if (!binding::int_from_state(type.get(), type_value) || !binding::bytes_from_state(value.get(), tok.value)) {
      return false;
    }
    tok.type = static_cast<TokenType>(type_value);
    return binding::guard(false, [&] {
      buffer.push_back(std::move(tok));
      return true;
    });
  });
  if (!ok) return -1;
  core.restore_buffer(std::move(buffer));
  if ((item = binding::state_item(state, 1)) == nullptr || !binding::size_from_state(item, core.buffer_idx)) return -1;
  if (core.buffer_idx > core.buffer.size()) {
    PyErr_Format(PyExc_ValueError, "buffer_idx: %zu is beyond the %zu buffered tokens", core.buffer_idx,
                 core.buffer.size());
    return -1;
  }
  if ((item = binding::state_item(state, 2)) == nullptr || !binding::bytes_from_state(item, core.content)) return -1;
  if ((item = binding::state_item(state, 3)) == nullptr || !binding::bool_from_state(item, core.is_idd)) return -1;
  if ((item = binding::state_item(state, 4)) == nullptr || !binding::int_from_state(item, core.line_num)) return -1;
  if ((item = binding::state_item(state, 5)) == nullptr || !binding::size_from_state(item, core.pos)) return -1;
  if (core.pos > core.content.size()) {
    PyErr_Format(PyExc_ValueError, "pos: %zu is beyond the %zu bytes of content", core.pos, core.content.size());
    return -1;
  }
  return binding::restore_instance_dict(reinterpret_cast<PyObject*>(self), state, 6) ? 0 : -1;
}

PyObject* Lexer_setstate(PyObject* op, PyObject* state) {
  if (!binding::check_setstate_arg(state) || Lexer_apply_state(reinterpret_cast<LexerObject*>(op), state) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* module_restore_lexer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyMethodDef Lexer_methods[] = {
    {"__reduce__", TAMRIX_FASTCALL(Lexer_reduce), "__reduce__()\n--\n\n"},
    {"__setstate__", Lexer_setstate, METH_O, "__setstate__(state)\n--\n\n"},
    {"test", TAMRIX_FASTCALL(Lexer_test), "Tokenize the rest of the content; a list of (type, value) pairs up to EOF."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject Lexer_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

/*** Module ***/

void report_lexer_failure(const char* qualname) noexcept { binding::report_current_exception(qualname); }

const LexerCAPI lexer_capi = {
    LexerCAPI::kAbiVersion, &Lexer_Type, Lexer_c_init, Lexer_scan_next_line,
    Lexer_next_token,       Lexer_tokenize_line, Lexer_push_text_token, Lexer_take_token,
};

// For tests and tools: a Lexer over `content` (bytes), as native code makes one.
PyObject* module_new_lexer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("_new_lexer", {"content", "is_idd"}, 1);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  int is_idd = argv[1] ? PyObject_IsTrue(argv[1]) : 0;
  if (is_idd < 0) return nullptr;
  LexerObject* lexer = new_lexer(&lexer_capi);
  if (lexer == nullptr) return nullptr;
  Lexer_c_init(lexer, argv[0], is_idd != 0);
  return reinterpret_cast<PyObject*>(lexer);
}

PyObject* module_restore_lexer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return binding::restore_instance<LexerObject, Lexer_apply_state>(args, nargs, kwnames, "_restore_Lexer", kLexerFormat,
                                                                   &Lexer_Type);
}

// For the command line: the first value of a model's Version object, read
// from the start of its bytes; None when they hold no complete one.
PyObject* module_model_version(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  std::string_view view(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string> found = model_version(view);
    if (!found) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(found->data(), static_cast<Py_ssize_t>(found->size()), "replace");
  });
}

// The same for an epJSON document: version_identifier of the first object
// of "Version"; None when the text is not epJSON or holds none.
PyObject* module_epjson_version(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  std::string_view view(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
  return binding::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string> found;
    {
      binding::GilRelease nogil;
      if (looks_like_epjson(view)) found = epjson_version(view);
    }
    if (!found) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(found->data(), static_cast<Py_ssize_t>(found->size()), "replace");
  });
}

// Whether bytes read as epJSON (their first character that is not blank is '{').
PyObject* module_looks_like_epjson(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  std::string_view view(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
  return PyBool_FromLong(looks_like_epjson(view) ? 1 : 0);
}

PyMethodDef module_methods[] = {
    {"_restore_Lexer", TAMRIX_FASTCALL(module_restore_lexer), "_restore_Lexer(cls, checksum, state)\n--\n\nRestore a pickled Lexer."},
    {"_new_lexer", TAMRIX_FASTCALL(module_new_lexer), "_new_lexer(content, is_idd=False)\n--\n\nInternal: a Lexer over bytes."},
    {"_model_version", module_model_version, METH_O,
     "_model_version(data)\n--\n\nInternal: the first value of the first Version object in IDF bytes, or None."},
    {"_epjson_version", module_epjson_version, METH_O,
     "_epjson_version(data)\n--\n\nInternal: version_identifier of the first Version object in epJSON bytes, or None."},
    {"_looks_like_epjson", module_looks_like_epjson, METH_O,
     "_looks_like_epjson(data)\n--\n\nInternal: whether bytes start, after blanks and a byte-order mark, with '{'."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef lexer_module = {
    PyModuleDef_HEAD_INIT, "tamrix.lexer", "Tokenizer for IDF and IDD text.", -1, module_methods,
};

}  // namespace
}  // namespace tamrix

PyMODINIT_FUNC PyInit_lexer(void) {
  using namespace tamrix;
  Lexer_Type.tp_name = "tamrix.lexer.Lexer";
  Lexer_Type.tp_basicsize = sizeof(LexerObject);
  Lexer_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  Lexer_Type.tp_doc = "Tokenizer for IDF and IDD text (internal).";
  Lexer_Type.tp_new = Lexer_new;
  Lexer_Type.tp_init = Lexer_init;
  Lexer_Type.tp_dealloc = Lexer_dealloc;
  Lexer_Type.tp_methods = Lexer_methods;
  if (PyType_Ready(&Lexer_Type) < 0) return nullptr;
  LexerCore::report_failure = report_lexer_failure;

  binding::PyRef module = binding::PyRef::steal(PyModule_Create(&lexer_module));
  if (!module) return nullptr;
  if (PyModule_AddIntConstant(module.get(), "TOKEN_TEXT", TOKEN_TEXT) < 0 ||
      PyModule_AddIntConstant(module.get(), "TOKEN_COMMA", TOKEN_COMMA) < 0 ||
      PyModule_AddIntConstant(module.get(), "TOKEN_SEMICOLON", TOKEN_SEMICOLON) < 0 ||
      PyModule_AddIntConstant(module.get(), "TOKEN_EOF", TOKEN_EOF) < 0 ||
      PyModule_AddIntConstant(module.get(), "TOKEN_ERROR", TOKEN_ERROR) < 0) {
    return nullptr;
  }
  if (binding::add_type(module.get(), "Lexer", &Lexer_Type) < 0) return nullptr;
  if (binding::publish_capi(module.get(), &lexer_capi, kLexerCapsule) < 0) return nullptr;
  restore_lexer_func = PyObject_GetAttrString(module.get(), "_restore_Lexer");
  if (restore_lexer_func == nullptr) return nullptr;
  return module.release();
}
