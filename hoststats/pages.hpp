// Pages mapped for one owner alone and given back to the kernel whole.
//
// The C library's heap keeps what it is given back for later use, so the
// thousands of small records of one scan, freed at the end of the call,
// would stay resident in the caller. Pages mapped on their own go back to
// the kernel when they are unmapped. Pages that may hold secrets (other
// processes' environments) are also left out of core dumps and wiped
// before they go.
#pragma once

#include <cstddef>
#include <new>

namespace hoststats {

// Thrown where memory that would hold secrets (a secret arena, the read
// buffer for an environment) cannot be left out of core dumps: what was to
// be stored there is better not kept at all.
class DumpExclusionRefused : public std::bad_alloc {
public:
    [[nodiscard]] const char* what() const noexcept override {
        return "memory could not be left out of core dumps";
    }
};

}  // namespace hoststats

namespace hoststats::pages {

// `bytes` rounded up to whole pages.
[[nodiscard]] std::size_t whole(std::size_t bytes) noexcept;

// Maps `bytes` (whole pages) of private, zero-filled memory; null on
// failure.
[[nodiscard]] char* map(std::size_t bytes) noexcept;

// Leaves `bytes` at `at` out of core dumps (MADV_DONTDUMP). False where that
// is refused, as a sandbox's seccomp filter on madvise may.
[[nodiscard]] bool exclude_from_dumps(void* at, std::size_t bytes) noexcept;

// Wipes the first `wipe` bytes, then unmaps `bytes` at `at`.
void unmap(void* at, std::size_t bytes, std::size_t wipe) noexcept;

}  // namespace hoststats::pages
