// Binding call arguments to parameters, by position and by keyword.
//
// Each parameter slot receives a borrowed reference, or nullptr when the
// argument was not given. Errors are TypeErrors in the interpreter's usual
// wording for a Python function ("missing 1 required positional argument",
// "got an unexpected keyword argument", ...).
#pragma once

#include <Python.h>

#include <cstddef>

namespace tollivane::binding {

struct Signature {
  const char* function_name;   // as shown in messages, e.g. "TollivaneCore.ack"
  const char* const* names;    // parameter names, in order
  Py_ssize_t count;            // number of parameters
  Py_ssize_t required;         // the first `required` parameters have no default
};

// A vectorcall-style call: `args[0..nargs)` positional, then one value per
// name in the tuple `kwnames` (which may be null).
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);

// A tuple-and-dict call, as the type's constructor receives it.
bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace tollivane::binding
