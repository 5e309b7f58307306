#include "binding/object_mutex.h"

namespace tollivane::binding {

bool ObjectMutex::try_lock() {
  if (!mutex_.try_lock()) return false;
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void ObjectMutex::lock() {
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void ObjectMutex::unlock() {
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

bool ObjectMutex::held_by_current_thread() const {
  return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

bool MutexGuard::try_acquire(ObjectMutex& mutex) {
  if (!mutex.try_lock()) return false;
  mutex_ = &mutex;
  return true;
}

bool MutexGuard::acquire(ObjectMutex& mutex) {
  if (!mutex.try_lock()) {
    if (mutex.held_by_current_thread()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "TollivaneCore method called re-entrantly on the same object from the thread "
                      "that is already inside one of its methods (for example from a finalizer); "
                      "refused, as waiting would deadlock");
      return false;
    }
    // Another thread holds it and may need the interpreter lock to finish.
    Py_BEGIN_ALLOW_THREADS
    mutex.lock();
    Py_END_ALLOW_THREADS
  }
  mutex_ = &mutex;
  return true;
}

}  // namespace tollivane::binding
