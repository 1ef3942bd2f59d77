// Whether this thread is attached to the interpreter: the guards that
// attach it and the scope that detaches it around a wait.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

namespace pellun {

// Nested guards on this thread; positive while boundary code runs attached.
// Set to 0 (and later restored) around every detached wait.
extern thread_local std::int32_t ATTACH_COUNT;

class AttachGuard {
public:
    // For a thread that the interpreter has already attached (the entries).
    static AttachGuard assume();
    // From any thread: attaches it through PyGILState_Ensure when needed.
    static AttachGuard attach();

    AttachGuard(AttachGuard&& other) noexcept
        : kind_(std::exchange(other.kind_, Kind::Released)), state_(other.state_) {}
    AttachGuard(const AttachGuard&) = delete;
    AttachGuard& operator=(const AttachGuard&) = delete;
    AttachGuard& operator=(AttachGuard&&) = delete;
    ~AttachGuard();

private:
    enum class Kind { Assumed, Ensured, Released };
    AttachGuard(Kind kind, PyGILState_STATE state) noexcept : kind_(kind), state_(state) {}
    Kind kind_;
    PyGILState_STATE state_;
};

// Detaches the attached thread (the count saved and set to 0, the
// interpreter lock given up) until resume() or destruction re-attaches it,
// restoring the thread state and the count. resume() then drains the pool;
// destruction leaves it for the next attach.
class SuspendAttach {
public:
    SuspendAttach() noexcept;
    SuspendAttach(const SuspendAttach&) = delete;
    SuspendAttach& operator=(const SuspendAttach&) = delete;
    ~SuspendAttach();
    void resume();

private:
    std::int32_t saved_count_;
    PyThreadState* thread_state_;
};

}  // namespace pellun
