// tamrix.utils: file reading, value-to-text conversion, time stamps and
// digit runs, for scripts and for the other modules (through the capsule).
#include <cmath>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tamrix/binding/toolkit.hpp"
#include "tamrix/utils/file.hpp"
#include "tamrix/utils/text.hpp"
#include "tamrix/utils/utils_capi.hpp"

namespace tamrix {
namespace {

using binding::PyRef;

PyObject* io_open = nullptr;  // io.open, bound at import

/*** Reading files ***/

// Drops one leading UTF-8 byte-order mark: kept, it would become part of
// the first class name.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

PyObject* read_whole_file(PyObject* filepath) {
  PyRef path = PyRef::steal(PyOS_FSPath(filepath));
  if (!path) return nullptr;
  PyRef file = PyRef::steal(PyObject_CallFunction(io_open, "Os", path.get(), "rb"));
  if (!file) return nullptr;
  PyRef data = PyRef::steal(PyObject_CallMethod(file.get(), "read", nullptr));
  PyRef closed = PyRef::steal(PyObject_CallMethod(file.get(), "close", nullptr));
  if (!data) return nullptr;
  if (!closed) return nullptr;
  if (!PyBytes_Check(data.get())) {
    PyErr_SetString(PyExc_TypeError, "file read did not return bytes");
    return nullptr;
  }
  return data.release();
}

PyObject* read_source(PyObject* filepath, PyObject* encoding, SourceReading* reading) {
  SourceReading ignored;
  if (reading == nullptr) reading = &ignored;
  if (encoding != nullptr && encoding != Py_None && !PyUnicode_Check(encoding)) {
    binding::check_arg_type(encoding, &PyUnicode_Type, "encoding", true, true);
    return nullptr;
  }
  PyRef data = PyRef::steal(read_whole_file(filepath));
  if (!data) return nullptr;
  std::string_view raw(PyBytes_AS_STRING(data.get()), static_cast<size_t>(PyBytes_GET_SIZE(data.get())));

  if (encoding != nullptr && encoding != Py_None) {
    const char* enc = PyUnicode_AsUTF8(encoding);
    if (enc == nullptr) return nullptr;
    PyRef text = PyRef::steal(
        PyUnicode_Decode(raw.data(), static_cast<Py_ssize_t>(raw.size()), enc, "strict"));
    if (!text) return nullptr;
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(text.get()));
    if (!utf8) return nullptr;
    reading->encoding = SourceReading::kGiven;
    std::string_view out(PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.get())));
    if (out.starts_with(kUtf8Bom)) {
      reading->bom = true;
      return binding::bytes_from(out.substr(kUtf8Bom.size()));
    }
    return utf8.release();
  }

  // The checks and the conversion read bytes this function holds: other
  // threads run meanwhile (two files read at once).
  reading->bom = raw.starts_with(kUtf8Bom);
  bool utf8;
  {
    binding::GilRelease nogil;
    utf8 = is_valid_utf8(raw);
  }
  if (utf8) {
    reading->encoding = SourceReading::kUtf8;
    if (reading->bom) return binding::bytes_from(raw.substr(kUtf8Bom.size()));
    return data.release();
  }
  // Not UTF-8: real model files carry Windows-1252 bytes (degree signs,
  // accented names), so read them as such rather than fail. An editor
  // may still have put a UTF-8 mark in front of such text: drop it too.
  reading->encoding = SourceReading::kCp1252;
  if (reading->bom) raw.remove_prefix(kUtf8Bom.size());
  size_t size;
  {
    binding::GilRelease nogil;
    size = cp1252_utf8_size(raw);
  }
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* converted = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (converted == nullptr) return nullptr;
  {
    binding::GilRelease nogil;
    cp1252_to_utf8(raw, PyBytes_AS_STRING(converted));
  }
  return converted;
}

PyObject* read_utf8_bytes(PyObject* filepath, PyObject* encoding) { return read_source(filepath, encoding, nullptr); }

