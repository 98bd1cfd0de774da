// Pickling support shared by the modules: the state-tuple conventions, the
// checksum check of restore functions, and the conversions between native
// field values and their pickled forms, with the interpreter's error texts.
//
// A class pickles as (restore function, (type, checksum, None), state) -- the
// two-step form, which lets objects that point back at their owner restore
// without recursion -- or as (restore function, (type, checksum, state)).
// `state` is the tuple of the class's fields in alphabetical order, followed
// by the instance __dict__ for Python subclasses.
#pragma once

#include <string>
#include <vector>

#include "tamrix/binding/toolkit.hpp"

namespace tamrix::binding {

// The checksums a class accepts when restoring: the first is the one it
// writes. `members` lists the fields, for the mismatch message.
struct PickleFormat {
  long checksums[3];
  const char* members;
};

/*** Restore functions ***/

// Checks the checksum and the state argument of a restore function; false
// with pickle.PickleError or TypeError set.
inline bool check_restore_args(const PickleFormat& format, PyObject* checksum_obj, PyObject* state) {
  long checksum = PyLong_AsLong(checksum_obj);
  if (checksum == -1 && PyErr_Occurred()) return false;
  if (checksum != format.checksums[0] && checksum != format.checksums[1] && checksum != format.checksums[2]) {
    PyRef pickle = PyRef::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return false;
    PyRef error = PyRef::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return false;
    // Python's % formatting, so any received number prints as it is.
    PyRef text = PyRef::steal(PyUnicode_FromString("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"));
    PyRef args = PyRef::steal(Py_BuildValue("(Nllls)", PyNumber_Long(checksum_obj), format.checksums[0],
                                            format.checksums[1], format.checksums[2], format.members));
    if (!text || !args) return false;
    PyRef message = PyRef::steal(PyUnicode_Format(text.get(), args.get()));
    if (message) PyErr_SetObject(error.get(), message.get());
    return false;
  }
  if (state != Py_None && !PyTuple_CheckExact(state)) {
    check_arg_type(state, &PyTuple_Type, "state", true, true);
    return false;
  }
  return true;
}

// cls.__new__(cls), checked to be an instance of `base` before any native
// state is written into it.
inline PyObject* new_for_restore(PyObject* cls, PyTypeObject* base) {
  if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), base)) {
    PyErr_Format(PyExc_TypeError, "cannot restore a %.200s into %R", base->tp_name, cls);
    return nullptr;
  }
  // The base type's own __new__ is its tp_new: call it directly, sparing a
  // method lookup per restored object. Subclasses go through __new__.
  if (cls == reinterpret_cast<PyObject*>(base)) return new_instance(base, base);
  PyRef made = PyRef::steal(PyObject_CallMethod(cls, "__new__", "O", cls));
  if (!made) return nullptr;
  if (!PyObject_TypeCheck(made.get(), base)) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__ did not return a %.200s", reinterpret_cast<PyTypeObject*>(cls)->tp_name,
                 base->tp_name);
    return nullptr;
  }
  return made.release();
}

// A restore function, _restore_X(cls, checksum, state): checks the
// arguments, makes the instance with new_for_restore and, unless `state` is
// None (the two-step form, whose state comes through __setstate__), applies
// it with `Apply` (0, or -1 with an exception set).
template <class Record, int (*Apply)(Record*, PyObject*)>
inline PyObject* restore_instance(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name,
                                  const PickleFormat& format, PyTypeObject* base) {
  ArgParser parser(name, {"cls", "checksum", "state"}, 3);
  PyObject* argv[3];
  if (parser.parse(args, nargs, kwnames, argv) < 0 || !check_restore_args(format, argv[1], argv[2])) {
    return nullptr;
  }
  PyRef result = PyRef::steal(new_for_restore(argv[0], base));
  if (!result) return nullptr;
  if (argv[2] != Py_None && Apply(reinterpret_cast<Record*>(result.get()), argv[2]) < 0) return nullptr;
  return result.release();
}

// The argument of __setstate__: exactly a tuple.
inline bool check_setstate_arg(PyObject* state) {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
    return false;
  }
  if (!PyTuple_CheckExact(state)) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
    return false;
  }
  return true;
}

// Element i of a state tuple (borrowed); IndexError when the tuple is short.
inline PyObject* state_item(PyObject* state, Py_ssize_t i) { return PyTuple_GetItem(state, i); }

// The instance __dict__ of a Python subclass (new reference), or null with
// no exception when the instance has none.
inline PyObject* instance_dict(PyObject* self) {
  if (Py_TYPE(self)->tp_dictoffset == 0) return nullptr;
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (dict == nullptr) PyErr_Clear();
  return dict;
}

// Extra element after the fields: the instance __dict__ of a subclass.
inline bool restore_instance_dict(PyObject* self, PyObject* state, Py_ssize_t fields) {
  if (PyTuple_GET_SIZE(state) <= fields || PyTuple_GET_ITEM(state, fields) == Py_None) return true;
  PyRef dict = PyRef::steal(instance_dict(self));
  if (!dict) return true;
  PyRef extra = PyRef::borrow(PyTuple_GET_ITEM(state, fields));
  PyRef updated = PyRef::steal(PyObject_CallMethod(dict.get(), "update", "O", extra.get()));
  return static_cast<bool>(updated);
}

