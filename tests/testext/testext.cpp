// _pellun_testext: a test-only extension module whose functions go through
// the real boundary, so that the Python tests can watch every way a call
// ends: panics, lazy and fetched errors, failed object creation, panics
// fetched back from Python, deferred releases and the execution step.
// Built into the build tree, never installed.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "boundary/attach.hpp"
#include "boundary/entry.hpp"
#include "boundary/once_cell.hpp"
#include "boundary/owned.hpp"
#include "boundary/panic.hpp"
#include "boundary/pyerr.hpp"
#include "boundary/render.hpp"
#include "hoststats/host_root.hpp"
#include "measure/measure.hpp"
#include "measure/memory_report.hpp"
#include "module/exec.hpp"

namespace {

using pellun::check_new;
using pellun::LazyOutcome;
using pellun::Owned;
using pellun::PyErr;
using pellun::PyResult;
using pellun::trampoline_with;

Owned none() { return Owned::borrow(Py_None); }

Owned str_of(const std::string& text) {
    return check_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Unpacks exactly `N` positional arguments (borrowed).
template <std::size_t N>
std::array<PyObject*, N> unpack(PyObject* args) {
    std::array<PyObject*, N> out{};
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) != static_cast<Py_ssize_t>(N)) {
        pellun::panic("expected " + std::to_string(N) + " arguments");
    }
    for (std::size_t i = 0; i < N; ++i) out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    return out;
}

// A lazy error whose producer yields `type` and `argument` as given, whether
// or not `type` is an exception class.
PyErr lazy_of(PyObject* type, PyObject* argument) {
    return PyErr::lazy([type = Owned::borrow(type), argument = Owned::borrow(argument)]() -> LazyOutcome {
        return {Owned::borrow(type.get()), Owned::borrow(argument.get())};
    });
}

// The Py_mod_exec slot of a module's definition, found through the module.
PyResult<Owned> run_exec_slot(PyObject* real_module, PyObject* target) {
    PyModuleDef* def = PyModule_GetDef(real_module);
    if (def == nullptr) return PyErr::fetch();
    for (PyModuleDef_Slot* slot = def->m_slots; slot != nullptr && slot->slot != 0; ++slot) {
        if (slot->slot != Py_mod_exec) continue;
        auto exec = reinterpret_cast<int (*)(PyObject*)>(slot->value);
        if (exec(target) != 0) return PyErr::fetch();
        return none();
    }
    pellun::panic("the definition has no execution slot");
}

// Cells for exercising the once-only machinery from Python; each test uses
// its own index.
std::array<pellun::OnceCell<PyObject*>, 16> TEST_CELLS;

PyResult<Owned> once_cell_init(PyObject* args) {
    auto [index_object, initialiser] = unpack<2>(args);
    const long index = PyLong_AsLong(index_object);
    if (index < 0 || index >= static_cast<long>(TEST_CELLS.size())) {
        if (PyErr_Occurred() != nullptr) return PyErr::fetch();
        pellun::panic("cell index out of range");
    }
    PyObject* value = pellun::init_once_cell_py_attached(
        TEST_CELLS[static_cast<std::size_t>(index)], [initialiser] {
            Owned made = Owned::steal(PyObject_CallNoArgs(initialiser));
            if (!made) {
                PyErr error = PyErr::fetch();
                pellun::panic("initialiser failed: " + error.description());
            }
            return made.release();
        });
    return Owned::borrow(value);
}

// Hands each object to a thread that is not attached; the thread drops its
// references there (so they wait in the pool) and is joined with the
// interpreter lock given up the interpreter's own way, which leaves the pool
// alone.
PyResult<Owned> drop_off_thread(PyObject* args) {
    std::vector<Owned> held;
    held.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        held.push_back(Owned::borrow(PyTuple_GET_ITEM(args, i)));
    }
    std::thread worker([held = std::move(held)]() mutable {
        for (Owned& reference : held) reference = Owned();
    });
    PyThreadState* state = PyEval_SaveThread();
    worker.join();
    PyEval_RestoreThread(state);
    return none();
}

