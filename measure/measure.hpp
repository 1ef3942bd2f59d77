// The bodies of the module's two functions. Each builds a fresh host
// snapshot, reads its figures, drops the snapshot and only then makes the
// Python result.
#pragma once

#include <Python.h>

#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"
#include "hoststats/host_root.hpp"

namespace pellun::measure {

// get_memory_mb() and get_cpu_percent() on the real host.
PyResult<Owned> get_memory_mb(PyObject* self);
PyResult<Owned> get_cpu_percent(PyObject* self);

// The same bodies on any host root; the tests point them at fixture trees.
PyResult<Owned> memory_report(const hoststats::HostRoot& root);
PyResult<Owned> cpu_report(const hoststats::HostRoot& root);

}  // namespace pellun::measure
