// Owning references to interpreter objects; a reference dropped while the
// thread is not attached waits in the pool (pool.hpp).
#pragma once

#include <Python.h>

#include <utility>

#include "boundary/interp.hpp"
#include "boundary/pool.hpp"

namespace pellun {

class Owned {
public:
    Owned() noexcept = default;
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // A new reference to a borrowed object; the thread must be attached.
    static Owned borrow(PyObject* object) noexcept {
        py::incref(object);
        return Owned(object);
    }

    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned old(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (ptr_ != nullptr) release_reference(ptr_);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Owned(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace pellun