// Reads a file (a path) into `out` as read_source reads it, but into the
// caller's storage and with the interpreter lock released for the reading
// and the decoding: two threads loading two files read them at once, and
// no second copy of the text is made. With an encoding given, the
// interpreter's codec decodes it. -1 with an exception.
int read_source_text(PyObject* filepath, PyObject* encoding, SourceReading* reading, std::string& out) {
  if (encoding != nullptr && encoding != Py_None) {
    PyRef text = PyRef::steal(read_source(filepath, encoding, reading));
    if (!text) return -1;
    return binding::guard(-1, [&] {
      out.assign(PyBytes_AS_STRING(text.get()), static_cast<size_t>(PyBytes_GET_SIZE(text.get())));
      return 0;
    });
  }
  PyRef path = PyRef::steal(PyOS_FSPath(filepath));
  if (!path) return -1;
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(path.get(), &converted)) return -1;
  PyRef fs_path = PyRef::steal(converted);
  const char* name = PyBytes_AS_STRING(fs_path.get());
  int fd;
  int err;
  do {
    {
      binding::GilRelease nogil;
      fd = ::open(name, O_RDONLY | O_CLOEXEC);
      err = fd < 0 ? errno : 0;
    }
  } while (err == EINTR && PyErr_CheckSignals() == 0);
  if (fd < 0) {
    if (err != EINTR) {
      errno = err;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    }
    return -1;
  }
  out.clear();
  TextDecoding decoding;
  bool no_memory = false;
  for (;;) {
    {
      binding::GilRelease nogil;
      try {
        err = read_to_end(fd, out);
        if (err == 0) decoding = bytes_to_utf8_text(out, reading != nullptr && reading->json_checks_itself);
      } catch (const std::bad_alloc&) {
        no_memory = true;
      }
    }
    if (no_memory || err != EINTR || PyErr_CheckSignals() < 0) break;
  }
  ::close(fd);
  if (no_memory) {
    PyErr_NoMemory();
  } else if (err == EINTR) {
    // A signal handler raised: its exception stands.
  } else if (err != 0) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
  }
  if (PyErr_Occurred()) {
    out.clear();
    out.shrink_to_fit();
    return -1;
  }
  if (reading != nullptr) {
    reading->bom = decoding.bom;
    reading->encoding = decoding.cp1252 ? SourceReading::kCp1252 : SourceReading::kUtf8;
    reading->unchecked = decoding.unchecked;
  }
  return 0;
}

/*** Values to field text ***/

const char* forbidden_char_name(char c) {
  switch (c) {
    case ',': return "','";
    case ';': return "';'";
    case '!': return "'!'";
    case '\r': return "a carriage return";
    case '\n': return "a line break";
    default: return nullptr;
  }
}

int text_to_field(PyObject* value, std::string& out) {
  std::string_view text;
  if (!binding::utf8_view(value, text)) return -1;
  for (char c : text) {
    if (const char* name = forbidden_char_name(c)) {
      PyErr_Format(PyExc_ValueError,
                   "Field value %R cannot hold %s: written out it would split the field or the object", value,
                   name);
      return -1;
    }
  }
  return binding::guard(-1, [&] {
    out.assign(text);
    return 0;
  });
}

int object_text_to_field(PyObject* text, std::string& out) {
  if (text == nullptr) return -1;
  std::string_view view;
  int rc = binding::utf8_view(text, view) ? binding::guard(-1, [&] {
    out.assign(view);
    return 0;
  })
                                           : -1;
  Py_DECREF(text);
  return rc;
}

int float_to_field(double v, std::string& out) {
  if (!std::isfinite(v)) {
    PyErr_Format(PyExc_ValueError, "Cannot store %s in a field: numbers in IDF text must be finite",
                 std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf"));
    return -1;
  }
  char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (repr == nullptr) return -1;
  int rc = binding::guard(-1, [&] {
    out.assign(repr);
    return 0;
  });
  PyMem_Free(repr);
  return rc;
}

int any_to_string(PyObject* value, std::string& out) {
  if (PyUnicode_Check(value)) return text_to_field(value, out);
  if (PyBool_Check(value)) {
    return binding::guard(-1, [&] {
      out.assign(value == Py_True ? "Yes" : "No");
      return 0;
    });
  }
  if (PyLong_Check(value) || (Py_TYPE(value)->tp_as_number && Py_TYPE(value)->tp_as_number->nb_index &&
                              !PyFloat_Check(value))) {
    return object_text_to_field(PyNumber_ToBase(value, 10), out);
  }
  if (PyFloat_Check(value)) return float_to_field(PyFloat_AS_DOUBLE(value), out);
  if (Py_TYPE(value)->tp_as_number && Py_TYPE(value)->tp_as_number->nb_float) {
    double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    return float_to_field(v, out);
  }
  PyErr_Format(PyExc_TypeError,
               "Cannot store a value of type '%.200s' in a field (expected str, int, float or bool)",
               Py_TYPE(value)->tp_name);
  return -1;
}

/*** Time stamps and digit runs ***/

std::string get_current_time() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char buf[32];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buf, n);
}

std::pair<int32_t, int32_t> get_continuous_digits_indices(std::string_view text) { return first_digit_run(text); }

