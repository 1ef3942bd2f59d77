#include "boundary/attach.hpp"

#include "boundary/interp.hpp"
#include "boundary/panic.hpp"
#include "boundary/pool.hpp"

namespace pellun {

thread_local std::int32_t ATTACH_COUNT = 0;

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

}  // namespace pellun
