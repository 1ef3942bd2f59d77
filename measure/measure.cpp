#include "measure/measure.hpp"

#include <optional>
#include <system_error>

#include "boundary/interp.hpp"
#include "boundary/pyerr.hpp"
#include "hoststats/system.hpp"
#include "measure/memory_report.hpp"
#include "measure/pause.hpp"

namespace pellun::measure {

using hoststats::HostRoot;
using hoststats::SourceError;
using hoststats::System;

namespace {

// The check that a snapshot runs when a file operation is interrupted by a
// signal. The call holds the interpreter lock, so the Python handlers of the
// signals that arrived run here and now; one that raises (KeyboardInterrupt
// on Ctrl-C) ends the call with its exception. Otherwise the operation is
// retried.
bool run_signal_handlers() { return py::check_signals() == 0; }

std::string system_text(int error) { return std::generic_category().message(error); }

// The OSError for a source that gave no figure, with the path it was read
// from as its filename.
PyErr source_error(const SourceError& failure) {
    std::string message = failure.reason != nullptr ? failure.reason : system_text(failure.error);
    return os_error(failure.error, std::move(message), failure.path);
}

}  // namespace

PyResult<Owned> memory_report(const HostRoot& root) {
    const hoststats::InterruptCheckScope checked(&run_signal_handlers);
    StagingMap staged;
    try {
        System snapshot = System::new_all(root);
        snapshot.refresh_memory();
        // No figure for memory that was never read: a total of zero from an
        // unreadable file would pass for a measurement.
        if (const auto& failure = snapshot.memory_error()) return source_error(*failure);
        const hoststats::MemoryFigures& units = snapshot.memory_units();
        staged = stage(compute_memory_report(units.mem_total, units.mem_available));
        // The snapshot (and the memory mapped for it) goes here, before
        // any Python object is made.
    } catch (const hoststats::Interrupted&) {
        return PyErr::fetch();  // what the signal handler raised
    }
    return staged_to_dict(staged);
}

PyResult<Owned> cpu_report(const HostRoot& root) {
    const hoststats::InterruptCheckScope checked(&run_signal_handlers);
    float percent;
    try {
        System snapshot = System::new_all(root);
        // Both readings around the pause are taken whatever the time since
        // the previous one: the figure must describe the pause itself. Each
        // must have found the aggregate line, or there is no figure.
        snapshot.clear_last_cpu_reading();
        snapshot.refresh_cpu_all();
        if (const auto& failure = snapshot.cpus().last_error()) return source_error(*failure);
        if (const int error = pause_for(CPU_PAUSE_NS)) return os_error(error, system_text(error));
        snapshot.clear_last_cpu_reading();
        snapshot.refresh_cpu_all();
        if (const auto& failure = snapshot.cpus().last_error()) return source_error(*failure);
        percent = snapshot.global_usage_percent();
    } catch (const hoststats::Interrupted&) {
        return PyErr::fetch();  // what the signal handler raised
    }
    // Widened exactly: the figure keeps its single-precision value.
    return check_new(py::float_from_double(static_cast<double>(percent)));
}

PyResult<Owned> get_memory_mb(PyObject* /*self*/) { return memory_report(HostRoot{}); }

PyResult<Owned> get_cpu_percent(PyObject* /*self*/) { return cpu_report(HostRoot{}); }

}  // namespace pellun::measure
