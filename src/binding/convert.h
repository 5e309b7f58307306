// Converting Python arguments to native values.
//
// Each converter returns false with a Python exception set. The messages of
// a wrong type are "'{type}' object cannot be converted to '{target}'", and a
// str where a sequence is expected is "Can't extract `str` to `Vec`".
// convert_argument() then puts the parameter's name in front of a TypeError;
// OverflowErrors pass unchanged. Everything is converted before the call
// takes any lock, so a bad argument leaves no trace.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/py_ref.h"

namespace tollivane::binding {

// An int (or anything with __index__) in 0..2**64-1.
bool convert_u64(PyObject* object, uint64_t* out);
// Absent (nullptr) or None mean "not given"; anything else as convert_u64.
bool convert_optional_u64(PyObject* object, std::optional<uint64_t>* out);
// A u64 that also fits the platform's size type (32 bits on 32-bit targets).
bool convert_size(PyObject* object, uint64_t* out);
// A bool, or one of numpy's boolean scalars; ints and None are refused.
bool convert_bool(PyObject* object, bool* out);
// Any sequence but str whose items are integers in 0..255.
bool convert_byte_vector(PyObject* object, std::vector<uint8_t>* out);
bool convert_u64_vector(PyObject* object, std::vector<uint64_t>* out);
// A message body as the core takes it. A bytes object is lent where it lies,
// since it cannot change and the reference keeps it alive for the call;
// anything else accepted by convert_byte_vector is copied.
class BodyArgument {
 public:
  std::span<const uint8_t> view() const {
    if (!lent_) return copy_;
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(lent_.get())),
            static_cast<size_t>(PyBytes_GET_SIZE(lent_.get()))};
  }

 private:
  friend bool convert_body(PyObject* object, BodyArgument* out);
  OwnedRef lent_;
  std::vector<uint8_t> copy_;
};

// The same rules as convert_byte_vector(s), without copying bytes objects.
bool convert_body(PyObject* object, BodyArgument* out);
bool convert_bodies(PyObject* object, std::vector<BodyArgument>* out);

// A str, copied as UTF-8.
bool convert_string(PyObject* object, std::string* out);
// A str, or an os.PathLike object whose __fspath__() gives one. Everything
// else, bytes paths included, is refused as convert_string refuses it; an
// exception raised by __fspath__ itself passes on.
bool convert_path(PyObject* object, std::string* out);

// Runs `converted` (the result of a converter) through the naming rule: a
// TypeError becomes "argument '{name}': {message}", keeping its cause.
bool name_argument_error(const char* name, bool converted);

}  // namespace tollivane::binding
