#include "boundary/entry.hpp"

#include <any>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "boundary/panic.hpp"
#include "boundary/panic_exception.hpp"

namespace pellun {

void PanicTrap::abort() const noexcept {
    write_fault_report(message_, loc_);
    write_stderr("aborting: a panic reached a frame that cannot unwind\n");
    std::abort();
}

namespace detail {

PyErr error_from_current_exception() {
    try {
        try {
            throw;
        } catch (Panic& caught) {
            return PanicException::from_panic_payload(caught.take_payload());
        } catch (const std::bad_alloc&) {
            // The snapshot, whose size other users' processes decide, was
            // let go on the way here: the caller gets MemoryError and may
            // call again.
            return PyErr::no_memory();
        } catch (const std::exception& other) {
            // A C++ library exception that nothing handled: a fault like any
            // panic, reported here since nobody reported it where it was
            // thrown.
            std::string message = other.what();
            write_fault_report(message, std::source_location::current());
            return PanicException::from_panic_payload(std::any(std::move(message)));
        } catch (...) {
            write_fault_report("<foreign exception>", std::source_location::current());
            return PanicException::from_panic_payload(std::any());
        }
    } catch (const std::bad_alloc&) {
        // No memory even for the error that was to be raised.
        return PyErr::no_memory();
    }
}

}  // namespace detail

PyObject* trampoline(PyResult<Owned> (*body)(PyObject* self), PyObject* self) noexcept {
    return trampoline_with([body, self] { return body(self); });
}

}  // namespace pellun
