// Python values built from core results, shared by the class's methods and
// the log scan.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/py_ref.h"
#include "queue/queue.h"

namespace tollivane::binding {

inline PyObject* new_u64(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

// Sets `dict[key]` to `new_value`, a new reference it consumes; false with
// an exception set when `new_value` is null or the insertion fails.
bool set_item(PyObject* dict, const char* key, PyObject* new_value);

// The stats() dict, its twelve keys in order; empty with an exception set on failure.
OwnedRef stats_dict(const QueueStats& stats);

// The verify_integrity() dict {ok, records, bytes, message}; a new reference,
// or nullptr with an exception set.
PyObject* report_dict(const IntegrityReport& report);

}  // namespace tollivane::binding
