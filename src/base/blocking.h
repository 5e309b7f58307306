// Letting the caller's other threads run while the core waits.
//
// The core is called with a lock of its caller held (in the extension, the
// interpreter lock), which every other thread of the caller needs in order
// to run at all. Waiting for the process lock, an fsync, or a long stretch
// of work that touches nothing of the caller's (compaction, purge,
// verification, recovery, the replay of a large tail) would stop them all
// for as long as it takes. So the core marks such stretches with a
// BlockingRegion, and the caller says what to do around them with
// BlockingHooks, installed for the duration of its call into the core.
//
// The core stays free of the caller's kind: it only knows that a region
// may let others run, and that a long wait should now and then ask whether
// the caller wants it to end (a signal handler that raised). Inside a region
// nothing of the caller may be touched: the core builds no result of the
// caller's there, and calls back into no sink.
#pragma once

namespace tollivane::base {

class BlockingHooks {
 public:
  virtual ~BlockingHooks() = default;
  // Lets the caller's other threads run; the calling thread then touches
  // nothing of the caller's until resume().
  virtual void release() = 0;
  virtual void resume() = 0;
  // Called between release() and resume() calls, with the caller's lock
  // held again: runs what signals that arrived meanwhile ask for. True when
  // that failed (a handler raised), and the wait must be given up: the
  // caller then has the failure to report.
  virtual bool interrupted() = 0;
};

// Installs `hooks` for the current thread until this goes out of scope (the
// earlier ones, if any, come back then). nullptr installs none: no region
// of the scope releases anything.
class [[nodiscard]] BlockingHooksScope {
 public:
  explicit BlockingHooksScope(BlockingHooks* hooks);
  ~BlockingHooksScope();
  BlockingHooksScope(const BlockingHooksScope&) = delete;
  BlockingHooksScope& operator=(const BlockingHooksScope&) = delete;

 private:
  BlockingHooks* previous_hooks_;
  bool previous_released_;
};

// The caller's lock is released from construction to destruction, when
// hooks are installed and no enclosing region has released it already.
class [[nodiscard]] BlockingRegion {
 public:
  BlockingRegion();
  ~BlockingRegion();
  BlockingRegion(const BlockingRegion&) = delete;
  BlockingRegion& operator=(const BlockingRegion&) = delete;

  // For a long wait: takes the caller's lock for a moment and asks whether
  // the wait must end. Always false without hooks.
  bool interrupted();

 private:
  bool released_here_ = false;
};

}  // namespace tollivane::base
