// The object TollivaneCore.scan_log() returns: an iterator over the valid
// frames of a queue directory's log (queue/log_scan.h), and the queue state
// they add up to. Its type is no attribute of the module.
#pragma once

#include <Python.h>

namespace tollivane::binding {

// Creates the type once, when the module is made; false with an exception set.
bool create_log_scan_type();

// TollivaneCore.scan_log(path, body_prefix=0): binds the arguments, opens
// the scan and returns it (a new reference), or nullptr with an exception.
PyObject* scan_log(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tollivane::binding
