#include "hoststats/pages.hpp"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace hoststats::pages {

std::size_t whole(std::size_t bytes) noexcept {
    static const auto PAGE = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + PAGE - 1) / PAGE * PAGE;
}

char* map(std::size_t bytes) noexcept {
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : static_cast<char*>(at);
}

bool exclude_from_dumps(void* at, std::size_t bytes) noexcept {
    return ::madvise(at, bytes, MADV_DONTDUMP) == 0;
}

void unmap(void* at, std::size_t bytes, std::size_t wipe) noexcept {
    // explicit_bzero, unlike memset, is not dropped for memory that is
    // about to go.
    ::explicit_bzero(at, wipe);
    ::munmap(at, bytes);
}

}  // namespace hoststats::pages
