// The entry points the interpreter calls: each method's implementation
// wrapped so that no C++ exception crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace tollivane::binding {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgs = PyObject* (*)(PyObject*, PyObject*);
using Next = PyObject* (*)(PyObject*);
using Positional = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

// Nothing the core does throws, but containers can still fail to allocate;
// such a failure becomes MemoryError instead of terminating the interpreter.
inline PyObject* raise_from_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "tollivane: unexpected C++ exception: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "tollivane: unexpected C++ exception");
  }
  return nullptr;
}

template <FastCall Impl>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return Impl(self, args, nargs, kwnames);
  } catch (...) {
    return raise_from_cpp_exception();
  }
}

template <NoArgs Impl>
PyObject* noargs_entry(PyObject* self, PyObject* unused) {
  try {
    return Impl(self, unused);
  } catch (...) {
    return raise_from_cpp_exception();
  }
}

template <Positional Impl>
PyObject* positional_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  try {
    return Impl(self, args, nargs);
  } catch (...) {
    return raise_from_cpp_exception();
  }
}

template <Next Impl>
PyObject* next_entry(PyObject* self) {
  try {
    return Impl(self);
  } catch (...) {
    return raise_from_cpp_exception();
  }
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

// A fast-call method is stored in the table's PyCFunction slot and called
// with its real signature, as METH_FASTCALL | METH_KEYWORDS tells the interpreter.
template <FastCall Impl>
PyCFunction fast_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_entry<Impl>));
}

// Likewise for METH_FASTCALL alone: positional arguments only.
template <Positional Impl>
PyCFunction positional_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(positional_entry<Impl>));
}

}  // namespace tollivane::binding
