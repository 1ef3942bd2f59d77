// The pool of deferred releases: references dropped by threads that are not
// attached, released by the next thread that attaches through the boundary.
#pragma once

#include <Python.h>

namespace pellun {

// Queues one reference of `object` for release by the next thread that
// attaches through the boundary.
void register_decref(PyObject* object);
// Releases every queued reference, in the order registered. Needs an
// attached thread.
void drop_deferred_references();
// Attached: release now. Not attached: queue it.
void release_reference(PyObject* object) noexcept;

}  // namespace pellun
