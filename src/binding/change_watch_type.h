// The object TollivaneCore.watch_changes() returns: a watch on the queue
// (queue/change_watch.h) for a caller that waits in an event loop of its
// own. The loop watches fileno() for readability, calls clear() and tries a
// dequeue; none of the watch's methods waits or touches the queue, which may
// be closed meanwhile. Its type is no attribute of the module.
#pragma once

#include <Python.h>

#include "queue/change_watch.h"

namespace tollivane::binding {

// Creates the type once, when the module is made; false with an exception set.
bool create_change_watch_type();

// A new watch object owning `watch`, or nullptr with an exception set.
PyObject* new_change_watch(ChangeWatch watch);

}  // namespace tollivane::binding
