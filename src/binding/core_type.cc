#include "binding/core_type.h"

#include <cstring>
#include <string>
#include <utility>

#include "binding/arguments.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/interpreter_lock.h"
#include "binding/py_ref.h"

namespace tollivane::binding {
namespace {

// Converts one option; an absent or None option keeps its default.
bool convert_option(PyObject* object, const char* name, uint64_t* option) {
  std::optional<uint64_t> value;
  if (!name_argument_error(name, convert_optional_u64(object, &value))) return false;
  if (value) *option = *value;
  return true;
}

PyObject* core_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"path", "sync_interval_ms", "default_lease_ms", "auto_compact_bytes"};
  PyObject* slots[4];
  if (!bind_tuple_dict(Signature{"TollivaneCore", kNames, 4, 1}, args, kwargs, slots)) return nullptr;

  std::string path;
  QueueConfig config;
  // A path-like object counts by the string it gives: Path(":memory:") is
  // the in-memory queue, as the string ":memory:" is.
  if (!name_argument_error("path", convert_path(slots[0], &path))) return nullptr;
  if (!convert_option(slots[1], "sync_interval_ms", &config.sync_interval_ms)) return nullptr;
  if (!convert_option(slots[2], "default_lease_ms", &config.default_lease_ms)) return nullptr;
  if (!convert_option(slots[3], "auto_compact_bytes", &config.auto_compact_bytes)) return nullptr;

  Result<std::unique_ptr<Queue>> opened = [&] {
    // Waits for the process lock and replays the log with other threads let run.
    ReleasingInterpreterLock waits_release_it;
    return Queue::open(path, config);
  }();
  if (!opened.ok()) return PendingError::from(opened.error()).raise();

  // Everything is prepared before the object exists; if it cannot be
  // allocated, the queue is closed as a dying object would close it.
  auto data = std::make_unique<CoreData>();
  data->queue = std::move(*opened);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    (void)close_queue(*data);
    return nullptr;
  }
  reinterpret_cast<CoreObject*>(self)->data = data.release();
  return self;
}

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    return core_new_impl(type, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void core_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  CoreData* data = reinterpret_cast<CoreObject*>(self)->data;
  if (data != nullptr) {
    // Last chance to make buffered records durable. If another thread holds
    // the mutex (it cannot, while it holds a reference), skip rather than wait.
    // The last reference may go anywhere, inside a call or while the
    // interpreter shuts down: this sync keeps the interpreter lock.
    KeepingInterpreterLock anywhere;
    if (data->mutex.try_lock()) {
      data->after_locking();
      (void)close_queue(*data);
      data->mutex.unlock();
    }
    delete data;
  }
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

constexpr char kCoreDoc[] =
    "TollivaneCore(path, sync_interval_ms=None, default_lease_ms=None, auto_compact_bytes=None)\n--\n\n";

PyType_Slot kCoreSlots[] = {
    {Py_tp_doc, const_cast<char*>(kCoreDoc)},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_methods, kCoreMethods},
    {0, nullptr},
};

PyType_Spec kCoreSpec = {
    "tollivane.TollivaneCore",
    sizeof(CoreObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kCoreSlots,
};

// Python 3.9 copies the doc slot without its signature line, which leaves the
// class with no __text_signature__, so inspect.signature cannot read the
// constructor's parameters. Where that happened the type gets a copy of the
// whole doc, allocated as the type frees it; its __doc__ stays as made.
bool keep_text_signature(PyTypeObject* type) {
  if (type->tp_doc != nullptr && std::strcmp(type->tp_doc, kCoreDoc) == 0) return true;
  auto* doc = static_cast<char*>(PyObject_Malloc(sizeof kCoreDoc));
  if (doc == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(doc, kCoreDoc, sizeof kCoreDoc);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = doc;
  return true;
}

}  // namespace

bool CoreData::lock(MutexGuard& guard) {
  if (!guard.acquire(mutex)) return false;
  after_locking();
  return true;
}

void CoreData::after_locking() {
  if (mutex.take_cut_by_fork() && queue) queue->drop_state_cut_by_fork();
}

PendingError close_queue(CoreData& data) {
  if (!data.queue) return PendingError();
  Status synced = data.queue->flush_on_close();
  // Released even when the sync failed, as a file's close() releases its
  // descriptor after a failed flush: keeping it open would help nobody.
  data.queue.reset();
  return synced.ok() ? PendingError() : PendingError::from(synced.error());
}

PyObject* create_core_type() {
  OwnedRef type = OwnedRef::steal(PyType_FromSpec(&kCoreSpec));
  if (!type || !keep_text_signature(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
  return type.release();
}

}  // namespace tollivane::binding
