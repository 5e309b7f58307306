// Which fork() generation of the process is running.
//
// A child of fork() inherits every descriptor, lock and structure of its
// parent, but only the thread that forked. Whatever another thread of the
// parent was doing is frozen half-done in the child, and what the parent
// opened (a lock's file description, a reading position) is shared with
// it. Objects that must tell "made in this process" from "inherited"
// record the epoch they were made in and compare, without a system call.
#pragma once

#include <cstdint>

namespace tollivane::base {

// Counts the fork()s this process came out of as the child: 0 in the
// process that first loaded the module, one more in each child.
uint64_t current_fork_epoch();

}  // namespace tollivane::base
