// How the core lets other Python threads run while it waits (see
// base/blocking.h): the interpreter lock is released around a wait for the
// process lock, an fsync, or long work that touches no Python object, and
// signal handlers run now and then during a long wait, so that Ctrl-C ends
// it.
#pragma once

#include <Python.h>

#include "base/blocking.h"

namespace tollivane::binding {

class InterpreterLockHooks final : public base::BlockingHooks {
 public:
  void release() override { saved_ = PyEval_SaveThread(); }
  void resume() override {
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
  }
  // Only the main thread runs signal handlers; elsewhere this is a check
  // that finds nothing. A handler that raised leaves its exception set, and
  // the call raises it once its locks are released.
  bool interrupted() override { return PyErr_CheckSignals() != 0; }

 private:
  PyThreadState* saved_ = nullptr;
};

// For the duration of one method call (the caller holds the interpreter
// lock): the core may release it while it waits.
class [[nodiscard]] ReleasingInterpreterLock {
 public:
  ReleasingInterpreterLock() = default;
  ReleasingInterpreterLock(const ReleasingInterpreterLock&) = delete;
  ReleasingInterpreterLock& operator=(const ReleasingInterpreterLock&) = delete;

 private:
  InterpreterLockHooks hooks_;
  base::BlockingHooksScope scope_{&hooks_};
};

// For a path that must keep the interpreter lock throughout, inside a call
// or not: a dying object's last sync, which may run from any context a
// reference is dropped in, the interpreter's shutdown included.
class [[nodiscard]] KeepingInterpreterLock {
 private:
  base::BlockingHooksScope scope_{nullptr};
};

}  // namespace tollivane::binding
