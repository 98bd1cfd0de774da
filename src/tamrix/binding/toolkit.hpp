// The binding toolkit shared by every tamrix extension module.
//
// Reference rules, written once:
//   * PyRef owns one strong reference. PyRef::steal() adopts a new reference
//     (the result of most C API calls); PyRef::borrow() takes a new strong
//     reference to a borrowed one. release() hands ownership back to C.
//   * Functions that can fail return 0 / a pointer on success and -1 / null
//     with a Python exception set on failure.
//   * No C++ exception may unwind into the interpreter: every entry point
//     that runs C++ which may throw goes through guard(), which turns
//     std::bad_alloc into MemoryError and anything else into RuntimeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace tamrix::binding {

/*** Owned references ***/

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

/*** Interpreter lock ***/

// Releases the interpreter lock for the lifetime of the object.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the interpreter lock (nested acquisition is fine) for its lifetime.
class GilAcquire {
 public:
  GilAcquire() noexcept : state_(PyGILState_Ensure()) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

/*** C++ failures at the boundary ***/

// Thrown by C++ code that has already set a Python exception.
struct PythonError {};

// Converts the C++ exception being handled into a pending Python exception.
inline void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

// Runs fn(); a C++ exception becomes a Python exception and `on_error` is
// returned instead.
template <class R, class Fn>
inline R guard(R on_error, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    set_error_from_current_exception();
    return on_error;
  }
}

/*** Unraisable reporting ***/

// Reports the pending Python exception through the interpreter's unraisable
// hook, labelled with a qualified name ("tamrix.idf.IDF.register_target").
// Takes the interpreter lock itself, so it may be called from code that runs
// without it; the caller must have set the exception with the lock held.
inline void report_unraisable(const char* qualname) noexcept {
  GilAcquire gil;
  if (!PyErr_Occurred()) return;
  PyObject* label = PyUnicode_FromString(qualname);
  if (label == nullptr) {
    PyErr_Clear();
    return;
  }
  PyErr_WriteUnraisable(label);
  Py_DECREF(label);
}

// For native steps that must not fail: converts the C++ exception being
// handled into a Python one under the lock and reports it as unraisable.
inline void report_current_exception(const char* qualname) noexcept {
  GilAcquire gil;
  set_error_from_current_exception();
  report_unraisable(qualname);
}

// Runs a native step that must not fail: a C++ exception from fn() is
// reported under `qualname` and the caller carries on.
template <class Fn>
inline void run_or_report(const char* qualname, Fn&& fn) noexcept {
  try {
    fn();
  } catch (...) {
    report_current_exception(qualname);
  }
}

/*** Argument parsing ***/

// Raises the host's standard text for a wrong number of positional
// arguments: "f() takes exactly 2 positional arguments (3 given)".
inline void raise_argtuple_invalid(const char* func, Py_ssize_t min, Py_ssize_t max,
                                   Py_ssize_t given) noexcept {
  const char* more_or_less;
  Py_ssize_t expected;
  if (given < min) {
    expected = min;
    more_or_less = (min == max) ? "exactly" : "at least";
  } else {
    expected = max;
    more_or_less = (min == max) ? "exactly" : "at most";
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
               more_or_less, expected, (expected == 1) ? "" : "s", given);
}

// Parses arguments into out[0..names.size()). The first `min` parameters are
// required; the others stay null when absent. Parameters from
// `max_positional` on are keyword-only (by default none are). Returns 0, or
// -1 with the host's standard TypeError set. All results are borrowed.
class ArgParser {
 public:
  ArgParser(const char* func, std::initializer_list<const char*> names, Py_ssize_t min,
            Py_ssize_t max_positional = -1) noexcept
      : func_(func),
        count_(static_cast<Py_ssize_t>(names.size() < kMaxParams ? names.size() : kMaxParams)),
        min_(min),
        max_positional_(max_positional < 0 ? count_ : max_positional) {
    Py_ssize_t i = 0;
    for (const char* name : names) {
      if (i == count_) break;
      names_[i++] = name;
    }
  }

  // Vectorcall / METH_FASTCALL | METH_KEYWORDS form.
  int parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    for (Py_ssize_t i = 0; i < count_; ++i) out[i] = nullptr;
    if (nargs > max_positional_) {
      raise_argtuple_invalid(func_, min_, max_positional_, nargs);
      return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
      Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        // parse_no_args passes no argument array: nothing may be read from it.
        PyObject* value = args != nullptr ? args[nargs + k] : nullptr;
        if (assign_keyword(PyTuple_GET_ITEM(kwnames, k), value, nargs, out) < 0) return -1;
      }
    }
    return check_required(out);
  }

  // Tuple-and-dict form (tp_init, tp_new, METH_VARARGS | METH_KEYWORDS).
  int parse(PyObject* args, PyObject* kwargs, PyObject** out) const {
    for (Py_ssize_t i = 0; i < count_; ++i) out[i] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > max_positional_) {
      raise_argtuple_invalid(func_, min_, max_positional_, nargs);
      return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (assign_keyword(key, value, nargs, out) < 0) return -1;
      }
    }
    return check_required(out);
  }

 private:
  int assign_keyword(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) const {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", func_);
      return -1;
    }
    for (Py_ssize_t i = 0; i < count_; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names_[i]) == 0) {
        if (i < nargs || out[i] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_, key);
          return -1;
        }
        out[i] = value;
        return 0;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_, key);
    return -1;
  }

  int check_required(PyObject** out) const {
    for (Py_ssize_t i = 0; i < min_; ++i) {
      if (out[i] == nullptr) {
        raise_argtuple_invalid(func_, min_, max_positional_, i);
        return -1;
      }
    }
    return 0;
  }

  const char* func_;
  static constexpr size_t kMaxParams = 12;
  const char* names_[kMaxParams] = {};
  Py_ssize_t count_;
  Py_ssize_t min_;
  Py_ssize_t max_positional_;
};

