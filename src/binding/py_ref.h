// An owned Python reference: a move-only handle that releases its reference
// when it goes out of scope, so no error path can leak one.
//
// The constructor says what happens to the count: `steal` takes over a new
// reference (what most C API calls return), `borrow` adds one of its own.
#pragma once

#include <Python.h>

#include <utility>

namespace tollivane::binding {

class OwnedRef {
 public:
  OwnedRef() = default;
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for a return value or a stealing API).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace tollivane::binding