// Describes a lazy error on a new thread that is not attached, so that the
// description attaches it through PyGILState_Ensure. Returns the text and
// the thread's attach count afterwards.
PyResult<Owned> describe_elsewhere(PyObject* args) {
    auto [type, argument] = unpack<2>(args);
    PyErr error = lazy_of(type, argument);
    std::string text;
    std::int32_t count_after = -1;
    std::optional<pellun::Panic> failure;
    std::thread worker([&] {
        try {
            text = error.description();
            // Its references go to the pool: this thread is not attached.
            PyErr dropped = std::move(error);
        } catch (pellun::Panic& caught) {
            failure.emplace(std::move(caught));
        }
        count_after = pellun::ATTACH_COUNT;
    });
    PyThreadState* state = PyEval_SaveThread();
    worker.join();
    PyEval_RestoreThread(state);
    if (failure) throw std::move(*failure);
    return check_new(Py_BuildValue("(Ni)", str_of(text).release(), count_after));
}

// --- entries -------------------------------------------------------------

PyObject* panic_text(PyObject*, PyObject* text) noexcept {
    return trampoline_with([text]() -> PyResult<Owned> { pellun::panic(pellun::lossy_text(text)); });
}

PyObject* panic_static(PyObject*, PyObject*) noexcept {
    return trampoline_with([]() -> PyResult<Owned> { pellun::panic_static("a static text payload"); });
}

PyObject* panic_int(PyObject*, PyObject*) noexcept {
    return trampoline_with([]() -> PyResult<Owned> { pellun::panic_any(std::any(42)); });
}

PyObject* throw_std_exception(PyObject*, PyObject* text) noexcept {
    return trampoline_with(
        [text]() -> PyResult<Owned> { throw std::runtime_error(pellun::lossy_text(text)); });
}

PyObject* lazy_error(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        auto [type, argument] = unpack<2>(args);
        return lazy_of(type, argument);
    });
}

PyObject* fetch_nothing(PyObject*, PyObject*) noexcept {
    return trampoline_with([]() -> PyResult<Owned> { return PyErr::fetch(); });
}

PyObject* call(PyObject*, PyObject* callable) noexcept {
    return trampoline_with([callable]() -> PyResult<Owned> {
        Owned result = Owned::steal(PyObject_CallNoArgs(callable));
        if (!result) return PyErr::fetch();
        return result;
    });
}

PyObject* fail_create(PyObject*, PyObject* pending) noexcept {
    return trampoline_with([pending]() -> PyResult<Owned> {
        if (pending != Py_None) PyErr_SetRaisedException(Py_NewRef(pending));
        return check_new(nullptr);
    });
}

PyObject* fail_float(PyObject*, PyObject*) noexcept {
    // What a failed PyFloat_FromDouble leaves: MemoryError pending, null.
    return trampoline_with([]() -> PyResult<Owned> { return check_new(PyErr_NoMemory()); });
}

PyObject* panic_in_handover(PyObject*, PyObject*) noexcept {
    return trampoline_with([]() -> PyResult<Owned> {
        return PyErr::lazy([]() -> LazyOutcome { pellun::panic("the error's producer failed"); });
    });
}

PyObject* attach_count(PyObject*, PyObject*) noexcept {
    return trampoline_with([]() -> PyResult<Owned> { return check_new(PyLong_FromLong(pellun::ATTACH_COUNT)); });
}

PyObject* describe(PyObject*, PyObject* exception) noexcept {
    return trampoline_with([exception]() -> PyResult<Owned> {
        PyErr error = PyErr::from_exception(Owned::borrow(exception));
        return str_of(error.description());
    });
}

PyObject* describe_lazy(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        auto [type, argument] = unpack<2>(args);
        PyErr error = lazy_of(type, argument);
        std::string first = error.description();
        // Described twice: the second must reuse the normalised exception.
        if (error.description() != first) pellun::panic("description changed");
        // The count must be back after the detached normalisation.
        return check_new(Py_BuildValue("(Ni)", str_of(first).release(), pellun::ATTACH_COUNT));
    });
}