// Refuses any argument at all, with the standard texts.
inline int parse_no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
  ArgParser parser(func, {}, 0);
  return parser.parse(nullptr, nargs, kwnames, nullptr);
}

inline int parse_no_args(const char* func, PyObject* args, PyObject* kwargs) {
  ArgParser parser(func, {}, 0);
  return parser.parse(args, kwargs, nullptr);
}

// Checks an argument's type and raises
// "Argument 'x' has incorrect type (expected T, got U)" otherwise.
// `exact` refuses subclasses; `none_allowed` lets None through.
inline bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_allowed,
                           bool exact = false) {
  if (none_allowed && obj == Py_None) return true;
  if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) return true;
  PyObject* empty = PyUnicode_FromStringAndSize("", 0);
  if (empty == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
               name, type->tp_name, Py_TYPE(obj)->tp_name, "", empty);
  Py_DECREF(empty);
  return false;
}

/*** Conversions ***/

// The __name__ of a type (new reference).
inline PyObject* type_name(PyTypeObject* type) { return PyType_GetName(type); }

inline PyObject* bytes_from(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

inline PyObject* str_from_utf8(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// The UTF-8 bytes of a str as a view into the str's own cache; null with an
// exception on failure (a lone surrogate).
inline bool utf8_view(PyObject* str, std::string_view& out) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

/*** Instances ***/

// A new, uninitialized instance of `type` through its tp_new (its __init__
// does not run). A subclass's own __new__ runs there and reads its
// arguments, so they are a real, empty tuple. Null with TypeError
// "<type>.__new__ did not return <what>" when the result is not an instance
// of `expected`; `what` defaults to "a <expected type name>".
inline PyObject* new_instance(PyTypeObject* type, PyTypeObject* expected, const char* what = nullptr) {
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyRef made = PyRef::steal(type->tp_new(type, no_args.get(), nullptr));
  if (!made) return nullptr;
  if (!PyObject_TypeCheck(made.get(), expected)) {
    if (what != nullptr) {
      PyErr_Format(PyExc_TypeError, "%.200s.__new__ did not return %s", type->tp_name, what);
    } else {
      PyErr_Format(PyExc_TypeError, "%.200s.__new__ did not return a %.200s", type->tp_name, expected->tp_name);
    }
    return nullptr;
  }
  return made.release();
}

/*** Modules ***/

// Adds a type to a module under `name`; -1 with an exception on failure.
inline int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

/*** Method tables ***/

// A METH_FASTCALL | METH_KEYWORDS entry of a PyMethodDef table:
//   {"name", TAMRIX_FASTCALL(fn), "doc"}, or TAMRIX_FASTCALL(fn) | METH_CLASS.
#define TAMRIX_FASTCALL(fn) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

/*** Native interfaces between modules ***/

// Imports a capsule published by another tamrix module ("tamrix.lexer._C_API")
// and checks its layout version. Null with ImportError set on failure.
template <class Api>
inline const Api* import_capi(const char* capsule_name) {
  // PyCapsule_Import only walks attributes, so import the module first.
  std::string_view full(capsule_name);
  std::string module_name(full.substr(0, full.rfind('.')));
  PyObject* module = PyImport_ImportModule(module_name.c_str());
  if (module == nullptr) return nullptr;
  Py_DECREF(module);
  auto* api = static_cast<const Api*>(PyCapsule_Import(capsule_name, 0));
  if (api == nullptr) return nullptr;
  if (api->abi_version != Api::kAbiVersion) {
    PyErr_Format(PyExc_ImportError, "%s has layout version %d, this module needs %d", capsule_name,
                 api->abi_version, Api::kAbiVersion);
    return nullptr;
  }
  return api;
}

// Adds a capsule holding `api` to `module` as attribute `_C_API`.
template <class Api>
inline int publish_capi(PyObject* module, const Api* api, const char* capsule_name) {
  PyObject* capsule = PyCapsule_New(const_cast<Api*>(api), capsule_name, nullptr);
  if (capsule == nullptr) return -1;
  if (PyModule_AddObject(module, "_C_API", capsule) < 0) {
    Py_DECREF(capsule);
    return -1;
  }
  return 0;
}

}  // namespace tamrix::binding