// Builds the reduction: two-step when `two_step` or the instance has a
// __dict__ (appended to the state), one-step otherwise. Steals `fields`.
// An `extra` element (borrowed; null for none) goes after the __dict__
// slot, which then holds None when the instance has no __dict__.
inline PyObject* reduce_with(PyObject* self, PyObject* restore_func, long checksum, PyObject* fields, bool two_step,
                             PyObject* extra = nullptr) {
  PyRef state = PyRef::steal(fields);
  if (!state) return nullptr;
  PyRef dict = PyRef::steal(instance_dict(self));
  if (dict || extra != nullptr) {
    Py_ssize_t n = PyTuple_GET_SIZE(state.get());
    PyRef longer = PyRef::steal(PyTuple_New(n + (extra != nullptr ? 2 : 1)));
    if (!longer) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(longer.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.get(), i)));
    PyTuple_SET_ITEM(longer.get(), n, dict ? dict.release() : Py_NewRef(Py_None));
    if (extra != nullptr) PyTuple_SET_ITEM(longer.get(), n + 1, Py_NewRef(extra));
    state = longer;
    two_step = true;
  }
  if (two_step) {
    return Py_BuildValue("(O(OlO)O)", restore_func, reinterpret_cast<PyObject*>(Py_TYPE(self)), checksum, Py_None,
                         state.get());
  }
  return Py_BuildValue("(O(OlO))", restore_func, reinterpret_cast<PyObject*>(Py_TYPE(self)), checksum, state.get());
}

/*** Field conversions ***/

inline bool bytes_from_state(PyObject* obj, std::string& out) {
  char* data;
  Py_ssize_t size;
  if (PyByteArray_Check(obj)) {
    data = PyByteArray_AS_STRING(obj);
    size = PyByteArray_GET_SIZE(obj);
  } else if (PyBytes_Check(obj)) {
    data = PyBytes_AS_STRING(obj);
    size = PyBytes_GET_SIZE(obj);
  } else {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(obj)->tp_name);
    return false;
  }
  return guard(false, [&] {
    out.assign(data, static_cast<size_t>(size));
    return true;
  });
}

inline bool size_from_state(PyObject* obj, size_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  size_t value = PyLong_AsSize_t(index.get());  // "can't convert negative value to size_t"
  if (value == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

inline bool int_from_state(PyObject* obj, int& out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value > INT32_MAX || value < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

inline bool bool_from_state(PyObject* obj, bool& out) {
  int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

// A reference field: an instance of `type` or None.
inline bool object_from_state(PyObject* obj, PyTypeObject* type, PyObject*& field) {
  if (obj != Py_None && !PyObject_TypeCheck(obj, type)) {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(obj)->tp_name, type->tp_name);
    return false;
  }
  Py_INCREF(obj);
  Py_SETREF(field, obj);
  return true;
}

// A list or str field: exactly that type, or None.
inline bool exact_from_state(PyObject* obj, PyTypeObject* type, const char* type_name, PyObject*& field) {
  if (obj != Py_None && !Py_IS_TYPE(obj, type)) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type_name, Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_INCREF(obj);
  Py_SETREF(field, obj);
  return true;
}

// Calls fn(item) for each item of any iterable; false on the first failure.
template <class Fn>
inline bool for_each_item(PyObject* iterable, Fn&& fn) {
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
    // The common case, without an iterator. fn may run Python code that
    // changes a list, so its length is read on every step and each item is
    // held while fn runs.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(iterable, i));
      if (!fn(item.get())) return false;
    }
    return true;
  }
  PyRef it = PyRef::steal(PyObject_GetIter(iterable));
  if (!it) return false;
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(it.get()));
    if (!item) return !PyErr_Occurred();
    if (!fn(item.get())) return false;
  }
}

// Calls fn(key, value) for each pair of obj.items(); false on failure.
template <class Fn>
inline bool for_each_pair(PyObject* mapping, Fn&& fn) {
  PyRef items = PyRef::steal(PyObject_CallMethod(mapping, "items", nullptr));
  if (!items) return false;
  return for_each_item(items.get(), [&](PyObject* pair) {
    PyRef seq = PyRef::steal(PySequence_Tuple(pair));
    if (!seq) return false;
    if (PyTuple_GET_SIZE(seq.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "expected a (key, value) pair, got %zd items", PyTuple_GET_SIZE(seq.get()));
      return false;
    }
    return fn(PyTuple_GET_ITEM(seq.get(), 0), PyTuple_GET_ITEM(seq.get(), 1));
  });
}

// `values`: a std::vector of std::string or anything else indexed alike.
template <class Values>
inline PyObject* bytes_list(const Values& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* b = bytes_from(values[i]);
    if (b == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
  }
  return list.release();
}

}  // namespace tamrix::binding