PyObject* exec_slot(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        auto [real_module, target] = unpack<2>(args);
        return run_exec_slot(real_module, target);
    });
}

PyObject* exec_slot_null(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        auto [real_module, pending] = unpack<2>(args);
        if (pending != Py_None) PyErr_SetRaisedException(Py_NewRef(pending));
        // Not run_exec_slot: the pending exception must reach the step.
        PyModuleDef* def = PyModule_GetDef(real_module);
        auto exec = reinterpret_cast<int (*)(PyObject*)>(def->m_slots[0].value);
        if (exec(nullptr) != 0) return PyErr::fetch();
        return none();
    });
}

PyObject* add_function(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        auto [module, function] = unpack<2>(args);
        PyResult<pellun::Unit> added = pellun::add_function(module, Owned::borrow(function));
        if (!added.ok()) return added.take_error();
        return none();
    });
}

PyObject* append_to_all(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        auto [all, name] = unpack<2>(args);
        pellun::append_to_all(all, name);
        return none();
    });
}

PyObject* once_cell(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args] { return once_cell_init(args); });
}

PyObject* drop_elsewhere(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args] { return drop_off_thread(args); });
}

PyObject* describe_on_thread(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args] { return describe_elsewhere(args); });
}

PyObject* poisoned_mutex(PyObject*, PyObject*) noexcept {
    return trampoline_with([]() -> PyResult<Owned> {
        pellun::PoisonMutex mutex;
        try {
            auto guard = mutex.lock();
            pellun::panic("panic while the mutex is held");
        } catch (const pellun::Panic&) {  // NOLINT(bugprone-empty-catch)
            // Expected: the lock below is what this function is about.
        }
        auto guard = mutex.lock();
        return none();
    });
}

PyObject* get_memory_mb_at(PyObject*, PyObject* root) noexcept {
    return trampoline_with([root] {
        return pellun::measure::memory_report(hoststats::HostRoot::under(pellun::lossy_text(root)));
    });
}

PyObject* get_cpu_percent_at(PyObject*, PyObject* root) noexcept {
    return trampoline_with([root] {
        return pellun::measure::cpu_report(hoststats::HostRoot::under(pellun::lossy_text(root)));
    });
}

// The memory report's dictionary step with a store that fails at the
// FAIL_AT-th entry (with MemoryError pending, or with nothing pending). The
// dictionary is made by calling DICT_TYPE, so a test can hold a weak
// reference to it and see that it was released.
struct FailingStore {
    static inline thread_local PyObject* DICT_TYPE = nullptr;
    static inline thread_local long FAIL_AT = 0;
    static inline thread_local bool PENDING = false;
    static inline thread_local long STORES = 0;
    static inline thread_local PyObject* REFS = nullptr;