const UtilsCAPI utils_capi = {
    UtilsCAPI::kAbiVersion, read_utf8_bytes, any_to_string, get_current_time, get_continuous_digits_indices,
    read_source,            read_source_text,
};

/*** Python functions ***/

bool bytes_arg(PyObject* obj, const char* name, std::string_view& out) {
  if (!binding::check_arg_type(obj, &PyBytes_Type, name, false)) return false;
  out = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

PyObject* py_read_utf8_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("read_utf8_bytes", {"filepath", "encoding"}, 1);
  PyObject* argv[2];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  return read_utf8_bytes(argv[0], argv[1] ? argv[1] : Py_None);
}

PyObject* py_any_to_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const binding::ArgParser parser("any_to_string", {"value"}, 1);
  PyObject* argv[1];
  if (parser.parse(args, nargs, kwnames, argv) < 0) return nullptr;
  std::string out;
  if (any_to_string(argv[0], out) < 0) return nullptr;
  return binding::bytes_from(out);
}

PyObject* py_get_current_time(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (binding::parse_no_args("get_current_time", nargs, kwnames) < 0) return nullptr;
  return binding::guard<PyObject*>(nullptr, [] { return binding::bytes_from(get_current_time()); });
}

PyObject* py_get_continuous_digits_indices(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  static const binding::ArgParser parser("get_continuous_digits_indices", {"text"}, 1);
  PyObject* argv[1];
  std::string_view text;
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !bytes_arg(argv[0], "text", text)) return nullptr;
  auto [start, end] = get_continuous_digits_indices(text);
  return Py_BuildValue("(ii)", start, end);
}

template <std::string (*Trim)(std::string_view)>
PyObject* py_trim(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name) {
  binding::ArgParser parser(name, {"text"}, 1);
  PyObject* argv[1];
  std::string_view text;
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !bytes_arg(argv[0], "text", text)) return nullptr;
  return binding::guard<PyObject*>(nullptr, [&] { return binding::bytes_from(Trim(text)); });
}

PyObject* py_trim_string(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py_trim<trim_string>(m, args, nargs, kwnames, "trim_string");
}

PyObject* py_trim_newlines(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py_trim<trim_newlines>(m, args, nargs, kwnames, "trim_newlines");
}

PyMethodDef module_methods[] = {
    {"read_utf8_bytes", TAMRIX_FASTCALL(py_read_utf8_bytes),
     "read_utf8_bytes(filepath, encoding=None)\n--\n\n"
     "Read a whole file and return its text as UTF-8 bytes.\n\n"
     "With an encoding the file is decoded with it (strictly). Without one, bytes\n"
     "that are valid UTF-8 are returned as they are (a leading byte-order mark\n"
     "dropped); anything else is read as Windows-1252."},
    {"any_to_string", TAMRIX_FASTCALL(py_any_to_string),
     "any_to_string(value)\n--\n\n"
     "The field text of a value as UTF-8 bytes: str as is, bool as Yes/No,\n"
     "integers in decimal, reals as the shortest text that reads back exactly."},
    {"get_current_time", TAMRIX_FASTCALL(py_get_current_time),
     "get_current_time()\n--\n\nLocal date and time as b'YYYY-MM-DD HH:MM:SS'."},
    {"get_continuous_digits_indices", TAMRIX_FASTCALL(py_get_continuous_digits_indices),
     "get_continuous_digits_indices(text)\n--\n\n"
     "(start, end) of the first run of ASCII digits in bytes; (-1, -1) if none."},
    {"trim_string", TAMRIX_FASTCALL(py_trim_string),
     "trim_string(text)\n--\n\nBytes without leading and trailing blanks, tabs, CR and LF."},
    {"trim_newlines", TAMRIX_FASTCALL(py_trim_newlines),
     "trim_newlines(text)\n--\n\nBytes without leading and trailing CR and LF."},
    {nullptr, nullptr, 0, nullptr},
};


PyModuleDef utils_module = {
    PyModuleDef_HEAD_INIT, "tamrix.utils", "Helpers shared by the tamrix modules.", -1, module_methods,
};

}  // namespace
}  // namespace tamrix

PyMODINIT_FUNC PyInit_utils(void) {
  using namespace tamrix;
  if (io_open == nullptr) {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    if (!io) return nullptr;
    io_open = PyObject_GetAttrString(io.get(), "open");
    if (io_open == nullptr) return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&utils_module));
  if (!module) return nullptr;
  if (binding::publish_capi(module.get(), &utils_capi, kUtilsCapsule) < 0) return nullptr;
  return module.release();
}
