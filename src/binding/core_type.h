// The TollivaneCore class: its instance layout and its type object.
#pragma once

#include <Python.h>

#include <memory>

#include "binding/errors.h"
#include "binding/object_mutex.h"
#include "queue/queue.h"

namespace tollivane::binding {

// Everything a TollivaneCore owns; the mutex guards every use of the queue.
struct CoreData {
  ObjectMutex mutex;
  // Null once the object is closed: destroying the queue releases every
  // descriptor, map and lock it holds, whatever they are.
  std::unique_ptr<Queue> queue;

  // Takes the mutex for a call (see MutexGuard::acquire), then settles what
  // a fork() left: see after_locking().
  bool lock(MutexGuard& guard);
  // For the thread that has just taken the mutex. In a child of fork()
  // whose fork caught another thread's call on this object half-done, the
  // queue is told to rebuild what that call may have left half changed
  // before anyone uses it.
  void after_locking();
};

struct CoreObject {
  PyObject_HEAD
  CoreData* data;  // owned; never null once the constructor has returned
};

inline CoreData& core_data(PyObject* self) { return *reinterpret_cast<CoreObject*>(self)->data; }

// Syncs what the queue buffered and releases it; the caller holds the mutex.
// Nothing to do on a closed object. Returns the error of that last sync.
PendingError close_queue(CoreData& data);

// The method table, in the order the class lists its methods.
extern PyMethodDef kCoreMethods[];

// Creates the class; returns a new reference or nullptr with an exception set.
PyObject* create_core_type();

}  // namespace tollivane::binding