    // The weak reference is taken at once: on failure the dictionary is gone
    // before the step returns.
    static PyObject* dict_new() {
        PyObject* dict = PyObject_CallNoArgs(DICT_TYPE);
        if (dict == nullptr) return nullptr;
        PyObject* ref = PyWeakref_NewRef(dict, nullptr);
        if (ref == nullptr || PyList_Append(REFS, ref) < 0) {
            Py_XDECREF(ref);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(ref);
        return dict;
    }
    static PyObject* str_from_utf8(const std::string& text) {
        return pellun::measure::InterpreterCalls::str_from_utf8(text);
    }
    static PyObject* float_from_double(double value) {
        return pellun::measure::InterpreterCalls::float_from_double(value);
    }
    static int dict_set_item(PyObject* dict, PyObject* key, PyObject* value) {
        if (STORES++ == FAIL_AT) {
            if (PENDING) PyErr_NoMemory();
            return -1;
        }
        return PyDict_SetItem(dict, key, value);
    }
};

PyObject* memory_dict_failing_store(PyObject*, PyObject* args) noexcept {
    return trampoline_with([args]() -> PyResult<Owned> {
        PyObject* dict_type = nullptr;
        PyObject* holder = nullptr;
        long fail_at = 0;
        int pending = 0;
        if (!PyArg_ParseTuple(args, "OlpO!", &dict_type, &fail_at, &pending, &PyList_Type,
                              &holder)) {
            return PyErr::fetch();
        }
        FailingStore::DICT_TYPE = dict_type;
        FailingStore::FAIL_AT = fail_at;
        FailingStore::PENDING = pending != 0;
        FailingStore::STORES = 0;
        FailingStore::REFS = holder;
        auto staged = pellun::measure::stage(pellun::measure::compute_memory_report(
            std::uint64_t{8043939}, std::uint64_t{5000000}));
        PyResult<Owned> result = pellun::measure::staged_to_dict<FailingStore>(staged);
        if (!staged.empty()) pellun::panic("entries left staged after the dictionary step");
        return result;
    });
}

PyMethodDef METHODS[] = {
    {"panic_text", panic_text, METH_O, "Panics with the given text."},
    {"panic_static", panic_static, METH_NOARGS, "Panics with a static text payload."},
    {"panic_int", panic_int, METH_NOARGS, "Panics with an int payload."},
    {"throw_std_exception", throw_std_exception, METH_O, "Throws std::runtime_error(text)."},
    {"lazy_error", lazy_error, METH_VARARGS, "Returns a lazy error (type, argument)."},
    {"fetch_nothing", fetch_nothing, METH_NOARGS, "Fetches with nothing pending."},
    {"call", call, METH_O, "Calls f(); its error is fetched back."},
    {"fail_create", fail_create, METH_O, "Null object creation with `pending` set (or None)."},
    {"fail_float", fail_float, METH_NOARGS, "Null object creation after a MemoryError."},
    {"panic_in_handover", panic_in_handover, METH_NOARGS, "Panics while the error is handed over."},
    {"attach_count", attach_count, METH_NOARGS, "The thread's attach count inside an entry."},
    {"describe", describe, METH_O, "The description of an exception instance."},
    {"describe_lazy", describe_lazy, METH_VARARGS, "(description, attach count) of a lazy error."},
    {"describe_on_thread", describe_on_thread, METH_VARARGS, "describe_lazy on an unattached thread."},
    {"exec_slot", exec_slot, METH_VARARGS, "Runs module's execution step on target."},
    {"exec_slot_null", exec_slot_null, METH_VARARGS, "Runs module's execution step on null."},
    {"add_function", add_function, METH_VARARGS, "add_function(module, function)."},
    {"append_to_all", append_to_all, METH_VARARGS, "append_to_all(list, name)."},
    {"once_cell", once_cell, METH_VARARGS, "once_cell(index, initialiser)."},
    {"drop_elsewhere", drop_elsewhere, METH_VARARGS, "Drops references on an unattached thread."},
    {"poisoned_mutex", poisoned_mutex, METH_NOARGS, "Locks a mutex that a panic poisoned."},
    {"get_memory_mb_at", get_memory_mb_at, METH_O, "The memory report under a host root."},
    {"get_cpu_percent_at", get_cpu_percent_at, METH_O, "The CPU report under a host root."},
    {"memory_dict_failing_store", memory_dict_failing_store, METH_VARARGS,
     "(dict_type, fail_at, pending, refs): the report's dictionary step, failing a store."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef TESTEXT_DEF = {
    PyModuleDef_HEAD_INIT, "_pellun_testext", "Boundary probes for the tests.", -1, METHODS,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

// The interpreter looks for PyInit_ and the module's name, which starts
// with an underscore as a private module's does.
PyMODINIT_FUNC PyInit__pellun_testext() noexcept {  // NOLINT(bugprone-reserved-identifier)
    PyObject* module = PyModule_Create(&TESTEXT_DEF);
#ifdef Py_GIL_DISABLED
    // Like the module under test, safe without the interpreter lock: importing
    // the probes must not turn the lock back on for the rest of the tests.
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    return module;
}
