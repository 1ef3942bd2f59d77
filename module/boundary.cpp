#include "module/boundary.hpp"

#include <cstdlib>
#include <new>

namespace pellun {

thread_local std::int32_t ATTACH_COUNT = 0;

// --- attach guard ------------------------------------------------------------

AttachGuard AttachGuard::assume() {
    ++ATTACH_COUNT;
    AttachGuard guard(Kind::Assumed, PyGILState_STATE{});
    drop_deferred_references();
    return guard;
}

AttachGuard AttachGuard::attach() {
    if (ATTACH_COUNT > 0) return assume();
    if (!py::is_initialized()) {
        panic("The Python interpreter is not initialized, so native code cannot attach to it.");
    }
    if (py::is_finalizing()) panic("Cannot attach to the Python interpreter while it is finalizing.");
    const PyGILState_STATE state = py::gil_ensure();
    ++ATTACH_COUNT;
    AttachGuard guard(Kind::Ensured, state);
    drop_deferred_references();
    return guard;
}

AttachGuard::~AttachGuard() {
    if (kind_ == Kind::Released) return;
    if (kind_ == Kind::Ensured) py::gil_release(state_);
    --ATTACH_COUNT;
}

SuspendAttach::SuspendAttach() noexcept : saved_count_(ATTACH_COUNT) {
    ATTACH_COUNT = 0;
    thread_state_ = py::save_thread();
}

void SuspendAttach::resume() {
    if (thread_state_ == nullptr) return;
    py::restore_thread(std::exchange(thread_state_, nullptr));
    ATTACH_COUNT = saved_count_;
    drop_deferred_references();
}

SuspendAttach::~SuspendAttach() {
    if (thread_state_ == nullptr) return;
    py::restore_thread(std::exchange(thread_state_, nullptr));
    ATTACH_COUNT = saved_count_;
    // The destructor may run while a panic unwinds, so the pool waits for
    // the next attach rather than risk a second exception here.
}

void PanicTrap::abort() const noexcept {
    write_fault_report(message_, loc_);
    write_stderr("aborting: a panic reached a frame that cannot unwind\n");
    std::abort();
}

// --- null results ------------------------------------------------------------

void panic_on_null(std::source_location loc) {
    if (std::optional<PyErr> pending = PyErr::take()) {
        std::move(*pending).restore();
        py::write_unraisable(nullptr);
    }
    panic("PyObject pointer is null", loc);
}

Owned check_new(PyObject* object, std::source_location loc) {
    if (object == nullptr) panic_on_null(loc);
    return Owned::steal(object);
}

// --- entries -----------------------------------------------------------------

namespace detail {

PyErr error_from_current_exception() {
    try {
        throw;
    } catch (Panic& caught) {
        return PanicException::from_panic_payload(caught.take_payload());
    } catch (const std::bad_alloc&) {
        handle_alloc_error();
    } catch (const std::exception& other) {
        // A C++ library exception that nothing handled: a fault like any
        // panic, reported here since nobody reported it where it was thrown.
        std::string message = other.what();
        write_fault_report(message, std::source_location::current());
        return PanicException::from_panic_payload(std::any(std::move(message)));
    } catch (...) {
        write_fault_report("<foreign exception>", std::source_location::current());
        return PanicException::from_panic_payload(std::any());
    }
}

}  // namespace detail

PyObject* trampoline(PyResult<Owned> (*body)(PyObject* self), PyObject* self) noexcept {
    return trampoline_with([body, self] { return body(self); });
}

}  // namespace pellun
