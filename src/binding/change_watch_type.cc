#include "binding/change_watch_type.h"

#include <cerrno>
#include <memory>
#include <utility>

#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/results.h"

namespace tollivane::binding {
namespace {

struct WatchObject {
  PyObject_HEAD
  ChangeWatch* watch;  // owned; null once closed
};

PyTypeObject* g_watch_type = nullptr;

// The watch of an object still open, or nullptr with ValueError set.
ChangeWatch* open_watch(PyObject* self) {
  ChangeWatch* watch = reinterpret_cast<WatchObject*>(self)->watch;
  if (watch == nullptr) PyErr_SetString(PyExc_ValueError, "I/O operation on closed watch.");
  return watch;
}

PyObject* watch_fileno(PyObject* self, PyObject*) {
  ChangeWatch* watch = open_watch(self);
  if (watch == nullptr) return nullptr;
  const int fd = watch->descriptor();
  if (fd < 0) return PendingError::from(IoError::from_errno(errno)).raise();
  return PyLong_FromLong(fd);
}

PyObject* watch_clear(PyObject* self, PyObject*) {
  ChangeWatch* watch = open_watch(self);
  if (watch == nullptr) return nullptr;
  return new_bool(watch->discard_pending());
}

PyObject* watch_close(PyObject* self, PyObject*) {
  // Its descriptors are closed at once: a loop must stop watching first.
  delete std::exchange(reinterpret_cast<WatchObject*>(self)->watch, nullptr);
  Py_RETURN_NONE;
}

PyObject* watch_enter(PyObject* self, PyObject*) {
  if (open_watch(self) == nullptr) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* watch_exit(PyObject* self, PyObject* const*, Py_ssize_t) { return watch_close(self, nullptr); }

PyObject* get_recheck_ms(PyObject* self, void*) {
  ChangeWatch* watch = open_watch(self);
  if (watch == nullptr) return nullptr;
  if (!watch->polling()) Py_RETURN_NONE;
  return new_u64(kPollIntervalMs);
}

void watch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<WatchObject*>(self)->watch;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kWatchMethods[] = {
    {"fileno", noargs_entry<watch_fileno>, METH_NOARGS,
     "fileno($self)\n--\n\nA descriptor that becomes readable when the queue may have changed, and stays\n"
     "readable until clear()."},
    {"clear", noargs_entry<watch_clear>, METH_NOARGS,
     "clear($self)\n--\n\nForget the changes seen so far, without waiting; returns whether any of them\n"
     "may have made a message ready. Call it before the dequeue it is followed by."},
    {"close", noargs_entry<watch_close>, METH_NOARGS,
     "close($self)\n--\n\nClose the watch's descriptors. Closing again does nothing."},
    {"__enter__", noargs_entry<watch_enter>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", positional_method<watch_exit>(), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kWatchGetSet[] = {
    {"recheck_ms", get_recheck_ms, nullptr,
     "How often a waiter must look again whatever fileno() says: None while inotify\n"
     "watches the directory, 50 where it is not available.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kWatchSlots[] = {
    {Py_tp_doc, const_cast<char*>("A watch on a queue; see TollivaneCore.watch_changes.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_methods, kWatchMethods},
    {Py_tp_getset, kWatchGetSet},
    {0, nullptr},
};

// Without a tp_new the type cannot be called.
PyType_Spec kWatchSpec = {"tollivane.ChangeWatch", sizeof(WatchObject), 0, Py_TPFLAGS_DEFAULT, kWatchSlots};

}  // namespace

bool create_change_watch_type() {
  g_watch_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kWatchSpec));
  return g_watch_type != nullptr;
}

PyObject* new_change_watch(ChangeWatch watch) {
  auto owned = std::make_unique<ChangeWatch>(std::move(watch));
  auto* self = reinterpret_cast<WatchObject*>(g_watch_type->tp_alloc(g_watch_type, 0));
  if (self == nullptr) return nullptr;
  self->watch = owned.release();
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace tollivane::binding
