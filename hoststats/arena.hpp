// Memory of one snapshot: its records are cut from pages mapped for it
// alone (pages.hpp), all unmapped when the snapshot ends, so that nothing of
// a scan stays resident in the caller once the call returns.
#pragma once

#include <cstddef>
#include <memory_resource>

#include "hoststats/pages.hpp"

namespace hoststats {

class Arena final : public std::pmr::memory_resource {
public:
    // Secret memory holds other processes' environments: it is left out of
    // core dumps (MADV_DONTDUMP) and wiped before it is unmapped. Where that
    // exclusion is refused, a secret arena hands out nothing and throws
    // DumpExclusionRefused.
    enum class Kind { Plain, Secret };

    explicit Arena(Kind kind) noexcept : secret_(kind == Kind::Secret) {}
    ~Arena() override;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

private:
    // Small requests are cut from blocks that grow with the snapshot; what
    // they give back is reused only once the arena goes. A request of
    // `OWN_MAPPING_FROM` bytes or more gets a mapping of its own, unmapped
    // as soon as it is given back, so a growing buffer leaves nothing behind.
    static constexpr std::size_t OWN_MAPPING_FROM = std::size_t{32} * 1024;  // bytes
    static constexpr std::size_t FIRST_BLOCK = std::size_t{64} * 1024;       // bytes
    static constexpr std::size_t LARGEST_BLOCK = std::size_t{1024} * 1024;   // bytes

    struct Block {
        Block* next;
        std::size_t bytes;  // the whole mapping, this header included
    };

    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    // Maps `bytes` (whole pages); throws std::bad_alloc, or
    // DumpExclusionRefused for a secret arena.
    void* map(std::size_t bytes);
    // Wipes the first `used` bytes when secret, then unmaps `bytes`.
    void unmap(void* at, std::size_t bytes, std::size_t used) noexcept;

    Block* blocks_ = nullptr;  // newest first; the cursor runs in the newest
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    std::size_t next_block_ = FIRST_BLOCK;
    bool secret_;
    bool refused_ = false;  // the kernel refused to leave a mapping out of dumps
};

// The two arenas of one snapshot.
struct SnapshotMemory {
    Arena records{Arena::Kind::Plain};
    Arena secrets{Arena::Kind::Secret};
};

}  // namespace hoststats
