#include "binding/arguments.h"

namespace tollivane::binding {
namespace {

bool refuse_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const char* plural = signature.count == 1 ? "" : "s";
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == signature.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 signature.function_name, signature.count, plural, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 signature.function_name, signature.required, signature.count, given, verb);
  }
  return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
  if (nargs > signature.count) return refuse_too_many_positional(signature, nargs);
  for (Py_ssize_t i = 0; i < signature.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  return true;
}

bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function_name);
    return false;
  }
  for (Py_ssize_t i = 0; i < signature.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function_name,
                   signature.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function_name, name);
  return false;
}

bool check_required(const Signature& signature, PyObject** slots) {
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", signature.function_name,
                   signature.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
  if (!bind_positional(signature, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return check_required(signature, slots);
}

bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
  if (!bind_positional(signature, positional, PyTuple_GET_SIZE(args), slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, slots)) return false;
    }
  }
  return check_required(signature, slots);
}

}  // namespace tollivane::binding

