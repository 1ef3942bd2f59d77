// The entries from the interpreter into native code. Every entry is
// noexcept and ends in a catch ladder: nothing unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <optional>
#include <source_location>
#include <utility>

#include "boundary/attach.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"

namespace pellun {

// The message of the fault trap armed by every entry.
inline constexpr const char* FFI_BOUNDARY_TRAP = "uncaught panic at ffi boundary";

// Armed for the duration of an entry. A panic that escapes the entry's
// handover reaches abort(), which reports a second fault with the trap's
// message and aborts the process.
class PanicTrap {
public:
    explicit PanicTrap(const char* message,
                       std::source_location loc = std::source_location::current()) noexcept
        : message_(message), loc_(loc) {}
    [[noreturn]] void abort() const noexcept;

private:
    const char* message_;
    std::source_location loc_;
};

namespace detail {
// The catch ladder. Called only from a catch (...) handler: turns the
// exception in flight into the error that the entry raises. A panic becomes
// a PanicException; an allocation failure, there or while the error is
// made, a MemoryError.
PyErr error_from_current_exception();
}  // namespace detail

// Runs `body` (returning PyResult<T>) under the boundary: trap armed, guard
// assumed, the outcome or a caught panic handed to the interpreter. Returns
// on_success(value) or on_failure.
template <class T, class Body, class Success, class R>
R run_entry(Body&& body, Success&& on_success, R on_failure) noexcept {
    PanicTrap trap(FFI_BOUNDARY_TRAP);
    try {
        AttachGuard guard = AttachGuard::assume();
        std::optional<PyResult<T>> outcome;
        try {
            outcome.emplace(body());
        } catch (...) {
            outcome.emplace(detail::error_from_current_exception());
        }
        if (outcome->ok()) return on_success(outcome->value());
        outcome->take_error().restore();
        return on_failure;
    } catch (...) {
        trap.abort();
    }
}

// An entry returning an object: a new reference, or null with an exception
// set.
template <class Body>
PyObject* trampoline_with(Body&& body) noexcept {
    return run_entry<Owned>(std::forward<Body>(body),
                            [](Owned& result) { return result.release(); },
                            static_cast<PyObject*>(nullptr));
}

PyObject* trampoline(PyResult<Owned> (*body)(PyObject* self), PyObject* self) noexcept;

}  // namespace pellun
