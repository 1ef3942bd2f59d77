// The arithmetic of the memory report and the conversion of its staged
// entries into a Python dictionary.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "boundary/interp.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"
#include "hoststats/hash.hpp"

namespace pellun::measure {

// The three figures of the report, each rounded to one decimal place.
struct MemoryReport {
    double ram_used_mb = 0.0;
    double ram_total_mb = 0.0;
    double ram_percent = 0.0;
};

// total and available in units of 1024 bytes, as /proc/meminfo states
// them: in bytes, a total past 2^64 - 1 would not fit. Memory in use is
// total - available; a kernel estimate of available memory can exceed the
// total, and that counts as nothing in use rather than wrapping to an
// absurd figure.
MemoryReport compute_memory_report(std::uint64_t total_kib, std::uint64_t available_kib) noexcept;

// Report entries waiting for their Python objects, in a map seeded per call
// so that no caller comes to rely on the order of the keys.
using StagingMap = std::unordered_map<std::string, double, hoststats::SeededHash>;

StagingMap stage(const MemoryReport& report);

// The interpreter calls that build the dictionary. Tests substitute a
// failing store to reach the error path.
struct InterpreterCalls {
    static PyObject* dict_new() { return py::dict_new(); }
    static PyObject* str_from_utf8(const std::string& text) {
        return py::unicode_from_utf8(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    static PyObject* float_from_double(double value) { return py::float_from_double(value); }
    static int dict_set_item(PyObject* dict, PyObject* key, PyObject* value) {
        return py::dict_set_item(dict, key, value);
    }
};

// Moves the staged entries, in the map's order, into a new dictionary. A
// failed store discards what is still staged and returns the interpreter's
// error: the caller never sees a partly filled dictionary.
// The map's own order is that of its buckets, which follows the keys'
// seeded hashes; the node list of the standard map mostly keeps the order of
// insertion instead, so the entries are walked bucket by bucket.
template <class Calls = InterpreterCalls>
PyResult<Owned> staged_to_dict(StagingMap& staged) {
    Owned dict = check_new(Calls::dict_new());
    for (std::size_t bucket = 0; bucket < staged.bucket_count(); ++bucket) {
        for (auto entry = staged.begin(bucket); entry != staged.end(bucket); ++entry) {
            Owned key = check_new(Calls::str_from_utf8(entry->first));
            Owned value = check_new(Calls::float_from_double(entry->second));
            if (Calls::dict_set_item(dict.get(), key.get(), value.get()) < 0) {
                staged.clear();
                return PyErr::fetch();
            }
        }
    }
    staged.clear();
    return dict;
}

}  // namespace pellun::measure
