// Error values (PyErr) and what a fallible operation returns (PyResult),
// and the common errors made here.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/owned.hpp"

namespace pellun {

// What a lazy error's producer yields: an exception type and the argument
// object, both new references.
struct LazyOutcome {
    Owned type;
    Owned argument;
};

class LazyProducer {
public:
    virtual ~LazyProducer() = default;
    // Runs on an attached thread, at most once.
    virtual LazyOutcome produce() = 0;
};

template <class F>
class LazyProducerOf final : public LazyProducer {
public:
    explicit LazyProducerOf(F f) : f_(std::move(f)) {}
    LazyOutcome produce() override { return f_(); }

private:
    F f_;
};

class PyErr {
public:
    // An error whose exception is created only when it is handed over.
    template <class F>
    static PyErr lazy(F producer) {
        return PyErr(std::unique_ptr<LazyProducer>(new LazyProducerOf<F>(std::move(producer))));
    }
    // A normalised error holding `exception`, an exception instance.
    static PyErr from_exception(Owned exception);
    // The interpreter's pending exception, if any; a PanicException (exactly
    // that type) is resumed as a panic instead.
    static std::optional<PyErr> take();
    // take(), or failed_to_fetch() when nothing is pending.
    static PyErr fetch();
    // SystemError "attempted to fetch exception but none was set".
    static PyErr failed_to_fetch();
    // MemoryError, for memory that native code could not have. Made without
    // allocating: the interpreter raises its own MemoryError, which it keeps
    // ready for this, when the error is handed over.
    static PyErr no_memory() noexcept;

    PyErr(PyErr&& other) noexcept;
    PyErr& operator=(PyErr&& other) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    // Hands the error to the interpreter as its pending exception.
    void restore() &&;
    // The exception instance (borrowed; lives as long as this error).
    // Needs an attached thread; detaches while a lazy state is raised.
    PyObject* make_normalized();
    // Whether the exception is an instance of `type` (subclasses match).
    bool matches(PyObject* type);
    // "PyErr { type: <repr>, value: <repr>, traceback: None | Some(\"...\") }"
    std::string description();

    struct Inner;

private:
    PyErr() noexcept = default;
    explicit PyErr(std::unique_ptr<LazyProducer> producer);
    explicit PyErr(std::unique_ptr<Inner> inner) noexcept;
    std::unique_ptr<Inner> inner_;
    bool out_of_memory_ = false;  // a no_memory() error, which has no inner state
};

// A T or the error that prevented it.
template <class T>
class PyResult {
public:
    PyResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    PyResult(PyErr error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    PyErr& error() { return std::get<1>(v_); }
    PyErr take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, PyErr> v_;
};

// The success value of operations that return nothing.
struct Unit {};

// TypeError "'{}' object is not an instance of '{}'" for `object`, which is
// not an instance of `target`; the message is made when the error is
// restored.
PyErr cast_error(Owned object, PyTypeObject* target);

// OSError(error, message) or OSError(error, message, filename): the
// interpreter makes it the subclass that matches `error`
// (FileNotFoundError for ENOENT, PermissionError for EACCES and EPERM, ...)
// and sets its errno, strerror and filename. The filename is decoded as the
// interpreter decodes paths.
PyErr os_error(int error, std::string message, std::optional<std::string> filename = {});

// An object-creating interpreter call returned null: the pending error goes
// to the unraisable hook, then a panic.
[[noreturn]] void panic_on_null(std::source_location loc = std::source_location::current());
// `object`, now owned, or panic_on_null() when it is null.
Owned check_new(PyObject* object, std::source_location loc = std::source_location::current());

}  // namespace pellun
