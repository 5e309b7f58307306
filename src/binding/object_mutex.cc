#include "binding/object_mutex.h"

#include <pthread.h>

#include <new>
#include <utility>

namespace tollivane::binding {

// The list of every ObjectMutex, and the fork handlers that walk it. Its
// own mutex is held across fork(), so that the child finds the list whole.
struct ForkHandlers {
  struct Registry {
    std::mutex mutex;
    ObjectMutex* first = nullptr;
  };

  static Registry& registry() {
    // Never destroyed: an object freed at exit still leaves the list.
    static Registry* const instance = [] {
      auto* made = new Registry;
      pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); }, in_child);
      return made;
    }();
    return *instance;
  }

  static void in_child() {
    Registry& known = registry();
    for (ObjectMutex* mutex = known.first; mutex != nullptr; mutex = mutex->next_) {
      mutex->free_if_held_by_another_thread();
    }
    known.mutex.unlock();
  }
};

ObjectMutex::ObjectMutex() {
  ForkHandlers::Registry& known = ForkHandlers::registry();
  std::lock_guard guard(known.mutex);
  next_ = std::exchange(known.first, this);
  if (next_ != nullptr) next_->previous_ = this;
}

ObjectMutex::~ObjectMutex() {
  ForkHandlers::Registry& known = ForkHandlers::registry();
  std::lock_guard guard(known.mutex);
  (previous_ != nullptr ? previous_->next_ : known.first) = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
}

void ObjectMutex::free_if_held_by_another_thread() {
  if (mutex_.try_lock()) {
    mutex_.unlock();
    return;
  }
  // The forking thread's own call (fork() from a finalizer it runs) goes
  // on in the child, and releases the mutex as it would have.
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
  // Held by a thread the child does not have. A std::mutex may be unlocked
  // only by its holder, and not destroyed while locked: a new one is made
  // in its place (a pthread mutex owns nothing to free).
  new (&mutex_) std::mutex();
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  cut_by_fork_ = true;
}

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

bool ObjectMutex::take_cut_by_fork() { return std::exchange(cut_by_fork_, false); }

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
