#include "binding/convert.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "binding/py_ref.h"

namespace tollivane::binding {
namespace {

constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";

// A sequence's length only sizes the vector; a lying __len__ must not make
// us reserve more than a modest amount up front.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

// The type's bare name ("int", "NoneType"), as the interpreter shows it.
const char* type_name(PyObject* object) {
  const char* full = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot != nullptr ? dot + 1 : full;
}

bool refuse_type(PyObject* object, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(object), target);
  return false;
}

OwnedRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return OwnedRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return OwnedRef::steal(value);
#endif
}

void restore_exception(OwnedRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// The int itself, or what its __index__ returns (kept alive by `holder`);
// nullptr with TypeError for an object that is no integer.
PyObject* as_int(PyObject* object, OwnedRef& holder) {
  if (PyLong_Check(object)) return object;
  holder = OwnedRef::steal(PyNumber_Index(object));
  return holder.get();
}

bool convert_u8(PyObject* object, uint8_t* out) {
  OwnedRef holder;
  object = as_int(object, holder);
  if (object == nullptr) return false;
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  // Every integer outside 0..255, however large, gets the same message.
  if (overflow != 0 || value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

// The shared rule for every vector argument: not a str, a sequence, and
// items read by iterating.
template <typename Item, typename ConvertItem>
bool convert_sequence(PyObject* object, std::vector<Item>* out, ConvertItem convert_item) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return refuse_type(object, "Sequence");
  Py_ssize_t length_hint = PySequence_Size(object);
  if (length_hint < 0) {
    PyErr_Clear();
    length_hint = 0;
  }
  std::vector<Item> items;
  items.reserve(static_cast<size_t>(std::min(length_hint, kMaxReserve)));
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    Item value{};
    if (!convert_item(item.get(), &value)) return false;
    items.push_back(std::move(value));
  }
  if (PyErr_Occurred()) return false;
  *out = std::move(items);
  return true;
}

bool copy_bytes(const char* data, Py_ssize_t length, std::vector<uint8_t>* out) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  out->assign(bytes, bytes + length);
  return true;
}

// An attribute name made once and interned. A name string made at every
// lookup would be taken into the interpreter's type-attribute cache, which
// keeps a reference to it until the slot is reused: thousands of short-lived
// strings kept alive for no gain. Interned names are shared with that cache.
// Never released: the module cannot be initialised twice in one process.
PyObject* interned(const char* name) { return PyUnicode_InternFromString(name); }

bool attribute_equals(PyObject* object, PyObject* attribute, const char* expected) {
  if (attribute == nullptr) {
    PyErr_Clear();
    return false;
  }
  OwnedRef value = OwnedRef::steal(PyObject_GetAttr(object, attribute));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool(PyObject* object) {
  static PyObject* const module_attribute = interned("__module__");
  static PyObject* const name_attribute = interned("__name__");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return attribute_equals(type, module_attribute, "numpy") &&
         (attribute_equals(type, name_attribute, "bool_") || attribute_equals(type, name_attribute, "bool"));
}

// Whether the object's type defines __fspath__, as os.PathLike asks.
bool is_path_like(PyObject* object, bool* out) {
  static PyObject* const fspath_attribute = interned("__fspath__");
  if (fspath_attribute == nullptr) {
    // The name could not be made at the first call; later calls see null.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  OwnedRef method = OwnedRef::steal(PyObject_GetAttr(type, fspath_attribute));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  }
  *out = method && method.get() != Py_None;
  return true;
}

// numpy's scalar is truthy through its type's __bool__, which must give a
// real bool.
bool convert_numpy_bool(PyObject* object, bool* out) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  OwnedRef method = OwnedRef::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    OwnedRef type_text = OwnedRef::steal(PyObject_Str(type));
    if (!type_text) return false;
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", type_text.get());
    return false;
  }
  OwnedRef result = OwnedRef::steal(PyObject_CallOneArg(method.get(), object));
  if (!result) return false;
  if (!PyBool_Check(result.get())) return refuse_type(result.get(), "PyBool");
  *out = result.get() == Py_True;
  return true;
}

}  // namespace

bool convert_u64(PyObject* object, uint64_t* out) {
  OwnedRef holder;
  object = as_int(object, holder);
  if (object == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = static_cast<uint64_t>(value);
  return true;
}

bool convert_optional_u64(PyObject* object, std::optional<uint64_t>* out) {
  if (object == nullptr || object == Py_None) {
    out->reset();
    return true;
  }
  uint64_t value = 0;
  if (!convert_u64(object, &value)) return false;
  *out = value;
  return true;
}

bool convert_size(PyObject* object, uint64_t* out) {
  uint64_t value = 0;
  if (!convert_u64(object, &value)) return false;
  if constexpr (sizeof(size_t) < sizeof(uint64_t)) {
    if (value > SIZE_MAX) {
      PyErr_SetString(PyExc_OverflowError, kOutOfRange);
      return false;
    }
  }
  *out = value;
  return true;
}

bool convert_bool(PyObject* object, bool* out) {
  if (PyBool_Check(object)) {
    *out = object == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) return convert_numpy_bool(object, out);
  return refuse_type(object, "PyBool");
}

bool convert_byte_vector(PyObject* object, std::vector<uint8_t>* out) {
  // bytes and bytearray iterate to exactly their contents: copy them whole.
  if (PyBytes_CheckExact(object)) return copy_bytes(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object), out);
  if (PyByteArray_CheckExact(object)) {
    return copy_bytes(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object), out);
  }
  return convert_sequence(object, out, convert_u8);
}

bool convert_body(PyObject* object, BodyArgument* out) {
  if (PyBytes_CheckExact(object)) {
    out->lent_ = OwnedRef::borrow(object);
    return true;
  }
  return convert_byte_vector(object, &out->copy_);
}

bool convert_bodies(PyObject* object, std::vector<BodyArgument>* out) {
  return convert_sequence(object, out, convert_body);
}

bool convert_u64_vector(PyObject* object, std::vector<uint64_t>* out) {
  return convert_sequence(object, out, convert_u64);
}

bool convert_string(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) return refuse_type(object, "PyString");
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &length);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<size_t>(length));
  return true;
}

bool convert_path(PyObject* object, std::string* out) {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return convert_string(object, out);
  bool path_like = false;
  if (!is_path_like(object, &path_like)) return false;
  if (!path_like) return convert_string(object, out);
  OwnedRef path = OwnedRef::steal(PyOS_FSPath(object));
  if (!path) return false;
  // A path-like object that gives bytes is refused as bytes are, under its
  // own type's name.
  if (!PyUnicode_Check(path.get())) return refuse_type(object, "PyString");
  return convert_string(path.get(), out);
}

bool name_argument_error(const char* name, bool converted) {
  if (converted) return true;
  OwnedRef error = fetch_exception();
  // Only a plain TypeError is renamed; OverflowError and the rest pass as raised.
  if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    if (error) restore_exception(std::move(error));
    return false;
  }
  OwnedRef text = OwnedRef::steal(PyObject_Str(error.get()));
  if (!text) return false;
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  OwnedRef renamed = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return false;
  PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));
  restore_exception(std::move(renamed));
  return false;
}

}  // namespace tollivane::binding
