// The pool of deferred releases, made on first use and never destroyed.
#include "boundary/pool.hpp"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "boundary/attach.hpp"
#include "boundary/interp.hpp"
#include "boundary/panic.hpp"

namespace pellun {

namespace {

// Object pointers whose reference must still be released, in the order
// their releases were registered.
class ReferencePool {
public:
    void register_decref(PyObject* object) {
        auto guard = mutex_.lock();
        // Growth by doubling, first to 4: most waits hold a handful.
        if (pending_.size() == pending_.capacity()) {
            pending_.reserve(pending_.empty() ? 4 : pending_.capacity() * 2);
        }
        pending_.push_back(object);
    }

    void drop_deferred_references() {
        std::vector<PyObject*> taken;
        {
            auto guard = mutex_.lock();
            if (pending_.empty()) return;
            taken.swap(pending_);
        }
        // Releasing runs arbitrary finalisers, which may register releases
        // of their own: the mutex is never held here.
        for (PyObject* object : taken) py::decref(object);
    }

private:
    PoisonMutex mutex_;
    std::vector<PyObject*> pending_;
};

// Made on first use and never destroyed: threads that outlive static
// destruction at exit may still release references through it.
std::atomic<ReferencePool*> POOL{nullptr};

ReferencePool& pool() {
    static std::once_flag POOL_MADE;
    std::call_once(POOL_MADE, [] { POOL.store(new ReferencePool, std::memory_order_release); });
    return *POOL.load(std::memory_order_acquire);
}

}  // namespace

void register_decref(PyObject* object) { pool().register_decref(object); }

void drop_deferred_references() {
    if (ReferencePool* existing = POOL.load(std::memory_order_acquire)) {
        existing->drop_deferred_references();
    }
}

void release_reference(PyObject* object) noexcept {
    if (ATTACH_COUNT > 0) {
        py::decref(object);
        return;
    }
    try {
        register_decref(object);
    } catch (const std::bad_alloc&) {
        handle_alloc_error();
    } catch (const Panic&) {
        // A poisoned pool: the fault was reported when the lock panicked,
        // and a destructor cannot carry it further.
        std::abort();
    }
}

}  // namespace pellun
